#include "platform/folders.h"

#include <windows.h>

#include <shlobj.h>

#include <vector>

#include "platform/codepage.h"
#include "this_module.h"

namespace platform {
namespace {

// The file of a module (nullptr: the program), however long its path; empty when the system
// cannot say, or cuts it even at the longest path Windows has.
std::string FileOf(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    // A full buffer means the path was cut.
    if (n < buffer.size()) return Utf8FromWide(std::wstring_view(buffer.data(), n));
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
  wchar_t* path = nullptr;
  std::string out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path)) && path != nullptr) out = Utf8FromWide(path);
  CoTaskMemFree(path);
  return out;
}

}  // namespace

std::string ProgramPath() { return FileOf(nullptr); }
std::string ProgramDirectory() { return FolderOf(ProgramPath()); }

std::string ModulePath() {
  HMODULE module = ThisModule();
  return module != nullptr ? FileOf(module) : std::string();
}
std::string ModuleDirectory() { return FolderOf(ModulePath()); }

std::string SystemDirectory() {
  wchar_t buffer[MAX_PATH];
  const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return Utf8FromWide(std::wstring_view(buffer, n));
}

std::string MachineDataDirectory() { return KnownFolder(FOLDERID_ProgramData); }
std::string RoamingDataDirectory() { return KnownFolder(FOLDERID_RoamingAppData); }
std::string LocalDataDirectory() { return KnownFolder(FOLDERID_LocalAppData); }

}  // namespace platform
