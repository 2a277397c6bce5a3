#include "platform/net.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tw/deaf_listener.h"

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

TEST_F(Net, PeerOpenTellsWhetherThePeerHasGone) {
  EXPECT_TRUE(PeerOpen(client_));
  EXPECT_EQ(Send(server_, "1", 1), 1);
  ASSERT_EQ(Receive(client_, nullptr, 0, 10000), 0);  // waits until the byte is there
  EXPECT_TRUE(PeerOpen(client_));
  char c = 0;
  EXPECT_EQ(Receive(client_, &c, 1, 0), 1);  // still there: nothing consumed
  EXPECT_EQ(c, '1');
  ASSERT_TRUE(CloseSocket(server_));
  server_ = kNoSocket;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (PeerOpen(client_) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(PeerOpen(client_));
}

// A listener whose queue is full never answers a connect; the system would retry for minutes.
TEST_F(Net, ConnectsEndByTheirDeadline) {
  uint16_t port;
  {
    tw::testing::DeafListener deaf(0);
    ASSERT_TRUE(deaf.Full());
    port = deaf.Port();
    const Socket s = TcpSocket();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ConnectLoopback(s, port, 300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(CloseSocket(s));
  }
  // Nothing listens: refused.
  const Socket none = TcpSocket();
  EXPECT_FALSE(ConnectLoopback(none, port, 5000));
  EXPECT_TRUE(CloseSocket(none));
}

// Bound to loopback: a connection to another address (here 127.0.0.2, which reaches this host
// too) is refused.
TEST_F(Net, ALoopbackListenerTakesOnlyLoopback) {
  const Socket local = TcpSocket();
  ASSERT_TRUE(BindLoopback(local, 0));
  ASSERT_TRUE(Listen(local, 4));
  const uint16_t port = LocalPort(local);
  const struct {
    const char* address;
    bool connects;
  } cases[] = {{"127.0.0.1", true}, {"127.0.0.2", false}, {"not an address", false}};
  for (const auto& c : cases) {
    const Socket s = TcpSocket();
    EXPECT_EQ(Connect(s, c.address, port, 5000), c.connects) << c.address;
    CloseSocket(s);
  }
  CloseSocket(local);
}

}  // namespace
}  // namespace platform
