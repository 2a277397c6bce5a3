// Capture program figures:
//  - "GetSign" of a canvas holding the whole scripted signature: PNG encoding and Base64
//    together (the canvas's own call), and the round trip over the TCP command connection;
//  - from a pen report reaching the tablet library to its line on the canvas, in process: the
//    real program code with the tablet library's objects and the simulated tablet;
//  - wake-ups of the real program (a child process) while it is idle after a signature.
// It takes port 45654: run it where no capture program runs (or in `unshare -rn`).
// Usage: capture_bench [SAMPLES]
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "platform/net.h"
#include "processor.h"
#include "sim/tablet.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

bool BindLinked(capture::TabletApi* api) {
  api->getStatus = PMGetStatus;
  api->init = PMInit;
  api->close = PMClose;
  api->clearSig = PMClearSig;
  api->packetsGet = PMPacketsGet;
  return true;
}

platform::Socket Connect() {
  for (int i = 0; i < 500; ++i) {
    const platform::Socket s = platform::TcpSocket();
    if (platform::ConnectLoopback(s, capture::kCommandPort)) return s;
    platform::CloseSocket(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return platform::kNoSocket;
}

// One "GetSign": the reply's bytes, read until as many as the canvas's own encoding gave.
size_t GetSign(platform::Socket s, const size_t expected) {
  platform::Send(s, "GetSign", 8);
  size_t got = 0;
  std::vector<char> chunk(1 << 20);
  while (got < expected) {
    const long n = platform::Receive(s, chunk.data(), chunk.size(), 5000);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

long Switches(pid_t pid) {
  long total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(tasks.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(tasks + "/" + e->d_name + "/status");
      std::string key;
      long value;
      while (in >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
          in >> value;
          total += value;
        }
      }
    }
    closedir(d);
  }
  return total;
}

// The real program as a child with the simulated tablet: wake-ups per second once it is idle.
double IdleWakeupsPerSecond(const char* program) {
  setenv("TARNWICK_SIM", "1", 1);
  setenv("TARNWICK_SIM_TABLET", "sign", 1);
  char* argv[] = {const_cast<char*>(program), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return -1;
  const platform::Socket s = Connect();
  platform::Send(s, "Init", 5);
  std::this_thread::sleep_for(std::chrono::seconds(5));  // lead-in and signature are over
  const long before = Switches(pid);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long after = Switches(pid);
  platform::Send(s, "Quit", 5);
  platform::CloseSocket(s);
  int status;
  waitpid(pid, &status, 0);
  return (after - before) / 3.0;
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::max(20, std::atoi(argv[1])) : 2000;
  // The program's log lands in the working folder: a scratch one.
  char scratch[] = "/tmp/tw_capture_bench_XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) return 1;
  platform::NetStartup(0x0101);
  tablet::Timing timing;
  timing.afterDiscoveryMs = timing.afterAtopMs = timing.beforeStopMs = timing.afterStopMs = 0;
  tablet::Library::Instance().SetTimingForTesting(timing);
  sim::ScopedTablet scoped(1);

  capture::Processor processor(BindLinked);
  std::mutex mutex;
  std::condition_variable drawn;
  uint64_t drawnCount = 0;
  processor.SetDrawnObserver([&](const PenPacket&) {
    std::lock_guard<std::mutex> lock(mutex);
    ++drawnCount;
    drawn.notify_all();
  });
  std::thread program([&processor] { processor.Run(); });
  const platform::Socket s = Connect();
  if (s == platform::kNoSocket) {
    std::fprintf(stderr, "the program does not listen\n");
    return 1;
  }
  platform::Send(s, "Init", 5);
  while (!scoped.tablet->InPenMode()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  // Report to line: each report is a pressing point; the line appears from the second one on.
  std::vector<double> micros;
  scoped.tablet->QueueReport(scoped.tablet->PenReport({0.1, 0.5, 500}));
  for (int i = 0; i < samples; ++i) {
    uint64_t target;
    {
      std::lock_guard<std::mutex> lock(mutex);
      target = drawnCount + 1;
    }
    if (i == 0) target = 2;
    const double t = (i % 200) / 200.0;
    const sim::Report r = scoped.tablet->PenReport({0.1 + 0.8 * t, 0.3 + 0.4 * t, 500});
    const auto start = Clock::now();
    scoped.tablet->QueueReport(r);
    std::unique_lock<std::mutex> lock(mutex);
    drawn.wait(lock, [&] { return drawnCount >= target; });
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }

  // GetSign of the whole signature.
  processor.canvas().Clear();
  scoped.tablet->Play(sim::SignatureScript(), std::chrono::microseconds(500));
  scoped.tablet->WaitIdle(30000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<double> encode, roundTrip;
  size_t textSize = 0;
  for (int i = 0; i < 50; ++i) {
    const auto start = Clock::now();
    textSize = processor.canvas().PngBase64().size();
    encode.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  for (int i = 0; i < 50; ++i) {
    const auto start = Clock::now();
    if (GetSign(s, textSize) != textSize) {
      std::fprintf(stderr, "short GetSign reply\n");
      return 1;
    }
    roundTrip.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  platform::Send(s, "Quit", 5);
  program.join();
  platform::CloseSocket(s);

  const double idle = argc > 2 ? IdleWakeupsPerSecond(argv[2]) : IdleWakeupsPerSecond(TW_CAPTURE_PROGRAM);

  std::printf("report to line on the canvas (%d samples): median %.1f us, p90 %.1f us, p99 %.1f us\n", samples,
              Percentile(micros, 0.5), Percentile(micros, 0.9), Percentile(micros, 0.99));
  std::printf(
      "GetSign of the whole signature (%zu Base64 bytes): PNG + Base64 median %.2f ms, p90 %.2f ms; "
      "TCP round trip median %.2f ms\n",
      textSize, Percentile(encode, 0.5), Percentile(encode, 0.9), Percentile(roundTrip, 0.5));
  std::printf("idle program: %.2f wake-ups per second\n", idle);
  std::filesystem::remove_all(scratch);
  std::printf("{\"lineMedianUs\":%.1f,\"getSignMedianMs\":%.2f,\"getSignRoundTripMs\":%.2f,\"idleWakeupsPerS\":%.2f}\n",
              Percentile(micros, 0.5), Percentile(encode, 0.5), Percentile(roundTrip, 0.5), idle);
  return Percentile(micros, 0.5) <= 200 && Percentile(encode, 0.5) <= 5 && idle < 1 ? 0 : 1;
}
