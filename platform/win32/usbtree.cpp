// The USB tree through the Windows USB stack: host controllers by name and by interface class,
// their root hubs, and every hub below, with the hub I/O controls; each controller's driver key
// is looked up in the configuration manager's device tree before its hub is walked.
#include <windows.h>

#include <winioctl.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <usbioctl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../sim/usbtree_os.h"

namespace platform::usbtree {
namespace {

// {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}
const GUID kHostControllerClass = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
constexpr size_t kPropertyBufferSize = 512;
constexpr DWORD kNodeInformationSize = 76;
constexpr DWORD kConnectionInformationSize = 245;
constexpr int kMaxHubDepth = 16;

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (ok()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

HANDLE OpenForWrite(const std::string& name) {
  return ::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string Ansi(const wchar_t* text, size_t maxChars) {
  size_t n = 0;
  while (n < maxChars && text[n] != L'\0') ++n;
  if (n == 0) return std::string();
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), &out[0], size, nullptr, nullptr);
  return out;
}

// Every name query works the same way: ask with a buffer that holds the header only, read the
// length the stack reports, ask again with a zeroed buffer of that length. `header` is the
// header's size (the port number, where there is one, comes first), `lengthAt` the offset of
// the reported length.
std::string QueryName(HANDLE device, DWORD code, ULONG port, size_t header, size_t lengthAt) {
  std::vector<uint8_t> small(header + sizeof(WCHAR), 0);
  if (lengthAt > 0) std::memcpy(small.data(), &port, sizeof port);
  DWORD got = 0;
  if (!::DeviceIoControl(device, code, small.data(), static_cast<DWORD>(small.size()), small.data(),
                         static_cast<DWORD>(small.size()), &got, nullptr)) {
    return std::string();
  }
  ULONG length = 0;
  std::memcpy(&length, small.data() + lengthAt, sizeof length);
  if (length <= header || length > 64 * 1024) return std::string();
  std::vector<uint8_t> full(length + sizeof(WCHAR), 0);  // room for a terminator the stack may omit
  if (lengthAt > 0) std::memcpy(full.data(), &port, sizeof port);
  if (!::DeviceIoControl(device, code, full.data(), length, full.data(), length, &got, nullptr)) return std::string();
  return Ansi(reinterpret_cast<const wchar_t*>(full.data() + header), (length - header) / sizeof(WCHAR));
}

// Finds the device node whose driver property is `driverKey` (case-sensitive), depth first from
// the root, and reads its description into the same buffer.
bool LookUpDriverKey(const std::string& driverKey) {
  DEVINST node = 0;
  if (::CM_Locate_DevNodeW(&node, nullptr, 0) != CR_SUCCESS) return false;
  char buffer[kPropertyBufferSize];
  for (;;) {
    ULONG size = sizeof buffer;
    if (::CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_DRIVER, nullptr, buffer, &size, 0) == CR_SUCCESS && size > 0 &&
        std::string(buffer, strnlen(buffer, sizeof buffer)) == driverKey) {
      size = sizeof buffer;
      ::CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_DEVICEDESC, nullptr, buffer, &size, 0);
      return true;
    }
    DEVINST next = 0;
    if (::CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    for (;;) {
      if (::CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
        node = next;
        break;
      }
      if (::CM_Get_Parent(&next, node, 0) != CR_SUCCESS) return false;
      node = next;
    }
  }
}

void WalkHub(const std::string& hubName, int depth, const std::function<void(const DeviceId&)>& visit) {
  if (hubName.empty() || depth > kMaxHubDepth) return;
  Handle hub(OpenForWrite("\\\\.\\" + hubName));
  if (!hub.ok()) return;
  uint8_t node[kNodeInformationSize] = {};
  DWORD got = 0;
  if (!::DeviceIoControl(hub.get(), IOCTL_USB_GET_NODE_INFORMATION, node, sizeof node, node, sizeof node, &got,
                         nullptr)) {
    return;
  }
  const auto* info = reinterpret_cast<const USB_NODE_INFORMATION*>(node);
  const ULONG ports = info->u.HubInformation.HubDescriptor.bNumberOfPorts;
  for (ULONG port = 1; port <= ports; ++port) {
    uint8_t buffer[kConnectionInformationSize] = {};
    std::memcpy(buffer, &port, sizeof port);
    if (!::DeviceIoControl(hub.get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, sizeof buffer, buffer,
                           sizeof buffer, &got, nullptr)) {
      continue;
    }
    const auto* connection = reinterpret_cast<const USB_NODE_CONNECTION_INFORMATION*>(buffer);
    visit(DeviceId{connection->DeviceDescriptor.idVendor, connection->DeviceDescriptor.idProduct});
    if (connection->ConnectionStatus != NoDeviceConnected) {
      // Only its description would come of it; looked up as the stack's own tools do.
      const std::string key = QueryName(hub.get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port,
                                        offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName),
                                        offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, ActualLength));
      if (!key.empty()) LookUpDriverKey(key);
    }
    if (connection->DeviceIsHub) {
      WalkHub(QueryName(hub.get(), IOCTL_USB_GET_NODE_CONNECTION_NAME, port,
                        offsetof(USB_NODE_CONNECTION_NAME, NodeName), offsetof(USB_NODE_CONNECTION_NAME, ActualLength)),
              depth + 1, visit);
    }
  }
}

void WalkController(const std::string& name, const std::function<void(const DeviceId&)>& visit) {
  Handle controller(OpenForWrite(name));
  if (!controller.ok()) return;
  const std::string key =
      QueryName(controller.get(), IOCTL_GET_HCD_DRIVERKEY_NAME, 0, offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName), 0);
  if (key.empty() || !LookUpDriverKey(key)) return;
  WalkHub(QueryName(controller.get(), IOCTL_USB_GET_ROOT_HUB_NAME, 0, offsetof(USB_ROOT_HUB_NAME, RootHubName), 0), 0,
          visit);
}

}  // namespace

void SetSysfsRoot(const std::string&) {}

namespace os {

void Walk(const std::function<void(const DeviceId&)>& visit) {
  for (int n = 0; n < 10; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\HCD%d", n);
    WalkController(name, visit);
  }
  HDEVINFO set = ::SetupDiGetClassDevsW(&kHostControllerClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  for (DWORD index = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &kHostControllerClass, index, &data); ++index) {
    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) continue;
    WalkController(Ansi(detail->DevicePath,
                        (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t)),
                   visit);
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

}  // namespace os
}  // namespace platform::usbtree
