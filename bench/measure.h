// What the benchmarks measure with: the calling thread's CPU time and percentiles of samples.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double ThreadCpuMicros() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The sample at fraction p (0..1) of the sorted samples.
inline double Percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1))];
}

// One line of figures, the median judged against its target:
// "<what> median 12.3 us, p99 45.6 us (target <= 50 us: met)".
inline void ReportMedian(const std::string& what, const std::vector<double>& samples, int decimals, const char* unit,
                         double target) {
  const double median = Percentile(samples, 0.5);
  std::printf("%s median %.*f %s, p99 %.*f %s (target <= %g %s: %s)\n", what.c_str(), decimals, median, unit, decimals,
              Percentile(samples, 0.99), unit, target, unit, median <= target ? "met" : "MISSED");
}

}  // namespace bench
