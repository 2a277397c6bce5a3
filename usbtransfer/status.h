// The outcome of every operation of the transfer library. Inside the library nothing else is
// returned; only the exports turn a Status into the numbers callers see.
#pragma once

#include <cstdint>

namespace jrs {

enum class Status : uint8_t {
  kOk,
  kMissingArgument,  // handle, request, request length, reply buffer or reply length
  kSendFailed,       // a report or the request block did not go out, or the handle is not ours
  kReceiveFailed,    // the reply block could not be read
  kNoTerminal,       // the last search found none, or the HID terminal is gone
};

constexpr int ExportCode(Status s) {
  switch (s) {
    case Status::kOk:
      return 0;
    case Status::kMissingArgument:
      return -3;
    case Status::kSendFailed:
      return -2;
    case Status::kReceiveFailed:
    case Status::kNoTerminal:
      return -1;
  }
  return -1;
}

}  // namespace jrs
