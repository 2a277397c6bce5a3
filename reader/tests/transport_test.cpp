// The frame and both transports against the simulated reader.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "frame.h"
#include "hid_link.h"
#include "platform/hid_virtual.h"
#include "platform/serial_virtual.h"
#include "platform/sim.h"
#include "serial_link.h"
#include "sim/reader.h"
#include "vnsdtapi.h"

using sim::Bytes;
using vnsdt::Status;

namespace {

const Bytes kSamStatus = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};

// A reply frame of exactly `total` bytes with recognisable data.
Bytes ReplyOfSize(size_t total) {
  Bytes data(total - 11);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  return sim::MakeReply(0x00, 0x00, 0x90, data);
}

TEST(Frame, SamStatusRequestIsTenBytes) {
  uint8_t out[vnsdt::kFrameBufferSize];
  ASSERT_EQ(vnsdt::BuildFrame(nullptr, 0, 0x11, 0xFF, out, sizeof out), 10u);
  EXPECT_EQ(Bytes(out, out + 10), kSamStatus);
}

TEST(Frame, DataLengthAndChecksum) {
  const uint8_t data[3] = {0x01, 0x02, 0x80};
  uint8_t out[32];
  ASSERT_EQ(vnsdt::BuildFrame(data, 3, 0x30, 0x01, out, sizeof out), 13u);
  EXPECT_EQ(out[5], 0x00);
  EXPECT_EQ(out[6], 0x06);
  EXPECT_EQ(out[12], 0x00 ^ 0x06 ^ 0x30 ^ 0x01 ^ 0x01 ^ 0x02 ^ 0x80);
  // Too small a buffer or missing data builds nothing.
  EXPECT_EQ(vnsdt::BuildFrame(data, 3, 0x30, 0x01, out, 12), 0u);
  EXPECT_EQ(vnsdt::BuildFrame(nullptr, 3, 0x30, 0x01, out, sizeof out), 0u);
  std::vector<uint8_t> big(300, 0x5A);
  uint8_t frame[1024];
  EXPECT_EQ(vnsdt::BuildFrame(big.data(), big.size(), 0x80, 0x03, frame, sizeof frame), 310u);
  EXPECT_EQ(frame[5], 0x01);
  EXPECT_EQ(frame[6], 0x2F);
}

TEST(Frame, ReplyCheck) {
  Bytes r = sim::MakeReply(0x21, 0x00, 0x90, {});
  EXPECT_EQ(vnsdt::CheckReply(r.data(), r.size()), Status::kOk);
  EXPECT_EQ(vnsdt::CheckReply(r.data(), r.size(), 0x21), Status::kOk);
  EXPECT_EQ(vnsdt::CheckReply(r.data(), r.size(), 0x22), Status::kEchoMismatch);
  // A length field of 2 leaves no SW3: nine bytes in all.
  EXPECT_EQ(vnsdt::CheckReply(r.data(), 9), Status::kReplyTooShort);
  r[3] = 0x95;
  EXPECT_EQ(vnsdt::CheckReply(r.data(), r.size()), Status::kNoPreamble);
  EXPECT_EQ(vnsdt::CheckReply(r.data(), 4), Status::kNoPreamble);
  EXPECT_EQ(vnsdt::CheckReply(nullptr, 10), Status::kNoPreamble);
}

// HID tests run once per trans type.
class HidTransport : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { HID_SetTransType(GetParam()); }
  void TearDown() override {
    HID_ClosePort(1001);
    HID_ClosePort(1002);
    HID_SetTransType(1);
  }
  // One exchange with a freshly opened reader; the reply on success.
  Status Exchange(const Bytes& request, Bytes* reply, size_t capacity = vnsdt::kReplyBufferSize, int timeout = 0) {
    platform::hid::Device* d = vnsdt::Hid().finder.Find(0);
    if (d == nullptr) return Status::kNoDevice;
    std::vector<uint8_t> buf(capacity);
    uint16_t size = 0;
    const Status s =
        vnsdt::Hid().Transfer(d, request.data(), request.size(), timeout, true, buf.data(), buf.size(), &size);
    platform::hid::Close(d);
    if (s == Status::kOk) reply->assign(buf.begin(), buf.begin() + size);
    return s;
  }
  sim::ScopedReaders readers_;
  const std::shared_ptr<sim::HidReader>& reader_ = readers_.hid;
};

