// The resident ID card's 256-byte text block as the reader delivers it (HID_ReadBaseMsg,
// HID_ReadBaseFPMsg): UTF-16LE fields, each padded on the right with blanks, no terminators.
// One description for everything that reads or writes the block. C++17, header only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vnsdt::card_text {

constexpr size_t kBlockSize = 256;

// A field: its first byte and its length in UTF-16 units.
struct Field {
  size_t offset;
  size_t units;
  constexpr size_t bytes() const { return 2 * units; }
  constexpr size_t last() const { return offset + bytes() - 1; }
  // The part of `units` units that starts `skip` units in (the year, month, day of a date).
  constexpr Field Part(size_t skip, size_t n) const { return {offset + 2 * skip, n}; }
};

// Resident ID card.
constexpr Field kName{0, 15};
constexpr Field kSex{30, 1};     // one decimal digit
constexpr Field kNation{32, 2};  // two decimal digits
constexpr Field kBirth{36, 8};   // YYYYMMDD
constexpr Field kAddress{52, 35};
constexpr Field kIdNumber{122, 18};
constexpr Field kAuthority{158, 15};
constexpr Field kValidFrom{188, 8};  // YYYYMMDD
constexpr Field kValidTo{204, 8};    // YYYYMMDD, or a text such as a word for "long-term"
constexpr Field kReserved{220, 18};
// The resident fields in block order, as a reader writes them.
constexpr Field kResidentFields[] = {kName,     kSex,       kNation,    kBirth,   kAddress,
                                     kIdNumber, kAuthority, kValidFrom, kValidTo, kReserved};
// A block needs at least this many bytes to carry every resident field.
constexpr size_t kMinimumLength = kReserved.offset;

// The unit at byte 248 is the letter I on a foreign permanent resident card.
constexpr size_t kKindOffset = 248;
constexpr char16_t kForeignMark = u'I';

// Foreign permanent resident card: the fields that differ.
constexpr Field kForeignName{0, 60};
constexpr Field kForeignSex{120, 1};
constexpr Field kForeignIdNumber{122, 15};
constexpr Field kForeignBirth{220, 8};  // YYYYMMDD
constexpr Field kForeignAuthority{240, 4};

// The units of `field` up to the first zero unit; nothing past `size` bytes of `block`.
inline std::u16string Units(const uint8_t* block, size_t size, Field field) {
  std::u16string s;
  for (size_t i = 0; i < field.units; ++i) {
    const size_t at = field.offset + 2 * i;
    if (at + 2 > size) break;
    const char16_t c = static_cast<char16_t>(block[at] | (block[at + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

// A field's number as atoi reads it: blanks, an optional sign, digits up to the first other
// character; no digits read as 0.
inline long Number(const std::u16string& s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == u' ' || (s[i] >= u'\t' && s[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  long value = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9' && value < 100000000; ++i) value = value * 10 + (s[i] - u'0');
  return negative ? -value : value;
}

}  // namespace vnsdt::card_text
