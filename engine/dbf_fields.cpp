#include "engine/dbf_fields.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/byte_order.h"
#include "engine/dbc_names.h"
#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/memo.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "expr/dbf_names.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "platform/text_list.h"

namespace tessera {
namespace {

constexpr int32_t kJulianDayOfYearOne = 1721425;  // the day before 1 January of year 1
constexpr double kMsPerDay = 86400000.0;
constexpr int32_t kBlankDayNumber = 2415019;       // what four blank bytes of a T field read as

int32_t GetI32(const char* p) { return static_cast<int32_t>(bytes::GetLE32(reinterpret_cast<const uint8_t*>(p))); }
void PutI32(char* p, int32_t v) { bytes::PutLE32(reinterpret_cast<uint8_t*>(p), static_cast<uint32_t>(v)); }

bool AllBlank(const char* p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}
// A C field's text: everything up to the trailing blanks and NULs (a NUL
// inside the text is a byte of it: STEP 7 keeps binary attributes in C
// fields).
std::string_view TrimmedFieldText(const char* p, int width) {
  auto n = static_cast<size_t>(width);
  // Eight bytes at a time while all of them are blanks or NULs (no bit
  // set but 0x20's), then byte by byte.
  constexpr uint64_t kNotBlank = ~uint64_t{0x2020202020202020};
  for (uint64_t w; n >= 8; n -= 8) {
    std::memcpy(&w, p + n - 8, 8);
    if ((w & kNotBlank) != 0) break;
  }
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return {p, n};
}

bool AllZero(const char* p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

std::string TwoDigits(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

// dBase 7 keeps its binaries big-endian; its integers with the sign bit
// inverted, so that their bytes sort as the numbers do.
uint32_t GetBE32(const char* p) { return bytes::GetBE32(reinterpret_cast<const uint8_t*>(p)); }
double GetBEDouble(const char* p) { return bytes::GetBEDouble(reinterpret_cast<const uint8_t*>(p)); }
void PutBEDouble(char* p, double v) { bytes::PutBEDouble(reinterpret_cast<uint8_t*>(p), v); }

// A date-time as the writers show it: the day's date and the time of day
// rounded to the nearest second (a time within half a second of midnight
// shows the next day's midnight).
std::string DateTimeText(int32_t day, int64_t ms) {
  int64_t seconds = ms < 0 ? 0 : (ms + 500) / 1000;
  int64_t days = day;
  if (seconds >= 86400) {
    days += seconds / 86400;
    seconds %= 86400;
  }
  // A damaged day number stays within what the date converter takes.
  days = std::min<int64_t>(days, INT32_MAX);
  std::string out = TrimRightText(EngineDate().DisplayText(static_cast<int32_t>(days)));
  if (out.empty() && days != day) {
    // Rounded past the last day the calendar holds (9999-12-31
    // 23:59:59.999): the last second of that day, not a time without one.
    const std::string own = TrimRightText(EngineDate().DisplayText(day));
    if (!own.empty()) out = own, seconds = 86399;
  }
  // Appended piece by piece: GCC 12 misreads `" " + std::string` as an
  // overlapping copy (-Wrestrict) when it is inlined here.
  out += ' ';
  out += TwoDigits(static_cast<int>(seconds / 3600));
  out += ':';
  out += TwoDigits(static_cast<int>(seconds / 60 % 60));
  out += ':';
  out += TwoDigits(static_cast<int>(seconds % 60));
  return out;
}

// Milliseconds of a date-time text: a plain number of milliseconds, or
// "yyyymmdd" with an optional " hh:mm[:ss[.fff]]". Empty gives 0 (empty).
bool ParseDateTimeText(std::string_view text, double* value) {
  const std::string t = TrimText(text);
  if (t.empty()) {
    *value = 0;
    return true;
  }
  if (t.size() >= 8 && t.find_first_not_of("0123456789") >= 8) {
    const int32_t day = EngineDate().ParseDate(t.substr(0, 8));
    if (day <= 0) return false;
    int h = 0, m = 0, s = 0, ms = 0;
    std::string rest = TrimText(std::string_view(t).substr(8));
    if (!rest.empty()) {
      int n = 0;
      if (std::sscanf(rest.c_str(), "%d:%d%n", &h, &m, &n) < 2) return false;
      std::string tail = rest.substr(static_cast<size_t>(n));
      if (!tail.empty()) {
        int n2 = 0;
        if (std::sscanf(tail.c_str(), ":%d%n", &s, &n2) < 1) return false;
        tail = tail.substr(static_cast<size_t>(n2));
        if (!tail.empty()) {
          int n3 = 0;
          if (std::sscanf(tail.c_str(), ".%3d%n", &ms, &n3) < 1 || static_cast<size_t>(n3) != tail.size()) return false;
        }
      }
      if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return false;
    }
    *value = (static_cast<double>(day) - kJulianDayOfYearOne) * kMsPerDay + ((h * 60 + m) * 60 + s) * 1000.0 + ms;
    return true;
  }
  return plat::TryTextToFloat(t, value);
}

}  // namespace

KTO_dBaseFld::KTO_dBaseFld(std::string_view file_name, bool shared, bool writable)
    : KTO_dBaseDBF(file_name, shared, writable) {
  // Numbers and offsets were computed while the descriptors were read and
  // checked (the offsets of the file are not trusted). What is left are
  // the long names of a table in a database container and the table's
  // name resolver, through which expressions read this table.
  ContainerNames names = ReadContainerNames(*this);
  for (size_t i = 0; i < names.names.size(); ++i) MutableField(static_cast<int>(i + 1)).long_name = names.names[i];
  container_problem_ = std::move(names.problem);
  CreateNameResolver();
}

KTO_dBaseFld::~KTO_dBaseFld() = default;

void KTO_dBaseFld::CreateNameResolver() {
  // One variable per field and the table functions; the field table is
  // final by now and stays so while the table is open.
  name_resolver_ = std::make_unique<TktDBFExpUserLink>(*this);
}

std::string KTO_dBaseFld::TableBaseName() const { return BaseName(FileName()); }

bool KTO_dBaseFld::IsBinaryField(const DbfField& field) const {
  switch (Layout()) {
    case TableLayout::kVisualFoxPro:
      // At their fixed widths only: a damaged descriptor must not make a
      // reader take eight bytes from a field of one.
      switch (field.type) {
        case 'G': case 'I': case 'M': case 'P': case 'W': return field.length == 4;
        case 'B': case 'T': case 'Y': return field.length == 8;
        default: return false;
      }
    case TableLayout::kDBase7:
      return (field.type == 'I' || field.type == '+') ? field.length == 4
             : (field.type == '@' || field.type == 'O') ? field.length == 8
                                                        : false;
    default:
      // FoxPro's binary letters in tables of other versions (Perl XBase
      // and FoxPro itself write them so; no program writes them as text).
      return field.type == 'I' ? field.length == 4 : (field.type == 'T' || field.type == 'Y') && field.length == 8;
  }
}

bool KTO_dBaseFld::IsMemoField(const DbfField& field) const {
  // In Visual FoxPro tables a B field holds a double, not a memo reference.
  switch (field.type) {
    case 'M': case 'G': case 'P': return true;
    case 'W': return IsVisualFoxPro();
    case 'B': return !IsVisualFoxPro();
    default: return false;
  }
}

bool KTO_dBaseFld::NullFlag(const char* record, int bit) const {
  if (bit < 0 || NullFlagsField() == 0) return false;
  const DbfField& flags = Field(NullFlagsField());
  return (static_cast<uint8_t>(record[flags.offset + static_cast<uint32_t>(bit / 8)]) >> (bit % 8) & 1) != 0;
}

void KTO_dBaseFld::SetNullFlag(char* record, int bit, bool on) {
  if (bit < 0 || NullFlagsField() == 0) return;
  const DbfField& flags = Field(NullFlagsField());
  char& byte = record[flags.offset + static_cast<uint32_t>(bit / 8)];
  const auto mask = static_cast<uint8_t>(1u << (bit % 8));
  byte = static_cast<char>(on ? (static_cast<uint8_t>(byte) | mask) : (static_cast<uint8_t>(byte) & ~mask));
}

bool KTO_dBaseFld::IsNull(int number) {
  const DbfField* f = FieldAt(number);
  return f != nullptr && f->null_bit >= 0 && NullFlag(RecordBytes(), f->null_bit);
}

bool KTO_dBaseFld::SetNull(int number, bool null) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr || f->null_bit < 0) return false;
  SetNullFlag(RecordBuffer(), f->null_bit, null);
  SetRecordChanged(true);
  return true;
}

bool KTO_dBaseFld::HasValue(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr || IsNull(number)) return false;
  const char* p = RecordBytes() + f->offset;
  const int width = f->Width();
  auto only = [&](std::string_view set) {
    for (int i = 0; i < width; ++i)
      if (set.find(p[i]) == std::string_view::npos) return false;
    return true;
  };
  if (IsBinaryField(*f)) {
    if (f->type == 'T' || IsDBase7()) return !AllZero(p, width) && !AllBlank(p, width);
    return true;
  }
  switch (f->type) {
    case 'N':
    case 'F': return !only(std::string_view(" \0", 2));
    case 'D': return !only(std::string_view(" 0\0", 3));
    case 'L': return !only(std::string_view(" ?\0", 3));
    default: return true;
  }
}

