#include "platform/text_convert.h"

#include <langinfo.h>
#include <locale.h>
#include <sys/time.h>

#include <charconv>
#include <cmath>
#include <ctime>
#include <mutex>
#include <vector>

namespace plat {
namespace {

std::mutex g_format_mutex;
std::string g_date_format;  // empty until first asked

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Converts a strftime date format ("%d.%m.%Y") to the Windows notation.
std::string FromStrftime(std::string_view f) {
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%' || i + 1 >= f.size()) {
      out += f[i];
      continue;
    }
    char c = f[++i];
    if (c == 'E' || c == 'O' || c == '-' || c == '_' || c == '0') {
      if (i + 1 >= f.size()) break;
      c = f[++i];
    }
    switch (c) {
      case 'd': out += "dd"; break;
      case 'e': out += "d"; break;
      case 'm': out += "MM"; break;
      case 'y': out += "yy"; break;
      case 'Y': out += "yyyy"; break;
      case 'D': out += "MM/dd/yy"; break;
      case 'F': out += "yyyy-MM-dd"; break;
      default: break;  // weekday names and the like have no short form
    }
  }
  if (out.find('d') == std::string::npos || out.find('M') == std::string::npos ||
      out.find('y') == std::string::npos)
    return "MM/dd/yy";
  return out;
}

std::string LocaleDateFormat() {
  locale_t loc = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return "MM/dd/yy";
  std::string f = ::nl_langinfo_l(D_FMT, loc);
  ::freelocale(loc);
  return FromStrftime(f);
}

// Day counts from the civil calendar (proleptic Gregorian), after Howard
// Hinnant's days_from_civil; day 0 is 1970-01-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return CivilDate{static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

constexpr int64_t kSerialOfUnixEpoch = 25569;  // 1970-01-01 as days since 1899-12-30

}  // namespace

bool TryTextToFloat(std::string_view text, double* value) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  if (b == e) return false;
  std::string_view s = text.substr(b, e - b);
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  // from_chars accepts "inf"/"nan" and hex forms only when asked; check the
  // shape by hand so that only plain decimals pass.
  size_t i = 0, digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    size_t exp_digits = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j, ++exp_digits;
    if (exp_digits == 0) return false;
    i = j;
  }
  if (i != s.size()) return false;
  double v = 0;
  // A leading point ("." then digits) is fine for from_chars.
  auto res = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow to infinity is refused; underflow reads as 0.
    bool tiny = false;
    for (size_t k = 0; k < s.size() && s[k] != 'e' && s[k] != 'E'; ++k)
      if (s[k] >= '1' && s[k] <= '9') tiny = true;
    const size_t epos = s.find_first_of("eE");
    if (epos != std::string_view::npos && s.substr(epos + 1).find('-') != std::string_view::npos && tiny)
      v = 0;
    else
      return false;
  } else if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
    return false;
  }
  *value = negative ? -v : v;
  return true;
}

double TextToFloat(std::string_view text) {
  double v = 0;
  if (!TryTextToFloat(text, &v))
    throw ConvertError("'" + std::string(text) + "' is not a valid floating point value");
  return v;
}

std::string FloatToText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string s(buf, res.ptr);
  // "1e+20" -> "1E20", "1e-05" -> "1E-5"
  const size_t e = s.find('e');
  if (e != std::string::npos) {
    std::string mant = s.substr(0, e);
    std::string exp = s.substr(e + 1);
    bool neg = false;
    if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
      neg = exp[0] == '-';
      exp.erase(0, 1);
    }
    while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
    s = mant + "E" + (neg ? "-" : "") + exp;
  }
  return s;
}

std::string FormatFixed(double value, int decimals) {
  if (decimals < 0) decimals = 0;
  if (!std::isfinite(value)) return FloatToText(value);
  std::vector<char> buf(400 + static_cast<size_t>(decimals));
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, decimals);
  std::string s(buf.data(), res.ptr);
  if (s.size() > 1 && s[0] == '-') {
    // "-0.00" is written without its sign.
    bool zero = true;
    for (size_t i = 1; i < s.size(); ++i)
      if (s[i] != '0' && s[i] != '.') zero = false;
    if (zero) s.erase(0, 1);
  }
  return s;
}

std::string ShortestText(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string ShortDateFormat() {
  std::lock_guard<std::mutex> lock(g_format_mutex);
  if (g_date_format.empty()) g_date_format = LocaleDateFormat();
  return g_date_format;
}

void SetShortDateFormat(std::string format) {
  std::lock_guard<std::mutex> lock(g_format_mutex);
  g_date_format = std::move(format);
}

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int dim = kDays[month - 1];
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) dim = 29;
  return day <= dim;
}

