#include "tw/base64.h"

namespace tw {

std::string Base64(const unsigned char* data, size_t n) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  if (data == nullptr || n == 0) return out;
  out.resize((n + 2) / 3 * 4);
  char* o = &out[0];
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *o++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    *o++ = kAlphabet[b2 & 63];
  }
  if (n - i == 1) {
    const unsigned b0 = data[i];
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[(b0 & 3) << 4];
    *o++ = '=';
    *o++ = '=';
  } else if (n - i == 2) {
    const unsigned b0 = data[i], b1 = data[i + 1];
    *o++ = kAlphabet[b0 >> 2];
    *o++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *o++ = kAlphabet[(b1 & 15) << 2];
    *o++ = '=';
  }
  return out;
}

}  // namespace tw