std::string KTO_dBaseFld::ValueBytes(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return std::string();
  const char* p = RecordBytes() + f->offset;
  size_t n = static_cast<size_t>(f->Width());
  if (f->length_bit >= 0 && n > 0 && NullFlag(RecordBytes(), f->length_bit))
    n = std::min<size_t>(static_cast<uint8_t>(p[n - 1]), n - 1);
  return std::string(p, n);
}

const DbfField* KTO_dBaseFld::FieldAt(int number) {
  if (number < 1 || number > FieldCount()) return nullptr;
  const DbfField* f = &Field(number);
  last_field_.store(f, std::memory_order_relaxed);
  return f;
}

int KTO_dBaseFld::FieldNumber(std::string_view name) {
  const std::string wanted = plat::UpperText(TrimRightText(name));
  if (wanted.empty()) return 0;
  // A field of a table in a database container answers to its long name
  // and to the short one its descriptor keeps.
  for (const DbfField& f : Fields())
    if (!f.long_name.empty() && plat::UpperText(f.long_name) == wanted) return f.number;
  // Descriptors hold names of up to 10 characters, 31 in dBase 7.
  if (wanted.size() > (IsDBase7() ? 31u : 10u)) return 0;
  for (const DbfField& f : Fields())
    if (plat::UpperText(f.name) == wanted) return f.number;
  return 0;
}

