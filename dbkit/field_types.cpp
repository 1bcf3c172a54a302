#include "dbkit/field_types.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "dbkit/data_set.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "platform/text_list.h"

namespace dbkit {
namespace {

std::string NumberText(double v) { return plat::FloatToText(v); }

}  // namespace

// ------------------------------------------------------------------ string

StringField::StringField(std::string name, int size) : Field(std::move(name), FieldType::kString, size) {
  SetTransliterate(true);
}

std::string StringField::AsString() const {
  std::vector<char> buffer(static_cast<size_t>(DataSize()) + 1, '\0');
  if (!GetData(buffer.data())) return {};
  buffer[static_cast<size_t>(Size())] = '\0';
  if (Transliterate() && GetDataSet() != nullptr) GetDataSet()->Translate(buffer.data(), buffer.data(), false);
  return std::string(buffer.data());
}

void StringField::SetAsString(std::string_view text) {
  // A NUL ends the text in the native buffer; what follows it would be lost.
  text = text.substr(0, std::min(text.size(), text.find('\0')));
  if (static_cast<int>(text.size()) > Size())
    RaiseDatabaseError(FormatMessage(msg::kTextTooLong, {text, DisplayName(), std::to_string(Size())}));
  std::vector<char> buffer(static_cast<size_t>(DataSize()) + 1, '\0');
  std::memcpy(buffer.data(), text.data(), text.size());
  if (Transliterate() && GetDataSet() != nullptr) GetDataSet()->Translate(buffer.data(), buffer.data(), true);
  SetData(buffer.data());
}

int32_t StringField::AsInteger() const {
  const std::string t = AsString();
  double d = 0;
  if (!plat::TryTextToFloat(t, &d) || d != std::floor(d) || std::fabs(d) > 2147483647.0)
    RaiseInvalidText(msg::kInvalidInteger, t);
  return static_cast<int32_t>(d);
}
void StringField::SetAsInteger(int32_t value) { SetAsString(std::to_string(value)); }

double StringField::AsFloat() const {
  const std::string t = AsString();
  double d = 0;
  if (!plat::TryTextToFloat(t, &d)) RaiseInvalidText(msg::kInvalidFloat, t);
  return d;
}
void StringField::SetAsFloat(double value) { SetAsString(NumberText(value)); }

bool StringField::AsBoolean() const {
  const std::string t = AsString();
  if (!t.empty()) {
    const char c = t[0];
    if (c == 'T' || c == 't' || c == 'Y' || c == 'y') return true;
    if (c == 'F' || c == 'f' || c == 'N' || c == 'n') return false;
  }
  RaiseInvalidText(msg::kInvalidBoolean, t);
}
void StringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

Value StringField::AsValue() const { return IsNull() ? Value() : Value(AsString()); }
void StringField::SetAsValue(const Value& value) {
  if (value.IsNull())
    Clear();
  else
    SetAsString(value.ToText());
}

// ----------------------------------------------------------------- integer

IntegerField::IntegerField(std::string name)
    : IntegerField(std::move(name), FieldType::kInteger, std::numeric_limits<int32_t>::min(),
                   std::numeric_limits<int32_t>::max()) {}

IntegerField::IntegerField(std::string name, FieldType type, int64_t min, int64_t max)
    : Field(std::move(name), type), min_(min), max_(max), native_min_(min), native_max_(max) {}

void IntegerField::SetRange(int64_t min, int64_t max) {
  min_ = std::max(min, native_min_);
  max_ = std::min(max, native_max_);
}

bool IntegerField::ReadNative(int64_t* value) const {
  if (DataSize() == 2) {
    int16_t v = 0;
    if (!GetData(&v)) return false;
    *value = v;
  } else {
    int32_t v = 0;
    if (!GetData(&v)) return false;
    *value = v;
  }
  return true;
}

void IntegerField::WriteNative(int64_t value) {
  if (value < min_ || value > max_)
    RaiseDatabaseError(FormatMessage(msg::kFieldRange, {std::to_string(value), DisplayName(), std::to_string(min_),
                                                        std::to_string(max_)}));
  if (DataSize() == 2) {
    const int16_t v = static_cast<int16_t>(value);
    SetData(&v);
  } else {
    const int32_t v = static_cast<int32_t>(value);
    SetData(&v);
  }
}

std::string IntegerField::AsString() const {
  int64_t v = 0;
  return ReadNative(&v) ? std::to_string(v) : std::string();
}

void IntegerField::SetAsString(std::string_view text) {
  const std::string_view t = plat::TrimOf(text);
  if (t.empty()) {
    Clear();
    return;
  }
  double d = 0;
  if (!plat::TryTextToFloat(t, &d) || d != std::floor(d) || std::fabs(d) > 9e18)
    RaiseInvalidText(msg::kInvalidInteger, text);
  WriteNative(static_cast<int64_t>(d));
}

int32_t IntegerField::AsInteger() const {
  int64_t v = 0;
  return ReadNative(&v) ? static_cast<int32_t>(v) : 0;
}
void IntegerField::SetAsInteger(int32_t value) { WriteNative(value); }
double IntegerField::AsFloat() const { return AsInteger(); }
void IntegerField::SetAsFloat(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9e18)
    RaiseDatabaseError(FormatMessage(msg::kFieldRange, {NumberText(value), DisplayName(), std::to_string(min_),
                                                        std::to_string(max_)}));
  WriteNative(std::llround(value));
}
Value IntegerField::AsValue() const {
  int64_t v = 0;
  return ReadNative(&v) ? Value(v) : Value();
}
void IntegerField::SetAsValue(const Value& value) {
  if (value.IsNull())
    Clear();
  else if (value.kind() == Value::Kind::kText)
    SetAsString(value.ToText());
  else
    SetAsFloat(value.ToFloat());
}

