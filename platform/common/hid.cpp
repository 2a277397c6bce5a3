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

// Built on first use: a library's start-up code may register devices before this file's
// globals exist.
struct Devices {
  std::mutex mutex;
  std::vector<std::shared_ptr<VirtualDevice>> list;
  // Identity of each registration, so a path stays bound to its device after others leave.
  std::vector<unsigned> ids;
  unsigned nextId = 1;
};
Devices& Registry() {
  static Devices devices;
  return devices;
}

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
    std::lock_guard<std::mutex> lock(Registry().mutex);
    return std::find(Registry().list.begin(), Registry().list.end(), device_) != Registry().list.end();
  }
  std::shared_ptr<VirtualDevice> device_;
};

}  // namespace

void RegisterVirtual(std::shared_ptr<VirtualDevice> device) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  Registry().list.push_back(std::move(device));
  Registry().ids.push_back(Registry().nextId++);
}

void UnregisterVirtual(const std::shared_ptr<VirtualDevice>& device) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  for (size_t i = 0; i < Registry().list.size(); ++i) {
    if (Registry().list[i] == device) {
      Registry().list.erase(Registry().list.begin() + static_cast<long>(i));
      Registry().ids.erase(Registry().ids.begin() + static_cast<long>(i));
      return;
    }
  }
}

void UnregisterAllVirtual() {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  Registry().list.clear();
  Registry().ids.clear();
}

int VirtualCount() {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  return static_cast<int>(Registry().list.size());
}

bool DevicePathAt(int index, std::string* path) {
  if (index < 0 || path == nullptr) return false;
  if (!SimulationEnabled()) return os::DevicePathAt(index, path);
  std::lock_guard<std::mutex> lock(Registry().mutex);
  if (static_cast<size_t>(index) >= Registry().list.size()) return false;
  *path = kVirtualPrefix + std::to_string(Registry().ids[static_cast<size_t>(index)]);
  return true;
}

Device* Open(const std::string& path) {
  if (path.rfind(kVirtualPrefix, 0) != 0) return SimulationEnabled() ? nullptr : os::Open(path);
  const unsigned id = static_cast<unsigned>(std::strtoul(path.c_str() + sizeof kVirtualPrefix - 1, nullptr, 10));
  std::lock_guard<std::mutex> lock(Registry().mutex);
  for (size_t i = 0; i < Registry().ids.size(); ++i) {
    if (Registry().ids[i] == id) return new VirtualHandle(Registry().list[i]);
  }
  return nullptr;
}

void Close(Device* device) { delete device; }

}  // namespace platform::hid
