// Code pages: every byte survives the trip to UTF-8 and back, characters a
// code page lacks are refused by name, and texts compare in the order of
// their stored bytes (the order of the tags' character keys).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tools/sqlite/code_page.h"

namespace {

using tessera_sql::CodePage;

int Sign(int v) { return (v > 0) - (v < 0); }

// Byte order with the shorter text first, as character keys compare.
int ByteOrder(const std::string& a, const std::string& b) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return Sign(c);
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

TEST(SqlCodePage, EveryByteGoesToUtf8AndBack) {
  for (const char* name : {"866", "cp1251", "CP1252", "ibm437", "850", "mazovia"}) {
    const CodePage& page = CodePage::Named(name);
    std::string all;
    for (int b = 0; b < 256; ++b) {
      // A byte the code page leaves without a character (0x98 in CP1251)
      // reads as U+FFFD, which has no byte to go back to.
      const std::string one(1, static_cast<char>(b));
      std::string back, bad;
      if (page.Decode(one) == "\xEF\xBF\xBD") {
        EXPECT_FALSE(page.Encode("\xEF\xBF\xBD", back, &bad)) << name;
        continue;
      }
      all += one;
    }
    EXPECT_GE(all.size(), 250u) << name;
    std::string back, bad;
    ASSERT_TRUE(page.Encode(page.Decode(all), back, &bad)) << name << " " << bad;
    EXPECT_EQ(back, all) << name;
  }
  EXPECT_EQ(CodePage::Named("866").Decode("\x88\xA2\xA0\xAD\xAE\xA2 \xF0"), "Иванов Ё");
}

TEST(SqlCodePage, RefusesWhatItCannotHoldAndLeavesTheOutputAlone) {
  const CodePage& page = CodePage::Named("cp866");
  std::string out = "kept", bad;
  EXPECT_FALSE(page.Encode("Иван 漢 x", out, &bad));
  EXPECT_EQ(bad, "漢");
  EXPECT_EQ(out, "kept");
  EXPECT_FALSE(page.Encode("\xC3\x28", out, &bad));  // no UTF-8
  EXPECT_FALSE(page.Encode("\xE0\x80\xAF", out, &bad));  // an overlong "/"
  EXPECT_EQ(out, "kept");
}

TEST(SqlCodePage, NamesAndWhatIsNoSingleByteCodePage) {
  EXPECT_EQ(&CodePage::Named("1251"), &CodePage::Named("CP-1251"));
  EXPECT_EQ(CodePage::Named("866").Name(), "cp866");
  EXPECT_TRUE(CodePage::Named("UTF-8").IsUtf8());
  EXPECT_THROW(CodePage::Named("no-such-page"), std::runtime_error);
  EXPECT_THROW(CodePage::Named("SHIFT_JIS"), std::runtime_error);
  EXPECT_THROW(CodePage::Named(""), std::runtime_error);
}

TEST(SqlCodePage, LettersInTheOtherCase) {
  const CodePage& page = CodePage::Named("cp866");
  auto other = [&page](const std::string& utf8) {
    std::string b;
    page.Encode(utf8, b);
    return page.Decode(std::string(1, static_cast<char>(page.OtherCase(static_cast<uint8_t>(b[0])))));
  };
  EXPECT_EQ(other("Ё"), "ё");
  EXPECT_EQ(other("я"), "Я");
  EXPECT_EQ(other("п"), "П");
  EXPECT_EQ(other("р"), "Р");
  EXPECT_EQ(other("q"), "Q");
  EXPECT_EQ(other("7"), "7");
  EXPECT_EQ(other("╬"), "╬");
  const CodePage& latin = CodePage::Named("1252");
  std::string e;
  latin.Encode("é", e);
  EXPECT_EQ(latin.Decode(std::string(1, static_cast<char>(latin.OtherCase(static_cast<uint8_t>(e[0]))))), "É");
}

TEST(SqlCodePage, TextsCompareAsTheirStoredBytes) {
  const CodePage& page = CodePage::Named("cp866");
  // Ё is stored after я, box drawing between п and р; a text that is the
  // start of another comes first, even before a control character.
  EXPECT_LT(page.Compare("я", "Ё"), 0);
  EXPECT_LT(page.Compare("п", "╬"), 0);
  EXPECT_LT(page.Compare("╬", "р"), 0);
  EXPECT_LT(page.Compare("AB", "AB\x01"), 0);
  EXPECT_EQ(page.Compare("Ёлка", "Ёлка"), 0);
  // Characters the page lacks sort after every byte.
  EXPECT_GT(page.Compare("漢", "\xC2\xA0"), 0);
  std::mt19937 rng(7);
  const std::string alphabet = "\x01 AZaz\x80\x9F\xA0\xAF\xB0\xDF\xE0\xEF\xF0\xF1\xFF";
  for (int i = 0; i < 5000; ++i) {
    std::string a, b;
    for (int k = static_cast<int>(rng() % 4); k > 0; --k) a += alphabet[rng() % alphabet.size()];
    b = a;
    for (int k = static_cast<int>(rng() % 4); k > 0; --k) b += alphabet[rng() % alphabet.size()];
    if (rng() % 2 && !b.empty()) b[rng() % b.size()] = alphabet[rng() % alphabet.size()];
    ASSERT_EQ(Sign(page.Compare(page.Decode(a), page.Decode(b))), ByteOrder(a, b)) << i;
  }
}

}  // namespace
