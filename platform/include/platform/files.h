// Folders that hold personal data (the log folder, with the card holders' photos).
#pragma once

#include <string>

namespace platform {

// Creates the folder (UTF-8 path) when missing and leaves it readable to the service's own
// account only: on Windows a protected access list with full control for SYSTEM, the
// Administrators and the account the process runs under (the service account, or the user of a
// console run); on Linux mode 0700. A folder that exists is restricted the same way. Does not
// block beyond the file system; thread-safe. false when the folder cannot be created or its
// access cannot be restricted.
bool CreatePrivateDirectory(const std::string& path);

}  // namespace platform
