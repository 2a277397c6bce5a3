#include "platform/module.h"

#include <shlobj.h>
#include <windows.h>

#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

std::string ModulePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(ThisModule(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    // A full buffer means the path was cut.
    if (n < buffer.size()) return Utf8FromWide(std::wstring_view(buffer.data(), n));
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ModuleDirectory() { return FolderOf(ModulePath()); }

bool PinModule() {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&ThisModule), &module) != 0;
}

std::string SystemDirectory() {
  wchar_t buffer[MAX_PATH];
  const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return Utf8FromWide(std::wstring_view(buffer, n));
}

std::string UserDataDirectory() {
  wchar_t* path = nullptr;
  std::string out;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &path)) && path != nullptr) {
    out = Utf8FromWide(path);
  }
  CoTaskMemFree(path);
  return out;
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
