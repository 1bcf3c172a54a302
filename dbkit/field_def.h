// Field definitions: what a dataset says its records hold (filled by
// InternalInitFieldDefs), from which the default field objects are made and
// against which persistent fields are bound.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dbkit/types.h"

namespace dbkit {

struct FieldDef {
  std::string name;
  FieldType type = FieldType::kUnknown;
  int size = 0;            // text length of strings; 0 for the other types
  int field_no = 0;        // 1-based position among the definitions
  bool required = false;
  bool read_only = false;
};

class FieldDefs {
 public:
  // Appends a definition; its field number is its 1-based position.
  // Raises DatabaseError on a duplicate name (names compare without case).
  FieldDef& Add(std::string name, FieldType type, int size = 0, bool required = false);
  void Clear();

  int Count() const { return static_cast<int>(defs_.size()); }
  const FieldDef& operator[](int i) const { return defs_[static_cast<size_t>(i)]; }
  FieldDef& operator[](int i) { return defs_[static_cast<size_t>(i)]; }
  // Index of the definition of that name (any case), or -1.
  int IndexOf(std::string_view name) const;
  const FieldDef* Find(std::string_view name) const;

  auto begin() const { return defs_.begin(); }
  auto end() const { return defs_.end(); }

  // False when the definitions must be read again from the dataset.
  bool updated = false;

 private:
  std::vector<FieldDef> defs_;
};

// Compares two field or index names without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b);

}  // namespace dbkit
