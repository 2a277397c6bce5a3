// The JSON texts of the answers. Every value a device or a request supplies goes through
// Quoted, so no value can break an answer; answers that need no escaping come out byte for byte
// as the route tables spell them, odd spacing included.
//
//   json::Object().Add("cardNo", json::Quoted(no)).Add("return", 144).Text()
//       -> {"cardNo":"12AB","return":144}
//   json::Join("{ \"szSAMID\": ", json::Quoted(id), ",\"return\":", 144, "}")
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

namespace json {

// Quote, backslash and control characters escaped; every other byte (UTF-8 included) as it is.
std::string Escape(std::string_view text);
void AppendEscaped(std::string& out, std::string_view text);

// Whether the text is one JSON number (RFC 8259, section 6), blanks around it allowed: what may
// stand unquoted as a value.
bool IsNumber(std::string_view text);

// A string value: its text escaped, between quotes.
struct Quoted {
  explicit Quoted(std::string_view t) : text(t) {}
  std::string_view text;
};
// A value that is already JSON (a number kept as text, a nested object, a data URL built in
// place): inserted as it stands.
struct Raw {
  explicit Raw(std::string_view t) : text(t) {}
  std::string_view text;
};

inline void Append(std::string& out, std::string_view literal) { out.append(literal.data(), literal.size()); }
inline void Append(std::string& out, const char* literal) { out.append(literal); }
inline void Append(std::string& out, const std::string& literal) { out.append(literal); }
inline void Append(std::string& out, const Raw& raw) { out.append(raw.text.data(), raw.text.size()); }
inline void Append(std::string& out, const Quoted& value) {
  out.push_back('"');
  AppendEscaped(out, value.text);
  out.push_back('"');
}
inline void Append(std::string& out, bool value) { out.append(value ? "true" : "false"); }
template <class Number, class = std::enable_if_t<std::is_integral_v<Number> && !std::is_same_v<Number, bool>>>
void Append(std::string& out, Number value) {
  out.append(std::to_string(value));
}

// Literal JSON pieces and values, one after the other.
template <class... Pieces>
std::string Join(const Pieces&... pieces) {
  std::string out;
  (Append(out, pieces), ...);
  return out;
}

// {"name":value,...} in the order of the Add calls.
class Object {
 public:
  template <class Value>
  Object& Add(std::string_view name, const Value& value) {
    if (text_.size() > 1) text_.push_back(',');
    text_.push_back('"');
    AppendEscaped(text_, name);
    text_.append("\":");
    Append(text_, value);
    return *this;
  }
  // The members without the braces, to nest or to extend.
  std::string Members() const { return text_.substr(1); }
  std::string Text() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace json
