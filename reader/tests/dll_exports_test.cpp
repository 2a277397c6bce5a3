// The built library as a caller meets it: loaded at run time with simulation on, its commands
// found by their exported names (the stdcall-decorated ones on Windows) and called.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/dynlib.h"
#include "platform/export.h"

namespace {

#if defined(_WIN32)
const char* Decorated(const char* windows, const char*) { return windows; }
#else
// ELF has no stdcall decoration: the same commands carry their plain names.
const char* Decorated(const char*, const char* plain) { return plain; }
#endif

class Library : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#if defined(_WIN32)
    _putenv_s("TARNWICK_SIM", "1");
#else
    setenv("TARNWICK_SIM", "1", 1);
#endif
    lib_ = platform::LoadDynLib("vnsdtapi.dll");
  }
  static void TearDownTestSuite() { platform::FreeDynLib(lib_); }
  template <class F>
  F* Get(const char* name) {
    return reinterpret_cast<F*>(platform::DynSymbol(lib_, name));
  }
  static platform::DynLib lib_;
};
platform::DynLib Library::lib_ = nullptr;

using PortOut = int TW_STDCALL(int, int*, int);
using PortBufferOut = int TW_STDCALL(int, unsigned char*, int);
using UserInfo = int TW_STDCALL(int, int, int, unsigned char*, int);
using Search = int TW_STDCALL(int, int, int*, unsigned char*, unsigned char*, int);

TEST_F(Library, DecoratedNamesReachTheSimulatedReader) {
  ASSERT_NE(lib_, nullptr) << platform::DynLibError();
  auto* heartBeat = Get<PortOut>(Decorated("_HID_HeartBeat@12", "HID_HeartBeat"));
  auto* userCount = Get<PortOut>(Decorated("_RS232_GetUserCount@12", "RS232_GetUserCount"));
  auto* userInfo = Get<UserInfo>(Decorated("_HID_GetUserInfo@20", "HID_GetUserInfo"));
  auto* byCard = Get<Search>(Decorated("_RS232_SearchUserByIDCard@24", "RS232_SearchUserByIDCard"));
  ASSERT_NE(heartBeat, nullptr);
  ASSERT_NE(userCount, nullptr);
  ASSERT_NE(userInfo, nullptr);
  ASSERT_NE(byCard, nullptr);

  int state = -1, count = -1, kind = -1;
  EXPECT_EQ(heartBeat(1001, &state, 1), 144);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(userCount(1, &count, 0), 144);  // the simulated reader on COM1
  EXPECT_EQ(count, 0);
  unsigned char list[32];
  EXPECT_EQ(userInfo(1001, 0, 1, list, 1), -1);  // an empty table is too short an answer over HID
  unsigned char id[18], info[6];
  EXPECT_EQ(byCard(1, 2, &kind, id, info, 0), 0x31);  // no such user
  EXPECT_EQ(kind, -1);
}

TEST_F(Library, PlainNamesOfTheOthers) {
  ASSERT_NE(lib_, nullptr) << platform::DynLibError();
  auto* version = Get<PortBufferOut>("HID_GetVersion");
  ASSERT_NE(version, nullptr);
  unsigned char text[64] = {};
  EXPECT_EQ(version(1001, text, 1), 144);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), "TW-R100 V2.1.0");
#if defined(_WIN32)
  // Only the decorated form of those four is exported.
  EXPECT_EQ(Get<PortOut>("HID_HeartBeat"), nullptr);
  EXPECT_EQ(Get<PortOut>("HID_HeartBeat@12"), nullptr);
#endif
}

}  // namespace