const DbfField* KTO_dBaseFld::FindField(std::string_view name) {
  const int n = FieldNumber(name);
  if (n == 0) {
    ReportError(kCodeFieldName, kSubFieldName, FileName() + "->" + TrimRightText(name));
    return nullptr;
  }
  return FieldAt(n);
}

const DbfField* KTO_dBaseFld::FindTypedField(std::string_view name, char wanted) {
  const DbfField* f = FindField(name);
  if (f == nullptr) return nullptr;
  const char t = f->type;
  bool ok = t == wanted;
  if (wanted == 'G') ok = ok || t == 'B' || t == 'M';
  // Currency (Y) and dBase 7's autoincrement and double are numbers too.
  if (wanted == 'N') ok = ok || t == 'B' || t == 'F' || t == 'G' || t == 'I' || t == 'M' || t == 'Y' || t == '+' || t == 'O';
  if (!ok) {
    std::string info(TrimRightText(name));
    if (info.size() > 80) info.resize(80);
    ReportError(kCodeFieldType, kSubFieldType, info);
    return nullptr;
  }
  return f;
}

void KTO_dBaseFld::StoreFieldText(const DbfField& field, std::string_view text, char* record) {
  const size_t width = static_cast<size_t>(field.Width());
  char* p = record + field.offset;
  if (field.length_bit >= 0) {
    // Varchar and varbinary: the value as it is, NUL-padded; a value
    // shorter than the field keeps its length in the last byte.
    std::memset(p, 0, width);
    const size_t n = std::min(text.size(), width);
    if (n > 0) std::memcpy(p, text.data(), n);
    const bool shorter = n < width;
    if (shorter) p[width - 1] = static_cast<char>(n);
    SetNullFlag(record, field.length_bit, shorter);
  } else {
    std::memset(p, ' ', width);
    if (!text.empty()) {
      const size_t n = std::min(text.size(), width);
      const bool varying = IsVisualFoxPro() && (field.type == 'V' || field.type == 'Q');
      if (field.type == 'C' || field.type == 'D' || field.type == 'L' || varying)
        std::memcpy(p, text.data(), n);
      else
        std::memcpy(p + width - n, text.data(), n);  // right-aligned; a long text keeps its start
    }
  }
  SetNullFlag(record, field.null_bit, false);
  SetRecordChanged(true);
}

