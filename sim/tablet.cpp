#include "sim/tablet.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/dynlib.h"
#include "platform/sim.h"

namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct ModelFacts {
  uint16_t productId;
  int xExtent;
  int yRange;  // of the packets the library makes
  size_t featureLength;
};

const ModelFacts& Facts(int deviceType) {
  static const ModelFacts kFacts[3] = {{0x8420, 6144, 3072, 3}, {0x8421, 8320, 4992, 8}, {0x8816, 8352, 3072, 8}};
  return kFacts[std::clamp(deviceType, 1, 3) - 1];
}

void Put16(Report& r, size_t at, int value) {
  r[at] = static_cast<uint8_t>(value & 0xFF);
  r[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

int Clamp(long v, int low, int high) { return static_cast<int>(std::clamp<long>(v, low, high)); }

// The raw word of the model's y axis that its decoder maps back onto `y`, kept inside the
// active window so that pressure survives.
int RawY(int y, int low, int high) {
  const int span = high - low;
  const int raw = low + (y * span + 3071) / 3072;
  return std::clamp(raw, low + 1, high - 1);
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(',', start), list.size());
    if (end > start) out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::vector<std::string> ScriptFromEnvironment() {
  const char* v = std::getenv("TARNWICK_SIM_TABLET");
  return Split(v != nullptr && *v != '\0' ? v : "sign,confirm");
}

}  // namespace

uint16_t TabletProductId(int deviceType) { return Facts(deviceType).productId; }

std::vector<PenPoint> SignatureScript() {
  std::vector<PenPoint> points;
  const auto pressure = [](double t) {
    const double p = 250 + 600 * std::sqrt(std::sin(kPi * t)) + 80 * std::sin(10 * kPi * t);
    return std::max(60, static_cast<int>(p));
  };
  const auto hover = [&points](PenPoint to, int steps) {
    const PenPoint from = points.back();
    for (int i = 1; i <= steps; ++i) {
      const double t = static_cast<double>(i) / steps;
      points.push_back({from.x + (to.x - from.x) * t, from.y + (to.y - from.y) * t, 0});
    }
  };
  // A capital with a swing and a tail.
  for (int i = 0; i < 140; ++i) {
    const double t = i / 139.0;
    points.push_back({0.10 + 0.35 * t,
                      0.50 - 0.28 * std::sin(3 * kPi * t) * (1 - 0.3 * t) + 0.05 * std::sin(8 * kPi * t), pressure(t)});
  }
  points.push_back({points.back().x, points.back().y, 0});
  hover({0.48, 0.45, 0}, 14);
  // Three loops.
  for (int i = 0; i < 130; ++i) {
    const double t = i / 129.0;
    points.push_back(
        {0.48 + 0.25 * t + 0.05 * std::cos(6 * kPi * t) - 0.05, 0.45 + 0.15 * std::sin(6 * kPi * t), pressure(t)});
  }
  points.push_back({points.back().x, points.back().y, 0});
  hover({0.15, 0.78, 0}, 14);
  // The underline.
  for (int i = 0; i < 90; ++i) {
    const double t = i / 89.0;
    points.push_back({0.15 + 0.75 * t, 0.78 - 0.06 * std::sin(kPi * t), pressure(t)});
  }
  return points;
}

SimTablet::SimTablet(int deviceType) : script(ScriptFromEnvironment()), deviceType_(std::clamp(deviceType, 1, 3)) {}

SimTablet::~SimTablet() { StopScript(); }

void SimTablet::Attach() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = false;
  }
  rootHub_ = platform::usbtree::MakeVirtual(
      0x1D6B, 0x0002, {platform::usbtree::MakeVirtual(kTabletVendorId, Facts(deviceType_).productId)});
  platform::usbtree::RegisterVirtual(rootHub_);
  platform::hid::RegisterVirtual(shared_from_this());
}

void SimTablet::Unplug() {
  // Gone from the lists first, so that a read failing below sees a device that is not there.
  platform::hid::UnregisterVirtual(shared_from_this());
  platform::usbtree::UnregisterVirtual(rootHub_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
    penMode_ = false;
  }
  cv_.notify_all();
  StopScript();
}

platform::hid::Attributes SimTablet::GetAttributes() {
  platform::hid::Attributes a;
  a.vendorId = kTabletVendorId;
  a.productId = Facts(deviceType_).productId;
  a.versionNumber = 0x0100;
  return a;
}

