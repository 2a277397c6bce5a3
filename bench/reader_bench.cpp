// Reader transport figures:
//  - CPU time of one 2321-byte reply (37 input reports) over the virtual HID link, no device
//    delay; the virtual device's own work is included, so this is an upper bound;
//  - round trip of the 10-byte SAM status command with a 15-byte reply over a pseudo-terminal
//    through the real termios code.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card_commands.h"
#include "frame.h"
#include "hid_link.h"
#include "measure.h"
#include "platform/hid_virtual.h"
#include "platform/sim.h"
#include "serial_link.h"
#include "sim/reader.h"
#include "vnsdtapi.h"

namespace {

using bench::Percentile;
using bench::ReportMedian;
using bench::ThreadCpuMicros;

const uint8_t kSam[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};

void HidBench(int transType, int iterations) {
  sim::ScopedReaders readers;
  const std::shared_ptr<sim::HidReader>& reader = readers.hid;
  vnsdt::Hid().transType = transType;
  platform::hid::Device* device = vnsdt::Hid().finder.Find(0);
  if (device == nullptr) std::exit(1);

  sim::Bytes data(2310);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  const sim::Bytes reply = sim::MakeReply(0, 0, 0x90, data);
  std::vector<double> samples;
  uint8_t buf[vnsdt::kReplyBufferSize];
  for (int i = 0; i < iterations; ++i) {
    reader->firmware.scriptedReplies.push_back(reply);
    reader->firmware.requests.clear();
    uint16_t size = 0;
    const double t0 = ThreadCpuMicros();
    const bool ok =
        vnsdt::Hid().Transfer(device, kSam, sizeof kSam, 3, true, buf, sizeof buf, &size) == vnsdt::Status::kOk;
    const double t1 = ThreadCpuMicros();
    if (!ok || size != 2321 || std::memcmp(buf, reply.data(), reply.size()) != 0) {
      std::fprintf(stderr, "HID transfer failed\n");
      std::exit(1);
    }
    samples.push_back(t1 - t0);
  }
  platform::hid::Close(device);
  platform::hid::UnregisterAllVirtual();
  ReportMedian("HID 2321-byte reply, trans type " + std::to_string(transType) + ": CPU per transfer", samples, 1, "us",
               50);
}

void PtyBench(int iterations) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::exit(1);
  setenv("TARNWICK_COM5", ptsname(master), 1);
  const int keep = open(ptsname(master), O_RDWR | O_NOCTTY);
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    sim::FrameAssembler assembler;
    const sim::Bytes reply = sim::MakeReply(0, 0, 0x9F, {1, 2, 3, 4});
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      uint8_t buf[256];
      const ssize_t n = read(master, buf, sizeof buf);
      sim::Bytes frame;
      if (n > 0 && assembler.Add(buf, static_cast<size_t>(n), &frame)) {
        if (write(master, reply.data(), reply.size()) < 0) break;
      }
    }
  });
  std::vector<double> samples;
  uint8_t buf[vnsdt::kReplyBufferSize];
  for (int i = 0; i < iterations; ++i) {
    size_t size = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const vnsdt::Status r = vnsdt::RunSerialExchange(5, kSam, sizeof kSam, 2, buf, sizeof buf, &size);
    const auto t1 = std::chrono::steady_clock::now();
    if (r != vnsdt::Status::kOk || size != 15) {
      std::fprintf(stderr, "serial exchange failed\n");
      std::exit(1);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  stop = true;
  peer.join();
  close(keep);
  close(master);
  ReportMedian("Serial 10-byte command, 15-byte reply over a pty: round trip", samples, 0, "us", 2000);
}

// find + select + read with fingerprint, as the service runs it (open flag 1: each step finds
// the reader afresh) and with a port opened once (open flag 0).
void CardSequenceBench(int openFlag, int iterations) {
  sim::ScopedReaders readers;
  if (openFlag != 1 && !vnsdt::Hid().Open(1001)) std::exit(1);
  std::vector<double> samples;
  static unsigned char text[256], photo[1024], fingerprint[1024];
  for (int i = 0; i < iterations; ++i) {
    unsigned int find = 0;
    unsigned char info[8];
    int t = 0, p = 0, f = 0;
    const double t0 = ThreadCpuMicros();
    const bool ok = vnsdt::StartFindIDCard(vnsdt::Link::Hid, 1001, &find, openFlag).ok() &&
                    vnsdt::SelectIDCard(vnsdt::Link::Hid, 1001, info, openFlag).ok() &&
                    vnsdt::ReadBaseFPMsg(vnsdt::Link::Hid, 1001, text, &t, photo, &p, fingerprint, &f, openFlag).ok();
    const double t1 = ThreadCpuMicros();
    if (!ok || t != 256 || p != 1024 || f != 1024) {
      std::fprintf(stderr, "card sequence failed\n");
      std::exit(1);
    }
    samples.push_back(t1 - t0);
  }
  vnsdt::Hid().Close(1001);
  platform::hid::UnregisterAllVirtual();
  ReportMedian(
      "Card sequence find + select + ReadBaseFPMsg over virtual HID, open flag " + std::to_string(openFlag) + ": CPU",
      samples, 1, "us", 1000);
}

void DecodeBench(int iterations) {
  const sim::SampleCard card = sim::MakeSampleCard();
  unsigned char record[300];
  std::vector<double> text;
  for (int i = 0; i < iterations; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const int r = DecodeWZData(card.text.data(), static_cast<unsigned>(card.text.size()), record);
    const auto t1 = std::chrono::steady_clock::now();
    if (r != 1) std::exit(1);
    text.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  const double textMedian = Percentile(text, 0.5);
  std::printf("DecodeWZData: median %.2f us per block, p99 %.2f us (target <= 20 us: %s)\n", textMedian,
              Percentile(text, 0.99), textMedian <= 20 ? "met" : "MISSED");

  std::vector<unsigned char> bmp(38862);
  const std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/tw_bench_photo.bmp";
  std::vector<double> photo;
  const int photoIterations = iterations < 200 ? iterations : 200;
  for (int i = 0; i < photoIterations; ++i) {
    int length = static_cast<int>(bmp.size());
    const auto t0 = std::chrono::steady_clock::now();
    const int r = DecodeWltData(card.photo.data(), 1, path.c_str(), bmp.data(), &length);
    const auto t1 = std::chrono::steady_clock::now();
    if (r != 1) {
      std::fprintf(stderr, "DecodeWltData failed with %d (is DLL_File beside the bench?)\n", r);
      std::exit(1);
    }
    photo.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::remove(path.c_str());
  ReportMedian("DecodeWltData type 1, buffer and file, temporary files included:", photo, 2, "ms", 5);
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
  HidBench(1, iterations);
  HidBench(2, iterations);
  PtyBench(iterations);
  CardSequenceBench(1, iterations);
  CardSequenceBench(0, iterations);
  DecodeBench(iterations);
  return 0;
}
