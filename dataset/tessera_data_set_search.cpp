// TTesseraDataSet: key searches, key ranges, Locate and Lookup, and the
// master/detail link.
#include "dataset/tessera_data_set.h"

#include <cstring>

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dbkit/data_source.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "dbkit/master_data_link.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/index_tag.h"
#include "platform/scope_guard.h"
#include "platform/text_list.h"

namespace tessera {

using dbkit::DataSetState;
using dbkit::RaiseDatabaseError;

// --------------------------------------------------------------- searches

bool TTesseraDataSet::SeekKeyText(std::string_view key, bool exact_key_only, bool stay_nearest) {
  CheckActive();
  table_->ExactKeyOnly = exact_key_only;
  table_->StayNearest = stay_nearest;
  at_first_ = at_last_ = false;
  CursorPosChanged();
  return table_->SeekKeyText(ToOem(key));
}

void TTesseraDataSet::SeekValues(const std::vector<dbkit::Value>& values) {
  CheckBrowseMode();
  KTobjIndexTag* tag = table_->MasterTag();
  if (tag == nullptr) RaiseDatabaseError(dsmsg::kNoIndexForFind);
  if (table_->RecordCount() == 0 || ActiveBuffer() == nullptr || GetRecNo() == 0) return;
  DoBeforeScroll();
  CursorPosChanged();
  // The values are table texts before the key is built: a key expression
  // that changes letter case (UPPER) works on the OEM letters it knows.
  std::vector<FieldValue> texts;
  for (const dbkit::Value& v : values) {
    if (v.IsNull())
      texts.emplace_back(std::nullopt);
    else
      texts.emplace_back(ToOem(v.ToText()));
  }
  const std::string key = table_->BuildSearchKey(texts, tag->KeyExpression());
  table_->ExactKeyOnly = false;
  table_->StayNearest = true;
  at_first_ = at_last_ = false;
  table_->SeekKeyText(key);
  Resync(dbkit::kRmCenter);
  DoAfterScroll();
}

void TTesseraDataSet::ApplyKeyRange(std::string_view low, std::string_view high) {
  CheckBrowseMode();
  const std::string lo = ToOem(low), hi = ToOem(high);
  const bool changed = key_range_set_ != !(lo.empty() && hi.empty()) || lo != range_low_ || hi != range_high_;
  if (!table_->SetKeyRange(lo, hi, false, true, true)) return;
  range_low_ = lo;
  range_high_ = hi;
  key_range_set_ = !(lo.empty() && hi.empty());
  if (changed) First();
}

void TTesseraDataSet::ApplyKeyRangeWith(std::string_view low, std::string_view high, bool partial,
                                        bool high_inclusive, bool low_inclusive) {
  CheckBrowseMode();
  const std::string lo = ToOem(low), hi = ToOem(high);
  if (table_->SetKeyRange(lo, hi, partial, high_inclusive, low_inclusive)) {
    range_low_ = lo;
    range_high_ = hi;
    key_range_set_ = !(lo.empty() && hi.empty());
  }
  First();
}

void TTesseraDataSet::CancelKeyRange() { ApplyKeyRange("", ""); }

bool TTesseraDataSet::Locate(std::string_view key_fields, const std::vector<dbkit::Value>& key_values,
                             dbkit::LocateOptions options) {
  CheckBrowseMode();
  const std::vector<dbkit::Field*> fields = GetFieldList(key_fields);
  if (fields.size() != key_values.size())
    RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kLocateValueCount, {key_fields}));
  std::vector<FieldValue> texts;
  for (size_t i = 0; i < fields.size(); ++i) texts.push_back(LocateText(fields[i], key_values[i]));
  const int32_t saved = GetRecNo();
  at_last_ = false;
  at_first_ = false;
  const bool found = table_->LocateValues(key_fields, texts, (options & dbkit::kLoPartialKey) != 0,
                                          (options & dbkit::kLoCaseInsensitive) != 0);
  CursorPosChanged();
  if (found) {
    DoBeforeScroll();
    Resync(dbkit::kRmExact | dbkit::kRmCenter);
    DoAfterScroll();
    return true;
  }
  if (saved >= 1 && saved <= table_->RecordCount()) table_->GotoRecord(saved);
  return false;
}

