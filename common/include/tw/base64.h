// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <string>

namespace tw {

std::string Base64(const unsigned char* data, size_t length);

}  // namespace tw
