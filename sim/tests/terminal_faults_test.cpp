// The simulated card terminal's fault controls, seen through the disk and HID handles the
// transfer library opens: lost and timed-out sends, failed reads, silent polls, zeroed reply
// starts, another identity, and unplugging.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/scsi.h"
#include "sim/card_terminal.h"
#include "sim/terminal_blocks.h"

namespace {

using sim::Bytes;
namespace blocks = sim::blocks;
namespace scsi = platform::scsi;
using platform::hid::IoResult;

constexpr uint16_t kCapacity = 100;  // two HID reports' worth

Bytes OpenRequest() {
  blocks::Request r;
  r.sequence = 7;
  r.command = blocks::kOpen;
  r.capacity = kCapacity;
  r.payload = {0, 1, 0, 2};
  return blocks::EncodeRequest(r);
}

// What a terminal without faults answers.
Bytes PlainReply() { return sim::TerminalFirmware().Handle(OpenRequest()); }

// The terminal as a disk, and a handle on it.
struct Disk {
  sim::ScopedTerminal scoped{sim::Guise::kDisk};
  scsi::Device* device = nullptr;
  uint8_t status = 0xFF;  // the target's SCSI status of the last command that ran

  Disk() {
    const std::vector<std::string> paths = scsi::DiskPaths();
    if (!paths.empty()) device = scsi::Open(paths[0]);
  }
  ~Disk() { scsi::Close(device); }
  sim::DiskTerminal& terminal() { return *scoped.disk; }
  // The vendor command that moves a block out, or (`in`) the reply back.
  scsi::Result Vendor(bool in, Bytes* data) {
    scsi::Command c;
    c.cdbLength = 16;
    c.cdb[0] = 0xFF;
    c.cdb[1] = blocks::kOpen;
    c.cdb[2] = static_cast<uint8_t>(data->size() >> 8);
    c.cdb[3] = static_cast<uint8_t>(data->size() & 0xFF);
    c.cdb[4] = in ? 0x80 : 0x00;
    std::memcpy(c.cdb + 5, "VENNICK417", 10);
    c.cdb[15] = 0xFF;
    c.direction = in ? scsi::Direction::In : scsi::Direction::Out;
    c.data = data->data();
    c.length = static_cast<uint32_t>(data->size());
    scsi::Outcome outcome;
    const scsi::Result r = device->Execute(c, &outcome);
    status = r == scsi::Result::Ok ? outcome.status : 0xFF;
    return r;
  }
};

TEST(DiskTerminalFaults, TheLinkMisbehavesAsAsked) {
  const struct {
    const char* what;
    void (*steer)(sim::TerminalFaults&);
    scsi::Result send;
    scsi::Result receive;
    size_t requestsSeen;
    bool zeroStart;
  } rows[] = {
      {"no faults", [](sim::TerminalFaults&) {}, scsi::Result::Ok, scsi::Result::Ok, 1, false},
      {"failed send", [](sim::TerminalFaults& f) { f.failSend = true; }, scsi::Result::Failed, scsi::Result::Ok, 0,
       false},
      {"failed receive", [](sim::TerminalFaults& f) { f.failReceive = true; }, scsi::Result::Ok, scsi::Result::Failed,
       1, false},
      {"zeroed start", [](sim::TerminalFaults& f) { f.zeroStart = true; }, scsi::Result::Ok, scsi::Result::Ok, 1, true},
  };
  const Bytes plain = PlainReply();
  for (const auto& r : rows) {
    Disk d;
    ASSERT_NE(d.device, nullptr) << r.what;
    r.steer(d.terminal().faults);
    Bytes request = OpenRequest();
    EXPECT_EQ(d.Vendor(false, &request), r.send) << r.what;
    EXPECT_EQ(d.terminal().firmware->requests.size(), r.requestsSeen) << r.what;
    Bytes reply(kCapacity, 0xEE);
    ASSERT_EQ(d.Vendor(true, &reply), r.receive) << r.what;
    if (r.receive != scsi::Result::Ok) continue;
    if (r.requestsSeen == 0) {
      EXPECT_EQ(d.status, 2) << r.what;  // CHECK CONDITION: no reply to give
      continue;
    }
    EXPECT_EQ(d.status, 0) << r.what;
    Bytes expected = plain;
    if (r.zeroStart) std::fill(expected.begin(), expected.begin() + 10, 0);
    EXPECT_EQ(reply, expected) << r.what;
  }
}

TEST(DiskTerminalFaults, AnotherIdentityAnswersTheInquiry) {
  Disk d;
  ASSERT_NE(d.device, nullptr);
  d.terminal().identity = {"Acme", "Other Disk", "2.5"};
  Bytes data(36, 0);
  scsi::Command c;
  c.cdbLength = 6;
  c.cdb[0] = 0x12;
  c.cdb[4] = 36;
  c.direction = scsi::Direction::In;
  c.transfer = scsi::Transfer::Buffered;
  c.data = data.data();
  c.length = 36;
  scsi::Outcome outcome;
  ASSERT_EQ(d.device->Execute(c, &outcome), scsi::Result::Ok);
  EXPECT_EQ(outcome.transferred, 36u);
  EXPECT_EQ(std::string(data.begin() + 8, data.end()), "Acme    Other Disk      2.5 ");
}

TEST(DiskTerminalFaults, UnpluggedItFailsEveryCommand) {
  Disk d;
  ASSERT_NE(d.device, nullptr);
  d.terminal().Unplug();
  EXPECT_TRUE(scsi::DiskPaths().empty());
  Bytes request = OpenRequest();
  EXPECT_EQ(d.Vendor(false, &request), scsi::Result::Failed);
  EXPECT_TRUE(d.terminal().firmware->requests.empty());
}

// The terminal as a HID device, and a handle on it.
struct Hid {
  sim::ScopedTerminal scoped{sim::Guise::kHid};
  platform::hid::Device* device = nullptr;

