// TTesseraDataSet: the index files opened with the table, the index
// definitions, the master tag, and building and inspecting index files.
#include "dataset/tessera_data_set.h"

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dbkit/db_error.h"
#include "engine/text_helpers.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/index_file.h"
#include "index/index_repair.h"
#include "index/index_tag.h"
#include "platform/path.h"
#include "platform/scope_guard.h"
#include "platform/text_list.h"

namespace tessera {

using dbkit::RaiseDatabaseError;

// ------------------------------------------------------------ index files

std::string TTesseraDataSet::IndexFilePath(std::string_view name) const {
  std::string n(plat::TrimOf(name));
  if (ExtensionOf(n).size() <= 1) n += ".NDX";
  if (n.find('/') == std::string::npos) n = TableDirectory() + n;
  // As spelled on disk (as given where nothing is there yet): the engine
  // compares file names without regard to letter case, and messages show
  // the name the user can find.
  return plat::ResolveCase(plat::FullPath(n));
}

void TTesseraDataSet::OpenIndexFiles() {
  GetIndexDefs().updated = false;
  GetIndexDefs().Clear();
  if (index_files_.Empty() || !table_) return;
  table_->CloseIndexFiles();
  for (const std::string& entry : index_files_.Strings()) {
    const std::string full = IndexFilePath(entry);
    if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {full}));
    // An index already open is accepted here: the list may name it twice.
    if (table_->OpenIndexFile(full) > 0) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kErrorGetting, {full}));
  }
  UpdateIndexDefs();
  table_->SelectMasterTag(index_name_, false);
  at_first_ = true;
  at_last_ = false;
}

void TTesseraDataSet::IndexFilesChanged() {
  if (suppress_index_change_ || opening_) return;
  const bool was_open = Active();
  if (!table_) {
    try {
      Open();
    } catch (...) {
    }
  }
  plat::ScopeGuard restore([this, was_open] {
    if (!was_open && Active()) {
      try {
        Close();
      } catch (...) {
      }
    }
  });
  if (!table_) return;
  if (was_open) CheckBrowseMode();
  GetIndexDefs().updated = false;
  GetIndexDefs().Clear();
  table_->CloseIndexFiles();
  if (index_files_.Empty()) {
    index_name_.clear();
  } else {
    for (const std::string& entry : index_files_.Strings()) {
      const std::string full = IndexFilePath(entry);
      if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {full}));
      const int32_t r = table_->OpenIndexFile(full);
      if (r == -1) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kIndexAlreadyOpen, {full}));
      if (r != 0) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kErrorGetting, {full}));
    }
    UpdateIndexDefs();
  }
  if (was_open) SelectIndex(false);
}

void TTesseraDataSet::UpdateIndexDefs() {
  refreshing_index_defs_ = true;
  plat::ScopeGuard reset([this] { refreshing_index_defs_ = false; });
  dbkit::IndexDefs& defs = GetIndexDefs();
  defs.Clear();
  if (!table_) return;
  for (int n = 1;; ++n) {
    KTobjIndexTag* tag = table_->TagByNumber(n);
    if (tag == nullptr) break;
    const std::string& expr = tag->KeyExpression();
    dbkit::IndexOptions options = 0;
    if (tag->Unique()) options |= dbkit::kIxUnique;
    if (tag->Descending()) options |= dbkit::kIxDescending;
    if (expr.find('(') != std::string::npos) {
      dbkit::IndexDef& def = defs.Add(tag->Name(), expr, options | dbkit::kIxExpression);
      def.expression = expr;
    } else {
      std::string fields;
      for (char c : expr) {
        if (c == ' ') continue;
        fields += (c == '+' || c == '-') ? ';' : c;
      }
      defs.Add(tag->Name(), fields, options);
    }
  }
  defs.updated = true;
}

void TTesseraDataSet::SetIndexName(std::string_view value) {
  if (!table_) {
    index_name_ = std::string(value);
    return;
  }
  CheckBrowseMode();
  const std::string old = index_name_;
  index_name_ = std::string(value);
  try {
    SelectIndex(true);
  } catch (...) {
    index_name_ = old;
    throw;
  }
}