SmallIntField::SmallIntField(std::string name)
    : IntegerField(std::move(name), FieldType::kSmallInt, std::numeric_limits<int16_t>::min(),
                   std::numeric_limits<int16_t>::max()) {}

// ------------------------------------------------------------------- float

FloatField::FloatField(std::string name) : Field(std::move(name), FieldType::kFloat) {}

std::string FloatField::AsString() const {
  double v = 0;
  return GetData(&v) ? NumberText(v) : std::string();
}

void FloatField::SetAsString(std::string_view text) {
  const std::string_view t = plat::TrimOf(text);
  if (t.empty()) {
    Clear();
    return;
  }
  double d = 0;
  if (!plat::TryTextToFloat(t, &d)) RaiseInvalidText(msg::kInvalidFloat, text);
  SetAsFloat(d);
}

int32_t FloatField::AsInteger() const {
  const double v = AsFloat();
  if (std::fabs(v) > 2147483647.0) RaiseInvalidText(msg::kInvalidInteger, NumberText(v));
  return static_cast<int32_t>(std::lround(v));
}
void FloatField::SetAsInteger(int32_t value) { SetAsFloat(value); }
double FloatField::AsFloat() const {
  double v = 0;
  return GetData(&v) ? v : 0.0;
}
void FloatField::SetAsFloat(double value) {
  if (!std::isfinite(value)) RaiseInvalidText(msg::kInvalidFloat, NumberText(value));
  SetData(&value);
}
Value FloatField::AsValue() const {
  double v = 0;
  return GetData(&v) ? Value(v) : Value();
}
void FloatField::SetAsValue(const Value& value) {
  if (value.IsNull())
    Clear();
  else if (value.kind() == Value::Kind::kText)
    SetAsString(value.ToText());
  else
    SetAsFloat(value.ToFloat());
}

// ----------------------------------------------------------------- boolean

BooleanField::BooleanField(std::string name) : Field(std::move(name), FieldType::kBoolean) {}

void BooleanField::SetDisplayValues(std::string_view values) {
  const size_t semi = values.find(';');
  true_text_ = std::string(values.substr(0, semi));
  false_text_ = semi == std::string_view::npos ? std::string() : std::string(values.substr(semi + 1));
}

std::string BooleanField::AsString() const {
  uint16_t v = 0;
  if (!GetData(&v)) return {};
  return v != 0 ? true_text_ : false_text_;
}

void BooleanField::SetAsString(std::string_view text) {
  const std::string_view t = plat::TrimOf(text);
  if (t.empty()) {
    Clear();
    return;
  }
  const std::string upper = plat::UpperAnsi(t);
  auto starts = [&](const std::string& full) {
    return !full.empty() && plat::UpperAnsi(full).compare(0, upper.size(), upper) == 0;
  };
  if (starts(true_text_))
    SetAsBoolean(true);
  else if (starts(false_text_))
    SetAsBoolean(false);
  else
    RaiseInvalidText(msg::kInvalidBoolean, text);
}

bool BooleanField::AsBoolean() const {
  uint16_t v = 0;
  return GetData(&v) && v != 0;
}
void BooleanField::SetAsBoolean(bool value) {
  const uint16_t v = value ? 1 : 0;
  SetData(&v);
}
int32_t BooleanField::AsInteger() const { return AsBoolean() ? 1 : 0; }
Value BooleanField::AsValue() const { return IsNull() ? Value() : Value(AsBoolean()); }
void BooleanField::SetAsValue(const Value& value) {
  if (value.IsNull())
    Clear();
  else if (value.kind() == Value::Kind::kText)
    SetAsString(value.ToText());
  else
    SetAsBoolean(value.ToBoolean());
}

// --------------------------------------------------------------- date-time

DateTimeField::DateTimeField(std::string name) : Field(std::move(name), FieldType::kDateTime) {}
DateTimeField::DateTimeField(std::string name, FieldType type) : Field(std::move(name), type) {}

bool DateTimeField::ReadNative(double* days) const { return GetData(days); }
void DateTimeField::WriteNative(double days) { SetData(&days); }

