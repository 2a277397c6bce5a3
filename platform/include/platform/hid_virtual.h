// Virtual HID devices for simulation and tests. While simulation is on, enumeration lists the
// registered virtual devices (in registration order) instead of the system's devices; opening
// one gives a handle whose calls reach the device below. A device unregistered while handles
// are open is unplugged: every call on those handles fails.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/hid.h"

namespace platform::hid {

// What a virtual device's stoppable read waits on besides its own input: the reader's stop
// event, seen as a flag under the device's own lock. Make it before taking that lock (its
// watcher takes the lock when the event is set), wait on the device's condition variable until
// input comes or Requested(); on leaving scope it takes the signal from an auto-reset event.
class StopSignal {
 public:
  StopSignal(Event& stop, std::mutex& mutex, std::condition_variable& cv);
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  // Read with the device's lock held.
  bool Requested() const { return requested_.load(); }

 private:
  Event& stop_;
  std::atomic<bool> requested_{false};
  bool taken_ = false;
  Event::Watch watch_;
};

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
  // The device's report descriptor; the handle's GetCaps is worked out from it. Empty: GetCaps
  // fails.
  virtual std::vector<uint8_t> ReportDescriptor() { return {}; }
  // One feature report from the host. false: the call fails.
  virtual bool OnFeatureReport(const uint8_t* /*report*/, size_t /*size*/) { return false; }
  // The stoppable read of Device::ReadOrStop: waits until input comes or the stop is requested
  // (see StopSignal), no time-out. Devices that do not offer it fail the read.
  virtual IoResult OnInputReportOrStop(uint8_t* /*report*/, size_t /*size*/, size_t* /*received*/, Event& /*stop*/) {
    return IoResult::Failed;
  }
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
