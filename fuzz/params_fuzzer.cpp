// The parameter reader on any text, any name and any buffer size: it never writes past the
// buffer, always terminates it, and reports a length that fits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t capacity = data[0];  // 0..255, 0 included
  const size_t nameLength = data[1] % 16;
  data += 2;
  size -= 2;
  if (nameLength > size) return 0;
  const std::string name(reinterpret_cast<const char*>(data), nameLength);
  const std::string text(reinterpret_cast<const char*>(data) + nameLength, size - nameLength);
  const mg_str params{text.data(), text.size()};

  std::vector<char> buffer(capacity + 1, '\x7F');  // one guard byte past the buffer
  const int n = mg_get_http_var(&params, name.c_str(), capacity > 0 ? buffer.data() : nullptr, capacity);
  if (capacity == 0) {
    if (n != -2) std::abort();
  } else {
    if (n >= static_cast<int>(capacity) || n < -1) std::abort();
    if (buffer[n < 0 ? 0 : static_cast<size_t>(n)] != '\0') std::abort();
  }
  if (buffer[capacity] != '\x7F') std::abort();
  IntParam(&params, name.c_str(), capacity);
  return 0;
}
