// The container name a caller gives to an acquire: empty or absent for the key's default
// container, or "\\.\<reader>\<container>" to pick the reader too.
#pragma once

#include <optional>
#include <string>

namespace csp {

constexpr size_t kMaxFullName = 260;
constexpr size_t kMaxContainerName = 64;

struct ContainerName {
  std::string reader;     // empty: the provider picks a reader
  std::string container;  // empty: the default container
};

// nullopt for a bad name: longer than 260 characters, a container part longer than 64, or a
// reader prefix with no reader name.
std::optional<ContainerName> ParseContainerName(const char* name);

}  // namespace csp
