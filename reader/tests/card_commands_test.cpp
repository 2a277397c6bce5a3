// Every ID-card command over both transports against the simulated reader: the request frame,
// the outputs on success, untouched outputs on another SW3, -1 on a reply without preamble,
// and the argument checks.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "card_commands.h"
#include "hid_link.h"
#include "reader_fixture.h"

using sim::Bytes;
using vnsdt::Link;

namespace {

constexpr uint8_t kSentinel = 0xCC;
constexpr int kUnset = -7;
using test::Frame;
using test::kHidPort;
using test::kSerialPort;

struct Outputs {
  unsigned char a[4096];
  unsigned char b[2048];
  unsigned char c[2048];
  char text[1200];
  int len1 = kUnset, len2 = kUnset, len3 = kUnset;
  unsigned int value = 0xCCCCCCCCu;
  Outputs() {
    std::memset(a, kSentinel, sizeof a);
    std::memset(b, kSentinel, sizeof b);
    std::memset(c, kSentinel, sizeof c);
    std::memset(text, kSentinel, sizeof text);
  }
  bool Untouched() const {
    for (unsigned char x : a)
      if (x != kSentinel) return false;
    for (unsigned char x : b)
      if (x != kSentinel) return false;
    for (unsigned char x : c)
      if (x != kSentinel) return false;
    for (char x : text)
      if (static_cast<unsigned char>(x) != kSentinel) return false;
    return value == 0xCCCCCCCCu;
  }
};

const unsigned char kKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const unsigned char kNewKey[6] = {1, 2, 3, 4, 5, 6};
const unsigned char kApdu[5] = {0x00, 0x84, 0x00, 0x00, 0x08};
const unsigned char kWrite[3] = {0xA1, 0xA2, 0xA3};

struct Case {
  const char* name;
  uint8_t command, parameter;
  Bytes data;
  std::function<vnsdt::Result(Link, int, int, Outputs&)> call;
  int successSw3;
  bool zeroesLength;
  std::function<void(const Outputs&, const sim::ReaderFirmware&)> check;
};

std::string Hex(const Bytes& b) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t x : b) {
    s.push_back(kHex[x >> 4]);
    s.push_back(kHex[x & 15]);
  }
  return s;
}

Bytes Of(const unsigned char* p, size_t n) { return Bytes(p, p + n); }

