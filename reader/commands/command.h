// What every card and device command shares: the port check, the open flag, one exchange on
// its transport, the preamble check. Commands differ only in their frame and in what they read
// out of the reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace vnsdt {

enum class Link { Serial, Hid };

struct CommandDef {
  uint8_t command;
  uint8_t parameter;
  int serialTimeoutSeconds;
  int hidTimeoutSeconds;
  size_t replyCapacity = kReplyBufferSize;
  size_t frameCapacity = kFrameBufferSize;
  // HID: a frame longer than one report goes out as single-report transfers.
  bool splitOverHid = false;
};

struct Reply {
  uint8_t bytes[kReplyBufferSize];
  size_t size = 0;
  int Sw3() const { return bytes[9]; }
  const uint8_t* Data() const { return bytes + kReplyHeaderSize; }
  size_t DataSize() const { return ReplyDataSize(size); }
};

// Returned by Run when a reply with the preamble is in `reply`.
constexpr int kReplied = 0x10000;

// HID: 0 for a port outside 1001..1016. Both: `data` of `n` bytes as the frame's data.
// Returns kReplied, or the command's result (0, 1, -1); after a failed HID exchange
// `hidFailure` receives the transport's own code.
int Run(Link link, int port, int openFlag, const CommandDef& cmd, const uint8_t* data, size_t n, Reply* reply,
        int* hidFailure = nullptr);

inline bool PortInRange(Link link, int port) { return link == Link::Serial || (port >= 1001 && port <= 1016); }

inline uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace vnsdt
