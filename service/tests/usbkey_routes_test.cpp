// The USB-key routes over real HTTP, against the key library's simulated key.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "UsbKey.h"
#include "http/http.h"
#include "key_record.h"
#include "raw_client.h"
#include "route_server.h"
#include "rsa_key.h"
#include "tw/testing.h"
#include "usbkey/usbkey_routes.h"

namespace {

namespace fs = std::filesystem;

constexpr int kNotForced = 0x7FFFFFFF;
constexpr const char* kPin = "12345678";

std::string UrlEncoded(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

// What the library last received (see SimUsbKey_Received).
std::string Received(const char* what, int* length = nullptr) {
  std::string bytes(200000, '\0');
  const int n = SimUsbKey_Received(what, &bytes[0], static_cast<int>(bytes.size()));
  if (length) *length = n;
  return n == -2 ? "(not called)" : bytes.c_str();
}

class UsbKeyRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    SimUsbKey_Control("reset", 0);
    SimUsbKey_Control("present", 1);
    ASSERT_EQ(SimUsbKey_Text("folder", (work_.path() / "keys").u8string().c_str()), 1);
    ASSERT_TRUE(server_.emplace().Started());
  }
  void TearDown() override {
    server_.reset();
    SimUsbKey_Control("reset", 0);
  }