void KTO_dBaseFld::BlankRecord() {
  char* record = RecordBuffer();
  std::memset(record, ' ', static_cast<size_t>(RecordLength()));
  if (NullFlagsField() != 0) {
    const DbfField& flags = Field(NullFlagsField());
    std::memset(record + flags.offset, 0, static_cast<size_t>(flags.Width()));
  }
  for (int i = 1; i <= FieldCount(); ++i) {
    const DbfField& f = Field(i);
    if (IsBinaryField(f)) {
      if (IsDBase7()) std::memset(record + f.offset, 0, static_cast<size_t>(f.Width()));  // no value
      else PutNumberN(i, 0);
    } else if (f.type == 'N' || f.type == 'F') {
      // A zero that does not fit (N(3,2) cannot hold "0.00") stays blank,
      // which reads as zero too; blanking a record never fails.
      const std::string zero = plat::FormatFixed(0, f.Decimals());
      if (static_cast<int>(zero.size()) <= f.length) StoreFieldText(f, zero, record);
    } else if (f.length_bit >= 0) {
      StoreFieldText(f, std::string_view(), record);
    }
    // A nullable field of a new record holds .NULL. until a value is put.
    if (f.null_bit >= 0) SetNullFlag(record, f.null_bit, true);
  }
  RecordEvent(kEventBlank, 0);
}

// --- raw --------------------------------------------------------------------

std::string KTO_dBaseFld::GetRaw(std::string_view name) {
  const DbfField* f = FindField(name);
  return f != nullptr ? GetRawN(f->number) : std::string();
}

std::string KTO_dBaseFld::GetRawN(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return std::string();
  if (f->length_bit >= 0) return ValueBytes(number);
  const char* p = RecordBytes() + f->offset;
  const size_t width = static_cast<size_t>(f->Width());
  const void* nul = std::memchr(p, '\0', width);
  return std::string(p, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - p) : width);
}

bool KTO_dBaseFld::PutRaw(std::string_view name, std::string_view text) {
  const DbfField* f = FindField(name);
  return f != nullptr && PutRawN(f->number, text);
}

bool KTO_dBaseFld::PutRawN(int number, std::string_view text) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return false;
  StoreFieldText(*f, text, RecordBuffer());
  return true;
}

// --- descriptors ----------------------------------------------------------------

int KTO_dBaseFld::FieldDecimals(int number) {
  const DbfField* f = FieldAt(number);
  return f != nullptr ? f->Decimals() : 0;
}
int KTO_dBaseFld::FieldWidth(int number) {
  const DbfField* f = FieldAt(number);
  return f != nullptr ? f->Width() : 0;
}
int KTO_dBaseFld::FieldOffset(int number) {
  const DbfField* f = FieldAt(number);
  return f != nullptr ? static_cast<int>(f->offset) : 0;
}
std::string KTO_dBaseFld::FieldName(int number) {
  const DbfField* f = FieldAt(number);
  return f != nullptr ? f->Name() : std::string();
}
char KTO_dBaseFld::FieldType(int number) {
  const DbfField* f = FieldAt(number);
  return f != nullptr ? f->type : '\0';
}
int32_t KTO_dBaseFld::ReservedOp(int32_t, int32_t, int32_t, int32_t, int32_t) { return -1; }

// --- logical ------------------------------------------------------------------------

bool KTO_dBaseFld::GetLogical(std::string_view name) {
  const DbfField* f = FindTypedField(name, 'L');
  return f != nullptr && GetLogicalN(f->number);
}

