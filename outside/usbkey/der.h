// A small DER encoder (ITU-T X.690), just what a self-signed X.509 certificate needs. Values
// are byte strings; constructed values are the concatenation of their encoded members.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace der {

// Tag, definite length (short form below 128, else the shortest long form), content.
std::string Tlv(uint8_t tag, std::string_view content);

std::string Sequence(std::initializer_list<std::string_view> members);
std::string Set(std::initializer_list<std::string_view> members);
// [number] EXPLICIT, number 0..30.
std::string Explicit(unsigned number, std::string_view encoded);

std::string Boolean(bool value);
// An unsigned big-endian magnitude as a positive INTEGER: leading zero bytes dropped, one
// added when the top bit is set; an empty magnitude is 0.
std::string Integer(std::string_view magnitude);
std::string Integer(uint64_t value);
std::string Null();
// Dotted text, for example "1.2.840.113549.1.1.11"; empty on malformed text.
std::string ObjectId(std::string_view dotted);
std::string OctetString(std::string_view bytes);
std::string BitString(std::string_view bytes);  // whole bytes, no unused bits
std::string Utf8String(std::string_view text);
// Seconds since 1970 (UTC), as UTCTime for the years 1950 to 2049 and GeneralizedTime
// otherwise (RFC 5280, 4.1.2.5). 64-bit: some builds' time_t ends in 2038.
std::string Time(int64_t when);

}  // namespace der
