#include "dbkit/field.h"

#include <cstring>
#include <vector>

#include "dbkit/data_set.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"

namespace dbkit {

Field::Field(std::string name, FieldType type, int size) : name_(std::move(name)), type_(type), size_(size) {}

Field::~Field() = default;

void Field::SetKind(FieldKind kind) {
  if (dataset_ != nullptr) dataset_->CheckInactive();
  kind_ = kind;
}

int Field::Index() const {
  if (dataset_ == nullptr) return -1;
  for (int i = 0; i < dataset_->FieldCount(); ++i)
    if (dataset_->Fields(i) == this) return i;
  return -1;
}

int Field::DisplayWidth() const {
  if (display_width_ > 0) return display_width_;
  switch (type_) {
    case FieldType::kString: return size_ > 0 ? size_ : 1;
    case FieldType::kSmallInt: return 6;
    case FieldType::kInteger: return 11;
    case FieldType::kBoolean: return 5;
    case FieldType::kDate: return 10;
    case FieldType::kFloat:
    case FieldType::kDateTime: return 18;
    default: return 10;
  }
}

bool Field::CanModify() const {
  if (dataset_ == nullptr || kind_ != FieldKind::kData) return false;
  if (dataset_->State() == DataSetState::kSetKey) return IsIndexField();
  return !read_only_ && dataset_->CanModify();
}

bool Field::IsIndexField() const { return dataset_ != nullptr && dataset_->GetIsIndexField(this); }

bool Field::GetData(void* buffer) const {
  if (validating_) {
    if (validating_buffer_ == nullptr) return false;
    std::memcpy(buffer, validating_buffer_, static_cast<size_t>(DataSize()));
    return true;
  }
  if (dataset_ == nullptr) RaiseDatabaseError(FormatMessage(msg::kFieldNoDataSet, {DisplayName()}));
  return dataset_->GetFieldData(const_cast<Field*>(this), buffer);
}

void Field::SetData(const void* buffer) {
  if (dataset_ == nullptr) RaiseDatabaseError(FormatMessage(msg::kFieldNoDataSet, {DisplayName()}));
  dataset_->SetFieldData(this, buffer);
}

bool Field::IsNull() const {
  std::vector<char> buffer(static_cast<size_t>(DataSize()) + 1);
  return !GetData(buffer.data());
}

void Field::Validate(const void* buffer) {
  if (!OnValidate) return;
  struct Reset {
    Field& f;
    ~Reset() {
      f.validating_ = false;
      f.validating_buffer_ = nullptr;
    }
  } reset{*this};
  validating_ = true;
  validating_buffer_ = buffer;
  OnValidate(*this);
}

void Field::FocusControl() {
  if (dataset_ != nullptr) dataset_->DataEvent(DataEventKind::kFocusControl, this);
}

void Field::RaiseConvertError(const char* type_name) const {
  RaiseDatabaseError(FormatMessage(msg::kFieldKindCannotConvert, {DisplayName(), type_name}));
}

void Field::RaiseInvalidText(const char* format, std::string_view text) const {
  RaiseDatabaseError(FormatMessage(format, {text, DisplayName()}));
}

std::string Field::AsString() const { RaiseConvertError("String"); }
void Field::SetAsString(std::string_view) { RaiseConvertError("String"); }
int32_t Field::AsInteger() const { RaiseConvertError("Integer"); }
void Field::SetAsInteger(int32_t) { RaiseConvertError("Integer"); }
double Field::AsFloat() const { RaiseConvertError("Float"); }
void Field::SetAsFloat(double) { RaiseConvertError("Float"); }
bool Field::AsBoolean() const { RaiseConvertError("Boolean"); }
void Field::SetAsBoolean(bool) { RaiseConvertError("Boolean"); }
double Field::AsDateTime() const { RaiseConvertError("DateTime"); }
void Field::SetAsDateTime(double) { RaiseConvertError("DateTime"); }
Value Field::AsValue() const { return IsNull() ? Value() : Value(AsString()); }
void Field::SetAsValue(const Value& value) {
  if (value.IsNull())
    Clear();
  else
    SetAsString(value.ToText());
}

}  // namespace dbkit