bool KTO_dBaseFld::GetLogicalN(int number) {
  const std::string raw = GetRawN(number);
  return !raw.empty() && std::string_view(kLogicalTrueChars).find(raw) != std::string_view::npos;
}

bool KTO_dBaseFld::PutLogical(std::string_view name, bool value) {
  const DbfField* f = FindTypedField(name, 'L');
  return f != nullptr && PutLogicalN(f->number, value);
}

bool KTO_dBaseFld::PutLogicalN(int number, bool value) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return false;
  if (f->type != 'L') {
    ReportError(kCodeFieldType, kSubFieldType, std::string());
    return false;
  }
  StoreFieldText(*f, value ? "T" : "F", RecordBuffer());
  return true;
}

// --- date ---------------------------------------------------------------------------

int32_t KTO_dBaseFld::GetDate(std::string_view name) {
  const DbfField* f = FindTypedField(name, 'D');
  return f != nullptr ? GetDateN(f->number) : -1;
}

int32_t KTO_dBaseFld::GetDateN(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return 0;
  const std::string raw = GetRawN(number);
  try {
    return EngineDate().ParseDate(raw);
  } catch (const plat::ConvertError&) {
    ReportError(kCodeFieldType, kNoSubCode,
                "Invalid date in field " + TableBaseName() + "->" + f->Name() + " (" + raw + ")");
    return 0;
  }
}

bool KTO_dBaseFld::PutDate(std::string_view name, int32_t day) {
  const DbfField* f = FindTypedField(name, 'D');
  return f != nullptr && PutDateN(f->number, day);
}

bool KTO_dBaseFld::PutDateN(int number, int32_t day) {
  if (day == -1) {
    ReportError(kCodeFieldType, kSubPutDate, std::string());
    return false;
  }
  const DbfField* f = FieldAt(number);
  if (f == nullptr || f->type != 'D') return false;
  StoreFieldText(*f, EngineDate().StorageText(day), RecordBuffer());
  return true;
}

// --- number -------------------------------------------------------------------------

double KTO_dBaseFld::GetNumber(std::string_view name) {
  const DbfField* f = FindTypedField(name, 'N');
  return f != nullptr ? GetNumberN(f->number) : 0;
}

double KTO_dBaseFld::GetNumberN(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return 0;
  const char* p = RecordBytes() + f->offset;
  if (IsBinaryField(*f) && IsDBase7()) {
    if (AllZero(p, f->length)) return 0;  // no value
    if (f->type == 'I' || f->type == '+') return static_cast<int32_t>(GetBE32(p) ^ 0x80000000u);
    return GetBEDouble(p);  // @ (milliseconds, as T) and O
  }
  if (IsBinaryField(*f)) {
    // A never-written binary field is blanks: it reads as zero (as an empty
    // day for T, whose blank day reads as 2 415 019).
    switch (f->type) {
      case 'B': {
        if (AllBlank(p, 8)) return 0;
        double v;
        std::memcpy(&v, p, 8);
        return v;
      }
      case 'G':
      case 'I':
      case 'M':
      case 'P':
      case 'W': return AllBlank(p, 4) ? 0 : GetI32(p);
      case 'T': {
        if (AllZero(p, 8)) return 0;  // the empty date-time
        const int32_t day = AllBlank(p, 4) ? kBlankDayNumber : GetI32(p);
        const int32_t ms = AllBlank(p + 4, 4) ? 0 : GetI32(p + 4);
        return (static_cast<double>(day) - kJulianDayOfYearOne) * kMsPerDay + ms;
      }
      case 'Y': {
        if (AllBlank(p, 8)) return 0;
        int64_t v;
        std::memcpy(&v, p, 8);
        return static_cast<double>(v) / 10000.0;
      }
      default: break;
    }
  }
  const std::string text = TrimRightText(GetRawN(number));
  if (text.empty()) return 0;
  double v = 0;
  if (!plat::TryTextToFloat(text, &v)) {
    ReportError(kCodeFieldType, kNoSubCode,
                "Invalid number in field " + TableBaseName() + "->" + f->Name() + " (" + text + ")");
    return 0;
  }
  return v;
}

