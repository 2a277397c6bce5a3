#include "platform/files.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool CreatePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return ::chmod(path.c_str(), 0700) == 0;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace platform
