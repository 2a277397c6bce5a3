#include "json.h"

#include <cstdio>

namespace json {

void AppendEscaped(std::string& out, std::string_view text) {
  // Runs that need no escaping go in whole.
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch >= 0x20 && ch != '"' && ch != '\\') continue;
    out.append(text.data() + from, i - from);
    from = i + 1;
    if (ch == '"') {
      out += "\\\"";
    } else if (ch == '\\') {
      out += "\\\\";
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", ch);
      out += esc;
    }
  }
  out.append(text.data() + from, text.size() - from);
}

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

}  // namespace json
