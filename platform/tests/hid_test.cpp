#include "platform/hid.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid_virtual.h"
#include "platform/sim.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace platform::hid {
namespace {

constexpr size_t kReportSize = 65;
using Report = std::vector<uint8_t>;

Report MakeReport(uint8_t first) {
  Report r(kReportSize, 0);
  for (size_t i = 1; i < r.size(); ++i) r[i] = static_cast<uint8_t>(first + i - 1);
  return r;
}

class FakeDevice final : public VirtualDevice {
 public:
  FakeDevice(uint16_t vendor, uint16_t product, uint16_t version) {
    attributes_.vendorId = vendor;
    attributes_.productId = product;
    attributes_.versionNumber = version;
  }

  Attributes GetAttributes() override { return attributes_; }

  bool OnOutputReport(const uint8_t* report, size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.emplace_back(report, report + size);
    return true;
  }

  IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !pending_.empty(); })) {
      return IoResult::TimedOut;
    }
    const Report next = pending_.front();
    pending_.pop_front();
    if (size < next.size()) return IoResult::Failed;
    std::memcpy(report, next.data(), next.size());
    return IoResult::Ok;
  }

  void OnFlushInput() override {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
  }

  void Queue(const Report& r) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(r);
    }
    ready_.notify_all();
  }

  std::vector<Report> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  Attributes attributes_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Report> pending_;
  std::vector<Report> received_;
};

class HidSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    wasOn_ = SimulationEnabled();
    SetSimulationForTesting(false);
  }
  void TearDown() override { SetSimulationForTesting(wasOn_); }
  bool wasOn_ = false;
};

int WalkToEnd() {
  std::string path;
  int end = 0;
  for (; end < kMaxInterfaceIndex; ++end) {
    path.clear();
    if (!DevicePathAt(end, &path)) break;
    EXPECT_FALSE(path.empty()) << "index " << end;
  }
  return end;
}

// A developer machine may have HID devices; only the shape of the enumeration is checked.
TEST_F(HidSystem, EnumerationEndsAndStaysEnded) {
  std::string path;
  EXPECT_FALSE(DevicePathAt(-1, &path));
  // Wine's bus driver may still be adding its virtual devices when the first program of a
  // session runs: wait until two walks agree before checking that the end stays put.
  int end = WalkToEnd();
  for (int tries = 0; tries < 20; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const int again = WalkToEnd();
    if (again == end) break;
    end = again;
  }
  ASSERT_LT(end, kMaxInterfaceIndex);
  for (int i : {end, end + 1, end + 2, end + 10, kMaxInterfaceIndex - 1}) {
    EXPECT_FALSE(DevicePathAt(i, &path)) << "index " << i;
  }
  EXPECT_FALSE(DevicePathAt(0, nullptr));
}

TEST_F(HidSystem, OpeningMissingPathsGivesNull) {
  EXPECT_EQ(Open(""), nullptr);
#ifdef _WIN32
  EXPECT_EQ(Open("\\\\?\\nonexistent"), nullptr);
  EXPECT_EQ(Open("\\\\?\\hid#vid_0000&pid_0000#0#{4d1e55b2-f16f-11cf-88cb-001111000030}"), nullptr);
#else
  EXPECT_EQ(Open("/dev/nonexistent-hidraw"), nullptr);
#endif
}

// Wine offers a virtual mouse and keyboard; real machines may offer devices this user may not
// open. Only reads are tried, so nothing is sent to real hardware.
TEST_F(HidSystem, DevicesThatOpenAnswerAttributesAndReadsEnd) {
  std::string path;
  for (int i = 0; i < kMaxInterfaceIndex && DevicePathAt(i, &path); ++i) {
    std::unique_ptr<Device, void (*)(Device*)> d(Open(path), Close);
    if (d == nullptr) continue;
    Attributes a;
    EXPECT_TRUE(d->GetAttributes(&a)) << path;
    // Every HID device has a top-level collection and some input report.
    Caps caps;
    if (d->GetCaps(&caps)) {
      EXPECT_NE(caps.usagePage, 0) << path;
      EXPECT_GT(caps.inputReportLength, 1) << path;
    }
    // Reports of other sizes may fail; what matters is that reads end and a timed-out read
    // leaves the handle usable.
    IoResult previous = IoResult::Ok;
    for (int attempt = 0; attempt < 2; ++attempt) {
      Report buffer(kReportSize, 0);
      const auto start = std::chrono::steady_clock::now();
      const IoResult r = d->Read(buffer.data(), buffer.size(), 30);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << path;  // ends, not hangs
      if (previous == IoResult::TimedOut) {
        EXPECT_NE(r, IoResult::Failed) << path;
      }
      previous = r;
    }
  }
}

