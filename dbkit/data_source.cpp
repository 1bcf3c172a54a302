#include "dbkit/data_source.h"

#include <algorithm>

#include "dbkit/data_link.h"
#include "dbkit/data_set.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"

namespace dbkit {

DataSource::~DataSource() {
  const std::vector<DataLink*> links = links_;
  links_.clear();
  for (DataLink* l : links) {
    l->source_ = nullptr;
    l->UpdateState();
  }
  if (dataset_ != nullptr) dataset_->RemoveDataSource(this);
}

void DataSource::SetDataSet(DataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset != nullptr && IsLinkedTo(dataset)) RaiseDatabaseError(msg::kCircularDataLink);
  if (dataset_ != nullptr) {
    DataSet* old = dataset_;
    dataset_ = nullptr;
    old->RemoveDataSource(this);
    UpdateState();
  }
  dataset_ = dataset;
  if (dataset_ != nullptr) {
    dataset_->AddDataSource(this);
    UpdateState();
  }
}

void DataSource::SetEnabled(bool value) {
  enabled_ = value;
  UpdateState();
}

void DataSource::Edit() {
  if (auto_edit_ && state_ == DataSetState::kBrowse && dataset_ != nullptr) dataset_->Edit();
}

bool DataSource::IsLinkedTo(const DataSet* dataset) const {
  for (int guard = 0; dataset != nullptr && guard < 1000; ++guard) {
    const DataSource* master = dataset->GetDataSource();
    if (master == nullptr) return false;
    if (master == this) return true;
    dataset = master->GetDataSet();
  }
  return false;
}

void DataSource::UpdateState() {
  SetState(enabled_ && dataset_ != nullptr ? dataset_->State() : DataSetState::kInactive);
}

void DataSource::SetState(DataSetState state) {
  if (state_ == state) {
    // The state is the same but may have changed on the links' side (a
    // source re-enabled): let every link check.
    NotifyLinks(DataEventKind::kUpdateState, nullptr, 0);
    return;
  }
  const DataSetState prior = state_;
  state_ = state;
  NotifyLinks(DataEventKind::kUpdateState, nullptr, 0);
  if (OnStateChange) OnStateChange(*this);
  if (prior == DataSetState::kInactive && OnDataChange) OnDataChange(*this, nullptr);
}

void DataSource::DataEvent(DataEventKind kind, Field* field, int distance) {
  if (kind == DataEventKind::kUpdateState) {
    UpdateState();
    return;
  }
  if (state_ == DataSetState::kInactive) return;
  NotifyLinks(kind, field, distance);
  switch (kind) {
    case DataEventKind::kFieldChange:
      if (OnDataChange) OnDataChange(*this, field);
      break;
    case DataEventKind::kRecordChange:
    case DataEventKind::kDataSetChange:
    case DataEventKind::kDataSetScroll:
    case DataEventKind::kLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case DataEventKind::kUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default: break;
  }
}

void DataSource::NotifyLinks(DataEventKind kind, Field* field, int distance) {
  // A link's hook may attach or detach links; only those still attached
  // are told.
  const std::vector<DataLink*> links = links_;
  for (DataLink* l : links)
    if (HasLink(l)) l->DataEvent(kind, field, distance);
}

bool DataSource::HasLink(const DataLink* link) const {
  return std::find(links_.begin(), links_.end(), link) != links_.end();
}

void DataSource::AddLink(DataLink* link) {
  links_.push_back(link);
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
}

void DataSource::RemoveLink(DataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
}

}  // namespace dbkit
