// Text conversions between UTF-16, UTF-8, GBK (code page 936) and the ANSI code page.
// Windows uses MultiByteToWideChar/WideCharToMultiByte, Linux uses iconv. Pure functions:
// thread-safe, never blocking, never failing (see the replacement rules below).
#pragma once

#include <string>
#include <string_view>

namespace platform {

enum class CodePage {
  Utf8,
  Gbk,   // code page 936
  Ansi,  // the system's ANSI code page on Windows; the locale's (UTF-8) on Linux
};

// Invalid input sequences become U+FFFD; never throws.
std::u16string ToUtf16(std::string_view text, CodePage from);
// Characters the target cannot hold become '?'; never throws.
std::string FromUtf16(std::u16string_view text, CodePage to);
std::string ConvertText(std::string_view text, CodePage from, CodePage to);

// Narrow texts of log records: GBK in the Windows build, UTF-8 on Linux.
std::string LogText(std::string_view utf8);

// wchar_t helpers for code that talks to wide Windows interfaces (wchar_t is UTF-16 there,
// UTF-32 on Linux).
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
// The same for any code page, by the rules above (MultiByteToWideChar and WideCharToMultiByte
// on Windows, so CodePage::Ansi is CP_ACP there).
std::wstring WideFromText(std::string_view text, CodePage from);
std::string TextFromWide(std::wstring_view wide, CodePage to);

}  // namespace platform