TEST_F(HidSystem, VirtualPathsAreNotOfferedWhileSimulationIsOff) {
  auto device = std::make_shared<FakeDevice>(0x1234, 0x5678, 0x0100);
  RegisterVirtual(device);
  std::string path;
  for (int i = 0; DevicePathAt(i, &path) && i < kMaxInterfaceIndex; ++i) {
    EXPECT_EQ(path.rfind("sim:", 0), std::string::npos) << path;
  }
  UnregisterAllVirtual();
}

class HidVirtual : public ::testing::Test {
 protected:
  void SetUp() override {
    wasOn_ = SimulationEnabled();
    SetSimulationForTesting(true);
    UnregisterAllVirtual();
    first_ = std::make_shared<FakeDevice>(0x0400, 0xC35A, 0x0101);
    second_ = std::make_shared<FakeDevice>(0x10C4, 0x8468, 0x0200);
    RegisterVirtual(first_);
    RegisterVirtual(second_);
  }
  void TearDown() override {
    UnregisterAllVirtual();
    SetSimulationForTesting(wasOn_);
  }

  std::unique_ptr<Device, void (*)(Device*)> OpenAt(int index) {
    std::string path;
    Device* d = DevicePathAt(index, &path) ? Open(path) : nullptr;
    return {d, Close};
  }

  bool wasOn_ = false;
  std::shared_ptr<FakeDevice> first_;
  std::shared_ptr<FakeDevice> second_;
};

TEST_F(HidVirtual, EnumeratesRegisteredDevicesInOrder) {
  EXPECT_EQ(VirtualCount(), 2);
  std::string a, b, c;
  ASSERT_TRUE(DevicePathAt(0, &a));
  ASSERT_TRUE(DevicePathAt(1, &b));
  EXPECT_FALSE(a.empty());
  EXPECT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_FALSE(DevicePathAt(2, &c));
  EXPECT_FALSE(DevicePathAt(-1, &c));
}

TEST_F(HidVirtual, AttributesComeFromTheRegisteredDevice) {
  auto d0 = OpenAt(0);
  auto d1 = OpenAt(1);
  ASSERT_NE(d0, nullptr);
  ASSERT_NE(d1, nullptr);
  Attributes a;
  ASSERT_TRUE(d0->GetAttributes(&a));
  EXPECT_EQ(a.vendorId, 0x0400);
  EXPECT_EQ(a.productId, 0xC35A);
  EXPECT_EQ(a.versionNumber, 0x0101);
  ASSERT_TRUE(d1->GetAttributes(&a));
  EXPECT_EQ(a.vendorId, 0x10C4);
  EXPECT_EQ(a.productId, 0x8468);
  EXPECT_EQ(a.versionNumber, 0x0200);
  EXPECT_FALSE(d0->GetAttributes(nullptr));
}

TEST_F(HidVirtual, SystemPathsDoNotOpenWhileSimulationIsOn) {
  EXPECT_EQ(Open(""), nullptr);
  EXPECT_EQ(Open("/dev/hidraw0"), nullptr);
  EXPECT_EQ(Open("\\\\?\\hid#vid_0400&pid_c35a"), nullptr);
  EXPECT_EQ(Open("sim:hid:999999"), nullptr);
}

TEST_F(HidVirtual, OutputReportsReachTheDevice) {
  auto d = OpenAt(1);
  ASSERT_NE(d, nullptr);
  const Report one = MakeReport(0x10);
  const Report two = MakeReport(0x80);
  EXPECT_TRUE(d->SetOutputReport(one.data(), one.size()));
  EXPECT_EQ(d->Write(two.data(), two.size(), 100), IoResult::Ok);
  const std::vector<Report> got = second_->Received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], one);
  EXPECT_EQ(got[1], two);
  EXPECT_TRUE(first_->Received().empty());
}