const Case kCases[] = {
    {"GetSAMStatus",
     0x11,
     0xFF,
     {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::GetSAMStatus(l, p, f); },
     0x90,
     false,
     nullptr},
    {"ReSetSAM",
     0x10,
     0xFF,
     {},
     [](Link l, int p, int f, Outputs&) { return vnsdt::ReSetSAM(l, p, f); },
     0x90,
     false,
     nullptr},
    {"GetSAMID",
     0x12,
     0xFF,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetSAMID(l, p, o.a, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(Of(o.a, 16), fw.samId);
       EXPECT_EQ(o.a[16], kSentinel);
     }},
    {"GetSAMIDToStr",
     0x12,
     0xFF,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::GetSAMIDToStr(l, p, o.text, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware&) { EXPECT_STREQ(o.text, "5-1-20200234-1234567-123456"); }},
    {"StartFindIDCard",
     0x20,
     0x01,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::StartFindIDCard(l, p, &o.value, f); },
     0x9F,
     false,
     [](const Outputs& o, const sim::ReaderFirmware&) { EXPECT_EQ(o.value, 0u); }},
    {"SelectIDCard",
     0x20,
     0x02,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::SelectIDCard(l, p, o.a, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware&) {
       EXPECT_EQ(Of(o.a, 8), Bytes(8, 0));
       EXPECT_EQ(o.a[8], kSentinel);
     }},
    {"ReadBaseMsg",
     0x30,
     0x01,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadBaseMsg(l, p, o.a, &o.len1, o.b, &o.len2, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, 256);
       EXPECT_EQ(o.len2, 1024);
       EXPECT_EQ(Of(o.a, 256), fw.card.text);
       EXPECT_EQ(Of(o.b, 1024), fw.card.photo);
       EXPECT_EQ(o.a[256], kSentinel);
     }},
    {"ReadBaseFPMsg",
     0x30,
     0x10,
     {},
     [](Link l, int p, int f, Outputs& o) {
       return vnsdt::ReadBaseFPMsg(l, p, o.a, &o.len1, o.b, &o.len2, o.c, &o.len3, f);
     },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, 256);
       EXPECT_EQ(o.len2, 1024);
       EXPECT_EQ(o.len3, 1024);
       EXPECT_EQ(Of(o.a, 256), fw.card.text);
       EXPECT_EQ(Of(o.b, 1024), fw.card.photo);
       EXPECT_EQ(Of(o.c, 1024), fw.card.fingerprint);
       EXPECT_EQ(o.c[1024], kSentinel);
     }},
    {"ReadNewAppMsg",
     0x30,
     0x03,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadNewAppMsg(l, p, o.a, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, 70);
       EXPECT_EQ(Of(o.a, 70), fw.card.newAddress);
     }},
    {"ReadCardNo",
     0x80,
     0x05,
     {},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadCardNo(l, p, o.text, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, 8);
       EXPECT_EQ(std::string(o.text, 16), Hex(fw.card.cardNumber));
       EXPECT_EQ(static_cast<unsigned char>(o.text[16]), kSentinel);  // no terminating zero
     }},
    {"RestPSAM",
     0x80,
     0x02,
     {0x02},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::RestPSAM(l, p, 2, o.a, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, static_cast<int>(fw.psamAtr.size()));
       EXPECT_EQ(Of(o.a, fw.psamAtr.size()), fw.psamAtr);
     }},
    {"ReadWritePSAM",
     0x80,
     0x03,
     {0x01, 0x00, 0x84, 0x00, 0x00, 0x08},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadWritePSAM(l, p, 1, kApdu, 5, o.a, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware&) {
       EXPECT_EQ(o.len1, 2);
       EXPECT_EQ(Of(o.a, 2), (Bytes{0x90, 0x00}));
     }},
    {"StartFindCardByType",
     0x80,
     0x08,
     {0x41},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::StartFindCardByType(l, p, 0x41, o.a, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware&) {
       EXPECT_EQ(Of(o.a, 5), (Bytes{0x41, 0xDE, 0xAD, 0xBE, 0xEF}));
       EXPECT_EQ(o.a[5], kSentinel);
     }},
    {"SelectIDCardByType",
     0x80,
     0x09,
     {0x41},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::SelectIDCardByType(l, p, 0x41, o.a, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware&) {
       EXPECT_EQ(Of(o.a, 5), (Bytes{0x41, 0xDE, 0xAD, 0xBE, 0xEF}));
     }},
    {"ReadUID",
     0x80,
     0x0A,
     {0x41},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadUID(l, p, 0x41, o.text, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware&) {
       EXPECT_EQ(o.len1, 4);
       EXPECT_EQ(std::string(o.text, 8), "DEADBEEF");
     }},
    {"KeyAuthentication",
     0x80,
     0x0B,
     {0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     [](Link l, int p, int f, Outputs&) { return vnsdt::KeyAuthentication(l, p, 0x60, kKey, f); },
     0x90,
     false,
     nullptr},
    {"KeyModify",
     0x80,
     0x0C,
     {0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6},
     [](Link l, int p, int f, Outputs&) { return vnsdt::KeyModify(l, p, 0x60, kKey, kNewKey, f); },
     0x90,
     false,
     [](const Outputs&, const sim::ReaderFirmware& fw) { EXPECT_EQ(fw.typeAKey, Of(kNewKey, 6)); }},
    {"ReadBaseMsgTypeA",
     0x80,
     0x0D,
     {0x00, 0x02, 0x00, 0x10},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadBaseMsgTypeA(l, p, 2, 16, o.a, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, 16);
       EXPECT_EQ(Of(o.a, 16), Bytes(fw.typeAMemory.begin() + 32, fw.typeAMemory.begin() + 48));
     }},
    {"WriteBaseMsgTypeA",
     0x80,
     0x0E,
     {0x00, 0x03, 0x00, 0x03, 0xA1, 0xA2, 0xA3},
     [](Link l, int p, int f, Outputs&) { return vnsdt::WriteBaseMsgTypeA(l, p, 3, kWrite, 3, f); },
     0x90,
     false,
     [](const Outputs&, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(Bytes(fw.typeAMemory.begin() + 48, fw.typeAMemory.begin() + 51), Of(kWrite, 3));
     }},
    {"KeyAuthenticationEx",
     0x80,
     0x3B,
     {0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
     [](Link l, int p, int f, Outputs&) { return vnsdt::KeyAuthenticationEx(l, p, 1, 0x60, kKey, f); },
     0x90,
     false,
     nullptr},
    {"KeyModifyEx",
     0x80,
     0x0C,
     {0x61, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6},
     [](Link l, int p, int f, Outputs&) { return vnsdt::KeyModifyEx(l, p, 0, 0x61, kKey, kNewKey, f); },
     0x90,
     false,
     nullptr},
    {"ReadBaseMsgTypeAEx",
     0x80,
     0x3D,
     {0x00, 0x7F, 0x00, 0x04},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::ReadBaseMsgTypeAEx(l, p, 1, 127, 4, o.a, &o.len1, f); },
     0x90,
     true,
     [](const Outputs& o, const sim::ReaderFirmware& fw) {
       EXPECT_EQ(o.len1, 4);
       EXPECT_EQ(Of(o.a, 4), Bytes(fw.typeAMemory.begin() + 127 * 16, fw.typeAMemory.begin() + 127 * 16 + 4));
     }},
    {"WriteBaseMsgTypeAEx",
     0x80,
     0x0E,
     {0x00, 0x00, 0x00, 0x03, 0xA1, 0xA2, 0xA3},
     [](Link l, int p, int f, Outputs&) { return vnsdt::WriteBaseMsgTypeAEx(l, p, 0, 0, kWrite, 3, f); },
     0x90,
     false,
     nullptr},
    {"APDU",
     0x80,
     0x19,
     {0x00, 0x84, 0x00, 0x00, 0x08},
     [](Link l, int p, int f, Outputs& o) { return vnsdt::APDU(l, p, kApdu, 5, o.a, &o.len1, f); },
     0x90,
     false,
     [](const Outputs& o, const sim::ReaderFirmware&) {
       EXPECT_EQ(o.len1, 7);
       EXPECT_EQ(Of(o.a, 7), (Bytes{0x08, 0x00, 0x00, 0x84, 0x00, 0x90, 0x00}));
     }},
};

