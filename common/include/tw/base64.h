// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

std::string Base64(const unsigned char* data, size_t length);
// The bytes of a Base64 text (padding optional, whitespace ignored); nullopt for any other
// character, a misplaced "=", or a length no encoder makes.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace tw