std::vector<uint8_t> SimTablet::ReportDescriptor() {
  const uint8_t featureBytes = static_cast<uint8_t>(Facts(deviceType_).featureLength - 1);
  return {
      0x05, 0x0D,                      // usage page: digitizer
      0x09, 0x02,                      // usage: pen
      0xA1, 0x01,                      // collection: application
      0x85, 0x02,                      //   report ID 2
      0x09, 0x20,                      //   usage: stylus
      0x15, 0x00,                      //   logical minimum 0
      0x26, 0xFF,         0x00,        //   logical maximum 255
      0x75, 0x08,                      //   report size 8
      0x95, 0x07,                      //   report count 7
      0x81, 0x02,                      //   input
      0x85, 0x05,                      //   report ID 5
      0x09, 0x21,                      //   usage
      0x95, featureBytes, 0xB1, 0x02,  //   feature
      0xC0,                            // end collection
  };
}

bool SimTablet::OnOutputReport(const uint8_t*, size_t) { return false; }

bool SimTablet::OnFeatureReport(const uint8_t* report, size_t size) {
  bool startScript = false, stopScript = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_) return false;
    features_.emplace_back(report, report + size);
    // The tablet takes reports of its own length only.
    if (size != Facts(deviceType_).featureLength || report[0] != 0x05) return false;
    if (size == 8) {
      unsigned sum = 0;
      for (size_t i = 0; i < 7; ++i) sum += report[i];
      if (static_cast<uint8_t>(sum) != report[7]) return true;  // taken, not understood
    }
    const bool atop = size == 3 ? report[1] == 0x11 : (report[1] == 0x03 && report[2] == 0x00);
    const bool ptoa = size == 3 ? report[1] == 0x22 : (report[1] == 0x04 && report[2] == 0x00);
    if (atop) {
      penMode_ = true;
      startScript = true;
    } else if (ptoa) {
      penMode_ = false;
      stopScript = true;
    }
    Acknowledge(report, size);
  }
  if (stopScript) StopScript();
  if (startScript && !script.empty()) StartScript(script, {}, kReportInterval);
  return true;
}

void SimTablet::Acknowledge(const uint8_t* c, size_t size) {
  if (faults.silent) return;
  Report r(8, 0);
  r[0] = 0x02;
  if (size == 3) {
    switch (c[1]) {
      case 0x11:
      case 0x22:
      case 0x33:
        r = {0x02, 0x55, 0x05, c[1], 0x70, 0xFF, 0xFF, 0xFF};
        break;
      case 0x88:
        r[1] = 0x88;
        std::memcpy(&r[2], serial, sizeof serial);
        break;
      default:
        return;  // key acknowledgements get no answer
    }
  } else if (c[1] == 0x03 && c[2] == 0x00) {
    r[1] = 0x01;
  } else if (c[1] == 0x04 && c[2] == 0x00) {
    r[1] = 0x04;
    r[7] = 0x06;
  } else if (c[1] == 0x03 && c[2] == 0x21) {
    r[1] = 0x03;
    r[2] = 0x21;
  } else if (c[1] == 0x05 && c[2] == 0x0A && deviceType_ == 2) {
    r[1] = 0x88;
    std::memcpy(&r[2], serial, sizeof serial);
  } else {
    return;
  }
  Queue(std::move(r));
}

void SimTablet::Queue(Report report) {
  reports_.push_back(std::move(report));
  cv_.notify_all();
}

void SimTablet::QueueReport(const Report& report) {
  std::lock_guard<std::mutex> lock(mutex_);
  Queue(report);
}

platform::hid::IoResult SimTablet::Deliver(uint8_t* report, size_t size, size_t* received) {
  Report r = std::move(reports_.front());
  reports_.pop_front();
  if (faults.otherReportId && !r.empty()) r[0] = 0x03;
  if (faults.shortReads && r.size() > 5) r.resize(5);
  const size_t n = std::min(size, r.size());
  std::memcpy(report, r.data(), n);
  *received = n;
  ++delivered_;
  return platform::hid::IoResult::Ok;
}

bool SimTablet::UnplugDue() const {
  return faults.unplugAfterReports >= 0 && delivered_ >= static_cast<uint64_t>(faults.unplugAfterReports);
}

