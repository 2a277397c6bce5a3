// The JL vendor stand-ins: SDTAPI linked by import, devtool loaded from beside the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "devtool.h"
#include "platform/dynlib.h"
#include "sdtapi.h"
#include "tw/testing.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kClear = 0x7FFFFFFF;
constexpr size_t kPhotoBytes = 38862;

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

Bytes ReadFile(const fs::path& p) {
  const std::string bytes = tw::testing::ReadFile(p);
  return Bytes(bytes.begin(), bytes.end());
}

uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A field's text up to its NUL or the end of its byte range.
std::string Field(const unsigned char* text, int first, int last) {
  std::string s;
  for (int i = first; i <= last && text[i] != 0; ++i) s.push_back(static_cast<char>(text[i]));
  return s;
}

// Runs each test in a fresh temporary directory, with the simulated reader present.
class JlSdtapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimJL_Control("reset", 0);
    SimJL_Control("present", 1);
  }
  void TearDown() override { SimJL_Control("reset", 0); }

  tw::testing::WorkDirectory work_{"tw_jl"};
  const fs::path& dir_ = work_.path();
};

TEST_F(JlSdtapiTest, InitCommFollowsPresence) {
  EXPECT_EQ(InitComm(1001), 1);
  EXPECT_EQ(GetHIDCount(), 1);
  EXPECT_EQ(CloseComm(), 1);
  SimJL_Control("present", 0);
  EXPECT_EQ(InitComm(1001), -1);
  EXPECT_EQ(GetHIDCount(), 0);
  EXPECT_EQ(IsFingerPrintDevice(), 0);
  EXPECT_EQ(CloseComm(), 1);
  EXPECT_EQ(SimJL_Calls("InitComm"), 2);
  EXPECT_EQ(SimJL_Calls("CloseComm"), 2);
  EXPECT_EQ(SimJL_Calls("ReadBaseMsg"), 0);
}

TEST_F(JlSdtapiTest, AuthenticateNeedsCard) {
  ASSERT_EQ(InitComm(1001), 1);
  EXPECT_EQ(Authenticate(), 1);
  SimJL_Control("card", 0);
  EXPECT_EQ(Authenticate(), 0);
  SimJL_Control("card", 1);
  SimJL_Control("present", 0);
  EXPECT_EQ(Authenticate(), 0);
}

TEST_F(JlSdtapiTest, TextRecordFieldsAtTheirRanges) {
  std::vector<unsigned char> text(1024, 0xEE);
  ASSERT_EQ(ReadBaseMsg(text.data(), 1), 1);
  const unsigned char* t = text.data();
  EXPECT_EQ(Field(t, 0, 30), "WANG LEI");
  EXPECT_EQ(Field(t, 31, 33), "M");
  EXPECT_EQ(Field(t, 44, 47), "1985");
  EXPECT_EQ(Field(t, 48, 49), "07");
  EXPECT_EQ(Field(t, 50, 52), "21");
  EXPECT_EQ(Field(t, 53, 123), "12 SAMPLE ROAD, HAIDIAN, BEIJING");
  EXPECT_EQ(Field(t, 124, 142), "110108198507210019");
  EXPECT_EQ(t[142], 0);
  EXPECT_EQ(Field(t, 143, 173), "HAIDIAN BRANCH");
  EXPECT_EQ(Field(t, 174, 177), "2021");
  EXPECT_EQ(Field(t, 178, 179), "03");
  EXPECT_EQ(Field(t, 180, 182), "15");
  EXPECT_EQ(Field(t, 183, 186), "2041");
  EXPECT_EQ(Field(t, 187, 188), "03");
  EXPECT_EQ(Field(t, 189, 191), "15");
  // Fields that do not fill their range end with a NUL inside it.
  EXPECT_EQ(t[8], 0);
  EXPECT_EQ(t[32], 0);
  EXPECT_EQ(t[52], 0);
  EXPECT_EQ(t[157], 0);
  EXPECT_EQ(t[182], 0);
  EXPECT_EQ(t[191], 0);
  for (int i = 34; i <= 43; ++i) EXPECT_EQ(t[i], 0) << i;
  for (int i = 192; i < 256; ++i) EXPECT_EQ(t[i], 0) << i;
  for (int i = 256; i < 1024; ++i) ASSERT_EQ(t[i], 0xEE) << "written beyond 256 bytes at " << i;
}

