// Virtual USB trees for simulation and tests. While simulation is on, usbtree::Walk walks the
// registered virtual host controllers (in registration order) instead of the system's.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/usbtree.h"

namespace platform::usbtree {

// A device on a port; a hub has devices on its ports in turn. Not changed once registered:
// to unplug or replug, register another tree.
struct VirtualDevice {
  DeviceId id;
  std::vector<std::shared_ptr<const VirtualDevice>> ports;
};

// A device with the given devices on its ports.
inline std::shared_ptr<const VirtualDevice> MakeVirtual(uint16_t vendorId, uint16_t productId,
                                                        std::vector<std::shared_ptr<const VirtualDevice>> ports = {}) {
  auto d = std::make_shared<VirtualDevice>();
  d->id = {vendorId, productId};
  d->ports = std::move(ports);
  return d;
}

// A host controller's root hub; its ports hold the attached devices.
void RegisterVirtual(std::shared_ptr<const VirtualDevice> rootHub);
void UnregisterVirtual(const std::shared_ptr<const VirtualDevice>& rootHub);
void UnregisterAllVirtual();

}  // namespace platform::usbtree
