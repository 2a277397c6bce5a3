#include "platform/registry.h"

namespace platform {

bool RegistrySetString(RegistryRoot, const std::string&, const std::string&, const std::string&) { return false; }
bool RegistrySetDword(RegistryRoot, const std::string&, const std::string&, uint32_t) { return false; }
bool RegistryDeleteTree(RegistryRoot, const std::string&) { return false; }
std::optional<std::string> RegistryGetString(RegistryRoot, const std::string&, const std::string&) {
  return std::nullopt;
}
std::optional<uint32_t> RegistryGetDword(RegistryRoot, const std::string&, const std::string&) { return std::nullopt; }

}  // namespace platform
