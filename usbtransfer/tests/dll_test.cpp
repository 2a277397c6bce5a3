// The built library with no terminal attached: the system's backends (SetupAPI and pass-through
// under Wine, sysfs and SG_IO on Linux) find nothing, at once.
#include <gtest/gtest.h>

#include <chrono>

#include "jrs_3G_usb.h"

extern "C" int CallerFindTransferClose(int* transfer, int* closed);

namespace {

TEST(JrsUsbLibrary, NoTerminalFindsNothingAtOnceAndTransfersFail) {
  const auto start = std::chrono::steady_clock::now();
  int transfer = 0, closed = 0;
  EXPECT_EQ(CallerFindTransferClose(&transfer, &closed), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // no waiting on absent devices
  EXPECT_EQ(transfer, -1);
  EXPECT_EQ(closed, 0);

  void* slot = nullptr;
  unsigned char block[8] = {};
  int expected = 8;
  EXPECT_EQ(FindOpenUDev(&slot), 0);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(USBTransfer(nullptr, nullptr, 0, nullptr, nullptr, 0), -1);
  EXPECT_EQ(USBTransfer(&block, block, 8, block, &expected, 0), -1);
  EXPECT_EQ(CloseUDev(&slot), 0);
  EXPECT_EQ(FindOpenUDev(nullptr), 0);
}

}  // namespace
