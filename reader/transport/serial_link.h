// The serial transport: one handle slot per COM port 1..16 and the line rate. A command opens
// the port, exchanges one frame and closes it again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "platform/serial.h"

namespace vnsdt {

class SerialLink {
 public:
  static constexpr uint32_t kDefaultRate = 115200;

  ~SerialLink();

  // Opens `port` (below 0 or above 16 is taken as 1; 0 never opens) into its slot: kOk or
  // kOpenFailed.
  Status OpenPort(int port);
  // Closes the slot's handle; false when there was none.
  bool ClosePort(int port);
  bool HasHandle(int port) const;

  // One exchange on `port`: open, send, read preamble, length and the rest within
  // `timeoutSeconds` each, close. `replySize` receives the total size.
  Status Transaction(int port, const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                     size_t replyCapacity, size_t* replySize);

  uint32_t lineRate = kDefaultRate;

 private:
  platform::serial::Port* slots_[kSerialPorts.Count()] = {};
};

SerialLink& Serial();

// One serial command the way every command export runs it: one transaction, then the reply
// check. kOk with the reply in `reply` and its size in `replySize`.
Status RunSerialExchange(int port, const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                         size_t replyCapacity, size_t* replySize);

}  // namespace vnsdt
