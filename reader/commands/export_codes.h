// The numbers the exports answer with. Only the export files include this: everything below
// them speaks Status.
#pragma once

#include "command.h"
#include "status.h"
#include "vnsdtapi.h"

namespace vnsdt {

// Command exports: the reader's SW3 when it answered; 0 for a port out of range and the
// argument checks that answer 0; 1 no HID device; -1 for every other failure.
inline int CommandResult(Link link, Result r) {
  switch (r.status) {
    case Status::kOk:
    case Status::kReaderStatus:
      return r.sw3;
    case Status::kPortOutOfRange:
    case Status::kValueOutOfRange:
      return 0;
    case Status::kLengthRefused:
      return link == Link::Hid ? 0 : -1;
    case Status::kNoDevice:
      return 1;
    default:
      return -1;
  }
}

// The HID form of a command whose caller wants the transport's own failure: -2 sending, -3
// receiving (nothing, a time-out, a bad or oversized reply), -4 a wrong SW1 echo.
inline int CommandResultWithTransportCodes(Link link, Result r) {
  if (link != Link::Hid) return CommandResult(link, r);
  switch (r.status) {
    case Status::kSendFailed:
      return -2;
    case Status::kReceiveFailed:
    case Status::kNoPreamble:
    case Status::kReplyTooLong:
    case Status::kReplyTooShort:
      return -3;
    case Status::kEchoMismatch:
      return -4;
    default:
      return CommandResult(link, r);
  }
}

static_assert(kSw3Success == VNSDTAPI_SUCCESS && kSw3FindSuccess == VNSDTAPI_FIND_SUCCESS,
              "the public header names the reader's own status bytes");

// The opening exports: 144 when the port is open (closed), 0 otherwise.
inline int PortResult(bool done) { return done ? kSw3Success : 0; }

}  // namespace vnsdt
