// The ID-card commands. One implementation per command serves both transports.
#include "card_commands.h"

#include <cstdio>
#include <cstring>

namespace vnsdt {
namespace {

// Command, parameter, read time-out on serial / HID in seconds.
constexpr CommandDef kGetSAMStatus{0x11, 0xFF, 1, 3};
constexpr CommandDef kReSetSAM{0x10, 0xFF, 1, 3};
constexpr CommandDef kGetSAMID{0x12, 0xFF, 1, 3};
constexpr CommandDef kStartFindIDCard{0x20, 0x01, 2, 3, kFindCardReplyBufferSize};
constexpr CommandDef kSelectIDCard{0x20, 0x02, 2, 3};
constexpr CommandDef kReadBaseMsg{0x30, 0x01, 2, 3};
constexpr CommandDef kReadBaseFPMsg{0x30, 0x10, 2, 3};
constexpr CommandDef kReadNewAppMsg{0x30, 0x03, 1, 3};
constexpr CommandDef kReadMngInfo{0x30, 0x05, 1, 3};
constexpr CommandDef kReadCardNo{0x80, 0x05, 1, 3};
constexpr CommandDef kRestPSAM{0x80, 0x02, 1, 3};
constexpr CommandDef kReadWritePSAM{0x80, 0x03, 1, 3};
constexpr CommandDef kStartFindCardByType{0x80, 0x08, 1, 3};
constexpr CommandDef kSelectIDCardByType{0x80, 0x09, 1, 3};
constexpr CommandDef kReadUID{0x80, 0x0A, 1, 3};
constexpr uint8_t kKeyAuthentication = 0x0B;
constexpr uint8_t kKeyModify = 0x0C;
constexpr uint8_t kReadTypeA = 0x0D;
constexpr uint8_t kWriteTypeA = 0x0E;
constexpr uint8_t kExtendedOffset = 0x30;  // selector 1: 0x3B..0x3E
constexpr CommandDef kAPDU{0x80, 0x19, 1, 3};

constexpr size_t kTextCapacity = 256;
constexpr size_t kPhotoCapacity = 1024;
constexpr size_t kFingerprintCapacity = 1024;
constexpr size_t kCardNumberCapacity = 512;
constexpr size_t kUidCapacity = 64;
constexpr size_t kMngInfoSize = 28;
constexpr int kMaxApdu = 128;
constexpr int kTypeAAddressLimit = 128;

const Result kDone = Result::Reader(kSw3Success, kSw3Success);

CommandDef TypeA(uint8_t parameter) { return CommandDef{0x80, parameter, 1, 3}; }

void ZeroLength(int* length) {
  if (length) *length = 0;
}

// Runs a command; kOk leaves the reply for the caller only when SW3 is the command's success.
Result RunFor(Link link, int port, int openFlag, const CommandDef& cmd, const uint8_t* data, size_t n, Reply* reply,
              uint8_t successSw3 = kSw3Success) {
  const Status s = Run(link, port, openFlag, cmd, data, n, reply);
  return s == Status::kOk ? Result::Reader(reply->Sw3(), successSw3) : Result::Fail(s);
}

Result StatusOnly(Link link, int port, int openFlag, const CommandDef& cmd, const uint8_t* data = nullptr,
                  size_t n = 0) {
  Reply reply;
  return RunFor(link, port, openFlag, cmd, data, n, &reply);
}

// Every data byte as two upper-case hex digits, no terminating zero.
Result HexOut(const Reply& reply, size_t limit, char* text, int* length) {
  const size_t n = reply.DataSize();
  if (n > limit) return Result::Fail(Status::kBadReplyData);
  static const char kHex[] = "0123456789ABCDEF";
  if (text) {
    for (size_t i = 0; i < n; ++i) {
      text[2 * i] = kHex[reply.Data()[i] >> 4];
      text[2 * i + 1] = kHex[reply.Data()[i] & 15];
    }
  }
  if (length) *length = static_cast<int>(n);
  return kDone;
}

Result AllData(const Reply& reply, unsigned char* buffer, int* length) {
  if (buffer) std::memcpy(buffer, reply.Data(), reply.DataSize());
  if (length) *length = static_cast<int>(reply.DataSize());
  return kDone;
}

// A command whose outputs come from the whole reply data.
Result AllDataCommand(Link link, int port, int openFlag, const CommandDef& cmd, const uint8_t* data, size_t n,
                      unsigned char* buffer, int* length) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, cmd, data, n, &reply);
  return r.ok() ? AllData(reply, buffer, length) : r;
}

