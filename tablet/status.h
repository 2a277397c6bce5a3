// The one outcome of every operation in the library, grouped by the layer it comes from. Only
// the export file turns it into the numbers callers see.
#pragma once

namespace tablet {

enum class Status {
  kOk,

  // Device.
  kNoTablet,  // none found, none open, or the open one is gone

  // Commands.
  kNoAcknowledgement,  // the tablet did not acknowledge within the wait (or the reader did not confirm its end)
  kNoSerialReply,      // no serial-number reply within the wait
};

// The exports' numbers.
inline int ExportCode(Status s) {
  switch (s) {
    case Status::kOk:
      return 0;
    case Status::kNoTablet:
      return 1;
    case Status::kNoSerialReply:
      return 2;
    case Status::kNoAcknowledgement:
    default:
      return 4;
  }
}

}  // namespace tablet
