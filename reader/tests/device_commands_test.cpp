// The management commands over both transports: the exact request frame of each, its outputs,
// the echo check, replies with another SW3, failures, and the argument checks that send nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device_commands.h"
#include "hid_link.h"
#include "reader_fixture.h"

using sim::Bytes;
using test::Frame;
using test::kHidPort;
using test::kSerialPort;
using vnsdt::Link;

namespace {

constexpr uint8_t kSentinel = 0xCC;
constexpr int kUnset = -7;

struct Outputs {
  unsigned char a[4096];
  unsigned char b[64];
  int i1 = kUnset, i2 = kUnset, i3 = kUnset;
  Outputs() {
    std::memset(a, kSentinel, sizeof a);
    std::memset(b, kSentinel, sizeof b);
  }
  bool Untouched() const {
    for (unsigned char x : a)
      if (x != kSentinel) return false;
    for (unsigned char x : b)
      if (x != kSentinel) return false;
    return i1 == kUnset && i2 == kUnset && i3 == kUnset;
  }
};

Bytes Of(const unsigned char* p, size_t n) { return Bytes(p, p + n); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

const Bytes kId = Text("110108199003150028");
const Bytes kInfo = {1, 2, 3, 4, 5, 6};
const Bytes kBlock = Pattern(512, 3);
const Bytes kUserRecord = Cat(Cat({2}, kId), kInfo);  // as a search answers: kind, id, info
const Bytes kTwoUsers = Cat(Cat(Cat(kId, kInfo), {1}), Cat(Cat(Pattern(18, 9), kInfo), {2}));

enum Kind : unsigned {
  kEcho = 1,    // SW1 must repeat the parameter byte
  kAnySw3 = 2,  // outputs are read whatever SW3 is
};

struct Case {
  const char* name;
  uint8_t parameter;
  unsigned kind;
  Bytes request;  // the data part the command must send
  Bytes answer;   // the data part of the reader's reply
  std::function<vnsdt::Result(Link, int, int, Outputs&)> call;
  std::function<void(const Outputs&)> check;  // outputs after a 144 reply carrying `answer`
};

void NoCheck(const Outputs& o) { EXPECT_TRUE(o.Untouched()); }

// clang-format off
const std::vector<Case> kCases = {
    {"GetVersion", 0x01, 0, {}, Text("TW-R100 V2.1"),
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetVersion(l, p, o.a, f); },
     [](const Outputs& o) { EXPECT_EQ(Of(o.a, 13), Cat(Text("TW-R100 V2.1"), {kSentinel})); }},
    {"ReadBarCode", 0x04, 0, {9, 8, 7}, Text("6901234567892"),
     [](Link l, int p, int f, Outputs& o) {
       const unsigned char d[3] = {9, 8, 7};
       return vnsdt::ReadBarCode(l, p, d, 3, o.a, f);
     },
     [](const Outputs& o) { EXPECT_EQ(Of(o.a, 13), Text("6901234567892")); }},
    {"SetDeviceNo", 0x0F, 0, Text("DEV-01"), {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetDeviceNo(l, p, Text("DEV-01").data(), 6, f); }, NoCheck},
    {"GetDeviceNo", 0x10, 0, {}, Text("DEV-01"),
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetDeviceNo(l, p, o.a, f); },
     [](const Outputs& o) { EXPECT_EQ(Of(o.a, 7), Cat(Text("DEV-01"), {kSentinel})); }},
    {"SetServerAddress", 0x11, 0, Cat({0x1F, 0x90}, Text("10.0.0.7")), {},
     [](Link l, int p, int f, Outputs&) {
       return vnsdt::SetServerAddress(l, p, 0x71F90, Text("10.0.0.7").data(), 8, f);  // 16 bits travel
     }, NoCheck},
    {"GetServerAddress", 0x12, 0, {}, Cat({0x1F, 0x90}, Text("host")),
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetServerAddress(l, p, &o.i1, o.a, &o.i2, f); },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 8080);
       EXPECT_EQ(o.i2, 4);
       EXPECT_EQ(Of(o.a, 5), Cat(Text("host"), {kSentinel}));
     }},
    {"SetInstallAddress", 0x13, 0, Text("Room 5"), {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetInstallAddress(l, p, Text("Room 5").data(), 6, f); },
     NoCheck},
    {"GetInstallAddress", 0x14, 0, {}, Text("Room 5"),
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetInstallAddress(l, p, o.a, &o.i1, f); },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 6);
       EXPECT_EQ(Of(o.a, 6), Text("Room 5"));
     }},
    {"LEDBuzzerControl", 0x15, 0, {1, 2, 3, 4}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::LEDBuzzerControl(l, p, 1, 2, 0x0304, f); }, NoCheck},
    {"LEDControl", 0x16, 0, {1, 2, 3, 4}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::LEDControl(l, p, 0x101, 0x202, 0x50304, f); }, NoCheck},
    {"SetControlType", 0x17, 0, {5}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetControlType(l, p, 5, f); }, NoCheck},
    {"SetBluetoothName", 0x18, 0, Cat(Text("abc"), Bytes(13, 0)), {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetBluetoothName(l, p, Text("abc").data(), 3, f); },
     NoCheck},
    {"SetBluetoothShutdownTime", 0x20, 0, {30}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetBluetoothShutdownTime(l, p, 30, f); }, NoCheck},
    {"GetImage", 0x21, kEcho, {3}, {0x01, 0x00, 0x01, 0x20, 0x00, 0x50},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetImage(l, p, 3, &o.i1, &o.i2, &o.i3, f); },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 256);
       EXPECT_EQ(o.i2, 288);
       EXPECT_EQ(o.i3, 80);
     }},
    {"UploadImage", 0x22, kEcho, {2}, Pattern(1024, 1),
     [](Link l, int p, int f, Outputs& o) { return vnsdt::UploadImage(l, p, 2, o.a, &o.i1, f); },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 1024);
       EXPECT_EQ(Of(o.a, 1025), Cat(Pattern(1024, 1), {kSentinel}));
     }},
    {"Feature", 0x23, kEcho, {2}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::Feature(l, p, 2, f); }, NoCheck},
    {"Verify", 0x24, kEcho | kAnySw3, {}, {0x01, 0x02},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::Verify(l, p, &o.i1, f); },
     [](const Outputs& o) { EXPECT_EQ(o.i1, 258); }},
    {"TCSInit", 0x25, kEcho, {}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::TCSInit(l, p, f); }, NoCheck},
    {"LowPower", 0x26, 0, {0x12, 0x34}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::LowPower(l, p, 0x1234, f); }, NoCheck},
    {"GetAndUploadFeature", 0x27, kEcho, {2}, Pattern(512, 5),
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetAndUploadFeature(l, p, 2, o.a, f); },
     [](const Outputs& o) { EXPECT_EQ(Of(o.a, 513), Cat(Pattern(512, 5), {kSentinel})); }},
    {"DownloadUserInfo", 0x28, kEcho, Cat(Cat(Cat(Cat(Bytes(kId.begin(), kId.begin() + 10), Bytes(8, 0)),
                                                  Cat({1, 2, 3}, Bytes(3, 0))), {7}), kBlock), {},
     [](Link l, int p, int f, Outputs&) {
       return vnsdt::DownloadUserInfo(l, p, kId.data(), 10, kInfo.data(), 3, 7, kBlock.data(), f);
     }, NoCheck},
    {"DeleteAllUser", 0x29, kEcho, {}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::DeleteAllUser(l, p, f); }, NoCheck},
    {"SearchUser", 0x2A, kEcho, {4}, kUserRecord,
     [](Link l, int p, int f, Outputs& o) { return vnsdt::SearchUser(l, p, 4, &o.i1, o.a, o.b, f); },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 2);
       EXPECT_EQ(Of(o.a, 19), Cat(kId, {kSentinel}));
       EXPECT_EQ(Of(o.b, 7), Cat(kInfo, {kSentinel}));
     }},
    {"OneKeyVerify", 0x2B, kEcho, {4}, {0x00, 0x07},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::OneKeyVerify(l, p, 4, &o.i1, f); },
     [](const Outputs& o) { EXPECT_EQ(o.i1, 7); }},
    {"SearchUserByIDCard", 0x2C, kEcho, {4}, kUserRecord,
     [](Link l, int p, int f, Outputs& o) { return vnsdt::SearchUserByIDCard(l, p, 4, &o.i1, o.a, o.b, f); },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 2);
       EXPECT_EQ(Of(o.a, 18), kId);
       EXPECT_EQ(Of(o.b, 6), kInfo);
     }},
    {"SetFindcardPeriod", 0x2D, kEcho, {4}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetFindcardPeriod(l, p, 4, f); }, NoCheck},
    {"SetDeviceShutdownTime", 0x2E, kEcho, {0x01, 0x02}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetDeviceShutdownTime(l, p, 0x0102, f); }, NoCheck},
    {"HeartBeat", 0x30, kEcho | kAnySw3, {}, {1},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::HeartBeat(l, p, &o.i1, f); },
     [](const Outputs& o) { EXPECT_EQ(o.i1, 1); }},
    {"GetUserCount", 0x34, kEcho | kAnySw3, {}, {0x01, 0x03},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetUserCount(l, p, &o.i1, f); },
     [](const Outputs& o) { EXPECT_EQ(o.i1, 259); }},
    {"GetUserInfo", 0x35, kEcho | kAnySw3, {0x01, 0x02, 0x00, 0x02}, kTwoUsers,
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetUserInfo(l, p, 0x0102, 2, o.a, f); },
     [](const Outputs& o) { EXPECT_EQ(Of(o.a, 51), Cat(kTwoUsers, {kSentinel})); }},
    {"SetBoot", 0x4F, 0, {}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::SetBoot(l, p, f); }, NoCheck},
    {"UpdateSize", 0x50, 0, {0x01, 0x01, 0x02, 0x03, 0x04}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::UpdateSize(l, p, 0x01020304, f); }, NoCheck},
    {"SendPacket", 0x50, 0, {0x02, 0x07, 9, 8, 7}, {},
     [](Link l, int p, int f, Outputs&) {
       const unsigned char d[3] = {9, 8, 7};
       return vnsdt::SendPacket(l, p, 0x107, d, 3, f);
     }, NoCheck},
    {"UpdateEnd", 0x50, 0, {0x03, 0x01}, {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::UpdateEnd(l, p, 1, f); }, NoCheck},
    {"QueryFunction", 0xFF, 0, {0x02, 0x01, 0x7F}, Text("TW"),
     [](Link l, int p, int f, Outputs& o) {
       const unsigned char d[2] = {0x01, 0x7F};
       return vnsdt::QueryFunction(l, p, d, 2, o.a, &o.i1, f);
     },
     [](const Outputs& o) {
       EXPECT_EQ(o.i1, 2);
       EXPECT_EQ(Of(o.a, 3), Cat(Text("TW"), {kSentinel}));
     }},
};
// clang-format on