std::string DateTimeField::AsString() const {
  double days = 0;
  if (!ReadNative(&days)) return {};
  const double whole = std::floor(days);
  std::string text = plat::FormatDateText(plat::CivilFromSerial(static_cast<int64_t>(whole)), plat::ShortDateFormat());
  const long seconds = std::lround((days - whole) * 86400.0);
  if (seconds > 0 && seconds < 86400) {
    char buf[16];
    std::snprintf(buf, sizeof buf, " %02ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    text += buf;
  }
  return text;
}

void DateTimeField::SetAsString(std::string_view text) {
  const std::string_view t = plat::TrimOf(text);
  if (t.empty()) {
    Clear();
    return;
  }
  const size_t space = t.find(' ');
  const std::string_view date_part = t.substr(0, space);
  double days = 0;
  try {
    days = static_cast<double>(plat::SerialFromCivil(plat::ParseDateText(date_part, plat::ShortDateFormat())));
  } catch (const plat::ConvertError&) {
    RaiseInvalidText(msg::kInvalidDate, text);
  }
  if (space != std::string_view::npos) {
    const std::string time(plat::TrimOf(t.substr(space)));
    int h = 0, m = 0, s = 0;
    char tail = 0;
    const int n = std::sscanf(time.c_str(), "%d:%d:%d%c", &h, &m, &s, &tail);
    if (n < 2 || n > 3 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
      RaiseInvalidText(msg::kInvalidDate, text);
    days += (h * 3600 + m * 60 + s) / 86400.0;
  }
  SetAsDateTime(days);
}

double DateTimeField::AsDateTime() const {
  double days = 0;
  return ReadNative(&days) ? days : 0.0;
}

void DateTimeField::SetAsDateTime(double value) {
  // Dates of the proleptic calendar from year 1 to 9999.
  if (!std::isfinite(value) || value < -693593.0 || value > 2958466.0)
    RaiseInvalidText(msg::kInvalidDate, NumberText(value));
  WriteNative(value);
}

Value DateTimeField::AsValue() const {
  double days = 0;
  return ReadNative(&days) ? Value::DateTime(days) : Value();
}

void DateTimeField::SetAsValue(const Value& value) {
  if (value.IsNull())
    Clear();
  else if (value.kind() == Value::Kind::kText)
    SetAsString(value.ToText());
  else
    SetAsDateTime(value.ToFloat());
}

DateField::DateField(std::string name) : DateTimeField(std::move(name), FieldType::kDate) {}

bool DateField::ReadNative(double* days) const {
  int32_t v = 0;
  if (!GetData(&v)) return false;
  *days = v;
  return true;
}

void DateField::WriteNative(double days) {
  const int32_t v = static_cast<int32_t>(std::floor(days));
  SetData(&v);
}

// -------------------------------------------------------------------- blob

BlobField::BlobField(std::string name) : Field(std::move(name), FieldType::kBlob) {}
BlobField::BlobField(std::string name, FieldType type) : Field(std::move(name), type) {}

std::string BlobField::AsString() const {
  DataSet* ds = GetDataSet();
  if (ds == nullptr) RaiseDatabaseError(FormatMessage(msg::kFieldNoDataSet, {DisplayName()}));
  if (IsNull()) return {};
  std::unique_ptr<BlobStream> stream = ds->CreateBlobStream(const_cast<BlobField*>(this), BlobStreamMode::kRead);
  if (!stream) RaiseDatabaseError(FormatMessage(msg::kBlobNotSupported, {DisplayName()}));
  std::string out;
  char chunk[4096];
  for (;;) {
    const int64_t n = stream->Read(chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  stream->Close();
  return out;
}

void BlobField::SetAsString(std::string_view bytes) {
  DataSet* ds = GetDataSet();
  if (ds == nullptr) RaiseDatabaseError(FormatMessage(msg::kFieldNoDataSet, {DisplayName()}));
  std::unique_ptr<BlobStream> stream = ds->CreateBlobStream(this, BlobStreamMode::kWrite);
  if (!stream) RaiseDatabaseError(FormatMessage(msg::kBlobNotSupported, {DisplayName()}));
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream->Close();
}

Value BlobField::AsValue() const { return IsNull() ? Value() : Value(AsString()); }

MemoField::MemoField(std::string name) : BlobField(std::move(name), FieldType::kMemo) {}

// ----------------------------------------------------------------- factory

std::unique_ptr<Field> MakeField(const FieldDef& def) {
  std::unique_ptr<Field> f;
  switch (def.type) {
    case FieldType::kString: f = std::make_unique<StringField>(def.name, def.size); break;
    case FieldType::kSmallInt: f = std::make_unique<SmallIntField>(def.name); break;
    case FieldType::kInteger: f = std::make_unique<IntegerField>(def.name); break;
    case FieldType::kFloat: f = std::make_unique<FloatField>(def.name); break;
    case FieldType::kBoolean: f = std::make_unique<BooleanField>(def.name); break;
    case FieldType::kDate: f = std::make_unique<DateField>(def.name); break;
    case FieldType::kDateTime: f = std::make_unique<DateTimeField>(def.name); break;
    case FieldType::kMemo: f = std::make_unique<MemoField>(def.name); break;
    case FieldType::kBlob: f = std::make_unique<BlobField>(def.name); break;
    case FieldType::kUnknown: RaiseDatabaseError("Field '" + def.name + "' has no type");
  }
  f->SetRequired(def.required);
  f->SetReadOnly(def.read_only);
  return f;
}

}  // namespace dbkit
