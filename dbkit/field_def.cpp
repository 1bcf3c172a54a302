#include "dbkit/field_def.h"

#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"

namespace dbkit {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

FieldDef& FieldDefs::Add(std::string name, FieldType type, int size, bool required) {
  if (IndexOf(name) >= 0) RaiseDatabaseError(FormatMessage(msg::kDuplicateFieldName, {name}));
  FieldDef def;
  def.name = std::move(name);
  def.type = type;
  def.size = size;
  def.required = required;
  def.field_no = Count() + 1;
  defs_.push_back(std::move(def));
  return defs_.back();
}

void FieldDefs::Clear() {
  defs_.clear();
  updated = false;
}

int FieldDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < defs_.size(); ++i)
    if (SameName(defs_[i].name, name)) return static_cast<int>(i);
  return -1;
}

const FieldDef* FieldDefs::Find(std::string_view name) const {
  const int i = IndexOf(name);
  return i < 0 ? nullptr : &defs_[static_cast<size_t>(i)];
}

}  // namespace dbkit