class DeviceCommands : public test::BothLinks {
 protected:
  // The command's number as its exports give it.
  int Call(const Case& c, Outputs& o) {
    const vnsdt::Result r = c.call(link(), port(), 1, o);
    return std::string(c.name) == "GetAndUploadFeature" ? vnsdt::CommandResultWithTransportCodes(link(), r)
                                                        : vnsdt::CommandResult(link(), r);
  }
  void Answer(uint8_t sw1, uint8_t sw3, const Bytes& data) {
    firmware().scriptedReplies.push_back(sim::MakeReply(sw1, 0, sw3, data));
  }
  // Nothing reached the reader.
  bool NothingSent() {
    return firmware().requests.empty() && (!hid() || hid_->outputReports == 0) && (hid() || serial_->readSizes.empty());
  }
};

TEST_P(DeviceCommands, FrameAndOutputs) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    firmware().requests.clear();
    Answer(c.parameter, 0x90, c.answer);
    Outputs o;
    EXPECT_EQ(Call(c, o), 0x90);
    ASSERT_EQ(firmware().requests.size(), 1u);
    EXPECT_EQ(firmware().requests[0], Frame(0x80, c.parameter, c.request));
    c.check(o);
  }
}

TEST_P(DeviceCommands, EchoCheck) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Answer(static_cast<uint8_t>(c.parameter ^ 0x40), 0x90, c.answer);
    Outputs o;
    if (c.kind & kEcho) {
      const bool ownCode = hid() && std::string(c.name) == "GetAndUploadFeature";
      EXPECT_EQ(Call(c, o), ownCode ? -4 : -1);
      EXPECT_TRUE(o.Untouched());
    } else {
      EXPECT_EQ(Call(c, o), 0x90);  // SW1 is not looked at
      c.check(o);
    }
  }
}

