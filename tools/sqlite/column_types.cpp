#include "tools/sqlite/column_types.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>

#include "engine/byte_order.h"
#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/settings.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"

namespace tessera_sql {

using tessera::DbfField;
using tessera::KTO_dBaseFld;

namespace {

// Julian day numbers of the engine count from the day before 1 January of
// year 1 in date-time fields.
constexpr int64_t kDateTimeDayBase = 1721425;
constexpr int64_t kMsPerDay = 86400000;

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int extra = b < 0x80 ? 0 : b >= 0xC2 && b < 0xE0 ? 1 : b >= 0xE0 && b < 0xF0 ? 2 : b >= 0xF0 && b < 0xF5 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0xC0) != 0x80) return false;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

// The field's bytes up to the first NUL (as the field layer reads them)
// without trailing blanks. Most of a wide field is often blanks: they are
// dropped eight at a time.
std::string_view TrimmedText(std::string_view raw) {
  const char* p = raw.data();
  size_t n = raw.size();
  constexpr uint64_t kBlanks = 0x2020202020202020ULL;
  for (uint64_t word; n >= 8; n -= 8) {
    std::memcpy(&word, p + n - 8, 8);
    if (word != kBlanks) break;
  }
  while (n > 0 && p[n - 1] == ' ') --n;
  if (const void* nul = std::memchr(p, '\0', n)) {
    n = static_cast<size_t>(static_cast<const char*>(nul) - p);
    while (n > 0 && p[n - 1] == ' ') --n;
  }
  return {p, n};
}

std::string_view TrimBoth(std::string_view raw) {
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0')) raw.remove_suffix(1);
  while (!raw.empty() && (raw.front() == ' ' || raw.front() == '\0')) raw.remove_prefix(1);
  return raw;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A whole number written in decimal digits with an optional sign, when it
// fits 64 bits.
bool ParseInteger(std::string_view t, int64_t* out) {
  std::string_view digits = t;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
  if (!AllDigits(digits) || digits.size() > 19) return false;
  errno = 0;
  char* end = nullptr;
  const std::string copy(t);
  const long long v = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

// Decimal numbers only: digits, sign, point, exponent (no "inf", no hex).
bool ParseDecimal(std::string_view t, double* out) {
  if (t.empty()) return false;
  for (char c : t)
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
  return plat::TryTextToFloat(t, out);
}

std::string BaseAndField(KTO_dBaseFld& table, const DbfField& f) { return table.TableBaseName() + "->" + f.Name(); }

[[noreturn]] void Refuse(const std::string& message) { throw std::runtime_error(message); }

std::string ValueText(sqlite3_value* v) {
  const auto* p = sqlite3_value_text(v);
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v)));
}

std::string ValueBytes(sqlite3_value* v) {
  const void* p = sqlite3_value_blob(v);
  return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(v)));
}

// A text value in the code page, refused when a character has no place in it.
std::string EncodeFor(const DbfField& f, const CodePage& page, const std::string& utf8) {
  std::string out, bad;
  if (!page.Encode(utf8, out, &bad))
    Refuse("The character '" + bad + "' of the value for field " + f.Name() + " has no place in code page " + page.Name());
  return out;
}

// The number of an SQL value for a numeric field; false for a value that
// is no number (text that does not read as one, a blob).
bool NumberOf(sqlite3_value* v, double* number, int64_t* integer, bool* is_integer) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      *integer = sqlite3_value_int64(v);
      *number = static_cast<double>(*integer);
      *is_integer = true;
      return true;
    case SQLITE_FLOAT:
      *number = sqlite3_value_double(v);
      *is_integer = false;
      return std::isfinite(*number);
    case SQLITE_TEXT: {
      const std::string t(TrimBoth(ValueText(v)));
      if (ParseInteger(t, integer)) {
        *number = static_cast<double>(*integer);
        *is_integer = true;
        return true;
      }
      *is_integer = false;
      return ParseDecimal(t, number) && std::isfinite(*number);
    }
    default: return false;
  }
}

