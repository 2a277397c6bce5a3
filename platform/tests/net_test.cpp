#include "platform/net.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace platform {
namespace {

class Net : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(NetStartup(0x0101), 0);
    listener_ = TcpSocket();
    ASSERT_NE(listener_, kNoSocket);
    ASSERT_TRUE(BindAny(listener_, 0));
    ASSERT_TRUE(Listen(listener_, 1));
    port_ = LocalPort(listener_);
    ASSERT_NE(port_, 0);
    client_ = TcpSocket();
    ASSERT_TRUE(ConnectLoopback(client_, port_));
    server_ = Accept(listener_);
    ASSERT_NE(server_, kNoSocket);
  }
  void TearDown() override {
    CloseSocket(client_);
    CloseSocket(server_);
    CloseSocket(listener_);
    EXPECT_EQ(NetCleanup(), 0);
  }
  Socket listener_ = kNoSocket, client_ = kNoSocket, server_ = kNoSocket;
  uint16_t port_ = 0;
};

TEST_F(Net, BytesTravelBothWaysAndWaitsAreBounded) {
  EXPECT_EQ(Send(client_, "Init", 5), 5);
  char buffer[256] = {};
  EXPECT_EQ(Receive(server_, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "Init");
  EXPECT_EQ(Receive(client_, buffer, sizeof buffer, 30), kTimedOut);
  EXPECT_EQ(Send(server_, "1", 1), 1);
  EXPECT_EQ(Receive(client_, buffer, sizeof buffer, 10000), 1);
}

TEST_F(Net, APeerThatClosedReadsAsZeroAndSendingToItNeverKills) {
  ASSERT_TRUE(CloseSocket(server_));
  server_ = kNoSocket;
  char buffer[8];
  EXPECT_EQ(Receive(client_, buffer, sizeof buffer, 10000), 0);
  for (int i = 0; i < 3; ++i) Send(client_, "GetSign", 8);  // the first may still be taken
  EXPECT_EQ(Send(client_, "GetSign", 8), -1);
}

TEST_F(Net, ClosingASocketEndsAReceiveBlockedOnIt) {
  long got = 1;
  std::thread reader([&] {
    char buffer[8];
    got = Receive(server_, buffer, sizeof buffer);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(CloseSocket(server_));
  reader.join();
  server_ = kNoSocket;
  EXPECT_LE(got, 0);
  EXPECT_FALSE(CloseSocket(kNoSocket));
  EXPECT_EQ(Receive(kNoSocket, &got, 1, 0), -1);
}

}  // namespace
}  // namespace platform
