// The HID transport: the trans type (1 = class-driver report calls, 2 = interrupt-pipe reads and
// writes), one device slot per port 1001..1016, and the reader finder. Every report is 65
// bytes: report ID 0 and 64 payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "platform/hid.h"

namespace vnsdt {

constexpr uint16_t kReaderVendorId = 0x2796;
constexpr uint16_t kReaderProductIds[2] = {0x1001, 0x1002};
constexpr size_t kReportSize = 65;
constexpr size_t kPayloadSize = 64;
constexpr uint32_t kWriteTimeoutMs = 2000;

// Finds attached readers by walking HID interface indices 0..999.
class CSdtDeviceHid {
 public:
  // Opens, checks and closes every reader; returns how many there are.
  int Count();
  // Reader number k (zero-based) in interface order, open; null when there are fewer.
  platform::hid::Device* Find(int k);

 private:
  platform::hid::Device* OpenIfReader(int index);
};

class HidLink {
 public:
  ~HidLink();

  // Closes what the slot holds and looks for reader number port - 1001; true when found.
  bool Open(int port);
  // false when the slot was empty.
  bool Close(int port);
  platform::hid::Device* Slot(int port) const {
    return kHidPorts.Contains(port) ? slots_[kHidPorts.Index(port)] : nullptr;
  }

  // One exchange: kOk with the reply's total size (a 16-bit count) in `replySize`, or the
  // transport's failure.
  Status Transfer(platform::hid::Device* device, const uint8_t* request, size_t requestSize, int timeoutSeconds,
                  bool expectReply, uint8_t* reply, size_t replyCapacity, uint16_t* replySize);

  int transType = 1;
  CSdtDeviceHid finder;

 private:
  bool SendReport(platform::hid::Device* device, const uint8_t* report);
  bool ReadReport(platform::hid::Device* device, uint8_t* report, uint32_t timeoutMs);

  platform::hid::Device* slots_[kHidPorts.Count()] = {};
};

HidLink& Hid();

// One HID command the way every command export runs it: range check, the open flag (1: find
// the reader for this command only; otherwise the handle HID_OpenPort left, drained of input
// the last command left behind), the transfer and the reply check. kOk with the reply in
// `reply`.
struct HidExchange {
  int port;
  int openFlag;
  const uint8_t* request;
  size_t requestSize;
  int timeoutSeconds;
  uint8_t* reply;
  size_t replyCapacity;
  uint16_t replySize = 0;
  // Send a frame longer than one report as single-report transfers, the last one with reply.
  bool splitLongFrames = false;
};
Status RunHidExchange(HidExchange& exchange);

}  // namespace vnsdt
