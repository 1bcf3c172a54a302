#include "dbkit/field_data_link.h"

#include "dbkit/data_set.h"

namespace dbkit {

void FieldDataLink::SetFieldName(std::string name) {
  if (name == field_name_) return;
  field_name_ = std::move(name);
  UpdateField();
}

bool FieldDataLink::CanModify() const { return !ReadOnly() && field_ != nullptr && field_->CanModify(); }

void FieldDataLink::UpdateField() {
  Field* field = nullptr;
  if (Active() && !field_name_.empty()) field = GetDataSet()->FindField(field_name_);
  field_ = field;
  UpdateFieldEditing();
  RecordChanged(nullptr);
}

void FieldDataLink::UpdateFieldEditing() {
  const bool value = Editing() && CanModify();
  if (value == field_editing_) return;
  field_editing_ = value;
  if (OnEditingChange) OnEditingChange();
}

void FieldDataLink::ActiveChanged() {
  UpdateField();
  if (OnActiveChange) OnActiveChange();
}

void FieldDataLink::EditingChanged() { UpdateFieldEditing(); }

void FieldDataLink::LayoutChanged() { UpdateField(); }

void FieldDataLink::RecordChanged(Field* field) {
  if (field != nullptr && field != field_) return;
  if (OnDataChange) OnDataChange();
  modified_ = false;
}

void FieldDataLink::UpdateData() {
  if (!modified_) return;
  if (field_ != nullptr && OnUpdateData) OnUpdateData();
  modified_ = false;
}

void FieldDataLink::FocusControl(Field* field) {
  if (field != nullptr && field == field_ && OnFocusControl) OnFocusControl();
}

}  // namespace dbkit