void TTesseraDataSet::SelectIndex(bool raise_select) {
  const int32_t recno = GetRecNo();
  try {
    table_->SelectMasterTag(index_name_, false);
  } catch (...) {
    if (raise_select) throw;
    index_name_.clear();
    table_->SelectMasterTag("", false);
  }
  if (recno > 0) table_->GotoRecord(recno);
  SetMasterRange();
  try {
    if (recno <= 0 || table_->OutsideOrder() || table_->Eof() || table_->Bof() || table_->CurrentRecord() != recno ||
        (!use_deleted_ && table_->IsDeleted())) {
      First();
    } else {
      at_first_ = at_last_ = false;
      CursorPosChanged();
      Resync(0);
    }
  } catch (const std::exception&) {
    // The order is chosen; the rows show what could be read.
  }
  DoAfterScroll();
}

TIndexFileReport TTesseraDataSet::InspectIndexFile(std::string_view index_file) {
  CheckActive();
  const std::string full = IndexFilePath(index_file);
  if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {full}));
  TIndexFileReport report;
  std::unique_ptr<KTobjIndexFile> file = MakeIndexFile(table_.get(), full, false, !exclusive_, false);
  if (file->Disk() == nullptr || file->Disk()->IsClosed())
    RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kErrorGetting, {full}));
  if (!file->Opened()) return report;
  report.readable = true;
  for (size_t i = 0; i < file->TagCount(); ++i) {
    const KTobjIndexTag& t = *file->TagAt(i);
    report.tags.push_back({t.Name(), t.KeyExpression(), t.ForExpression(), t.Unique(), t.Descending()});
  }
  report.interrupted = file->NeedsRebuild();
  report.faults = QuickCheckIndexFile(*table_, *file);
  return report;
}

int32_t TTesseraDataSet::TagCount() const {
  if (!table_) return 0;
  int32_t count = 0;
  for (int slot = 1; slot <= KTO_dBHandler::kIndexSlots; ++slot)
    if (KTobjIndexFile* f = table_->IndexFile(slot)) count += static_cast<int32_t>(f->TagCount());
  return count;
}

std::string TTesseraDataSet::TagName(int n) const {
  if (!table_ || n < 1) return {};
  KTobjIndexTag* tag = table_->TagByNumber(n);
  return tag != nullptr ? tag->Name() : std::string();
}

std::string TTesseraDataSet::TagExpression(int n) const {
  if (!table_ || n < 1) return {};
  KTobjIndexTag* tag = table_->TagByNumber(n);
  return tag != nullptr ? tag->KeyExpression() : std::string();
}

bool TTesseraDataSet::GetIsIndexField(const dbkit::Field* field) const {
  if (!table_ || table_->MasterTag() == nullptr || field == nullptr) return false;
  TktExpHandler expr(table_->NameResolver(), false, table_->MasterTag()->KeyExpression());
  const std::string name = plat::UpperName(field->FieldName());
  for (const std::string& n : plat::SplitNameList(expr.ListVars(17)))
    if (plat::UpperName(n) == name) return true;
  return false;
}

void TTesseraDataSet::RunIndexBuild(const std::function<void()>& build) {
  CheckBrowseMode();
  busy_ = kBusyIndexing;
  DisableControls();
  auto finish = [this] {
    GetIndexDefs().updated = false;
    busy_ = kBusyIdle;
    // The build closed the index files: the rows are in record order now.
    at_first_ = true;
    at_last_ = false;
    EnableControls();
  };
  try {
    build();
  } catch (...) {
    finish();
    try {
      First();
    } catch (...) {
    }
    throw;
  }
  finish();
  First();
}

void TTesseraDataSet::CreateIndexTag(std::string_view index_file, std::string_view tag_name,
                                     std::string_view key_expression, std::string_view for_expression, int uniqueness,
                                     int sort_order) {
  RunIndexBuild([&] {
    table_->CreateIndexTag(IndexFilePath(index_file), tag_name, key_expression, for_expression, uniqueness,
                           sort_order);
  });
}

void TTesseraDataSet::CreateIndexTags(std::string_view index_file, const std::vector<TIndexTagDef>& tags,
                                      const std::function<void(size_t)>& built) {
  std::vector<IndexTagDefinition> definitions;
  for (const TIndexTagDef& t : tags)
    definitions.push_back({t.name, t.key_expression, t.for_expression, t.unique ? kUniqueKeys : kDuplicateKeys,
                           t.descending ? 1 : 0});
  RunIndexBuild([&] { table_->CreateIndexTags(IndexFilePath(index_file), definitions, built); });
}

}  // namespace tessera
