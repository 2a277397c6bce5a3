#include "json.h"

#include <cstdio>

namespace json {

void AppendEscaped(std::string& out, std::string_view text) {
  for (unsigned char ch : text) {
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (ch < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", ch);
          out += esc;
        } else {
          out.push_back(static_cast<char>(ch));
        }
    }
  }
}

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

}  // namespace json
