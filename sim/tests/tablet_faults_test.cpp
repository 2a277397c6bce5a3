// The simulated tablet's fault controls and script, seen through the HID handle the tablet
// library opens: mangled and unacknowledged reports, unplugging, and the steps ATOP starts.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/hid.h"
#include "platform/hid_virtual.h"
#include "sim/tablet.h"

namespace {

using platform::hid::IoResult;
using sim::Report;

// Model 1 takes three-byte feature reports with ID 5.
const Report kAtop = {0x05, 0x11, 0x00};
const Report kPtoa = {0x05, 0x22, 0x00};
const Report kSerial = {0x05, 0x88, 0x00};
constexpr uint32_t kNotConnected = 1167;

// A fresh tablet and a handle on it, found and opened as the library does.
struct Handle {
  sim::ScopedTablet scoped;
  platform::hid::Device* device = nullptr;
  std::unique_ptr<platform::Event> stop = platform::Event::CreateAutoReset();

  Handle() {
    std::string path;
    if (platform::hid::DevicePathAt(0, &path)) device = platform::hid::Open(path);
  }
  ~Handle() { platform::hid::Close(device); }
  sim::SimTablet& tablet() { return *scoped.tablet; }
  bool Send(const Report& feature) { return device->SetFeature(feature.data(), feature.size()); }
  // The timed read; 0 takes only a report already queued.
  IoResult Read(Report* r, uint32_t timeoutMs = 0) {
    r->assign(8, 0xEE);
    return device->Read(r->data(), r->size(), timeoutMs);
  }
  // The library's read: no time-out, the report cut to what arrived.
  IoResult ReadOrStop(Report* r) {
    r->assign(8, 0xEE);
    size_t received = 0;
    const IoResult result = device->ReadOrStop(r->data(), r->size(), &received, *stop);
    r->resize(received);
    return result;
  }
  // Everything queued now.
  std::vector<Report> Drain() {
    std::vector<Report> out;
    for (Report r; Read(&r) == IoResult::Ok;) out.push_back(r);
    return out;
  }
};

IoResult TimedRead(Handle& h, Report* r) { return h.Read(r, 5000); }
IoResult StoppableRead(Handle& h, Report* r) { return h.ReadOrStop(r); }
const struct {
  const char* name;
  IoResult (*read)(Handle&, Report*);
} kReadKinds[] = {{"timed read", TimedRead}, {"stoppable read", StoppableRead}};

TEST(TabletFaults, InputReportsAreCutOrRelabelledAsAsked) {
  const struct {
    const char* what;
    bool shortReads;
    bool otherReportId;
    size_t length;
    uint8_t id;
  } rows[] = {
      {"as sent", false, false, 8, 0x02},
      {"short reads", true, false, 5, 0x02},
      {"another report ID", false, true, 8, 0x03},
      {"both", true, true, 5, 0x03},
  };
  for (const auto& r : rows) {
    Handle h;
    ASSERT_NE(h.device, nullptr);
    h.tablet().faults.shortReads = r.shortReads;
    h.tablet().faults.otherReportId = r.otherReportId;
    const Report sent = h.tablet().KeyReport(sim::kConfirmKey);
    h.tablet().QueueReport(sent);
    Report got;
    ASSERT_EQ(h.ReadOrStop(&got), IoResult::Ok) << r.what;
    ASSERT_EQ(got.size(), r.length) << r.what;
    EXPECT_EQ(got[0], r.id) << r.what;
    EXPECT_EQ(Report(got.begin() + 1, got.end()), Report(sent.begin() + 1, sent.begin() + r.length)) << r.what;
    EXPECT_EQ(h.tablet().ReportsDelivered(), 1u) << r.what;
  }
}

TEST(TabletFaults, ASilentTabletAcknowledgesNothing) {
  const struct {
    const char* what;
    const Report& command;
    bool silent;
    std::vector<Report> replies;
  } rows[] = {
      {"pen mode", kAtop, false, {{0x02, 0x55, 0x05, 0x11, 0x70, 0xFF, 0xFF, 0xFF}}},
      {"serial number", kSerial, false, {{0x02, 0x88, 'T', 'W', '0', '0', '4', '2'}}},
      {"pen mode, silent", kAtop, true, {}},
      {"serial number, silent", kSerial, true, {}},
  };
  for (const auto& r : rows) {
    Handle h;
    ASSERT_NE(h.device, nullptr);
    h.tablet().faults.silent = r.silent;
    EXPECT_TRUE(h.Send(r.command)) << r.what;  // taken all the same
    EXPECT_EQ(h.Drain(), r.replies) << r.what;
    EXPECT_EQ(h.tablet().InPenMode(), &r.command == &kAtop) << r.what;  // silent, not deaf
  }
}

TEST(TabletFaults, UnpluggedByTheReadAfterSoManyReports) {
  for (const auto& kind : kReadKinds) {
    Handle h;
    ASSERT_NE(h.device, nullptr);
    h.tablet().faults.unplugAfterReports = 2;
    for (int i = 0; i < 3; ++i) h.tablet().PressKey(sim::kClearKey);
    Report r;
    EXPECT_EQ(kind.read(h, &r), IoResult::Ok) << kind.name;
    EXPECT_EQ(kind.read(h, &r), IoResult::Ok) << kind.name;
    EXPECT_EQ(kind.read(h, &r), IoResult::Failed) << kind.name;  // though a report waits
    EXPECT_EQ(platform::hid::VirtualCount(), 0) << kind.name;
    EXPECT_FALSE(h.Send(kAtop)) << kind.name;
    EXPECT_EQ(platform::hid::LastError(), kNotConnected) << kind.name;
  }
}

TEST(TabletFaults, UnplugFailsAWaitingReadAndReplugServesANewHandle) {
  for (const auto& kind : kReadKinds) {
    Handle h;
    ASSERT_NE(h.device, nullptr);
    Report r;
    auto waiting = std::async(std::launch::async, [&] { return kind.read(h, &r); });
    // Time for the read to start waiting; on a slow machine it may start after the unplug,
    // which it must fail all the same.
    waiting.wait_for(std::chrono::milliseconds(200));
    h.tablet().Unplug();
    const bool ended = waiting.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!ended) h.stop->Set();  // let the read go rather than hang
    ASSERT_TRUE(ended) << kind.name;
    EXPECT_EQ(waiting.get(), IoResult::Failed) << kind.name;
    std::string path;
    EXPECT_FALSE(platform::hid::DevicePathAt(0, &path)) << kind.name;

    h.tablet().Attach();
    ASSERT_TRUE(platform::hid::DevicePathAt(0, &path)) << kind.name;
    platform::hid::Device* again = platform::hid::Open(path);
    ASSERT_NE(again, nullptr) << kind.name;
    EXPECT_TRUE(again->SetFeature(kSerial.data(), kSerial.size())) << kind.name;
    platform::hid::Close(again);
  }
}

