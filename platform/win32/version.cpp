#include "platform/version.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

void AppendHex4(std::wstring& out, WORD value) {
  static const wchar_t digits[] = L"0123456789abcdef";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(value >> shift) & 0xF]);
}

struct Translation {
  WORD language;
  WORD codePage;
};

}  // namespace

std::optional<std::string> ProgramFileVersion() {
  // The route reads the path into 400 characters; a deeper program finds no version resource.
  wchar_t path[400];
  const DWORD n = GetModuleFileNameW(nullptr, path, 400);
  if (n == 0) return std::nullopt;
  if (n >= 400) path[399] = L'\0';

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(path, 0, size, info.data())) return std::string();

  std::wstring versions;
  void* list = nullptr;
  UINT listBytes = 0;
  if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &list, &listBytes) && list != nullptr) {
    const auto* entries = static_cast<const Translation*>(list);
    const size_t count = listBytes / sizeof(Translation);
    for (size_t i = 0; i < count; ++i) {
      std::wstring key = L"\\StringFileInfo\\";
      AppendHex4(key, entries[i].language);
      AppendHex4(key, entries[i].codePage);
      key += L"\\FileVersion";
      void* text = nullptr;
      UINT chars = 0;
      if (VerQueryValueW(info.data(), key.c_str(), &text, &chars) && text != nullptr) {
        // Whether the length counts the terminating NUL differs between resource compilers.
        const auto* value = static_cast<const wchar_t*>(text);
        versions.append(value, wcsnlen(value, chars));
      }
    }
  }
  return Utf8FromWide(versions);
}

std::optional<std::string> FileVersionOf(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(wide.c_str(), 0, size, info.data())) return std::nullopt;
  void* fixed = nullptr;
  UINT bytes = 0;
  if (!VerQueryValueW(info.data(), L"\\", &fixed, &bytes) || fixed == nullptr || bytes < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  const auto* v = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(v->dwFileVersionMS)),
                static_cast<unsigned>(LOWORD(v->dwFileVersionMS)), static_cast<unsigned>(HIWORD(v->dwFileVersionLS)),
                static_cast<unsigned>(LOWORD(v->dwFileVersionLS)));
  return std::string(text);
}

}  // namespace platform
