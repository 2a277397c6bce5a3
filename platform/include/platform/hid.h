// USB HID devices: enumeration by interface index, open, attributes, and 65-byte reports either
// through the class driver's report calls or through overlapped reads and writes.
// Windows: SetupAPI and HidD_*. Linux: hidapi (hidraw). With simulation on (or virtual devices
// registered by tests) the devices of platform/hid_virtual.h take the place of real ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::hid {

enum class IoResult { Ok, Failed, TimedOut };

struct Attributes {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t versionNumber = 0;
};

// An open device. Closing it (delete, or Close below) releases the OS handle.
class Device {
 public:
  virtual ~Device() = default;
  virtual bool GetAttributes(Attributes* attributes) = 0;
  // Report calls of the class driver (HidD_SetOutputReport / HidD_GetInputReport). The buffer
  // holds the report ID in byte 0.
  virtual bool SetOutputReport(const uint8_t* report, size_t size) = 0;
  virtual bool GetInputReport(uint8_t* report, size_t size) = 0;
  // Interrupt-pipe reports (WriteFile / ReadFile); a pending operation is cancelled after
  // timeoutMs.
  virtual IoResult Write(const uint8_t* report, size_t size, uint32_t timeoutMs) = 0;
  virtual IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) = 0;
};

// The number of interface indices enumeration visits.
constexpr int kMaxInterfaceIndex = 1000;

// Device path of HID interface number `index` among the present devices, looked up afresh on
// every call; false when there is no interface at that index.
bool DevicePathAt(int index, std::string* path);
// Opens a path for reading and writing, shared, for overlapped I/O; null on failure.
Device* Open(const std::string& path);
void Close(Device* device);

}  // namespace platform::hid
