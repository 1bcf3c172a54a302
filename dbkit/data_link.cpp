#include "dbkit/data_link.h"

#include <algorithm>

#include "dbkit/data_set.h"
#include "dbkit/data_source.h"

namespace dbkit {
namespace {

bool IsEditMode(DataSetState s) {
  return s == DataSetState::kEdit || s == DataSetState::kInsert || s == DataSetState::kSetKey;
}

}  // namespace

DataLink::~DataLink() {
  if (source_ != nullptr) {
    DataSource* s = source_;
    source_ = nullptr;
    s->RemoveLink(this);
  }
}

void DataLink::SetDataSource(DataSource* source) {
  if (source == source_) return;
  if (source_ != nullptr) {
    DataSource* old = source_;
    source_ = nullptr;
    old->RemoveLink(this);
    UpdateState();
  }
  source_ = source;
  if (source_ != nullptr) {
    source_->AddLink(this);
    UpdateState();
  }
}

DataSet* DataLink::GetDataSet() const { return source_ != nullptr ? source_->GetDataSet() : nullptr; }

void DataLink::SetReadOnly(bool value) {
  if (read_only_ == value) return;
  read_only_ = value;
  UpdateState();
  EditingChanged();
}

void DataLink::SetBufferCount(int count) {
  count = std::max(count, 1);
  if (count == buffer_count_) return;
  buffer_count_ = count;
  if (DataSet* ds = GetDataSet()) ds->UpdateBufferCount();
  if (active_) UpdateRange();
}

int DataLink::RecordCount() const {
  if (!active_) return 0;
  const DataSet* ds = GetDataSet();
  return std::clamp(ds->record_count_ - first_record_, 0, buffer_count_);
}

int DataLink::ActiveRecord() const {
  if (!active_) return 0;
  return GetDataSet()->active_record_ - first_record_;
}

void DataLink::SetActiveRecord(int row) {
  if (!active_) return;
  DataSet* ds = GetDataSet();
  const int index = first_record_ + row;
  if (index < 0 || index >= std::max(ds->record_count_, 1)) return;
  ds->SetActiveRecordIndex(index);
}

bool DataLink::Edit() {
  if (!read_only_ && source_ != nullptr) source_->Edit();
  return editing_;
}

void DataLink::UpdateRecord() {
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{updating_};
  updating_ = true;
  UpdateData();
}

bool DataLink::Bof() const {
  const DataSet* ds = GetDataSet();
  return ds == nullptr || ds->Bof();
}

bool DataLink::Eof() const {
  const DataSet* ds = GetDataSet();
  return ds == nullptr || ds->Eof();
}

void DataLink::UpdateState() {
  const bool active =
      source_ != nullptr && source_->Enabled() && source_->State() != DataSetState::kInactive && GetDataSet() != nullptr;
  SetActive(active);
  SetEditing(active && IsEditMode(source_->State()));
}

void DataLink::SetActive(bool value) {
  if (active_ == value) return;
  active_ = value;
  if (value)
    UpdateRange();
  else
    first_record_ = 0;
  ActiveChanged();
}

void DataLink::SetEditing(bool value) {
  if (editing_ == value) return;
  editing_ = value;
  EditingChanged();
}

void DataLink::UpdateRange() {
  const DataSet* ds = GetDataSet();
  if (ds == nullptr) return;
  const int low = std::max(0, ds->active_record_ - buffer_count_ + 1);
  const int high = std::min(std::max(0, ds->buffer_count_ - buffer_count_), ds->active_record_);
  first_record_ = std::clamp(first_record_, low, std::max(low, high));
}

void DataLink::DataEvent(DataEventKind kind, Field* field, int distance) {
  if (kind == DataEventKind::kUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (kind) {
    case DataEventKind::kFieldChange:
    case DataEventKind::kRecordChange:
      if (!updating_) RecordChanged(field);
      break;
    case DataEventKind::kDataSetChange:
    case DataEventKind::kDataSetScroll:
    case DataEventKind::kLayoutChange: {
      // After a scroll the rows this window showed moved `distance`
      // buffers towards the start; follow them, keep the active record
      // inside, and report how far the window moved through the data.
      const int old_first = first_record_;
      if (kind == DataEventKind::kDataSetScroll) first_record_ -= distance;
      UpdateRange();
      if (kind == DataEventKind::kDataSetScroll)
        DataSetScrolled(first_record_ - old_first + distance);
      else if (kind == DataEventKind::kLayoutChange)
        LayoutChanged();
      else
        DataSetChanged();
      break;
    }
    case DataEventKind::kUpdateRecord: UpdateRecord(); break;
    case DataEventKind::kCheckBrowseMode: CheckBrowseMode(); break;
    case DataEventKind::kFocusControl: FocusControl(field); break;
    default: break;
  }
}

}  // namespace dbkit
