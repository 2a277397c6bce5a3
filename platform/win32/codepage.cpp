#include "platform/codepage.h"

#include <windows.h>

#include <climits>

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t is UTF-16 on Windows");

constexpr UINT kGbk = 936;

UINT WindowsCodePage(CodePage cp) {
  switch (cp) {
    case CodePage::Utf8:
      return CP_UTF8;
    case CodePage::Gbk:
      return kGbk;
    case CodePage::Ansi:
      // Resolved here because an ANSI code page of 65001 needs the UTF-8 flag rules.
      return GetACP();
  }
  return CP_UTF8;
}

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One U+FFFD per byte that does not begin a valid character, the same rule the Linux build
// gets from iconv; the strict whole-text attempt keeps valid input on the fast path.
std::wstring Decode(std::string_view text, UINT cp) {
  std::wstring out;
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return out;
  const int size = static_cast<int>(text.size());
  int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n > 0) {
    out.resize(static_cast<size_t>(n));
    n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text.data(), size, &out[0], n);
    if (n > 0) {
      out.resize(static_cast<size_t>(n));
      return out;
    }
    out.clear();
  }
  const size_t longest = (cp == CP_UTF8) ? 4 : 2;
  size_t i = 0;
  while (i < text.size()) {
    wchar_t unit[2];
    int got = 0;
    size_t used = 0;
    for (size_t len = 1; len <= longest && i + len <= text.size(); ++len) {
      got = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text.data() + i, static_cast<int>(len), unit, 2);
      if (got > 0) {
        used = len;
        break;
      }
    }
    if (used == 0) {
      out.push_back(L'\xFFFD');
      ++i;
    } else {
      out.append(unit, static_cast<size_t>(got));
      i += used;
    }
  }
  return out;
}

std::string AsciiOnly(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string Encode(std::wstring_view text, UINT cp) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
  // Lone surrogates become U+FFFD. Code pages other than UTF-8 hold no supplementary
  // characters, and Windows would write one '?' per surrogate half, so a pair becomes one '?'.
  const bool utf8 = (cp == CP_UTF8);
  std::wstring clean;
  clean.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
      if (utf8) {
        clean.push_back(c);
        clean.push_back(text[i + 1]);
      } else {
        clean.push_back(L'?');
      }
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      clean.push_back(L'\xFFFD');
    } else {
      clean.push_back(c);
    }
  }
  const int size = static_cast<int>(clean.size());
  // Without WC_NO_BEST_FIT_CHARS Windows would swap unmappable characters for look-alikes.
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf8 ? nullptr : "?";
  for (DWORD f : {flags, DWORD{0}}) {
    int n = WideCharToMultiByte(cp, f, clean.data(), size, nullptr, 0, fallback, nullptr);
    if (n <= 0) continue;
    std::string out(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(cp, f, clean.data(), size, &out[0], n, fallback, nullptr);
    if (n <= 0) continue;
    out.resize(static_cast<size_t>(n));
    return out;
  }
  return AsciiOnly(clean);
}

}  // namespace

std::u16string ToUtf16(std::string_view text, CodePage from) {
  const std::wstring wide = Decode(text, WindowsCodePage(from));
  return std::u16string(wide.begin(), wide.end());
}

std::string FromUtf16(std::u16string_view text, CodePage to) {
  const std::wstring wide(text.begin(), text.end());
  return Encode(wide, WindowsCodePage(to));
}

std::string ConvertText(std::string_view text, CodePage from, CodePage to) {
  return Encode(Decode(text, WindowsCodePage(from)), WindowsCodePage(to));
}

std::string LogText(std::string_view utf8) { return ConvertText(utf8, CodePage::Utf8, CodePage::Gbk); }

std::wstring WideFromUtf8(std::string_view utf8) { return Decode(utf8, CP_UTF8); }

std::string Utf8FromWide(std::wstring_view wide) { return Encode(wide, CP_UTF8); }

std::wstring WideFromText(std::string_view text, CodePage from) { return Decode(text, WindowsCodePage(from)); }

std::string TextFromWide(std::wstring_view wide, CodePage to) { return Encode(wide, WindowsCodePage(to)); }

}  // namespace platform