class CardCommands : public test::BothLinks {
 protected:
  int Call(const Case& c, Outputs& o) { return vnsdt::CommandResult(link(), c.call(link(), port(), 1, o)); }
};

TEST_P(CardCommands, FrameAndOutputsOnSuccess) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    firmware().requests.clear();
    firmware().typeAKey.assign(6, 0xFF);
    Outputs o;
    EXPECT_EQ(Call(c, o), c.successSw3);
    ASSERT_EQ(firmware().requests.size(), 1u);
    EXPECT_EQ(firmware().requests.back(), Frame(c.command, c.parameter, c.data));
    if (c.check) c.check(o, firmware());
  }
}

TEST_P(CardCommands, AnotherSw3LeavesOutputsAlone) {
  firmware().forcedSw3 = 0x41;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Outputs o;
    EXPECT_EQ(Call(c, o), 0x41);
    EXPECT_TRUE(o.Untouched());
    EXPECT_EQ(o.len1, c.zeroesLength ? 0 : kUnset);
    EXPECT_EQ(o.len2, kUnset);
    EXPECT_EQ(o.len3, kUnset);
  }
}

// A reply without the preamble, and one whose length field (2) leaves no room for SW3: never
// the 0 that means "port out of range".
TEST_P(CardCommands, ReplyWithoutPreambleOrSw3IsMinusOne) {
  Bytes bad = sim::MakeReply(0, 0, 0x90, {1, 2, 3});
  bad[1] = 0x00;
  const Bytes noSw3 = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x02, 0x00, 0x00};
  for (const Bytes& reply : {bad, noSw3}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.name);
      firmware().scriptedReplies.push_back(reply);
      Outputs o;
      EXPECT_EQ(Call(c, o), -1);
      EXPECT_TRUE(o.Untouched());
    }
  }
}

