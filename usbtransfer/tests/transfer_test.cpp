// The transfer library's exports above the simulated terminal: the searches, both transfer
// paths with their edge cases, the failure codes and the handles.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk_link.h"
#include "hid_link.h"
#include "jrs_3G_usb.h"
#include "sim/card_terminal.h"
#include "sim/terminal_blocks.h"

namespace {

namespace blocks = sim::blocks;
using Bytes = std::vector<uint8_t>;

std::vector<uint32_t> g_sleeps;
std::shared_ptr<sim::HidTerminal> g_unplugOnSleep;
void RecordSleep(uint32_t ms) {
  g_sleeps.push_back(ms);
  if (g_unplugOnSleep) g_unplugOnSleep->Unplug();
}

// A request block of `size` bytes in all (a write of that much text), asking for `capacity`.
Bytes WriteBlock(size_t size, uint16_t capacity, uint8_t sequence = 7) {
  blocks::Request r;
  r.sequence = sequence;
  r.command = blocks::kWrite;
  r.capacity = capacity;
  r.payload.assign(size - blocks::kOverhead, 'w');
  return blocks::EncodeRequest(r);
}

Bytes OpenBlock(uint16_t capacity, uint8_t sequence = 1) {
  blocks::Request r;
  r.sequence = sequence;
  r.command = blocks::kOpen;
  r.capacity = capacity;
  r.payload = {0x00, 0x01, 0x00, 0x02};
  return blocks::EncodeRequest(r);
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sleeps.clear();
    g_unplugOnSleep.reset();
    jrs::SetSleepForTesting(RecordSleep);
  }
  void TearDown() override {
    CloseUDev(&slot_);
    g_unplugOnSleep.reset();
    jrs::SetSleepForTesting(nullptr);
  }

  // Sends `request`, reads `expected` bytes into a buffer with guard bytes behind them. The
  // buffer's fourth byte names the reply expected, as the terminal's callers do.
  int Exchange(const Bytes& request, int expected, int timeout = 1, void* handle = nullptr) {
    reply_.assign(static_cast<size_t>(expected) + kGuard, kGuardByte);
    if (expected > 3 && request.size() > 3) reply_[3] = request[3];
    Bytes copy = request;
    return USBTransfer(handle ? handle : slot_, copy.data(), static_cast<int>(copy.size()), reply_.data(), &expected,
                       timeout);
  }
  bool GuardIntact(size_t expected) const {
    for (size_t i = expected; i < reply_.size(); ++i) {
      if (reply_[i] != kGuardByte) return false;
    }
    return true;
  }
  std::optional<blocks::Reply> Decoded() const { return blocks::DecodeReply(reply_.data(), reply_.size()); }

  static constexpr size_t kGuard = 80;
  static constexpr uint8_t kGuardByte = 0xA5;
  void* slot_ = nullptr;
  Bytes reply_;
};

