// The HID transport: the trans type (1 = class-driver report calls, 2 = overlapped reads and
// writes), one device slot per port 1001..1016, and the reader finder. Every report is 65
// bytes: report ID 0 and 64 payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Failure codes of the HID transport. Command exports report them as -1, except where a command
// hands the transport's own code to its caller.
enum HidError : int {
  kHidOk = 0,
  kHidSendFailed = -2,     // missing argument, or a report could not be sent
  kHidReceiveFailed = -3,  // no report, a time-out, a reply without preamble or too long
  kHidEchoFailed = -4,     // SW1 of the reply is not the parameter byte sent
};

class HidLink {
 public:
  static constexpr int kFirstPort = 1001;
  static constexpr int kPorts = 16;

  ~HidLink();

  static bool InRange(int port) { return port >= kFirstPort && port < kFirstPort + kPorts; }
  // Closes what the slot holds and looks for reader number port - 1001; true when found.
  bool Open(int port);
  // false when the slot was empty.
  bool Close(int port);
  platform::hid::Device* Slot(int port) const { return InRange(port) ? slots_[port - kFirstPort] : nullptr; }

  // One exchange. `replySize` receives the total size of the reply (a 16-bit count); on failure
  // `failure` receives kHidSendFailed or kHidReceiveFailed.
  bool Transfer(platform::hid::Device* device, const uint8_t* request, size_t requestSize, int timeoutSeconds,
                bool expectReply, uint8_t* reply, size_t replyCapacity, uint16_t* replySize, int* failure = nullptr);

  int transType = 1;
  CSdtDeviceHid finder;

 private:
  bool SendReport(platform::hid::Device* device, const uint8_t* report);
  bool ReadReport(platform::hid::Device* device, uint8_t* report, uint32_t timeoutMs);

  platform::hid::Device* slots_[kPorts] = {};
};

HidLink& Hid();

// Runs one HID command the way every command export does: range check (0), the open flag
// (1 = find the reader for this command only), no device (1), transfer; returns 0 on success
// with the reply in `reply`, or the export's result code (0, 1, -1) otherwise.
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
  // The transport's failure code when the exchange failed after reaching the device.
  int failure = kHidOk;
};
int RunHidExchange(HidExchange& exchange, bool* transferred);

}  // namespace vnsdt