TEST(TabletScript, StepsAndPlaybackComeInOrder) {
  const sim::SimTablet model1;
  const Report ack = {0x02, 0x55, 0x05, 0x11, 0x70, 0xFF, 0xFF, 0xFF};
  const Report confirm = model1.KeyReport(sim::kConfirmKey);
  const Report clear = model1.KeyReport(sim::kClearKey);
  const struct {
    const char* what;
    std::vector<std::string> script;
    std::vector<Report> reports;
  } rows[] = {
      {"confirm", {"confirm"}, {ack, confirm}},
      {"clear", {"clear"}, {ack, clear}},
      {"a pause between", {"clear", "wait=20", "confirm"}, {ack, clear, confirm}},
  };
  for (const auto& r : rows) {
    Handle h;
    ASSERT_NE(h.device, nullptr);
    h.tablet().script = r.script;
    ASSERT_TRUE(h.Send(kAtop)) << r.what;
    ASSERT_TRUE(h.tablet().WaitIdle(20000)) << r.what;
    EXPECT_EQ(h.Drain(), r.reports) << r.what;
  }

  // A stroke ends with a lift report at its last point; the path ends out of range.
  Handle h;
  const std::vector<sim::PenPoint> path = {{0.1, 0.2, 300}, {0.2, 0.3, 500}, {0.4, 0.4, 0}};
  h.tablet().Play(path, std::chrono::microseconds(100));
  ASSERT_TRUE(h.tablet().WaitIdle(20000));
  h.tablet().PressKey(sim::kConfirmKey);
  sim::SimTablet& t = h.tablet();
  EXPECT_EQ(h.Drain(), (std::vector<Report>{t.PenReport(path[0]), t.PenReport(path[1]), t.PenReport(path[1], 0xA0),
                                            t.PenReport(path[2]), t.PenReport(path[2], 0xE0), confirm}));
}

TEST(TabletScript, PenUpEndsAWaitingScript) {
  Handle h;
  ASSERT_NE(h.device, nullptr);
  h.tablet().script = {"wait=600000", "confirm"};
  ASSERT_TRUE(h.Send(kAtop));
  EXPECT_FALSE(h.tablet().WaitIdle(100));  // still waiting
  ASSERT_TRUE(h.Send(kPtoa));
  EXPECT_TRUE(h.tablet().WaitIdle(20000));
  EXPECT_FALSE(h.tablet().InPenMode());
  const std::vector<Report> acks = h.Drain();
  ASSERT_EQ(acks.size(), 2u);  // ATOP's and PTOA's, no key
  EXPECT_EQ(acks[1][3], 0x22);
}

}  // namespace
