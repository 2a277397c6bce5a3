#include <hidapi/hidapi.h>
#include <chrono>
#include <vector>

#include <climits>
#include <mutex>
#include <new>

#include "../common/hid_os.h"

namespace platform::hid {
namespace {

// hid_init is not safe to race with itself; hidapi wants it once per process.
bool Init() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = hid_init() == 0; });
  return ok;
}

// hidraw has no attribute query on an open handle in every hidapi version, so Open takes
// them from the enumeration entry of the same path.
bool LookUpAttributes(const std::string& path, Attributes* attributes) {
  hid_device_info* list = hid_enumerate(0, 0);
  bool found = false;
  for (hid_device_info* d = list; d != nullptr; d = d->next) {
    if (d->path != nullptr && path == d->path) {
      attributes->vendorId = d->vendor_id;
      attributes->productId = d->product_id;
      attributes->versionNumber = d->release_number;
      found = true;
      break;
    }
  }
  hid_free_enumeration(list);
  return found;
}

int TimeoutArg(uint32_t timeoutMs) {
  return timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

// Reports keep the Windows layout: byte 0 is the report ID (always 0 here), the payload
// follows. hidapi takes that layout on writes but returns unnumbered input reports without it.
class HidapiDevice final : public Device {
 public:
  HidapiDevice(hid_device* d, const Attributes& a, bool haveAttributes)
      : device_(d), attributes_(a), haveAttributes_(haveAttributes) {}
  ~HidapiDevice() override { hid_close(device_); }

  bool GetAttributes(Attributes* attributes) override {
    if (attributes == nullptr || !haveAttributes_) return false;
    *attributes = attributes_;
    return true;
  }

  bool SetOutputReport(const uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    // The kernel counts only the payload for report ID 0, so the result is not compared to size.
    return hid_write(device_, report, size) > 0;
  }

  bool GetInputReport(uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    report[0] = 0;
    return hid_get_input_report(device_, report, size) > 0;
  }

  IoResult Write(const uint8_t* report, size_t size, uint32_t) override {
    // hidraw writes block without a timeout of their own.
    if (report == nullptr || size == 0) return IoResult::Failed;
    return hid_write(device_, report, size) > 0 ? IoResult::Ok : IoResult::Failed;
  }

  IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    if (report == nullptr || size < 2) return IoResult::Failed;
    const int n = hid_read_timeout(device_, report + 1, size - 1, TimeoutArg(timeoutMs));
    if (n < 0) return IoResult::Failed;
    if (n == 0) return IoResult::TimedOut;
    report[0] = 0;
    return IoResult::Ok;
  }

 private:
  hid_device* device_;
  Attributes attributes_;
  bool haveAttributes_;
};

}  // namespace

namespace os {

bool DevicePathAt(int index, std::string* path) {
  if (index < 0 || path == nullptr || !Init()) return false;
  // A walk over the interface indices asks for every index in turn; one enumeration of the
  // hidraw nodes serves the whole walk instead of one per index. A short lifetime keeps a
  // newly attached device visible to the next walk.
  static std::mutex mutex;
  static std::vector<std::string> paths;
  static std::chrono::steady_clock::time_point taken{};
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (index == 0 || now - taken > std::chrono::milliseconds(200)) {
    paths.clear();
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next) paths.push_back(d->path ? d->path : "");
    hid_free_enumeration(list);
    taken = now;
  }
  if (static_cast<size_t>(index) >= paths.size() || paths[static_cast<size_t>(index)].empty()) return false;
  *path = paths[static_cast<size_t>(index)];
  return true;
}

Device* Open(const std::string& path) {
  if (path.empty() || !Init()) return nullptr;
  hid_device* handle = hid_open_path(path.c_str());
  if (handle == nullptr) return nullptr;
  Attributes attributes;
  const bool haveAttributes = LookUpAttributes(path, &attributes);
  Device* device = new (std::nothrow) HidapiDevice(handle, attributes, haveAttributes);
  if (device == nullptr) hid_close(handle);
  return device;
}

}  // namespace os
}  // namespace platform::hid
