// Virtual HID devices for simulation and tests. While simulation is on, enumeration lists the
// registered virtual devices (in registration order) instead of the system's devices; opening
// one gives a handle whose calls reach the device below. A device unregistered while handles
// are open is unplugged: every call on those handles fails.
#pragma once

#include <memory>

#include "platform/hid.h"

namespace platform::hid {

// What a virtual device implements. Calls may come from any thread; the device guards itself.
class VirtualDevice {
 public:
  virtual ~VirtualDevice() = default;
  virtual Attributes GetAttributes() = 0;
  // One output report from the host (report ID in byte 0). false: the write fails.
  virtual bool OnOutputReport(const uint8_t* report, size_t size) = 0;
  // The same for a write the host lets wait timeoutMs; a device that models a report it does
  // not take in time answers TimedOut.
  virtual IoResult OnOutputReportWithin(const uint8_t* report, size_t size, uint32_t /*timeoutMs*/) {
    return OnOutputReport(report, size) ? IoResult::Ok : IoResult::Failed;
  }
  // The next input report for the host; waits at most timeoutMs for one. Failed: the device
  // is gone.
  virtual IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) = 0;
  // A new handle starts with no queued input, as it does on Windows.
  virtual void OnOpen() {}
  // The host drops the input it has not read.
  virtual void OnFlushInput() {}
};

void RegisterVirtual(std::shared_ptr<VirtualDevice> device);
void UnregisterVirtual(const std::shared_ptr<VirtualDevice>& device);
void UnregisterAllVirtual();
int VirtualCount();

}  // namespace platform::hid
