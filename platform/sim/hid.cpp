// HID entry points: the OS backend, or the virtual devices while simulation is on.
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "hid_os.h"
#include "platform/hid_virtual.h"
#include "platform/sim.h"
#include "virtual_registry.h"

namespace platform::hid {
namespace {

using Registry = sim::VirtualRegistry<VirtualDevice>;
constexpr char kVirtualPrefix[] = "sim:hid:";

class VirtualHandle final : public Device {
 public:
  explicit VirtualHandle(std::shared_ptr<VirtualDevice> d) : device_(std::move(d)) { device_->OnOpen(); }
  bool GetAttributes(Attributes* a) override {
    if (a == nullptr || !Present()) return false;
    *a = device_->GetAttributes();
    return true;
  }
  bool SetOutputReport(const uint8_t* report, size_t size) override {
    return Present() && device_->OnOutputReport(report, size);
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
  bool FlushInput() override {
    if (!Present()) return false;
    device_->OnFlushInput();
    return true;
  }

 private:
  bool Present() const { return Registry::Instance().Contains(device_); }
  std::shared_ptr<VirtualDevice> device_;
};

}  // namespace

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
