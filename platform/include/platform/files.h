// Files and folders: folders that hold personal data (the log folder, with the card holders'
// photos), and names of temporary files that no other program shares.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Creates the folder (UTF-8 path) when missing and leaves it readable to the service's own
// account only: on Windows a protected access list with full control for SYSTEM, the
// Administrators and the account the process runs under (the service account, or the user of a
// console run); on Linux mode 0700. A folder that exists is restricted the same way. Does not
// block beyond the file system; thread-safe. false when the folder cannot be created or its
// access cannot be restricted.
bool CreatePrivateDirectory(const std::string& path);

// This process's id: part of a temporary file's name, so that two programs working in the same
// temporary folder at the same second do not take each other's files. Thread-safe.
uint32_t CurrentProcessId();

}  // namespace platform
