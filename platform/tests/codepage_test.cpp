#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

TEST(CodePage, EmptyInputGivesEmptyOutput) {
  EXPECT_EQ(ToUtf16("", CodePage::Utf8), u"");
  EXPECT_EQ(ToUtf16("", CodePage::Gbk), u"");
  EXPECT_EQ(ToUtf16("", CodePage::Ansi), u"");
  EXPECT_EQ(FromUtf16(u"", CodePage::Utf8), "");
  EXPECT_EQ(FromUtf16(u"", CodePage::Gbk), "");
  EXPECT_EQ(FromUtf16(u"", CodePage::Ansi), "");
  EXPECT_EQ(ConvertText("", CodePage::Utf8, CodePage::Gbk), "");
  EXPECT_EQ(LogText(""), "");
  EXPECT_EQ(WideFromUtf8(""), L"");
  EXPECT_EQ(Utf8FromWide(L""), "");
}

TEST(CodePage, Utf8ToUtf16AndBack) {
  const std::string utf8 = "ID \xE5\xA7\x93\xE5\x90\x8D \xC3\xA9";  // "ID 姓名 é"
  const std::u16string utf16 = u"ID \u59D3\u540D \u00E9";
  EXPECT_EQ(ToUtf16(utf8, CodePage::Utf8), utf16);
  EXPECT_EQ(FromUtf16(utf16, CodePage::Utf8), utf8);
}

TEST(CodePage, SurrogatePairThroughUtf8) {
  const std::string utf8 = "a\xF0\x9F\x98\x80z";  // U+1F600
  const std::u16string utf16 = u"a\xD83D\xDE00z";
  EXPECT_EQ(ToUtf16(utf8, CodePage::Utf8), utf16);
  EXPECT_EQ(FromUtf16(utf16, CodePage::Utf8), utf8);
}

TEST(CodePage, EmbeddedNulIsKept) {
  const std::string utf8("a\0b", 3);
  const std::u16string utf16(u"a\0b", 3);
  EXPECT_EQ(ToUtf16(utf8, CodePage::Utf8), utf16);
  EXPECT_EQ(ToUtf16(utf8, CodePage::Gbk), utf16);
  EXPECT_EQ(FromUtf16(utf16, CodePage::Utf8), utf8);
  EXPECT_EQ(FromUtf16(utf16, CodePage::Gbk), utf8);
}

TEST(CodePage, InvalidUtf8BecomesReplacementCharacter) {
  EXPECT_EQ(ToUtf16("\xFF", CodePage::Utf8), u"\xFFFD");
  EXPECT_EQ(ToUtf16("a\xFF"
                    "b",
                    CodePage::Utf8),
            u"a\xFFFD"
            u"b");
  // A stray continuation byte, an overlong form and an encoded surrogate.
  EXPECT_EQ(ToUtf16("\x80", CodePage::Utf8), u"\xFFFD");
  EXPECT_EQ(ToUtf16("\xC0\x80", CodePage::Utf8), u"\xFFFD\xFFFD");
  EXPECT_EQ(ToUtf16("\xED\xA0\x80", CodePage::Utf8), u"\xFFFD\xFFFD\xFFFD");
  // Beyond U+10FFFF.
  EXPECT_EQ(ToUtf16("\xF4\x90\x80\x80", CodePage::Utf8), u"\xFFFD\xFFFD\xFFFD\xFFFD");
}

TEST(CodePage, TruncatedUtf8GivesOneReplacementPerByte) {
  // "汉" is E6 B1 89; cut short at the end and in the middle.
  EXPECT_EQ(ToUtf16("x\xE6\xB1", CodePage::Utf8), u"x\xFFFD\xFFFD");
  EXPECT_EQ(ToUtf16("\xE6\xB1"
                    "A\xE6\xB1\x89",
                    CodePage::Utf8),
            u"\xFFFD\xFFFD"
            u"A\x6C49");
}

