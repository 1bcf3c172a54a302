#include "dbkit/field_data_link.h"

#include "dbkit/data_set.h"

namespace dbkit {

void FieldDataLink::SetFieldName(std::string name) {
  if (name == field_name_) return;
  field_name_ = std::move(name);
  UpdateField();
}

bool FieldDataLink::CanModify() const {
  const Field* f = GetField();
  return !ReadOnly() && f != nullptr && f->CanModify();
}

Field* FieldDataLink::GetField() const {
  const DataSet* ds = Active() ? GetDataSet() : nullptr;
  if (ds == nullptr || field_name_.empty()) return nullptr;
  if (generation_ != ds->FieldsGeneration()) {
    field_ = ds->FindField(field_name_);
    generation_ = ds->FieldsGeneration();
  }
  return field_;
}

void FieldDataLink::UpdateField() {
  field_ = nullptr;
  generation_ = 0;
  const DataSet* ds = Active() ? GetDataSet() : nullptr;
  if (ds != nullptr && !field_name_.empty()) {
    field_ = ds->FindField(field_name_);
    generation_ = ds->FieldsGeneration();
  }
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
  if (field != nullptr && field != GetField()) return;
  if (OnDataChange) OnDataChange();
  modified_ = false;
}

void FieldDataLink::UpdateData() {
  if (!modified_) return;
  if (GetField() != nullptr && OnUpdateData) OnUpdateData();
  modified_ = false;
}

void FieldDataLink::FocusControl(Field* field) {
  if (field != nullptr && field == GetField() && OnFocusControl) OnFocusControl();
}

}  // namespace dbkit