TEST_P(HidTransport, SamStatusRoundTrip) {
  Bytes reply;
  ASSERT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
  EXPECT_EQ(reader_->firmware.requests.back(), kSamStatus);
  EXPECT_EQ(reader_->outputReports, 1u);
  ASSERT_EQ(reply.size(), 11u);
  EXPECT_EQ(reply[9], 0x90);
}

TEST_P(HidTransport, LongRequestIsSplitIntoZeroPaddedReports) {
  Bytes data(100, 0x33);
  uint8_t frame[1024];
  const size_t n = vnsdt::BuildFrame(data.data(), data.size(), 0x11, 0xFF, frame, sizeof frame);
  Bytes reply;
  ASSERT_EQ(Status::kOk, Exchange(Bytes(frame, frame + n), &reply));
  EXPECT_EQ(reader_->outputReports, 2u);
  EXPECT_EQ(reader_->firmware.requests.back(), Bytes(frame, frame + n));
}

TEST_P(HidTransport, SixtyFourByteReplyTakesOneReportSixtyFiveTakeTwo) {
  const Bytes r64 = ReplyOfSize(64);
  ASSERT_EQ(r64[6], 57);
  reader_->firmware.scriptedReplies.push_back(r64);
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(65));
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(11));
  Bytes reply;
  ASSERT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
  EXPECT_EQ(reply, r64);
  ASSERT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
  EXPECT_EQ(reply, ReplyOfSize(65));
  // Nothing was left behind for the next command.
  ASSERT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
  EXPECT_EQ(reply.size(), 11u);
}

// "All zero" is the report ID and the 63 bytes after it; the last payload byte is not looked at.
TEST_P(HidTransport, OneZeroReportIsSkippedTwoFail) {
  for (uint8_t last : {0x00, 0x5A}) {
    reader_->faults.zeroReportLastByte = last;
    reader_->faults.zeroReports = 1;
    Bytes reply;
    EXPECT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
    EXPECT_EQ(reply, sim::MakeReply(0x00, 0x00, 0x90, {}));
    reader_->faults.zeroReports = 2;
    EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kNoPreamble);
  }
}

TEST_P(HidTransport, MarkedReplyIsTakenAsSixtyFourBytes) {
  Bytes marked = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0xC0, 0xFF, 0x10, 0x7A};
  marked.resize(64, 0x44);
  reader_->firmware.scriptedReplies.push_back(marked);
  Bytes reply;
  ASSERT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
  EXPECT_EQ(reply, marked);
}

TEST_P(HidTransport, ThirtySevenReportsAreReassembled) {
  const Bytes big = ReplyOfSize(2321);
  reader_->firmware.scriptedReplies.push_back(big);
  Bytes reply;
  ASSERT_EQ(Status::kOk, Exchange(kSamStatus, &reply));
  EXPECT_EQ(reply, big);
}

TEST_P(HidTransport, LengthBeyondTheBufferIsAFailedRead) {
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(4097));
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(1025));
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(1024));
  Bytes reply;
  EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kReplyTooLong);
  EXPECT_EQ(Exchange(kSamStatus, &reply, vnsdt::kFindCardReplyBufferSize), Status::kReplyTooLong);
  EXPECT_EQ(Status::kOk, Exchange(kSamStatus, &reply, vnsdt::kFindCardReplyBufferSize));
  EXPECT_EQ(reply.size(), 1024u);
}