TEST(CodePage, GbkKnownBytes) {
  EXPECT_EQ(FromUtf16(u"\x7537", CodePage::Gbk), "\xC4\xD0");  // 男
  EXPECT_EQ(FromUtf16(u"\x5973", CodePage::Gbk), "\xC5\xAE");  // 女
  EXPECT_EQ(FromUtf16(u"\x6C49", CodePage::Gbk), "\xBA\xBA");  // 汉
  EXPECT_EQ(ToUtf16("\xC4\xD0", CodePage::Gbk), u"\x7537");
  EXPECT_EQ(ToUtf16("\xC5\xAE", CodePage::Gbk), u"\x5973");
  EXPECT_EQ(ToUtf16("\xBA\xBA", CodePage::Gbk), u"\x6C49");
}

TEST(CodePage, GbkPhraseFromUtf8) {
  const std::string utf8 = "\xE5\x8A\xA0\xE8\xBD\xBD\xE5\x8A\xA8\xE6\x80\x81\xE5\xBA\x93";  // 加载动态库
  const std::string gbk = "\xBC\xD3\xD4\xD8\xB6\xAF\xCC\xAC\xBF\xE2";
  EXPECT_EQ(ConvertText(utf8, CodePage::Utf8, CodePage::Gbk), gbk);
  EXPECT_EQ(ConvertText(gbk, CodePage::Gbk, CodePage::Utf8), utf8);
  EXPECT_EQ(ConvertText("A1 " + utf8, CodePage::Utf8, CodePage::Gbk), "A1 " + gbk);
}

TEST(CodePage, CharactersOutsideGbkBecomeQuestionMarks) {
  // One '?' for a supplementary character, not one per surrogate half.
  EXPECT_EQ(FromUtf16(u"\xD83D\xDE00", CodePage::Gbk), "?");
  EXPECT_EQ(ConvertText("\xE6\xB1\x89\xF0\x9F\x98\x80"
                        "b",
                        CodePage::Utf8, CodePage::Gbk),
            "\xBA\xBA?b");
  // Thai and Hangul are not in GBK; no look-alike may stand in for them.
  EXPECT_EQ(FromUtf16(u"a\x0E01"
                      u"b\xD55C",
                      CodePage::Gbk),
            "a?b?");
  // Windows would best-fit these to '2', 'a' and '|'.
  EXPECT_EQ(FromUtf16(u"x\x00B2\x00AA\x00A6", CodePage::Gbk), "x???");
}

