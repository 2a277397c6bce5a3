// windows.h first: setupapi.h and hidsdi.h build on its types.
#include <windows.h>

#include <setupapi.h>

// mingw-w64's hidsdi.h has no C linkage guard of its own.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "../sim/hid_os.h"

namespace platform::hid {
namespace {

// Keeps the system's code of a failed call for hid::LastError, and the result.
template <class T>
T Failing(T result) {
  os::RecordError(::GetLastError());
  return result;
}

class Win32Device final : public Device {
 public:
  explicit Win32Device(HANDLE h) : handle_(h) {}
  ~Win32Device() override {
    ::CloseHandle(handle_);
    if (wake_ != nullptr) ::CloseHandle(wake_);
  }

  bool GetCaps(Caps* caps) override {
    if (caps == nullptr) return false;
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!::HidD_GetPreparsedData(handle_, &data)) return Failing(false);
    HIDP_CAPS c = {};
    const bool ok = ::HidP_GetCaps(data, &c) == HIDP_STATUS_SUCCESS;
    ::HidD_FreePreparsedData(data);
    if (!ok) return false;
    caps->usagePage = c.UsagePage;
    caps->usage = c.Usage;
    caps->inputReportLength = c.InputReportByteLength;
    caps->outputReportLength = c.OutputReportByteLength;
    caps->featureReportLength = c.FeatureReportByteLength;
    return true;
  }

  bool SetFeature(const uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    std::vector<uint8_t> buffer(report, report + size);
    if (!::HidD_SetFeature(handle_, buffer.data(), static_cast<ULONG>(size))) return Failing(false);
    return true;
  }

  IoResult ReadOrStop(uint8_t* report, size_t size, size_t* received, Event& stop) override {
    if (report == nullptr || size == 0 || received == nullptr) return IoResult::Failed;
    *received = 0;
    if (wake_ == nullptr) wake_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wake_ == nullptr) return Failing(IoResult::Failed);
    HANDLE wake = wake_;
    const Event::Watch watch = stop.OnSet([wake] { ::SetEvent(wake); });
    for (;;) {
      auto* p = Start(report, size, false);
      if (p == nullptr) return Failing(IoResult::Failed);
      const HANDLE objects[2] = {p->ov.hEvent, wake};
      for (;;) {
        if (stop.Wait(0) == WaitResult::Signalled) {
          Finish(p);
          return IoResult::Stopped;
        }
        const DWORD w = ::WaitForMultipleObjects(2, objects, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0 + 1) continue;
        if (w != WAIT_OBJECT_0) {
          Finish(p);
          return Failing(IoResult::Failed);
        }
        break;
      }
      DWORD transferred = 0;
      const bool ok = ::GetOverlappedResult(handle_, &p->ov, &transferred, FALSE) != FALSE;
      if (ok) {
        *received = std::min<size_t>(transferred, size);
        std::memcpy(report, p->buffer.data(), *received);
      }
      Release(p);
      // A read that ended in failure is followed by the next one; only a read that cannot be
      // issued at all means the device is gone.
      if (ok) return IoResult::Ok;
    }
  }

  bool GetAttributes(Attributes* attributes) override {
    if (attributes == nullptr) return false;
    HIDD_ATTRIBUTES a = {};
    a.Size = sizeof a;
    if (!::HidD_GetAttributes(handle_, &a)) return false;
    attributes->vendorId = a.VendorID;
    attributes->productId = a.ProductID;
    attributes->versionNumber = a.VersionNumber;
    return true;
  }

  bool SetOutputReport(const uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    return ::HidD_SetOutputReport(handle_, const_cast<uint8_t*>(report), static_cast<ULONG>(size)) != FALSE;
  }

  bool GetInputReport(uint8_t* report, size_t size) override {
    if (report == nullptr || size == 0) return false;
    // The class driver picks the report by the ID in byte 0; the devices use only ID 0.
    report[0] = 0;
    return ::HidD_GetInputReport(handle_, report, static_cast<ULONG>(size)) != FALSE;
  }

  bool FlushInput() override { return ::HidD_FlushQueue(handle_) != FALSE; }

