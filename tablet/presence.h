// The presence check: walks the USB tree without opening the tablet and looks for the ids of
// the three models among the attached devices.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/usbtree.h"
#include "status.h"

namespace tablet {

// The distinct (vendor, product) pairs of the attached devices, in the order found; vendor 0
// (an empty port) adds nothing. It keeps 32 pairs as planned, and more on a bigger machine, up
// to kMostPairs as a bound against a tree that never ends; a tablet's pair is always taken.
class SeenIds {
 public:
  static constexpr size_t kPlannedPairs = 32;
  static constexpr size_t kMostPairs = 4096;

  void Add(const platform::usbtree::DeviceId& id);
  bool HasTablet() const;
  const std::vector<platform::usbtree::DeviceId>& Pairs() const { return pairs_; }

 private:
  std::vector<platform::usbtree::DeviceId> pairs_;
};

// kOk when a tablet is attached to any hub, kNoTablet otherwise.
Status CheckPresence();

}  // namespace tablet