TEST(CodePage, LoneSurrogatesAreInvalidInput) {
  EXPECT_EQ(FromUtf16(u"a\xD800"
                      u"b",
                      CodePage::Utf8),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(FromUtf16(u"a\xDC00", CodePage::Utf8), "a\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf16(u"\xD800", CodePage::Utf8), "\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf16(u"\xDE00\xD83D", CodePage::Utf8), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf16(u"a\xD800"
                      u"b",
                      CodePage::Gbk),
            "a?b");
}

TEST(CodePage, InvalidGbkBecomesReplacementCharacter) {
  // 0x81 leads a double-byte character, but 0x20 cannot follow it.
  EXPECT_EQ(ToUtf16("\x81\x20"
                    "A",
                    CodePage::Gbk),
            u"\xFFFD A");
  // A lead byte with nothing after it.
  EXPECT_EQ(ToUtf16("\xBA\xBA\xC4", CodePage::Gbk), u"\x6C49\xFFFD");
  EXPECT_EQ(ConvertText("\xC4", CodePage::Gbk, CodePage::Utf8), "\xEF\xBF\xBD");
  // U+FFFD itself is not in GBK.
  EXPECT_EQ(ConvertText("\xC4", CodePage::Gbk, CodePage::Gbk), "?");
}

TEST(CodePage, InvalidUtf8ToGbk) {
  EXPECT_EQ(ConvertText("a\xFF\xE7\x94\xB7", CodePage::Utf8, CodePage::Gbk), "a?\xC4\xD0");
}

TEST(CodePage, LongTextSurvivesRoundTrip) {
  std::u16string utf16;
  std::string gbk;
  std::string utf8;
  for (int i = 0; i < 50000; ++i) {
    utf16 += (i % 3 == 0) ? u"\x7537" : (i % 3 == 1) ? u"x" : u"\x6C49";
    gbk += (i % 3 == 0) ? "\xC4\xD0" : (i % 3 == 1) ? "x" : "\xBA\xBA";
    utf8 += (i % 3 == 0) ? "\xE7\x94\xB7" : (i % 3 == 1) ? "x" : "\xE6\xB1\x89";
  }
  EXPECT_EQ(FromUtf16(utf16, CodePage::Gbk), gbk);
  EXPECT_EQ(ToUtf16(gbk, CodePage::Gbk), utf16);
  EXPECT_EQ(FromUtf16(utf16, CodePage::Utf8), utf8);
  EXPECT_EQ(ToUtf16(utf8, CodePage::Utf8), utf16);
  EXPECT_EQ(ConvertText(utf8, CodePage::Utf8, CodePage::Gbk), gbk);
  // A bad byte after many output buffers' worth of text.
  EXPECT_EQ(ToUtf16(utf8 + "\xFF"
                           "end",
                    CodePage::Utf8),
            utf16 +
                u"\xFFFD"
                u"end");
  EXPECT_EQ(FromUtf16(utf16 + u"\x0E01"
                              u"end",
                      CodePage::Gbk),
            gbk + "?end");
}

TEST(CodePage, AnsiHoldsAscii) {
  EXPECT_EQ(ToUtf16("Reader 01", CodePage::Ansi), u"Reader 01");
  EXPECT_EQ(FromUtf16(u"Reader 01", CodePage::Ansi), "Reader 01");
  EXPECT_EQ(ConvertText("Reader 01", CodePage::Ansi, CodePage::Gbk), "Reader 01");
}

#if defined(_WIN32)
TEST(CodePage, LogTextIsGbk) {
  EXPECT_EQ(LogText("\xE7\x94\xB7 ok"), "\xC4\xD0 ok");
  EXPECT_EQ(LogText("\xF0\x9F\x98\x80"), "?");
}
#else
TEST(CodePage, AnsiIsUtf8) {
  EXPECT_EQ(ToUtf16("\xE6\xB1\x89", CodePage::Ansi), u"\x6C49");
  EXPECT_EQ(FromUtf16(u"\x6C49\xD83D\xDE00", CodePage::Ansi), "\xE6\xB1\x89\xF0\x9F\x98\x80");
}

TEST(CodePage, LogTextIsUnchangedUtf8) {
  EXPECT_EQ(LogText("\xE7\x94\xB7 ok"), "\xE7\x94\xB7 ok");
  EXPECT_EQ(LogText(std::string("a\0\xFF", 3)), std::string("a\0\xFF", 3));
}
#endif

TEST(CodePage, WideRoundTrip) {
  const std::string utf8 = "a\xE6\xB1\x89\xF0\x9F\x98\x80z";
  const std::wstring wide = L"a\u6C49\U0001F600z";
  EXPECT_EQ(WideFromUtf8(utf8), wide);
  EXPECT_EQ(Utf8FromWide(wide), utf8);
  EXPECT_EQ(WideFromUtf8("\xFF"), L"\uFFFD");
}

TEST(CodePage, WideInAnyCodePage) {
  const std::wstring wide = L"ID \u6C49\U0001F600";
  // GBK holds the Han character, not the emoji: one '?' for the pair.
  EXPECT_EQ(TextFromWide(wide, CodePage::Gbk), "ID \xBA\xBA?");
  EXPECT_EQ(WideFromText("ID \xBA\xBA", CodePage::Gbk), L"ID \u6C49");
  EXPECT_EQ(TextFromWide(wide, CodePage::Utf8), Utf8FromWide(wide));
  EXPECT_EQ(WideFromText("ID", CodePage::Ansi), L"ID");
  EXPECT_EQ(TextFromWide(L"ID", CodePage::Ansi), "ID");
  EXPECT_EQ(TextFromWide(L"", CodePage::Gbk), "");
}

TEST(CodePage, InvalidWideBecomesReplacementCharacter) {
  std::wstring wide = L"a";
  wide.push_back(static_cast<wchar_t>(0xD800));
  wide += L"b";
  EXPECT_EQ(Utf8FromWide(wide),
            "a\xEF\xBF\xBD"
            "b");
#if !defined(_WIN32)
  // UTF-32 values no UTF-16 text could carry.
  std::wstring beyond;
  beyond.push_back(static_cast<wchar_t>(0x110000));
  beyond.push_back(static_cast<wchar_t>(-1));
  EXPECT_EQ(Utf8FromWide(beyond), "\xEF\xBF\xBD\xEF\xBF\xBD");
#endif
}

}  // namespace
}  // namespace platform
