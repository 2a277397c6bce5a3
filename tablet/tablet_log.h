// The library's own log: "PMTabletdll.log" in the user's application-data folder, one line per
// entry, written only while logging is on. Logging starts as "config.ini" beside the library
// file says (section "LOG", key "enable"), and PMLogEnable switches it. Thread-safe; a line
// that cannot be written is dropped.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tablet::log {

constexpr char kFileName[] = "PMTabletdll.log";
constexpr char kConfigName[] = "config.ini";

// At load: the flag from config.ini in `libraryFolder`; when it is set, an old log is deleted.
void Configure(const std::string& libraryFolder);
// Sets the flag; switching on deletes an old log. true when an existing file was deleted.
bool Enable(int enable);
bool Enabled();

// One line: "year/month/day-hour/minute/second:" (no padding), the text, ", error is 0x%x"
// when code is not 0, CR LF.
void Write(const std::string& text, uint32_t code = 0);
std::string FormatLine(const std::tm& localTime, const std::string& text, uint32_t code);

// The integer a Windows profile file holds for [section] key (names without regard to case),
// or `fallback`; negative values read as 0, as GetPrivateProfileInt reads them.
int ProfileInt(const std::string& file, const std::string& section, const std::string& key, int fallback);

// Where the log goes; tests point it elsewhere (empty: the application-data folder).
void SetFolderForTesting(const std::string& folder);
std::string FilePath();

}  // namespace tablet::log
