// TktDBFDate: day numbers (Julian day numbers, 0 = no date) to and from the
// "yyyymmdd" text tables store, the locale's display form and calendar
// parts. One instance, the engine date converter, lives as long as the
// engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessera {

class TktDBFDate {
 public:
  TktDBFDate();

  // Day number of a text: blanks or "00000000" give 0; eight digits give
  // that calendar date, or the day number of the serial 0 (2 415 019) when
  // they are no date; any other text is read in the locale's short date
  // form and raises plat::ConvertError when it is not a date.
  int32_t ParseDate(std::string_view text) const;
  // "yyyymmdd" for a day number above 0, eight blanks otherwise.
  std::string StorageText(int32_t day) const;
  // The locale's short date form with four-digit years; blanks as long as
  // the format for a day number of 0 or less.
  std::string DisplayText(int32_t day) const;
  // The format DisplayText uses (upper case, four-digit years).
  std::string DisplayFormat() const;
  void SplitDate(int32_t day, uint16_t* month, uint16_t* year, uint16_t* day_of_month) const;
  int32_t Today() const;
  // 1 (Sunday) .. 7 (Saturday); 0 for a day number of 0 or less.
  int DayOfWeekOf(int32_t day) const;
  // Day number of a calendar date (no validation).
  int32_t DayNumberOf(int year, int month, int day) const;

  // Day number = date serial (days since 30 December 1899) + DayOffset.
  int32_t DayOffset() const { return day_offset_; }
  bool FourDigitYear() const { return four_digit_year_; }

 private:
  int32_t day_offset_;
  bool four_digit_year_ = true;
};

// The engine date converter (created when the engine starts, or on first
// use by a program that did not start the engine).
TktDBFDate& EngineDate();

}  // namespace tessera