  // The answer's body without its trailing LF; POST with a form body.
  // `headers`: further header lines, each ending in CR LF.
  std::string Post(const std::string& route, const std::string& form = "", const std::string& headers = "") {
    test::RawClient c(server_->Port());
    c.Send("POST /VnUsbKey_Api/" + route +
           " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n" + headers +
           "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form);
    const std::string body = test::Body(c.ReadAnswer());
    return body.substr(0, body.size() - 1);
  }
  std::string Get(const std::string& target) {
    const std::string body = test::Body(test::Get(server_->Port(), "/VnUsbKey_Api/" + target));
    return body.substr(0, body.size() - 1);
  }
  bool Verifies(const std::string& content, const std::string& answer) {
    const std::string prefix = "{\"result\":\"";
    if (answer.rfind(prefix, 0) != 0) return false;
    usbkey::KeyRecord record;
    if (!usbkey::Parse(tw::testing::ReadFile(work_.path() / "keys" / "7301000001.key"), &record)) return false;
    const auto key = usbkey::RsaKey::FromCanonical(record.privateKey);
    return key && key->VerifySha256(content, tw::testing::FromBase64(answer.substr(prefix.size())));
  }

  tw::testing::WorkDirectory work_{"tw_usbkey_routes"};
  std::optional<test::RouteServer> server_;
};

const char* const kRoutes[] = {"GetReaderName",
                               "GetSerialNum",
                               "FactoryInit",
                               "Format",
                               "Erase",
                               "CheckPassword",
                               "ResetPassword",
                               "WriteCertPassword",
                               "ReadCertPassword",
                               "WriteCertificate",
                               "ReadCertificate",
                               "WriteSignature",
                               "ReadSignature",
                               "DOSIGN"};

TEST_F(UsbKeyRoutes, WithoutAKeyOnlyInitIsCalled) {
  for (const char* mode : {"absent", "init fails"}) {
    SCOPED_TRACE(mode);
    SimUsbKey_Control("reset", 0);
    ASSERT_EQ(SimUsbKey_Text("folder", (work_.path() / "keys").u8string().c_str()), 1);
    SimUsbKey_Control(mode[0] == 'a' ? "present" : "init", 0);
    for (const char* route : kRoutes) {
      EXPECT_EQ(Post(route, "KL=1&PassWord=12345678&CertPassword=a&Certificate=a&Signature=a&Content=a&len=1"),
                "{\"return\":-1}")
          << route;
    }
    EXPECT_EQ(SimUsbKey_Calls("USBKey_Init_HS"), 14);
    for (const char* function : {"USBKey_Format", "USBKey_GetReaderName", "USBKey_Check_PW", "USBKey_DOSIGN",
                                 "USBKey_WriteFile", "USBKey_Erase", "USBKey_Factory_Init"}) {
      EXPECT_EQ(SimUsbKey_Calls(function), 0) << function;
    }
  }
}

TEST_F(UsbKeyRoutes, NumericAnswersAreTheResultMinusOne) {
  const struct {
    const char* route;
    const char* force;
  } routes[] = {{"FactoryInit", "factoryInit"},
                {"Format", "format"},
                {"Erase", "erase"},
                {"CheckPassword", "checkPassword"},
                {"ResetPassword", "resetPassword"},
                {"WriteCertPassword", "writeCertPassword"},
                {"WriteCertificate", "writeCertificate"},
                {"WriteSignature", "writeFile"}};
  for (const auto& r : routes) {
    for (int result : {1, 0, 2, -1, 100}) {
      // A PIN change needs the PIN given first, by the same caller.
      if (std::string(r.route) == "ResetPassword") {
        ASSERT_EQ(Get("CheckPassword?PassWord=12345678"), "{\"return\":0}");
      }
      SimUsbKey_Control(r.force, result);
      EXPECT_EQ(Get(std::string(r.route) + "?len=1"), "{\"return\":" + std::to_string(result - 1) + "}") << r.route;
    }
    SimUsbKey_Control(r.force, kNotForced);
  }
}

TEST_F(UsbKeyRoutes, PasswordsReachTheLibraryCutToTheirBuffers) {
  EXPECT_EQ(Get("CheckPassword"), "{\"return\":-1}");
  EXPECT_EQ(Received("USBKey_Check_PW"), "");  // called, with an empty text
  EXPECT_EQ(Get("CheckPassword?PassWord=12345678"), "{\"return\":0}");
  EXPECT_EQ(Get("CheckPassword?password=1234567890123456789XYZ"), "{\"return\":-1}");
  EXPECT_EQ(Received("USBKey_Check_PW"), "1234567890123456789");
  const std::string long1023(1023, 'p');
  Post("DOSIGN", "Content=x&len=1&PassWord=" + long1023 + "qq");
  EXPECT_EQ(Received("USBKey_DOSIGN password"), long1023);
  Get("CheckPassword?PassWord=12345678");
  Post("ResetPassword", "PassWord=" + std::string(25, 'r'));
  EXPECT_EQ(Received("USBKey_Reset_PW"), std::string(19, 'r'));
  Post("Erase", "KL=%31");
  EXPECT_EQ(Received("USBKey_Erase"), "1");
}

TEST_F(UsbKeyRoutes, LengthsAreCutToSixteenBitsAndToTheTextReceived) {
  int len = 0;
  // The certificate password's length is 16 bits: 65537 arrives as 1.
  EXPECT_EQ(Post("WriteCertPassword", "CertPassword=secret&len=65537"), "{\"return\":0}");
  EXPECT_EQ(Received("USBKey_Write_Certificate_Password", &len), "s");
  EXPECT_EQ(len, 1);
  EXPECT_EQ(Post("ReadCertPassword"), "{\"CertPassword\":\"s\"}");
  EXPECT_EQ(Post("WriteCertPassword", "CertPassword=secret&len=65536"), "{\"return\":-1}");  // 0
  EXPECT_EQ(Post("WriteCertPassword", "CertPassword=secret&len=-65530"), "{\"return\":0}");  // 6
  EXPECT_EQ(Received("USBKey_Write_Certificate_Password", &len), "secret");
  EXPECT_EQ(len, 6);

  // Other lengths are full ints, but never beyond the text that came.
  const struct {
    std::string len;
    int passed;
  } cases[] = {{"65537", 4}, {"4", 4}, {"3", 3}, {"", 0}, {"x", 0}, {"-1", 0}, {"2147483647", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.len);
    Post("WriteCertificate", "Certificate=CERT&len=" + c.len);
    EXPECT_EQ(Received("USBKey_Write_Certificate", &len), std::string("CERT").substr(0, c.passed));
    EXPECT_EQ(len, c.passed);
    Post("WriteSignature", "Signature=CERT&len=" + c.len);
    EXPECT_EQ(Received("USBKey_WriteFile", &len), std::string("CERT").substr(0, c.passed));
    EXPECT_EQ(len, c.passed);
  }
  // A text longer than its buffer arrives cut to 51199 bytes, and so does its length.
  Post("WriteCertificate", "Certificate=" + std::string(60000, 'c') + "&len=60000");
  EXPECT_EQ(Received("USBKey_Write_Certificate", &len).size(), 51199u);
  EXPECT_EQ(len, 51199);
}

TEST_F(UsbKeyRoutes, SerialNumberIsABareNumberOrNothing) {
  EXPECT_EQ(Get("GetSerialNum"), "{\"SerialNum\":7301000001}");
  // The number form is kept; a serial number that would break the JSON gets {"return":-1}.
  const struct {
    const char* serial;
    const char* answer;
  } cases[] = {{"6.02E23", "{\"SerialNum\":6.02E23}"}, {"SN7301", "{\"return\":-1}"}, {"0123", "{\"return\":-1}"}};
  for (const auto& c : cases) {
    ASSERT_EQ(SimUsbKey_Text("serial", c.serial), 1);
    EXPECT_EQ(Get("GetSerialNum"), c.answer) << c.serial;
  }
  SimUsbKey_Control("serialNumber", 0);  // an empty text
  EXPECT_EQ(Get("GetSerialNum"), "{\"return\":-1}");
}

TEST_F(UsbKeyRoutes, TextAnswersAreEscapedAndEmptyMeansFailure) {
  EXPECT_EQ(Get("GetReaderName"), "{\"readerName\":\"Tarnwick Virtual USB Key 0\"}");
  SimUsbKey_Control("readerName", 0);
  EXPECT_EQ(Get("GetReaderName"), "{\"return\":-1}");

  EXPECT_EQ(Post("ReadCertPassword"), "{\"return\":-1}");  // nothing stored
  EXPECT_EQ(Post("WriteCertPassword", "CertPassword=" + UrlEncoded("a\"b\\c\td") + "&len=7"), "{\"return\":0}");
  EXPECT_EQ(Post("ReadCertPassword"), "{\"CertPassword\":\"a\\\"b\\\\c\\u0009d\"}");

  EXPECT_EQ(Post("ReadSignature"), "{\"return\":-1}");
  EXPECT_EQ(Post("WriteSignature", "Signature=" + UrlEncoded("/9j/4AAQSkZJRg==") + "&len=16"), "{\"return\":0}");
  EXPECT_EQ(Post("ReadSignature"), "{\"result\":\"data:image/jpg;base64,/9j/4AAQSkZJRg==\"}");

  const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  EXPECT_EQ(Post("WriteCertificate", "Certificate=" + UrlEncoded(pem) + "&len=" + std::to_string(pem.size())),
            "{\"return\":0}");
  EXPECT_EQ(Post("ReadCertificate"),
            "{\"Certificate\":\"-----BEGIN CERTIFICATE-----\\u000aMIIB\\u000a-----END CERTIFICATE-----\\u000a\"}");
  EXPECT_EQ(Post("Erase", "KL=1"), "{\"return\":0}");
  EXPECT_EQ(Post("ReadCertificate"), "{\"return\":-1}");
}

TEST_F(UsbKeyRoutes, ATextThatDoesNotFitItsBufferIsRefusedWhole) {
  ASSERT_EQ(USBKey_Init_HS(), 1);
  for (size_t size : {102399u, 102400u}) {
    const std::string text(size, 'Q');
    ASSERT_EQ(USBKey_Write_Certificate(text.c_str(), static_cast<int>(size)), 1);
    ASSERT_EQ(USBKey_WriteFile(text.c_str(), static_cast<int>(size)), 1);
    const bool fits = size < 102400;
    EXPECT_EQ(Post("ReadCertificate"), fits ? "{\"Certificate\":\"" + text + "\"}" : "{\"return\":-1}");
    EXPECT_EQ(Post("ReadSignature"), fits ? "{\"result\":\"data:image/jpg;base64," + text + "\"}" : "{\"return\":-1}");
  }
}

TEST_F(UsbKeyRoutes, SignAndCheckTheSignature) {
  // A page sends its text as UTF-8 form data; "len" counts its bytes.
  const std::string content = "Pay 1 000,00 & more: \xE5\xAD\x97 +%";
  const std::string form = "Content=" + UrlEncoded(content) + "&len=" + std::to_string(content.size());
  const std::string answer = Post("DOSIGN", form + "&PassWord=12345678");
  EXPECT_EQ(answer.size(), std::string("{\"result\":\"\"}").size() + 344);
  EXPECT_TRUE(Verifies(content, answer)) << answer;
  EXPECT_EQ(Post("DOSIGN", "Content=" + UrlEncoded(content) + "&len=9999&PassWord=12345678"), answer);
  EXPECT_TRUE(Verifies("Pay", Post("DOSIGN", form.substr(0, form.find("&len=")) + "&len=3&PassWord=12345678")));
  EXPECT_EQ(Post("DOSIGN", form + "&PassWord=1234"), "{\"return\":-1}");
  EXPECT_EQ(Post("DOSIGN", form), "{\"return\":-1}");
  EXPECT_EQ(Post("DOSIGN", "len=5&PassWord=12345678"), "{\"return\":-1}");
  // A content of the whole buffer.
  const std::string big(51199, 'b');
  EXPECT_TRUE(Verifies(big, Post("DOSIGN", "Content=" + big + "&len=51199&PassWord=12345678")));
}

TEST_F(UsbKeyRoutes, PinLifecycleThroughHttp) {
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Get("CheckPassword?PassWord=0"), "{\"return\":-1}");
  EXPECT_EQ(Get("ResetPassword?PassWord=11112222"), "{\"return\":-1}");  // not proven yet
  EXPECT_EQ(Get(std::string("CheckPassword?PassWord=") + kPin), "{\"return\":0}");
  EXPECT_EQ(Get("ResetPassword?PassWord=11112222"), "{\"return\":0}");
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Get("CheckPassword?PassWord=0"), "{\"return\":-1}");
  EXPECT_EQ(Get("CheckPassword?PassWord=11112222"), "{\"return\":-2}");  // locked
  EXPECT_EQ(Get("FactoryInit"), "{\"return\":0}");
  EXPECT_EQ(Get(std::string("CheckPassword?PassWord=") + kPin), "{\"return\":0}");
  EXPECT_EQ(Get("Format"), "{\"return\":0}");
  EXPECT_EQ(Post("DOSIGN", "Content=x&len=1&PassWord=12345678"), "{\"return\":-1}");
  EXPECT_EQ(Post("ReadCertificate"), "{\"return\":-1}");
}

