#include "tw/base64.h"
#include "http.h"

std::string Base64Encode(const unsigned char* data, int length) {
  return length > 0 ? tw::Base64(data, static_cast<size_t>(length)) : std::string();
}