// At least `least` data bytes over the serial line (HID takes what came).
bool SerialShort(Link link, const Reply& reply, size_t least) {
  return link == Link::Serial && reply.DataSize() < least;
}

}  // namespace

Result GetSAMStatus(Link link, int port, int openFlag) { return StatusOnly(link, port, openFlag, kGetSAMStatus); }

Result ReSetSAM(Link link, int port, int openFlag) { return StatusOnly(link, port, openFlag, kReSetSAM); }

Result GetSAMID(Link link, int port, unsigned char* id, int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kGetSAMID, nullptr, 0, &reply);
  if (!r.ok()) return r;
  if (SerialShort(link, reply, 16)) return Result::Fail(Status::kBadReplyData);
  if (id) std::memcpy(id, reply.Data(), 16);
  return r;
}

Result GetSAMIDToStr(Link link, int port, char* text, int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kGetSAMID, nullptr, 0, &reply);
  if (!r.ok()) return r;
  const uint8_t* d = reply.Data();
  if (text) {
    // At most 44 characters: two 16-bit and three 32-bit numbers.
    std::snprintf(text, 48, "%u-%u-%u-%u-%u", static_cast<unsigned>(d[0] | (d[1] << 8)),
                  static_cast<unsigned>(d[2] | (d[3] << 8)), LittleEndian32(d + 4), LittleEndian32(d + 8),
                  LittleEndian32(d + 12));
  }
  return r;
}

Result StartFindIDCard(Link link, int port, unsigned int* value, int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kStartFindIDCard, nullptr, 0, &reply, kSw3FindSuccess);
  if (!r.ok()) return r;
  if (SerialShort(link, reply, 4)) return Result::Fail(Status::kBadReplyData);
  if (value) *value = LittleEndian32(reply.Data());
  return r;
}

Result SelectIDCard(Link link, int port, unsigned char* info, int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kSelectIDCard, nullptr, 0, &reply);
  if (!r.ok()) return r;
  if (SerialShort(link, reply, 8)) return Result::Fail(Status::kBadReplyData);
  if (info) std::memcpy(info, reply.Data(), 8);
  return r;
}

namespace {

struct Block {
  unsigned char* buffer;
  int* length;
  size_t capacity;
};

// Reads the lengths ahead of the blocks (16 bits each) and copies the blocks after them.
// A length beyond its buffer, or blocks beyond the reply, refuse the reply with nothing copied.
Result CopyBlocks(Link link, const Reply& reply, Block* blocks, size_t count) {
  const size_t head = 2 * count;
  if (SerialShort(link, reply, head)) return Result::Fail(Status::kBadReplyData);
  size_t lengths[3] = {};
  size_t total = head;
  for (size_t i = 0; i < count; ++i) {
    lengths[i] = BigEndian16(reply.Data() + 2 * i);
    if (lengths[i] > blocks[i].capacity) return Result::Fail(Status::kBadReplyData);
    total += lengths[i];
  }
  if (total > reply.DataSize()) return Result::Fail(Status::kBadReplyData);
  size_t offset = head;
  for (size_t i = 0; i < count; ++i) {
    if (blocks[i].length) *blocks[i].length = static_cast<int>(lengths[i]);
    if (blocks[i].buffer) std::memcpy(blocks[i].buffer, reply.Data() + offset, lengths[i]);
    offset += lengths[i];
  }
  return kDone;
}

}  // namespace

Result ReadBaseMsg(Link link, int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                   int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kReadBaseMsg, nullptr, 0, &reply);
  if (!r.ok()) return r;
  Block blocks[2] = {{text, textLength, kTextCapacity}, {photo, photoLength, kPhotoCapacity}};
  return CopyBlocks(link, reply, blocks, 2);
}

Result ReadBaseFPMsg(Link link, int port, unsigned char* text, int* textLength, unsigned char* photo, int* photoLength,
                     unsigned char* fingerprint, int* fingerprintLength, int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kReadBaseFPMsg, nullptr, 0, &reply);
  if (!r.ok()) return r;
  Block blocks[3] = {{text, textLength, kTextCapacity},
                     {photo, photoLength, kPhotoCapacity},
                     {fingerprint, fingerprintLength, kFingerprintCapacity}};
  return CopyBlocks(link, reply, blocks, 3);
}

Result ReadNewAppMsg(Link link, int port, unsigned char* buffer, int* length, int openFlag) {
  ZeroLength(length);
  return AllDataCommand(link, port, openFlag, kReadNewAppMsg, nullptr, 0, buffer, length);
}