bool KTO_dBaseFld::PutNumber(std::string_view name, double value) {
  const DbfField* f = FindTypedField(name, 'N');
  return f != nullptr && PutNumberN(f->number, value);
}

bool KTO_dBaseFld::PutNumberN(int number, double value) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return false;
  const char t = f->type;
  const bool allowed = t == 'B' || t == 'F' || t == 'G' || t == 'M' || t == 'N' || IsBinaryField(*f);
  if (!allowed) {
    ReportError(kCodeFieldType, kSubFieldType, std::string());
    return false;
  }
  auto refuse = [&](double shown) {
    // Out of the field's binary range: nothing is stored.
    ReportError(kCodeNumberTooLarge, kSubPutNumber, f->Name() + " - " + plat::FloatToText(shown));
    return false;
  };
  if (IsBinaryField(*f) && IsDBase7()) {
    char* p = RecordBuffer() + f->offset;
    if (t == 'I' || t == '+') {
      const double v = std::trunc(value);
      if (!(v >= INT32_MIN && v <= INT32_MAX)) return refuse(value);
      bytes::PutBE32(reinterpret_cast<uint8_t*>(p), static_cast<uint32_t>(static_cast<int32_t>(v)) ^ 0x80000000u);
    } else {
      PutBEDouble(p, value);
    }
    SetRecordChanged(true);
    return true;
  }
  if (IsBinaryField(*f)) {
    char* p = RecordBuffer() + f->offset;
    switch (t) {
      case 'B': std::memcpy(p, &value, 8); break;
      case 'G':
      case 'I':
      case 'M':
      case 'P':
      case 'W': {
        const double v = std::trunc(value);
        if (!(v >= INT32_MIN && v <= INT32_MAX)) return refuse(value);
        PutI32(p, static_cast<int32_t>(v));
        break;
      }
      case 'T': {
        if (value == 0) {
          std::memset(p, 0, 8);  // the empty date-time other programs expect
          break;
        }
        const double days = std::trunc(value / kMsPerDay);
        const double jd = days + kJulianDayOfYearOne;
        if (!(jd >= INT32_MIN && jd <= INT32_MAX)) return refuse(value);
        PutI32(p, static_cast<int32_t>(jd));
        PutI32(p + 4, static_cast<int32_t>(std::trunc(value - days * kMsPerDay)));
        break;
      }
      case 'Y': {
        // Rounded, not truncated: 12.3456 * 10000 is 123455.99999999999 in
        // binary and would lose its last ten-thousandth.
        const double v = std::round(value * 10000.0);
        if (!(v >= -9.2233720368547758e18 && v < 9.2233720368547758e18)) return refuse(value);
        const int64_t i = static_cast<int64_t>(v);
        std::memcpy(p, &i, 8);
        break;
      }
      default: break;
    }
    SetNullFlag(RecordBuffer(), f->null_bit, false);
    SetRecordChanged(true);
    return true;
  }
  const std::string text = plat::FormatFixed(value, f->Decimals());
  if (static_cast<int>(text.size()) > f->length) {
    ReportError(kCodeNumberTooLarge, kSubPutNumber, f->Name() + " - " + text);
    return false;
  }
  StoreFieldText(*f, text, RecordBuffer());
  return true;
}

// --- text ---------------------------------------------------------------------------

std::string KTO_dBaseFld::GetText(std::string_view name) {
  const DbfField* f = FindField(name);
  return f != nullptr ? GetTextN(f->number) : std::string();
}

