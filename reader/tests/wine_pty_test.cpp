// The reader's serial transaction through the real Win32 serial code under Wine, against a
// pseudo-terminal whose other side a Linux script plays (wine_reader_serial_peer.py). Inactive
// unless that script sets TW_WINE_COM_PORT.
#include <gtest/gtest.h>

#include <cstdlib>

#include "frame.h"
#include "serial_link.h"

namespace {

TEST(WinePty, SerialTransactionsThroughWine) {
  const char* port = std::getenv("TW_WINE_COM_PORT");
  if (port == nullptr) GTEST_SKIP() << "run by wine_reader_serial_peer.py";
  const int com = std::atoi(port);
  static const uint8_t kSam[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};
  uint8_t reply[vnsdt::kReplyBufferSize];
  size_t size = 0;
  // The peer answers the first request properly: 15 bytes, SW3 0x9F.
  ASSERT_EQ(vnsdt::RunSerialExchange(com, kSam, sizeof kSam, 2, reply, sizeof reply, &size), vnsdt::Status::kOk);
  EXPECT_EQ(size, 15u);
  EXPECT_EQ(reply[9], 0x9F);
  EXPECT_FALSE(vnsdt::Serial().HasHandle(com));
  // The second with a reply that starts wrongly.
  EXPECT_EQ(vnsdt::RunSerialExchange(com, kSam, sizeof kSam, 2, reply, sizeof reply, &size),
            vnsdt::Status::kNoPreamble);
  // The third not at all: the one-second budget runs out.
  EXPECT_EQ(vnsdt::RunSerialExchange(com, kSam, sizeof kSam, 1, reply, sizeof reply, &size),
            vnsdt::Status::kReceiveFailed);
  EXPECT_FALSE(vnsdt::Serial().HasHandle(com));
}

}  // namespace