TEST_P(DeviceCommands, AnotherSw3) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Answer(c.parameter, 0x31, c.answer);
    Outputs o;
    EXPECT_EQ(Call(c, o), 0x31);
    if (c.kind & kAnySw3) {
      c.check(o);
    } else {
      EXPECT_TRUE(o.Untouched());
    }
  }
}

TEST_P(DeviceCommands, FailuresAreMinusOne) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const bool ownCode = hid() && std::string(c.name) == "GetAndUploadFeature";
    Bytes bad = sim::MakeReply(c.parameter, 0, 0x90, c.answer);
    bad[4] = 0x00;
    firmware().scriptedReplies.push_back(bad);
    Outputs o;
    EXPECT_EQ(Call(c, o), ownCode ? -3 : -1);
    EXPECT_TRUE(o.Untouched());

    faults().failWrites = true;
    EXPECT_EQ(Call(c, o), ownCode ? -2 : -1);
    EXPECT_TRUE(o.Untouched());
    faults().failWrites = false;
  }
}

TEST_P(DeviceCommands, ArgumentChecksSendNothing) {
  const int z = 0, m = hid() ? 0 : -1;  // results: 0 on both, or -1 on serial and 0 over HID
  const Bytes big(1100, 0x41);
  const unsigned char* d = big.data();
  Outputs o;
  const struct {
    const char* what;
    int expected;
    std::function<vnsdt::Result(Link, int)> call;
  } checks[] = {
      {"SetDeviceNo 33", z, [&](Link l, int p) { return vnsdt::SetDeviceNo(l, p, d, 33, 1); }},
      {"SetDeviceNo -1", z, [&](Link l, int p) { return vnsdt::SetDeviceNo(l, p, d, -1, 1); }},
      {"SetServerAddress 115", z, [&](Link l, int p) { return vnsdt::SetServerAddress(l, p, 1, d, 115, 1); }},
      {"SetServerAddress -5", z, [&](Link l, int p) { return vnsdt::SetServerAddress(l, p, 1, d, -5, 1); }},
      {"SetInstallAddress 117", z, [&](Link l, int p) { return vnsdt::SetInstallAddress(l, p, d, 117, 1); }},
      {"SetInstallAddress null", z, [&](Link l, int p) { return vnsdt::SetInstallAddress(l, p, nullptr, 3, 1); }},
      {"SetBluetoothName 17", m, [&](Link l, int p) { return vnsdt::SetBluetoothName(l, p, d, 17, 1); }},
      {"SetBluetoothName -1", m, [&](Link l, int p) { return vnsdt::SetBluetoothName(l, p, d, -1, 1); }},
      {"SetBluetoothShutdownTime 256", z, [&](Link l, int p) { return vnsdt::SetBluetoothShutdownTime(l, p, 256, 1); }},
      {"GetImage 256", z, [&](Link l, int p) { return vnsdt::GetImage(l, p, 256, &o.i1, &o.i2, &o.i3, 1); }},
      {"UploadImage 256", z, [&](Link l, int p) { return vnsdt::UploadImage(l, p, 256, o.a, &o.i1, 1); }},
      {"Feature 300", z, [&](Link l, int p) { return vnsdt::Feature(l, p, 300, 1); }},
      {"GetAndUploadFeature 256", z, [&](Link l, int p) { return vnsdt::GetAndUploadFeature(l, p, 256, o.a, 1); }},
      {"OneKeyVerify 256", z, [&](Link l, int p) { return vnsdt::OneKeyVerify(l, p, 256, &o.i1, 1); }},
      {"SetFindcardPeriod 256", z, [&](Link l, int p) { return vnsdt::SetFindcardPeriod(l, p, 256, 1); }},
      {"UpdateEnd 256", z, [&](Link l, int p) { return vnsdt::UpdateEnd(l, p, 256, 1); }},
      {"LowPower 0x10000", z, [&](Link l, int p) { return vnsdt::LowPower(l, p, 0x10000, 1); }},
      {"SetDeviceShutdownTime 0x10000", z,
       [&](Link l, int p) { return vnsdt::SetDeviceShutdownTime(l, p, 0x10000, 1); }},
      {"UpdateSize -1", z, [&](Link l, int p) { return vnsdt::UpdateSize(l, p, -1, 1); }},
      {"SendPacket 1025", m, [&](Link l, int p) { return vnsdt::SendPacket(l, p, 0, d, 1025, 1); }},
      {"SendPacket -1", m, [&](Link l, int p) { return vnsdt::SendPacket(l, p, 0, d, -1, 1); }},
      {"QueryFunction 256", m, [&](Link l, int p) { return vnsdt::QueryFunction(l, p, d, 256, o.a, &o.i1, 1); }},
      {"QueryFunction -1", m, [&](Link l, int p) { return vnsdt::QueryFunction(l, p, d, -1, o.a, &o.i1, 1); }},
      {"DownloadUserInfo id 19", m, [&](Link l, int p) { return vnsdt::DownloadUserInfo(l, p, d, 19, d, 6, 1, d, 1); }},
      {"DownloadUserInfo info 7", m,
       [&](Link l, int p) { return vnsdt::DownloadUserInfo(l, p, d, 18, d, 7, 1, d, 1); }},
      {"DownloadUserInfo kind 256", m,
       [&](Link l, int p) { return vnsdt::DownloadUserInfo(l, p, d, 18, d, 6, 256, d, 1); }},
      {"DownloadUserInfo id -1", m, [&](Link l, int p) { return vnsdt::DownloadUserInfo(l, p, d, -1, d, 6, 1, d, 1); }},
      {"DownloadUserInfo no block", m,
       [&](Link l, int p) { return vnsdt::DownloadUserInfo(l, p, d, 18, d, 6, 1, nullptr, 1); }},
      {"ReadBarCode 1015", m, [&](Link l, int p) { return vnsdt::ReadBarCode(l, p, d, 1015, o.a, 1); }},
      {"ReadBarCode -1", m, [&](Link l, int p) { return vnsdt::ReadBarCode(l, p, d, -1, o.a, 1); }},
  };
  for (const auto& c : checks) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(vnsdt::CommandResult(link(), c.call(link(), port())), c.expected);
    EXPECT_TRUE(NothingSent());
  }
  EXPECT_TRUE(o.Untouched());
}

