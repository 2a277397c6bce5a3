// Card-terminal transfer figures, through the library's exports above the simulated terminal:
//  - CPU time of one mass-storage exchange, a 512-byte request block and a 512-byte reply
//    block; the simulated terminal's own work is included, so this is an upper bound;
//  - wall time of one HID exchange against its fixed 200 ms pause (64 and 512 bytes each way).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "jrs_3G_usb.h"
#include "measure.h"
#include "sim/card_terminal.h"
#include "sim/terminal_blocks.h"

namespace {

using bench::Percentile;
using bench::ReportMedian;
using bench::ThreadCpuMicros;
namespace blocks = sim::blocks;

// Session notes written line after line: a request block of exactly `size` bytes (at least 64)
// that the terminal parses and applies.
blocks::Bytes WriteBlock(size_t size, uint16_t capacity) {
  blocks::Request r;
  r.command = blocks::kWrite;
  r.capacity = capacity;
  const size_t text = size - blocks::kOverhead;
  std::string all;
  while (all.size() + 60 < text) all += "type=2|index=0|note=" + std::string(39, 'a') + "\n";
  all += "type=2|index=1|note=";
  all.resize(text, 'b');
  r.payload.assign(all.begin(), all.end());
  return blocks::EncodeRequest(r);
}

int Exchange(void* terminal, blocks::Bytes request, std::vector<uint8_t>& reply) {
  int expected = static_cast<int>(reply.size());
  reply[3] = request[3];
  return USBTransfer(terminal, request.data(), static_cast<int>(request.size()), reply.data(), &expected, 5);
}

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(1);
}

void DiskBench(int iterations) {
  sim::ScopedTerminal terminal(sim::Guise::kDisk);
  terminal.firmware->opened = true;
  void* slot = nullptr;
  if (FindOpenUDev(&slot) != 1) Fail("no simulated terminal");
  const blocks::Bytes request = WriteBlock(512, 512);
  std::vector<uint8_t> reply(512);
  std::vector<double> samples;
  for (int i = 0; i < iterations + 100; ++i) {
    const double t0 = ThreadCpuMicros();
    const int r = Exchange(slot, request, reply);
    const double t1 = ThreadCpuMicros();
    const auto decoded = blocks::DecodeReply(reply.data(), reply.size());
    if (r != 0 || !decoded || decoded->status != blocks::kOk) Fail("mass-storage exchange failed");
    terminal.firmware->requests.clear();
    if (i >= 100) samples.push_back(t1 - t0);  // after warming up
  }
  CloseUDev(&slot);
  ReportMedian("mass storage, 512-byte request and reply: CPU per exchange", samples, 1, "us", 50);
}

void HidBench(size_t size, int iterations) {
  sim::ScopedTerminal terminal(sim::Guise::kHid);
  terminal.firmware->opened = true;
  void* slot = nullptr;
  if (FindOpenUDev(&slot) != 1) Fail("no simulated terminal");
  const blocks::Bytes request = WriteBlock(size, static_cast<uint16_t>(size));
  std::vector<uint8_t> reply(size);
  std::vector<double> over;
  for (int i = 0; i < iterations; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const int r = Exchange(slot, request, reply);
    const auto t1 = std::chrono::steady_clock::now();
    const auto decoded = blocks::DecodeReply(reply.data(), reply.size());
    if (r != 0 || !decoded || decoded->status != blocks::kOk) Fail("HID exchange failed");
    over.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count() - 200.0);
  }
  CloseUDev(&slot);
  std::printf("HID, %zu-byte request and reply: overhead above the 200 ms pause median %.2f ms, max %.2f ms\n", size,
              Percentile(over, 0.5), Percentile(over, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 5000;
  DiskBench(iterations);
  HidBench(64, 10);
  HidBench(512, 10);
  return 0;
}
