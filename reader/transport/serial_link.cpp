#include "serial_link.h"

#include <cstring>

#include "frame.h"

namespace vnsdt {

SerialLink& Serial() {
  static SerialLink link;
  return link;
}

SerialLink::~SerialLink() {
  for (auto*& p : slots_) {
    platform::serial::Close(p);
    p = nullptr;
  }
}

bool SerialLink::HasHandle(int port) const { return port >= 1 && port <= kPorts && slots_[port - 1] != nullptr; }

int SerialLink::OpenPort(int port) {
  if (port < 0 || port > kPorts) port = 1;
  if (port == 0) return kSerialOpenFailed;
  auto*& slot = slots_[port - 1];
  platform::serial::Close(slot);
  slot = nullptr;
  platform::serial::Port* p = platform::serial::Open(port);
  if (p == nullptr) return kSerialOpenFailed;
  p->SetQueues(1024, 1024);
  p->SetLine(lineRate);
  p->SetReadTimeouts(0, 100, 100);
  slot = p;
  return kSerialOk;
}

bool SerialLink::ClosePort(int port) {
  if (port < 1 || port > kPorts || slots_[port - 1] == nullptr) return false;
  platform::serial::Close(slots_[port - 1]);
  slots_[port - 1] = nullptr;
  return true;
}

int SerialLink::Transaction(const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                            size_t replyCapacity, size_t* replySize) {
  if (replySize) *replySize = 0;
  if (request == nullptr || reply == nullptr || replyCapacity < 7) return kSerialShortOrBadReply;
  int port = currentPort;
  if (port < 0 || port > kPorts) port = 1;
  const int opened = OpenPort(port);
  if (opened != kSerialOk) return opened;
  platform::serial::Port* p = slots_[port - 1];

  int result = kSerialOk;
  p->Purge(true, true);
  if (!p->Write(request, requestSize)) {
    p->ClearError();
    result = kSerialWriteFailed;
  } else {
    // All-zero time-outs would make a Windows read wait for ever; a 0 s time-out waits 1 ms.
    const uint32_t ms = TimeoutMs(timeoutSeconds);
    p->SetReadTimeouts(0, 0, ms > 0 ? ms : 1);
    if (p->Read(reply, 5) != 5 || !HasPreamble(reply)) {
      result = kSerialShortOrBadReply;
    } else if (p->Read(reply + 5, 2) != 2) {
      result = kSerialShortOrBadReply;
    } else {
      const size_t length = (static_cast<size_t>(reply[5]) << 8) | reply[6];
      // A length that would not fit the reply buffer is a failed read, not an overflow.
      if (length + 7 > replyCapacity || p->Read(reply + 7, length) != static_cast<long>(length)) {
        result = kSerialShortOrBadReply;
      } else if (replySize) {
        *replySize = length + 7;
      }
    }
  }
  ClosePort(port);
  return result;
}

}  // namespace vnsdt

namespace vnsdt {

int RunSerialExchange(int port, const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                      size_t replyCapacity, size_t* replySize) {
  SerialLink& link = Serial();
  link.currentPort = port;
  size_t size = 0;
  if (link.Transaction(request, requestSize, timeoutSeconds, reply, replyCapacity, &size) != kSerialOk) return -1;
  if (CheckReply(reply, size) != 0) return -1;
  if (replySize) *replySize = size;
  return 0;
}

}  // namespace vnsdt
