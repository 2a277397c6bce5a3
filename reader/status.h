// The one outcome of every operation in the library, grouped by the layer it comes from. Inside
// the library nothing else is returned; only the export files turn a Result into the numbers
// callers see (commands/export_codes.h).
#pragma once

#include <cstdint>

namespace vnsdt {

enum class Status : uint8_t {
  kOk,  // the reader answered with the command's success SW3 (or any SW3, where outputs apply)

  // Arguments, refused before anything is sent.
  kPortOutOfRange,   // a HID port outside 1001..1016
  kValueOutOfRange,  // a one- or two-byte value, a size or a length over its fixed limit
  kLengthRefused,    // a length over the command's limit that the serial exports answer with -1
  kInvalidArgument,  // a selector, count or buffer no command can use

  // Transport.
  kNoDevice,       // HID: no handle for the port
  kOpenFailed,     // the serial port could not be opened
  kSendFailed,     // a report or the frame could not be sent
  kReceiveFailed,  // no reply, a time-out, or fewer bytes than the length announced

  // Reply.
  kNoPreamble,     // the reply does not start with AA AA AA 96 69
  kReplyTooLong,   // its length field passes the reply buffer
  kReplyTooShort,  // its length field leaves no room for SW3
  kEchoMismatch,   // SW1 is not the parameter byte sent
  kBadReplyData,   // the data fail the command's own checks (sizes, blocks beyond buffers)

  // Device.
  kReaderStatus,  // the reader answered with another SW3, carried in Result::sw3

  // Decoding (DecodeWltData, DecodeWZData).
  kNoDecoder,          // the photo decoder library is missing or has no "unpack"
  kTempFileFailed,     // the temporary photo block could not be written
  kDecoderFailed,      // the decoder did not report success
  kPictureSize,        // the decoder's picture is not 38862 bytes
  kPictureUnreadable,  // the decoder's picture could not be copied or opened
  kBufferTooSmall,     // the caller's buffer is smaller than the result
  kFileFailed,         // the caller's file could not be written
  kEncodeFailed,       // the Base64 form could not be made
  kUnknownType,        // a photo type other than 1 or 2
};

struct Result {
  Status status = Status::kOk;
  uint8_t sw3 = 0;  // the reader's status byte, for kOk and kReaderStatus

  bool ok() const { return status == Status::kOk; }
  static Result Fail(Status s) { return {s, 0}; }
  // The reader's answer: kOk when it is `success`, its own status otherwise.
  static Result Reader(uint8_t sw3, uint8_t success) {
    return {sw3 == success ? Status::kOk : Status::kReaderStatus, sw3};
  }
};

}  // namespace vnsdt