TEST_P(HidTransport, ReplyWithoutPreambleOrNoReplyFails) {
  Bytes bad = ReplyOfSize(20);
  bad[0] = 0x55;
  reader_->firmware.scriptedReplies.push_back(bad);
  Bytes reply;
  EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kNoPreamble);
  reader_->faults.silent = true;
  EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kReceiveFailed);
}

TEST_P(HidTransport, MissingArgumentsFail) {
  platform::hid::Device* d = vnsdt::Hid().finder.Find(0);
  ASSERT_NE(d, nullptr);
  uint8_t buf[64];
  uint16_t size = 7;
  EXPECT_EQ(vnsdt::Hid().Transfer(nullptr, kSamStatus.data(), 10, 0, true, buf, sizeof buf, &size),
            Status::kSendFailed);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(vnsdt::Hid().Transfer(d, nullptr, 10, 0, true, buf, sizeof buf, &size), Status::kSendFailed);
  EXPECT_EQ(vnsdt::Hid().Transfer(d, kSamStatus.data(), 0, 0, true, buf, sizeof buf, &size), Status::kSendFailed);
  EXPECT_EQ(vnsdt::Hid().Transfer(d, kSamStatus.data(), 10, 0, true, nullptr, 64, &size), Status::kSendFailed);
  // Without a reply expected the write alone succeeds.
  EXPECT_EQ(vnsdt::Hid().Transfer(d, kSamStatus.data(), 10, 0, false, buf, sizeof buf, &size), Status::kOk);
  platform::hid::Close(d);
}

TEST_P(HidTransport, UnplugMidTransferFailsWithoutLeakingTheSlot) {
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(2321));
  reader_->faults.unplugAfterReports = 5;
  uint8_t reply[vnsdt::kReplyBufferSize];
  vnsdt::HidExchange x{1001, 1, kSamStatus.data(), kSamStatus.size(), 0, reply, sizeof reply};
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kReceiveFailed);
  EXPECT_EQ(vnsdt::Hid().Slot(1001), nullptr);
  EXPECT_EQ(platform::hid::VirtualCount(), 0);
  EXPECT_EQ(HID_GetCount(), 0);
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kNoDevice);
}

TEST_P(HidTransport, OpenFlagDecidesHowTheDeviceIsReached) {
  uint8_t reply[vnsdt::kReplyBufferSize];
  vnsdt::HidExchange x{1001, 1, kSamStatus.data(), kSamStatus.size(), 0, reply, sizeof reply};
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kOk);
  EXPECT_EQ(x.replySize, 11);
  EXPECT_EQ(vnsdt::Hid().Slot(1001), nullptr);  // open flag 1 closes again
  x.openFlag = 0;
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kNoDevice);  // nothing opened
  ASSERT_EQ(HID_OpenPort(1001), 144);
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kOk);
  EXPECT_NE(vnsdt::Hid().Slot(1001), nullptr);  // stays open
  x.port = 1000;
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kPortOutOfRange);
  x.port = 1002;
  x.openFlag = 1;
  EXPECT_EQ(vnsdt::RunHidExchange(x), Status::kNoDevice);
}

// A port kept open across commands: reports an earlier answer left behind (here the reader sends
// each reply twice) are dropped before the next command, so each command gets its own reply.
TEST_P(HidTransport, StaleReportsAreDrainedOnAPortKeptOpen) {
  reader_->faults.staleReports = 1;
  ASSERT_EQ(HID_OpenPort(1001), 144);
  unsigned char info[8] = {};
  ASSERT_EQ(HID_SelectIDCard(1001, info, 0), 0x90);
  EXPECT_GT(reader_->PendingReports(), 0u);
  char samId[48] = {};
  ASSERT_EQ(HID_GetSAMIDToStr(1001, samId, 0), 0x90);
  EXPECT_STREQ(samId, "5-1-20200234-1234567-123456");
  unsigned int find = 0;
  EXPECT_EQ(HID_StartFindIDCard(1001, &find, 0), 0x9F);
}