int64_t SerialFromCivil(const CivilDate& date) {
  return DaysFromCivil(date.year, static_cast<unsigned>(date.month), static_cast<unsigned>(date.day)) +
         kSerialOfUnixEpoch;
}

CivilDate CivilFromSerial(int64_t serial) { return CivilFromDays(serial - kSerialOfUnixEpoch); }

int DayOfWeekFromSerial(int64_t serial) {
  // 1899-12-30 was a Saturday (7).
  int64_t r = (serial + 6) % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r) + 1;
}

CivilDate Today() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return CivilDate{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

TimeOfDay Now() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  std::tm tm{};
  const std::time_t t = tv.tv_sec;
  ::localtime_r(&t, &tm);
  return TimeOfDay{tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000)};
}

CivilDate ParseDateText(std::string_view text, std::string_view format) {
  auto fail = [&]() -> ConvertError {
    return ConvertError("'" + std::string(text) + "' is not a valid date");
  };
  // Order of the parts in the format.
  char order[3];
  int n_order = 0;
  for (char c : format) {
    const char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if ((u == 'D' || u == 'M' || u == 'Y') && (n_order == 0 || order[n_order - 1] != u)) {
      bool seen = false;
      for (int k = 0; k < n_order; ++k) seen |= order[k] == u;
      if (!seen && n_order < 3) order[n_order++] = u;
    }
  }
  if (n_order != 3) order[0] = 'M', order[1] = 'D', order[2] = 'Y';
  long nums[3];
  int digits[3] = {0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  size_t end = text.size();
  while (end > i && IsBlank(text[end - 1])) --end;
  if (i == end) throw fail();
  while (i < end) {
    if (text[i] < '0' || text[i] > '9') throw fail();
    if (count == 3) throw fail();
    long v = 0;
    int d = 0;
    while (i < end && text[i] >= '0' && text[i] <= '9') {
      if (d < 9) v = v * 10 + (text[i] - '0');
      ++i, ++d;
    }
    nums[count] = v;
    digits[count] = d;
    ++count;
    if (i < end) {
      // exactly one separator between numbers
      if (text[i] >= '0' && text[i] <= '9') throw fail();
      ++i;
      if (i == end) throw fail();
    }
  }
  const CivilDate today = Today();
  int y = today.year, m = 0, d = 0;
  int year_digits = 4;
  if (count == 3) {
    for (int k = 0; k < 3; ++k) {
      if (order[k] == 'D') d = static_cast<int>(nums[k]);
      else if (order[k] == 'M') m = static_cast<int>(nums[k]);
      else y = static_cast<int>(nums[k]), year_digits = digits[k];
    }
  } else if (count == 2) {
    // Day and month in the format's order, year omitted.
    int k = 0;
    for (int o = 0; o < 3; ++o) {
      if (order[o] == 'Y') continue;
      if (order[o] == 'D') d = static_cast<int>(nums[k]);
      else m = static_cast<int>(nums[k]);
      ++k;
    }
  } else {
    throw fail();
  }
  if (year_digits <= 2) {
    // Within 50 years of the current year.
    const int century = today.year / 100 * 100;
    y += century;
    if (y > today.year + 50) y -= 100;
    else if (y <= today.year - 50) y += 100;
  }
  if (!IsValidDate(y, m, d)) throw fail();
  return CivilDate{y, m, d};
}

std::string FormatDateText(const CivilDate& date, std::string_view format) {
  std::string out;
  size_t i = 0;
  auto two = [](int v) {
    std::string s = std::to_string(v);
    return s.size() < 2 ? "0" + s : s;
  };
  while (i < format.size()) {
    const char c = format[i];
    const char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    size_t run = 1;
    while (i + run < format.size()) {
      const char c2 = format[i + run];
      const char u2 = static_cast<char>(c2 >= 'a' && c2 <= 'z' ? c2 - 32 : c2);
      if (u2 != u) break;
      ++run;
    }
    if (u == 'D') {
      out += run >= 2 ? two(date.day) : std::to_string(date.day);
    } else if (u == 'M') {
      out += run >= 2 ? two(date.month) : std::to_string(date.month);
    } else if (u == 'Y') {
      if (run >= 3) {
        std::string s = std::to_string(date.year);
        while (s.size() < 4) s = "0" + s;
        out += s;
      } else {
        out += two(date.year % 100);
      }
    } else {
      out.append(run, c);
    }
    i += run;
  }
  return out;
}

}  // namespace plat
