// Sets or removes one of the service's own settings where the service reads it: the registry
// value under the service's Parameters key on Windows, the environment variable on Linux.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#endif

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/settings.h"

namespace tw::testing {

// `value` null removes the setting; a list is passed as one text with blanks between entries.
inline void SetSetting(const char* name, const char* value, bool list = false) {
#if defined(_WIN32)
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\Tarnwick\\Parameters";
  const std::wstring valueName = platform::WideFromUtf8(name);
  if (value == nullptr) {
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName.c_str());
    return;
  }
  std::wstring data = platform::WideFromUtf8(value);
  if (list) {
    for (wchar_t& ch : data) {
      if (ch == L' ') ch = L'\0';
    }
    data.push_back(L'\0');
  }
  data.push_back(L'\0');
  ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName.c_str(), list ? REG_MULTI_SZ : REG_SZ, data.data(),
                    static_cast<DWORD>(data.size() * sizeof(wchar_t)));
#else
  (void)list;
  const std::string variable = platform::settings::Location("Tarnwick", name);
  if (value == nullptr) {
    ::unsetenv(variable.c_str());
  } else {
    ::setenv(variable.c_str(), value, 1);
  }
#endif
}

}  // namespace tw::testing
