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

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string out;
  unsigned bits = 0;
  int count = 0, padding = 0;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=') {
      ++padding;
      continue;
    } else {
      return std::nullopt;
    }
    if (padding > 0) return std::nullopt;  // data after the padding
    bits = (bits << 6) | static_cast<unsigned>(value);
    if (++count % 4 != 1) out.push_back(static_cast<char>((bits >> (6 - 2 * ((count - 1) % 4))) & 0xFF));
  }
  // A lone sixth of a byte group, or padding that does not complete its group, is malformed.
  if (count % 4 == 1 || padding > 2 || (padding > 0 && (count + padding) % 4 != 0)) return std::nullopt;
  return out;
}

}  // namespace tw