INSTANTIATE_TEST_SUITE_P(TransTypes, HidTransport, ::testing::Values(1, 2));

class HidPorts : public ::testing::Test {
 protected:
  void SetUp() override { platform::hid::UnregisterAllVirtual(); }
  void TearDown() override {
    for (int p = 1001; p <= 1016; ++p) HID_ClosePort(p);
  }
  sim::ScopedReaders readers_;
};

// Something on the HID bus that is not a reader.
class OtherDevice : public platform::hid::VirtualDevice {
 public:
  platform::hid::Attributes GetAttributes() override {
    platform::hid::Attributes a;
    a.vendorId = 0x046D;
    a.productId = 0x1001;
    return a;
  }
  bool OnOutputReport(const uint8_t*, size_t) override { return true; }
  platform::hid::IoResult OnInputReport(uint8_t*, size_t, uint32_t) override {
    return platform::hid::IoResult::TimedOut;
  }
};

TEST_F(HidPorts, TransType) {
  EXPECT_EQ(HID_SetTransType(2), 2);
  EXPECT_EQ(HID_SetTransType(0), 1);
  EXPECT_EQ(HID_SetTransType(2), 2);
  EXPECT_EQ(HID_SetTransType(3), 1);
  EXPECT_EQ(HID_SetTransType(-1), 1);
}

TEST_F(HidPorts, OpenCloseAndRange) {
  platform::hid::RegisterVirtual(std::make_shared<sim::HidReader>());
  EXPECT_EQ(HID_OpenPort(1000), 0);
  EXPECT_EQ(HID_OpenPort(1017), 0);
  EXPECT_EQ(HID_OpenPort(1002), 0);
  EXPECT_EQ(vnsdt::Hid().Slot(1002), nullptr);
  EXPECT_EQ(HID_OpenPort(1001), 144);
  EXPECT_EQ(HID_OpenPort(1001), 144);  // replaces the handle
  EXPECT_EQ(HID_ClosePort(1001), 144);
  EXPECT_EQ(HID_ClosePort(1001), 0);
  EXPECT_EQ(HID_ClosePort(1000), 0);
  EXPECT_EQ(HID_ClosePort(1017), 0);
}

TEST_F(HidPorts, CountAndNumberingSkipOtherDevices) {
  EXPECT_EQ(HID_GetCount(), 0);
  platform::hid::RegisterVirtual(std::make_shared<OtherDevice>());
  auto first = std::make_shared<sim::HidReader>(0x1002);
  platform::hid::RegisterVirtual(first);
  platform::hid::RegisterVirtual(std::make_shared<OtherDevice>());
  auto second = std::make_shared<sim::HidReader>(0x1001);
  platform::hid::RegisterVirtual(second);
  platform::hid::RegisterVirtual(std::make_shared<sim::HidReader>(0x1003));  // not a reader product
  EXPECT_EQ(HID_GetCount(), 2);
  EXPECT_EQ(HID_OpenPort(1002), 144);
  platform::hid::Attributes a;
  ASSERT_TRUE(vnsdt::Hid().Slot(1002)->GetAttributes(&a));
  EXPECT_EQ(a.productId, 0x1001);
  EXPECT_EQ(HID_OpenPort(1003), 0);
}

class SerialTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = std::make_shared<sim::SerialReader>();
    platform::serial::BindVirtual(4, reader_);
  }
  void TearDown() override {
    RS232_ClosePort(4);
    platform::serial::UnbindVirtual(4);
  }
  Status Exchange(const Bytes& request, Bytes* reply, size_t capacity = vnsdt::kReplyBufferSize) {
    std::vector<uint8_t> buf(capacity);
    size_t size = 0;
    const Status r = vnsdt::RunSerialExchange(4, request.data(), request.size(), 0, buf.data(), buf.size(), &size);
    reply->assign(buf.begin(), buf.begin() + static_cast<long>(size));
    return r;
  }
  std::shared_ptr<sim::SerialReader> reader_;
};