TEST_F(JlSdtapiTest, ReadWritesPhotoInCurrentDirectory) {
  unsigned char text[1024] = {};
  ASSERT_EQ(ReadBaseMsg(text, 1), 1);
  Bytes bmp = ReadFile(dir_ / "photo.bmp");
  ASSERT_EQ(bmp.size(), kPhotoBytes);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(Get32(bmp, 2), kPhotoBytes);
  EXPECT_EQ(Get32(bmp, 10), 54u);
  EXPECT_EQ(Get32(bmp, 14), 40u);
  EXPECT_EQ(Get32(bmp, 18), 102u);
  EXPECT_EQ(Get32(bmp, 22), 126u);
  EXPECT_EQ(bmp[26] | (bmp[27] << 8), 1);
  EXPECT_EQ(bmp[28] | (bmp[29] << 8), 24);
  EXPECT_EQ(Get32(bmp, 34), 308u * 126u);
  // Row padding stays zero; the picture is not blank.
  bool varied = false;
  for (int y = 0; y < 126; ++y) {
    size_t row = 54 + static_cast<size_t>(y) * 308;
    EXPECT_EQ(bmp[row + 306], 0);
    EXPECT_EQ(bmp[row + 307], 0);
    for (int i = 0; i < 306; ++i) varied = varied || bmp[row + i] != bmp[54];
  }
  EXPECT_TRUE(varied);
}

TEST_F(JlSdtapiTest, PhotoCanBeSuppressed) {
  SimJL_Control("photo", 0);
  unsigned char text[1024] = {};
  ASSERT_EQ(ReadBaseMsg(text, 1), 1);
  EXPECT_FALSE(fs::exists(dir_ / "photo.bmp"));
  EXPECT_EQ(Field(text, 0, 30), "WANG LEI");
}

TEST_F(JlSdtapiTest, ReadWithoutCardWritesNothing) {
  SimJL_Control("card", 0);
  std::vector<unsigned char> text(1024, 0xEE);
  EXPECT_EQ(ReadBaseMsg(text.data(), 1), 0);
  std::vector<unsigned char> fp(1024, 0xEE);
  int value = 7;
  int length = -5;
  EXPECT_EQ(ReadBaseFPMsg(text.data(), &value, fp.data(), &length), 0);
  EXPECT_EQ(text, std::vector<unsigned char>(1024, 0xEE));
  EXPECT_EQ(fp, std::vector<unsigned char>(1024, 0xEE));
  EXPECT_EQ(length, -5);
  EXPECT_FALSE(fs::exists(dir_ / "photo.bmp"));
}

TEST_F(JlSdtapiTest, FingerprintReadGivesBlock) {
  EXPECT_EQ(IsFingerPrintDevice(), 1);
  unsigned char text[1024] = {};
  std::vector<unsigned char> fp(1024, 0);
  int value = -1;
  int length = 0;
  ASSERT_EQ(ReadBaseFPMsg(text, &value, fp.data(), &length), 1);
  EXPECT_EQ(length, 1024);
  EXPECT_EQ(Field(text, 124, 142), "110108198507210019");
  EXPECT_TRUE(fs::exists(dir_ / "photo.bmp"));
  EXPECT_NE(fp, std::vector<unsigned char>(1024, 0));

  // Deterministic: a second read gives the same block.
  std::vector<unsigned char> again(1024, 0);
  ASSERT_EQ(ReadBaseFPMsg(text, &value, again.data(), &length), 1);
  EXPECT_EQ(fp, again);
  EXPECT_EQ(SimJL_Calls("ReadBaseFPMsg"), 2);
}

TEST_F(JlSdtapiTest, FingerprintLengthZeroAndNoFingerprintDevice) {
  SimJL_Control("fingerprintLength", 0);
  SimJL_Control("fingerprint", 0);
  EXPECT_EQ(IsFingerPrintDevice(), 0);
  unsigned char text[1024] = {};
  std::vector<unsigned char> fp(1024, 0xEE);
  int value = 0;
  int length = 99;
  ASSERT_EQ(ReadBaseFPMsg(text, &value, fp.data(), &length), 1);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(fp, std::vector<unsigned char>(1024, 0xEE));
}

