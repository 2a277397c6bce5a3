#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char32_t), "wchar_t is UTF-32 on Linux");

constexpr char16_t kReplacement = 0xFFFD;

const char* IconvName(CodePage cp) {
  switch (cp) {
    case CodePage::Gbk:
      // Not GB18030: characters outside GBK must become '?', as they do on Windows.
      return "GBK";
    case CodePage::Utf8:
    case CodePage::Ansi:
      return "UTF-8";
  }
  return "UTF-8";
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  void Reset() {
    if (ok()) iconv(cd_, nullptr, nullptr, nullptr, nullptr);
  }

  enum class Stop { Done, Invalid };

  // Converts as much as it can, appending to out; stops at the end or at input it cannot
  // convert (in points there).
  Stop Run(const char*& in, size_t& inLeft, std::string& out) {
    while (inLeft > 0) {
      char buffer[4096];
      char* dst = buffer;
      size_t dstLeft = sizeof buffer;
      char* src = const_cast<char*>(in);
      const size_t rc = iconv(cd_, &src, &inLeft, &dst, &dstLeft);
      in = src;
      out.append(buffer, sizeof buffer - dstLeft);
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) return Stop::Invalid;
    }
    char buffer[64];
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
    out.append(buffer, sizeof buffer - dstLeft);
    return Stop::Done;
  }

 private:
  iconv_t cd_;
};

// Opening a converter costs far more than most conversions (a card's text is a dozen short
// fields), so each thread keeps the few it has used. Returned reset to its initial state.
Converter& Cached(const char* to, const char* from) {
  struct Entry {
    const char* to;
    const char* from;
    std::unique_ptr<Converter> converter;
  };
  thread_local std::vector<Entry> cache;
  for (Entry& e : cache) {
    if (std::strcmp(e.to, to) == 0 && std::strcmp(e.from, from) == 0) {
      e.converter->Reset();
      return *e.converter;
    }
  }
  cache.push_back({to, from, std::make_unique<Converter>(to, from)});
  return *cache.back().converter;
}

std::u16string FromLittleEndian(const std::string& bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return out;
}

void AppendLittleEndian(std::string& out, char16_t c) {
  out.push_back(static_cast<char>(c & 0xFF));
  out.push_back(static_cast<char>(c >> 8));
}

}  // namespace

std::u16string ToUtf16(std::string_view text, CodePage from) {
  if (text.empty()) return std::u16string();
  Converter& conv = Cached("UTF-16LE", IconvName(from));
  if (!conv.ok()) {
    std::u16string out;
    for (char c : text) out.push_back(static_cast<unsigned char>(c) < 0x80 ? c : kReplacement);
    return out;
  }
  std::string bytes;
  bytes.reserve(text.size() * 2);
  const char* in = text.data();
  size_t left = text.size();
  // Each byte that does not begin a valid character, truncated ones at the end included,
  // becomes one U+FFFD.
  while (conv.Run(in, left, bytes) == Converter::Stop::Invalid) {
    AppendLittleEndian(bytes, kReplacement);
    ++in;
    --left;
  }
  return FromLittleEndian(bytes);
}

std::string FromUtf16(std::u16string_view text, CodePage to) {
  if (text.empty()) return std::string();
  // Lone surrogates are invalid input: U+FFFD, which the target may in turn hold or not.
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendLittleEndian(bytes, c);
      AppendLittleEndian(bytes, text[++i]);
    } else if (IsHigh(c) || IsLow(c)) {
      AppendLittleEndian(bytes, kReplacement);
    } else {
      AppendLittleEndian(bytes, c);
    }
  }
  std::string out;
  Converter& conv = Cached(IconvName(to), "UTF-16LE");
  if (!conv.ok()) {
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
  }
  out.reserve(text.size());
  const char* in = bytes.data();
  size_t left = bytes.size();
  while (conv.Run(in, left, out) == Converter::Stop::Invalid) {
    // A character the target cannot hold; a surrogate pair is one character.
    const size_t skip =
        (left >= 4 &&
         IsHigh(static_cast<char16_t>(static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8))))
            ? 4
            : 2;
    out.push_back('?');
    in += skip;
    left -= skip < left ? skip : left;
  }
  return out;
}

std::string ConvertText(std::string_view text, CodePage from, CodePage to) {
  return FromUtf16(ToUtf16(text, from), to);
}

std::string LogText(std::string_view utf8) { return std::string(utf8); }

std::wstring WideFromUtf8(std::string_view utf8) { return WideFromText(utf8, CodePage::Utf8); }

std::string Utf8FromWide(std::wstring_view wide) { return TextFromWide(wide, CodePage::Utf8); }

std::wstring WideFromText(std::string_view text, CodePage from) {
  const std::u16string units = ToUtf16(text, from);
  std::wstring out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t c = units[i];
    if (IsHigh(c) && i + 1 < units.size() && IsLow(units[i + 1])) {
      const char32_t cp =
          0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (static_cast<char32_t>(units[i + 1]) - 0xDC00);
      out.push_back(static_cast<wchar_t>(cp));
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      out.push_back(static_cast<wchar_t>(kReplacement));
    } else {
      out.push_back(static_cast<wchar_t>(c));
    }
  }
  return out;
}

std::string TextFromWide(std::wstring_view wide, CodePage to) {
  std::u16string units;
  units.reserve(wide.size());
  for (wchar_t w : wide) {
    const char32_t c = static_cast<char32_t>(w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      units.push_back(kReplacement);
    } else if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return FromUtf16(units, to);
}

}  // namespace platform
