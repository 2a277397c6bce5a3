// The USB device tree: the device of every port of every hub of every host controller, however
// deep, found without opening any device.
// Windows: the host controllers by name ("\\.\HCD0" to "\\.\HCD9") and by the host-controller
// interface class, their root hubs and the hubs below through the USB hub I/O controls, each
// name checked against the configuration manager's device tree. Linux: the idVendor and
// idProduct files at any depth under /sys/bus/usb/devices. Simulation: the virtual tree of
// usbtree_virtual.h instead of the system's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform::usbtree {

struct DeviceId {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

// Calls `visit` with the device descriptor's ids of every port that answers (an empty port
// answers with vendor 0 on Windows), hub by hub, depth first; a controller reachable twice is
// walked twice. Blocks on the system's queries only. Every failure is silent and only skips
// that branch. Thread-safe.
void Walk(const std::function<void(const DeviceId&)>& visit);

// Linux: the sysfs folder to walk instead of /sys/bus/usb/devices (tests point it at a
// fixture); empty restores the default. Ignored elsewhere. Thread-safe.
void SetSysfsRoot(const std::string& path);

}  // namespace platform::usbtree
