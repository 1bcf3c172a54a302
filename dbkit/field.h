// Field objects: one per column of a dataset, owned by the dataset (see
// DataSet::AddField and CreateFields). A field reads and writes its value of
// the record that belongs to the dataset's current state through the
// dataset's GetFieldData/SetFieldData, in the native buffer format of its
// type (types.h). The concrete field classes are in field_types.h.
//
// Texts are in the dataset's window code page. A field that transliterates
// passes its text through DataSet::Translate after reading (to the window
// code page) and before writing (to the storage code page).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dbkit/types.h"
#include "dbkit/value.h"

namespace dbkit {

class DataSet;

class Field {
 public:
  Field(std::string name, FieldType type, int size = 0);
  virtual ~Field();
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  // --- identity and layout ---
  const std::string& FieldName() const { return name_; }
  FieldType DataType() const { return type_; }
  FieldKind Kind() const { return kind_; }
  // Only before the field is bound (while its dataset is closed).
  void SetKind(FieldKind kind);
  bool Calculated() const { return kind_ != FieldKind::kData; }
  // 1-based position of the field's definition for a data field, -1 for a
  // calculated one, 0 while unbound.
  int FieldNo() const { return field_no_; }
  // Declared size: the text length of a string field, 0 for the others.
  int Size() const { return size_; }
  // Bytes of the native buffer GetData and SetData exchange.
  virtual int DataSize() const = 0;
  // A calculated field's place in the calculated-field area of a record
  // buffer: one has-value byte at Offset(), then DataSize() bytes of value.
  int Offset() const { return offset_; }
  // Position in the dataset's field list, -1 when in none.
  int Index() const;
  DataSet* GetDataSet() const { return dataset_; }

  // --- presentation and rules ---
  const std::string& DisplayLabel() const { return display_label_; }
  void SetDisplayLabel(std::string label) { display_label_ = std::move(label); }
  // The label when one is set, else the field name.
  const std::string& DisplayName() const { return display_label_.empty() ? name_ : display_label_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  bool Visible() const { return visible_; }
  void SetVisible(bool value) { visible_ = value; }
  bool Transliterate() const { return transliterate_; }
  void SetTransliterate(bool value) { transliterate_ = value; }
  // Width in characters a control gives the field.
  int DisplayWidth() const;
  void SetDisplayWidth(int chars) { display_width_ = chars; }

  // Whether a control may change the value now: a data field, not
  // read-only, of a dataset that can be modified (in the set-key state: a
  // field of the current index).
  bool CanModify() const;
  bool IsIndexField() const;

  // --- values ---
  bool IsNull() const;
  virtual std::string AsString() const;
  virtual void SetAsString(std::string_view text);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  // Days since 30 December 1899, the time of day as the fraction.
  virtual double AsDateTime() const;
  virtual void SetAsDateTime(double value);
  virtual Value AsValue() const;
  virtual void SetAsValue(const Value& value);
  // What a control shows: the text, or a placeholder for values that are
  // not text (blobs).
  virtual std::string DisplayText() const { return AsString(); }
  // Sets the value to none.
  void Clear() { SetData(nullptr); }

  // Native access. `buffer` holds DataSize() bytes; GetData answers false
  // when the value is null. SetData with null stores no value.
  bool GetData(void* buffer) const;
  void SetData(const void* buffer);

  // Runs OnValidate for a value about to be stored; datasets call it from
  // SetFieldData. While the hook runs the field reads as that value.
  void Validate(const void* buffer);
  // Asks the control that shows this field to take the focus.
  void FocusControl();

  // Raised after the value changed (from the dataset's field-change
  // notification) and, with the field reading as the new value, before it is
  // stored (a hook that raises stops the store).
  std::function<void(Field&)> OnChange;
  std::function<void(Field&)> OnValidate;

 protected:
  [[noreturn]] void RaiseConvertError(const char* type_name) const;
  [[noreturn]] void RaiseInvalidText(const char* format, std::string_view text) const;

 private:
  friend class DataSet;

  std::string name_;
  FieldType type_;
  FieldKind kind_ = FieldKind::kData;
  int size_;
  int field_no_ = 0;
  int offset_ = 0;
  DataSet* dataset_ = nullptr;
  std::string display_label_;
  int display_width_ = 0;
  bool read_only_ = false;
  bool required_ = false;
  bool visible_ = true;
  bool transliterate_ = false;

  // Set while OnValidate runs: reads answer from this buffer (null: no value).
  bool validating_ = false;
  const void* validating_buffer_ = nullptr;
};

}  // namespace dbkit
