// The USB-key stand-in's pieces: the DER encoder, the self-signed certificate, the key's file.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "certificate.h"
#include "der.h"
#include "key_record.h"
#include "rsa_key.h"

namespace usbkey {
namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A DER reader for checking what the encoder made: one element at a time.
struct Element {
  unsigned tag = 0;
  std::string content;
  std::string whole;  // tag, length and content
};

bool ReadElement(std::string_view& in, Element* e) {
  if (in.size() < 2) return false;
  e->tag = static_cast<unsigned char>(in[0]);
  size_t length = static_cast<unsigned char>(in[1]), head = 2;
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    if (count == 0 || count > 4 || in.size() < 2 + count) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<unsigned char>(in[2 + i]);
    // DER: the shortest form only.
    if (length < 0x80 || static_cast<unsigned char>(in[2]) == 0) return false;
    head += count;
  }
  if (in.size() - head < length) return false;
  e->content = std::string(in.substr(head, length));
  e->whole = std::string(in.substr(0, head + length));
  in.remove_prefix(head + length);
  return true;
}

std::vector<Element> Members(const std::string& content) {
  std::vector<Element> out;
  std::string_view in(content);
  Element e;
  while (!in.empty() && ReadElement(in, &e)) out.push_back(e);
  EXPECT_TRUE(in.empty()) << "trailing bytes";
  return out;
}

