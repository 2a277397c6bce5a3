// What a simulated key holds, and its file: one file per key, named after its serial number.
//
// The file is text with length-prefixed values, so that it can be looked at with any viewer:
//   TWUSBKEY 1\n
//   <name> <decimal length>\n<that many bytes>\n     (once per value)
// Values whose names a reader does not know are skipped, so later versions may add some.
#pragma once

#include <string>
#include <string_view>

namespace usbkey {

constexpr int kPinTries = 6;
constexpr size_t kMaxItemBytes = 128 * 1024;  // certificate, certificate password, picture
constexpr size_t kMaxFileBytes = 4 * kMaxItemBytes;

struct KeyRecord {
  std::string serial;
  std::string pinSalt;
  std::string pinHash;  // SHA-256 of salt and PIN
  int triesLeft = kPinTries;
  std::string privateKey;  // canonical S-expression; empty once formatted
  std::string certificate;
  std::string certPassword;
  std::string signaturePicture;
};

std::string Serialize(const KeyRecord& record);
// False for anything but a whole, well-formed file (a known value twice, a length running past
// the end, a missing PIN, a try count out of range, bytes after the last value).
bool Parse(std::string_view file, KeyRecord* record);

}  // namespace usbkey
