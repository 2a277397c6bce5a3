#include "id_card_text.h"

#include <cstring>

#include "platform/codepage.h"

namespace {

std::string ToUtf8(const std::u16string& s) { return platform::FromUtf16(s, platform::CodePage::Utf8); }

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// The character read as a number: blanks, sign, digits; none reads as 0.
long NumberOf(const std::u16string& s) {
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  long v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9' && v < 100000000; ++i) v = v * 10 + (s[i] - u'0');
  return negative ? -v : v;
}

}  // namespace

IdCardText& CardText() {
  static IdCardText text;
  return text;
}

void IdCardText::Load(const uint8_t* block, size_t length) {
  std::memset(block_, 0, sizeof block_);
  if (block != nullptr) std::memcpy(block_, block, length < sizeof block_ ? length : sizeof block_);
}

void IdCardText::SetFingerprint(const uint8_t* data, size_t length) {
  fingerprint_.assign(data, data + (length > 1024 ? 1024 : length));
}

std::u16string IdCardText::Range(size_t first, size_t last) const {
  std::u16string s;
  for (size_t i = first; i + 1 <= last && i + 1 < sizeof block_; i += 2) {
    const char16_t c = static_cast<char16_t>(block_[i] | (block_[i + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  while (!s.empty() && IsSpace(s.back())) s.pop_back();
  return s;
}

std::string IdCardText::Utf8(size_t first, size_t last) const { return ToUtf8(Range(first, last)); }

std::string IdCardText::Dotted(size_t y0, size_t y1, size_t m0, size_t m1, size_t d0, size_t d1) const {
  return Utf8(y0, y1) + "." + Utf8(m0, m1) + "." + Utf8(d0, d1);
}

bool IdCardText::IsForeign() const { return block_[248] == 'I' && block_[249] == 0; }

std::string IdCardText::Name() const { return IsForeign() ? Utf8(0, 119) : Utf8(0, 29); }
std::u16string IdCardText::NameUtf16() const { return IsForeign() ? Range(0, 119) : Range(0, 29); }

std::string IdCardText::Sex() const {
  const std::u16string c = IsForeign() ? Range(120, 121) : Range(30, 31);
  switch (NumberOf(c)) {
    case 0:
      return "未知";
    case 1:
      return IsForeign() ? "男/M" : "男";
    case 2:
      return IsForeign() ? "女/F" : "女";
    case 9:
      return "未说明";
    default:
      return ToUtf8(c);
  }
}

std::string IdCardText::Address() const { return IsForeign() ? std::string() : Utf8(52, 121); }
std::string IdCardText::BirthYear() const { return IsForeign() ? Utf8(220, 227) : Utf8(36, 43); }
std::string IdCardText::BirthMon() const { return IsForeign() ? Utf8(228, 231) : Utf8(44, 47); }
std::string IdCardText::BirthDay() const { return IsForeign() ? Utf8(232, 235) : Utf8(48, 51); }
std::string IdCardText::IdNo() const { return IsForeign() ? Utf8(122, 151) : Utf8(122, 157); }
std::string IdCardText::Police() const { return IsForeign() ? Utf8(240, 247) : Utf8(158, 187); }
std::string IdCardText::ValidateBegin() const { return Dotted(188, 195, 196, 199, 200, 203); }

std::string IdCardText::ValidateEnd() const {
  if (IsForeign()) return Dotted(204, 211, 212, 215, 216, 219);
  const std::u16string end = Range(204, 219);
  if (end.size() != 8) return ToUtf8(end);
  return ToUtf8(end.substr(0, 4)) + "." + ToUtf8(end.substr(4, 2)) + "." + ToUtf8(end.substr(6, 2));
}
