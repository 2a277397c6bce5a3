// Virtual HID devices for simulation and tests. While simulation is on, enumeration lists the
// registered virtual devices (in registration order) instead of the system's devices.
#pragma once

#include <memory>

#include "platform/hid.h"

namespace platform::hid {

class VirtualDevice {
 public:
  virtual ~VirtualDevice() = default;
  virtual Attributes GetAttributes() = 0;
  // One 65-byte output report from the host (report ID in byte 0). false: the write fails.
  virtual bool OnOutputReport(const uint8_t* report, size_t size) = 0;
  // The next input report for the host; waits at most timeoutMs for one. Failed: the device
  // is gone.
  virtual IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) = 0;
};

void RegisterVirtual(std::shared_ptr<VirtualDevice> device);
void UnregisterVirtual(const std::shared_ptr<VirtualDevice>& device);
void UnregisterAllVirtual();
int VirtualCount();

}  // namespace platform::hid
