// USB HID devices: enumeration by interface index, open, attributes, and reports either through
// the class driver's report calls or through the interrupt pipe.
// Backends: win32/hid.cpp (SetupAPI, HidD_*, overlapped ReadFile/WriteFile), posix/hid.cpp
// (hidapi for enumeration, the hidraw node itself for I/O), sim/hid.cpp (the virtual devices of
// platform/hid_virtual.h, listed instead of the system's while simulation is on).
//
// Reports keep the Windows layout everywhere: byte 0 is the report ID (0 for a device without
// numbered reports), the payload follows.
//
// Threads: enumeration and Open may run on any thread. One Device is used by one thread at a
// time, except that Close may not race its own I/O, and that one thread may block in
// ReadOrStop while another sends feature reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event.h"

namespace platform::hid {

enum class IoResult {
  Ok,
  Failed,    // the device refused the call or is gone (unplugged, handle closed)
  TimedOut,  // nothing within the time-out; the operation was cancelled, the device is still usable
  Stopped,   // the caller's stop event ended the wait; the read was cancelled, the device is still usable
};

struct Attributes {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t versionNumber = 0;
};

// The top-level collection and the report lengths, as HidP_GetCaps gives them: each length
// counts the report ID byte, also for a device without numbered reports; 0 when the device has
// no report of that kind.
struct Caps {
  uint16_t usagePage = 0;
  uint16_t usage = 0;
  uint16_t inputReportLength = 0;
  uint16_t outputReportLength = 0;
  uint16_t featureReportLength = 0;
};

// An open device. Closing it (Close below) releases the OS handle.
class Device {
 public:
  virtual ~Device() = default;

  // Does not block. false: the attributes cannot be read (the device is gone).
  virtual bool GetAttributes(Attributes* attributes) = 0;

  // Does not block. false: the device's report descriptor cannot be read (the device is gone).
  virtual bool GetCaps(Caps* caps) = 0;

  // Class-driver report calls (HidD_SetOutputReport / HidD_GetInputReport on the control pipe).
  // Block until the device has answered; no time-out of ours applies (the USB stack bounds them,
  // 5 s on Linux). GetInputReport returns the report the device holds now. false: refused, or
  // the device is gone.
  virtual bool SetOutputReport(const uint8_t* report, size_t size) = 0;
  virtual bool GetInputReport(uint8_t* report, size_t size) = 0;

  // One feature report (HidD_SetFeature), report ID in byte 0, `size` bytes as given. Blocks
  // until the device has taken it (bounded by the USB stack). May run while another thread
  // blocks in ReadOrStop. false: refused, or the device is gone.
  virtual bool SetFeature(const uint8_t* report, size_t size) = 0;

  // Interrupt-pipe reports. Write blocks until the report is sent: Windows cancels it after
  // timeoutMs (TimedOut); on Linux hidraw hands it to the USB stack, which bounds it itself.
  virtual IoResult Write(const uint8_t* report, size_t size, uint32_t timeoutMs) = 0;
  // Blocks for the next input report, at most timeoutMs (0: only one already queued). A signal
  // does not cut the wait short.
  virtual IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) = 0;

  // The next input report (at most `size` bytes, the count in *received), waiting without
  // time-out until one arrives or `stop` is set. Stopped: the stop event was taken (an
  // auto-reset event is reset) and the read cancelled. Failed: the device is gone. Waits on the
  // device and the event only: an idle device costs no wake-ups.
  virtual IoResult ReadOrStop(uint8_t* report, size_t size, size_t* received, Event& stop) = 0;

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
// The system's error code of this thread's last failed call above (GetLastError on Windows,
// errno on Linux; for a virtual device 1167, "not connected", once it is unplugged, else 31).
// Not reset by successful calls.
uint32_t LastError();
// Releases the handle; null is allowed. Must not run while the device's I/O runs on another
// thread.
void Close(Device* device);

}  // namespace platform::hid
