// The simulated reader's fault controls, which the reader library's and the service's tests
// trust to mean what they say: the firmware's forced status words and scripted replies, and
// the HID link's silence, failed writes, stray and stale reports, delay and unplugging.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/hid_virtual.h"
#include "sim/reader.h"

using sim::Bytes;

namespace {

using platform::hid::IoResult;

// Find card (0x20 0x01), framed as the host sends it.
Bytes FindCard() { return {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x20, 0x01, 0x22}; }
constexpr size_t kSw3 = 9;  // preamble, length, SW1, SW2, then SW3

TEST(ReaderFirmwareControls, StatusWordsAndScriptedReplies) {
  const Bytes raw = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x04, 0x00, 0x00, 0x41, 0x41};
  const struct {
    const char* what;
    void (*steer)(sim::ReaderFirmware&);
    uint8_t sw3;
  } rows[] = {
      {"a card lies there", [](sim::ReaderFirmware&) {}, 0x9F},
      {"no card", [](sim::ReaderFirmware& f) { f.cardPresent = false; }, 0x80},
      {"every reply forced", [](sim::ReaderFirmware& f) { f.forcedSw3 = 0x41; }, 0x41},
      {"this command forced", [](sim::ReaderFirmware& f) { f.sw3For[0x2001] = 0x33; }, 0x33},
      {"another command forced", [](sim::ReaderFirmware& f) { f.sw3For[0x2002] = 0x33; }, 0x9F},
  };
  for (const auto& r : rows) {
    sim::ReaderFirmware firmware;
    r.steer(firmware);
    const Bytes reply = firmware.Handle(FindCard());
    ASSERT_GT(reply.size(), kSw3) << r.what;
    EXPECT_EQ(reply[kSw3], r.sw3) << r.what;
  }
  sim::ReaderFirmware firmware;
  firmware.scriptedReplies.push_back(raw);
  EXPECT_EQ(firmware.Handle(FindCard()), raw);         // taken as it stands, once
  EXPECT_EQ(firmware.Handle(FindCard())[kSw3], 0x9F);  // then the firmware's own again
  EXPECT_EQ(firmware.requests.size(), 2u);
}

// One request through the HID link; then the reads the host would make.
struct Link {
  std::shared_ptr<sim::HidReader> reader = std::make_shared<sim::HidReader>();
  bool Send() {
    Bytes report(65, 0);
    const Bytes frame = FindCard();
    std::memcpy(report.data() + 1, frame.data(), frame.size());
    return reader->OnOutputReport(report.data(), report.size());
  }
  IoResult Read(Bytes* report, uint32_t timeoutMs = 1000) {
    report->assign(65, 0xEE);
    return reader->OnInputReport(report->data(), report->size(), timeoutMs);
  }
};

TEST(HidReaderFaults, TheLinkMisbehavesAsAsked) {
  Bytes report;
  {
    Link l;
    l.reader->faults.failWrites = true;
    EXPECT_FALSE(l.Send());
  }
  {
    Link l;
    l.reader->faults.silent = true;
    ASSERT_TRUE(l.Send());
    EXPECT_EQ(l.Read(&report, 20), IoResult::TimedOut);
  }
  {
    Link l;
    l.reader->faults.zeroReports = 2;
    l.reader->faults.zeroReportLastByte = 0x5A;
    l.reader->faults.staleReports = 1;
    ASSERT_TRUE(l.Send());
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(l.Read(&report), IoResult::Ok);
      EXPECT_EQ(Bytes(report.begin(), report.end() - 1), Bytes(64, 0x00)) << i;
      EXPECT_EQ(report[64], 0x5A);
    }
    for (int copy = 0; copy < 2; ++copy) {  // the reply, and its stale copy
      ASSERT_EQ(l.Read(&report), IoResult::Ok);
      EXPECT_EQ(report[1], 0xAA) << copy;
      EXPECT_EQ(report[1 + kSw3], 0x9F) << copy;
    }
    EXPECT_EQ(l.Read(&report, 20), IoResult::TimedOut);
  }
  {
    Link l;
    l.reader->faults.delayMs = 300;
    ASSERT_TRUE(l.Send());
    EXPECT_EQ(l.Read(&report, 20), IoResult::TimedOut);  // not yet
    EXPECT_EQ(l.Read(&report, 5000), IoResult::Ok);
  }
  {
    Link l;
    platform::hid::RegisterVirtual(l.reader);
    const int before = platform::hid::VirtualCount();
    l.reader->faults.unplugAfterReports = 0;
    ASSERT_TRUE(l.Send());
    EXPECT_EQ(l.Read(&report), IoResult::Failed);
    EXPECT_EQ(platform::hid::VirtualCount(), before - 1);
  }
}

}  // namespace
