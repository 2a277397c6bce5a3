// Tablet library figures, with the simulated tablet below the real library and platform code:
//  - latency from a report reaching the library (queued on the virtual device its reader
//    waits on) until PMPacketsGet returns its packet;
//  - wake-ups of the library's threads while the pen is idle, and per report.
// Usage: tablet_bench [SAMPLES]
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "pmtablet.h"
#include "sim/tablet.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

std::set<int> Tasks() {
  std::set<int> tids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') tids.insert(std::atoi(e->d_name));
    }
    closedir(d);
  }
  return tids;
}

// Voluntary and non-voluntary context switches of one thread of this process.
long Switches(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string key;
  long total = 0, value = 0;
  while (in >> key) {
    if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
      in >> value;
      total += value;
    }
  }
  return total;
}

long Switches(const std::set<int>& tids) {
  long total = 0;
  for (int t : tids) total += Switches(t);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 5000;
  tablet::Timing timing;
  timing.afterDiscoveryMs = timing.afterAtopMs = timing.beforeStopMs = timing.afterStopMs = 0;
  tablet::Library::Instance().SetTimingForTesting(timing);
  sim::ScopedTablet scoped(1);

  const std::set<int> before = Tasks();
  TabletCaps caps;
  uint32_t message;
  if (PMInit(&caps, &message, nullptr) != 0) {
    std::fprintf(stderr, "PMInit failed\n");
    return 1;
  }
  std::set<int> library;
  for (int t : Tasks()) {
    if (!before.count(t)) library.insert(t);
  }

  // Latency: queue one report, spin on PMPacketsGet until its packet is there.
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(samples));
  PenPacket p;
  for (int i = 0; i < samples; ++i) {
    const sim::Report r = scoped.tablet->PenReport({0.5, 0.5, 400});
    const auto start = Clock::now();
    scoped.tablet->QueueReport(r);
    while (PMPacketsGet(1, &p) != 1) {
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // let the reader go back to waiting
  }

  // Wake-ups: the library's threads over an idle second, then over 1000 reports.
  const long idleStart = Switches(library);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long idleWakeups = Switches(library) - idleStart;
  const long busyStart = Switches(library);
  for (int i = 0; i < 1000; ++i) {
    scoped.tablet->QueueReport(scoped.tablet->PenReport({0.5, 0.5, 400}));
    while (PMPacketsGet(1, &p) != 1) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const long perThousand = Switches(library) - busyStart;
  PMClose(nullptr);

  std::printf("report to readable packet (%d samples): median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
              samples, Percentile(micros, 0.5), Percentile(micros, 0.9), Percentile(micros, 0.99),
              Percentile(micros, 1.0));
  std::printf("library threads: %zu; their wake-ups while idle for 1 s: %ld; per report: %.2f\n", library.size(),
              idleWakeups, perThousand / 1000.0);
  std::printf("{\"medianUs\":%.1f,\"p99Us\":%.1f,\"idleWakeups\":%ld,\"wakeupsPerReport\":%.2f}\n",
              Percentile(micros, 0.5), Percentile(micros, 0.99), idleWakeups, perThousand / 1000.0);
  return Percentile(micros, 0.5) <= 100.0 && idleWakeups == 0 ? 0 : 1;
}