Result ReadMngInfo(Link link, int port, unsigned char* buffer, int openFlag) {
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kReadMngInfo, nullptr, 0, &reply);
  if (!r.ok()) return r;
  const size_t n = reply.DataSize() < kMngInfoSize ? reply.DataSize() : kMngInfoSize;
  if (buffer) std::memcpy(buffer, reply.Data(), n);
  return r;
}

Result ReadCardNo(Link link, int port, char* text, int* length, int openFlag) {
  ZeroLength(length);
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kReadCardNo, nullptr, 0, &reply);
  return r.ok() ? HexOut(reply, kCardNumberCapacity, text, length) : r;
}

Result RestPSAM(Link link, int port, int slot, unsigned char* buffer, int* length, int openFlag) {
  ZeroLength(length);
  const uint8_t data[1] = {static_cast<uint8_t>(slot)};
  return AllDataCommand(link, port, openFlag, kRestPSAM, data, 1, buffer, length);
}

Result ReadWritePSAM(Link link, int port, int slot, const unsigned char* command, int count, unsigned char* buffer,
                     int* length, int openFlag) {
  ZeroLength(length);
  if (!PortInRange(link, port)) return Result::Fail(Status::kPortOutOfRange);
  if (count < 0 || (count > 0 && command == nullptr) || count + 1 > static_cast<int>(kFrameBufferSize - 10)) {
    return Result::Fail(Status::kInvalidArgument);
  }
  uint8_t data[kFrameBufferSize];
  data[0] = static_cast<uint8_t>(slot);
  if (count > 0) std::memcpy(data + 1, command, static_cast<size_t>(count));
  return AllDataCommand(link, port, openFlag, kReadWritePSAM, data, static_cast<size_t>(count) + 1, buffer, length);
}

Result StartFindCardByType(Link link, int port, int type, unsigned char* buffer, int openFlag) {
  const uint8_t data[1] = {static_cast<uint8_t>(type)};
  return AllDataCommand(link, port, openFlag, kStartFindCardByType, data, 1, buffer, nullptr);
}

Result SelectIDCardByType(Link link, int port, int type, unsigned char* buffer, int openFlag) {
  const uint8_t data[1] = {static_cast<uint8_t>(type)};
  return AllDataCommand(link, port, openFlag, kSelectIDCardByType, data, 1, buffer, nullptr);
}

Result ReadUID(Link link, int port, int type, char* text, int* length, int openFlag) {
  ZeroLength(length);
  const uint8_t data[1] = {static_cast<uint8_t>(type)};
  Reply reply;
  const Result r = RunFor(link, port, openFlag, kReadUID, data, 1, &reply);
  return r.ok() ? HexOut(reply, kUidCapacity, text, length) : r;
}

namespace {

// Selector 0: parameters 0x0B..0x0E; selector 1: 0x3B..0x3E; anything else is refused.
bool ExParameter(int selector, uint8_t base, uint8_t* parameter) {
  if (selector != 0 && selector != 1) return false;
  *parameter = static_cast<uint8_t>(selector == 0 ? base : base + kExtendedOffset);
  return true;
}

Result KeyAuthenticationAs(Link link, uint8_t parameter, int port, int keyParameter, const unsigned char* key,
                           int openFlag) {
  if (!PortInRange(link, port)) return Result::Fail(Status::kPortOutOfRange);
  if (key == nullptr) return Result::Fail(Status::kInvalidArgument);
  uint8_t data[7] = {static_cast<uint8_t>(keyParameter)};
  std::memcpy(data + 1, key, 6);
  return StatusOnly(link, port, openFlag, TypeA(parameter), data, sizeof data);
}

Result KeyModifyAs(Link link, uint8_t parameter, int port, int keyParameter, const unsigned char* key,
                   const unsigned char* newKey, int openFlag) {
  if (!PortInRange(link, port)) return Result::Fail(Status::kPortOutOfRange);
  if (key == nullptr || newKey == nullptr) return Result::Fail(Status::kInvalidArgument);
  uint8_t data[13] = {static_cast<uint8_t>(keyParameter)};
  std::memcpy(data + 1, key, 6);
  std::memcpy(data + 7, newKey, 6);
  return StatusOnly(link, port, openFlag, TypeA(parameter), data, sizeof data);
}

// HID refuses addresses of 128 and more; the serial line sends them.
bool TypeAAddressRefused(Link link, int address) { return link == Link::Hid && address >= kTypeAAddressLimit; }

Result ReadTypeAAs(Link link, uint8_t parameter, int port, int address, int count, unsigned char* buffer, int* length,
                   int openFlag) {
  ZeroLength(length);
  if (!PortInRange(link, port)) return Result::Fail(Status::kPortOutOfRange);
  if (TypeAAddressRefused(link, address)) return Result::Fail(Status::kValueOutOfRange);
  const uint8_t data[4] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                           static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  return AllDataCommand(link, port, openFlag, TypeA(parameter), data, sizeof data, buffer, length);
}

Result WriteTypeAAs(Link link, uint8_t parameter, int port, int address, const unsigned char* bytes, int count,
                    int openFlag) {
  if (!PortInRange(link, port)) return Result::Fail(Status::kPortOutOfRange);
  if (TypeAAddressRefused(link, address)) return Result::Fail(Status::kValueOutOfRange);
  if (count < 0 || (count > 0 && bytes == nullptr) || count + 4 > static_cast<int>(kFrameBufferSize - 10)) {
    return Result::Fail(Status::kInvalidArgument);
  }
  uint8_t data[kFrameBufferSize] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                    static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  if (count > 0) std::memcpy(data + 4, bytes, static_cast<size_t>(count));
  return StatusOnly(link, port, openFlag, TypeA(parameter), data, static_cast<size_t>(count) + 4);
}

}  // namespace