platform::hid::IoResult SimTablet::OnInputReportOrStop(uint8_t* report, size_t size, size_t* received,
                                                       platform::Event& stopEvent) {
  platform::hid::StopSignal stop(stopEvent, mutex_, cv_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (unplugged_) return platform::hid::IoResult::Failed;
    if (UnplugDue()) {
      lock.unlock();
      Unplug();
      return platform::hid::IoResult::Failed;
    }
    if (!reports_.empty()) return Deliver(report, size, received);
    if (stop.Requested()) return platform::hid::IoResult::Stopped;
    cv_.wait(lock);
  }
}

platform::hid::IoResult SimTablet::OnInputReport(uint8_t* report, size_t size, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (UnplugDue()) {
    lock.unlock();
    Unplug();
    return platform::hid::IoResult::Failed;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!cv_.wait_until(lock, deadline, [this] { return unplugged_ || !reports_.empty(); })) {
    return platform::hid::IoResult::TimedOut;
  }
  if (unplugged_) return platform::hid::IoResult::Failed;
  size_t received = 0;
  return Deliver(report, size, &received);
}

Report SimTablet::PenReport(const PenPoint& p, uint8_t status) const {
  const ModelFacts& f = Facts(deviceType_);
  const int x = Clamp(std::lround(p.x * f.xExtent), 0, f.xExtent);
  const int y = Clamp(std::lround(p.y * f.yRange), 0, f.yRange);
  Report r(8, 0);
  r[0] = 0x02;
  r[1] = status != 0 ? status : p.pressure > 0 ? 0xA1 : 0xB0;
  switch (deviceType_) {
    case 1:
      Put16(r, 2, x);
      Put16(r, 4, RawY(y, 955, 7237));
      break;
    case 2:
      Put16(r, 2, 6240 - (y + 624));  // the turned axes
      Put16(r, 4, x);
      break;
    default:
      Put16(r, 2, x);
      Put16(r, 4, RawY(y, 1136, 5311));
      break;
  }
  Put16(r, 6, std::clamp(p.pressure, 0, 1023));
  return r;
}

Report SimTablet::KeyReport(int key) const {
  if (deviceType_ == 1)
    return {0x02, 0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, static_cast<uint8_t>(key == kConfirmKey ? 0xFF : 0x00)};
  return {0x02, 0x03, static_cast<uint8_t>(key == kConfirmKey ? 0x12 : 0x11), 0, 0, 0, 0, 0};
}

void SimTablet::PressKey(int key) { QueueReport(KeyReport(key)); }

void SimTablet::Play(std::vector<PenPoint> points, std::chrono::microseconds interval) {
  StartScript({"play"}, std::move(points), interval);
}

void SimTablet::StartScript(std::vector<std::string> steps, std::vector<PenPoint> points,
                            std::chrono::microseconds interval) {
  std::lock_guard<std::mutex> guard(scriptMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scriptStop_ = true;
  }
  scriptCv_.notify_all();
  if (scriptThread_.joinable()) scriptThread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scriptStop_ = false;
    scriptRunning_ = true;
  }
  scriptThread_ = std::thread(&SimTablet::RunScript, this, std::move(steps), std::move(points), interval);
}

void SimTablet::StopScript() {
  std::lock_guard<std::mutex> guard(scriptMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scriptStop_ = true;
  }
  scriptCv_.notify_all();
  // The script thread may be the one that unplugs; it cannot wait for itself.
  if (scriptThread_.joinable() && scriptThread_.get_id() != std::this_thread::get_id()) scriptThread_.join();
}

bool SimTablet::Sleep(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !scriptCv_.wait_until(lock, until, [this] { return scriptStop_; });
}

