// FieldDataLink: the link of a control that shows and edits one field of
// the active record (a data-aware edit). It finds its field by name when
// the dataset opens, tells the control when the field's value changed, and
// asks the control for its input before the record is posted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "dbkit/data_link.h"

namespace dbkit {

class FieldDataLink : public DataLink {
 public:
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(std::string name);
  // The field of the open dataset, or null.
  Field* GetField() const;
  // The control may change the field: the link is not read-only and the
  // field can be modified.
  bool CanModify() const;
  // The dataset is editing and the field can be modified.
  bool FieldEditing() const { return field_editing_; }
  // The control's text differs from the field: UpdateData will store it.
  void Modified() { modified_ = true; }
  bool IsModified() const { return modified_; }
  // Drops pending input and shows the field's value again.
  void Reset() { RecordChanged(nullptr); }

  // The control should show the field's value again.
  std::function<void()> OnDataChange;
  // FieldEditing() changed.
  std::function<void()> OnEditingChange;
  // The control should store its input into GetField().
  std::function<void()> OnUpdateData;
  // The link became active or inactive (the field may have changed).
  std::function<void()> OnActiveChange;

 protected:
  void ActiveChanged() override;
  void EditingChanged() override;
  void LayoutChanged() override;
  void RecordChanged(Field* field) override;
  void UpdateData() override;
  void FocusControl(Field* field) override;

 public:
  // Asked to take the focus (Field::FocusControl).
  std::function<void()> OnFocusControl;

 private:
  void UpdateField();
  void UpdateFieldEditing();

  std::string field_name_;
  mutable Field* field_ = nullptr;
  mutable uint64_t generation_ = 0;
  bool modified_ = false;
  bool field_editing_ = false;
};

}  // namespace dbkit
