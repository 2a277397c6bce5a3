// The UsbKey stand-in through its exports: the key's file, the PIN, the stored items, signing.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "UsbKey.h"
#include "key_record.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/sim.h"
#include "rsa_key.h"
#include "standin.h"
#include "tw/testing.h"
#include "virtual_key.h"

namespace {

namespace fs = std::filesystem;
using usbkey::KeyRecord;

std::string Text(const wchar_t* wide) {
  return wide == nullptr ? "(null)" : platform::TextFromWide(wide, platform::CodePage::Utf8);
}

class UsbKeyStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    SimUsbKey_Control("reset", 0);
    SimUsbKey_Control("present", 1);
    ASSERT_EQ(SimUsbKey_Text("folder", folder_.u8string().c_str()), 1);
  }
  void TearDown() override { SimUsbKey_Control("reset", 0); }

  fs::path KeyFile(const std::string& serial = usbkey::kDefaultSerial) const { return folder_ / (serial + ".key"); }
  KeyRecord Stored(const std::string& serial = usbkey::kDefaultSerial) const {
    KeyRecord r;
    EXPECT_TRUE(usbkey::Parse(tw::testing::ReadFile(KeyFile(serial)), &r));
    return r;
  }
  // Whether `base64` is the stored key pair's signature of `content`.
  bool Verifies(const std::string& content, const std::string& base64) const {
    const auto key = usbkey::RsaKey::FromCanonical(Stored().privateKey);
    return key && key->VerifySha256(content, tw::testing::FromBase64(base64));
  }
  std::string Sign(const std::string& content, const char* pin = usbkey::kDefaultPin) {
    return Text(USBKey_DOSIGN(content.c_str(), static_cast<int>(content.size()), pin));
  }

  tw::testing::WorkDirectory work_{"tw_usbkey"};
  const fs::path folder_ = work_.path() / "keys";
};

TEST_F(UsbKeyStandIn, NoKeyNoService) {
  SimUsbKey_Control("present", 0);
  EXPECT_EQ(USBKey_Init_HS(), 0);
  EXPECT_EQ(Text(USBKey_Get_SerialNumber()), "");
  EXPECT_EQ(Text(USBKey_GetReaderName()), "");
  EXPECT_EQ(USBKey_Format(), 0);
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 0);
  EXPECT_EQ(Sign("x"), "");
  EXPECT_FALSE(fs::exists(folder_));
  // The switch follows the simulation setting unless forced.
  SimUsbKey_Control("present", standin::Device::kNotForced);
  platform::SetSimulationForTesting(true);
  EXPECT_EQ(USBKey_Init_HS(), 1);
  platform::SetSimulationForTesting(false);
  EXPECT_EQ(USBKey_Init_HS(), 0);
}

TEST_F(UsbKeyStandIn, ANewKeyIsReadyToSign) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  ASSERT_TRUE(fs::exists(KeyFile()));
  EXPECT_EQ(Text(USBKey_Get_SerialNumber()), "7301000001");
  EXPECT_EQ(Text(USBKey_GetReaderName()), "Tarnwick Virtual USB Key 0");

  const std::string pem = Text(USBKey_Read_Certificate());
  ASSERT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << pem;
  // The certificate carries the public half of the stored key pair.
  const auto key = usbkey::RsaKey::FromCanonical(Stored().privateKey);
  ASSERT_TRUE(key);
  EXPECT_NE(tw::testing::FromBase64(pem.substr(28)).find(key->Modulus()), std::string::npos);

  const std::string signature = Sign("Pay 100.00 to the bearer");
  EXPECT_EQ(signature.size(), 344u);  // Base64 of 256 bytes
  EXPECT_TRUE(Verifies("Pay 100.00 to the bearer", signature));
  EXPECT_EQ(Sign("Pay 100.00 to the bearer"), signature);  // PKCS#1 v1.5 is deterministic
  EXPECT_EQ(Text(USBKey_Read_Certificate_Password()), "");
  EXPECT_EQ(Text(USBKey_ReadFile()), "");
}

