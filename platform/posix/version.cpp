#include "platform/version.h"

#include <unistd.h>

#include <vector>

// Defined only by programs that embed a version; a weak reference stays null otherwise.
extern "C" __attribute__((weak)) const char tw_embedded_file_version[];

namespace platform {

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

std::string ProgramDirectory() {
  const std::string path = ProgramPath();
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::optional<std::string> ProgramFileVersion() {
  if (tw_embedded_file_version == nullptr) return std::nullopt;
  return std::string(tw_embedded_file_version);
}

std::optional<std::string> FileVersionOf(const std::string&) { return std::nullopt; }

}  // namespace platform
