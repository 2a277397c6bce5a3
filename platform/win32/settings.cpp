#include "platform/settings.h"

#include <windows.h>

#include <vector>

#include "platform/codepage.h"

namespace platform::settings {
namespace {

std::wstring KeyPath(const char* service) {
  return L"SYSTEM\\CurrentControlSet\\Services\\" + WideFromUtf8(service) + L"\\Parameters";
}

// The raw value of the given types, as wide characters; empty when absent.
std::vector<wchar_t> Read(const char* service, const char* name, DWORD types) {
  const std::wstring key = KeyPath(service);
  const std::wstring value = WideFromUtf8(name);
  DWORD bytes = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), types, nullptr, nullptr, &bytes) !=
          ERROR_SUCCESS ||
      bytes == 0) {
    return {};
  }
  std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
  bytes = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), types, nullptr, data.data(), &bytes) !=
      ERROR_SUCCESS) {
    return {};
  }
  return data;
}

}  // namespace

std::string Location(const char* service, const char* name) {
  return "HKLM\\" + Utf8FromWide(KeyPath(service)) + "\\" + name;
}

std::optional<std::string> Text(const char* service, const char* name) {
  const std::vector<wchar_t> data = Read(service, name, RRF_RT_REG_SZ);
  if (data.empty() || data[0] == L'\0') return std::nullopt;
  return Utf8FromWide(data.data());
}

std::vector<std::string> List(const char* service, const char* name) {
  const std::vector<wchar_t> data = Read(service, name, RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ);
  std::vector<std::string> items;
  // Strings one after the other, each ended by a NUL, the list by an empty one.
  for (size_t at = 0; at < data.size() && data[at] != L'\0';) {
    const std::wstring item(data.data() + at);
    items.push_back(Utf8FromWide(item));
    at += item.size() + 1;
  }
  return items;
}

}  // namespace platform::settings
