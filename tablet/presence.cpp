#include "presence.h"

#include <algorithm>

#include "models.h"

namespace tablet {

void SeenIds::Add(const platform::usbtree::DeviceId& id) {
  if (id.vendorId == 0) return;
  const bool known = std::any_of(pairs_.begin(), pairs_.end(), [&id](const platform::usbtree::DeviceId& p) {
    return p.vendorId == id.vendorId && p.productId == id.productId;
  });
  if (known) return;
  if (pairs_.size() < kMostPairs || IsTabletId(id.vendorId, id.productId)) pairs_.push_back(id);
}

bool SeenIds::HasTablet() const {
  return std::any_of(pairs_.begin(), pairs_.end(),
                     [](const platform::usbtree::DeviceId& p) { return IsTabletId(p.vendorId, p.productId); });
}

Status CheckPresence() {
  SeenIds seen;
  platform::usbtree::Walk([&seen](const platform::usbtree::DeviceId& id) { seen.Add(id); });
  return seen.HasTablet() ? Status::kOk : Status::kNoTablet;
}

}  // namespace tablet