TEST(TerminalIdentity, InquiryDataIsCheckedByteForByte) {
  const auto inquiry = [](const std::string& vendor, const std::string& product, const std::string& revision) {
    Bytes d(36, 0);
    std::memset(d.data() + 8, ' ', 28);
    std::memcpy(d.data() + 8, vendor.data(), vendor.size());
    std::memcpy(d.data() + 16, product.data(), product.size());
    std::memcpy(d.data() + 32, revision.data(), revision.size());
    return d;
  };
  const struct {
    const char* vendor;
    const char* product;
    const char* revision;
    bool terminal;
  } cases[] = {
      {"Vennick", "QRM-417B", "1.00", true},
      {"Vennick", "QRM-417C", "1.00", true},  // only the first 7 product bytes count
      {"Vennick", "QRM-417B", "1.01", false},
      {"vennick", "QRM-417B", "1.00", false},
      {"Vennick", "QRM-418B", "1.00", false},
      {"Vennick", "USB Key", "1.00", false},
      {"USB Key", "", "1.00", false},  // a key, never taken for a terminal
      {"VennickX", "QRM-417B", "1.00", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(jrs::IsTerminalInquiry(inquiry(c.vendor, c.product, c.revision).data(), 36), c.terminal)
        << c.vendor << "/" << c.product << "/" << c.revision;
  }
  EXPECT_FALSE(jrs::IsTerminalInquiry(inquiry("Vennick", "QRM-417B", "1.00").data(), 35));
  EXPECT_FALSE(jrs::IsTerminalInquiry(nullptr, 36));
}

TEST_F(Transfer, DiskSearchSkipsOtherDisksAndUsesTheInquiryItAskedFor) {
  sim::ScopedTerminal terminal(sim::Guise::kDisk);
  std::vector<std::shared_ptr<sim::DiskTerminal>> others;
  platform::scsi::UnregisterAllVirtual();
  for (const char* revision : {"1.01", "1.00"}) {
    others.push_back(std::make_shared<sim::DiskTerminal>(std::make_shared<sim::TerminalFirmware>()));
    others.back()->identity.revision = revision;
  }
  others[1]->identity.vendor = "USB Key";
  for (auto& d : others) platform::scsi::RegisterVirtual(d);
  platform::scsi::RegisterVirtual(terminal.disk);

  ASSERT_EQ(FindOpenUDev(&slot_), 1);
  ASSERT_NE(slot_, nullptr);
  for (auto& d : others) {
    ASSERT_EQ(d->commands.size(), 1u);
    EXPECT_EQ(d->commands[0].cdb, (Bytes{0x12, 0x00, 0x00, 0x00, 0xC0, 0x00}));
    EXPECT_EQ(d->commands[0].length, 192u);
  }
  EXPECT_EQ(Exchange(OpenBlock(64), 64), 0);
  EXPECT_EQ(terminal.disk->commands.size(), 3u);  // INQUIRY, send, receive
  for (auto& d : others) EXPECT_EQ(d->commands.size(), 1u);
  EXPECT_TRUE(terminal.firmware->opened);
}

TEST_F(Transfer, DiskBlocksTravelAsVendorCommands) {
  sim::ScopedTerminal terminal(sim::Guise::kDisk);
  ASSERT_EQ(FindOpenUDev(&slot_), 1);
  const Bytes request = WriteBlock(300, 100);
  ASSERT_EQ(request.size(), 300u);
  ASSERT_EQ(Exchange(request, 100, 5), 0);
  const auto& seen = terminal.disk->commands;
  ASSERT_EQ(seen.size(), 3u);
  const Bytes vendor = {'V', 'E', 'N', 'N', 'I', 'C', 'K', '4', '1', '7', 0xFF};
  Bytes send = {0xFF, request[3], 0x01, 0x2C, 0x00};
  send.insert(send.end(), vendor.begin(), vendor.end());
  EXPECT_EQ(seen[1].cdb, send);
  EXPECT_EQ(seen[1].direction, platform::scsi::Direction::Out);
  EXPECT_EQ(seen[1].length, 300u);
  // The reply's CDB names the block by the fourth byte the caller left in its buffer.
  Bytes receive = {0xFF, request[3], 0x00, 0x64, 0x80};
  receive.insert(receive.end(), vendor.begin(), vendor.end());
  EXPECT_EQ(seen[2].cdb, receive);
  EXPECT_EQ(seen[2].direction, platform::scsi::Direction::In);
  EXPECT_EQ(seen[2].length, 100u);
  EXPECT_EQ(terminal.firmware->requests.back(), request);
  EXPECT_TRUE(GuardIntact(100));

  ASSERT_EQ(Exchange(OpenBlock(64, 9), 64), 0);
  const auto reply = Decoded();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->sequence, 9);
  EXPECT_EQ(reply->status, blocks::kOk);
  EXPECT_TRUE(GuardIntact(64));

  // A read that names another block is refused by the terminal.
  Bytes open = OpenBlock(64);
  Bytes unnamed(64, 0);
  int expected = 64;
  EXPECT_EQ(USBTransfer(slot_, open.data(), static_cast<int>(open.size()), unnamed.data(), &expected, 5), -1);
}