TEST_P(CardCommands, TransportFailureIsMinusOne) {
  if (link() == Link::Hid) {
    hid_->faults.failWrites = true;
  } else {
    serial_->faults.failWrites = true;
  }
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Outputs o;
    EXPECT_EQ(Call(c, o), -1);
    EXPECT_TRUE(o.Untouched());
  }
}

TEST_P(CardCommands, ArgumentChecksBeforeAnyTransfer) {
  Outputs o;
  const int apduTooLong = link() == Link::Hid ? 0 : -1;
  unsigned char big[200] = {};
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::APDU(link(), port(), big, 129, o.a, &o.len1, 1)), apduTooLong);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::APDU(link(), port(), big, -1, o.a, &o.len1, 1)), apduTooLong);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::KeyModifyEx(link(), port(), 2, 0x60, kKey, kNewKey, 1)), -1);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::KeyAuthenticationEx(link(), port(), -1, 0x60, kKey, 1)), -1);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadBaseMsgTypeAEx(link(), port(), 3, 0, 4, o.a, &o.len1, 1)), -1);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::WriteBaseMsgTypeAEx(link(), port(), 5, 0, kWrite, 3, 1)), -1);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::WriteBaseMsgTypeA(link(), port(), 0, kWrite, -3, 1)), -1);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::KeyAuthentication(link(), port(), 0x60, nullptr, 1)), -1);
  EXPECT_TRUE(firmware().requests.empty());
  // APDU of exactly 128 bytes goes out.
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::APDU(link(), port(), big, 128, o.a, &o.len1, 1)), 0x90);
  EXPECT_EQ(o.len1, 130);
}

TEST_P(CardCommands, TypeAAddress128) {
  Outputs o;
  if (link() == Link::Hid) {
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadBaseMsgTypeA(link(), port(), 128, 4, o.a, &o.len1, 1)), 0);
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::WriteBaseMsgTypeA(link(), port(), 128, kWrite, 3, 1)), 0);
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadBaseMsgTypeAEx(link(), port(), 0, 200, 4, o.a, &o.len1, 1)), 0);
    EXPECT_TRUE(firmware().requests.empty());
  } else {
    // Serial sends it; the simulated card has no block 128.
    EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadBaseMsgTypeA(link(), port(), 128, 4, o.a, &o.len1, 1)), 0x34);
    ASSERT_EQ(firmware().requests.size(), 1u);
    EXPECT_EQ(firmware().requests.back(), Frame(0x80, 0x0D, {0x00, 0x80, 0x00, 0x04}));
  }
  EXPECT_EQ(o.len1, 0);
}

