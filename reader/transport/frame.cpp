#include "frame.h"

#include <cstring>

namespace vnsdt {

size_t BuildFrame(const uint8_t* data, size_t n, uint8_t command, uint8_t parameter, uint8_t* out, size_t capacity) {
  if (out == nullptr || (n > 0 && data == nullptr) || n + 10 > capacity || n + 3 > 0xFFFF) return 0;
  std::memcpy(out, kPreamble, sizeof kPreamble);
  out[5] = static_cast<uint8_t>((n + 3) >> 8);
  out[6] = static_cast<uint8_t>(n + 3);
  out[7] = command;
  out[8] = parameter;
  if (n > 0) std::memcpy(out + 9, data, n);
  uint8_t sum = 0;
  for (size_t i = 5; i < 9 + n; ++i) sum ^= out[i];
  out[9 + n] = sum;
  return n + 10;
}

Status CheckReply(const uint8_t* reply, size_t size, int expectedSw1) {
  if (reply == nullptr || size < sizeof kPreamble || !HasPreamble(reply)) return Status::kNoPreamble;
  // A length field under 3 leaves SW3 out; its byte would read as "port out of range".
  if (size < kReplyHeaderSize) return Status::kReplyTooShort;
  if (expectedSw1 >= 0 && reply[7] != static_cast<uint8_t>(expectedSw1)) return Status::kEchoMismatch;
  return Status::kOk;
}

}  // namespace vnsdt