TEST_P(DeviceCommands, SearchUserTAbove255) {
  // HID refuses it; the serial line sends the low byte and would wait t seconds.
  Outputs o;
  if (hid()) {
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUser(link(), port(), 256, &o.i1, o.a, o.b, 1)), 0);
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUserByIDCard(link(), port(), 300, &o.i1, o.a, o.b, 1)), 0);
    EXPECT_TRUE(NothingSent());
    return;
  }
  Answer(0x2A, 0x90, kUserRecord);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUser(link(), port(), 0x103, &o.i1, o.a, o.b, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x2A, {0x03}));
  EXPECT_EQ(serial_->readTimeouts.front(), 0x103 * 1000u);
}

TEST_P(DeviceCommands, LengthLimitsAtTheirEdges) {
  const Bytes b32 = Pattern(32, 1);
  Answer(0x0F, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetDeviceNo(link(), port(), b32.data(), 32, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x0F, b32));
  EXPECT_EQ(firmware().requests.back().size(), 42u);

  const Bytes address = Pattern(114, 2);
  Answer(0x11, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetServerAddress(link(), port(), 0x0102, address.data(), 114, 1)),
            0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x11, Cat({1, 2}, address)));

  const Bytes install = Pattern(116, 3);
  Answer(0x13, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetInstallAddress(link(), port(), install.data(), 116, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x13, install));

  const Bytes packet = Pattern(1024, 4);
  Answer(0x50, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SendPacket(link(), port(), 9, packet.data(), 1024, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x50, Cat({0x02, 9}, packet)));
  if (hid()) {
    EXPECT_EQ(hid_->outputReports, 1u + 2u + 2u + 17u);  // 1036 bytes: 16 full reports and one part
  }

  const Bytes name = Pattern(16, 5);
  Answer(0x18, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetBluetoothName(link(), port(), name.data(), 16, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x18, name));

  const Bytes query = Pattern(255, 6);
  Answer(0xFF, 0x90, {});
  int len = kUnset;
  unsigned char out[8];
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::QueryFunction(link(), port(), query.data(), 255, out, &len, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0xFF, Cat({0xFF}, query)));
  EXPECT_EQ(len, 0);

  const Bytes code = Pattern(1014, 7);
  Answer(0x04, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadBarCode(link(), port(), code.data(), 1014, out, 1)), 0x90);
  EXPECT_EQ(firmware().requests.back().size(), 1024u);
}