  IoResult Write(const uint8_t* report, size_t size, uint32_t timeoutMs) override {
    if (report == nullptr || size == 0) return IoResult::Failed;
    return Transfer(const_cast<uint8_t*>(report), size, timeoutMs, true);
  }

  IoResult Read(uint8_t* report, size_t size, uint32_t timeoutMs) override {
    if (report == nullptr || size == 0) return IoResult::Failed;
    return Transfer(report, size, timeoutMs, false);
  }

 private:
  // What one overlapped transfer lends the driver. It is the transfer's own, not the caller's
  // buffer, so that a cancel the driver never completes can be left to it instead of hanging.
  struct Pending {
    OVERLAPPED ov = {};
    std::vector<uint8_t> buffer;
  };
  static constexpr DWORD kCancelWaitMs = 1000;

  // Issues one transfer; null when it cannot be issued (the device is gone).
  Pending* Start(const uint8_t* data, size_t size, bool write) {
    auto* p = new (std::nothrow) Pending;
    if (p == nullptr) return nullptr;
    p->buffer.assign(data, data + size);
    p->ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (p->ov.hEvent == nullptr) {
      delete p;
      return nullptr;
    }
    const DWORD length = static_cast<DWORD>(size);
    const BOOL started = write ? ::WriteFile(handle_, p->buffer.data(), length, nullptr, &p->ov)
                               : ::ReadFile(handle_, p->buffer.data(), length, nullptr, &p->ov);
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
      const DWORD error = ::GetLastError();
      Release(p);
      ::SetLastError(error);
      return nullptr;
    }
    return p;
  }

  // Cancels a transfer still running and frees it once the driver has let go of it.
  void Finish(Pending* p) {
    ::CancelIo(handle_);
    if (::WaitForSingleObject(p->ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) return;  // the driver keeps the block
    Release(p);
  }

  static void Release(Pending* p) {
    ::CloseHandle(p->ov.hEvent);
    delete p;
  }

  IoResult Transfer(uint8_t* data, size_t size, uint32_t timeoutMs, bool write) {
    Pending* p = Start(data, size, write);
    IoResult result = IoResult::Failed;
    DWORD transferred = 0;
    if (p != nullptr) {
      const DWORD wait = ::WaitForSingleObject(p->ov.hEvent, timeoutMs);
      if (wait == WAIT_OBJECT_0) {
        if (::GetOverlappedResult(handle_, &p->ov, &transferred, FALSE)) result = IoResult::Ok;
      } else {
        ::CancelIo(handle_);
        if (::WaitForSingleObject(p->ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
          return IoResult::Failed;  // the driver keeps the block
        }
        // A transfer that won the race with the cancel carries a real report; keep it.
        if (::GetOverlappedResult(handle_, &p->ov, &transferred, FALSE)) {
          result = IoResult::Ok;
        } else if (wait == WAIT_TIMEOUT) {
          result = IoResult::TimedOut;
        }
      }
    }
    if (result == IoResult::Ok && !write) std::memcpy(data, p->buffer.data(), size);
    if (p != nullptr) Release(p);
    return result;
  }

  HANDLE handle_;
  HANDLE wake_ = nullptr;
};

}  // namespace

namespace os {

bool DevicePathAt(int index, std::string* path) {
  if (index < 0 || path == nullptr) return false;
  GUID guid;
  ::HidD_GetHidGuid(&guid);
  HDEVINFO set = ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;

  bool found = false;
  SP_DEVICE_INTERFACE_DATA ifData = {};
  ifData.cbSize = sizeof ifData;
  if (::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, static_cast<DWORD>(index), &ifData)) {
    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailA(set, &ifData, nullptr, 0, &required, nullptr);
    if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      // DWORD elements keep the structure's cbSize field aligned.
      std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD));
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
      // cbSize is the fixed part only, which differs from the allocation and between 32 and 64 bit.
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (::SetupDiGetDeviceInterfaceDetailA(set, &ifData, detail, required, nullptr, nullptr)) {
        *path = detail->DevicePath;
        found = true;
      }
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return found;
}

Device* Open(const std::string& path) {
  if (path.empty()) return nullptr;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failing<Device*>(nullptr);
  Device* device = new (std::nothrow) Win32Device(h);
  if (device == nullptr) ::CloseHandle(h);
  return device;
}

}  // namespace os
}  // namespace platform::hid
