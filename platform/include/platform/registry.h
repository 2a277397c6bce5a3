// The Windows registry, for the few values a module must register with the system (a
// cryptographic provider's entry). Each call opens and closes its key; thread-safe; blocks only
// as long as the registry does. Linux has no registry: every call fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

// Creates the key (and its parents) when missing. false when it cannot be written (no rights).
bool RegistrySetString(RegistryRoot root, const std::string& key, const std::string& name, const std::string& value);
bool RegistrySetDword(RegistryRoot root, const std::string& key, const std::string& name, uint32_t value);
// The key with everything below it; true also when it did not exist.
bool RegistryDeleteTree(RegistryRoot root, const std::string& key);
std::optional<std::string> RegistryGetString(RegistryRoot root, const std::string& key, const std::string& name);
std::optional<uint32_t> RegistryGetDword(RegistryRoot root, const std::string& key, const std::string& name);

}  // namespace platform
