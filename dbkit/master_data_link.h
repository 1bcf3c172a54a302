// MasterDataLink: the link a detail dataset keeps to its master's data
// source. It tells the detail when the master's key fields (or its whole
// record) changed, and when the master went away.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dbkit/data_link.h"

namespace dbkit {

class MasterDataLink : public DataLink {
 public:
  explicit MasterDataLink(DataSet* detail) : detail_(detail) {}

  // The master's fields, names separated by ";".
  const std::string& FieldNames() const { return field_names_; }
  void SetFieldNames(std::string names);
  // The master's fields found by name while the link is active.
  const std::vector<Field*>& Fields() const { return fields_; }

  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override { ActiveChanged(); }
  void RecordChanged(Field* field) override;

 private:
  DataSet* detail_;
  std::string field_names_;
  std::vector<Field*> fields_;
};

}  // namespace dbkit
