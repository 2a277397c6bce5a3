#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "http.h"

namespace {

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool NameAt(const char* p, const char* end, const char* name, size_t nameLen) {
  if (static_cast<size_t>(end - p) < nameLen + 1) return false;
  for (size_t i = 0; i < nameLen; ++i) {
    if (std::tolower(static_cast<unsigned char>(p[i])) != std::tolower(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return p[nameLen] == '=';
}

}  // namespace

int mg_get_http_var(const mg_str* buf, const char* name, char* dst, size_t dstLen) {
  if (dst == nullptr || dstLen == 0) return -2;
  dst[0] = '\0';
  if (buf == nullptr || buf->p == nullptr || name == nullptr) return -1;
  const size_t nameLen = std::strlen(name);
  const char* begin = buf->p;
  const char* end = buf->p + buf->len;

  for (const char* p = begin; p < end; ++p) {
    if ((p != begin && p[-1] != '&') || !NameAt(p, end, name, nameLen)) continue;
    const char* v = p + nameLen + 1;
    const char* vend = static_cast<const char*>(std::memchr(v, '&', static_cast<size_t>(end - v)));
    if (vend == nullptr) vend = end;
    size_t n = 0;
    while (v < vend && n + 1 < dstLen) {
      if (*v == '%' && vend - v >= 3 && HexValue(v[1]) >= 0 && HexValue(v[2]) >= 0) {
        dst[n++] = static_cast<char>(HexValue(v[1]) * 16 + HexValue(v[2]));
        v += 3;
      } else {
        dst[n++] = *v == '+' ? ' ' : *v;
        ++v;
      }
    }
    dst[n] = '\0';
    return static_cast<int>(n);
  }
  return -1;
}

int IntParam(const mg_str* params, const char* name, size_t bufferSize) {
  std::vector<char> value(bufferSize > 0 ? bufferSize : 1, 0);
  mg_get_http_var(params, name, value.data(), value.size());
  return std::atoi(value.data());
}