  Hid() {
    std::string path;
    if (platform::hid::DevicePathAt(0, &path)) device = platform::hid::Open(path);
  }
  ~Hid() { platform::hid::Close(device); }
  sim::HidTerminal& terminal() { return *scoped.hid; }
  // The block in 64-byte pieces behind report ID 0, zero-filled.
  IoResult Send(const Bytes& block) {
    for (size_t off = 0; off < block.size(); off += 64) {
      Bytes report(65, 0);
      std::memcpy(report.data() + 1, block.data() + off, std::min<size_t>(64, block.size() - off));
      const IoResult r = device->Write(report.data(), report.size(), 1000);
      if (r != IoResult::Ok) return r;
    }
    return IoResult::Ok;
  }
  // Reports already queued, without their IDs.
  std::vector<Bytes> Drain() {
    std::vector<Bytes> out;
    for (Bytes r(65); device->Read(r.data(), r.size(), 0) == IoResult::Ok;) out.emplace_back(r.begin() + 1, r.end());
    return out;
  }
};

TEST(HidTerminalFaults, TheLinkMisbehavesAsAsked) {
  const struct {
    const char* what;
    void (*steer)(sim::TerminalFaults&);
    IoResult send;
    unsigned zeroReports;  // before each reply
    bool zeroStart;
  } rows[] = {
      {"no faults", [](sim::TerminalFaults&) {}, IoResult::Ok, 0, false},
      {"failed send", [](sim::TerminalFaults& f) { f.failSend = true; }, IoResult::Failed, 0, false},
      {"send times out", [](sim::TerminalFaults& f) { f.sendTimesOut = true; }, IoResult::TimedOut, 0, false},
      {"silent polls", [](sim::TerminalFaults& f) { f.silentPolls = 3; }, IoResult::Ok, 3, false},
      {"zeroed start", [](sim::TerminalFaults& f) { f.zeroStart = true; }, IoResult::Ok, 0, true},
  };
  Bytes plain = PlainReply();
  plain.resize(128, 0);  // as it fills two reports
  for (const auto& r : rows) {
    Hid h;
    ASSERT_NE(h.device, nullptr) << r.what;
    r.steer(h.terminal().faults);
    Bytes expected = plain;
    if (r.zeroStart) std::fill(expected.begin(), expected.begin() + 10, 0);
    std::vector<Bytes> reports(r.zeroReports, Bytes(64, 0));
    reports.emplace_back(expected.begin(), expected.begin() + 64);
    reports.emplace_back(expected.begin() + 64, expected.end());
    for (int round = 0; round < 2; ++round) {  // the faults hold for every request
      EXPECT_EQ(h.Send(OpenRequest()), r.send) << r.what;
      if (r.send != IoResult::Ok) {
        EXPECT_TRUE(h.terminal().firmware->requests.empty()) << r.what;
        EXPECT_TRUE(h.terminal().OutputReports().empty()) << r.what;
        EXPECT_TRUE(h.Drain().empty()) << r.what;
        continue;
      }
      EXPECT_EQ(h.Drain(), reports) << r.what << " " << round;
    }
  }
}

TEST(HidTerminalFaults, AnotherVersionAndUnplugging) {
  Hid h;
  ASSERT_NE(h.device, nullptr);
  h.terminal().versionNumber = 0x0200;
  platform::hid::Attributes a;
  ASSERT_TRUE(h.device->GetAttributes(&a));
  EXPECT_EQ(a.versionNumber, 0x0200);

  h.terminal().Unplug();
  std::string path;
  EXPECT_FALSE(platform::hid::DevicePathAt(0, &path));
  EXPECT_EQ(h.Send(OpenRequest()), IoResult::Failed);
  Bytes report(65);
  EXPECT_EQ(h.device->Read(report.data(), report.size(), 0), IoResult::Failed);
  EXPECT_TRUE(h.terminal().firmware->requests.empty());
}

}  // namespace