TEST_F(HidVirtual, ReadsReturnQueuedReportsThenTimeOut) {
  auto d = OpenAt(0);
  ASSERT_NE(d, nullptr);
  const Report one = MakeReport(0x01);
  const Report two = MakeReport(0x40);
  const Report three = MakeReport(0x90);
  first_->Queue(one);
  first_->Queue(two);
  first_->Queue(three);
  Report buffer(kReportSize, 0xEE);
  ASSERT_EQ(d->Read(buffer.data(), buffer.size(), 100), IoResult::Ok);
  EXPECT_EQ(buffer, one);
  ASSERT_EQ(d->Read(buffer.data(), buffer.size(), 100), IoResult::Ok);
  EXPECT_EQ(buffer, two);
  ASSERT_TRUE(d->GetInputReport(buffer.data(), buffer.size()));
  EXPECT_EQ(buffer, three);
  EXPECT_EQ(d->Read(buffer.data(), buffer.size(), 20), IoResult::TimedOut);
  EXPECT_FALSE(d->GetInputReport(buffer.data(), buffer.size()));

  first_->Queue(one);
  first_->Queue(two);
  EXPECT_TRUE(d->FlushInput());
  EXPECT_EQ(d->Read(buffer.data(), buffer.size(), 0), IoResult::TimedOut);
}

TEST_F(HidVirtual, UnpluggedDeviceFailsEveryCallOnOpenHandles) {
  std::string secondPath;
  ASSERT_TRUE(DevicePathAt(1, &secondPath));
  auto d0 = OpenAt(0);
  auto d1 = OpenAt(1);
  ASSERT_NE(d0, nullptr);
  ASSERT_NE(d1, nullptr);
  first_->Queue(MakeReport(0x01));

  UnregisterVirtual(first_);
  EXPECT_EQ(VirtualCount(), 1);
  Report buffer(kReportSize, 0);
  const Report out = MakeReport(0x20);
  Attributes a;
  EXPECT_FALSE(d0->GetAttributes(&a));
  EXPECT_FALSE(d0->SetOutputReport(out.data(), out.size()));
  EXPECT_FALSE(d0->GetInputReport(buffer.data(), buffer.size()));
  EXPECT_EQ(d0->Write(out.data(), out.size(), 100), IoResult::Failed);
  EXPECT_EQ(d0->Read(buffer.data(), buffer.size(), 100), IoResult::Failed);
  EXPECT_TRUE(first_->Received().empty());

  // The remaining device moves up, keeps its path, and its open handle keeps working.
  std::string path;
  ASSERT_TRUE(DevicePathAt(0, &path));
  EXPECT_EQ(path, secondPath);
  EXPECT_FALSE(DevicePathAt(1, &path));
  ASSERT_TRUE(d1->GetAttributes(&a));
  EXPECT_EQ(a.vendorId, 0x10C4);
  EXPECT_EQ(d1->Write(out.data(), out.size(), 100), IoResult::Ok);

  UnregisterVirtual(second_);
  EXPECT_EQ(VirtualCount(), 0);
  EXPECT_FALSE(DevicePathAt(0, &path));
  EXPECT_EQ(d1->Write(out.data(), out.size(), 100), IoResult::Failed);
  EXPECT_EQ(Open(secondPath), nullptr);
}

// A device whose reads follow a script, answering at once; it records what each read and
// write was allowed to wait.
class ScriptedDevice final : public VirtualDevice {
 public:
  Attributes GetAttributes() override { return {}; }
  bool OnOutputReport(const uint8_t*, size_t) override { return true; }
  IoResult OnOutputReportWithin(const uint8_t*, size_t, uint32_t timeoutMs) override {
    writeTimeouts.push_back(timeoutMs);
    return writeResult;
  }
  IoResult OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    readTimeouts.push_back(timeoutMs);
    if (script.empty()) return IoResult::Failed;
    const IoResult r = script.front();
    script.pop_front();
    if (r == IoResult::Ok) std::memset(report, 0x5A, size);
    return r;
  }
  std::deque<IoResult> script;
  IoResult writeResult = IoResult::Ok;
  std::vector<uint32_t> readTimeouts, writeTimeouts;
};

