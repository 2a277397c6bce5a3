#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "hid_os.h"
#include "platform/hid_virtual.h"
#include "platform/sim.h"

namespace platform::hid {
namespace {

constexpr char kVirtualPrefix[] = "sim:hid:";

std::mutex g_mutex;
std::vector<std::shared_ptr<VirtualDevice>> g_devices;
// Identity of each registration, so a path stays bound to its device after others leave.
std::vector<unsigned> g_ids;
unsigned g_nextId = 1;

class VirtualHandle final : public Device {
 public:
  explicit VirtualHandle(std::shared_ptr<VirtualDevice> d) : device_(std::move(d)) {}
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
  IoResult Write(const uint8_t* report, size_t size, uint32_t) override {
    return Present() && device_->OnOutputReport(report, size) ? IoResult::Ok : IoResult::Failed;
  }
  IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    return Present() ? device_->OnInputReport(report, size, timeoutMs) : IoResult::Failed;
  }

 private:
  // An unplugged device fails every call on handles that are still open.
  bool Present() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::find(g_devices.begin(), g_devices.end(), device_) != g_devices.end();
  }
  std::shared_ptr<VirtualDevice> device_;
};

}  // namespace

void RegisterVirtual(std::shared_ptr<VirtualDevice> device) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_devices.push_back(std::move(device));
  g_ids.push_back(g_nextId++);
}

void UnregisterVirtual(const std::shared_ptr<VirtualDevice>& device) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (size_t i = 0; i < g_devices.size(); ++i) {
    if (g_devices[i] == device) {
      g_devices.erase(g_devices.begin() + static_cast<long>(i));
      g_ids.erase(g_ids.begin() + static_cast<long>(i));
      return;
    }
  }
}

void UnregisterAllVirtual() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_devices.clear();
  g_ids.clear();
}

int VirtualCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(g_devices.size());
}

bool DevicePathAt(int index, std::string* path) {
  if (index < 0 || path == nullptr) return false;
  if (!SimulationEnabled()) return os::DevicePathAt(index, path);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (static_cast<size_t>(index) >= g_devices.size()) return false;
  *path = kVirtualPrefix + std::to_string(g_ids[static_cast<size_t>(index)]);
  return true;
}

Device* Open(const std::string& path) {
  if (path.rfind(kVirtualPrefix, 0) != 0) return SimulationEnabled() ? nullptr : os::Open(path);
  const unsigned id = static_cast<unsigned>(std::strtoul(path.c_str() + sizeof kVirtualPrefix - 1, nullptr, 10));
  std::lock_guard<std::mutex> lock(g_mutex);
  for (size_t i = 0; i < g_ids.size(); ++i) {
    if (g_ids[i] == id) return new VirtualHandle(g_devices[i]);
  }
  return nullptr;
}

void Close(Device* device) { delete device; }

}  // namespace platform::hid
