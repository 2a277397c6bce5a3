// The management commands. Each row of the table says what differs between them: parameter
// byte, echo check, reply time-outs, whether outputs are read whatever SW3 is, and how the frame
// travels over HID. The functions pack arguments and read outputs; Exec does the rest.
#include "device_commands.h"

#include <climits>
#include <cstring>

namespace vnsdt {
namespace {

constexpr uint8_t kDeviceCommand = 0x80;

// A reply time-out: fixed, the caller's t, or t + 1 but never below a fixed floor.
struct Timeout {
  enum Kind : uint8_t { Fixed, T, TPlusOneAtLeast } kind;
  int seconds;
  int For(int t) const {
    if (kind == T) return t;
    if (kind == TPlusOneAtLeast) return t >= seconds && t < INT_MAX ? t + 1 : seconds;
    return seconds;
  }
};
constexpr Timeout S(int seconds) { return {Timeout::Fixed, seconds}; }
constexpr Timeout kUntilT{Timeout::T, 0};
constexpr Timeout TPlusOne(int atLeast) { return {Timeout::TPlusOneAtLeast, atLeast}; }

enum RowFlags : unsigned {
  kEcho = 1,          // SW1 must repeat the parameter byte
  kAnySw3 = 2,        // length checks and outputs apply whatever SW3 is
  kSplitOverHid = 4,  // long frames go out one report per transfer
  kLargeFrame = 8,    // up to 1024 data bytes after two bytes of header
};

struct Row {
  uint8_t parameter;
  unsigned flags;
  Timeout serial;
  Timeout hid;
};

// clang-format off
constexpr Row kGetVersion               {0x01, 0,                          S(1),    S(3)};
constexpr Row kReadBarCode              {0x04, 0,                          S(1),    S(3)};
constexpr Row kSetDeviceNo              {0x0F, 0,                          S(1),    S(3)};
constexpr Row kGetDeviceNo              {0x10, 0,                          S(1),    S(3)};
constexpr Row kSetServerAddress         {0x11, kSplitOverHid,              S(1),    S(3)};
constexpr Row kGetServerAddress         {0x12, 0,                          S(1),    S(3)};
constexpr Row kSetInstallAddress        {0x13, kSplitOverHid,              S(1),    S(3)};
constexpr Row kGetInstallAddress        {0x14, 0,                          S(1),    S(3)};
constexpr Row kLEDBuzzerControl         {0x15, 0,                          S(1),    S(3)};
constexpr Row kLEDControl               {0x16, 0,                          S(1),    S(3)};
constexpr Row kSetControlType           {0x17, 0,                          S(1),    S(3)};
constexpr Row kSetBluetoothName         {0x18, 0,                          S(1),    S(3)};
constexpr Row kSetBluetoothShutdownTime {0x20, 0,                          S(1),    S(3)};
constexpr Row kGetImage                 {0x21, kEcho,                      kUntilT, TPlusOne(6)};
constexpr Row kUploadImage              {0x22, kEcho,                      S(5),    S(5)};
constexpr Row kFeature                  {0x23, kEcho,                      kUntilT, kUntilT};
constexpr Row kVerify                   {0x24, kEcho | kAnySw3,            S(2),    S(5)};
constexpr Row kTCSInit                  {0x25, kEcho,                      S(10),   S(15)};
constexpr Row kLowPower                 {0x26, 0,                          S(5),    S(5)};
constexpr Row kGetAndUploadFeature      {0x27, kEcho,                      kUntilT, TPlusOne(9)};
constexpr Row kDownloadUserInfo         {0x28, kEcho,                      S(3),    S(3)};
constexpr Row kDeleteAllUser            {0x29, kEcho,                      S(3),    S(3)};
constexpr Row kSearchUser               {0x2A, kEcho,                      kUntilT, kUntilT};
constexpr Row kOneKeyVerify             {0x2B, kEcho,                      S(5),    kUntilT};
constexpr Row kSearchUserByIDCard       {0x2C, kEcho,                      kUntilT, kUntilT};
constexpr Row kSetFindcardPeriod        {0x2D, kEcho,                      S(3),    S(3)};
constexpr Row kSetDeviceShutdownTime    {0x2E, kEcho,                      S(3),    S(3)};
constexpr Row kHeartBeat                {0x30, kEcho | kAnySw3,            S(2),    S(5)};
constexpr Row kGetUserCount             {0x34, kEcho | kAnySw3,            S(2),    S(5)};
constexpr Row kGetUserInfo              {0x35, kEcho | kAnySw3,            S(2),    S(5)};
constexpr Row kSetBoot                  {0x4F, 0,                          S(1),    S(3)};
constexpr Row kUpdate                   {0x50, 0,                          S(1),    S(3)};
constexpr Row kSendPacket               {0x50, kSplitOverHid | kLargeFrame, S(1),   S(3)};
constexpr Row kQueryFunction            {0xFF, 0,                          S(1),    S(3)};
// clang-format on

constexpr int kDeviceNoLimit = 32;
constexpr int kServerAddressLimit = 114;
constexpr int kInstallAddressLimit = 116;
constexpr int kBluetoothNameSize = 16;
constexpr int kPacketLimit = 1024;
constexpr int kBarCodeLimit = static_cast<int>(kFrameBufferSize) - 10;
constexpr int kUserIdSize = 18;
constexpr int kUserInfoSize = 6;
constexpr int kUserBlockSize = 512;
constexpr size_t kUserRecordSize = 25;

// The request data, packed big-endian into one frame's worth of bytes.
class Request {
 public:
  Request& Byte(int v) {
    if (n_ < sizeof bytes_) bytes_[n_++] = static_cast<uint8_t>(v);
    return *this;
  }
  Request& Word(int v) { return Byte(v >> 8).Byte(v); }
  Request& Long(uint32_t v) { return Word(static_cast<int>(v >> 16)).Word(static_cast<int>(v & 0xFFFF)); }
  // `len` bytes of `p`, zero-filled to `width` (default: exactly len).
  Request& Bytes(const unsigned char* p, int len, int width = -1) {
    const size_t n = static_cast<size_t>(len > 0 ? len : 0);
    const size_t w = width < 0 ? n : static_cast<size_t>(width);
    if (n_ + w > sizeof bytes_) return *this;
    std::memset(bytes_ + n_, 0, w);
    if (n > 0 && p != nullptr) std::memcpy(bytes_ + n_, p, n < w ? n : w);
    n_ += w;
    return *this;
  }
  const uint8_t* data() const { return bytes_; }
  size_t size() const { return n_; }

