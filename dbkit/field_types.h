// The concrete field classes, one per field type, and the factory that makes
// the default field of a field definition.
#pragma once

#include <memory>
#include <string>

#include "dbkit/field.h"
#include "dbkit/field_def.h"

namespace dbkit {

// Text of at most Size() characters. Transliterates by default.
class StringField : public Field {
 public:
  StringField(std::string name, int size);
  int DataSize() const override { return Size() + 1; }
  std::string AsString() const override;
  // Raises DatabaseError when the text is longer than the field.
  void SetAsString(std::string_view text) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  Value AsValue() const override;
  void SetAsValue(const Value& value) override;
};

// 32-bit integer (native int32_t) within [MinValue, MaxValue].
class IntegerField : public Field {
 public:
  explicit IntegerField(std::string name);
  int DataSize() const override { return 4; }
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  Value AsValue() const override;
  void SetAsValue(const Value& value) override;

  int64_t MinValue() const { return min_; }
  int64_t MaxValue() const { return max_; }
  // Narrows the allowed range (never beyond the native type's).
  void SetRange(int64_t min, int64_t max);

 protected:
  IntegerField(std::string name, FieldType type, int64_t min, int64_t max);
  // Native value, false when null.
  bool ReadNative(int64_t* value) const;
  void WriteNative(int64_t value);

 private:
  int64_t min_, max_;
  int64_t native_min_, native_max_;
};

// 16-bit integer (native int16_t).
class SmallIntField : public IntegerField {
 public:
  explicit SmallIntField(std::string name);
  int DataSize() const override { return 2; }
};

// Floating value (native double).
class FloatField : public Field {
 public:
  explicit FloatField(std::string name);
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  Value AsValue() const override;
  void SetAsValue(const Value& value) override;
};

// Logical value (native uint16_t 0/1), shown as the true or false text.
class BooleanField : public Field {
 public:
  explicit BooleanField(std::string name);
  int DataSize() const override { return 2; }
  std::string AsString() const override;
  // Accepts the beginning of the true or false text in any case; an empty
  // text stores no value.
  void SetAsString(std::string_view text) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  int32_t AsInteger() const override;
  Value AsValue() const override;
  void SetAsValue(const Value& value) override;
  // "True;False" by default.
  void SetDisplayValues(std::string_view values);

 private:
  std::string true_text_ = "True";
  std::string false_text_ = "False";
};

// Date and time (native double: days since 30 December 1899, time as the
// fraction). Text in the locale's short date format, then " hh:mm:ss" when
// there is a time of day.
class DateTimeField : public Field {
 public:
  explicit DateTimeField(std::string name);
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  double AsDateTime() const override;
  void SetAsDateTime(double value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double value) override { SetAsDateTime(value); }
  Value AsValue() const override;
  void SetAsValue(const Value& value) override;

 protected:
  DateTimeField(std::string name, FieldType type);
  virtual bool ReadNative(double* days) const;
  virtual void WriteNative(double days);
};

// Date (native int32_t day number); a time of day is dropped.
class DateField : public DateTimeField {
 public:
  explicit DateField(std::string name);
  int DataSize() const override { return 4; }

 protected:
  bool ReadNative(double* days) const override;
  void WriteNative(double days) override;
};

// Bytes of any length, read and written through the dataset's blob stream.
// The native value is the dataset's int32 reference; 0/null means empty.
class BlobField : public Field {
 public:
  explicit BlobField(std::string name);
  int DataSize() const override { return 4; }
  // The whole value. Raises DatabaseError when the dataset offers no stream.
  std::string AsString() const override;
  void SetAsString(std::string_view bytes) override;
  std::string DisplayText() const override { return IsNull() ? "(blob)" : "(BLOB)"; }
  Value AsValue() const override;
  void SetAsValue(const Value& value) override { SetAsString(value.ToText()); }

 protected:
  BlobField(std::string name, FieldType type);
};

// Text of any length (the stream converts code pages when it transliterates).
class MemoField : public BlobField {
 public:
  explicit MemoField(std::string name);
  std::string DisplayText() const override { return IsNull() ? "(memo)" : "(MEMO)"; }
};

// The default field object for a definition: the class of its type, its
// name, size, required flag and read-only flag.
std::unique_ptr<Field> MakeField(const FieldDef& def);

}  // namespace dbkit
