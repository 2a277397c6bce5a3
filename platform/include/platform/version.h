// Version of the running program. Windows: the FileVersion texts of the executable's
// VERSIONINFO resource. Linux: the version embedded in the program at build time (a program
// embeds one by defining tw_embedded_file_version, see service/host/version_resource.cpp.in).
// Thread-safe; reads the program file, nothing else.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The FileVersion texts of every translation of the version resource, in translation order,
// concatenated (UTF-8); an empty text when no translation has one; nullopt when the program
// has no version resource at all.
std::optional<std::string> ProgramFileVersion();

// The fixed file version ("1.2.3.4") of the file at `path` (UTF-8), for the libraries a program
// uses; reads the file's version resource only, never loads it. nullopt when the file has none,
// and always on Linux, whose shared objects carry no such resource.
std::optional<std::string> FileVersionOf(const std::string& path);

}  // namespace platform
