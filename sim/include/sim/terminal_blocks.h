// The block protocol of the simulated card terminal, spoken by the terminal and by our stand-in
// of the card library above the transfer library. One request block goes out, one reply block
// of exactly the length the request asked for comes back (zero-filled after its end):
//
//   request: 02 'J' seq command capacity(2) n(2) payload(n) xor     capacity: reply bytes to read
//   reply:   02 'T' seq command status 00   m(2) payload(m) xor 00...
//
// Numbers are big-endian; xor covers every byte before it. The command code sits at index 3 of
// both blocks, where the transfer library's vendor command picks it up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::blocks {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kRequestMark = 'J';
constexpr uint8_t kReplyMark = 'T';
constexpr size_t kHeader = 8;
constexpr size_t kOverhead = kHeader + 1;
// The request length travels in 16 bits.
constexpr size_t kMaxBlock = 0xFFFF;
constexpr size_t kMaxPayload = kMaxBlock - kOverhead;

enum Command : uint8_t {
  kOpen = 0x01,     // payload: card port(2), device port(2)
  kClose = 0x02,    // no payload
  kRead = 0x10,     // payload: area(1), struct type(2), index(2), count(2); reply: the records
  kWrite = 0x11,    // payload: record text; to the card
  kCommand = 0x12,  // payload: command(2), text
};

enum Area : uint8_t {
  kCardArea = 1,      // the card in the terminal
  kTerminalArea = 2,  // the terminal's own memory
  kCommandArea = 3,   // the terminal's answers: its state, the last command
};

enum Status : uint8_t {
  kOk = 0,
  kNotOpen = 1,
  kNoCard = 2,
  kBadParameter = 3,
  kNoRecord = 4,
  kUnknownCommand = 5,
  kBadBlock = 6,
  kReplyTooLong = 7,
};

struct Request {
  uint8_t sequence = 0;
  uint8_t command = 0;
  uint16_t capacity = 0;
  Bytes payload;
};

struct Reply {
  uint8_t sequence = 0;
  uint8_t command = 0;
  uint8_t status = kOk;
  Bytes payload;
};

// Empty when the payload does not fit a block.
Bytes EncodeRequest(const Request& request);
// The whole block, padded to `capacity`; kReplyTooLong with no payload when it does not fit.
Bytes EncodeReply(const Reply& reply, size_t capacity);
// Whether `data` holds a whole request (the bytes after its checksum are ignored), and its size.
std::optional<size_t> RequestSize(const Bytes& data);
// Nothing when the block is malformed: wrong marks, a length beyond the data, a bad checksum.
std::optional<Request> DecodeRequest(const Bytes& block);
std::optional<Reply> DecodeReply(const uint8_t* block, size_t size);

void PutU16(Bytes& out, uint16_t v);
uint16_t GetU16(const uint8_t* p);

}  // namespace sim::blocks