// The test's clock for the PIN's age.
std::chrono::steady_clock::time_point g_testNow{};
std::chrono::steady_clock::time_point TestNow() { return g_testNow; }

TEST_F(UsbKeyRoutes, TheVerifiedKeyBelongsToTheCallerThatGaveThePin) {
  SetUsbKeyClockForTesting(&TestNow);
  const std::string a = "Origin: https://bank.example\r\n";
  const std::string b = "Origin: https://evil.example\r\n";
  const std::string programs;                                  // no Origin and no Sec-Fetch-Site: a program
  const std::string blind = "Sec-Fetch-Site: cross-site\r\n";  // a browser that names no origin
  const std::string opaque = "Origin: null\r\n";
  const std::string content = "Content=pay&len=3&PassWord=";
  const struct {
    const char* name;
    std::string checker, changer;
    bool changes;
  } cases[] = {
      {"same page", a, a, true},
      {"another page", a, b, false},
      {"same page, origin in other case", a, "Origin: HTTPS://BANK.example\r\n", true},
      {"a program after a page", a, programs, false},
      {"a page after a program", programs, b, false},
      {"programs", programs, programs, true},
      {"a blind browser request after a program", programs, blind, false},
      {"blind browser requests", blind, blind, false},
      {"opaque origins", opaque, opaque, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Post("FactoryInit"), "{\"return\":0}");
    ASSERT_EQ(Post("CheckPassword", std::string("PassWord=") + kPin, c.checker), "{\"return\":0}");
    EXPECT_EQ(Post("ResetPassword", "PassWord=66667777", c.changer), c.changes ? "{\"return\":0}" : "{\"return\":-1}");
    // Whoever did not change the PIN cannot sign with the one it chose; the old one still signs.
    EXPECT_EQ(Verifies("pay", Post("DOSIGN", content + "66667777", c.changer)), c.changes);
    EXPECT_EQ(Verifies("pay", Post("DOSIGN", content + kPin, c.checker)), !c.changes);
  }

  // A page that signs (which gives the PIN) may then change it; the change ends the proof.
  ASSERT_EQ(Post("FactoryInit"), "{\"return\":0}");
  EXPECT_TRUE(Verifies("pay", Post("DOSIGN", content + kPin, a)));
  EXPECT_EQ(Post("ResetPassword", "PassWord=66667777", b), "{\"return\":-1}");
  EXPECT_EQ(Post("ResetPassword", "PassWord=66667777", a), "{\"return\":0}");
  EXPECT_EQ(Post("ResetPassword", "PassWord=88889999", a), "{\"return\":-1}");

  // The proof lasts its lifetime, not a moment longer; a wrong PIN, a new proof or a format ends it.
  const struct {
    const char* name;
    std::chrono::seconds age;
    std::string between;
    const char* form;
    bool changes;
  } after[] = {
      {"just in time", kPinProofLifetime - std::chrono::seconds(1), "", "", true},
      {"too old", kPinProofLifetime, "", "", false},
      {"a wrong PIN", std::chrono::seconds(0), "CheckPassword", "PassWord=0000", false},
      {"another page's PIN", std::chrono::seconds(0), "CheckPassword", "PassWord=12345678", false},
      {"a failed signature", std::chrono::seconds(0), "DOSIGN", "Content=x&len=1&PassWord=0000", false},
      {"a format", std::chrono::seconds(0), "Format", "", false},
  };
  for (const auto& c : after) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Post("FactoryInit"), "{\"return\":0}");
    ASSERT_EQ(Post("CheckPassword", std::string("PassWord=") + kPin, a), "{\"return\":0}");
    if (c.between[0] != '\0') Post(c.between, c.form, b);
    g_testNow += c.age;
    EXPECT_EQ(Post("ResetPassword", "PassWord=66667777", a), c.changes ? "{\"return\":0}" : "{\"return\":-1}");
  }
  SetUsbKeyClockForTesting(nullptr);
}

