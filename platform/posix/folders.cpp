#include "platform/folders.h"

#include "platform/files.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace platform {

// Linux has one per-user data folder where Windows has three.
std::string AppDataDirectory() { return DataFolder(); }

std::string ModuleDirectory(const void* address) {
  Dl_info info = {};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return std::string();
  std::string path(resolved);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace platform