 private:
  uint8_t bytes_[kLargeFrameBufferSize - 10];
  size_t n_ = 0;
};

// Argument checks that fail. Over HID every one answers 0; over the serial line a value or
// length over a fixed limit answers 0, a length over a command's own limit -1.
const Result kOutOfRange = Result::Fail(Status::kValueOutOfRange);
const Result kTooLong = Result::Fail(Status::kLengthRefused);

// A caller's byte string: a length within 0..limit, and bytes behind it.
bool BadBytes(const unsigned char* p, int len, int limit) { return len < 0 || len > limit || (len > 0 && !p); }

const auto kNoOutputs = [](const Reply&) { return Status::kOk; };

// One command: send, check the echo, hand the reply to `unpack` (kOk or kBadReplyData) when SW3
// says so. The result carries the reader's SW3.
template <class Unpack>
Result Exec(Link link, const Row& row, int port, int openFlag, const Request& request, int t, Unpack unpack) {
  CommandDef cmd{kDeviceCommand, row.parameter, row.serial.For(t), row.hid.For(t)};
  if (row.flags & kLargeFrame) cmd.frameCapacity = kLargeFrameBufferSize;
  cmd.splitOverHid = (row.flags & kSplitOverHid) != 0;
  Reply reply;
  const Status s = Run(link, port, openFlag, cmd, request.data(), request.size(), &reply);
  if (s != Status::kOk) return Result::Fail(s);
  if ((row.flags & kEcho) && reply.Sw1() != row.parameter) return Result::Fail(Status::kEchoMismatch);
  const Result answer = Result::Reader(reply.Sw3(), kSw3Success);
  if (!answer.ok() && (row.flags & kAnySw3) == 0) return answer;
  const Status u = unpack(reply);
  return u != Status::kOk ? Result::Fail(u) : answer;
}

Result Exec(Link link, const Row& row, int port, int openFlag, const Request& request = Request(), int t = 0) {
  return Exec(link, row, port, openFlag, request, t, kNoOutputs);
}

// Data bytes from `offset` on; bytes past the reply's data read as zero, never the checksum.
void CopyData(const Reply& reply, size_t offset, size_t n, unsigned char* out) {
  if (out == nullptr) return;
  const size_t have = offset < reply.DataSize() ? reply.DataSize() - offset : 0;
  const size_t take = have < n ? have : n;
  if (take > 0) std::memcpy(out, reply.Data() + offset, take);
  std::memset(out + take, 0, n - take);
}

int WordAt(const Reply& reply, size_t offset) {
  unsigned char b[2];
  CopyData(reply, offset, 2, b);
  return BigEndian16(b);
}

Status CopyAll(const Reply& reply, unsigned char* out, int* len) {
  if (out) std::memcpy(out, reply.Data(), reply.DataSize());
  if (len) *len = static_cast<int>(reply.DataSize());
  return Status::kOk;
}

void Put(int* out, int value) {
  if (out) *out = value;
}

Result ByteSetting(Link link, const Row& row, int port, int value, int openFlag) {
  if (value >= 256) return kOutOfRange;
  return Exec(link, row, port, openFlag, Request().Byte(value), value);
}

Result WordSetting(Link link, const Row& row, int port, int value, int openFlag) {
  if (value > 0xFFFF) return kOutOfRange;
  return Exec(link, row, port, openFlag, Request().Word(value));
}

Result BytesSetting(Link link, const Row& row, int port, const unsigned char* data, int len, int limit, int openFlag) {
  if (BadBytes(data, len, limit)) return kOutOfRange;
  return Exec(link, row, port, openFlag, Request().Bytes(data, len));
}

// A 16-bit number in data bytes 0-1; the reply must hold at least `least` and at most `most`.
Result WordOut(Link link, const Row& row, int port, const Request& request, int t, size_t least, size_t most,
               int* value, int openFlag) {
  return Exec(link, row, port, openFlag, request, t, [&](const Reply& r) {
    if (r.DataSize() < least || r.DataSize() > most) return Status::kBadReplyData;
    Put(value, WordAt(r, 0));
    return Status::kOk;
  });
}

Result Search(Link link, const Row& row, int port, int t, int* kind, unsigned char* id, unsigned char* info,
              int openFlag) {
  // Over the serial line t is not checked: its low byte is sent and the whole of it is waited.
  if (link == Link::Hid && t >= 256) return kOutOfRange;
  return Exec(link, row, port, openFlag, Request().Byte(t), t, [&](const Reply& r) {
    if (r.DataSize() > kUserRecordSize) return Status::kBadReplyData;
    Put(kind, r.DataSize() > 0 ? r.Data()[0] : 0);
    CopyData(r, 1, kUserIdSize, id);
    CopyData(r, 1 + kUserIdSize, kUserInfoSize, info);
    return Status::kOk;
  });
}

}  // namespace

Result GetVersion(Link link, int port, unsigned char* out, int openFlag) {
  return Exec(link, kGetVersion, port, openFlag, Request(), 0,
              [&](const Reply& r) { return CopyAll(r, out, nullptr); });
}

Result ReadBarCode(Link link, int port, const unsigned char* data, int len, unsigned char* out, int openFlag) {
  if (BadBytes(data, len, kBarCodeLimit)) return kTooLong;
  return Exec(link, kReadBarCode, port, openFlag, Request().Bytes(data, len), 0,
              [&](const Reply& r) { return CopyAll(r, out, nullptr); });
}

Result SetDeviceNo(Link link, int port, const unsigned char* data, int len, int openFlag) {
  return BytesSetting(link, kSetDeviceNo, port, data, len, kDeviceNoLimit, openFlag);
}

Result GetDeviceNo(Link link, int port, unsigned char* out, int openFlag) {
  return Exec(link, kGetDeviceNo, port, openFlag, Request(), 0,
              [&](const Reply& r) { return CopyAll(r, out, nullptr); });
}

Result SetServerAddress(Link link, int port, int number, const unsigned char* address, int len, int openFlag) {
  if (BadBytes(address, len, kServerAddressLimit)) return kOutOfRange;
  return Exec(link, kSetServerAddress, port, openFlag, Request().Word(number).Bytes(address, len));
}

Result GetServerAddress(Link link, int port, int* number, unsigned char* address, int* len, int openFlag) {
  return Exec(link, kGetServerAddress, port, openFlag, Request(), 0, [&](const Reply& r) {
    if (r.DataSize() < 2) return Status::kOk;  // nothing to deliver; the outputs stay as they were
    Put(number, BigEndian16(r.Data()));
    if (address) std::memcpy(address, r.Data() + 2, r.DataSize() - 2);
    Put(len, static_cast<int>(r.DataSize() - 2));
    return Status::kOk;
  });
}

Result SetInstallAddress(Link link, int port, const unsigned char* data, int len, int openFlag) {
  return BytesSetting(link, kSetInstallAddress, port, data, len, kInstallAddressLimit, openFlag);
}

Result GetInstallAddress(Link link, int port, unsigned char* out, int* len, int openFlag) {
  return Exec(link, kGetInstallAddress, port, openFlag, Request(), 0,
              [&](const Reply& r) { return CopyAll(r, out, len); });
}

Result LEDBuzzerControl(Link link, int port, int a, int b, int value, int openFlag) {
  return Exec(link, kLEDBuzzerControl, port, openFlag, Request().Byte(a).Byte(b).Word(value));
}

Result LEDControl(Link link, int port, int a, int b, int value, int openFlag) {
  return Exec(link, kLEDControl, port, openFlag, Request().Byte(a).Byte(b).Word(value));
}

Result SetControlType(Link link, int port, int type, int openFlag) {
  return Exec(link, kSetControlType, port, openFlag, Request().Byte(type));
}

Result SetBluetoothName(Link link, int port, const unsigned char* name, int len, int openFlag) {
  if (BadBytes(name, len, kBluetoothNameSize)) return kTooLong;
  return Exec(link, kSetBluetoothName, port, openFlag, Request().Bytes(name, len, kBluetoothNameSize));
}

Result SetBluetoothShutdownTime(Link link, int port, int time, int openFlag) {
  return ByteSetting(link, kSetBluetoothShutdownTime, port, time, openFlag);
}

Result GetImage(Link link, int port, int t, int* first, int* second, int* third, int openFlag) {
  if (t >= 256) return kOutOfRange;
  return Exec(link, kGetImage, port, openFlag, Request().Byte(t), t, [&](const Reply& r) {
    if (r.DataSize() < 6) return Status::kBadReplyData;
    Put(first, WordAt(r, 0));
    Put(second, WordAt(r, 2));
    Put(third, WordAt(r, 4));
    return Status::kOk;
  });
}

Result UploadImage(Link link, int port, int n, unsigned char* out, int* len, int openFlag) {
  if (n >= 256) return kOutOfRange;
  return Exec(link, kUploadImage, port, openFlag, Request().Byte(n), 0,
              [&](const Reply& r) { return CopyAll(r, out, len); });
}

Result Feature(Link link, int port, int t, int openFlag) { return ByteSetting(link, kFeature, port, t, openFlag); }

Result Verify(Link link, int port, int* value, int openFlag) {
  return WordOut(link, kVerify, port, Request(), 0, 2, kReplyBufferSize, value, openFlag);
}

Result TCSInit(Link link, int port, int openFlag) { return Exec(link, kTCSInit, port, openFlag); }

Result LowPower(Link link, int port, int value, int openFlag) {
  return WordSetting(link, kLowPower, port, value, openFlag);
}

Result GetAndUploadFeature(Link link, int port, int t, unsigned char* out, int openFlag) {
  if (t >= 256) return kOutOfRange;
  return Exec(link, kGetAndUploadFeature, port, openFlag, Request().Byte(t), t,
              [&](const Reply& r) { return CopyAll(r, out, nullptr); });
}

Result DownloadUserInfo(Link link, int port, const unsigned char* id, int idLen, const unsigned char* info, int infoLen,
                        int kind, const unsigned char* block, int openFlag) {
  if (BadBytes(id, idLen, kUserIdSize) || BadBytes(info, infoLen, kUserInfoSize) || kind >= 256 || block == nullptr) {
    return kTooLong;
  }
  Request request;
  request.Bytes(id, idLen, kUserIdSize).Bytes(info, infoLen, kUserInfoSize).Byte(kind).Bytes(block, kUserBlockSize);
  return Exec(link, kDownloadUserInfo, port, openFlag, request);
}

Result DeleteAllUser(Link link, int port, int openFlag) { return Exec(link, kDeleteAllUser, port, openFlag); }

Result SearchUser(Link link, int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag) {
  return Search(link, kSearchUser, port, t, kind, id, info, openFlag);
}

Result OneKeyVerify(Link link, int port, int t, int* value, int openFlag) {
  if (t >= 256) return kOutOfRange;
  return WordOut(link, kOneKeyVerify, port, Request().Byte(t), t, 0, 2, value, openFlag);
}

Result SearchUserByIDCard(Link link, int port, int t, int* kind, unsigned char* id, unsigned char* info, int openFlag) {
  return Search(link, kSearchUserByIDCard, port, t, kind, id, info, openFlag);
}

Result SetFindcardPeriod(Link link, int port, int period, int openFlag) {
  return ByteSetting(link, kSetFindcardPeriod, port, period, openFlag);
}

Result SetDeviceShutdownTime(Link link, int port, int time, int openFlag) {
  return WordSetting(link, kSetDeviceShutdownTime, port, time, openFlag);
}

Result HeartBeat(Link link, int port, int* state, int openFlag) {
  return Exec(link, kHeartBeat, port, openFlag, Request(), 0, [&](const Reply& r) {
    if (r.DataSize() < 1) return Status::kBadReplyData;
    Put(state, r.Data()[0]);
    return Status::kOk;
  });
}

Result GetUserCount(Link link, int port, int* count, int openFlag) {
  return WordOut(link, kGetUserCount, port, Request(), 0, 2, kReplyBufferSize, count, openFlag);
}

Result GetUserInfo(Link link, int port, int start, int count, unsigned char* out, int openFlag) {
  return Exec(link, kGetUserInfo, port, openFlag, Request().Word(start).Word(count), 0, [&](const Reply& r) {
    const size_t n = r.DataSize();
    if (link == Link::Serial) {
      if (n % kUserRecordSize != 0 || static_cast<long long>(n / kUserRecordSize) > count) return Status::kBadReplyData;
    } else if (n < 2) {
      return Status::kBadReplyData;
    }
    return CopyAll(r, out, nullptr);
  });
}

Result SetBoot(Link link, int port, int openFlag) { return Exec(link, kSetBoot, port, openFlag); }

Result UpdateSize(Link link, int port, int size, int openFlag) {
  if (size < 0) return kOutOfRange;
  return Exec(link, kUpdate, port, openFlag, Request().Byte(0x01).Long(static_cast<uint32_t>(size)));
}

Result SendPacket(Link link, int port, int number, const unsigned char* data, int len, int openFlag) {
  if (BadBytes(data, len, kPacketLimit)) return kTooLong;
  return Exec(link, kSendPacket, port, openFlag, Request().Byte(0x02).Byte(number).Bytes(data, len));
}

Result UpdateEnd(Link link, int port, int value, int openFlag) {
  if (value >= 256) return kOutOfRange;
  return Exec(link, kUpdate, port, openFlag, Request().Byte(0x03).Byte(value));
}

Result QueryFunction(Link link, int port, const unsigned char* data, int len, unsigned char* out, int* outLen,
                     int openFlag) {
  if (BadBytes(data, len, 255)) return kTooLong;
  return Exec(link, kQueryFunction, port, openFlag, Request().Byte(len).Bytes(data, len), 0,
              [&](const Reply& r) { return CopyAll(r, out, outLen); });
}

}  // namespace vnsdt
