// What every card and device command shares: the port check, the open flag, one exchange on
// its transport, the reply check. Commands differ only in their frame and in what they read
// out of the reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "status.h"

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
  uint8_t Sw1() const { return bytes[7]; }
  uint8_t Sw3() const { return bytes[9]; }
  const uint8_t* Data() const { return bytes + kReplyHeaderSize; }
  size_t DataSize() const { return ReplyDataSize(size); }
};

// HID: kPortOutOfRange outside 1001..1016. Both: `data` of `n` bytes as the frame's data.
// kOk when a reply with the preamble and an SW3 is in `reply`, whatever that SW3 says.
Status Run(Link link, int port, int openFlag, const CommandDef& cmd, const uint8_t* data, size_t n, Reply* reply);

inline bool PortInRange(Link link, int port) { return link == Link::Serial || kHidPorts.Contains(port); }

inline uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace vnsdt