TEST_F(UsbKeyStandIn, SignsExactlyTheBytesGiven) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  const std::string content = "abc\xE5\xAD\x97";
  // A length past the text's end stops at its terminating zero; a shorter one takes a prefix.
  EXPECT_TRUE(Verifies(content, Text(USBKey_DOSIGN(content.c_str(), 1000, usbkey::kDefaultPin))));
  EXPECT_TRUE(Verifies("ab", Text(USBKey_DOSIGN(content.c_str(), 2, usbkey::kDefaultPin))));
  const std::string big(51199, 'z');
  EXPECT_TRUE(Verifies(big, Sign(big)));
  for (int length : {0, -1}) EXPECT_EQ(Text(USBKey_DOSIGN("abc", length, usbkey::kDefaultPin)), "") << length;
  EXPECT_EQ(Text(USBKey_DOSIGN(nullptr, 3, usbkey::kDefaultPin)), "");
  EXPECT_EQ(Text(USBKey_DOSIGN("abc", 3, nullptr)), "");
  EXPECT_EQ(Stored().triesLeft, usbkey::kPinTries);  // refused arguments use no try
}

TEST_F(UsbKeyStandIn, PinTriesLockAndFactoryInit) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  for (int i = 0; i < usbkey::kPinTries - 1; ++i) EXPECT_EQ(USBKey_Check_PW("1234567"), 0);
  EXPECT_EQ(Stored().triesLeft, 1);  // counted in the key's file, so a restart keeps them
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 1);
  EXPECT_EQ(Stored().triesLeft, usbkey::kPinTries);

  for (int i = 0; i < usbkey::kPinTries - 1; ++i) EXPECT_EQ(USBKey_Check_PW(""), 0);
  EXPECT_EQ(Sign("x", "wrong"), "");  // a wrong PIN for signing uses the last try
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), -1);
  EXPECT_EQ(Sign("x"), "");
  EXPECT_EQ(USBKey_Reset_PW("87654321"), -1);
  EXPECT_EQ(USBKey_Check_PW(nullptr), 0);

  const std::string oldCertificate = Text(USBKey_Read_Certificate());
  ASSERT_EQ(USBKey_Write_Certificate_Password("secret", 6), 1);
  ASSERT_EQ(USBKey_Factory_Init(), 1);
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 1);
  EXPECT_EQ(Text(USBKey_Read_Certificate_Password()), "");
  const std::string newCertificate = Text(USBKey_Read_Certificate());
  EXPECT_EQ(newCertificate.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
  EXPECT_NE(newCertificate, oldCertificate);  // a new key pair
  EXPECT_TRUE(Verifies("x", Sign("x")));
}

TEST_F(UsbKeyStandIn, ATryThatCannotBeCountedChecksNoPin) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  // A folder where the new version of the key's file would go: no write can succeed.
  const fs::path blocker = KeyFile().string() + ".tmp";
  ASSERT_TRUE(fs::create_directory(blocker));
  for (int i = 0; i < 2 * usbkey::kPinTries; ++i) EXPECT_EQ(USBKey_Check_PW("1234567"), 0);
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 0);  // not compared: it could not be counted
  EXPECT_EQ(Sign("x"), "");
  EXPECT_EQ(USBKey_Reset_PW("87654321"), 0);  // nothing was proven
  EXPECT_EQ(Stored().triesLeft, usbkey::kPinTries);
  fs::remove(blocker);
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 1);
  for (int i = 0; i < usbkey::kPinTries; ++i) EXPECT_EQ(USBKey_Check_PW("1234567"), 0);
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), -1);
}

TEST_F(UsbKeyStandIn, TheKeysFolderIsPrivate) {
  // A folder made by an earlier run with everyone's rights, and a new one.
  fs::create_directories(folder_);
  fs::permissions(folder_, fs::perms::all);
  const fs::path fresh = work_.path() / "fresh" / "keys";
  for (const fs::path& folder : {folder_, fresh}) {
    SCOPED_TRACE(folder.u8string());
    ASSERT_EQ(SimUsbKey_Text("folder", folder.u8string().c_str()), 1);
    ASSERT_EQ(USBKey_Init_HS(), 1);
    ASSERT_TRUE(fs::exists(folder / "7301000001.key"));
#if !defined(_WIN32)
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
    // On Windows the folder gets the log folder's protected access list (platform's
    // PrivateDirectory test checks that list; Wine keeps none to read back).
  }
}

TEST_F(UsbKeyStandIn, TextsReadBackAsUtf8) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  const struct {
    std::string stored, read;
  } cases[] = {
      {"\xE5\xAD\x97 \xC3\xA9", "\xE5\xAD\x97 \xC3\xA9"},  // a page's UTF-8, whatever the code page
      {"a\xD7\xD6"
       "b",
       "a\xEF\xBF\xBD\xEF\xBF\xBD"
       "b"},                                       // GBK bytes are not UTF-8
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},    // beyond the 16-bit plane
      {"x\xE5\xAD", "x\xEF\xBF\xBD\xEF\xBF\xBD"},  // cut at the end
  };
  for (const auto& c : cases) {
    ASSERT_EQ(USBKey_Write_Certificate(c.stored.c_str(), static_cast<int>(c.stored.size())), 1);
    EXPECT_EQ(Text(USBKey_Read_Certificate()), c.read) << c.stored;
  }
}

