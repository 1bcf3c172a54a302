// Index definitions a dataset publishes about the orders it can navigate in
// (filled by the dataset's UpdateIndexDefs). `fields` names the key fields
// separated by ";"; an expression index keeps its key expression instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dbkit {

enum IndexOption : unsigned {
  kIxPrimary = 1,
  kIxUnique = 2,
  kIxDescending = 4,
  kIxCaseInsensitive = 8,
  kIxExpression = 16,
};
using IndexOptions = unsigned;

struct IndexDef {
  std::string name;
  std::string fields;      // "NAME;FIRST" (not for expression indexes)
  std::string expression;  // the key expression of an expression index
  IndexOptions options = 0;
};

class IndexDefs {
 public:
  IndexDef& Add(std::string name, std::string fields, IndexOptions options = 0);
  void Clear();
  int Count() const { return static_cast<int>(defs_.size()); }
  const IndexDef& operator[](int i) const { return defs_[static_cast<size_t>(i)]; }
  IndexDef& operator[](int i) { return defs_[static_cast<size_t>(i)]; }
  // Definition of that name (any case), or null.
  const IndexDef* Find(std::string_view name) const;

  auto begin() const { return defs_.begin(); }
  auto end() const { return defs_.end(); }

  // False when the definitions must be read again from the dataset.
  bool updated = false;

 private:
  std::vector<IndexDef> defs_;
};

}  // namespace dbkit
