#include "dbkit/index_def.h"

#include "dbkit/field_def.h"

namespace dbkit {

IndexDef& IndexDefs::Add(std::string name, std::string fields, IndexOptions options) {
  IndexDef def;
  def.name = std::move(name);
  def.fields = std::move(fields);
  def.options = options;
  defs_.push_back(std::move(def));
  return defs_.back();
}

void IndexDefs::Clear() {
  defs_.clear();
  updated = false;
}

const IndexDef* IndexDefs::Find(std::string_view name) const {
  for (const auto& d : defs_)
    if (SameName(d.name, name)) return &d;
  return nullptr;
}

}  // namespace dbkit