void ResultNumber(sqlite3_context* ctx, std::string_view raw, bool integer_column) {
  const std::string_view t = TrimBoth(raw);
  int64_t i = 0;
  double d = 0;
  if (t.empty()) {
    // A blank number reads as zero, as every xBase program reads it.
    if (integer_column) sqlite3_result_int(ctx, 0);
    else sqlite3_result_double(ctx, 0);
  } else if (ParseInteger(t, &i)) {
    if (integer_column) sqlite3_result_int64(ctx, i);
    else sqlite3_result_double(ctx, static_cast<double>(i));
  } else if (ParseDecimal(t, &d)) {
    if (integer_column && d == std::floor(d) && std::fabs(d) < 9.2e18) sqlite3_result_int64(ctx, static_cast<int64_t>(d));
    else sqlite3_result_double(ctx, d);
  } else {
    // No number (an overflow mark, another program's bytes): no value,
    // which no comparison takes for one.
    sqlite3_result_null(ctx);
  }
}

}  // namespace

// --- what a table's own format decides -------------------------------------

std::string ColumnName(KTO_dBaseFld& table, const DbfField& field) {
  (void)table;
  std::string name = field.Name();
  if (!IsValidUtf8(name)) name = plat::OemToUtf8(name);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

bool FieldIsNull(KTO_dBaseFld&, const DbfField&) { return false; }

bool StoreNull(KTO_dBaseFld&, const DbfField&) { return false; }

std::string DefaultCodePage(KTO_dBaseFld&) {
  // The engine keeps table texts in the DOS Cyrillic code page.
  return "cp866";
}

// --- columns ------------------------------------------------------------------

std::vector<Column> TableColumns(KTO_dBaseFld& table, const CodePage& page) {
  std::vector<Column> out;
  std::set<std::string> taken{"_deleted", "rowid", "oid", "_rowid_"};
  const std::string text = "TEXT COLLATE " + page.Name();
  for (int i = 1; i <= table.FieldCount(); ++i) {
    const DbfField& f = table.Field(i);
    Column c;
    c.field = i;
    const bool binary = table.IsBinaryField(f);
    switch (f.type) {
      case 'C': c.kind = ColumnKind::kText; break;
      case 'N':
      case 'F': c.kind = f.Decimals() > 0 ? ColumnKind::kReal : ColumnKind::kInteger; break;
      case 'D': c.kind = ColumnKind::kDate; break;
      case 'L': c.kind = ColumnKind::kLogical; break;
      case 'M': c.kind = ColumnKind::kMemoText; break;
      case 'G': c.kind = ColumnKind::kMemoBinary; break;
      case 'B': c.kind = binary ? ColumnKind::kDouble : ColumnKind::kMemoBinary; break;
      case 'I': c.kind = binary ? ColumnKind::kInt32 : ColumnKind::kText; break;
      case 'Y': c.kind = binary ? ColumnKind::kCurrency : ColumnKind::kText; break;
      case 'T': c.kind = binary ? ColumnKind::kDateTime : ColumnKind::kText; break;
      default: c.kind = ColumnKind::kText; break;
    }
    switch (c.kind) {
      case ColumnKind::kText:
      case ColumnKind::kMemoText:
        c.declaration = text;
        c.collated = true;
        break;
      case ColumnKind::kInteger:
      case ColumnKind::kLogical:
      case ColumnKind::kInt32: c.declaration = "INTEGER"; break;
      case ColumnKind::kReal:
      case ColumnKind::kCurrency:
      case ColumnKind::kDouble: c.declaration = "REAL"; break;
      case ColumnKind::kDate:
      case ColumnKind::kDateTime: c.declaration = "TEXT"; break;
      case ColumnKind::kMemoBinary: c.declaration = "BLOB"; break;
    }
    std::string name = ColumnName(table, f);
    if (name.empty()) name = "field" + std::to_string(i);
    std::string unique = name;
    for (int n = 2; taken.count(unique) != 0; ++n) unique = name + "_" + std::to_string(n);
    taken.insert(unique);
    c.name = unique;
    out.push_back(std::move(c));
  }
  return out;
}

void ResultColumn(sqlite3_context* ctx, KTO_dBaseFld& table, const Column& column, const CodePage& page,
                  std::string& scratch) {
  const DbfField& f = table.Field(column.field);
  if (FieldIsNull(table, f)) {
    sqlite3_result_null(ctx);
    return;
  }
  const std::string_view raw(table.RecordBytes() + f.offset, static_cast<size_t>(f.Width()));
  switch (column.kind) {
    case ColumnKind::kText: {
      const std::string_view text = TrimmedText(raw);
      if (text.empty()) {
        sqlite3_result_text(ctx, "", 0, SQLITE_STATIC);
        return;
      }
      // The buffer only grows: a text is written over what it held.
      const size_t room = CodePage::MaxDecoded(text.size()) + 1;
      if (scratch.size() < room) scratch.resize(room);
      scratch[page.DecodeTo(text, scratch.data())] = '\0';
      // Handed over with its terminating NUL (a field holds none before
      // it): SQLite keeps the NUL with its copy instead of growing the copy
      // for one when the text is read.
      sqlite3_result_text(ctx, scratch.data(), -1, SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kInteger:
    case ColumnKind::kReal:
      ResultNumber(ctx, raw, column.kind == ColumnKind::kInteger);
      return;
    case ColumnKind::kDate: {
      const std::string_view t = TrimBoth(raw);
      if (t.empty() || t == "00000000") {
        sqlite3_result_null(ctx);
        return;
      }
      std::string iso;
      if (t.size() == 8 && AllDigits(t) &&
          plat::IsValidDate(std::stoi(std::string(t.substr(0, 4))), std::stoi(std::string(t.substr(4, 2))),
                            std::stoi(std::string(t.substr(6, 2))))) {
        iso = std::string(t.substr(0, 4)) + "-" + std::string(t.substr(4, 2)) + "-" + std::string(t.substr(6, 2));
        sqlite3_result_text(ctx, iso.data(), static_cast<int>(iso.size()), SQLITE_TRANSIENT);
        return;
      }
      // No calendar date: shown as it stands.
      scratch.clear();
      page.Decode(t, scratch);
      sqlite3_result_text(ctx, scratch.data(), static_cast<int>(scratch.size()), SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kLogical:
      // Anything but a true letter (a blank, "?") reads false, as in xBase.
      sqlite3_result_int(ctx, !raw.empty() && tessera::IsLogicalTrueChar(raw[0]) ? 1 : 0);
      return;
    case ColumnKind::kMemoText: {
      const std::string memo = table.MemoText(column.field);
      if (memo.empty()) {
        sqlite3_result_null(ctx);
        return;
      }
      scratch.clear();
      page.Decode(memo, scratch);
      sqlite3_result_text(ctx, scratch.data(), static_cast<int>(scratch.size()), SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kMemoBinary: {
      const std::string memo = table.MemoText(column.field);
      if (memo.empty()) sqlite3_result_null(ctx);
      else sqlite3_result_blob(ctx, memo.data(), static_cast<int>(memo.size()), SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kInt32:
      sqlite3_result_int64(ctx, static_cast<int64_t>(table.GetNumberN(column.field)));
      return;
    case ColumnKind::kCurrency:
    case ColumnKind::kDouble:
      sqlite3_result_double(ctx, table.GetNumberN(column.field));
      return;
    case ColumnKind::kDateTime: {
      bool empty = true;
      for (char c : raw)
        if (c != '\0' && c != ' ') empty = false;
      if (empty || raw.size() < 8) {
        sqlite3_result_null(ctx);
        return;
      }
      const auto* p = reinterpret_cast<const uint8_t*>(raw.data());
      const int64_t day = static_cast<int32_t>(tessera::bytes::GetLE32(p));
      const int64_t ms = static_cast<int32_t>(tessera::bytes::GetLE32(p + 4));
      const plat::CivilDate d = plat::CivilFromSerial(day - tessera::EngineDate().DayOffset());
      char buf[64];
      int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", d.year, d.month, d.day,
                            static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                            static_cast<int>(ms / 1000 % 60));
      if (ms % 1000 != 0) n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), ".%03d", static_cast<int>(ms % 1000));
      sqlite3_result_text(ctx, buf, n, SQLITE_TRANSIENT);
      return;
    }
  }
}

// --- writes --------------------------------------------------------------------

bool ParseIsoDate(std::string_view text, std::string* yyyymmdd) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits = std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) + std::string(text.substr(8, 2));
  } else if (text.size() == 8) {
    digits = std::string(text);
  } else {
    return false;
  }
  if (!AllDigits(digits)) return false;
  if (!plat::IsValidDate(std::stoi(digits.substr(0, 4)), std::stoi(digits.substr(4, 2)), std::stoi(digits.substr(6, 2))))
    return false;
  *yyyymmdd = digits;
  return true;
}

namespace {

// "YYYY-MM-DD[(T| )HH:MM[:SS[.fff]]]" to the value the field layer stores
// in a date-time field.
bool ParseIsoDateTime(std::string_view text, double* value) {
  std::string day_digits;
  if (text.size() < 10 || !ParseIsoDate(text.substr(0, 10), &day_digits)) return false;
  int64_t ms = 0;
  std::string_view rest = text.substr(10);
  if (!rest.empty()) {
    if (rest[0] != 'T' && rest[0] != ' ') return false;
    rest.remove_prefix(1);
    int h = 0, m = 0, s = 0, frac = 0, frac_digits = 0;
    auto two = [](std::string_view t, int* out) {
      if (t.size() < 2 || !AllDigits(t.substr(0, 2))) return false;
      *out = (t[0] - '0') * 10 + (t[1] - '0');
      return true;
    };
    if (!two(rest, &h) || rest.size() < 5 || rest[2] != ':' || !two(rest.substr(3), &m)) return false;
    rest.remove_prefix(5);
    if (!rest.empty()) {
      if (rest[0] != ':' || !two(rest.substr(1), &s)) return false;
      rest.remove_prefix(3);
      if (!rest.empty()) {
        if (rest[0] != '.' || rest.size() < 2 || !AllDigits(rest.substr(1))) return false;
        for (size_t i = 1; i < rest.size() && frac_digits < 3; ++i, ++frac_digits) frac = frac * 10 + (rest[i] - '0');
        while (frac_digits < 3) frac *= 10, ++frac_digits;
      }
    }
    if (h > 23 || m > 59 || s > 59) return false;
    ms = ((h * 60 + m) * 60 + s) * 1000LL + frac;
  }
  const plat::CivilDate d{std::stoi(day_digits.substr(0, 4)), std::stoi(day_digits.substr(4, 2)),
                          std::stoi(day_digits.substr(6, 2))};
  const int64_t day = plat::SerialFromCivil(d) + tessera::EngineDate().DayOffset();
  *value = static_cast<double>((day - kDateTimeDayBase) * kMsPerDay + ms);
  return true;
}

// The digits a numeric field of `width` and `decimals` stores for a
// number; the engine's own error when they do not fit.
std::string NumericText(KTO_dBaseFld& table, const DbfField& f, double number, int64_t integer, bool is_integer) {
  std::string text;
  if (is_integer && std::llabs(integer) >= (int64_t{1} << 53)) {
    // Beyond a double's exact integers: written out digit for digit.
    text = std::to_string(integer);
    if (f.Decimals() > 0) text += "." + std::string(static_cast<size_t>(f.Decimals()), '0');
  } else {
    text = plat::FormatFixed(number, f.Decimals());
  }
  if (static_cast<int>(text.size()) > f.Width())
    table.ReportError(tessera::kCodeNumberTooLarge, tessera::kSubPutNumber, f.Name() + " - " + text);
  return text;
}

}  // namespace

FieldWrite PrepareWrite(KTO_dBaseFld& table, const Column& column, const CodePage& page, sqlite3_value* value) {
  const DbfField& f = table.Field(column.field);
  FieldWrite w;
  const int type = sqlite3_value_type(value);
  if (type == SQLITE_NULL) {
    w.form = column.kind == ColumnKind::kMemoText || column.kind == ColumnKind::kMemoBinary ? FieldWrite::Form::kMemo
                                                                                          : FieldWrite::Form::kBlank;
    return w;
  }
  switch (column.kind) {
    case ColumnKind::kText: {
      w.form = FieldWrite::Form::kText;
      w.bytes = type == SQLITE_BLOB ? ValueBytes(value) : EncodeFor(f, page, ValueText(value));
      while (!w.bytes.empty() && w.bytes.back() == ' ') w.bytes.pop_back();
      if (static_cast<int>(w.bytes.size()) > f.Width())
        Refuse("The value for field " + f.Name() + " is " + std::to_string(w.bytes.size()) +
               " characters long; the field holds " + std::to_string(f.Width()));
      return w;
    }
    case ColumnKind::kInteger:
    case ColumnKind::kReal: {
      if (type == SQLITE_TEXT && TrimBoth(ValueText(value)).empty()) return w;  // blank
      double number = 0;
      int64_t integer = 0;
      bool is_integer = false;
      if (!NumberOf(value, &number, &integer, &is_integer))
        Refuse("Invalid number in field " + BaseAndField(table, f) + " (" + ValueText(value) + ")");
      w.form = FieldWrite::Form::kText;
      w.bytes = NumericText(table, f, number, integer, is_integer);
      return w;
    }
    case ColumnKind::kDate: {
      const std::string t(TrimBoth(ValueText(value)));
      if (t.empty()) return w;
      if (type == SQLITE_BLOB || type == SQLITE_FLOAT || !ParseIsoDate(t, &w.bytes))
        Refuse("Invalid date in field " + BaseAndField(table, f) + " (" + ValueText(value) + ")");
      w.form = FieldWrite::Form::kText;
      return w;
    }
    case ColumnKind::kLogical: {
      w.form = FieldWrite::Form::kText;
      if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        w.bytes = sqlite3_value_double(value) != 0 ? "T" : "F";
        return w;
      }
      const std::string t(TrimBoth(ValueText(value)));
      if (t.empty()) return FieldWrite{};
      if (tessera::IsLogicalTrueChar(t[0]) || t == "1") w.bytes = "T";
      else if (tessera::IsLogicalFalseChar(t[0]) || t == "0") w.bytes = "F";
      else Refuse("Invalid logical value in field " + BaseAndField(table, f) + " (" + t + ")");
      return w;
    }
    case ColumnKind::kMemoText:
      w.form = FieldWrite::Form::kMemo;
      w.bytes = type == SQLITE_BLOB ? ValueBytes(value) : EncodeFor(f, page, ValueText(value));
      return w;
    case ColumnKind::kMemoBinary:
      w.form = FieldWrite::Form::kMemo;
      w.bytes = type == SQLITE_BLOB ? ValueBytes(value) : ValueText(value);
      return w;
    case ColumnKind::kInt32:
    case ColumnKind::kCurrency:
    case ColumnKind::kDouble: {
      double number = 0;
      int64_t integer = 0;
      bool is_integer = false;
      if (!NumberOf(value, &number, &integer, &is_integer))
        Refuse("Invalid number in field " + BaseAndField(table, f) + " (" + ValueText(value) + ")");
      if (column.kind == ColumnKind::kInt32 && (number != std::trunc(number) || number < INT32_MIN || number > INT32_MAX))
        table.ReportError(tessera::kCodeNumberTooLarge, tessera::kSubPutNumber, f.Name() + " - " + ValueText(value));
      if (column.kind == ColumnKind::kCurrency && std::fabs(number) >= 9.2e14)
        table.ReportError(tessera::kCodeNumberTooLarge, tessera::kSubPutNumber, f.Name() + " - " + ValueText(value));
      w.form = FieldWrite::Form::kNumber;
      w.number = number;
      return w;
    }
    case ColumnKind::kDateTime: {
      const std::string t(TrimBoth(ValueText(value)));
      if (t.empty()) return w;
      if (type != SQLITE_TEXT || !ParseIsoDateTime(t, &w.number))
        Refuse("Invalid date-time in field " + BaseAndField(table, f) + " (" + ValueText(value) + ")");
      w.form = FieldWrite::Form::kNumber;
      return w;
    }
  }
  return w;
}

void ApplyWrite(KTO_dBaseFld& table, const Column& column, const FieldWrite& write) {
  const DbfField& f = table.Field(column.field);
  switch (write.form) {
    case FieldWrite::Form::kBlank:
      if (StoreNull(table, f)) return;
      if (column.kind == ColumnKind::kDateTime) {
        // An empty date-time is eight zero bytes.
        std::memset(table.RecordBuffer() + f.offset, 0, 8);
        table.SetRecordChanged(true);
      } else if (table.IsBinaryField(f)) {
        // Blanks in a binary number would read as one in other programs.
        table.PutNumberN(column.field, 0);
      } else {
        table.StoreFieldText(f, "", table.RecordBuffer());
      }
      return;
    case FieldWrite::Form::kText: table.StoreFieldText(f, write.bytes, table.RecordBuffer()); return;
    case FieldWrite::Form::kNumber: table.PutNumberN(column.field, write.number); return;
    case FieldWrite::Form::kMemo: return;  // WriteMemo
  }
}

void WriteMemo(KTO_dBaseFld& table, const Column& column, const FieldWrite& write) {
  if (write.form != FieldWrite::Form::kMemo) return;
  // A memo is never rewritten where it lies: the record still points at it.
  const DbfField& f = table.Field(column.field);
  if (table.IsBinaryField(f)) table.PutNumberN(column.field, 0);
  else table.StoreFieldText(f, "", table.RecordBuffer());
  if (write.bytes.empty()) return;
  int32_t size = static_cast<int32_t>(write.bytes.size());
  if (!table.MemoWrite(column.field, write.bytes.data(), &size) || size != static_cast<int32_t>(write.bytes.size()))
    throw std::runtime_error("Cannot write the memo of field " + table.Field(column.field).Name());
}

}  // namespace tessera_sql
