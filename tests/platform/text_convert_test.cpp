#include "platform/text_convert.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(TextToFloat, AcceptsPlainDecimalsOnly) {
  double v = 0;
  EXPECT_TRUE(plat::TryTextToFloat("  12.50", &v));
  EXPECT_EQ(v, 12.5);
  EXPECT_TRUE(plat::TryTextToFloat("-0.25 ", &v));
  EXPECT_EQ(v, -0.25);
  EXPECT_TRUE(plat::TryTextToFloat("+.5", &v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(plat::TryTextToFloat("1e3", &v));
  EXPECT_EQ(v, 1000);
  EXPECT_TRUE(plat::TryTextToFloat("7.", &v));
  EXPECT_EQ(v, 7);
  for (const char* bad : {"", "  ", "1,5", "abc", "1.2.3", "inf", "nan", "0x10", "1e", "--1", "1 2", "."})
    EXPECT_FALSE(plat::TryTextToFloat(bad, &v)) << bad;
  EXPECT_FALSE(plat::TryTextToFloat("1e999", &v));
  EXPECT_THROW(plat::TextToFloat("x"), plat::ConvertError);
}

TEST(TextToFloat, IgnoresTheProcessLocale) {
  // A GUI toolkit sets the locale from the environment; numbers still use
  // the point.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  std::setlocale(LC_NUMERIC, "C.UTF-8");
  double v = 0;
  EXPECT_TRUE(plat::TryTextToFloat("3.25", &v));
  EXPECT_EQ(v, 3.25);
  EXPECT_EQ(plat::FormatFixed(3.25, 2), "3.25");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(FloatText, GeneralAndFixedForms) {
  EXPECT_EQ(plat::FloatToText(12.5), "12.5");
  EXPECT_EQ(plat::FloatToText(1e20), "1E20");
  EXPECT_EQ(plat::FloatToText(0.00001), "1E-5");
  EXPECT_EQ(plat::FloatToText(0.0001), "0.0001");
  EXPECT_EQ(plat::FloatToText(123456789012345.0), "123456789012345");
  EXPECT_EQ(plat::FloatToText(0.1 + 0.2), "0.3");
  EXPECT_EQ(plat::FormatFixed(3.14159, 2), "3.14");
  EXPECT_EQ(plat::FormatFixed(2.5, 0), "2");    // exact half: to the even digit
  EXPECT_EQ(plat::FormatFixed(3.5, 0), "4");
  EXPECT_EQ(plat::FormatFixed(0.125, 2), "0.12");
  EXPECT_EQ(plat::FormatFixed(-0.001, 2), "0.00");
  EXPECT_EQ(plat::FormatFixed(-12.345, 1), "-12.3");
  EXPECT_EQ(plat::ShortestText(0.1), "0.1");
}

TEST(Dates, CalendarArithmetic) {
  EXPECT_EQ(plat::SerialFromCivil({1899, 12, 30}), 0);
  EXPECT_EQ(plat::SerialFromCivil({1900, 1, 1}), 2);
  const auto c = plat::CivilFromSerial(plat::SerialFromCivil({2000, 2, 29}));
  EXPECT_EQ(c.year, 2000);
  EXPECT_EQ(c.month, 2);
  EXPECT_EQ(c.day, 29);
  EXPECT_EQ(plat::DayOfWeekFromSerial(plat::SerialFromCivil({2001, 2, 8})), 5);  // Thursday
  EXPECT_FALSE(plat::IsValidDate(2001, 2, 29));
  EXPECT_TRUE(plat::IsValidDate(2000, 2, 29));
  EXPECT_FALSE(plat::IsValidDate(1900, 2, 29));
}

TEST(Dates, ParseAndFormatInTheShortFormat) {
  auto d = plat::ParseDateText("08.02.2001", "dd.MM.yyyy");
  EXPECT_EQ(d.year, 2001);
  EXPECT_EQ(d.month, 2);
  EXPECT_EQ(d.day, 8);
  d = plat::ParseDateText("2/8/01", "M/d/yy");
  EXPECT_EQ(d.year, 2001);
  EXPECT_EQ(d.month, 2);
  EXPECT_EQ(plat::FormatDateText({2001, 2, 8}, "DD.MM.YYYY"), "08.02.2001");
  EXPECT_EQ(plat::FormatDateText({2001, 2, 8}, "M/D/YY"), "2/8/01");
  for (const char* bad : {"", "31.02.2001", "1.2.3.4", "ab.cd.efgh", "12..2001", "12.05."})
    EXPECT_THROW(plat::ParseDateText(bad, "dd.MM.yyyy"), plat::ConvertError) << bad;
}

TEST(Dates, FormatOverrideIsUsed) {
  const std::string old = plat::ShortDateFormat();
  plat::SetShortDateFormat("dd.MM.yy");
  EXPECT_EQ(plat::ShortDateFormat(), "dd.MM.yy");
  plat::SetShortDateFormat(old);
}

}  // namespace