TEST_P(CardCommands, EdgeCasesOfTheReplies) {
  Outputs o;
  // Null output of find card.
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::StartFindIDCard(link(), port(), nullptr, 1)), 0x9F);
  // SAM identity text.
  firmware().samId = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::GetSAMIDToStr(link(), port(), o.text, 1)), 0x90);
  EXPECT_STREQ(o.text, "1-2-3-4-5");
  // Card number 12 AB.
  firmware().card.cardNumber = {0x12, 0xAB};
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadCardNo(link(), port(), o.text, &o.len1, 1)), 0x90);
  EXPECT_EQ(std::string(o.text, 4), "12AB");
  EXPECT_EQ(o.len1, 2);
  // A card without fingerprint data.
  firmware().card.fingerprint.clear();
  Outputs f;
  EXPECT_EQ(
      vnsdt::CommandResult(link(), vnsdt::ReadBaseFPMsg(link(), port(), f.a, &f.len1, f.b, &f.len2, f.c, &f.len3, 1)),
      0x90);
  EXPECT_EQ(f.len3, 0);
  EXPECT_EQ(f.c[0], kSentinel);
  // No card in the field.
  firmware().cardPresent = false;
  unsigned int value = 7;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::StartFindIDCard(link(), port(), &value, 1)), 0x80);
  EXPECT_EQ(value, 7u);
}

TEST_P(CardCommands, LengthsBeyondTheCallersBuffersAreRefused) {
  auto check = [&](const Bytes& data, const char* what) {
    SCOPED_TRACE(what);
    firmware().scriptedReplies.push_back(sim::MakeReply(0, 0, 0x90, data));
    Outputs o;
    EXPECT_EQ(
        vnsdt::CommandResult(link(), vnsdt::ReadBaseFPMsg(link(), port(), o.a, &o.len1, o.b, &o.len2, o.c, &o.len3, 1)),
        -1);
    EXPECT_TRUE(o.Untouched());
    EXPECT_EQ(o.len1, kUnset);
  };
  Bytes head = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00};  // text 257
  head.resize(6 + 257);
  check(head, "text 257");
  head = {0x00, 0x00, 0x04, 0x01, 0x00, 0x00};  // photo 1025
  head.resize(6 + 1025);
  check(head, "photo 1025");
  head = {0x00, 0x00, 0x00, 0x00, 0x04, 0x01};  // fingerprint 1025
  head.resize(6 + 1025);
  check(head, "fingerprint 1025");
  check({0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 1, 2}, "blocks beyond the reply");

  firmware().card.cardNumber.assign(513, 0x11);
  Outputs o;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadCardNo(link(), port(), o.text, &o.len1, 1)), -1);
  EXPECT_TRUE(o.Untouched());
  firmware().card.cardNumber.assign(512, 0x11);
  Outputs big;
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadCardNo(link(), port(), big.text, &big.len1, 1)), 0x90);
  EXPECT_EQ(big.len1, 512);
  firmware().card.uid.assign(65, 0x22);
  EXPECT_EQ(vnsdt::CommandResult(link(), vnsdt::ReadUID(link(), port(), 0x41, o.text, &o.len1, 1)), -1);
  EXPECT_EQ(o.len1, 0);
}

TEST_P(CardCommands, ShortRepliesOnSerialAreMinusOne) {
  const Bytes few = {1, 2, 3};
  Outputs o;
  unsigned int value = 0;
  firmware().scriptedReplies.push_back(sim::MakeReply(0, 0, 0x90, few));
  const int samId = vnsdt::CommandResult(link(), vnsdt::GetSAMID(link(), port(), o.a, 1));
  firmware().scriptedReplies.push_back(sim::MakeReply(0, 0, 0x9F, few));
  const int find = vnsdt::CommandResult(link(), vnsdt::StartFindIDCard(link(), port(), &value, 1));
  firmware().scriptedReplies.push_back(sim::MakeReply(0, 0, 0x90, few));
  const int select = vnsdt::CommandResult(link(), vnsdt::SelectIDCard(link(), port(), o.a, 1));
  firmware().scriptedReplies.push_back(sim::MakeReply(0, 0, 0x90, few));
  const int base = vnsdt::CommandResult(link(), vnsdt::ReadBaseMsg(link(), port(), o.a, &o.len1, o.b, &o.len2, 1));
  firmware().scriptedReplies.push_back(sim::MakeReply(0, 0, 0x90, {0, 0, 0, 0, 0}));
  const int fp =
      vnsdt::CommandResult(link(), vnsdt::ReadBaseFPMsg(link(), port(), o.a, &o.len1, o.b, &o.len2, o.c, &o.len3, 1));
  if (link() == Link::Serial) {
    EXPECT_EQ(samId, -1);
    EXPECT_EQ(find, -1);
    EXPECT_EQ(select, -1);
    EXPECT_EQ(base, -1);
    EXPECT_EQ(fp, -1);
  } else {
    // HID takes what came (the checksum byte and zeros follow the data).
    EXPECT_EQ(samId, 0x90);
    EXPECT_EQ(find, 0x9F);
    EXPECT_EQ(value & 0xFFFFFFu, 0x030201u);
    EXPECT_EQ(select, 0x90);
  }
}

