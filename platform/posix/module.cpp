#include "platform/module.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/version.h"

namespace platform {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

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

std::string ModuleDirectory() {
  const std::string path = ModulePath();
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool PinModule() {
  // Opening it once more with RTLD_NODELETE keeps it mapped through every later dlclose.
  return dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

std::string SystemDirectory() { return "/usr/lib"; }

// Linux has one per-user data folder where Windows has three.
std::string UserDataDirectory() { return DataFolder(); }

bool UiLanguageIsChinese() {
  // The first of these that is set decides, as for the locale's messages category.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string value = Environment(name);
    if (!value.empty()) return value.compare(0, 2, "zh") == 0;
  }
  return false;
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = name != nullptr ? std::getenv(name) : nullptr;
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::string PathJoin(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder + '/' + name;
}

std::optional<std::string> ModuleString(unsigned) { return std::nullopt; }

}  // namespace platform
