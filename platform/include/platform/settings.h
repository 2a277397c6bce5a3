// The service's own settings beyond the specified ones, all optional and off when absent.
// Windows: values under HKLM\SYSTEM\CurrentControlSet\Services\<service>\Parameters, read with
// RegGetValueW. Linux: environment variables <SERVICE>_<NAME IN UPPER SNAKE CASE>
// (Tarnwick + "ListenAddress" -> TARNWICK_LISTEN_ADDRESS), which the systemd unit's environment
// file sets. Reads are thread-safe and do not block on anything but the registry.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::settings {

// A text value (REG_SZ; the variable as it stands), UTF-8. nullopt when absent or empty.
std::optional<std::string> Text(const char* service, const char* name);
// A list (REG_MULTI_SZ; the variable split at white space), UTF-8, empty entries dropped.
std::vector<std::string> List(const char* service, const char* name);

// Where the setting lives (the registry value, or the environment variable), for messages.
std::string Location(const char* service, const char* name);

}  // namespace platform::settings
