// The command frame: AA AA AA 96 69, length (n + 3, big-endian), command, parameter, n data
// bytes, XOR checksum of everything from the length field on. Replies carry the same preamble,
// a length L, SW1 SW2 SW3, L - 4 data bytes and a checksum the host does not check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "status.h"

namespace vnsdt {

constexpr uint8_t kPreamble[5] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr size_t kFrameBufferSize = 1024;
// The update packet carries up to 1024 data bytes after its sub-code and number.
constexpr size_t kLargeFrameBufferSize = 1024 + 2 + 10;
constexpr size_t kReplyBufferSize = 4096;
constexpr size_t kFindCardReplyBufferSize = 1024;
constexpr uint8_t kSw3Success = 0x90;
constexpr uint8_t kSw3FindSuccess = 0x9F;
// Reply header: preamble, length, SW1..SW3.
constexpr size_t kReplyHeaderSize = 10;

// The port numbers of each transport; one constant per range.
struct PortRange {
  int first;
  int last;
  constexpr bool Contains(int port) const { return port >= first && port <= last; }
  constexpr int Count() const { return last - first + 1; }
  constexpr int Index(int port) const { return port - first; }
};
constexpr PortRange kSerialPorts{1, 16};
constexpr PortRange kHidPorts{1001, 1016};

// Writes the frame into `out` (capacity bytes); returns its size n + 10, or 0 when it does not
// fit or the data pointer is missing for n > 0.
size_t BuildFrame(const uint8_t* data, size_t n, uint8_t command, uint8_t parameter, uint8_t* out, size_t capacity);

// kOk when the reply of `size` bytes starts with the preamble and is long enough to carry SW3;
// with expectedSw1 >= 0 byte 7 must equal it too.
Status CheckReply(const uint8_t* reply, size_t size, int expectedSw1 = -1);

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

// Data bytes of a reply of `size` total bytes (total minus 11), never negative.
inline size_t ReplyDataSize(size_t size) { return size > 11 ? size - 11 : 0; }

}  // namespace vnsdt
