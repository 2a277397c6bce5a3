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

bool IsNumber(std::string_view s) {
  const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  size_t i = 0;
  const auto digits = [&s, &i] {
    const size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - start;
  };
  if (i < s.size() && s[i] == '-') ++i;
  // No leading zeros: "0123" is not a number.
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return false;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == s.size();
}

}  // namespace json
