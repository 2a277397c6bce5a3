#include "platform/version.h"

// Defined only by programs that embed a version; a weak reference stays null otherwise.
extern "C" __attribute__((weak)) const char tw_embedded_file_version[];

namespace platform {

std::optional<std::string> ProgramFileVersion() {
  if (tw_embedded_file_version == nullptr) return std::nullopt;
  return std::string(tw_embedded_file_version);
}

std::optional<std::string> FileVersionOf(const std::string&) { return std::nullopt; }

}  // namespace platform