TEST_P(DeviceCommands, ReplyLengthChecks) {
  Outputs o;
  // GetImage needs six data bytes.
  Answer(0x21, 0x90, {0, 1, 0, 2, 0});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetImage(link(), port(), 2, &o.i1, &o.i2, &o.i3, 1)), -1);
  // Verify and GetUserCount need two, HeartBeat one, whatever SW3 is.
  Answer(0x24, 0x90, {1});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::Verify(link(), port(), &o.i1, 1)), -1);
  Answer(0x34, 0x31, {1});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserCount(link(), port(), &o.i1, 1)), -1);
  Answer(0x30, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::HeartBeat(link(), port(), &o.i1, 1)), -1);
  // OneKeyVerify takes at most two.
  Answer(0x2B, 0x90, {0, 1, 2});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::OneKeyVerify(link(), port(), 2, &o.i1, 1)), -1);
  // SearchUser: 26 data bytes are too many.
  Answer(0x2A, 0x90, Cat(kUserRecord, {0}));
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUser(link(), port(), 2, &o.i1, o.a, o.b, 1)), -1);
  Answer(0x2C, 0x90, Cat(kUserRecord, {0}));
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUserByIDCard(link(), port(), 2, &o.i1, o.a, o.b, 1)), -1);
  EXPECT_TRUE(o.Untouched());

  // A short search answer fills what it has; the rest reads as zero, not as the checksum.
  Answer(0x2A, 0x90, {3, 'A', 'B'});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUser(link(), port(), 2, &o.i1, o.a, o.b, 1)), 0x90);
  EXPECT_EQ(o.i1, 3);
  EXPECT_EQ(Of(o.a, 19), Cat(Cat(Text("AB"), Bytes(16, 0)), {kSentinel}));
  EXPECT_EQ(Of(o.b, 7), Cat(Bytes(6, 0), {kSentinel}));

  // OneKeyVerify with one byte, GetServerAddress with one: nothing past the data is read.
  Outputs p;
  Answer(0x12, 0x90, {0x55});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetServerAddress(link(), port(), &p.i1, p.a, &p.i2, 1)), 0x90);
  EXPECT_TRUE(p.Untouched());
  Answer(0x2B, 0x90, {0x55});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::OneKeyVerify(link(), port(), 2, &p.i1, 1)), 0x90);
  EXPECT_EQ(p.i1, 0x5500);
}

