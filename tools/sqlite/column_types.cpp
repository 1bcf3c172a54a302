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
#include "platform/text_convert.h"

namespace tessera_sql {

using tessera::DbfField;
using tessera::KTO_dBaseFld;

namespace {

// Julian day numbers of the engine count from the day before 1 January of
// year 1 in date-time fields.
constexpr int64_t kDateTimeDayBase = 1721425;
constexpr int64_t kMsPerDay = 86400000;

// A C field's text: its bytes without the trailing blanks and NULs (a NUL
// inside is a byte of the text), as the field layer reads it, without the
// copy. Most of a wide field is often blanks: they are dropped eight at a
// time.
std::string_view TrimmedText(std::string_view raw) {
  const char* p = raw.data();
  size_t n = raw.size();
  constexpr uint64_t kBlanks = 0x2020202020202020ULL;
  for (uint64_t word; n >= 8; n -= 8) {
    std::memcpy(&word, p + n - 8, 8);
    if (word != kBlanks) break;
  }
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
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

// The engine's refusal of a value for a field the table numbers.
[[noreturn]] void RefuseAutoIncrement(KTO_dBaseFld& table, const DbfField& f) {
  table.ReportError(tessera::kCodeFieldType, tessera::kSubFieldType, f.Name() + " is numbered by the table (autoincrement)");
  Refuse(f.Name() + " is numbered by the table (autoincrement)");
}

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
    // A blank number holds no value (see the top of column_types.h).
    sqlite3_result_null(ctx);
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
  std::string name = CodePage::Numbered(table.TextCodePage()).Decode(field.FullName());
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

bool FieldIsNull(KTO_dBaseFld& table, const DbfField& field) { return table.IsNull(field.number); }

bool StoreNull(KTO_dBaseFld& table, const DbfField& field) { return table.SetNull(field.number, true); }

int DefaultCodePage(KTO_dBaseFld& table) { return table.TextCodePage(); }

// --- columns ------------------------------------------------------------------

namespace {

ColumnKind KindOf(KTO_dBaseFld& table, const DbfField& f) {
  const bool binary = table.IsBinaryField(f);
  switch (f.type) {
    case 'C':
    case 'V': return f.IsBinaryText() ? ColumnKind::kBytes : ColumnKind::kText;
    case 'Q': return ColumnKind::kBytes;
    case 'N':
    case 'F': return f.Decimals() > 0 ? ColumnKind::kReal : ColumnKind::kInteger;
    case 'D': return ColumnKind::kDate;
    case 'L': return ColumnKind::kLogical;
    case 'M': return f.IsBinaryText() ? ColumnKind::kMemoBinary : ColumnKind::kMemoText;
    case 'G':
    case 'P':
    case 'W': return table.IsMemoField(f) ? ColumnKind::kMemoBinary : ColumnKind::kText;
    case 'B': return binary ? ColumnKind::kDouble : table.IsMemoField(f) ? ColumnKind::kMemoBinary : ColumnKind::kText;
    case 'I':
    case '+': return binary ? ColumnKind::kInt32 : ColumnKind::kText;
    case 'Y': return binary ? ColumnKind::kCurrency : ColumnKind::kText;
    case 'O': return binary ? ColumnKind::kDouble : ColumnKind::kText;
    case 'T':
    case '@': return binary ? ColumnKind::kDateTime : ColumnKind::kText;
    case '0': return f.IsSystem() ? ColumnKind::kSystem : ColumnKind::kText;
    default: return ColumnKind::kText;
  }
}

// A date-time's value as the field layer reads it (milliseconds since the
// start of day kDateTimeDayBase) in ISO 8601; false when no calendar holds
// it (damage), which is then shown as its number.
bool IsoDateTime(double value, std::string* iso) {
  if (!std::isfinite(value)) return false;
  const double days = std::floor(value / static_cast<double>(kMsPerDay));
  // Years 1 to 9999.
  if (days < 0 || days > 3652059) return false;
  const auto ms = static_cast<int64_t>(value - days * static_cast<double>(kMsPerDay));
  const plat::CivilDate d =
      plat::CivilFromSerial(static_cast<int64_t>(days) + kDateTimeDayBase - tessera::EngineDate().DayOffset());
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", d.year, d.month, d.day,
                        static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                        static_cast<int>(ms / 1000 % 60));
  if (ms % 1000 != 0) n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), ".%03d", static_cast<int>(ms % 1000));
  iso->assign(buf, static_cast<size_t>(n));
  return true;
}

}  // namespace

