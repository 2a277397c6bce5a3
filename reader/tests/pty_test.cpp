// The serial transport over a pseudo-terminal, so the real termios code runs; the simulated
// reader's firmware answers on the other side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "frame.h"
#include "serial_link.h"
#include "sim/reader.h"

namespace {

class PtyReader : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    setenv("TARNWICK_COM5", ptsname(master_), 1);
    // Keep one slave descriptor open so the pty survives between the library's opens.
    keep_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    thread_ = std::thread([this] { Serve(); });
  }
  void TearDown() override {
    stop_ = true;
    thread_.join();
    close(keep_);
    close(master_);
    unsetenv("TARNWICK_COM5");
  }

  void Serve() {
    sim::FrameAssembler assembler;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[512];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      sim::Bytes frame;
      if (!assembler.Add(buf, static_cast<size_t>(n), &frame)) continue;
      const sim::Bytes reply = firmware_.Handle(frame);
      if (!reply.empty() && write(master_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
    }
  }

  vnsdt::Status Exchange(sim::Bytes* reply) {
    static const uint8_t kSam[10] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};
    uint8_t buf[vnsdt::kReplyBufferSize];
    size_t size = 0;
    const vnsdt::Status r = vnsdt::RunSerialExchange(5, kSam, sizeof kSam, 1, buf, sizeof buf, &size);
    reply->assign(buf, buf + size);
    return r;
  }

  int master_ = -1;
  int keep_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  sim::ReaderFirmware firmware_;
};

TEST_F(PtyReader, SamStatusThroughTermios) {
  sim::Bytes reply;
  ASSERT_EQ(Exchange(&reply), vnsdt::Status::kOk);
  EXPECT_EQ(reply, sim::MakeReply(0x00, 0x00, 0x90, {}));
  EXPECT_FALSE(vnsdt::Serial().HasHandle(5));
  // And again: every command opens and closes the port.
  ASSERT_EQ(Exchange(&reply), vnsdt::Status::kOk);
}

TEST_F(PtyReader, FifteenByteReply) {
  firmware_.scriptedReplies.push_back(sim::MakeReply(0x00, 0x00, 0x9F, {1, 2, 3, 4}));
  sim::Bytes reply;
  ASSERT_EQ(Exchange(&reply), vnsdt::Status::kOk);
  EXPECT_EQ(reply.size(), 15u);
  EXPECT_EQ(reply[9], 0x9F);
}

TEST_F(PtyReader, WrongPreambleShortReplyAndTimeOut) {
  sim::Bytes bad = sim::MakeReply(0x00, 0x00, 0x90, {9, 9});
  bad[0] = 0x00;
  firmware_.scriptedReplies.push_back(bad);
  sim::Bytes reply;
  EXPECT_EQ(Exchange(&reply), vnsdt::Status::kNoPreamble);
  sim::Bytes shortReply = sim::MakeReply(0x00, 0x00, 0x90, {1, 2, 3, 4, 5, 6});
  shortReply.resize(12);
  firmware_.scriptedReplies.push_back(shortReply);
  EXPECT_EQ(Exchange(&reply), vnsdt::Status::kReceiveFailed);  // waits out the one-second budget
  EXPECT_FALSE(vnsdt::Serial().HasHandle(5));
}

TEST_F(PtyReader, MissingDeviceFailsToOpen) {
  setenv("TARNWICK_COM6", "/nonexistent/tty", 1);
  EXPECT_EQ(vnsdt::Serial().OpenPort(6), vnsdt::Status::kOpenFailed);
  unsetenv("TARNWICK_COM6");
}

}  // namespace