TEST(Der, LengthsTakeTheShortestForm) {
  const struct {
    size_t size;
    std::string head;
  } cases[] = {
      {0, "0400"},       {127, "047F"},       {128, "048180"},       {255, "0481FF"},
      {256, "04820100"}, {65535, "0482FFFF"}, {65536, "0483010000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string tlv = der::OctetString(std::string(c.size, 'x'));
    EXPECT_EQ(Hex(tlv.substr(0, c.head.size() / 2)), c.head);
    EXPECT_EQ(tlv.size(), c.head.size() / 2 + c.size);
  }
}

TEST(Der, Primitives) {
  const struct {
    std::string encoded;
    std::string hex;
  } cases[] = {
      {der::Integer(uint64_t{0}), "020100"},
      {der::Integer(uint64_t{127}), "02017F"},
      {der::Integer(uint64_t{128}), "02020080"},
      {der::Integer(uint64_t{65537}), "0203010001"},
      {der::Integer(std::string("\0\0\x01\x02", 4)), "02020102"},  // leading zeros dropped
      {der::Integer(std::string("\0\xFF", 2)), "020200FF"},
      {der::Integer(std::string()), "020100"},
      {der::Null(), "0500"},
      {der::Boolean(true), "0101FF"},
      {der::Boolean(false), "010100"},
      {der::BitString("\xAB"), "030200AB"},
      {der::Utf8String("\xE9\x92\xA5"), "0C03E992A5"},
      {der::ObjectId("1.2.840.113549.1.1.11"), "06092A864886F70D01010B"},
      {der::ObjectId("2.5.4.3"), "0603550403"},
      {der::ObjectId("2.999.3"), "0603883703"},  // first arcs above 127 together
      {der::Sequence({}), "3000"},
      {der::Sequence({der::Null(), der::Boolean(true)}),
       "30050500"
       "0101FF"},
      {der::Set({der::Null()}), "31020500"},
      {der::Explicit(3, der::Null()), "A3020500"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(c.encoded), c.hex);
  for (const char* bad : {"", "1", "3.1", "1.40", "1..2", "1.2.", "1.a", "1.2.99999999999999999999999"}) {
    EXPECT_EQ(der::ObjectId(bad), "") << bad;
  }
}

TEST(Der, TimesSwitchFromUtcToGeneralizedIn2050) {
  const struct {
    int64_t when;
    std::string text;
    unsigned tag;
  } cases[] = {
      {0, "700101000000Z", 0x17},          {951782400, "000229000000Z", 0x17},  // a leap day
      {1798761599, "261231235959Z", 0x17},                                      // 2026-12-31 23:59:59
      {2524607999, "491231235959Z", 0x17}, {2524608000, "20500101000000Z", 0x18}, {-631152001, "19491231235959Z", 0x18},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string_view in;
    const std::string encoded = der::Time(c.when);
    in = encoded;
    Element e;
    ASSERT_TRUE(ReadElement(in, &e));
    EXPECT_EQ(e.tag, c.tag);
    EXPECT_EQ(e.content, c.text);
  }
}

TEST(Certificate, SelfSignedAndVerifiableWithItsOwnKey) {
  const auto key = RsaKey::Generate();
  ASSERT_TRUE(key);
  CertificateRequest request;
  request.commonName = "Tarnwick USB Key 7301000001";
  request.organisation = "Tarnwick";
  request.serialNumber = std::string("\x81\x02", 2);  // the top bit needs a zero in front
  request.notBefore = 1798761599;
  request.notAfter = 2524608000;
  const std::string cert = SelfSignedCertificate(request, *key);

  std::string_view in(cert);
  Element whole;
  ASSERT_TRUE(ReadElement(in, &whole));
  EXPECT_TRUE(in.empty());
  const auto parts = Members(whole.content);
  ASSERT_EQ(parts.size(), 3u);
  const std::string algorithm = Hex(der::Sequence({der::ObjectId("1.2.840.113549.1.1.11"), der::Null()}));
  EXPECT_EQ(Hex(parts[1].whole), algorithm);
  ASSERT_EQ(parts[2].tag, 0x03u);
  ASSERT_EQ(parts[2].content.size(), kSignatureBytes + 1);
  EXPECT_TRUE(key->VerifySha256(parts[0].whole, parts[2].content.substr(1)));

  const auto tbs = Members(parts[0].content);
  ASSERT_EQ(tbs.size(), 8u);
  EXPECT_EQ(Hex(tbs[0].whole), "A003020102");  // v3
  EXPECT_EQ(Hex(tbs[1].whole), "0203008102");
  EXPECT_EQ(Hex(tbs[2].whole), algorithm);
  EXPECT_EQ(tbs[3].whole, tbs[5].whole);  // issuer is subject
  EXPECT_NE(tbs[5].content.find(request.commonName), std::string::npos);
  const auto validity = Members(tbs[4].content);
  ASSERT_EQ(validity.size(), 2u);
  EXPECT_EQ(validity[0].content, "261231235959Z");
  EXPECT_EQ(validity[1].content, "20500101000000Z");

  // subjectPublicKeyInfo: rsaEncryption, then the modulus and exponent in a BIT STRING.
  const auto spki = Members(tbs[6].content);
  ASSERT_EQ(spki.size(), 2u);
  EXPECT_EQ(Hex(spki[0].whole), Hex(der::Sequence({der::ObjectId("1.2.840.113549.1.1.1"), der::Null()})));
  ASSERT_EQ(spki[1].content[0], '\0');
  std::string_view rsa(spki[1].content);
  rsa.remove_prefix(1);
  Element rsaKey;
  ASSERT_TRUE(ReadElement(rsa, &rsaKey));
  const auto numbers = Members(rsaKey.content);
  ASSERT_EQ(numbers.size(), 2u);
  EXPECT_EQ(numbers[0].content, std::string(1, '\0') + key->Modulus());  // 2048 bits: top bit set
  EXPECT_EQ(Hex(numbers[1].content), "010001");
  EXPECT_EQ(tbs[7].tag, 0xA3u);  // extensions

  const std::string pem = CertificatePem(cert);
  EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
  EXPECT_EQ(pem.substr(pem.size() - 26), "-----END CERTIFICATE-----\n");
  EXPECT_EQ(pem.find('\n', 28), 28u + 64);  // lines of 64
}

TEST(RsaKey, SignaturesAreDeterministicAndSurviveStorage) {
  const auto key = RsaKey::Generate();
  ASSERT_TRUE(key);
  const std::string signature = key->SignSha256("content");
  ASSERT_EQ(signature.size(), kSignatureBytes);
  const auto again = RsaKey::FromCanonical(key->Canonical());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->SignSha256("content"), signature);
  EXPECT_TRUE(again->VerifySha256("content", signature));
  EXPECT_FALSE(again->VerifySha256("Content", signature));
  for (const std::string& bad : {std::string(), std::string("(3:abc)"), key->Canonical().substr(0, 100)}) {
    EXPECT_FALSE(RsaKey::FromCanonical(bad));
  }
  EXPECT_EQ(Hex(Sha256("abc")), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

KeyRecord SampleRecord() {
  KeyRecord r;
  r.serial = "7301000001";
  r.pinSalt = std::string("s\0\n", 3);
  r.pinHash = std::string(32, '\xFF');
  r.triesLeft = 3;
  r.privateKey = "(11:private-key)";
  r.certificate = "-----BEGIN CERTIFICATE-----\nAA==\n";
  r.certPassword = "\xE5\xAF\x86 7\n";
  return r;
}

TEST(KeyRecord, RoundTripsEveryByte) {
  const KeyRecord r = SampleRecord();
  KeyRecord back;
  ASSERT_TRUE(Parse(Serialize(r), &back));
  EXPECT_EQ(back.serial, r.serial);
  EXPECT_EQ(back.pinSalt, r.pinSalt);
  EXPECT_EQ(back.pinHash, r.pinHash);
  EXPECT_EQ(back.triesLeft, 3);
  EXPECT_EQ(back.privateKey, r.privateKey);
  EXPECT_EQ(back.certificate, r.certificate);
  EXPECT_EQ(back.certPassword, r.certPassword);
  EXPECT_EQ(back.signaturePicture, "");
  // Values a later version adds are skipped.
  ASSERT_TRUE(Parse(Serialize(r) + "colour 4\nblue\n", &back));
  EXPECT_EQ(back.certificate, r.certificate);
}

TEST(KeyRecord, RefusesAnythingButAWholeFile) {
  const std::string good = Serialize(SampleRecord());
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::string cases[] = {
      "",
      "TWUSBKEY 2\n" + good.substr(11),
      good.substr(0, good.size() - 1),       // the last value's end cut off
      good + "x",                            // bytes after the last value
      good + "serial 1\n7\n",                // a value twice
      replaced("tries 1\n3", "tries 1\n7"),  // more tries than a PIN has
      replaced("tries 1\n3", "tries 1\nx"),
      replaced("serial 10\n", "serial 99\n"),  // a length running on
      replaced("serial 10\n", "serial 1x\n"),
      replaced("serial 10\n", "serial  10\n"),
      replaced("pin-hash 32\n", "pin-hash 9999999999\n"),
      replaced("pin-salt 3\n", "salt 3\n"),  // no PIN left
  };
  for (const auto& c : cases) {
    KeyRecord r;
    r.serial = "unchanged";
    EXPECT_FALSE(Parse(c, &r)) << c.substr(0, 40);
    EXPECT_EQ(r.serial, "unchanged");
  }
}

}  // namespace
}  // namespace usbkey
