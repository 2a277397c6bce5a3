#include "sim/terminal_blocks.h"

namespace sim::blocks {
namespace {

uint8_t Xor(const uint8_t* data, size_t size) {
  uint8_t x = 0;
  for (size_t i = 0; i < size; ++i) x ^= data[i];
  return x;
}

Bytes Encode(uint8_t mark, uint8_t sequence, uint8_t command, uint8_t b4, uint8_t b5, const Bytes& payload) {
  Bytes out = {kStart, mark, sequence, command, b4, b5};
  PutU16(out, static_cast<uint16_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  out.push_back(Xor(out.data(), out.size()));
  return out;
}

// The payload of a well-formed block of `mark`, else nothing.
bool Check(const uint8_t* block, size_t size, uint8_t mark, size_t* payloadSize) {
  if (block == nullptr || size < kOverhead || block[0] != kStart || block[1] != mark) return false;
  const size_t n = GetU16(block + 6);
  if (kOverhead + n > size || Xor(block, kHeader + n) != block[kHeader + n]) return false;
  *payloadSize = n;
  return true;
}

}  // namespace

void PutU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

Bytes EncodeRequest(const Request& r) {
  if (r.payload.size() > kMaxPayload) return {};
  return Encode(kRequestMark, r.sequence, r.command, static_cast<uint8_t>(r.capacity >> 8),
                static_cast<uint8_t>(r.capacity), r.payload);
}

Bytes EncodeReply(const Reply& r, size_t capacity) {
  Bytes out = kOverhead + r.payload.size() <= capacity
                  ? Encode(kReplyMark, r.sequence, r.command, r.status, 0, r.payload)
                  : Encode(kReplyMark, r.sequence, r.command, kReplyTooLong, 0, {});
  out.resize(capacity < out.size() ? out.size() : capacity, 0);
  return out;
}

std::optional<size_t> RequestSize(const Bytes& data) {
  if (data.size() < kHeader) return std::nullopt;
  const size_t total = kOverhead + GetU16(data.data() + 6);
  return data.size() >= total ? std::optional<size_t>(total) : std::nullopt;
}

std::optional<Request> DecodeRequest(const Bytes& block) {
  size_t n = 0;
  if (!Check(block.data(), block.size(), kRequestMark, &n)) return std::nullopt;
  Request r;
  r.sequence = block[2];
  r.command = block[3];
  r.capacity = GetU16(block.data() + 4);
  r.payload.assign(block.begin() + kHeader, block.begin() + static_cast<long>(kHeader + n));
  return r;
}

std::optional<Reply> DecodeReply(const uint8_t* block, size_t size) {
  size_t n = 0;
  if (!Check(block, size, kReplyMark, &n)) return std::nullopt;
  Reply r;
  r.sequence = block[2];
  r.command = block[3];
  r.status = block[4];
  r.payload.assign(block + kHeader, block + kHeader + n);
  return r;
}

}  // namespace sim::blocks
