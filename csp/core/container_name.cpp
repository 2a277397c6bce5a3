#include "container_name.h"

#include <cstring>

namespace csp {

std::optional<ContainerName> ParseContainerName(const char* name) {
  ContainerName out;
  if (name == nullptr) return out;
  // Bounded: a caller's name need not be terminated within any sensible length.
  const size_t length = strnlen(name, kMaxFullName + 1);
  if (length > kMaxFullName) return std::nullopt;
  const std::string full(name, length);
  static const std::string kDevicePrefix = "\\\\.\\";
  if (full.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0) {
    const std::string rest = full.substr(kDevicePrefix.size());
    const size_t cut = rest.find('\\');
    out.reader = rest.substr(0, cut);
    if (cut != std::string::npos) out.container = rest.substr(cut + 1);
    if (out.reader.empty()) return std::nullopt;
  } else {
    out.container = full;
  }
  if (out.container.size() > kMaxContainerName) return std::nullopt;
  return out;
}

}  // namespace csp
