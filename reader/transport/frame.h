// The command frame: AA AA AA 96 69, length (n + 3, big-endian), command, parameter, n data
// bytes, XOR checksum of everything from the length field on. Replies carry the same preamble,
// a length L, SW1 SW2 SW3, L - 4 data bytes and a checksum the host does not check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vnsdt {

constexpr uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr size_t kFrameBufferSize = 1024;
// The update packet carries up to 1024 data bytes after its sub-code and number.
constexpr size_t kLargeFrameBufferSize = 1024 + 2 + 10;
constexpr size_t kReplyBufferSize = 4096;
constexpr size_t kFindCardReplyBufferSize = 1024;
constexpr int kSw3Success = 0x90;
constexpr int kSw3FindSuccess = 0x9F;
// Reply header: preamble, length, SW1..SW3.
constexpr size_t kReplyHeaderSize = 10;

// Writes the frame into `out` (capacity bytes); returns its size n + 10, or 0 when it does not
// fit or the data pointer is missing for n > 0.
size_t BuildFrame(const uint8_t* data, size_t n, uint8_t command, uint8_t parameter, uint8_t* out, size_t capacity);

// 0 when the reply starts with the preamble and, if expectedSw1 >= 0, byte 7 equals it.
int CheckReply(const uint8_t* reply, size_t size, int expectedSw1 = -1);

inline bool HasPreamble(const uint8_t* p) {
  return p[0] == 0xAA && p[1] == 0xAA && p[2] == 0xAA && p[3] == 0x96 && p[4] == 0x69;
}

// Milliseconds for a time-out in seconds: negative counts as 0, and the result stays below the
// value Windows takes as "wait forever".
inline uint32_t TimeoutMs(int seconds) {
  if (seconds <= 0) return 0;
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
  return ms < 0xFFFFFFFEu ? static_cast<uint32_t>(ms) : 0xFFFFFFFEu;
}

// SW3 of a checked reply, and its data part.
inline int Sw3(const uint8_t* reply) { return reply[9]; }
inline const uint8_t* ReplyData(const uint8_t* reply) { return reply + kReplyHeaderSize; }
// Data bytes of a reply of `size` total bytes (total minus 11), never negative.
inline size_t ReplyDataSize(size_t size) { return size > 11 ? size - 11 : 0; }

}  // namespace vnsdt
