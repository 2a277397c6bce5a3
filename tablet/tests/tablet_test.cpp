// The library through its exports, with the simulated tablet of each model below the real
// platform code: decoders, key and acknowledgement reports, commands, the ring, the window
// message, failures and the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "library.h"
#include "platform/message.h"
#include "platform/named_lock.h"
#include "pmtablet.h"
#include "sim/tablet.h"
#include "tablet_log.h"
#include "tw/message_sink.h"
#include "tw/testing.h"

namespace {

using sim::Report;
using std::chrono::steady_clock;

constexpr uint32_t kPen = 0x28000000;
constexpr uint32_t kKey = 0x58000000;

tablet::Timing FastTiming(uint32_t acknowledgementMs = 5000) {
  tablet::Timing t;
  t.acknowledgementMs = acknowledgementMs;
  t.afterDiscoveryMs = t.afterAtopMs = t.beforeStopMs = t.afterStopMs = t.afterSerialMs = 0;
  return t;
}

uint32_t MessageId() { return platform::message::RegisterMessage(tablet::kMessageName); }

Report Pen(uint8_t status, uint16_t a, uint16_t b, uint16_t c) {
  return {0x02,
          status,
          static_cast<uint8_t>(a),
          static_cast<uint8_t>(a >> 8),
          static_cast<uint8_t>(b),
          static_cast<uint8_t>(b >> 8),
          static_cast<uint8_t>(c),
          static_cast<uint8_t>(c >> 8)};
}

// Waits for a condition that another thread brings about, for at most `ms`.
template <class Pred>
bool Eventually(Pred pred, int ms = 10000) {
  const auto until = steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A simulated tablet of one model, opened by PMInit with a message window as the target.
class Tablet : public ::testing::Test {
 protected:
  void SetUp() override { tablet::Library::Instance().SetTimingForTesting(FastTiming()); }
  void TearDown() override {
    PMClose(nullptr);
    scoped_.reset();
  }

  void Open(int deviceType) {
    scoped_.emplace(deviceType);
    sink_.emplace(MessageId());
    ASSERT_TRUE(sink_->ok());
    ASSERT_EQ(PMInit(&caps_, &message_, sink_->Handle()), 0);
  }
  sim::SimTablet& Sim() { return *scoped_->tablet; }

  struct Seen {
    PenPacket packet;
    platform::message::Message message;
  };
  // Queues the reports, then a confirm key as an end mark, and collects what was announced
  // before the mark, each message with the packet taken for it.
  std::vector<Seen> Feed(const std::vector<Report>& reports) {
    for (const Report& r : reports) Sim().QueueReport(r);
    Sim().PressKey(sim::kConfirmKey);
    std::vector<Seen> seen;
    for (;;) {
      auto m = sink_->Next();
      if (!m) {
        ADD_FAILURE() << "the end mark was not announced";
        return seen;
      }
      Seen s{};
      EXPECT_EQ(PMPacketsGet(1, &s.packet), 1);
      s.message = *m;
      if (s.packet.key == sim::kConfirmKey && m->lParam == static_cast<intptr_t>(kKey + 17)) return seen;
      seen.push_back(s);
    }
  }

  std::optional<sim::ScopedTablet> scoped_;
  std::optional<tw::testing::MessageSink> sink_;
  TabletCaps caps_{};
  uint32_t message_ = 0;
};

struct Packet {
  int32_t x, y, pressure, key;
  uint32_t wParam, lParam;
};

struct DecodeCase {
  const char* name;
  int deviceType;
  std::vector<Report> reports;
  std::vector<Packet> packets;
};

class Decoders : public Tablet, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(Decoders, ReportsBecomePacketsAndMessages) {
  const DecodeCase& c = GetParam();
  Open(c.deviceType);
  const std::vector<Seen> seen = Feed(c.reports);
  ASSERT_EQ(seen.size(), c.packets.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    const Packet& want = c.packets[i];
    const PenPacket& got = seen[i].packet;
    EXPECT_EQ(int32_t{got.x}, want.x) << "packet " << i;
    EXPECT_EQ(int32_t{got.y}, want.y) << "packet " << i;
    EXPECT_EQ(int32_t{got.pressure}, want.pressure) << "packet " << i;
    EXPECT_EQ(int32_t{got.key}, want.key) << "packet " << i;
    EXPECT_EQ(got.reserved0, 0);
    EXPECT_EQ(int32_t{got.reserved1}, 0);
    EXPECT_EQ(int32_t{got.reserved2}, 0);
    EXPECT_EQ(seen[i].message.wParam, want.wParam) << "packet " << i;
    EXPECT_EQ(seen[i].message.lParam, static_cast<intptr_t>(want.lParam)) << "packet " << i;
  }
}

constexpr uint32_t At(uint32_t x, uint32_t y) { return x * 65536 + y; }

INSTANTIATE_TEST_SUITE_P(
    Models, Decoders,
    ::testing::Values(
        // Device type 1: y maps from the active window 955 < y < 7237 onto 0..3072.
        DecodeCase{
            "type1_contact",
            1,
            {Pen(0xA1, 100, 3000, 500), Pen(0xA1, 100, 955, 500), Pen(0xA1, 100, 7237, 500), Pen(0xA1, 6144, 956, 300)},
            {{100, 1000, 500, 0, At(100, 1000), kPen + 500},
             {100, 0, 0, 0, At(100, 0), kPen},
             {100, 3072, 0, 0, At(100, 3072), kPen},
             {6144, 0, 300, 0, At(6144, 0), kPen + 300}}},
        DecodeCase{"type1_lift_and_hover",
                   1,
                   {Pen(0xA0, 200, 3000, 9), Pen(0xE0, 201, 8000, 9), Pen(0xB0, 202, 3000, 9), Pen(0xB1, 203, 100, 9)},
                   {{200, 1000, 0, 0, At(200, 1000), kPen},
                    {201, 3072, 0, 0, At(201, 3072), kPen},
                    {202, 3000, 0, 0, 0, kPen},
                    {203, 100, 0, 0, 0, kPen}}},
        DecodeCase{"type1_keys_and_others",
                   1,
                   {Report{2, 0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}, Report{2, 0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x33},
                    Report{2, 0x55, 5, 0x33, 0x70, 0xFF, 0xFF, 0xFF}, Report{2, 0x90, 1, 2, 3, 4, 5, 6},
                    Report{2, 0x77, 1, 2, 3, 4, 5, 6}, Report{3, 0xA1, 1, 0, 0x10, 0x10, 1, 0}},
                   {{0, 0, 0, 18, 0, kKey + 18}}},
        // Device type 3: the window is 1136 < y < 5311; hover keeps the raw y at the far side.
        DecodeCase{
            "type3",
            3,
            {Pen(0xA1, 200, 3223, 700), Pen(0xA1, 200, 1136, 700), Pen(0xA1, 200, 5311, 700), Pen(0xE0, 201, 3223, 700),
             Pen(0xB0, 202, 1000, 0), Pen(0xB1, 203, 3000, 0), Pen(0xB0, 204, 6000, 0), Pen(0xA5, 205, 3000, 1),
             Report{2, 3, 0x11, 0, 0, 0, 0, 0}, Report{2, 3, 0x21, 0, 0, 0, 0, 0}, Report{2, 0x88, 1, 2, 3, 4, 5, 6}},
            {{200, 1535, 700, 0, At(200, 1535), kPen + 700},
             {200, 0, 0, 0, At(200, 0), kPen},
             {200, 3072, 0, 0, At(200, 3072), kPen},
             {201, 1535, 0, 0, At(201, 1535), kPen},
             {202, 0, 0, 0, 0, kPen},
             {203, 1864, 0, 0, 0, kPen},
             {204, 6000, 0, 0, 0, kPen},
             {0, 0, 0, 18, 0, kKey + 18}}},
        // Device type 2: x from word B, y from v = 6240 - word A.
        DecodeCase{"type2_contact",
                   2,
                   {Pen(0xA1, 3000, 4000, 600), Pen(0xA1, 5800, 4000, 600), Pen(0xA1, 600, 4000, 600),
                    Pen(0xA0, 3000, 4001, 600)},
                   {{4000, 2616, 600, 0, At(4000, 2616), kPen + 600},
                    {4000, 0, 0, 0, At(4000, 0), kPen},
                    {4000, 4992, 0, 0, At(4000, 4992), kPen},
                    {4001, 2616, 0, 0, At(4001, 2616), kPen}}},
        // Hover beyond the far edge sets the edge flag: contact reports beyond it are dropped
        // until an 0xE0 report inside the area has been queued.
        DecodeCase{
            "type2_edge_flag",
            2,
            {Pen(0xB0, 600, 10, 0), Pen(0xA1, 500, 11, 800), Pen(0xE0, 500, 12, 0), Pen(0xE0, 3000, 13, 0),
             Pen(0xA1, 500, 14, 800)},
            {{10, 4992, 0, 0, 0, kPen}, {13, 2616, 0, 0, At(13, 2616), kPen}, {14, 4992, 0, 0, At(14, 4992), kPen}}},
        // A word A above 6240 wraps and counts as beyond the far edge; a clear key resets the flag.
        DecodeCase{"type2_wrap_and_key",
                   2,
                   {Pen(0xA1, 7000, 20, 800), Pen(0xB1, 6300, 21, 0), Pen(0xA1, 7000, 22, 800),
                    Report{2, 3, 0x11, 0, 0, 0, 0, 0}, Pen(0xA1, 7000, 23, 800)},
                   {{20, 4992, 0, 0, At(20, 4992), kPen},
                    {21, 4992, 0, 0, 0, kPen},
                    {0, 0, 0, 18, 0, kKey + 18},
                    {23, 4992, 0, 0, At(23, 4992), kPen}}}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST_F(Tablet, ShortReadsAndOtherReportIdsProduceNothing) {
  Open(1);
  Sim().faults.shortReads = true;
  Sim().QueueReport(Pen(0xA1, 1, 3000, 100));
  ASSERT_TRUE(Eventually([&] { return Sim().PendingReports() == 0; }));
  Sim().faults.shortReads = false;
  Sim().faults.otherReportId = true;
  Sim().QueueReport(Pen(0xA1, 2, 3000, 100));
  ASSERT_TRUE(Eventually([&] { return Sim().PendingReports() == 0; }));
  Sim().faults.otherReportId = false;
  EXPECT_TRUE(Feed({}).empty());
}

struct KeyCase {
  int deviceType;
  Report key;
  Report acknowledgement;
};

class KeyAcknowledgements : public Tablet, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyAcknowledgements, EveryKeyReportIsAnsweredWithItsFeatureReport) {
  Open(GetParam().deviceType);
  Sim().QueueReport(GetParam().key);
  ASSERT_TRUE(Eventually([&] { return Sim().FeatureReports().size() == 2; }));
  EXPECT_EQ(Sim().FeatureReports()[1], GetParam().acknowledgement);
}

INSTANTIATE_TEST_SUITE_P(Models, KeyAcknowledgements,
                         ::testing::Values(KeyCase{1, {2, 0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0xFF}, {5, 0xAA, 0x70}},
                                           KeyCase{1, {2, 0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x42}, {5, 0xAA, 0x70}},
                                           KeyCase{2, {2, 3, 0x11, 0, 0, 0, 0, 0}, {5, 3, 0x11, 0, 0, 0, 0xFF, 0x18}},
                                           KeyCase{3, {2, 3, 0x12, 0, 0, 0, 0, 0}, {5, 3, 0x12, 0, 0, 0, 0xFF, 0x19}}));

struct CommandCase {
  int deviceType;
  uint16_t productId;
  int32_t xExtent, yExtent;
  Report atop, clear, serial, ptoa;
};

class Commands : public Tablet, public ::testing::WithParamInterface<CommandCase> {};

// Each command is one feature report of the model's own length, acknowledged by the tablet.
TEST_P(Commands, AreTheModelsFeatureReports) {
  const CommandCase& c = GetParam();
  Open(c.deviceType);
  EXPECT_EQ(caps_.vendorId, 0x0B57);
  EXPECT_EQ(caps_.productId, c.productId);
  EXPECT_EQ(caps_.xExtent, c.xExtent);
  EXPECT_EQ(caps_.yExtent, c.yExtent);
  EXPECT_EQ(caps_.pressureLevels, 1024);
  EXPECT_EQ(caps_.reserved, 0);
  EXPECT_EQ(message_, MessageId());
  EXPECT_TRUE(Sim().InPenMode());

  EXPECT_EQ(PMClearSig(), 0);
  uint8_t serial[8];
  std::memset(serial, 0xEE, sizeof serial);
  TabletCaps caps{};
  uint32_t message = 0;
  EXPECT_EQ(PMGetSerial(&caps, &message, sink_->Handle(), serial), 0);
  EXPECT_EQ(caps.productId, c.productId);
  if (c.serial.empty()) {
    EXPECT_EQ(std::vector<uint8_t>(serial, serial + 8), std::vector<uint8_t>(8, 0xEE));
  } else {
    EXPECT_EQ(std::vector<uint8_t>(serial, serial + 8), (Report{2, 0x88, 'T', 'W', '0', '0', '4', '2'}));
  }
  EXPECT_EQ(PMClose(nullptr), 0);
  EXPECT_FALSE(Sim().InPenMode());

  std::vector<Report> want = {c.atop, c.clear};
  if (!c.serial.empty()) want.push_back(c.serial);
  want.push_back(c.atop);
  want.push_back(c.ptoa);
  EXPECT_EQ(Sim().FeatureReports(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Models, Commands,
    ::testing::Values(
        CommandCase{1, 0x8420, 6144, 3072, {5, 0x11, 0x70}, {5, 0x33, 0x70}, {5, 0x88, 0x70}, {5, 0x22, 0x70}},
        CommandCase{2,
                    0x8421,
                    8320,
                    4992,
                    {5, 3, 0, 0, 0, 0, 0, 8},
                    {5, 3, 0x21, 0, 0, 0, 0, 0x29},
                    {5, 5, 0x0A, 0, 0, 0, 0, 0x14},
                    {5, 4, 0, 0, 0, 0, 0, 9}},
        CommandCase{3,
                    0x8816,
                    8352,
                    4175,
                    {5, 3, 0, 0, 0, 0, 0, 8},
                    {5, 3, 0x21, 0, 0, 0, 0, 0x29},
                    {},
                    {5, 4, 0, 0, 0, 0, 0, 9}}));

// The ring keeps 31 unread packets: the 32nd overwrites the oldest.
TEST_F(Tablet, AFullRingOverwritesItsOldestPacket) {
  Open(1);
  for (uint16_t i = 1; i <= 32; ++i) Sim().QueueReport(Pen(0xB0, i, 3000, 0));
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(sink_->Next().has_value());
  PenPacket p{};
  std::vector<int32_t> xs;
  while (PMPacketsGet(1, &p) == 1) xs.push_back(p.x);
  ASSERT_EQ(xs.size(), 31u);
  EXPECT_EQ(xs.front(), 2);
  EXPECT_EQ(xs.back(), 32);
}

TEST_F(Tablet, PacketsGetZeroesTheCountButFillsOnePacket) {
  Open(1);
  Sim().QueueReport(Pen(0xA1, 77, 3000, 500));
  Sim().QueueReport(Pen(0xA1, 78, 3000, 500));
  ASSERT_TRUE(sink_->Next().has_value());
  ASSERT_TRUE(sink_->Next().has_value());
  PenPacket buffer[5];
  std::memset(buffer, 0xCC, sizeof buffer);
  EXPECT_EQ(PMPacketsGet(4, buffer), 1);
  EXPECT_EQ(buffer[0].x, 77);
  EXPECT_EQ(buffer[0].pressure, 500);
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
  EXPECT_TRUE(std::all_of(bytes + 25, bytes + 100, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(bytes + 100, bytes + 125, [](uint8_t b) { return b == 0xCC; }));
  EXPECT_EQ(PMPacketsGet(0, buffer), 0);
  EXPECT_EQ(PMPacketsGet(-1, buffer), 0);
  EXPECT_EQ(PMPacketsGet(1, nullptr), 0);
  EXPECT_EQ(PMPacketsGet(1, buffer), 1);
  EXPECT_EQ(buffer[0].x, 78);
  EXPECT_EQ(PMPacketsGet(1, buffer), 0);
}

// A null window keeps the target; without one the messages go to every top-level window.
TEST_F(Tablet, TargetWindowStaysUntilReplaced) {
  Open(1);
  tw::testing::MessageSink other(MessageId());
  TabletCaps caps;
  uint32_t message;
  ASSERT_EQ(PMInit(&caps, &message, nullptr), 0);
  Sim().QueueReport(Pen(0xB0, 1, 3000, 0));
  ASSERT_TRUE(sink_->Next().has_value());
  EXPECT_FALSE(other.Next(200).has_value());

  // PMGetSerial sets the target even to null: from then on every window hears it.
  uint8_t serial[8];
  ASSERT_EQ(PMGetSerial(&caps, &message, nullptr, serial), 0);
  Sim().QueueReport(Pen(0xB0, 2, 3000, 0));
  EXPECT_TRUE(sink_->Next().has_value());
  EXPECT_TRUE(other.Next().has_value());
}

// The exports that empty the ring wait for the ring lock, as the reader does.
TEST_F(Tablet, EmptyingTheRingTakesTheRingLock) {
  Open(1);
  auto lock = platform::NamedLock::Open(tablet::kRingLockName);
  ASSERT_NE(lock, nullptr);
  ASSERT_TRUE(lock->Enter(5000));
  std::atomic<bool> done{false};
  std::thread clear([&done] {
    EXPECT_EQ(PMClearSig(), 0);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done);
  lock->Leave();
  clear.join();
  EXPECT_TRUE(done);
}

// A capture program killed while it held the ring lock never returns it (on Windows the named
// event stays taken for the whole session): the ring waits a bounded time, then goes on.
TEST_F(Tablet, ARingLockItsHolderNeverReturnsCostsABoundedWait) {
  Open(1);
  auto lock = platform::NamedLock::Open(tablet::kRingLockName);
  ASSERT_NE(lock, nullptr);
  ASSERT_TRUE(lock->Enter(5000));
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread clear([done] {
    EXPECT_EQ(PMClearSig(), 0);
    *done = true;
  });
  for (int i = 0; i < 300 && !*done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(*done) << "the ring still waits for the lock";
  if (*done) {
    clear.join();
  } else {
    clear.detach();
  }
  lock->Leave();
}

TEST_F(Tablet, MiceAndOtherModelsAreSkipped) {
  sim::ScopedTablet scoped(1);
  // A mouse with the tablet's ids, and an unknown product, both listed before the tablet.
  class Other : public platform::hid::VirtualDevice {
   public:
    Other(uint16_t product, std::vector<uint8_t> descriptor) : product_(product), descriptor_(std::move(descriptor)) {}
    platform::hid::Attributes GetAttributes() override { return {0x0B57, product_, 1}; }
    std::vector<uint8_t> ReportDescriptor() override { return descriptor_; }
    bool OnOutputReport(const uint8_t*, size_t) override { return false; }
    bool OnFeatureReport(const uint8_t*, size_t) override {
      ++features;
      return true;
    }
    platform::hid::IoResult OnInputReport(uint8_t*, size_t, uint32_t) override {
      return platform::hid::IoResult::TimedOut;
    }
    int features = 0;

   private:
    uint16_t product_;
    std::vector<uint8_t> descriptor_;
  };
  const std::vector<uint8_t> mouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x02,
                                      0x75, 0x08, 0x95, 0x07, 0x81, 0x02, 0xC0};
  auto fakeMouse = std::make_shared<Other>(0x8420, mouse);
  auto unknown = std::make_shared<Other>(0x9999, sim::SimTablet(1).ReportDescriptor());
  platform::hid::UnregisterAllVirtual();
  platform::hid::RegisterVirtual(fakeMouse);
  platform::hid::RegisterVirtual(unknown);
  platform::hid::RegisterVirtual(scoped.tablet);
  TabletCaps caps;
  uint32_t message;
  EXPECT_EQ(PMInit(&caps, &message, nullptr), 0);
  EXPECT_EQ(fakeMouse->features, 0);
  EXPECT_EQ(unknown->features, 0);
  EXPECT_TRUE(scoped.tablet->InPenMode());
  EXPECT_EQ(PMClose(nullptr), 0);
}

class Logged : public Tablet {
 protected:
  void SetUp() override {
    Tablet::SetUp();
    tablet::log::SetFolderForTesting(work_.path().u8string());
    tablet::log::Enable(1);
  }
  void TearDown() override {
    Tablet::TearDown();
    tablet::log::Enable(0);
    tablet::log::SetFolderForTesting("");
  }
  // The texts of the log's lines, without their time stamps.
  std::vector<std::string> Lines() {
    const std::string text = tw::testing::ReadFile(work_.path() / tablet::log::kFileName);
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = text.substr(start, end - start);
      const size_t colon = line.find(':');
      out.push_back(colon == std::string::npos ? line : line.substr(colon + 1));
    }
    EXPECT_EQ(start, text.size()) << "a line without CR LF at the end";
    return out;
  }
  tw::testing::WorkDirectory work_{"tw_tablet_log", false};
};

TEST_F(Logged, NoTabletAnswersOneEverywhere) {
  sim::ScopedTablet scoped(1);
  scoped.tablet->Unplug();
  TabletCaps caps;
  uint32_t message;
  uint8_t serial[8];
  PenPacket p;
  EXPECT_EQ(PMInit(&caps, &message, nullptr), 1);
  EXPECT_EQ(PMGetSerial(&caps, &message, nullptr, serial), 1);
  EXPECT_EQ(PMClose(nullptr), 1);
  EXPECT_EQ(PMClearSig(), 1);
  EXPECT_EQ(PMPacketsGet(1, &p), 0);
  EXPECT_EQ(PMGetStatus(), 1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Failed to Find device", "Failed to open device"}));
}

// A silent tablet: every command waits out its time-out and says so.
TEST_F(Logged, UnacknowledgedCommandsTimeOut) {
  Open(1);
  tablet::Library::Instance().SetTimingForTesting(FastTiming(150));
  Sim().faults.silent = true;
  uint8_t serial[8];
  std::memset(serial, 0xEE, sizeof serial);
  TabletCaps caps;
  uint32_t message;
  EXPECT_EQ(PMGetSerial(&caps, &message, sink_->Handle(), serial), 2);
  EXPECT_EQ(serial[0], 0xEE);
  EXPECT_EQ(PMInit(&caps, &message, sink_->Handle()), 4);
  EXPECT_EQ(PMClearSig(), 4);
  EXPECT_EQ(PMClose(nullptr), 4);
  Sim().faults.silent = false;
  tablet::Library::Instance().SetTimingForTesting(FastTiming());
  EXPECT_EQ(PMClose(nullptr), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Failed to get serial, error is 0x102", "Failed to ATOP, error is 0x102",
                                               "Failed to Clear Device Screen, error is 0x102",
                                               "Failed to PTOA, error is 0x102"}));
}

// Pulled out while the reader waits: the read fails, the tablet counts as gone, and the next
// PMInit finds it again once it is back.
TEST_F(Logged, UnpluggingDuringAReadEndsTheReader) {
  Open(2);
  Sim().Unplug();
  ASSERT_TRUE(Eventually([] { return !tablet::Library::Instance().DeviceOpen(); }));
  PenPacket p;
  EXPECT_EQ(PMPacketsGet(1, &p), 0);
  EXPECT_EQ(PMClearSig(), 1);
  EXPECT_EQ(PMClose(nullptr), 1);
  Sim().Attach();
  TabletCaps caps;
  uint32_t message;
  EXPECT_EQ(PMInit(&caps, &message, sink_->Handle()), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Device is removal, error is 0x48f"}));
}

TEST_F(Logged, UnpluggedAfterSomeReportsMidStream) {
  Open(1);
  Sim().faults.unplugAfterReports = static_cast<int>(Sim().ReportsDelivered()) + 2;
  for (uint16_t i = 0; i < 5; ++i) Sim().QueueReport(Pen(0xB0, i, 3000, 0));
  ASSERT_TRUE(Eventually([] { return !tablet::Library::Instance().DeviceOpen(); }));
  int announced = 0;
  while (sink_->Next(300)) ++announced;
  EXPECT_EQ(announced, 2);
}

// A failed feature report is logged with the command type and the system's code.
TEST_F(Logged, RefusedFeatureReportsAreLogged) {
  Open(1);
  tablet::Library::Instance().SetTimingForTesting(FastTiming(150));
  auto device = Sim().shared_from_this();
  platform::hid::UnregisterVirtual(device);  // the handle stays, its calls fail
  EXPECT_EQ(PMClearSig(), 4);
  // The reader's failed read may log the removal in between.
  std::vector<std::string> lines = Lines();
  lines.erase(std::remove(lines.begin(), lines.end(), "Device is removal, error is 0x48f"), lines.end());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "cmdtype: 2, err is: 1167\n");
  EXPECT_EQ(lines[1], "Failed to Clear Device Screen, error is 0x102");
  platform::hid::RegisterVirtual(device);
  tablet::Library::Instance().SetTimingForTesting(FastTiming());
}

// Closing never waits on a reader that has already ended.
TEST_F(Tablet, CloseAndUnloadDoNotWaitForAReaderThatIsGone) {
  tablet::Library::Instance().SetTimingForTesting(FastTiming(20000));
  Open(1);
  Sim().faults.silent = true;
  tablet::Library::Instance().EndReaderForTesting();
  const auto start = steady_clock::now();
  tablet::Library::Instance().Unload();
  EXPECT_EQ(PMClose(nullptr), 1);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
  Sim().faults.silent = false;
}

TEST(TabletLog, LineFormat) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 9;
  t.tm_min = 7;
  t.tm_sec = 2;
  EXPECT_EQ(tablet::log::FormatLine(t, "Failed to ATOP", 0x102), "2024/3/5-9/7/2:Failed to ATOP, error is 0x102\r\n");
  EXPECT_EQ(tablet::log::FormatLine(t, "Failed to Find device", 0), "2024/3/5-9/7/2:Failed to Find device\r\n");
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  EXPECT_EQ(tablet::log::FormatLine(t, "x", 0xFFFFFFFF), "2024/12/31-23/59/58:x, error is 0xffffffff\r\n");
}

TEST(TabletLog, ConfigFileAndEnableDeleteAnOldLog) {
  tw::testing::WorkDirectory work("tw_tablet_config", false);
  const auto folder = work.path();
  tablet::log::SetFolderForTesting(folder.u8string());
  const auto log = folder / tablet::log::kFileName;
  std::ofstream(log) << "old";
  std::ofstream(folder / "config.ini") << "[Other]\nenable=0\n[ log ]\r\n Enable = 1 \r\n";
  tablet::log::Configure(folder.u8string());
  EXPECT_TRUE(tablet::log::Enabled());
  EXPECT_FALSE(std::filesystem::exists(log));
  tablet::log::Write("first");
  EXPECT_TRUE(std::filesystem::exists(log));
  EXPECT_EQ(PMLogEnable(1), 1);  // deleted the one just written
  EXPECT_EQ(PMLogEnable(1), 0);  // nothing left to delete
  EXPECT_EQ(PMLogEnable(0), 0);
  tablet::log::Write("dropped");
  EXPECT_FALSE(std::filesystem::exists(log));
  tablet::log::SetFolderForTesting("");
}

struct ProfileCase {
  const char* text;
  int value;
};

class Profile : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(Profile, ReadsTheLogSwitchAsWindowsDoes) {
  tw::testing::WorkDirectory work("tw_tablet_profile", false);
  const auto file = work.path() / "config.ini";
  std::ofstream(file, std::ios::binary) << GetParam().text;
  EXPECT_EQ(tablet::log::ProfileInt(file.u8string(), "LOG", "enable", 0), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Values, Profile,
                         ::testing::Values(ProfileCase{"[LOG]\nenable=1\n", 1}, ProfileCase{"[log]\nENABLE = 7x\n", 7},
                                           ProfileCase{"[LOG]\nenable=-3\n", 0}, ProfileCase{"[LOG]\nenable=\n", 0},
                                           ProfileCase{"[LOG]\n;enable=1\n", 0}, ProfileCase{"enable=1\n[LOG]\n", 0},
                                           ProfileCase{"[LOGS]\nenable=1\n", 0}, ProfileCase{"", 0}));

TEST(TabletLog, MissingConfigMeansOff) {
  tablet::log::Configure("/nonexistent-folder");
  EXPECT_FALSE(tablet::log::Enabled());
  EXPECT_EQ(tablet::log::ProfileInt("/nonexistent-folder/config.ini", "LOG", "enable", 5), 5);
}

}  // namespace