INSTANTIATE_TEST_SUITE_P(BothLinks, CardCommands, ::testing::Values(Link::Serial, Link::Hid), test::LinkName);

class CardSequence : public ::testing::Test {
 protected:
  void TearDown() override { HID_ClosePort(kHidPort); }
  void ReadCard(int openFlag) {
    unsigned int find = 0;
    unsigned char info[8];
    unsigned char text[256], photo[1024], fp[1024];
    int t = 0, p = 0, f = 0;
    EXPECT_EQ(HID_StartFindIDCard(kHidPort, &find, openFlag), 0x9F);
    EXPECT_EQ(HID_SelectIDCard(kHidPort, info, openFlag), 0x90);
    EXPECT_EQ(HID_ReadBaseFPMsg(kHidPort, text, &t, photo, &p, fp, &f, openFlag), 0x90);
    EXPECT_EQ(Of(text, 256), reader_->firmware.card.text);
    EXPECT_EQ(Of(photo, 1024), reader_->firmware.card.photo);
    EXPECT_EQ(Of(fp, 1024), reader_->firmware.card.fingerprint);
    EXPECT_EQ(t + p + f, 256 + 1024 + 1024);
  }
  sim::ScopedReaders readers_;
  const std::shared_ptr<sim::HidReader>& reader_ = readers_.hid;
};

TEST_F(CardSequence, WithOpenFlagOne) {
  ReadCard(1);
  EXPECT_EQ(vnsdt::Hid().Slot(kHidPort), nullptr);
}

TEST_F(CardSequence, WithAPortOpenedBeforehand) {
  ASSERT_EQ(HID_OpenPort(kHidPort), 0x90);
  ReadCard(0);
  EXPECT_NE(vnsdt::Hid().Slot(kHidPort), nullptr);
  EXPECT_EQ(HID_ClosePort(kHidPort), 0x90);
  unsigned int find = 0;
  EXPECT_EQ(HID_StartFindIDCard(kHidPort, &find, 0), 1);  // closed: no device
  EXPECT_EQ(HID_StartFindIDCard(1017, &find, 1), 0);
}

TEST_F(CardSequence, SerialExportsIgnoreTheOpenFlag) {
  auto serial = std::make_shared<sim::SerialReader>();
  platform::serial::BindVirtual(kSerialPort, serial);
  EXPECT_EQ(RS232_GetSAMStatus(kSerialPort, 123, 0), 0x90);
  char text[64];
  EXPECT_EQ(RS232_GetSAMIDToStr(kSerialPort, text, 77), 0x90);
  EXPECT_EQ(HID_GetSAMStatus(kHidPort, 1), 0x90);
  EXPECT_EQ(HID_ReSetSAM(kHidPort, 1), 0x90);
  unsigned char mng[28];
  EXPECT_EQ(HID_ReadMngInfo(kHidPort, mng, 1), 0x90);
  EXPECT_EQ(Of(mng, 28), reader_->firmware.mngInfo);
  platform::serial::UnbindVirtual(kSerialPort);
}

}  // namespace