TEST_P(DeviceCommands, GetUserInfoChecksDifferByTransport) {
  Outputs o;
  const Bytes three = Cat(kTwoUsers, Bytes(25, 9));
  Answer(0x35, 0x90, three);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserInfo(link(), port(), 0, 2, o.a, 1)), hid() ? 0x90 : -1);
  Answer(0x35, 0x90, Bytes(30, 1));  // not whole records
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserInfo(link(), port(), 0, 2, o.a, 1)), hid() ? 0x90 : -1);
  Answer(0x35, 0x90, {});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserInfo(link(), port(), 0, 2, o.a, 1)), hid() ? -1 : 0x90);
  Answer(0x35, 0x90, {7});
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserInfo(link(), port(), 0, 2, o.a, 1)), -1);
  Outputs p;
  Answer(0x35, 0x90, kTwoUsers);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserInfo(link(), port(), 0, 2, p.a, 1)), 0x90);
  EXPECT_EQ(Of(p.a, 51), Cat(kTwoUsers, {kSentinel}));
}

TEST_P(DeviceCommands, TimeOuts) {
  // Time-outs are visible as what the reader link is asked to wait; over HID the overlapped
  // reads of trans type 2 carry them.
  HID_SetTransType(2);
  const auto waited = [&]() -> uint32_t {
    if (hid()) return hid_->inputTimeouts.empty() ? 0 : hid_->inputTimeouts.back();
    return serial_->readTimeouts.empty() ? 0 : serial_->readTimeouts.back();
  };
  Outputs o;
  const struct {
    const char* what;
    uint8_t parameter;
    Bytes answer;
    std::function<int()> call;
    uint32_t serialMs, hidMs;
  } cases[] = {
      {"GetImage 10", 0x21, Bytes(6, 0),
       [&] { return vnsdt::CommandResult(link(), vnsdt::GetImage(link(), port(), 10, &o.i1, &o.i2, &o.i3, 1)); }, 10000,
       11000},
      {"GetImage 2", 0x21, Bytes(6, 0),
       [&] { return vnsdt::CommandResult(link(), vnsdt::GetImage(link(), port(), 2, &o.i1, &o.i2, &o.i3, 1)); }, 2000,
       6000},
      {"OneKeyVerify 2",
       0x2B,
       {0, 1},
       [&] { return vnsdt::CommandResult(link(), vnsdt::OneKeyVerify(link(), port(), 2, &o.i1, 1)); },
       5000,
       2000},
      {"OneKeyVerify 9",
       0x2B,
       {0, 1},
       [&] { return vnsdt::CommandResult(link(), vnsdt::OneKeyVerify(link(), port(), 9, &o.i1, 1)); },
       5000,
       9000},
      {"GetAndUploadFeature 3",
       0x27,
       {1},
       [&] { return vnsdt::CommandResult(link(), vnsdt::GetAndUploadFeature(link(), port(), 3, o.a, 1)); },
       3000,
       9000},
      {"GetAndUploadFeature 12",
       0x27,
       {1},
       [&] { return vnsdt::CommandResult(link(), vnsdt::GetAndUploadFeature(link(), port(), 12, o.a, 1)); },
       12000,
       13000},
      {"Feature 7",
       0x23,
       {},
       [&] { return vnsdt::CommandResult(link(), vnsdt::Feature(link(), port(), 7, 1)); },
       7000,
       7000},
      {"SearchUserByIDCard 4", 0x2C, kUserRecord,
       [&] { return vnsdt::CommandResult(link(), vnsdt::SearchUserByIDCard(link(), port(), 4, &o.i1, o.a, o.b, 1)); },
       4000, 4000},
      {"TCSInit",
       0x25,
       {},
       [&] { return vnsdt::CommandResult(link(), vnsdt::TCSInit(link(), port(), 1)); },
       10000,
       15000},
      {"Verify",
       0x24,
       {0, 1},
       [&] { return vnsdt::CommandResult(link(), vnsdt::Verify(link(), port(), &o.i1, 1)); },
       2000,
       5000},
      {"UploadImage",
       0x22,
       {},
       [&] { return vnsdt::CommandResult(link(), vnsdt::UploadImage(link(), port(), 0, o.a, &o.i1, 1)); },
       5000,
       5000},
      {"GetVersion",
       0x01,
       {},
       [&] { return vnsdt::CommandResult(link(), vnsdt::GetVersion(link(), port(), o.a, 1)); },
       1000,
       3000},
      {"Feature 0", 0x23, {}, [&] { return vnsdt::CommandResult(link(), vnsdt::Feature(link(), port(), 0, 1)); }, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Answer(c.parameter, 0x90, c.answer);
    EXPECT_EQ(c.call(), 0x90);
    EXPECT_EQ(waited(), hid() ? c.hidMs : c.serialMs);
  }
}

TEST_P(DeviceCommands, HidOpenFlag) {
  if (!hid()) {
    Answer(0x01, 0x90, Text("V"));
    unsigned char out[8];
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetVersion(link(), kSerialPort, out, 0)),
              0x90);  // the flag means nothing here
    return;
  }
  unsigned char out[64];
  // Open flag 0 without HID_OpenPort: no handle.
  EXPECT_EQ(HID_GetVersion(kHidPort, out, 0), 1);
  EXPECT_TRUE(NothingSent());
  // Open flag 1 opens and closes around the call.
  EXPECT_EQ(HID_GetVersion(kHidPort, out, 1), 0x90);
  EXPECT_EQ(vnsdt::Hid().Slot(kHidPort), nullptr);
  // A port opened beforehand stays open.
  ASSERT_EQ(HID_OpenPort(kHidPort), 0x90);
  EXPECT_EQ(HID_GetVersion(kHidPort, out, 0), 0x90);
  EXPECT_NE(vnsdt::Hid().Slot(kHidPort), nullptr);
  EXPECT_EQ(HID_GetVersion(1000, out, 1), 0);
  EXPECT_EQ(HID_GetVersion(1002, out, 1), 1);  // one reader only
}

