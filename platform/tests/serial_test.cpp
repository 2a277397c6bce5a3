#include "platform/serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace platform::serial {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct PortCloser {
  void operator()(Port* port) const { Close(port); }
};
using PortPtr = std::unique_ptr<Port, PortCloser>;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The request a host sends and the answer the peer gives in the round trips below.
const Bytes kRequest = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};
const Bytes kAnswer = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00, 0x00, 0x90, 0x13, 0x11, 0x0D, 0x0A, 0x8C};
const Bytes kShort = {0x03, 0x0D, 0x7F};

#if defined(_WIN32)

TEST(SerialName, ComNumbers) {
  EXPECT_EQ(DeviceName(1), "COM1");
  EXPECT_EQ(DeviceName(9), "COM9");
  EXPECT_EQ(DeviceName(10), "\\\\.\\COM10");
  EXPECT_EQ(DeviceName(16), "\\\\.\\COM16");
}

TEST(SerialOpen, MissingPortFails) {
  PortPtr port(Open(16));
  if (port) GTEST_SKIP() << "COM16 exists on this system";
  EXPECT_EQ(port, nullptr);
}

// Driven by wine_serial_peer.py, which links the COM port to a pseudo-terminal and plays the
// peer: it answers kRequest with kAnswer, a 0x01 byte with kShort, and waits for 0x02.
TEST(SerialPty, RoundTripThroughWine) {
  const char* number = std::getenv("TW_WINE_COM_PORT");
  if (number == nullptr || *number == '\0') GTEST_SKIP() << "TW_WINE_COM_PORT not set";
  const int portNumber = std::atoi(number);
  PortPtr port(Open(portNumber));
  ASSERT_NE(port, nullptr) << DeviceName(portNumber);
  EXPECT_TRUE(port->SetQueues(4096, 4096));
  EXPECT_TRUE(port->SetLine(115200));
  EXPECT_TRUE(port->SetReadTimeouts(0, 0, 3000));
  EXPECT_TRUE(port->Purge(true, true));
  port->ClearError();

  ASSERT_TRUE(port->Write(kRequest.data(), kRequest.size()));
  Bytes got(kAnswer.size());
  ASSERT_EQ(port->Read(got.data(), got.size()), static_cast<long>(kAnswer.size()));
  EXPECT_EQ(got, kAnswer);

  const uint8_t askShort = 0x01;
  ASSERT_TRUE(port->Write(&askShort, 1));
  ASSERT_TRUE(port->SetReadTimeouts(0, 0, 500));
  got.assign(10, 0);
  Clock::time_point start = Clock::now();
  ASSERT_EQ(port->Read(got.data(), got.size()), static_cast<long>(kShort.size()));
  EXPECT_GE(ElapsedMs(start), 400);
  got.resize(kShort.size());
  EXPECT_EQ(got, kShort);

  ASSERT_TRUE(port->SetReadTimeouts(0, 0, 200));
  start = Clock::now();
  EXPECT_EQ(port->Read(got.data(), 3), 0);
  EXPECT_GE(ElapsedMs(start), 150);

  const uint8_t done = 0x02;
  EXPECT_TRUE(port->Write(&done, 1));
}

#else

// Sets an environment variable for one test and restores the previous state.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (hadOld_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool hadOld_ = false;
};

// The master side of a pseudo-terminal; the port under test opens the slave.
class Pty {
 public:
  Pty() {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) return;
    const char* name = ptsname(fd_);
    if (name != nullptr) slave_ = name;
  }
  ~Pty() { CloseMaster(); }
  bool ok() const { return fd_ >= 0 && !slave_.empty(); }
  const std::string& slave() const { return slave_; }
  void CloseMaster() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool Send(const Bytes& bytes) { return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()); }
  // What the port wrote: up to `size` bytes within timeoutMs.
  Bytes Receive(size_t size, int timeoutMs) {
    Bytes out;
    const Clock::time_point start = Clock::now();
    while (out.size() < size) {
      const int left = timeoutMs - static_cast<int>(ElapsedMs(start));
      if (left <= 0) break;
      pollfd pfd = {fd_, POLLIN, 0};
      if (poll(&pfd, 1, left) <= 0) break;
      uint8_t buffer[64];
      const ssize_t n = read(fd_, buffer, std::min(sizeof(buffer), size - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

 private:
  int fd_ = -1;
  std::string slave_;
};

TEST(SerialName, TtySDevices) {
  EXPECT_EQ(DeviceName(1), "/dev/ttyS0");
  EXPECT_EQ(DeviceName(10), "/dev/ttyS9");
  EXPECT_EQ(DeviceName(0), "");
}

TEST(SerialName, EnvironmentOverrides) {
  {
    ScopedEnv env("TARNWICK_COM3", "/tmp/x");
    EXPECT_EQ(DeviceName(3), "/tmp/x");
    EXPECT_EQ(DeviceName(4), "/dev/ttyS3");
  }
  {
    ScopedEnv env("TARNWICK_COM3", "");
    EXPECT_EQ(DeviceName(3), "/dev/ttyS2");
  }
  EXPECT_EQ(DeviceName(3), "/dev/ttyS2");
}

TEST(SerialOpen, MissingDeviceFails) {
  ScopedEnv env("TARNWICK_COM7", "/tmp/tarnwick-no-such-serial-" + std::to_string(getpid()));
  EXPECT_EQ(Open(7), nullptr);
  EXPECT_EQ(Open(0), nullptr);
}

TEST(SerialOpen, NonTerminalFails) {
  ScopedEnv env("TARNWICK_COM7", "/dev/null");
  EXPECT_EQ(Open(7), nullptr);
}

TEST(SerialOpen, NotShared) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ScopedEnv env("TARNWICK_COM5", pty.slave());
  PortPtr first(Open(5));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Open(5), nullptr);
  first.reset();
  PortPtr again(Open(5));
  EXPECT_NE(again, nullptr);
}

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    env_ = std::make_unique<ScopedEnv>("TARNWICK_COM5", pty_.slave());
    port_.reset(Open(5));
    ASSERT_NE(port_, nullptr) << pty_.slave();
    EXPECT_TRUE(port_->SetQueues(4096, 4096));
    EXPECT_TRUE(port_->SetLine(115200));
    EXPECT_TRUE(port_->SetReadTimeouts(0, 0, 1000));
    EXPECT_TRUE(port_->Purge(true, true));
    port_->ClearError();
  }

  Pty pty_;
  std::unique_ptr<ScopedEnv> env_;
  PortPtr port_;
};