std::optional<std::vector<dbkit::Value>> TTesseraDataSet::Lookup(std::string_view key_fields,
                                                                 const std::vector<dbkit::Value>& key_values,
                                                                 std::string_view result_fields) {
  CheckBrowseMode();
  const std::vector<dbkit::Field*> keys = GetFieldList(key_fields);
  const std::vector<dbkit::Field*> results = GetFieldList(result_fields);
  if (keys.size() != key_values.size())
    RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kLocateValueCount, {key_fields}));
  std::vector<FieldValue> texts;
  for (size_t i = 0; i < keys.size(); ++i) texts.push_back(LocateText(keys[i], key_values[i]));
  const int32_t saved = GetRecNo();
  std::optional<std::vector<dbkit::Value>> out;
  plat::ScopeGuard back([this, saved] {
    // The visible position never changes: the cursor goes back to the
    // record it came from.
    try {
      if (saved >= 1 && saved <= table_->RecordCount()) table_->GotoRecord(saved);
    } catch (...) {
    }
    CursorPosChanged();
  });
  if (table_->LocateValues(key_fields, texts, false, false)) {
    char* temp = TempBuffer();
    std::memcpy(temp, table_->RecordBuffer(), static_cast<size_t>(record_length_));
    FillTrailer(temp);
    FilterStateScope scope(this, temp);
    std::vector<dbkit::Value> values;
    for (dbkit::Field* f : results) values.push_back(f->AsValue());
    out = std::move(values);
  }
  return out;
}

// ----------------------------------------------------------- master/detail

std::optional<std::string> TTesseraDataSet::MasterKey() {
  dbkit::DataSource* source = master_link_->GetDataSource();
  if (source == nullptr || !table_) return std::nullopt;
  dbkit::DataSet* master = source->GetDataSet();
  if (master == nullptr || !master->Active() || master->IsEmpty()) return std::nullopt;
  KTobjIndexTag* tag = table_->MasterTag();
  if (tag == nullptr) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kMasterNoIndex, {table_name_}));
  if (master->State() == DataSetState::kInsert) return std::nullopt;
  const std::vector<dbkit::Field*>& fields = master_link_->Fields();
  if (fields.empty()) return std::nullopt;
  TktExpHandler expr(table_->NameResolver(), false, tag->KeyExpression());
  if (plat::SplitNameList(expr.ListVars(17)).size() < fields.size())
    RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kMasterMismatch, {table_name_}));
  std::vector<FieldValue> values;
  for (dbkit::Field* f : fields) {
    if (f->IsNull())
      values.emplace_back(std::nullopt);
    else
      values.emplace_back(LocateText(f, f->AsValue()));
  }
  return table_->BuildSearchKey(values, tag->KeyExpression());
}

void TTesseraDataSet::SetMasterRange() {
  if (!table_ || master_link_->GetDataSource() == nullptr || master_link_->Fields().empty()) return;
  if (std::optional<std::string> key = MasterKey()) {
    table_->SetKeyRange(*key, *key, true, true, true);
    key_range_set_ = true;
    range_low_ = range_high_ = *key;
  }
}

void TTesseraDataSet::MasterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  std::optional<std::string> key = MasterKey();
  if (key) {
    table_->SetKeyRange(*key, *key, true, true, true);
    key_range_set_ = true;
    range_low_ = range_high_ = *key;
  } else if (key_range_set_) {
    table_->ClearKeyRange();
    key_range_set_ = false;
  }
  First();
}

void TTesseraDataSet::MasterDisabled() {
  if (!Active()) return;
  CancelKeyRange();
}

}  // namespace tessera
