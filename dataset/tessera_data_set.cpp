// TTesseraDataSet: construction, the published properties, the filter, and
// opening and closing the table (see tessera_data_set.h for the other files).
#include "dataset/tessera_data_set.h"

#include <unistd.h>

#include "dataset/alias_list.h"
#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "dbkit/master_data_link.h"
#include "engine/text_helpers.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "platform/scope_guard.h"
#include "platform/text_list.h"

namespace tessera {

using dbkit::DataSetState;
using dbkit::FieldType;
using dbkit::RaiseDatabaseError;

TTesseraDataSet::TTesseraDataSet() {
  index_files_.OnChange = [this] { IndexFilesChanged(); };
  master_link_ = std::make_unique<dbkit::MasterDataLink>(this);
  master_link_->OnMasterChange = [this] { MasterChanged(); };
  master_link_->OnMasterDisable = [this] { MasterDisabled(); };
}

TTesseraDataSet::~TTesseraDataSet() {
  try {
    Close();
  } catch (...) {
    // Closing runs the program's events; a destructor cannot pass their
    // failures on. The cursor is closed in any case.
    if (table_) InternalClose();
  }
  index_files_.OnChange = nullptr;
}

// ------------------------------------------------------------- properties

void TTesseraDataSet::SetAutoFlush(bool value) {
  auto_flush_ = value;
  if (table_) table_->SetAutoFlush(value);
}

void TTesseraDataSet::SetDatabaseName(std::string_view value) {
  if (value == database_name_) return;
  CheckInactive();
  if (dbkit::SameName(value, kDefaultDirectoryAlias)) {
    database_name_ = std::string(value);
    return;
  }
  std::string name = plat::UpperName(value);
  if (name.size() > 1 && name.back() == '/') name.pop_back();
  if (name == database_name_) return;
  if (!name.empty() && !TAliasList::Instance().Find(name)) TAliasList::Instance().Add(name, name);
  database_name_ = std::move(name);
}

void TTesseraDataSet::SetEncryptionKey(std::string_view value) {
  if (value == encryption_key_) return;
  CheckInactive();
  encryption_key_ = std::string(value);
}

void TTesseraDataSet::SetExclusive(bool value) {
  if (value == exclusive_) return;
  CheckInactive();
  exclusive_ = value;
}

void TTesseraDataSet::SetReadOnly(bool value) {
  if (value == read_only_) return;
  CheckInactive();
  read_only_ = value;
}

void TTesseraDataSet::SetTableName(std::string_view value) {
  if (value == table_name_) return;
  CheckInactive();
  table_name_ = std::string(value);
  // Index files belong to the table they were opened with. Nothing to check
  // against the new table, so the list's notification is held back.
  suppress_index_change_ = true;
  index_files_.Clear();
  suppress_index_change_ = false;
}

void TTesseraDataSet::SetUseDeleted(bool value) {
  use_deleted_ = value;
  if (table_) table_->SetUseDeleted(value);
}

void TTesseraDataSet::SetLockProtocol(TktLokProtocol value) {
  lock_protocol_ = value;
  if (table_) table_->SetLockProtocol(value);
}

void TTesseraDataSet::SetUserID(int32_t value) {
  user_id_ = value;
  if (table_) table_->SetUserId(value);
}

const std::string& TTesseraDataSet::MasterFields() const { return master_link_->FieldNames(); }

void TTesseraDataSet::SetMasterFields(std::string_view value) { master_link_->SetFieldNames(std::string(value)); }

dbkit::DataSource* TTesseraDataSet::MasterSource() const { return master_link_->GetDataSource(); }

void TTesseraDataSet::SetMasterSource(dbkit::DataSource* source) {
  if (source != nullptr && IsLinkedTo(source)) RaiseDatabaseError(dbkit::msg::kCircularDataLink);
  master_link_->SetDataSource(source);
}

const dbkit::IndexDefs& TTesseraDataSet::IndexDefs() {
  if (!GetIndexDefs().updated && table_) UpdateIndexDefs();
  return GetIndexDefs();
}

std::string TTesseraDataSet::TableDirectory() const {
  if (database_name_.empty()) return {};
  return ResolveDatabaseDirectory(database_name_);
}

std::string TTesseraDataSet::FullTableName() const {
  std::string name(plat::TrimOf(table_name_));
  if (name.empty()) return {};
  if (ExtensionOf(name).size() <= 1) name += ".DBF";
  if (name.find('/') != std::string::npos) return name;
  return TableDirectory() + name;
}

// ----------------------------------------------------------------- filter

void TTesseraDataSet::ApplyFilterToTable() {
  const dbkit::FilterOptions o = GetFilterOptions();
  // The expression compares with table texts: its literals are given in
  // the window's code page like every other text of the dataset.
  table_->SetFilterExpression(ToOem(Filter()), (o & dbkit::kFoCaseInsensitive) != 0, (o & dbkit::kFoNoPartialCompare) == 0);
}

void TTesseraDataSet::SetFiltered(bool value) {
  if (!table_) {
    DataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value != Filtered()) {
    DataSet::SetFiltered(value);
    table_->SetFilterActive(value);
    if (value) {
      try {
        ApplyFilterToTable();
      } catch (...) {
        // A filter that cannot be applied leaves the dataset unfiltered
        // rather than claiming a filter the table does not hold.
        DataSet::SetFiltered(false);
        table_->SetFilterActive(false);
        throw;
      }
    }
  }
  First();
}

void TTesseraDataSet::SetFilterText(std::string value) {
  if (!table_ || !Filtered()) {
    DataSet::SetFilterText(std::move(value));
    return;
  }
  CheckBrowseMode();
  const std::string old = Filter();
  DataSet::SetFilterText(std::move(value));
  table_->SetFilterActive(true);
  try {
    ApplyFilterToTable();
  } catch (...) {
    DataSet::SetFilterText(old);
    try {
      ApplyFilterToTable();
    } catch (...) {
    }
    First();
    throw;
  }
  First();
}

void TTesseraDataSet::SetFilterOptions(dbkit::FilterOptions value) {
  if (!table_ || !Filtered()) {
    DataSet::SetFilterOptions(value);
    return;
  }
  CheckBrowseMode();
  DataSet::SetFilterOptions(value);
  table_->SetFilterActive(true);
  ApplyFilterToTable();
  First();
}

bool TTesseraDataSet::AcceptRecord() {
  if (!Filtered() || !OnFilterRecord || State() == DataSetState::kInactive || !table_) return true;
  // The event sees the record being tested through the fields, in the
  // filter state (GetFieldData reads the table's current record then).
  FilterStateScope scope(this, table_->RecordBuffer());
  bool accept = true;
  OnFilterRecord(*this, accept);
  return accept;
}

void TTesseraDataSet::ReportStatus(int32_t stat1, int32_t stat2, int32_t stat3) {
  if (OnStatus) OnStatus(stat1, stat2, stat3);
}

// ------------------------------------------------------------ active check

void TTesseraDataSet::CheckBusy() const {
  if (busy_ == kBusyIndexing) RaiseDatabaseError(dsmsg::kBusyIndexing);
  if (busy_ == kBusyCopying) RaiseDatabaseError(dsmsg::kBusyCopying);
}

void TTesseraDataSet::CheckActive() const {
  if (refreshing_index_defs_) return;
  DataSet::CheckActive();
  CheckBusy();
}

// ------------------------------------------------------ open and close

void TTesseraDataSet::InternalOpen() {
  opening_ = true;
  plat::ScopeGuard reset([this] { opening_ = false; });
  const std::string_view name = plat::TrimOf(table_name_);
  if (name.empty()) RaiseDatabaseError(dsmsg::kTableNameMissing);
  if (ExtensionOf(name).size() <= 1) table_name_ = std::string(name) + ".DBF";
  const std::string full = FullTableName();
  if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {plat::ResolveCase(plat::FullPath(full))}));
  // A table file that may not be written is opened read-only, and the
  // dataset then cannot be modified.
  read_only_by_file_ = false;
  bool writable = !read_only_;
  if (writable && ::access(plat::ResolveCase(full).c_str(), W_OK) != 0) {
    writable = false;
    read_only_by_file_ = true;
  }
  table_ = std::make_unique<DBFObject>(full, !exclusive_, writable, encryption_key_, this);
  table_->SetAutoFlush(auto_flush_);
  table_->SetUseDeleted(use_deleted_);
  if (read_cache_option_ != 0) table_->SetReadCacheAllowed(false);
  table_->SetLockProtocol(lock_protocol_);
  table_->SetUserId(user_id_);
  if (code_page_ != 0) table_->SetTextCodePage(code_page_);
  record_length_ = table_->RecordLength();

  InternalInitFieldDefs();
  if (DefaultFields()) {
    CreateFields();
    // Memo texts are table texts like any other: shown in the window's
    // code page.
    for (int i = 0; i < FieldCount(); ++i)
      if (Fields(i)->DataType() == FieldType::kMemo) Fields(i)->SetTransliterate(true);
  }
  BindFields(true);
  SetBookmarkSize(kBookmarkSize);
  key_buffer_ = AllocRecordBuffer();

  if (Filtered()) {
    table_->SetFilterActive(true);
    ApplyFilterToTable();
  }
  at_first_ = true;
  at_last_ = false;
  OpenIndexFiles();
  editing_ = false;
  SetMasterRange();
}

void TTesseraDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  if (table_ && editing_) table_->UnlockTable();
  editing_ = false;
  table_.reset();
  key_buffer_.reset();
  read_only_by_file_ = false;
  GetIndexDefs().Clear();
  GetIndexDefs().updated = false;
  key_range_set_ = false;
}

bool TTesseraDataSet::IsCursorOpen() const { return table_ != nullptr; }

bool TTesseraDataSet::GetCanModify() const { return !read_only_ && !read_only_by_file_; }

}  // namespace tessera