TEST_F(UsbKeyStandIn, ResetPinOnlyAfterTheCurrentOne) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  EXPECT_EQ(USBKey_Reset_PW("87654321"), 0);
  ASSERT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 1);
  for (const char* bad : {"123", "12345678901234567", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(USBKey_Reset_PW(bad), 0) << (bad ? bad : "null");
  }
  EXPECT_EQ(USBKey_Reset_PW("1234"), 1);
  EXPECT_EQ(USBKey_Reset_PW("1234567890123456"), 1);
  EXPECT_EQ(USBKey_Check_PW(usbkey::kDefaultPin), 0);  // and the proof is gone again
  EXPECT_EQ(USBKey_Reset_PW("87654321"), 0);
  EXPECT_EQ(USBKey_Check_PW("1234567890123456"), 1);
  EXPECT_TRUE(Verifies("x", Sign("x", "1234567890123456")));
  // Another key in the slot: the PIN given to the first one does not count for it.
  ASSERT_EQ(SimUsbKey_Text("serial", "7301000002"), 1);
  ASSERT_EQ(USBKey_Init_HS(), 1);
  EXPECT_EQ(USBKey_Reset_PW("87654321"), 0);
}

TEST_F(UsbKeyStandIn, StoredItemsTakeTheBytesGiven) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  EXPECT_EQ(USBKey_Write_Certificate_Password("secret", 3), 1);
  EXPECT_EQ(Text(USBKey_Read_Certificate_Password()), "sec");
  EXPECT_EQ(USBKey_Write_Certificate("CERT", 100), 1);  // stops at the end of the text
  EXPECT_EQ(Text(USBKey_Read_Certificate()), "CERT");
  EXPECT_EQ(USBKey_WriteFile("/9j/4AAQ", 8), 1);
  EXPECT_EQ(Text(USBKey_ReadFile()), "/9j/4AAQ");

  // Refused writes leave the item as it was.
  EXPECT_EQ(USBKey_Write_Certificate("other", 0), 0);
  EXPECT_EQ(USBKey_Write_Certificate("other", -5), 0);
  EXPECT_EQ(USBKey_Write_Certificate(nullptr, 5), 0);
  EXPECT_EQ(USBKey_Write_Certificate("", 5), 0);
  EXPECT_EQ(USBKey_Write_Certificate_Password("other", 0), 0);
  const std::string largest(usbkey::kMaxItemBytes, 'A');
  EXPECT_EQ(USBKey_WriteFile((largest + "B").c_str(), static_cast<int>(largest.size() + 1)), 0);
  EXPECT_EQ(Text(USBKey_Read_Certificate()), "CERT");
  EXPECT_EQ(Text(USBKey_ReadFile()), "/9j/4AAQ");
  EXPECT_EQ(USBKey_WriteFile(largest.c_str(), static_cast<int>(largest.size())), 1);
  EXPECT_EQ(Text(USBKey_ReadFile()), largest);
}

TEST_F(UsbKeyStandIn, EraseFormatAndWhatStays) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  auto fill = [] {
    return USBKey_Write_Certificate("C", 1) + USBKey_Write_Certificate_Password("P", 1) + USBKey_WriteFile("S", 1);
  };
  auto items = [] {
    return Text(USBKey_Read_Certificate()) + Text(USBKey_Read_Certificate_Password()) + Text(USBKey_ReadFile());
  };
  const struct {
    const char* kl;
    short result;
    const char* left;
  } cases[] = {{"1", 1, "PS"}, {"2", 1, "CS"},   {"3", 1, "CP"},   {"0", 1, ""},       {"4", 0, "CPS"},
               {"", 0, "CPS"}, {"01", 0, "CPS"}, {" 1", 0, "CPS"}, {nullptr, 0, "CPS"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kl ? c.kl : "null");
    ASSERT_EQ(fill(), 3);
    EXPECT_EQ(USBKey_Erase(c.kl), c.result);
    EXPECT_EQ(items(), c.left);
  }
  EXPECT_TRUE(Verifies("x", Sign("x")));  // erasing keeps the key pair

  ASSERT_EQ(fill(), 3);
  ASSERT_EQ(USBKey_Reset_PW("24681357"), 1);
  EXPECT_EQ(USBKey_Format(), 1);
  EXPECT_EQ(items(), "");
  EXPECT_EQ(Sign("x", "24681357"), "");       // nothing to sign with
  EXPECT_EQ(USBKey_Check_PW("24681357"), 1);  // the PIN stays
  EXPECT_EQ(Text(USBKey_Get_SerialNumber()), "7301000001");
  ASSERT_EQ(USBKey_Factory_Init(), 1);
  EXPECT_TRUE(Verifies("x", Sign("x")));
}

