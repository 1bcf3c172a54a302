#include "dbkit/master_data_link.h"

#include <algorithm>

#include "dbkit/data_set.h"
#include "dbkit/data_source.h"
#include "dbkit/db_error.h"

namespace dbkit {

void MasterDataLink::SetFieldNames(std::string names) {
  field_names_ = std::move(names);
  ActiveChanged();
}

void MasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active()) {
    // A master field that does not exist leaves the link without fields:
    // the detail then sees its master as disabled.
    try {
      fields_ = GetDataSet()->GetFieldList(field_names_);
    } catch (const DatabaseError&) {
      fields_.clear();
    }
  }
  if (detail_ == nullptr || !detail_->Active()) return;
  if (Active() && !fields_.empty()) {
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void MasterDataLink::CheckBrowseMode() {
  if (detail_ != nullptr && detail_->Active()) detail_->CheckBrowseMode();
}

void MasterDataLink::RecordChanged(Field* field) {
  if (GetDataSource() == nullptr || GetDataSource()->State() == DataSetState::kSetKey) return;
  if (detail_ == nullptr || !detail_->Active() || fields_.empty()) return;
  if (field != nullptr && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  if (OnMasterChange) OnMasterChange();
}

}  // namespace dbkit