// Against the simulated reader's own device model rather than scripted replies.
TEST_P(DeviceCommands, FirmwareUpdateRoundTrip) {
  const Bytes image = Pattern(10 * 1024, 11);
  sim::DeviceModel& model = firmware().device;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::UpdateSize(link(), port(), static_cast<int>(image.size()), 1)), 0x90);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SendPacket(link(), port(), i, image.data() + i * 1024, 1024, 1)),
              0x90)
        << i;
  }
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::UpdateEnd(link(), port(), 1, 1)), 0x90);
  EXPECT_EQ(model.firmwareImage, image);
  EXPECT_EQ(model.updateEndValue, 1);

  // A packet out of order spoils the transfer, and the reader says so at the end.
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::UpdateSize(link(), port(), 2048, 1)), 0x90);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SendPacket(link(), port(), 0, image.data(), 1024, 1)), 0x90);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SendPacket(link(), port(), 2, image.data(), 1024, 1)),
            sim::DeviceModel::kUpdateOrder);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::UpdateEnd(link(), port(), 1, 1)), sim::DeviceModel::kUpdateFailed);
  EXPECT_EQ(model.firmwareImage, image);
}

TEST_P(DeviceCommands, UserTableRoundTrip) {
  const Bytes other = Text("220102198501010011");
  EXPECT_EQ(vnsdt::CommandResult(
                link(), vnsdt::DownloadUserInfo(link(), port(), kId.data(), 18, kInfo.data(), 6, 1, kBlock.data(), 1)),
            0x90);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::DownloadUserInfo(link(), port(), other.data(), 18, kInfo.data(), 2, 2,
                                                                 kBlock.data(), 1)),
            0x90);
  int count = kUnset;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserCount(link(), port(), &count, 1)), 0x90);
  EXPECT_EQ(count, 2);

  unsigned char list[64];
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserInfo(link(), port(), 1, 5, list, 1)), 0x90);
  EXPECT_EQ(Of(list, 25), Cat(Cat(other, {1, 2, 0, 0, 0, 0}), {2}));

  Outputs o;
  firmware().device.cardIdNumber = kId;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUserByIDCard(link(), port(), 2, &o.i1, o.a, o.b, 1)), 0x90);
  EXPECT_EQ(o.i1, 1);
  EXPECT_EQ(Of(o.a, 18), kId);
  firmware().device.presentedUser = 1;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUser(link(), port(), 2, &o.i1, o.a, o.b, 1)), 0x90);
  EXPECT_EQ(Of(o.a, 18), other);

  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::DeleteAllUser(link(), port(), 1)), 0x90);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetUserCount(link(), port(), &count, 1)), 0x90);
  EXPECT_EQ(count, 0);
  Outputs none;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SearchUser(link(), port(), 2, &none.i1, none.a, none.b, 1)),
            sim::DeviceModel::kUserNotFound);
  EXPECT_TRUE(none.Untouched());
}

