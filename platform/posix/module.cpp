#include "platform/module.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "platform/folders.h"

namespace platform {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

bool PinModule() {
  // Opening it once more with RTLD_NODELETE keeps it mapped through every later dlclose.
  return dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

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