std::vector<Column> TableColumns(KTO_dBaseFld& table, const CodePage& page) {
  std::vector<Column> out;
  std::set<std::string> taken{"_deleted", "rowid", "oid", "_rowid_"};
  const std::string text = "TEXT COLLATE " + page.Name();
  for (int i = 1; i <= table.FieldCount(); ++i) {
    const DbfField& f = table.Field(i);
    Column c;
    c.field = i;
    c.kind = KindOf(table, f);
    c.nullable = f.null_bit >= 0;
    c.autoincrement = table.IsVisualFoxPro() && f.IsAutoIncrement();
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
      case ColumnKind::kBytes:
      case ColumnKind::kMemoBinary: c.declaration = "BLOB"; break;
      case ColumnKind::kSystem: c.declaration = "BLOB HIDDEN"; break;
    }
    switch (c.kind) {
      case ColumnKind::kInteger:
      case ColumnKind::kReal:
      case ColumnKind::kDate:
      case ColumnKind::kLogical:
      case ColumnKind::kDateTime: c.blank_is_null = true; break;
      case ColumnKind::kInt32:
      case ColumnKind::kDouble: c.blank_is_null = table.IsDBase7(); break;
      default: break;
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
  if (column.nullable && FieldIsNull(table, f)) {
    sqlite3_result_null(ctx);
    return;
  }
  const std::string_view raw(table.RecordBytes() + f.offset, static_cast<size_t>(f.Width()));
  switch (column.kind) {
    case ColumnKind::kText: {
      if (f.type != 'C') {
        // Varchar as long as it is, other letters as the field layer reads
        // them.
        const std::string t = f.length_bit >= 0 ? table.ValueBytes(column.field) : table.GetTextN(column.field);
        const std::string_view u = page.DecodeInto(t, scratch);
        sqlite3_result_text(ctx, u.data(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
        return;
      }
      const std::string_view text = TrimmedText(raw);
      if (text.empty()) {
        sqlite3_result_text(ctx, "", 0, SQLITE_STATIC);
        return;
      }
      const std::string_view u = page.DecodeInto(text, scratch);
      // Handed over with its terminating NUL (when the text holds none
      // before it): SQLite keeps the NUL with its copy instead of growing
      // the copy for one when the text is read.
      const bool inner_nul = std::memchr(text.data(), '\0', text.size()) != nullptr;
      sqlite3_result_text(ctx, u.data(), inner_nul ? static_cast<int>(u.size()) : -1, SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kBytes: {
      const std::string_view b = f.length_bit >= 0 ? std::string_view(scratch = table.ValueBytes(column.field))
                                 : f.type == 'C'   ? TrimmedText(raw)
                                                   : raw;
      sqlite3_result_blob(ctx, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
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
      const std::string_view u = page.DecodeInto(t, scratch);
      sqlite3_result_text(ctx, u.data(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kLogical:
      // Blank or "?": no value; any letter but a true one is false, as in
      // xBase.
      if (!table.HasValue(column.field)) sqlite3_result_null(ctx);
      else sqlite3_result_int(ctx, tessera::IsLogicalTrueChar(raw[0]) ? 1 : 0);
      return;
    case ColumnKind::kMemoText:
    case ColumnKind::kMemoBinary: {
      // A table copied without its memo file shows its other fields.
      if (table.MemoFileMissing()) {
        sqlite3_result_null(ctx);
        return;
      }
      const std::string memo = table.MemoText(column.field);
      if (column.kind == ColumnKind::kMemoBinary) {
        sqlite3_result_blob(ctx, memo.data(), static_cast<int>(memo.size()), SQLITE_TRANSIENT);
        return;
      }
      const std::string_view u = page.DecodeInto(memo, scratch);
      sqlite3_result_text(ctx, u.data(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kInt32:
    case ColumnKind::kCurrency:
    case ColumnKind::kDouble:
      if (column.blank_is_null && !table.HasValue(column.field)) sqlite3_result_null(ctx);
      else if (column.kind == ColumnKind::kInt32) sqlite3_result_int64(ctx, static_cast<int64_t>(table.GetNumberN(column.field)));
      else sqlite3_result_double(ctx, table.GetNumberN(column.field));
      return;
    case ColumnKind::kDateTime: {
      if (!table.HasValue(column.field)) {
        sqlite3_result_null(ctx);
        return;
      }
      const double value = table.GetNumberN(column.field);
      if (!IsoDateTime(value, &scratch)) {
        sqlite3_result_double(ctx, value);
        return;
      }
      sqlite3_result_text(ctx, scratch.data(), static_cast<int>(scratch.size()), SQLITE_TRANSIENT);
      return;
    }
    case ColumnKind::kSystem: {
      const std::string bytes = table.ValueBytes(column.field);
      sqlite3_result_blob(ctx, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      return;
    }
  }
}

// --- writes --------------------------------------------------------------------

namespace {

// "YYYY-MM-DD", or "YYYYMMDD" unless `canonical`, to "yyyymmdd".
bool ReadDate(std::string_view text, bool canonical, std::string* yyyymmdd) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits = std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) + std::string(text.substr(8, 2));
  } else if (text.size() == 8 && !canonical) {
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

// "YYYY-MM-DD[(T| )HH:MM[:SS[.fff...]]]" (only "T" when `canonical`) to
// the value the field layer stores in a date-time field; digits beyond the
// milliseconds are dropped.
bool ReadDateTime(std::string_view text, bool canonical, double* value) {
  std::string day_digits;
  if (text.size() < 10 || !ReadDate(text.substr(0, 10), true, &day_digits)) return false;
  int64_t ms = 0;
  std::string_view rest = text.substr(10);
  if (!rest.empty()) {
    if (rest[0] != 'T' && (canonical || rest[0] != ' ')) return false;
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

[[noreturn]] void RefuseLength(const DbfField& f, size_t length) {
  Refuse("The value for field " + f.Name() + " is " + std::to_string(length) + " characters long; the field holds " +
         std::to_string(f.Width()));
}

}  // namespace

bool ParseDateBound(std::string_view text, std::string* yyyymmdd) { return ReadDate(text, true, yyyymmdd); }

bool ParseDateTimeBound(std::string_view text, double* value) { return ReadDateTime(text, true, value); }

FieldWrite PrepareWrite(KTO_dBaseFld& table, const Column& column, const CodePage& page, sqlite3_value* value,
                        bool insert) {
  const DbfField& f = table.Field(column.field);
  FieldWrite w;
  const int type = sqlite3_value_type(value);
  if (column.kind == ColumnKind::kSystem) {
    // The table keeps these bits as its values are written.
    if (type != SQLITE_NULL)
      Refuse("Field " + f.Name() + " holds the table's null and length marks; it is kept by the table itself");
    w.form = FieldWrite::Form::kNone;
    return w;
  }
  if (column.autoincrement && insert && type != SQLITE_NULL) {
    // The engine numbers a new record where the field holds 0.
    double number = 0;
    int64_t integer = 0;
    bool is_integer = false;
    if (!NumberOf(value, &number, &integer, &is_integer) || number != 0) RefuseAutoIncrement(table, f);
  }
  if (type == SQLITE_NULL) {
    if (column.kind == ColumnKind::kMemoText || column.kind == ColumnKind::kMemoBinary) {
      w.form = FieldWrite::Form::kMemo;
      w.null = true;
    }
    return w;
  }
  switch (column.kind) {
    case ColumnKind::kText: {
      w.form = FieldWrite::Form::kText;
      w.bytes = type == SQLITE_BLOB ? ValueBytes(value) : EncodeFor(f, page, ValueText(value));
      // Trailing blanks of a C field are its padding; a varchar keeps them.
      if (f.type == 'C')
        while (!w.bytes.empty() && w.bytes.back() == ' ') w.bytes.pop_back();
      if (static_cast<int>(w.bytes.size()) > f.Width()) RefuseLength(f, w.bytes.size());
      return w;
    }
    case ColumnKind::kBytes: {
      // No code page applies: the bytes as given.
      w.form = FieldWrite::Form::kText;
      w.bytes = type == SQLITE_BLOB ? ValueBytes(value) : ValueText(value);
      if (f.type == 'C')
        while (!w.bytes.empty() && w.bytes.back() == ' ') w.bytes.pop_back();
      if (static_cast<int>(w.bytes.size()) > f.Width()) RefuseLength(f, w.bytes.size());
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
      if (type == SQLITE_BLOB || type == SQLITE_FLOAT || !ReadDate(t, false, &w.bytes))
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
      if (type != SQLITE_TEXT || !ReadDateTime(t, false, &w.number))
        Refuse("Invalid date-time in field " + BaseAndField(table, f) + " (" + ValueText(value) + ")");
      w.form = FieldWrite::Form::kNumber;
      return w;
    }
    case ColumnKind::kSystem: break;
  }
  return w;
}

void ApplyWrite(KTO_dBaseFld& table, const Column& column, const FieldWrite& write) {
  const DbfField& f = table.Field(column.field);
  switch (write.form) {
    case FieldWrite::Form::kBlank:
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
      // A nullable field holds .NULL. (over its blank bytes, as Visual
      // FoxPro leaves them).
      if (column.nullable) StoreNull(table, f);
      return;
    case FieldWrite::Form::kText: table.StoreFieldText(f, write.bytes, table.RecordBuffer()); return;
    case FieldWrite::Form::kNumber: table.PutNumberN(column.field, write.number); return;
    case FieldWrite::Form::kMemo:  // WriteMemo
    case FieldWrite::Form::kNone: return;
  }
}

void WriteMemo(KTO_dBaseFld& table, const Column& column, const FieldWrite& write) {
  if (write.form != FieldWrite::Form::kMemo) return;
  // A memo is never rewritten where it lies: the record still points at it.
  const DbfField& f = table.Field(column.field);
  if (table.IsBinaryField(f)) table.PutNumberN(column.field, 0);
  else table.StoreFieldText(f, "", table.RecordBuffer());
  if (write.null && column.nullable) StoreNull(table, f);
  if (write.bytes.empty()) return;
  int32_t size = static_cast<int32_t>(write.bytes.size());
  if (!table.MemoWrite(column.field, write.bytes.data(), &size) || size != static_cast<int32_t>(write.bytes.size()))
    throw std::runtime_error("Cannot write the memo of field " + table.Field(column.field).Name());
}

void RequireAutoIncrementKept(KTO_dBaseFld& table, const Column& column, const std::string& before) {
  if (!column.autoincrement) return;
  const DbfField& f = table.Field(column.field);
  if (std::memcmp(table.RecordBuffer() + f.offset, before.data() + f.offset, static_cast<size_t>(f.Width())) != 0)
    RefuseAutoIncrement(table, f);
}

}  // namespace tessera_sql
