#include "id_card_text.h"

#include <cstring>

#include "platform/codepage.h"

namespace layout = vnsdt::card_text;

namespace {

std::string ToUtf8(const std::u16string& s) { return platform::FromUtf16(s, platform::CodePage::Utf8); }

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

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

std::u16string IdCardText::Text(layout::Field field) const {
  std::u16string s = layout::Units(block_, sizeof block_, field);
  while (!s.empty() && IsSpace(s.back())) s.pop_back();
  return s;
}

std::string IdCardText::Utf8(layout::Field field) const { return ToUtf8(Text(field)); }

std::string IdCardText::Dotted(layout::Field date) const {
  return Utf8(date.Part(0, 4)) + "." + Utf8(date.Part(4, 2)) + "." + Utf8(date.Part(6, 2));
}

bool IdCardText::IsForeign() const {
  return block_[layout::kKindOffset] == layout::kForeignMark && block_[layout::kKindOffset + 1] == 0;
}

std::u16string IdCardText::NameUtf16() const { return Text(IsForeign() ? layout::kForeignName : layout::kName); }

std::string IdCardText::Sex() const {
  const std::u16string c = Text(IsForeign() ? layout::kForeignSex : layout::kSex);
  switch (layout::Number(c)) {
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

std::string IdCardText::ValidateEnd() const {
  if (IsForeign()) return Dotted(layout::kValidTo);
  // An 8-digit date gets its dots; a word such as "long-term" stays as it is.
  const std::u16string end = Text(layout::kValidTo);
  if (end.size() != 8) return ToUtf8(end);
  return ToUtf8(end.substr(0, 4)) + "." + ToUtf8(end.substr(4, 2)) + "." + ToUtf8(end.substr(6, 2));
}

CardFields IdCardText::Fields() const {
  const bool foreign = IsForeign();
  const layout::Field birth = foreign ? layout::kForeignBirth : layout::kBirth;
  return {ToUtf8(NameUtf16()),
          Sex(),
          foreign ? std::string() : Utf8(layout::kAddress),
          Utf8(birth.Part(0, 4)),
          Utf8(birth.Part(4, 2)),
          Utf8(birth.Part(6, 2)),
          Utf8(foreign ? layout::kForeignIdNumber : layout::kIdNumber),
          Utf8(foreign ? layout::kForeignAuthority : layout::kAuthority),
          Dotted(layout::kValidFrom),
          ValidateEnd()};
}
