#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

TEST(CodePage, OemTableMatchesCp866) {
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0x80), U'А');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0xAF), U'п');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0xE0), U'р');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0xF0), U'Ё');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0xF1), U'ё');
  // Control bytes stay control bytes (the end-of-file mark in particular),
  // where a graphic-symbol reading of CP866 would turn them into arrows.
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0x1A), U'\x1A');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kOem, 0x7F), U'\x7F');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kAnsi, 0xC0), U'А');
  EXPECT_EQ(plat::ToUnicode(plat::CodePage::kAnsi, 0xA8), U'Ё');
}

TEST(CodePage, Utf8RoundTripsThroughBothCodePages) {
  const std::string text = "Иванов Пётр Ёлкин, ул. Щорса 5 — QZ6ZZZ";
  const std::string oem = plat::Utf8ToOem(text);
  EXPECT_EQ(oem.size(), 39u);  // one byte per character; the dash has no CP866 form
  EXPECT_EQ(plat::OemToUtf8(oem), "Иванов Пётр Ёлкин, ул. Щорса 5 ? QZ6ZZZ");
  const std::string ansi = plat::Utf8ToAnsi(text);
  EXPECT_EQ(plat::AnsiToUtf8(ansi), text);  // CP1251 has the em dash
  EXPECT_EQ(plat::OemToAnsi(plat::Utf8ToOem("Ёж")), plat::Utf8ToAnsi("Ёж"));
  EXPECT_EQ(plat::AnsiToOem(plat::Utf8ToAnsi("Щука")), plat::Utf8ToOem("Щука"));
  EXPECT_EQ(plat::OemToUtf16(plat::Utf8ToOem("Юг")), u"Юг");
  EXPECT_EQ(plat::Utf16ToAnsi(u"Юг"), plat::Utf8ToAnsi("Юг"));
}

TEST(CodePage, MalformedUtf8BecomesQuestionMarks) {
  EXPECT_EQ(plat::Utf8ToOem(std::string("a\xC3") + "b\xFF"), "a?b?");
  // An overlong form of "/" and an encoded surrogate are no characters:
  // they must not reach a table (or a file name built from one) as "/".
  EXPECT_EQ(plat::Utf8ToOem("\xE0\x80\xAF"), "???");
  EXPECT_EQ(plat::Utf8ToAnsi("x\xED\xA0\x80y"), "x???y");
}

TEST(CodePage, CaseMappingCoversCyrillicInOem) {
  EXPECT_EQ(plat::OemToUtf8(plat::UpperText(plat::Utf8ToOem("москва ёлка abc"))), "МОСКВА ЁЛКА ABC");
  EXPECT_EQ(plat::OemToUtf8(plat::LowerText(plat::Utf8ToOem("МОСКВА ЁЛКА ABC"))), "москва ёлка abc");
  // Box-drawing bytes between the two halves of the lower-case alphabet are
  // not letters and keep their value.
  EXPECT_EQ(plat::UpperByte(0xB0), 0xB0);
  EXPECT_EQ(plat::UpperByte(0xE0), 0x90);  // р -> Р
  EXPECT_EQ(plat::UpperAnsi(plat::Utf8ToAnsi("ёж")), plat::Utf8ToAnsi("ЁЖ"));
}

TEST(CodePage, ComparisonIsAlphabeticalWithYoAfterYe) {
  auto oem = [](const char* s) { return plat::Utf8ToOem(s); };
  EXPECT_LT(plat::CompareText(oem("Ежов"), oem("Ёлкин")), 0);
  EXPECT_LT(plat::CompareText(oem("Ёлкин"), oem("Жуков")), 0);  // CP866 puts Ё after я
  EXPECT_LT(plat::CompareText(oem("abc"), oem("абв")), 0);
  EXPECT_LT(plat::CompareText(oem("9"), oem("a")), 0);
  EXPECT_EQ(plat::CompareTextIgnoreCase(oem("ПЁТР"), oem("пётр")), 0);
  EXPECT_NE(plat::CompareText(oem("ПЁТР"), oem("пётр")), 0);
  EXPECT_LT(plat::CompareText(oem("ab"), oem("abc")), 0);
}

}  // namespace