TEST_F(UsbKeyStandIn, DataLastsAcrossRestartsOneFilePerKey) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  ASSERT_EQ(USBKey_Write_Certificate("first key", 9), 1);
  ASSERT_EQ(USBKey_Check_PW("bad"), 0);
  ASSERT_EQ(SimUsbKey_Text("serial", "SN-2"), 1);
  ASSERT_EQ(USBKey_Init_HS(), 1);
  EXPECT_EQ(Text(USBKey_Get_SerialNumber()), "SN-2");
  ASSERT_EQ(USBKey_Write_Certificate("second key", 10), 1);
  EXPECT_TRUE(fs::exists(KeyFile("SN-2")));

  // A fresh library instance on the same folder: what a restarted service finds.
  usbkey::VirtualKey restarted;
  restarted.SetFolder(folder_.u8string());
  ASSERT_EQ(restarted.Connect(true), usbkey::Status::Ok);
  std::string certificate;
  ASSERT_EQ(restarted.Read(usbkey::Item::Certificate, &certificate), usbkey::Status::Ok);
  EXPECT_EQ(certificate, "first key");
  EXPECT_EQ(Stored().triesLeft, usbkey::kPinTries - 1);
  ASSERT_TRUE(restarted.SetSerial("SN-2"));
  ASSERT_EQ(restarted.Connect(true), usbkey::Status::Ok);
  ASSERT_EQ(restarted.Read(usbkey::Item::Certificate, &certificate), usbkey::Status::Ok);
  EXPECT_EQ(certificate, "second key");
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(folder_)) files += e.path().extension() == ".key" ? 1 : 0;
  EXPECT_EQ(files, 2u);

  for (const char* bad : {"a/b", "..", ".hidden", "a b", "123456789012345678901234567890123"}) {
    EXPECT_EQ(SimUsbKey_Text("serial", bad), 0) << bad;
  }
  EXPECT_EQ(SimUsbKey_Text("colour", "blue"), 0);
}

TEST_F(UsbKeyStandIn, ABrokenKeyFileIsNeitherUsedNorOverwritten) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  // Another key's file under this key's name is not this key's.
  fs::copy_file(KeyFile(), KeyFile("7301000002"));
  ASSERT_EQ(SimUsbKey_Text("serial", "7301000002"), 1);
  EXPECT_EQ(USBKey_Init_HS(), 0);
  ASSERT_EQ(SimUsbKey_Text("serial", ""), 1);

  const std::string bytes = tw::testing::ReadFile(KeyFile());
  const std::string broken = bytes.substr(0, bytes.size() / 2);
  {
    platform::ReplacementFile f(KeyFile().u8string());
    ASSERT_TRUE(f.Write(broken.data(), broken.size()) && f.Commit());
  }
  EXPECT_EQ(USBKey_Init_HS(), 0);
  EXPECT_EQ(USBKey_Write_Certificate("x", 1), 0);
  EXPECT_EQ(USBKey_Factory_Init(), 0);
  EXPECT_EQ(tw::testing::ReadFile(KeyFile()), broken);
}

TEST_F(UsbKeyStandIn, ForcedResultsAndCalls) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  SimUsbKey_Control("format", 2);
  SimUsbKey_Control("init", 0);
  SimUsbKey_Control("serialNumber", 0);
  EXPECT_EQ(USBKey_Format(), 2);
  EXPECT_EQ(USBKey_Init_HS(), 0);
  EXPECT_EQ(Text(USBKey_Get_SerialNumber()), "");
  EXPECT_EQ(SimUsbKey_Calls("USBKey_Init_HS"), 2);
  EXPECT_EQ(SimUsbKey_Calls("USBKey_Format"), 1);
  SimUsbKey_Control("format", standin::Device::kNotForced);
  EXPECT_EQ(USBKey_Format(), 1);
}

}  // namespace
