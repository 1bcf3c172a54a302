// Text <-> number and text <-> date conversions of the engine. Numbers are
// always written and read with "." as the decimal point, whatever the
// process locale says (the GUI toolkit sets the locale from the
// environment); dates follow the locale's short date format.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace plat {

// The platform's conversion error ("'x' is not a valid date").
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses a decimal number: optional blanks and sign, digits with an optional
// point and fraction, an optional exponent, optional trailing blanks; nothing
// else. False when the text is not such a number.
bool TryTextToFloat(std::string_view text, double* value);
// The same, raising ConvertError when the text is not a number.
double TextToFloat(std::string_view text);

// General form with up to 15 significant digits: "12.5", "1E20", "1E-5".
std::string FloatToText(double value);
// Fixed notation with `decimals` digits after the point (no point when 0);
// exact halves of the stored binary value round to the even digit.
std::string FormatFixed(double value, int decimals);
// The shortest decimal that reads back as the same double ("0.1", "1e+20").
std::string ShortestText(double value);

// The locale's short date format in the Windows notation the engine works
// with ("dd.MM.yyyy", "M/d/yy"): d/dd day, M/MM month, yy/yyyy year.
// Taken from LC_TIME of the environment when first asked.
std::string ShortDateFormat();
// Replaces the format (tests, and programs that fix their own).
void SetShortDateFormat(std::string format);

// A calendar date.
struct CivilDate {
  int year = 0;
  int month = 0;
  int day = 0;
};
bool IsValidDate(int year, int month, int day);
// Days since 30 December 1899 (the Windows date serial) and back.
int64_t SerialFromCivil(const CivilDate& date);
CivilDate CivilFromSerial(int64_t serial);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeekFromSerial(int64_t serial);
// Today's date in local time.
CivilDate Today();
// Current local time of day.
struct TimeOfDay {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
TimeOfDay Now();

// Parses a date written in `format` (day, month and year numbers in the
// format's order, separated by any non-digit). Two-digit years fall within
// 50 years of the current year; a missing year is the current one. Raises
// ConvertError when the text is not a valid date.
CivilDate ParseDateText(std::string_view text, std::string_view format);
// Formats a date by a format such as "DD.MM.YYYY" (letters of any case).
std::string FormatDateText(const CivilDate& date, std::string_view format);

}  // namespace plat