TEST_P(DeviceCommands, SettingsAndImageRoundTrip) {
  sim::DeviceModel& model = firmware().device;
  const Bytes address = Pattern(114, 21);  // two reports over HID
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetServerAddress(link(), port(), 9000, address.data(), 114, 1)), 0x90);
  int number = kUnset, len = kUnset;
  unsigned char out[256];
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetServerAddress(link(), port(), &number, out, &len, 1)), 0x90);
  EXPECT_EQ(number, 9000);
  EXPECT_EQ(Of(out, static_cast<size_t>(len)), address);

  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetBluetoothName(link(), port(), Text("abc").data(), 3, 1)), 0x90);
  EXPECT_EQ(model.bluetoothName, Cat(Text("abc"), Bytes(13, 0)));

  const Bytes deviceNo = Pattern(32, 1);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::SetDeviceNo(link(), port(), deviceNo.data(), 32, 1)), 0x90);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetDeviceNo(link(), port(), out, 1)), 0x90);
  EXPECT_EQ(Of(out, 32), deviceNo);

  int w = 0, h = 0, q = 0;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetImage(link(), port(), 2, &w, &h, &q, 1)), 0x90);
  EXPECT_EQ(w * h, static_cast<int>(model.image.size()));
  Bytes image;
  for (int piece = 0; image.size() < model.image.size(); ++piece) {
    Outputs o;
    ASSERT_EQ(vnsdt::CommandResult(link(), vnsdt::UploadImage(link(), port(), piece, o.a, &o.i1, 1)), 0x90) << piece;
    image.insert(image.end(), o.a, o.a + o.i1);
  }
  EXPECT_EQ(image, model.image);

  // The reader echoes the wrong SW1 on a success: still -1.
  model.tweaks[0x24].sw1 = 0x25;
  int score = kUnset;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::Verify(link(), port(), &score, 1)), -1);
  EXPECT_EQ(score, kUnset);
  // Too short a GetServerAddress answer leaves everything alone.
  model.tweaks[0x12].dataSize = 1;
  number = len = kUnset;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetServerAddress(link(), port(), &number, out, &len, 1)), 0x90);
  EXPECT_EQ(number, kUnset);
  EXPECT_EQ(len, kUnset);
}

INSTANTIATE_TEST_SUITE_P(BothLinks, DeviceCommands, ::testing::Values(Link::Serial, Link::Hid), test::LinkName);

// The exports reach the same commands, decorated names included.
TEST(DeviceExports, PairsReachTheirTransport) {
  platform::SetSimulationForTesting(true);
  platform::hid::UnregisterAllVirtual();
  auto hid = std::make_shared<sim::HidReader>();
  platform::hid::RegisterVirtual(hid);
  auto serial = std::make_shared<sim::SerialReader>();
  platform::serial::BindVirtual(kSerialPort, serial);
  int state = 0, count = 0, kind = 0;
  unsigned char id[18], info[6], out[64];
  hid->firmware.scriptedReplies.push_back(sim::MakeReply(0x30, 0, 0x90, {5}));
  EXPECT_EQ(HID_HeartBeat(kHidPort, &state, 1), 0x90);
  EXPECT_EQ(state, 5);
  serial->firmware.scriptedReplies.push_back(sim::MakeReply(0x34, 0, 0x90, {0, 4}));
  EXPECT_EQ(RS232_GetUserCount(kSerialPort, &count, 99), 0x90);
  EXPECT_EQ(count, 4);
  serial->firmware.scriptedReplies.push_back(sim::MakeReply(0x2C, 0, 0x90, kUserRecord));
  EXPECT_EQ(RS232_SearchUserByIDCard(kSerialPort, 2, &kind, id, info, 0), 0x90);
  EXPECT_EQ(Of(id, 18), kId);
  hid->firmware.scriptedReplies.push_back(sim::MakeReply(0x35, 0, 0x90, Bytes(25, 1)));
  EXPECT_EQ(HID_GetUserInfo(kHidPort, 0, 1, out, 1), 0x90);
  EXPECT_EQ(Of(out, 25), Bytes(25, 1));
  platform::serial::UnbindVirtual(kSerialPort);
  platform::hid::UnregisterAllVirtual();
}

}  // namespace
