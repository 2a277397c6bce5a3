// Version of the running program. Windows: the FileVersion texts of the executable's
// VERSIONINFO resource. Linux: the version embedded in the program at build time (a program
// embeds one by defining tw_embedded_file_version, see service/host/version_resource.cpp.in).
// Thread-safe; reads the program file, nothing else.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Path of the running program (UTF-8).
std::string ProgramPath();
// Folder of the running program, without a trailing separator (UTF-8).
std::string ProgramDirectory();

// The FileVersion texts of every translation of the version resource, in translation order,
// concatenated (UTF-8); an empty text when no translation has one; nullopt when the program
// has no version resource at all.
std::optional<std::string> ProgramFileVersion();

}  // namespace platform