TEST_F(Transfer, DiskFailuresAndArgumentChecks) {
  sim::ScopedTerminal terminal(sim::Guise::kDisk);
  ASSERT_EQ(FindOpenUDev(&slot_), 1);
  Bytes request = OpenBlock(64);
  Bytes reply(64);
  int expected = 64, negative = -1;
  const int n = static_cast<int>(request.size());
  const struct {
    const char* what;
    void* handle;
    unsigned char* request;
    int length;
    unsigned char* reply;
    int* expected;
    int code;
  } cases[] = {
      {"no handle", nullptr, request.data(), n, reply.data(), &expected, -3},
      {"no request", slot_, nullptr, n, reply.data(), &expected, -3},
      {"no length", slot_, request.data(), 0, reply.data(), &expected, -3},
      {"a length of 65536 is 0 in 16 bits", slot_, request.data(), 65536, reply.data(), &expected, -3},
      {"no reply buffer", slot_, request.data(), n, nullptr, &expected, -3},
      {"no reply length", slot_, request.data(), n, reply.data(), nullptr, -3},
      {"a negative reply length", slot_, request.data(), n, reply.data(), &negative, -3},
      {"a handle not ours", &expected, request.data(), n, reply.data(), &expected, -2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(USBTransfer(c.handle, c.request, c.length, c.reply, c.expected, 3), c.code) << c.what;
  }
  EXPECT_TRUE(terminal.firmware->requests.empty());

  terminal.disk->faults.failSend = true;
  EXPECT_EQ(Exchange(request, 64), -2);
  terminal.disk->faults = {};
  terminal.disk->faults.failReceive = true;
  EXPECT_EQ(Exchange(request, 64), -1);
  terminal.disk->faults = {};
  EXPECT_EQ(Exchange(request, 64), 0);
  terminal.disk->Unplug();
  EXPECT_EQ(Exchange(request, 64), -2);
}

TEST_F(Transfer, SlotsAndModes) {
  sim::ScopedTerminal terminal(sim::Guise::kBoth);
  ASSERT_EQ(FindOpenUDev(&slot_), 1);
  void* first = slot_;
  // Asking again keeps the open terminal rather than reporting none.
  EXPECT_EQ(FindOpenUDev(&slot_), 1);
  EXPECT_EQ(slot_, first);
  EXPECT_EQ(Exchange(OpenBlock(64), 64), 0);
  EXPECT_EQ(terminal.disk->commands.size(), 3u);  // the disk guise is preferred
  EXPECT_TRUE(terminal.hid->OutputReports().empty());
  void* stranger = &terminal;
  EXPECT_EQ(CloseUDev(&stranger), 0);
  EXPECT_EQ(CloseUDev(&slot_), 1);
  EXPECT_EQ(slot_, nullptr);
  EXPECT_EQ(CloseUDev(&slot_), 1);  // nothing left to close
  EXPECT_EQ(Exchange(OpenBlock(64), 64, 1, first), -2);

  platform::scsi::UnregisterAllVirtual();
  platform::hid::UnregisterAllVirtual();
  EXPECT_EQ(FindOpenUDev(&slot_), 0);
  EXPECT_EQ(slot_, nullptr);
  EXPECT_EQ(Exchange(OpenBlock(64), 64, 1, first), -1);
  EXPECT_EQ(CloseUDev(&slot_), 0);
}

class HidTransfer : public Transfer {
 protected:
  void SetUp() override {
    Transfer::SetUp();
    ASSERT_EQ(FindOpenUDev(&slot_), 1);
    baseUses_ = terminal_.hid.use_count() - 1;  // less the slot's handle
  }
  // The handles open on the terminal (each holds a reference to it).
  long OpenHandles() const { return terminal_.hid.use_count() - baseUses_; }

  sim::ScopedTerminal terminal_{sim::Guise::kHid};
  long baseUses_ = 0;
};

TEST_F(HidTransfer, RequestsGoOutInReportsTheLastPaddedWithZeros) {
  EXPECT_EQ(OpenHandles(), 1);
  const Bytes request = WriteBlock(70, 64);
  ASSERT_EQ(Exchange(request, 64), 0);
  const std::vector<Bytes> reports = terminal_.hid->OutputReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], [&] {
    Bytes r{0};
    r.insert(r.end(), request.begin(), request.begin() + 64);
    return r;
  }());
  Bytes second{0};
  second.insert(second.end(), request.begin() + 64, request.end());
  second.resize(65, 0);  // 6 bytes of block, 58 zeros
  EXPECT_EQ(reports[1], second);
  EXPECT_EQ(g_sleeps, std::vector<uint32_t>{200});
  EXPECT_EQ(OpenHandles(), 0);  // the transfer closed the search's handle and its own
  EXPECT_EQ(CloseUDev(&slot_), 1);
}