TEST_F(HidVirtual, ReadWithRetriesTriesUpToItsCountWithItsTimeOut) {
  const struct {
    std::deque<IoResult> script;
    IoResult result;
    size_t tries;
  } cases[] = {
      {{IoResult::Ok}, IoResult::Ok, 1},
      {{IoResult::TimedOut, IoResult::Failed, IoResult::Ok}, IoResult::Ok, 3},
      {{IoResult::TimedOut, IoResult::TimedOut, IoResult::TimedOut, IoResult::Ok}, IoResult::TimedOut, 3},
      {{IoResult::Failed, IoResult::Failed, IoResult::Failed}, IoResult::Failed, 3},
  };
  for (const auto& c : cases) {
    auto device = std::make_shared<ScriptedDevice>();
    device->script = c.script;
    RegisterVirtual(device);
    std::string path;
    ASSERT_TRUE(DevicePathAt(VirtualCount() - 1, &path));
    std::unique_ptr<Device, void (*)(Device*)> d(Open(path), Close);
    Report buffer(kReportSize, 0);
    EXPECT_EQ(ReadWithRetries(d.get(), buffer.data(), buffer.size(), ReadRetries{}), c.result);
    EXPECT_EQ(device->readTimeouts, std::vector<uint32_t>(c.tries, 1000));
    EXPECT_EQ(buffer[1], c.result == IoResult::Ok ? 0x5A : 0);
    UnregisterVirtual(device);
  }
  Report buffer(kReportSize, 0);
  EXPECT_EQ(ReadWithRetries(nullptr, buffer.data(), buffer.size(), ReadRetries{}), IoResult::Failed);
}

TEST_F(HidVirtual, WritesCarryTheirTimeOutToTheDevice) {
  auto device = std::make_shared<ScriptedDevice>();
  RegisterVirtual(device);
  auto d = OpenAt(2);
  ASSERT_NE(d, nullptr);
  const Report out = MakeReport(0x01);
  EXPECT_EQ(d->Write(out.data(), out.size(), 1000), IoResult::Ok);
  device->writeResult = IoResult::TimedOut;
  EXPECT_EQ(d->Write(out.data(), out.size(), 250), IoResult::TimedOut);
  EXPECT_EQ(device->writeTimeouts, (std::vector<uint32_t>{1000, 250}));
}

#if !defined(_WIN32)
// The hidraw backend's reads on a node that behaves like one (a FIFO: readable when a report
// waits). No signal cuts a read short of its time-out, and flushing drops what waits.
class HidrawReads : public HidSystem {
 protected:
  void SetUp() override {
    HidSystem::SetUp();
    path_ = ::testing::TempDir() + "tw_hidraw_fifo_" + std::to_string(getpid());
    ::unlink(path_.c_str());
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    device_.reset(Open(path_));
    ASSERT_NE(device_, nullptr);
    writer_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer_, 0);
  }
  void TearDown() override {
    device_.reset();
    if (writer_ >= 0) ::close(writer_);
    ::unlink(path_.c_str());
    HidSystem::TearDown();
  }
  static void OnAlarm(int) {}

  std::string path_;
  std::unique_ptr<Device, void (*)(Device*)> device_{nullptr, Close};
  int writer_ = -1;
};

TEST_F(HidrawReads, SignalsDoNotCutTheTimeOutShort) {
  struct sigaction action = {};
  action.sa_handler = OnAlarm;  // no SA_RESTART: poll returns EINTR
  struct sigaction previous = {};
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
  itimerval every10ms = {{0, 10000}, {0, 10000}};
  ::setitimer(ITIMER_REAL, &every10ms, nullptr);
  Report buffer(kReportSize, 0);
  const auto start = std::chrono::steady_clock::now();
  const IoResult r = device_->Read(buffer.data(), buffer.size(), 150);
  const auto waited = std::chrono::steady_clock::now() - start;
  itimerval off = {};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(r, IoResult::TimedOut);
  EXPECT_GE(waited, std::chrono::milliseconds(150));
}

TEST_F(HidrawReads, AReportArrivesWithIdZeroAndFlushDropsTheRest) {
  const Report sent = MakeReport(0x21);
  ASSERT_EQ(::write(writer_, sent.data() + 1, 64), 64);
  Report buffer(kReportSize, 0xEE);
  ASSERT_EQ(device_->Read(buffer.data(), buffer.size(), 1000), IoResult::Ok);
  EXPECT_EQ(buffer, sent);
  ASSERT_EQ(::write(writer_, sent.data() + 1, 64), 64);
  ASSERT_EQ(::write(writer_, sent.data() + 1, 64), 64);
  EXPECT_TRUE(device_->FlushInput());
  EXPECT_EQ(device_->Read(buffer.data(), buffer.size(), 0), IoResult::TimedOut);
  Attributes a;
  EXPECT_FALSE(device_->GetAttributes(&a));  // not a device the enumeration knows
}
#endif

}  // namespace
}  // namespace platform::hid
