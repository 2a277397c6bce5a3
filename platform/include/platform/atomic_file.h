// Whole-file reads and replacing writes that never leave a half-written file behind: the data go
// to a temporary file beside the target, are flushed to the disk, and the temporary file then
// takes the target's name in one step (MoveFileExW with replace and write-through on Windows,
// rename plus a flush of the folder on Linux). Paths are UTF-8. Blocks on the disk; thread-safe
// for different targets (writers of one target must agree among themselves).
#pragma once

#include <optional>
#include <string>

namespace platform {

// false when the folder is missing or not writable, or the disk is full; the target is then
// unchanged.
bool WriteFileAtomically(const std::string& path, const std::string& data);
// nullopt when the file is missing or cannot be read, or exceeds `maxBytes`.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes);

}  // namespace platform