void SimTablet::RunScript(std::vector<std::string> steps, std::vector<PenPoint> points,
                          std::chrono::microseconds interval) {
  auto next = std::chrono::steady_clock::now();
  // Plays points as the tablet reports them; false when stopped on the way.
  const auto play = [&](const std::vector<PenPoint>& path) {
    bool pressing = false;
    for (size_t i = 0; i < path.size(); ++i) {
      const PenPoint& p = path[i];
      std::vector<Report> out;
      if (pressing && p.pressure == 0) out.push_back(PenReport(path[i - 1], 0xA0));  // the lift
      out.push_back(PenReport(p));
      if (i + 1 == path.size()) out.push_back(PenReport(p, 0xE0));  // out of range
      pressing = p.pressure > 0;
      for (Report& r : out) {
        next += interval;
        if (!Sleep(next)) return false;
        QueueReport(r);
      }
    }
    return true;
  };
  for (const std::string& step : steps) {
    bool going = true;
    if (step == "sign") {
      // A person takes up the pen a moment after the tablet switched to pen mode.
      next = std::chrono::steady_clock::now() + kPenUpLead;
      going = Sleep(next) && play(SignatureScript());
    } else if (step.rfind("sign=", 0) == 0) {
      // A long signing: the signature again and again, each a little to the side, no lead-in
      // between them.
      next = std::chrono::steady_clock::now() + kPenUpLead;
      going = Sleep(next);
      for (int k = 0; going && k < std::atoi(step.c_str() + 5); ++k) {
        std::vector<PenPoint> path = SignatureScript();
        for (PenPoint& p : path) {
          p.x += 0.02 * (k % 4 - 1.5);
          p.y += 0.03 * (k % 3 - 1);
        }
        going = play(path);
      }
    } else if (step == "play") {
      going = play(points);
    } else if (step == "confirm") {
      PressKey(kConfirmKey);
    } else if (step == "clear") {
      PressKey(kClearKey);
    } else if (step.rfind("wait=", 0) == 0) {
      next = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(step.c_str() + 5));
      going = Sleep(next);
    }
    if (!going) break;
    next = std::max(next, std::chrono::steady_clock::now());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  scriptRunning_ = false;
  scriptCv_.notify_all();
}

bool SimTablet::WaitIdle(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return scriptCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !scriptRunning_; });
}

std::vector<Report> SimTablet::FeatureReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  return features_;
}

size_t SimTablet::PendingReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_.size();
}

void SimTablet::OnOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++opens_;
  reports_.clear();  // a new handle starts with no queued input
}

int SimTablet::Opens() {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_;
}

uint64_t SimTablet::ReportsDelivered() {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

bool SimTablet::InPenMode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return penMode_;
}

namespace {

std::mutex g_announcedMutex;
std::shared_ptr<SimTablet>& Announced() {
  static auto* tablet = new std::shared_ptr<SimTablet>;  // the program may call in while it exits
  return *tablet;
}

int ControlAnnounced(int action) {
  std::shared_ptr<SimTablet> tablet;
  {
    std::lock_guard<std::mutex> lock(g_announcedMutex);
    tablet = Announced();
  }
  if (!tablet) return 0;
  switch (static_cast<TabletAction>(action)) {
    case TabletAction::PressConfirm:
      tablet->PressKey(kConfirmKey);
      return 1;
    case TabletAction::Unplug:
      tablet->Unplug();
      return 1;
    case TabletAction::Replug:
      tablet->Attach();
      return 1;
  }
  return 0;
}

}  // namespace

void AnnounceTablet(const std::shared_ptr<SimTablet>& tablet) {
  {
    std::lock_guard<std::mutex> lock(g_announcedMutex);
    Announced() = tablet;
  }
  if (auto slot = reinterpret_cast<TabletSlot>(platform::ProgramSymbol(kTabletSlotName))) {
    slot(tablet ? ControlAnnounced : nullptr);
  }
}

ScopedTablet::ScopedTablet(int deviceType) : tablet(std::make_shared<SimTablet>(deviceType)) {
  platform::SetSimulationForTesting(true);
  platform::hid::UnregisterAllVirtual();
  platform::usbtree::UnregisterAllVirtual();
  tablet->script.clear();
  tablet->Attach();
  AnnounceTablet(tablet);
}

ScopedTablet::~ScopedTablet() {
  AnnounceTablet(nullptr);
  tablet->Unplug();
  platform::hid::UnregisterAllVirtual();
  platform::usbtree::UnregisterAllVirtual();
}

void InstallDefaultTablet() {
  if (!platform::SimulationEnabled()) return;
  static std::mutex mutex;
  static std::shared_ptr<SimTablet>* installed = new std::shared_ptr<SimTablet>;  // lives as long as the process
  std::lock_guard<std::mutex> lock(mutex);
  if (*installed) return;
  const char* model = std::getenv("TARNWICK_SIM_TABLET_MODEL");
  *installed = std::make_shared<SimTablet>(model != nullptr ? std::atoi(model) : 1);
  (*installed)->Attach();
  AnnounceTablet(*installed);
}

}  // namespace sim
