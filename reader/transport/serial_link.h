// The serial transport: one handle slot per COM port 1..16, the current port, the line rate.
// A command opens the port, exchanges one frame and closes it again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/serial.h"

namespace vnsdt {

// Failure codes inside the library; every export reports them as -1.
enum SerialError : int {
  kSerialOk = 0,
  kSerialShortOrBadReply = 1,
  kSerialWriteFailed = 16,
  kSerialOpenFailed = 20,
  kSerialPortOutOfRange = 255,
};

class SerialLink {
 public:
  static constexpr int kPorts = 16;
  static constexpr uint32_t kDefaultRate = 115200;

  ~SerialLink();

  // Opens `port` (below 0 or above 16 is taken as 1; 0 never opens) into its slot.
  int OpenPort(int port);
  // Closes the slot's handle; false when there was none.
  bool ClosePort(int port);
  bool HasHandle(int port) const;

  // One exchange on the current port: open, send, read preamble, length and the rest within
  // `timeoutSeconds` each, close. `replySize` receives the total size.
  int Transaction(const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply, size_t replyCapacity,
                  size_t* replySize);

  int currentPort = 1;
  uint32_t lineRate = kDefaultRate;

 private:
  platform::serial::Port* slots_[kPorts] = {};
};

SerialLink& Serial();

}  // namespace vnsdt

namespace vnsdt {

// One serial command the way every command export runs it: the port becomes the current port,
// one transaction, the preamble check. 0 on success (reply in `reply`, size in `replySize`),
// -1 for any failure.
int RunSerialExchange(int port, const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                      size_t replyCapacity, size_t* replySize);

}  // namespace vnsdt
