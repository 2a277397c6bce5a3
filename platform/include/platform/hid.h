// USB HID devices: enumeration by interface index, open, attributes, and reports either through
// the class driver's report calls or through the interrupt pipe.
// Backends: win32/hid.cpp (SetupAPI, HidD_*, overlapped ReadFile/WriteFile), posix/hid.cpp
// (hidapi for enumeration, the hidraw node itself for I/O), sim/hid.cpp (the virtual devices of
// platform/hid_virtual.h, listed instead of the system's while simulation is on).
//
// Reports keep the Windows layout everywhere: byte 0 is the report ID (0 for the devices we
// drive), the payload follows.
//
// Threads: enumeration and Open may run on any thread. One Device is used by one thread at a
// time, except that Close may not race its own I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::hid {

enum class IoResult {
  Ok,
  Failed,    // the device refused the call or is gone (unplugged, handle closed)
  TimedOut,  // nothing within the time-out; the operation was cancelled, the device is still usable
};

struct Attributes {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t versionNumber = 0;
};

// An open device. Closing it (Close below) releases the OS handle.
class Device {
 public:
  virtual ~Device() = default;

  // Does not block. false: the attributes cannot be read (the device is gone).
  virtual bool GetAttributes(Attributes* attributes) = 0;

  // Class-driver report calls (HidD_SetOutputReport / HidD_GetInputReport on the control pipe).
  // Block until the device has answered; no time-out of ours applies (the USB stack bounds them,
  // 5 s on Linux). GetInputReport returns the report the device holds now. false: refused, or
  // the device is gone.
  virtual bool SetOutputReport(const uint8_t* report, size_t size) = 0;
  virtual bool GetInputReport(uint8_t* report, size_t size) = 0;

  // Interrupt-pipe reports. Write blocks until the report is sent: Windows cancels it after
  // timeoutMs (TimedOut); on Linux hidraw hands it to the USB stack, which bounds it itself.
  virtual IoResult Write(const uint8_t* report, size_t size, uint32_t timeoutMs) = 0;
  // Blocks for the next input report, at most timeoutMs (0: only one already queued). A signal
  // does not cut the wait short.
  virtual IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) = 0;

  // Drops the input reports queued for this handle and not yet read (HidD_FlushQueue). Does not
  // block. false: the device is gone.
  virtual bool FlushInput() = 0;
};

// How ReadWithRetries reads a report from a device that may be slow to start answering.
struct ReadRetries {
  int tries = 3;
  uint32_t timeoutMs = 1000;          // what each try waits for a report
  uint32_t pauseAfterTimeOutMs = 50;  // a further pause after a try that timed out
};
// Reads one input report, trying again after a try that failed or timed out. Blocks at most
// tries * (timeoutMs + pauseAfterTimeOutMs). Returns the last try's result.
IoResult ReadWithRetries(Device* device, uint8_t* report, size_t size, const ReadRetries& retries);

// The number of interface indices enumeration visits.
constexpr int kMaxInterfaceIndex = 1000;

// Device path of HID interface number `index` among the present devices. Does not block on any
// device. false: there is no interface at that index (a gap does not end the list).
bool DevicePathAt(int index, std::string* path);
// Opens a path for reading and writing, shared with other handles. Does not block. Null: the
// path does not exist or access is denied.
Device* Open(const std::string& path);
// Releases the handle; null is allowed. Must not run while the device's I/O runs on another
// thread.
void Close(Device* device);

}  // namespace platform::hid