std::string KTO_dBaseFld::GetTextN(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return std::string();
  // A C field without a null flag (every field of a dBase table) is never
  // binary nor null: its text is read where it lies, with none of the
  // checks below. A walk that reads a field of every record comes here.
  if (f->type == 'C' && f->null_bit < 0) return std::string(TrimmedFieldText(RecordBytes() + f->offset, f->Width()));
  if (IsNull(number)) return std::string();
  // Binary fields are shown by value; their raw bytes are no text.
  if (IsBinaryField(*f)) {
    const char* p = RecordBytes() + f->offset;
    if (IsDBase7()) {
      if (AllZero(p, f->length)) return std::string();
      const double v = GetNumberN(number);
      if (f->type == 'O') return plat::FloatToText(v);
      if (f->type != '@') return std::to_string(static_cast<int32_t>(v));
      // Milliseconds no calendar holds (damage, or not a time stamp at all)
      // are shown as the number they are.
      const double days = std::floor(v / kMsPerDay);
      if (!std::isfinite(v) || days < 0 || days > 1e9) return plat::FloatToText(v);
      return DateTimeText(static_cast<int32_t>(days) + kJulianDayOfYearOne, static_cast<int64_t>(v - days * kMsPerDay));
    }
    const double v = GetNumberN(number);
    switch (f->type) {
      case 'I': return std::to_string(static_cast<int32_t>(v));
      case 'Y': return plat::FormatFixed(v, 4);
      case 'B': return plat::FloatToText(v);
      case 'T': {
        if (AllZero(p, 8)) return std::string();
        const int32_t day = AllBlank(p, 4) ? kBlankDayNumber : GetI32(p);
        const int32_t ms = AllBlank(p + 4, 4) ? 0 : GetI32(p + 4);
        return DateTimeText(day, ms);
      }
      case 'M': return v > 0.1 ? "---MEMO---" : "---memo---";
      case 'G': return v > 0.1 ? "-GENERAL--" : "-general--";
      case 'P': return v > 0.1 ? "-PICTURE--" : "-picture--";
      case 'W': return v > 0.1 ? "---BLOB---" : "---blob---";
      default: break;
    }
  }
  if (f->type == 'C') return std::string(TrimmedFieldText(RecordBytes() + f->offset, f->Width()));
  if (f->length_bit >= 0) return ValueBytes(number);  // V and Q: the value as it is
  const std::string t = TrimRightText(GetRawN(number));
  switch (f->type) {
    // GetDateN refuses a stored text that is no date (1004, naming the field).
    case 'D': return TrimRightText(EngineDate().DisplayText(GetDateN(number)));
    case 'F':
    case 'N': {
      const std::string s = TrimLeftText(t);
      return s.empty() ? plat::FormatFixed(0, f->Decimals()) : s;
    }
    case 'L': return !t.empty() && std::string_view(kLogicalTrueChars).find(t) != std::string_view::npos ? "T" : "F";
    case 'M': return TrimLeftText(t) > "0" ? "---MEMO---" : "---memo---";
    case 'G': return TrimLeftText(t) > "0" ? "-GENERAL--" : "-general--";
    case 'B': return TrimLeftText(t) > "0" ? "--BINARY--" : "--binary--";
    case 'P': return TrimLeftText(t) > "0" ? "-PICTURE--" : "-picture--";
    default: return t;
  }
}

bool KTO_dBaseFld::PutText(std::string_view name, std::string_view text) {
  const DbfField* f = FindField(name);
  return f != nullptr && PutTextN(f->number, text);
}

bool KTO_dBaseFld::PutTextN(int number, std::string_view text) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr) return false;
  if (IsBinaryField(*f)) {
    // Text stored as is would corrupt a binary field: it is read as a
    // number (a date-time for T) and stored in binary.
    double v = 0;
    const bool ok = f->type == 'T' || f->type == '@' ? ParseDateTimeText(text, &v)
                                                     : (TrimText(text).empty() || plat::TryTextToFloat(text, &v));
    if (!ok) {
      ReportError(kCodeFieldType, kSubPutNumber, f->Name());
      return false;
    }
    // An empty text leaves a dBase 7 field without a value.
    if (IsDBase7() && TrimText(text).empty()) {
      std::memset(RecordBuffer() + f->offset, 0, static_cast<size_t>(f->Width()));
      SetRecordChanged(true);
      return true;
    }
    return PutNumberN(number, v);
  }
  switch (f->type) {
    case 'D': return PutDateN(number, EngineDate().ParseDate(text));
    case 'L': {
      const char c = text.empty() ? 'F' : text[0];
      bool value;
      if (IsLogicalTrueChar(c)) {
        value = true;
      } else if (IsLogicalFalseChar(c)) {
        value = false;
      } else {
        double d = 0;
        if (!plat::TryTextToFloat(std::string_view(&c, 1), &d)) {
          ReportError(kCodeFieldType, kSubPutLogical, f->Name());
          return false;
        }
        value = std::trunc(d) != 0;
      }
      return PutLogicalN(number, value);
    }
    case 'N': {
      std::string t = TrimRightText(text);
      if (t.size() > 32) t.resize(32);
      if (t.empty()) return PutNumberN(number, 0);
      double v = 0;
      if (!plat::TryTextToFloat(t, &v)) {
        ReportError(kCodeFieldType, kSubPutNumber, std::string());
        return false;
      }
      return PutNumberN(number, v);
    }
    default: StoreFieldText(*f, text, RecordBuffer()); return true;
  }
}

