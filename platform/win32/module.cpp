#include "platform/module.h"

#include <windows.h>

#include <vector>

#include "platform/codepage.h"
#include "this_module.h"

namespace platform {

bool PinModule() {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&PinModule), &module) != 0;
}

bool UiLanguageIsChinese() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE; }

std::optional<std::string> EnvironmentValue(const char* name) {
  const std::wstring wide = WideFromUtf8(name != nullptr ? name : "");
  const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::vector<wchar_t> value(size);
  const DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
  if (n >= size) return std::nullopt;  // changed in between
  return Utf8FromWide(std::wstring_view(value.data(), n));
}

std::string PathJoin(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder + '\\' + name;
}

std::optional<std::string> ModuleString(unsigned id) {
  const wchar_t* text = nullptr;
  // With a zero size LoadStringW hands out a pointer into the resource itself.
  const int n = LoadStringW(ThisModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (n <= 0 || text == nullptr) return std::nullopt;
  return Utf8FromWide(std::wstring_view(text, static_cast<size_t>(n)));
}

}  // namespace platform