TEST_F(JlSdtapiTest, ForcedResults) {
  SimJL_Control("initComm", 5);
  SimJL_Control("authenticate", 0x80);
  SimJL_Control("closeComm", 0);
  SimJL_Control("read", 0x41);
  SimJL_Control("readIINSNDN", 0);
  SimJL_Control("samid", -2);
  EXPECT_EQ(InitComm(1001), 5);
  EXPECT_EQ(Authenticate(), 0x80);
  EXPECT_EQ(CloseComm(), 0);
  std::vector<unsigned char> text(1024, 0xEE);
  std::vector<unsigned char> fp(1024, 0xEE);
  int value = 0;
  int length = 77;
  EXPECT_EQ(ReadBaseMsg(text.data(), 1), 0x41);
  EXPECT_EQ(ReadBaseFPMsg(text.data(), &value, fp.data(), &length), 0x41);
  EXPECT_EQ(text, std::vector<unsigned char>(1024, 0xEE));
  EXPECT_EQ(length, 77);
  EXPECT_FALSE(fs::exists(dir_ / "photo.bmp"));
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ReadIINSNDN(buffer), 0);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetSAMIDToStr(buffer), -2);
  EXPECT_EQ(buffer[0], 'x');

  // Clearing one override restores the simulated behaviour for that function only.
  SimJL_Control("initComm", kClear);
  EXPECT_EQ(InitComm(1001), 1);
  EXPECT_EQ(Authenticate(), 0x80);
  SimJL_Control("reset", 0);
  SimJL_Control("present", 1);
  EXPECT_EQ(Authenticate(), 1);
  EXPECT_EQ(ReadBaseMsg(text.data(), 1), 1);
  EXPECT_EQ(SimJL_Calls("Authenticate"), 1);
}

TEST_F(JlSdtapiTest, ForcedSuccessReadsWithoutCard) {
  SimJL_Control("card", 0);
  SimJL_Control("read", 1);
  unsigned char text[1024] = {};
  EXPECT_EQ(ReadBaseMsg(text, 1), 1);
  EXPECT_EQ(Field(text, 0, 30), "WANG LEI");
}

TEST_F(JlSdtapiTest, PhysicalNumberAsHex) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(ReadIINSNDN(buffer), 1);
  EXPECT_STREQ(buffer, "3141592653589793");
  SimJL_Control("card", 0);
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ReadIINSNDN(buffer), 0);
  EXPECT_EQ(buffer[0], 'x');
}

TEST_F(JlSdtapiTest, SamIdText) {
  char buffer[128];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_EQ(GetSAMIDToStr(buffer), 1);
  std::string id(buffer);
  EXPECT_EQ(id, "5-1-20200234-1234567-654321");
  int parts = 1;
  for (char c : id) {
    if (c == '-') {
      ++parts;
    } else {
      EXPECT_TRUE(c >= '0' && c <= '9') << id;
    }
  }
  EXPECT_EQ(parts, 5);
  SimJL_Control("present", 0);
  EXPECT_EQ(GetSAMIDToStr(buffer), 0);
}

TEST_F(JlSdtapiTest, FindAndSelectCodes) {
  unsigned char buffer[16];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(SDT_StartFindIDCard(1001, buffer, 1), 0x9F);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(buffer[8], 0xEE);
  EXPECT_EQ(SDT_SelectIDCard(1001, buffer, 1), 0x90);
  EXPECT_EQ(SDT_StartFindIDCard(1001, nullptr, 1), 0x9F);
  SimJL_Control("card", 0);
  EXPECT_EQ(SDT_StartFindIDCard(1001, buffer, 1), 0x80);
  EXPECT_EQ(SDT_SelectIDCard(1001, buffer, 1), 0x81);
  EXPECT_EQ(Routon_ShutDownAntenna(), 1);
  EXPECT_EQ(SimJL_Calls("SDT_StartFindIDCard"), 3);
  EXPECT_EQ(SimJL_Calls("Routon_ShutDownAntenna"), 1);
}

TEST_F(JlSdtapiTest, PresenceFromEnvironmentAfterReset) {
  SimJL_Control("reset", 0);
  SetEnv("TARNWICK_SIM", "1");
  SetEnv("TARNWICK_SIM_READERS", "own,jl");
  EXPECT_EQ(InitComm(1001), 1);
  EXPECT_EQ(GetHIDCount(), 1);
  SetEnv("TARNWICK_SIM_READERS", "jl");
  EXPECT_EQ(InitComm(1001), 1);
  SetEnv("TARNWICK_SIM_READERS", "own");
  EXPECT_EQ(InitComm(1001), -1);
  EXPECT_EQ(GetHIDCount(), 0);
  SetEnv("TARNWICK_SIM_READERS", "jlx,own");
  EXPECT_EQ(InitComm(1001), -1);
  SetEnv("TARNWICK_SIM_READERS", nullptr);  // default: own reader only
  EXPECT_EQ(InitComm(1001), -1);
  SetEnv("TARNWICK_SIM_READERS", "jl");
  SetEnv("TARNWICK_SIM", "0");
  EXPECT_EQ(InitComm(1001), -1);

  // The override wins over the environment until the next reset.
  SimJL_Control("present", 1);
  EXPECT_EQ(InitComm(1001), 1);
  SimJL_Control("reset", 0);
  EXPECT_EQ(InitComm(1001), -1);
  SetEnv("TARNWICK_SIM", "1");
  EXPECT_EQ(InitComm(1001), 1);
  SimJL_Control("present", 0);
  EXPECT_EQ(InitComm(1001), -1);
  SetEnv("TARNWICK_SIM", nullptr);
  SetEnv("TARNWICK_SIM_READERS", nullptr);
}

class JlDevtoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = platform::LoadDynLib("devtool.dll");
    ASSERT_NE(lib_, nullptr) << platform::DynLibError();
    open_ = Symbol<SdtOpenPortFn>("SDT_OpenPort");
    close_ = Symbol<SdtClosePortFn>("SDT_ClosePort");
    write_ = Symbol<SdtWriteAppMsgFn>("SDT_WriteAppMsg");
    control_ = Symbol<SimDevtoolControlFn>("SimDevtool_Control");
    calls_ = Symbol<SimDevtoolCallsFn>("SimDevtool_Calls");
    ASSERT_TRUE(open_ && close_ && write_ && control_ && calls_) << platform::DynLibError();
    control_("reset", 0);
  }
  void TearDown() override {
    if (control_) control_("reset", 0);
    if (lib_) platform::FreeDynLib(lib_);
  }

  template <typename F>
  F Symbol(const char* name) {
    return reinterpret_cast<F>(platform::DynSymbol(lib_, name));
  }

  int ReadNumber(unsigned char* receive, unsigned int* length) {
    unsigned char send[1] = {0x05};
    return write_(1001, send, 1, receive, length, 1);
  }

  platform::DynLib lib_ = nullptr;
  SdtOpenPortFn open_ = nullptr;
  SdtClosePortFn close_ = nullptr;
  SdtWriteAppMsgFn write_ = nullptr;
  SimDevtoolControlFn control_ = nullptr;
  SimDevtoolCallsFn calls_ = nullptr;
};

TEST_F(JlDevtoolTest, OpenReadClose) {
  EXPECT_EQ(open_(1001), 0);
  unsigned char receive[64];
  std::memset(receive, 0xEE, sizeof receive);
  unsigned int length = sizeof receive;
  ASSERT_EQ(ReadNumber(receive, &length), 144);
  EXPECT_EQ(length, 8u);
  const unsigned char expected[8] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93};
  EXPECT_EQ(std::memcmp(receive, expected, 8), 0);
  EXPECT_EQ(receive[8], 0xEE);
  EXPECT_EQ(close_(1001), 0);
  EXPECT_EQ(calls_("SDT_OpenPort"), 1);
  EXPECT_EQ(calls_("SDT_WriteAppMsg"), 1);
  EXPECT_EQ(calls_("SDT_ClosePort"), 1);
}

TEST_F(JlDevtoolTest, NumberMatchesSdtapi) {
  unsigned char receive[8] = {};
  unsigned int length = 0;
  ASSERT_EQ(ReadNumber(receive, &length), 144);
  SimJL_Control("reset", 0);
  SimJL_Control("present", 1);
  char hex[32] = {};
  ASSERT_EQ(ReadIINSNDN(hex), 1);
  char mine[17] = {};
  for (int i = 0; i < 8; ++i) std::snprintf(mine + 2 * i, 3, "%02X", receive[i]);
  EXPECT_STREQ(hex, mine);
  SimJL_Control("reset", 0);
}

TEST_F(JlDevtoolTest, OtherCommandsRejected) {
  unsigned char receive[16];
  std::memset(receive, 0xEE, sizeof receive);
  unsigned int length = 99;
  unsigned char other[1] = {0x06};
  EXPECT_EQ(write_(1001, other, 1, receive, &length, 1), 0x21);
  unsigned char longer[2] = {0x05, 0x00};
  EXPECT_EQ(write_(1001, longer, 2, receive, &length, 1), 0x21);
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(receive[0], 0xEE);
}

TEST_F(JlDevtoolTest, ForcedResultsAndNoCard) {
  control_("open", 1);
  EXPECT_EQ(open_(1001), 1);
  control_("open", 0x7FFFFFFF);
  EXPECT_EQ(open_(1001), 0);

  unsigned char receive[16];
  std::memset(receive, 0xEE, sizeof receive);
  unsigned int length = 99;
  control_("write", 0x41);
  EXPECT_EQ(ReadNumber(receive, &length), 0x41);
  EXPECT_EQ(length, 99u);
  EXPECT_EQ(receive[0], 0xEE);
  control_("write", 0x7FFFFFFF);

  control_("card", 0);
  EXPECT_EQ(ReadNumber(receive, &length), 0x80);
  EXPECT_EQ(receive[0], 0xEE);
  control_("reset", 0);
  EXPECT_EQ(ReadNumber(receive, &length), 144);
  EXPECT_EQ(calls_("SDT_WriteAppMsg"), 1);
}

}  // namespace
