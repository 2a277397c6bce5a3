#include "platform/registry.h"

#include <windows.h>

#include "platform/codepage.h"

namespace platform {
namespace {

HKEY Root(RegistryRoot root) { return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

bool SetValue(RegistryRoot root, const std::string& key, const std::string& name, DWORD type, const void* data,
              DWORD size) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(Root(root), WideFromUtf8(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG r = RegSetValueExW(handle, WideFromUtf8(name).c_str(), 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(handle);
  return r == ERROR_SUCCESS;
}

}  // namespace

bool RegistrySetString(RegistryRoot root, const std::string& key, const std::string& name, const std::string& value) {
  const std::wstring wide = WideFromUtf8(value);
  return SetValue(root, key, name, REG_SZ, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

bool RegistrySetDword(RegistryRoot root, const std::string& key, const std::string& name, uint32_t value) {
  const DWORD data = value;
  return SetValue(root, key, name, REG_DWORD, &data, sizeof data);
}

bool RegistryDeleteTree(RegistryRoot root, const std::string& key) {
  const LONG r = RegDeleteTreeW(Root(root), WideFromUtf8(key).c_str());
  if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return false;
  // RegDeleteTreeW empties the key; the key itself goes separately.
  const LONG d = RegDeleteKeyW(Root(root), WideFromUtf8(key).c_str());
  return d == ERROR_SUCCESS || d == ERROR_FILE_NOT_FOUND;
}

std::optional<std::string> RegistryGetString(RegistryRoot root, const std::string& key, const std::string& name) {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer - sizeof(wchar_t);
  if (RegGetValueW(Root(root), WideFromUtf8(key).c_str(), WideFromUtf8(name).c_str(), RRF_RT_REG_SZ, nullptr, buffer,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return Utf8FromWide(std::wstring_view(buffer, size / sizeof(wchar_t) > 0 ? size / sizeof(wchar_t) - 1 : 0));
}

std::optional<uint32_t> RegistryGetDword(RegistryRoot root, const std::string& key, const std::string& name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(Root(root), WideFromUtf8(key).c_str(), WideFromUtf8(name).c_str(), RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

}  // namespace platform
