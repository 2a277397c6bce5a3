// The photo file of a card holder, "Log/Photo/" + name + ".bmp" in the current directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The path as UTF-8. It fits the 100-byte path buffer of a Windows whose code page is GBK: the
// name is cut at a character boundary, and characters no file name may hold become "_".
std::string PhotoPath(const std::u16string& name);

// Creates or replaces the file. The name reaches the file system as Unicode (the wide file API
// on Windows), so it is the holder's whatever the system's code page. false when it fails.
bool WritePhotoFile(const std::string& utf8Path, const std::vector<uint8_t>& bmp);
