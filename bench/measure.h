// What the benchmarks measure with: the calling thread's CPU time and percentiles of samples.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstddef>
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

}  // namespace bench
