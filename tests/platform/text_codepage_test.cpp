// Table code pages: language-driver marks, names users give, conversions
// to and from UTF-8 through iconv (single- and multi-byte), Mazovia, and a
// code page the system cannot convert.
#include "platform/text_codepage.h"

#include <gtest/gtest.h>

namespace {

using plat::CodePageNamed;
using plat::CodePageOfLanguageDriver;
using plat::TextCodePage;

TEST(TextCodePage, LanguageDriverMarksNameTheirCodePages) {
  EXPECT_EQ(CodePageOfLanguageDriver(0x00), 0);
  EXPECT_EQ(CodePageOfLanguageDriver(0x01), 437);
  EXPECT_EQ(CodePageOfLanguageDriver(0x02), 850);
  EXPECT_EQ(CodePageOfLanguageDriver(0x03), 1252);
  EXPECT_EQ(CodePageOfLanguageDriver(0x26), 866);  // dBase's Russian driver
  EXPECT_EQ(CodePageOfLanguageDriver(0x64), 852);
  EXPECT_EQ(CodePageOfLanguageDriver(0x65), 866);
  EXPECT_EQ(CodePageOfLanguageDriver(0x69), 620);  // Mazovia
  EXPECT_EQ(CodePageOfLanguageDriver(0x7B), 932);
  EXPECT_EQ(CodePageOfLanguageDriver(0xC8), 1250);
  EXPECT_EQ(CodePageOfLanguageDriver(0xC9), 1251);
  EXPECT_EQ(CodePageOfLanguageDriver(0xF0), 0);  // not a mark of any program
}

TEST(TextCodePage, UsersNameCodePagesAsTheyPlease) {
  for (const char* name : {"1252", "cp1252", "CP-1252", "windows-1252", "Windows_1252"})
    EXPECT_EQ(CodePageNamed(name), 1252) << name;
  EXPECT_EQ(CodePageNamed("ibm850"), 850);
  EXPECT_EQ(CodePageNamed("utf-8"), plat::kCodePageUtf8);
  EXPECT_EQ(CodePageNamed("Mazovia"), plat::kCodePageMazovia);
  for (const char* bad : {"", "latin", "cp", "12x", "1234567"}) EXPECT_EQ(CodePageNamed(bad), 0) << bad;
}

TEST(TextCodePage, SingleByteCodePagesConvertBothWays) {
  const TextCodePage& western = TextCodePage::Get(1252);
  EXPECT_EQ(western.Name(), "CP1252");
  EXPECT_EQ(western.ToUtf8("caf\xE9 \x80"), "café €");
  EXPECT_EQ(western.FromUtf8("café €"), "caf\xE9 \x80");
  EXPECT_EQ(western.FromUtf8("Жук"), "???");  // not in the code page
  EXPECT_EQ(TextCodePage::Get(1251).ToUtf8("\xC6\xF3\xEA"), "Жук");
  EXPECT_EQ(TextCodePage::Get(866).ToUtf8("\x86\xE3\xAA"), "Жук");
  EXPECT_EQ(TextCodePage::Get(852).ToUtf8("\xA4\x88"), "Ął");
  // A byte the code page leaves undefined is U+FFFD, not a guess.
  EXPECT_EQ(western.ToUtf8("\x81"), "\xEF\xBF\xBD");
  // Every byte of a text: NULs and control characters too.
  EXPECT_EQ(western.ToUtf8(std::string("a\0b\r", 4)), std::string("a\0b\r", 4));
}

TEST(TextCodePage, MazoviaIsCodePage437WithPolishLetters) {
  const TextCodePage& mazovia = TextCodePage::Get(plat::kCodePageMazovia);
  EXPECT_EQ(mazovia.ToUtf8("\x86\x8D\x91\x92\xA4\xA2\x9E\xA6\xA7"), "ąćęłńóśźż");
  EXPECT_EQ(mazovia.ToUtf8("\x8F\x95\x90\x9C\xA5\xA3\x98\xA0\xA1"), "ĄĆĘŁŃÓŚŹŻ");
  EXPECT_EQ(mazovia.FromUtf8("Łódź"), "\x9C\xA2\x64\xA6");
  // The rest is CP437's: box drawing stays.
  EXPECT_EQ(mazovia.ToUtf8("\xC9\xCD"), "╔═");
}

TEST(TextCodePage, MultiByteAndUtf8) {
  const TextCodePage& japanese = TextCodePage::Get(932);
  EXPECT_EQ(japanese.ToUtf8("\x93\xFA\x96\x7B"), "日本");
  EXPECT_EQ(japanese.FromUtf8("日本"), "\x93\xFA\x96\x7B");
  EXPECT_EQ(japanese.FromUtf8("Ж日"), "\x84\x47\x93\xFA");
  EXPECT_EQ(japanese.FromUtf8("€"), "?");
  EXPECT_EQ(TextCodePage::Get(plat::kCodePageUtf8).ToUtf8("Жук"), "Жук");
}

// Writers that must not store a '?' for what they cannot hold ask for a
// strict conversion: the character is named and nothing is appended.
TEST(TextCodePage, AStrictConversionRefusesWhatTheCodePageLacks) {
  for (int number : {1251, 866, plat::kCodePageMazovia, 932}) {
    const TextCodePage& page = TextCodePage::Get(number);
    std::string out = "kept", bad;
    EXPECT_FALSE(page.TryFromUtf8("ab€ 漢字x", out, &bad)) << number;
    EXPECT_EQ(bad, number == 932 ? "€" : number == 1251 ? "漢" : "€") << number;
    EXPECT_EQ(out, "kept") << number;
    // An overlong "/" and a lone surrogate are no characters.
    EXPECT_FALSE(page.TryFromUtf8("\xE0\x80\xAF", out, &bad)) << number;
    EXPECT_FALSE(page.TryFromUtf8("\xED\xA0\x80", out, &bad)) << number;
    EXPECT_EQ(out, "kept") << number;
  }
  std::string out;
  EXPECT_TRUE(TextCodePage::Get(1251).TryFromUtf8("Жук", out));
  EXPECT_EQ(out, "\xC6\xF3\xEA");
  EXPECT_TRUE(TextCodePage::Get(932).TryFromUtf8("日本", out));
  EXPECT_EQ(out, "\xC6\xF3\xEA\x93\xFA\x96\x7B");
  EXPECT_EQ(TextCodePage::Get(1252).FromUtf8("\xE0\x80\xAF"), "???");
}

// The texts of a scan go into one buffer: every byte of a single-byte code
// page, in the room Utf8Room leaves, as ToUtf8 gives it.
TEST(TextCodePage, ConversionIntoABuffer) {
  for (int number : {866, 1251, 1252, 437, plat::kCodePageMazovia, plat::kCodePageUtf8}) {
    const TextCodePage& page = TextCodePage::Get(number);
    ASSERT_TRUE(page.Direct()) << number;
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    if (number == plat::kCodePageUtf8) all = "ascii, Жук, 日本";
    std::string buffer(TextCodePage::Utf8Room(all.size()), '\x7F');
    const size_t n = page.ToUtf8Into(all, buffer.data());
    EXPECT_EQ(buffer.substr(0, n), page.ToUtf8(all)) << number;
    EXPECT_LT(n, buffer.size()) << number;
  }
  EXPECT_FALSE(TextCodePage::Get(932).Direct());
}

TEST(TextCodePage, ACodePageTheSystemCannotConvertIsAnErrorThatNamesIt) {
  // Kamenický (895) has no conversion in glibc's iconv.
  try {
    TextCodePage::Get(895);
    FAIL() << "converted";
  } catch (const plat::CodePageError& e) {
    EXPECT_NE(std::string(e.what()).find("Kamenicky"), std::string::npos) << e.what();
  }
  EXPECT_THROW(TextCodePage::Get(4711), plat::CodePageError);
}

}  // namespace
