// Any text block: the library's decoding into the GBK record, and the service's reading of the
// ten answer fields, for either card kind. The record stays within its 300 bytes with every
// text slot terminated; the fields are valid UTF-8 that the JSON writer keeps intact.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/json.h"
#include "idcard/id_card_text.h"
#include "vnsdtapi.h"

namespace {

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char record[300 + 8];
  std::memset(record, 0x7E, sizeof record);
  const int r = DecodeWZData(data, static_cast<unsigned>(size), record);
  for (size_t i = 300; i < sizeof record; ++i) {
    if (record[i] != 0x7E) std::abort();
  }
  if (r == 1) {
    // name, sex, nation, birth, address, number, authority, validity: each slot ends in a NUL.
    const size_t slots[][2] = {{0, 32},   {32, 8},   {40, 20},  {60, 12}, {72, 72},
                               {144, 20}, {164, 32}, {196, 12}, {208, 12}};
    for (const auto& slot : slots) {
      if (std::memchr(record + slot[0], 0, slot[1]) == nullptr) std::abort();
    }
  } else if (r != -1) {
    std::abort();
  }

  IdCardText text;
  text.Load(data, size);
  const CardFields f = text.Fields();
  for (const std::string* field : {&f.name, &f.sex, &f.address, &f.birthYear, &f.birthMon, &f.birthDay, &f.idNo,
                                   &f.police, &f.validateBegin, &f.validateEnd}) {
    if (!ValidUtf8(*field)) std::abort();
    const std::string quoted = json::Join(json::Quoted(*field));
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') std::abort();
  }
  return 0;
}
