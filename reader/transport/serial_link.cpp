#include "serial_link.h"

#include <cstring>

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

bool SerialLink::HasHandle(int port) const {
  return kSerialPorts.Contains(port) && slots_[kSerialPorts.Index(port)] != nullptr;
}

Status SerialLink::OpenPort(int port) {
  if (port < 0 || port > kSerialPorts.last) port = kSerialPorts.first;
  if (port == 0) return Status::kOpenFailed;
  auto*& slot = slots_[kSerialPorts.Index(port)];
  platform::serial::Close(slot);
  slot = nullptr;
  platform::serial::Port* p = platform::serial::Open(port);
  if (p == nullptr) return Status::kOpenFailed;
  p->SetQueues(1024, 1024);
  p->SetLine(lineRate);
  p->SetReadTimeouts(0, 100, 100);
  slot = p;
  return Status::kOk;
}

bool SerialLink::ClosePort(int port) {
  if (!HasHandle(port)) return false;
  platform::serial::Close(slots_[kSerialPorts.Index(port)]);
  slots_[kSerialPorts.Index(port)] = nullptr;
  return true;
}

Status SerialLink::Transaction(int port, const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                               size_t replyCapacity, size_t* replySize) {
  if (replySize) *replySize = 0;
  if (request == nullptr || reply == nullptr || replyCapacity < 7) return Status::kInvalidArgument;
  if (port < 0 || port > kSerialPorts.last) port = kSerialPorts.first;
  const Status opened = OpenPort(port);
  if (opened != Status::kOk) return opened;
  platform::serial::Port* p = slots_[kSerialPorts.Index(port)];

  Status result = Status::kOk;
  p->Purge(true, true);
  if (!p->Write(request, requestSize)) {
    p->ClearError();
    result = Status::kSendFailed;
  } else {
    // All-zero time-outs would make a Windows read wait for ever; a 0 s time-out waits 1 ms.
    const uint32_t ms = TimeoutMs(timeoutSeconds);
    p->SetReadTimeouts(0, 0, ms > 0 ? ms : 1);
    if (p->Read(reply, 5) != 5) {
      result = Status::kReceiveFailed;
    } else if (!HasPreamble(reply)) {
      result = Status::kNoPreamble;
    } else if (p->Read(reply + 5, 2) != 2) {
      result = Status::kReceiveFailed;
    } else {
      const size_t length = (static_cast<size_t>(reply[5]) << 8) | reply[6];
      // A length that would not fit the reply buffer is refused before its bytes are read.
      if (length + 7 > replyCapacity) {
        result = Status::kReplyTooLong;
      } else if (p->Read(reply + 7, length) != static_cast<long>(length)) {
        result = Status::kReceiveFailed;
      } else if (replySize) {
        *replySize = length + 7;
      }
    }
  }
  ClosePort(port);
  return result;
}

Status RunSerialExchange(int port, const uint8_t* request, size_t requestSize, int timeoutSeconds, uint8_t* reply,
                         size_t replyCapacity, size_t* replySize) {
  size_t size = 0;
  const Status s = Serial().Transaction(port, request, requestSize, timeoutSeconds, reply, replyCapacity, &size);
  if (s != Status::kOk) return s;
  const Status checked = CheckReply(reply, size);
  if (checked == Status::kOk && replySize) *replySize = size;
  return checked;
}

}  // namespace vnsdt
