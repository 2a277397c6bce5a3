#include "platform/folders.h"

#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut == 0 ? 1 : cut);
}

// The XDG rules: $XDG_DATA_HOME when it is absolute (a relative one is invalid), else
// $HOME/.local/share, with the account's home when $HOME is unusable.
std::string UserDataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') return xdg;
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  }
  return home.empty() ? std::string() : home + "/.local/share";
}

}  // namespace

std::string ProgramPath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    // readlink truncates silently: a full buffer may hold only part of the path.
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    if (buffer.size() >= (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProgramDirectory() { return FolderOf(ProgramPath()); }

std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) return std::string();
  // The loader keeps the name it was given, which for a program may be relative.
  char* full = realpath(info.dli_fname, nullptr);
  if (full == nullptr) return ProgramPath();
  std::string path(full);
  std::free(full);
  return path;
}

std::string ModuleDirectory() { return FolderOf(ModulePath()); }

std::string SystemDirectory() { return "/usr/lib"; }

std::string MachineDataDirectory() { return UserDataHome(); }
std::string RoamingDataDirectory() { return UserDataHome(); }
std::string LocalDataDirectory() { return UserDataHome(); }

}  // namespace platform
