// Any bytes as a simulated USB key's file: the reader takes a whole, well-formed file or nothing,
// never reads past the bytes, and what it takes writes back to a file it reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "key_record.h"

namespace {

bool Same(const usbkey::KeyRecord& a, const usbkey::KeyRecord& b) {
  return a.serial == b.serial && a.pinSalt == b.pinSalt && a.pinHash == b.pinHash && a.triesLeft == b.triesLeft &&
         a.privateKey == b.privateKey && a.certificate == b.certificate && a.certPassword == b.certPassword &&
         a.signaturePicture == b.signaturePicture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  usbkey::KeyRecord record;
  if (!usbkey::Parse(file, &record)) return 0;
  if (record.serial.empty() || record.pinSalt.empty() || record.pinHash.empty() || record.triesLeft < 0 ||
      record.triesLeft > usbkey::kPinTries) {
    std::abort();
  }
  usbkey::KeyRecord again;
  if (!usbkey::Parse(usbkey::Serialize(record), &again) || !Same(record, again)) std::abort();
  return 0;
}
