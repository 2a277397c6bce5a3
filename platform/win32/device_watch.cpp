#include "platform/device_watch.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <cfgmgr32.h>

#include <cwchar>

namespace platform::device_watch {
namespace {

// Not every Windows (nor Wine) has the configuration manager's notifications: looked up, not
// linked.
using RegisterFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

// The USB device interface class.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// "\\?\USB#VID_2796&PID_1001#..." -> the number after `key`, or 0.
uint16_t IdAfter(const wchar_t* path, const wchar_t* key) {
  for (const wchar_t* p = path; *p != L'\0'; ++p) {
    if (_wcsnicmp(p, key, std::wcslen(key)) == 0)
      return static_cast<uint16_t>(std::wcstoul(p + std::wcslen(key), nullptr, 16));
  }
  return 0;
}

class CmWatch final : public Watch {
 public:
  CmWatch(std::function<void(const Change&)> notify, UnregisterFn unregister)
      : notify_(std::move(notify)), unregister_(unregister) {}
  ~CmWatch() override {
    // Waits for callbacks that run; none starts afterwards.
    if (handle_ != nullptr) unregister_(handle_);
  }

  static DWORD CALLBACK OnEvent(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
                                DWORD) {
    auto* self = static_cast<CmWatch*>(context);
    if (data == nullptr || data->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) return ERROR_SUCCESS;
    if (action != CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL && action != CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
      return ERROR_SUCCESS;
    }
    Change change;
    change.arrived = action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL;
    const wchar_t* link = data->u.DeviceInterface.SymbolicLink;
    change.vendorId = IdAfter(link, L"VID_");
    change.productId = IdAfter(link, L"PID_");
    if (change.vendorId != 0) self->notify_(change);
    return ERROR_SUCCESS;
  }

  HCMNOTIFICATION handle_ = nullptr;

 private:
  std::function<void(const Change&)> notify_;
  UnregisterFn unregister_;
};

}  // namespace

std::unique_ptr<Watch> Start(std::function<void(const Change&)> notify) {
  HMODULE cfgmgr = GetModuleHandleW(L"cfgmgr32.dll");
  if (cfgmgr == nullptr) cfgmgr = LoadLibraryW(L"cfgmgr32.dll");
  if (cfgmgr == nullptr) return nullptr;
  const auto reg =
      reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Register_Notification")));
  const auto unreg =
      reinterpret_cast<UnregisterFn>(reinterpret_cast<void*>(GetProcAddress(cfgmgr, "CM_Unregister_Notification")));
  if (reg == nullptr || unreg == nullptr) return nullptr;
  auto watch = std::make_unique<CmWatch>(std::move(notify), unreg);
  CM_NOTIFY_FILTER filter = {};
  filter.cbSize = sizeof filter;
  filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filter.u.DeviceInterface.ClassGuid = kUsbDeviceInterface;
  if (reg(&filter, watch.get(), &CmWatch::OnEvent, &watch->handle_) != CR_SUCCESS) return nullptr;
  return watch;
}

}  // namespace platform::device_watch