TEST_F(UsbKeyRoutes, ATextWithANulIsRefusedNotCut) {
  const struct {
    const char* route;
    std::string form;
    const char* function;
  } cases[] = {
      {"DOSIGN", "Content=pay%00more&len=8&PassWord=12345678", "USBKey_DOSIGN"},
      {"DOSIGN", "Content=pay&len=3&PassWord=1234%005678", "USBKey_DOSIGN"},
      {"WriteCertificate", "Certificate=CE%00RT&len=5", "USBKey_Write_Certificate"},
      {"WriteSignature", "Signature=%00&len=1", "USBKey_WriteFile"},
      {"WriteCertPassword", "CertPassword=se%00cret&len=7", "USBKey_Write_Certificate_Password"},
      {"CheckPassword", "PassWord=12345678%00", "USBKey_Check_PW"},
      {"ResetPassword", "PassWord=1111%002222", "USBKey_Reset_PW"},
      {"Erase", "KL=1%00", "USBKey_Erase"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.form);
    SimUsbKey_Control("reset", 0);
    SimUsbKey_Control("present", 1);
    ASSERT_EQ(SimUsbKey_Text("folder", (work_.path() / "keys").u8string().c_str()), 1);
    EXPECT_EQ(Post(c.route, c.form), "{\"return\":-1}");
    EXPECT_EQ(SimUsbKey_Calls(c.function), 0);
  }
  // A NUL past the length given is still a NUL in the text: refused too.
  EXPECT_EQ(Post("DOSIGN", "Content=pay%00&len=3&PassWord=12345678"), "{\"return\":-1}");
  EXPECT_TRUE(Verifies("pay", Post("DOSIGN", "Content=pay&len=3&PassWord=12345678")));
}

TEST_F(UsbKeyRoutes, TextsTravelAsUtf8) {
  // "字 é €" and a character beyond the 16-bit plane, as a page sends them.
  const std::string text = "\xE5\xAD\x97 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(Post("WriteCertPassword", "CertPassword=" + UrlEncoded(text) + "&len=" + std::to_string(text.size())),
            "{\"return\":0}");
  EXPECT_EQ(Received("USBKey_Write_Certificate_Password"), text);  // the bytes the page sent
  EXPECT_EQ(Post("ReadCertPassword"), "{\"CertPassword\":\"" + text + "\"}");
  // Bytes that are not UTF-8 (here GBK, as another program may store them) come back as U+FFFD.
  ASSERT_EQ(USBKey_Init_HS(), 1);
  ASSERT_EQ(USBKey_Write_Certificate("a\xD7\xD6", 3), 1);
  EXPECT_EQ(Post("ReadCertificate"), "{\"Certificate\":\"a\xEF\xBF\xBD\xEF\xBF\xBD\"}");
}

}  // namespace