// --- deletion marks ---------------------------------------------------------------------

void KTO_dBaseFld::MarkDeleted() {
  if (IsDeleted()) return;
  RecordBuffer()[0] = '*';
  FieldChangedMarks()[0] = 1;
  WriteRecord(CurrentRecord());
}

void KTO_dBaseFld::MarkRecalled() {
  RecordBuffer()[0] = ' ';
  WriteRecord(CurrentRecord());
}

// --- memo -------------------------------------------------------------------------------

KTobjMemo* KTO_dBaseFld::MemoFileOf(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr || !IsMemoField(*f)) return nullptr;
  return MemoFile();
}

int32_t KTO_dBaseFld::MemoBlock(int number) {
  const DbfField* f = FieldAt(number);
  if (f == nullptr || !IsMemoField(*f)) return 0;
  const double v = GetNumberN(number);
  if (!(v >= 0 && v <= INT32_MAX) || v != std::trunc(v)) {
    // A block number that is no block number cannot be followed.
    if (KTobjMemo* memo = MemoFile()) memo->ReportError(kCodeMemoFormat, kSubMemoBlock, memo->FileName());
    return 0;
  }
  return static_cast<int32_t>(v);
}

int32_t KTO_dBaseFld::MemoSize(int number) {
  KTobjMemo* memo = MemoFileOf(number);
  if (memo == nullptr) return 0;
  const int32_t block = MemoBlock(number);
  return block > 0 ? memo->MemoLength(block) : 0;
}

bool KTO_dBaseFld::MemoRead(int number, char* buffer, int32_t* size) {
  KTobjMemo* memo = MemoFileOf(number);
  if (memo == nullptr) return false;
  memo->ReadMemo(buffer, MemoBlock(number), size);
  return true;
}

std::string KTO_dBaseFld::MemoText(int number) {
  KTobjMemo* memo = MemoFileOf(number);
  if (memo == nullptr) return std::string();
  return memo->ReadMemoText(MemoBlock(number));
}

bool KTO_dBaseFld::MemoWrite(int number, const char* buffer, int32_t* size) {
  KTobjMemo* memo = MemoFileOf(number);
  if (memo == nullptr || !RequireWritableFormat()) return false;
  int32_t block = MemoBlock(number);
  if (memo->WriteMemo(buffer, &block, size) == 0 && *size > 0) return false;  // header lock refused
  if (*size == 0 && !IsBinaryField(Field(number))) {
    // No memo: the pointer is left blank, as other programs write it (some
    // of them read a written 0 as block 0, the file header).
    StoreFieldText(Field(number), std::string_view(), RecordBuffer());
    return true;
  }
  return PutNumberN(number, *size == 0 ? 0 : block);
}

// --- scratch records ----------------------------------------------------------------------

void KTO_dBaseFld::StoreValuesInRecord(char* buffer, std::string_view names,
                                       const std::vector<FieldValue>& values) {
  SetRecordBuffer(buffer);
  struct Restore {
    KTO_dBaseFld* table;
    ~Restore() { table->SetRecordBuffer(nullptr); }
  } restore{this};
  BlankRecord();
  if (names.empty()) return;
  const std::vector<std::string> list = plat::SplitNameList(names, true);
  for (size_t i = 0; i < list.size() && i < values.size(); ++i)
    PutText(list[i], values[i].value_or(std::string()));
}

}  // namespace tessera
