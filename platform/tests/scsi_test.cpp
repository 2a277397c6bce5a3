#include "platform/scsi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/scsi_virtual.h"
#include "platform/sim.h"

namespace platform::scsi {
namespace {

using Handle = std::unique_ptr<Device, void (*)(Device*)>;

Command Inquiry(uint8_t* data, uint32_t length) {
  Command c;
  c.cdb[0] = 0x12;
  c.cdb[4] = static_cast<uint8_t>(length);
  c.cdbLength = 6;
  c.senseLength = 24;
  c.direction = Direction::In;
  c.transfer = Transfer::Buffered;
  c.data = data;
  c.length = length;
  c.timeoutSeconds = 3;
  return c;
}

TEST(ScsiCommand, ValidityRules) {
  uint8_t data[8] = {};
  const Command good = Inquiry(data, sizeof data);
  EXPECT_TRUE(Valid(good));
  const struct {
    const char* what;
    void (*change)(Command&);
    bool valid;
  } cases[] = {
      {"no CDB", [](Command& c) { c.cdbLength = 0; }, false},
      {"CDB of 16", [](Command& c) { c.cdbLength = 16; }, true},
      {"CDB of 17", [](Command& c) { c.cdbLength = 17; }, false},
      {"sense of 32", [](Command& c) { c.senseLength = 32; }, true},
      {"sense of 33", [](Command& c) { c.senseLength = 33; }, false},
      {"data without a direction", [](Command& c) { c.direction = Direction::None; }, false},
      {"a direction without data", [](Command& c) { c.length = 0; }, false},
      {"no transfer at all", [](Command& c) { c.direction = Direction::None, c.length = 0, c.data = nullptr; }, true},
      {"a length without a buffer", [](Command& c) { c.data = nullptr; }, false},
      {"buffered beyond its room", [](Command& c) { c.length = kMaxBuffered + 1; }, false},
      {"direct beyond the buffered room",
       [](Command& c) { c.length = kMaxBuffered + 1, c.transfer = Transfer::Direct; }, true},
  };
  for (const auto& k : cases) {
    Command c = good;
    k.change(c);
    EXPECT_EQ(Valid(c), k.valid) << k.what;
  }
}

// A target that fills In data with a counter and keeps what it was sent.
class Target final : public VirtualTarget {
 public:
  Result OnCommand(const Command& c, Outcome* out) override {
    commands.push_back(c);
    if (c.direction == Direction::Out) sent.assign(c.data, c.data + c.length);
    if (c.direction == Direction::In) {
      for (uint32_t i = 0; i < c.length; ++i) c.data[i] = static_cast<uint8_t>(i);
    }
    out->status = status;
    out->senseLength = kMaxSense;  // more than asked for: the handle keeps what was asked
    std::memset(out->sense, 0x70, sizeof out->sense);
    out->transferred = c.length + 100;
    return result;
  }
  std::vector<Command> commands;
  std::vector<uint8_t> sent;
  uint8_t status = 0;
  Result result = Result::Ok;
};

class ScsiVirtual : public ::testing::Test {
 protected:
  void SetUp() override {
    wasOn_ = SimulationEnabled();
    SetSimulationForTesting(true);
    UnregisterAllVirtual();
    RegisterVirtual(first_);
    RegisterVirtual(second_);
  }
  void TearDown() override {
    UnregisterAllVirtual();
    SetSimulationForTesting(wasOn_);
  }
  Handle OpenAt(size_t index) {
    const std::vector<std::string> paths = DiskPaths();
    return {index < paths.size() ? Open(paths[index]) : nullptr, Close};
  }

  bool wasOn_ = false;
  std::shared_ptr<Target> first_ = std::make_shared<Target>();
  std::shared_ptr<Target> second_ = std::make_shared<Target>();
};

TEST_F(ScsiVirtual, ListsTargetsInOrderAndCommandsReachTheirOwn) {
  EXPECT_EQ(VirtualCount(), 2);
  ASSERT_EQ(DiskPaths().size(), 2u);
  Handle d = OpenAt(1);
  ASSERT_NE(d, nullptr);
  uint8_t data[36] = {};
  Outcome out;
  ASSERT_EQ(d->Execute(Inquiry(data, sizeof data), &out), Result::Ok);
  EXPECT_TRUE(first_->commands.empty());
  ASSERT_EQ(second_->commands.size(), 1u);
  EXPECT_EQ(second_->commands[0].cdb[0], 0x12);
  EXPECT_EQ(data[35], 35);
  EXPECT_EQ(out.senseLength, 24);
  EXPECT_EQ(out.transferred, 36u);

  uint8_t block[300];
  for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<uint8_t>(i * 7);
  Command write;
  write.cdb[0] = 0xFF;
  write.cdbLength = 16;
  write.direction = Direction::Out;
  write.data = block;
  write.length = sizeof block;
  second_->status = 2;
  ASSERT_EQ(d->Execute(write, &out), Result::Ok);
  EXPECT_EQ(out.status, 2);
  EXPECT_EQ(second_->sent, std::vector<uint8_t>(block, block + sizeof block));
}

TEST_F(ScsiVirtual, RefusesBadCommandsAndFailsWhatTheTargetFails) {
  Handle d = OpenAt(0);
  ASSERT_NE(d, nullptr);
  uint8_t data[8] = {};
  Command bad = Inquiry(data, sizeof data);
  bad.cdbLength = 0;
  Outcome out;
  out.status = 0x42;
  EXPECT_EQ(d->Execute(bad, &out), Result::Refused);
  EXPECT_EQ(d->Execute(Inquiry(data, sizeof data), nullptr), Result::Refused);
  EXPECT_TRUE(first_->commands.empty());
  for (Result r : {Result::Failed, Result::TimedOut}) {
    first_->result = r;
    EXPECT_EQ(d->Execute(Inquiry(data, sizeof data), &out), r);
    EXPECT_EQ(out.status, 0x42);  // untouched
  }
}

TEST_F(ScsiVirtual, UnpluggedTargetFailsOpenHandlesAndLeavesTheList) {
  Handle d = OpenAt(0);
  const std::string secondPath = DiskPaths().at(1);
  UnregisterVirtual(first_);
  uint8_t data[8] = {};
  Outcome out;
  EXPECT_EQ(d->Execute(Inquiry(data, sizeof data), &out), Result::Failed);
  EXPECT_EQ(DiskPaths(), std::vector<std::string>{secondPath});
  EXPECT_EQ(Open("sim:scsi:999999"), nullptr);
  EXPECT_EQ(Open("/dev/sg0"), nullptr);  // no system disk while simulation is on
}

TEST(ScsiSystem, NoDiskOpensFromMissingPathsAndTheListEnds) {
  const bool wasOn = SimulationEnabled();
  SetSimulationForTesting(false);
  auto target = std::make_shared<Target>();
  RegisterVirtual(target);
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& path : DiskPaths()) EXPECT_EQ(path.rfind("sim:", 0), std::string::npos) << path;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // ends, not hangs
  EXPECT_EQ(Open(""), nullptr);
#ifdef _WIN32
  EXPECT_EQ(Open("\\\\?\\nonexistent-disk"), nullptr);
#else
  EXPECT_EQ(Open("/dev/nonexistent-sg"), nullptr);
#endif
  UnregisterAllVirtual();
  SetSimulationForTesting(wasOn);
}

}  // namespace
}  // namespace platform::scsi
