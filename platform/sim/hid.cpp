// HID entry points: the OS backend, or the virtual devices while simulation is on.
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "hid_os.h"
#include "platform/hid_descriptor.h"
#include "platform/hid_virtual.h"
#include "platform/sim.h"
#include "virtual_registry.h"

namespace platform::hid {
namespace {

using Registry = sim::VirtualRegistry<VirtualDevice>;
constexpr char kVirtualPrefix[] = "sim:hid:";
constexpr uint32_t kErrorNotConnected = 1167;
constexpr uint32_t kErrorGeneralFailure = 31;

thread_local uint32_t t_lastError = 0;

class VirtualHandle final : public Device {
 public:
  explicit VirtualHandle(std::shared_ptr<VirtualDevice> d) : device_(std::move(d)) { device_->OnOpen(); }
  bool GetAttributes(Attributes* a) override {
    if (a == nullptr || !Present()) return false;
    *a = device_->GetAttributes();
    return true;
  }
  bool GetCaps(Caps* caps) override {
    if (caps == nullptr || !Present()) return false;
    const std::vector<uint8_t> descriptor = device_->ReportDescriptor();
    if (descriptor.empty()) return false;
    *caps = ParseReportDescriptor(descriptor.data(), descriptor.size()).caps;
    return true;
  }
  bool SetOutputReport(const uint8_t* report, size_t size) override {
    return Present() && device_->OnOutputReport(report, size);
  }
  bool SetFeature(const uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0 || !Present()) return false;
    if (device_->OnFeatureReport(report, size)) return true;
    os::RecordError(Registry::Instance().Contains(device_) ? kErrorGeneralFailure : kErrorNotConnected);
    return false;
  }
  bool GetInputReport(uint8_t* report, size_t size) override {
    // The class driver's call returns what the device has at once.
    return Present() && device_->OnInputReport(report, size, 0) == IoResult::Ok;
  }
  IoResult Write(const uint8_t* report, size_t size, uint32_t timeoutMs) override {
    return Present() ? device_->OnOutputReportWithin(report, size, timeoutMs) : IoResult::Failed;
  }
  IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    return Present() ? device_->OnInputReport(report, size, timeoutMs) : IoResult::Failed;
  }
  IoResult ReadOrStop(uint8_t* report, size_t size, size_t* received, Event& stop) override {
    if (report == nullptr || size == 0 || received == nullptr || !Present()) return IoResult::Failed;
    *received = 0;
    const IoResult r = device_->OnInputReportOrStop(report, size, received, stop);
    if (r == IoResult::Failed) {
      os::RecordError(Registry::Instance().Contains(device_) ? kErrorGeneralFailure : kErrorNotConnected);
    }
    return r;
  }
  bool FlushInput() override {
    if (!Present()) return false;
    device_->OnFlushInput();
    return true;
  }

 private:
  bool Present() const {
    if (Registry::Instance().Contains(device_)) return true;
    os::RecordError(kErrorNotConnected);
    return false;
  }
  std::shared_ptr<VirtualDevice> device_;
};

}  // namespace

StopSignal::StopSignal(Event& stop, std::mutex& mutex, std::condition_variable& cv) : stop_(stop) {
  watch_ = stop.OnSet([this, &mutex, &cv] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      requested_ = true;
    }
    cv.notify_all();
  });
  // A stop set before the watch existed is taken now.
  if (stop.Wait(0) == WaitResult::Signalled) requested_ = taken_ = true;
}

StopSignal::~StopSignal() {
  watch_.reset();
  if (requested_ && !taken_) stop_.Wait(0);
}

namespace os {
void RecordError(uint32_t code) { t_lastError = code; }
}  // namespace os

uint32_t LastError() { return t_lastError; }

void RegisterVirtual(std::shared_ptr<VirtualDevice> device) { Registry::Instance().Add(std::move(device)); }
void UnregisterVirtual(const std::shared_ptr<VirtualDevice>& device) { Registry::Instance().Remove(device); }
void UnregisterAllVirtual() { Registry::Instance().Clear(); }
int VirtualCount() { return Registry::Instance().Count(); }

bool DevicePathAt(int index, std::string* path) {
  if (index < 0 || path == nullptr) return false;
  if (!SimulationEnabled()) return os::DevicePathAt(index, path);
  const unsigned id = Registry::Instance().IdAt(index);
  if (id == 0) return false;
  *path = kVirtualPrefix + std::to_string(id);
  return true;
}

Device* Open(const std::string& path) {
  if (path.rfind(kVirtualPrefix, 0) != 0) return SimulationEnabled() ? nullptr : os::Open(path);
  const unsigned id = static_cast<unsigned>(std::strtoul(path.c_str() + sizeof kVirtualPrefix - 1, nullptr, 10));
  std::shared_ptr<VirtualDevice> device = Registry::Instance().FindId(id);
  if (!device) os::RecordError(kErrorNotConnected);
  return device ? new (std::nothrow) VirtualHandle(std::move(device)) : nullptr;
}

void Close(Device* device) { delete device; }

IoResult ReadWithRetries(Device* device, uint8_t* report, size_t size, const ReadRetries& retries) {
  if (device == nullptr) return IoResult::Failed;
  IoResult result = IoResult::Failed;
  for (int i = 0; i < retries.tries; ++i) {
    result = device->Read(report, size, retries.timeoutMs);
    if (result == IoResult::Ok) break;
    if (result == IoResult::TimedOut && i + 1 < retries.tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(retries.pauseAfterTimeOutMs));
    }
  }
  return result;
}

}  // namespace platform::hid
