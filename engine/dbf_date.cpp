#include "engine/dbf_date.h"

#include <cmath>
#include <memory>

#include "engine/engine.h"
#include "platform/text_convert.h"

namespace tessera {

namespace {
constexpr int32_t kDayNumberOf1980 = 2444240;  // 1 January 1980

// Calendar dates the day arithmetic is defined for: day numbers of year 1
// to year 9999.
bool InRange(int64_t serial) { return serial >= -693593 && serial <= 2958465; }
}  // namespace

TktDBFDate::TktDBFDate()
    : day_offset_(kDayNumberOf1980 - static_cast<int32_t>(plat::SerialFromCivil({1980, 1, 1}))) {}

int32_t TktDBFDate::ParseDate(std::string_view text) const {
  size_t n = text.size();
  while (n > 0 && text[n - 1] == ' ') --n;
  const std::string_view t = text.substr(0, n);
  if (t.empty() || text == "00000000") return 0;
  if (t.size() == 8) {
    bool digits = true;
    for (char c : t) digits &= c >= '0' && c <= '9';
    if (digits) {
      const int y = (t[0] - '0') * 1000 + (t[1] - '0') * 100 + (t[2] - '0') * 10 + (t[3] - '0');
      const int m = (t[4] - '0') * 10 + (t[5] - '0');
      const int d = (t[6] - '0') * 10 + (t[7] - '0');
      int64_t serial = 0;
      if (plat::IsValidDate(y, m, d)) serial = plat::SerialFromCivil({y, m, d});
      return static_cast<int32_t>(serial + day_offset_);
    }
  }
  const plat::CivilDate date = plat::ParseDateText(t, plat::ShortDateFormat());
  return static_cast<int32_t>(plat::SerialFromCivil(date) + day_offset_);
}

std::string TktDBFDate::StorageText(int32_t day) const {
  if (day <= 0) return std::string(8, ' ');
  const int64_t serial = static_cast<int64_t>(day) - day_offset_;
  if (!InRange(serial)) return std::string(8, ' ');
  const plat::CivilDate c = plat::CivilFromSerial(serial);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", c.year, c.month, c.day);
  return std::string(buf, 8);
}

std::string TktDBFDate::DisplayFormat() const {
  std::string f = plat::ShortDateFormat();
  for (char& c : f)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (four_digit_year_ && f.find("YYYY") == std::string::npos) {
    // Widen the year to four digits at its first letter.
    while (f.find("YYYY") == std::string::npos) {
      const size_t y = f.find('Y');
      if (y == std::string::npos) break;
      f.insert(y, 1, 'Y');
    }
  }
  return f;
}

std::string TktDBFDate::DisplayText(int32_t day) const {
  const std::string f = DisplayFormat();
  const int64_t serial = static_cast<int64_t>(day) - day_offset_;
  if (day <= 0 || !InRange(serial)) return std::string(f.size(), ' ');
  return plat::FormatDateText(plat::CivilFromSerial(serial), f);
}

void TktDBFDate::SplitDate(int32_t day, uint16_t* month, uint16_t* year, uint16_t* day_of_month) const {
  const int64_t serial = static_cast<int64_t>(day) - day_offset_;
  plat::CivilDate c{};
  if (InRange(serial)) c = plat::CivilFromSerial(serial);
  if (month) *month = static_cast<uint16_t>(c.month);
  if (year) *year = static_cast<uint16_t>(c.year);
  if (day_of_month) *day_of_month = static_cast<uint16_t>(c.day);
}

int32_t TktDBFDate::Today() const {
  return static_cast<int32_t>(plat::SerialFromCivil(plat::Today()) + day_offset_);
}

int TktDBFDate::DayOfWeekOf(int32_t day) const {
  if (day <= 0) return 0;
  return plat::DayOfWeekFromSerial(static_cast<int64_t>(day) - day_offset_);
}

int32_t TktDBFDate::DayNumberOf(int year, int month, int day) const {
  return static_cast<int32_t>(plat::SerialFromCivil({year, month, day}) + day_offset_);
}

}  // namespace tessera