TEST_F(HidTransfer, RepliesAreReadReportByReportWithinTheCallersLength) {
  for (int expected : {64, 100, 10, 9}) {
    SCOPED_TRACE(expected);
    // The terminal answers with a block as long as the request asks; the caller may expect less.
    ASSERT_EQ(Exchange(OpenBlock(static_cast<uint16_t>(expected < 64 ? 64 : expected)), expected), 0);
    EXPECT_TRUE(GuardIntact(static_cast<size_t>(expected)));
    EXPECT_EQ(reply_[0], blocks::kStart);
    const auto reply = blocks::DecodeReply(reply_.data(), static_cast<size_t>(expected));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, blocks::kOk);
  }
  // 100 bytes take two reports and nothing is left unread; 64 take one.
  Bytes twoReports = OpenBlock(128);
  ASSERT_EQ(Exchange(twoReports, 100), 0);
  EXPECT_EQ(reply_[99], 0);
  EXPECT_TRUE(GuardIntact(100));
  EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(HidTransfer, PollsFollowTheTimeOutAndZeroStartsAreNotReplies) {
  const struct {
    const char* what;
    unsigned silentPolls;
    bool zeroStart;
    int timeout;
    std::vector<uint32_t> sleeps;
    bool replied;
  } cases[] = {
      {"time-out 0 polls once", 1, false, 0, {200}, false},
      {"time-out 256 is 0 in 8 bits", 1, false, 256, {200}, false},
      {"a reply after two empty polls", 2, false, 2, {200, 1000, 1000}, true},
      {"a reply on the first poll", 0, false, 5, {200}, true},
      {"ten zero bytes first: not begun", 0, true, 0, {200}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_sleeps.clear();
    terminal_.hid->faults.silentPolls = c.silentPolls;
    terminal_.hid->faults.zeroStart = c.zeroStart;
    ASSERT_EQ(Exchange(OpenBlock(64), 64, c.timeout), 0);
    EXPECT_EQ(g_sleeps, c.sleeps);
    EXPECT_EQ(Decoded().has_value(), c.replied);
    // Unanswered, the buffer holds the last report: ten zero bytes first.
    if (!c.replied) {
      EXPECT_EQ(Bytes(reply_.begin(), reply_.begin() + 10), Bytes(10, 0));
    }
    EXPECT_TRUE(GuardIntact(64));
    EXPECT_EQ(OpenHandles(), 0);
  }
}

TEST_F(HidTransfer, FailuresCloseTheHandleEveryTime) {
  Bytes request = OpenBlock(64);
  int expected = 64;
  EXPECT_EQ(USBTransfer(nullptr, nullptr, 0, reply_.data(), &expected, 0), -3);
  EXPECT_EQ(OpenHandles(), 0);
  EXPECT_EQ(USBTransfer(nullptr, request.data(), static_cast<int>(request.size()), nullptr, &expected, 0), -3);
  EXPECT_EQ(OpenHandles(), 0);

  terminal_.hid->faults.failSend = true;
  EXPECT_EQ(Exchange(request, 64), -2);
  EXPECT_EQ(OpenHandles(), 0);
  terminal_.hid->faults = {};
  terminal_.hid->faults.sendTimesOut = true;
  EXPECT_EQ(Exchange(request, 64), -2);
  EXPECT_EQ(OpenHandles(), 0);
  terminal_.hid->faults = {};

  // Unplugged while the host waits for the reply: every read fails.
  g_unplugOnSleep = terminal_.hid;
  EXPECT_EQ(Exchange(request, 100), -1);
  g_unplugOnSleep.reset();
  EXPECT_EQ(terminal_.hid.use_count(), 1);  // neither a handle nor the system holds it
  // Gone: the transfer does not find it again.
  EXPECT_EQ(Exchange(request, 64), -1);
  EXPECT_EQ(CloseUDev(&slot_), 1);
}

TEST_F(HidTransfer, SearchVisitsIndicesUpToFifteenAndChecksTheVersion) {
  EXPECT_EQ(CloseUDev(&slot_), 1);
  EXPECT_EQ(OpenHandles(), 0);
  terminal_.hid->versionNumber = 0x0110;
  EXPECT_EQ(FindOpenUDev(&slot_), 0);
  terminal_.hid->versionNumber = 0x0111;

  platform::hid::UnregisterAllVirtual();
  std::vector<std::shared_ptr<sim::HidTerminal>> others;
  for (int i = 0; i < 16; ++i) {
    others.push_back(std::make_shared<sim::HidTerminal>(terminal_.firmware));
    others.back()->versionNumber = 0x0100;
    platform::hid::RegisterVirtual(others.back());
  }
  platform::hid::RegisterVirtual(terminal_.hid);
  EXPECT_EQ(FindOpenUDev(&slot_), 0);  // index 16 is beyond the search
  platform::hid::UnregisterVirtual(others[15]);
  ASSERT_EQ(FindOpenUDev(&slot_), 1);  // now at index 15
  EXPECT_EQ(Exchange(OpenBlock(64), 64), 0);
  EXPECT_TRUE(Decoded());
  for (auto& o : others) EXPECT_EQ(o.use_count(), o == others[15] ? 1 : 2) << "a handle left open";
}

}  // namespace