Result KeyAuthentication(Link link, int port, int keyParameter, const unsigned char* key, int openFlag) {
  return KeyAuthenticationAs(link, kKeyAuthentication, port, keyParameter, key, openFlag);
}

Result KeyModify(Link link, int port, int keyParameter, const unsigned char* key, const unsigned char* newKey,
                 int openFlag) {
  return KeyModifyAs(link, kKeyModify, port, keyParameter, key, newKey, openFlag);
}

Result ReadBaseMsgTypeA(Link link, int port, int address, int count, unsigned char* buffer, int* length, int openFlag) {
  return ReadTypeAAs(link, kReadTypeA, port, address, count, buffer, length, openFlag);
}

Result WriteBaseMsgTypeA(Link link, int port, int address, const unsigned char* bytes, int count, int openFlag) {
  return WriteTypeAAs(link, kWriteTypeA, port, address, bytes, count, openFlag);
}

Result KeyAuthenticationEx(Link link, int port, int selector, int keyParameter, const unsigned char* key,
                           int openFlag) {
  uint8_t parameter;
  if (!ExParameter(selector, kKeyAuthentication, &parameter)) return Result::Fail(Status::kInvalidArgument);
  return KeyAuthenticationAs(link, parameter, port, keyParameter, key, openFlag);
}

Result KeyModifyEx(Link link, int port, int selector, int keyParameter, const unsigned char* key,
                   const unsigned char* newKey, int openFlag) {
  uint8_t parameter;
  if (!ExParameter(selector, kKeyModify, &parameter)) return Result::Fail(Status::kInvalidArgument);
  return KeyModifyAs(link, parameter, port, keyParameter, key, newKey, openFlag);
}

Result ReadBaseMsgTypeAEx(Link link, int port, int selector, int address, int count, unsigned char* buffer, int* length,
                          int openFlag) {
  uint8_t parameter;
  if (!ExParameter(selector, kReadTypeA, &parameter)) {
    ZeroLength(length);
    return Result::Fail(Status::kInvalidArgument);
  }
  return ReadTypeAAs(link, parameter, port, address, count, buffer, length, openFlag);
}

Result WriteBaseMsgTypeAEx(Link link, int port, int selector, int address, const unsigned char* bytes, int count,
                           int openFlag) {
  uint8_t parameter;
  if (!ExParameter(selector, kWriteTypeA, &parameter)) return Result::Fail(Status::kInvalidArgument);
  return WriteTypeAAs(link, parameter, port, address, bytes, count, openFlag);
}

Result APDU(Link link, int port, const unsigned char* command, int count, unsigned char* buffer, int* length,
            int openFlag) {
  if (!PortInRange(link, port)) return Result::Fail(Status::kPortOutOfRange);
  if (count < 0 || count > kMaxApdu) return Result::Fail(Status::kLengthRefused);
  if (count > 0 && command == nullptr) return Result::Fail(Status::kInvalidArgument);
  uint8_t data[kMaxApdu];
  if (count > 0) std::memcpy(data, command, static_cast<size_t>(count));
  return AllDataCommand(link, port, openFlag, kAPDU, data, static_cast<size_t>(count), buffer, length);
}

}  // namespace vnsdt