TEST_F(SerialPty, RoundTrip) {
  ASSERT_TRUE(port_->Write(kRequest.data(), kRequest.size()));
  EXPECT_EQ(pty_.Receive(kRequest.size(), 2000), kRequest);

  ASSERT_TRUE(pty_.Send(kAnswer));
  Bytes got(kAnswer.size());
  ASSERT_EQ(port_->Read(got.data(), got.size()), static_cast<long>(kAnswer.size()));
  EXPECT_EQ(got, kAnswer);
}

TEST_F(SerialPty, ShortReadEndsAtTimeout) {
  ASSERT_TRUE(port_->SetReadTimeouts(0, 0, 200));
  ASSERT_TRUE(pty_.Send(kShort));
  Bytes got(10);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(port_->Read(got.data(), got.size()), static_cast<long>(kShort.size()));
  EXPECT_GE(ElapsedMs(start), 180);
  got.resize(kShort.size());
  EXPECT_EQ(got, kShort);
}

TEST_F(SerialPty, SilenceReadsZeroAfterTimeout) {
  ASSERT_TRUE(port_->SetReadTimeouts(0, 10, 100));
  uint8_t got[4];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_->Read(got, sizeof(got)), 0);
  EXPECT_GE(ElapsedMs(start), 130);  // 10 ms per byte for 4 bytes plus 100 ms
}

TEST_F(SerialPty, ZeroTimeoutsTakeOnlyWhatIsWaiting) {
  ASSERT_TRUE(port_->SetReadTimeouts(0, 0, 0));
  uint8_t got[4];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_->Read(got, sizeof(got)), 0);
  EXPECT_LT(ElapsedMs(start), 1000);  // at once, not after a time-out

  ASSERT_TRUE(pty_.Send({0x42, 0x43}));
  ASSERT_TRUE(port_->SetReadTimeouts(0, 0, 1000));
  ASSERT_EQ(port_->Read(got, 1), 1);  // waits for the first byte to land
  ASSERT_TRUE(port_->SetReadTimeouts(0, 0, 0));
  EXPECT_EQ(port_->Read(got, sizeof(got)), 1);
  EXPECT_EQ(got[0], 0x43);
}

TEST_F(SerialPty, IntervalEndsReadOnceDataStops) {
  ASSERT_TRUE(port_->SetReadTimeouts(50, 0, 2000));
  ASSERT_TRUE(pty_.Send(kShort));
  Bytes got(10);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_->Read(got.data(), got.size()), static_cast<long>(kShort.size()));
  EXPECT_LT(ElapsedMs(start), 1000);
}

TEST_F(SerialPty, PurgeDropsPendingInput) {
  ASSERT_TRUE(pty_.Send(kShort));
  // Once the first byte can be read, the rest of the same write waits in the slave's queue.
  uint8_t got[4];
  ASSERT_TRUE(port_->SetReadTimeouts(0, 0, 2000));
  ASSERT_EQ(port_->Read(got, 1), 1);
  ASSERT_TRUE(port_->Purge(false, true));
  ASSERT_TRUE(port_->SetReadTimeouts(0, 0, 100));
  EXPECT_EQ(port_->Read(got, sizeof(got)), 0);
}

TEST_F(SerialPty, HungUpPeerFailsRead) {
  pty_.CloseMaster();
  uint8_t got[4];
  EXPECT_EQ(port_->Read(got, sizeof(got)), -1);
}

TEST_F(SerialPty, UnknownRateRefused) { EXPECT_FALSE(port_->SetLine(12345)); }

#endif

}  // namespace
}  // namespace platform::serial