TEST_F(SerialTransport, SamStatusRoundTripClosesThePort) {
  Bytes reply;
  ASSERT_EQ(Exchange(kSamStatus, &reply), Status::kOk);
  EXPECT_EQ(reader_->firmware.requests.back(), kSamStatus);
  EXPECT_EQ(reply, sim::MakeReply(0x00, 0x00, 0x90, {}));
  EXPECT_FALSE(vnsdt::Serial().HasHandle(4));
}

TEST_F(SerialTransport, BadPreambleFailsAfterTheFirstRead) {
  Bytes bad = ReplyOfSize(30);
  bad[0] = 0x55;
  reader_->firmware.scriptedReplies.push_back(bad);
  Bytes reply;
  EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kNoPreamble);
  EXPECT_EQ(reader_->readSizes, std::vector<size_t>{5});
  EXPECT_FALSE(vnsdt::Serial().HasHandle(4));
}

TEST_F(SerialTransport, ShortReplyAndSilenceFail) {
  Bytes r = ReplyOfSize(30);
  r.resize(20);
  reader_->firmware.scriptedReplies.push_back(r);
  Bytes reply;
  EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kReceiveFailed);
  EXPECT_EQ(reader_->readSizes, (std::vector<size_t>{5, 2, 23}));
  reader_->faults.silent = true;
  EXPECT_EQ(Exchange(kSamStatus, &reply), Status::kReceiveFailed);
  EXPECT_FALSE(vnsdt::Serial().HasHandle(4));
}

TEST_F(SerialTransport, LengthBeyondTheBufferIsRefusedUnread) {
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(1025));
  Bytes reply;
  EXPECT_EQ(Exchange(kSamStatus, &reply, vnsdt::kFindCardReplyBufferSize), Status::kReplyTooLong);
  EXPECT_EQ(reader_->readSizes, (std::vector<size_t>{5, 2}));
  reader_->firmware.scriptedReplies.push_back(ReplyOfSize(1024));
  EXPECT_EQ(Exchange(kSamStatus, &reply, vnsdt::kFindCardReplyBufferSize), Status::kOk);
  EXPECT_EQ(reply, ReplyOfSize(1024));
}

TEST_F(SerialTransport, OpenAndCloseExports) {
  EXPECT_EQ(RS232_OpenPort(4), 144);
  EXPECT_TRUE(vnsdt::Serial().HasHandle(4));
  EXPECT_EQ(RS232_OpenPort(4), 144);  // reopens
  EXPECT_EQ(RS232_ClosePort(4), 144);
  EXPECT_FALSE(vnsdt::Serial().HasHandle(4));
  EXPECT_EQ(RS232_ClosePort(4), 144);  // an empty slot still answers 144
  EXPECT_EQ(RS232_ClosePort(0), 0);
  EXPECT_EQ(RS232_ClosePort(17), 0);
  EXPECT_EQ(RS232_OpenPort(0), 0);  // port 0 never opens
}

TEST_F(SerialTransport, OutOfRangeIsTakenAsPortOne) {
  auto one = std::make_shared<sim::SerialReader>();
  platform::serial::BindVirtual(1, one);
  EXPECT_EQ(RS232_OpenPort(17), 144);
  EXPECT_TRUE(vnsdt::Serial().HasHandle(1));
  EXPECT_EQ(RS232_OpenPort(-3), 144);
  RS232_ClosePort(1);
  platform::serial::UnbindVirtual(1);
}

TEST(SerialNames, NineAndTenUseTheirForms) {
#if defined(_WIN32)
  EXPECT_EQ(platform::serial::DeviceName(9), "COM9");
  EXPECT_EQ(platform::serial::DeviceName(10), "\\\\.\\COM10");
#else
  EXPECT_EQ(platform::serial::DeviceName(9), "/dev/ttyS8");
  EXPECT_EQ(platform::serial::DeviceName(10), "/dev/ttyS9");
#endif
}

}  // namespace
