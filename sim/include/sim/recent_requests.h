// What a simulated device was sent, for tests to inspect. Only the most recent requests are
// kept: the simulated service may run for days, and must not keep every one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

class RecentRequests : public std::deque<std::vector<uint8_t>> {
 public:
  static constexpr size_t kKept = 64;
  void Add(const std::vector<uint8_t>& request) {
    if (size() == kKept) pop_front();
    push_back(request);
  }
};

}  // namespace sim
