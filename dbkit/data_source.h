// DataSource: the hub between one dataset and the data links of the
// controls that show it. It relays the dataset's notifications to its links
// (while enabled) and tells its own listeners when the state or the data
// changed. A source does not own its dataset or its links; each side
// detaches itself when destroyed.
#pragma once

#include <functional>
#include <vector>

#include "dbkit/types.h"

namespace dbkit {

class DataSet;
class DataLink;
class Field;

class DataSource {
 public:
  DataSource() = default;
  explicit DataSource(DataSet* dataset) { SetDataSet(dataset); }
  ~DataSource();
  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;

  DataSet* GetDataSet() const { return dataset_; }
  // Binds the source to a dataset (or none). Raises "Circular datalinks are
  // not allowed" when the dataset takes its master values from this source.
  void SetDataSet(DataSet* dataset);
  // A disabled source looks inactive to its links.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Typing into a control of a browsing dataset starts an edit.
  bool AutoEdit() const { return auto_edit_; }
  void SetAutoEdit(bool value) { auto_edit_ = value; }
  // The dataset's state as the links see it: inactive while disabled.
  DataSetState State() const { return state_; }
  // Starts an edit when AutoEdit and the dataset is browsing.
  void Edit();
  // True when `dataset` depends on this source (directly or through other
  // master/detail links).
  bool IsLinkedTo(const DataSet* dataset) const;
  int LinkCount() const { return static_cast<int>(links_.size()); }

  std::function<void(DataSource&)> OnStateChange;
  // `field` is the changed field, or null when the whole record changed.
  std::function<void(DataSource&, Field*)> OnDataChange;
  std::function<void(DataSource&)> OnUpdateData;

 private:
  friend class DataSet;
  friend class DataLink;

  void DataEvent(DataEventKind kind, Field* field, int distance);
  void UpdateState();
  void SetState(DataSetState state);
  void NotifyLinks(DataEventKind kind, Field* field, int distance);
  void AddLink(DataLink* link);
  void RemoveLink(DataLink* link);
  bool HasLink(const DataLink* link) const;

  DataSet* dataset_ = nullptr;
  bool enabled_ = true;
  bool auto_edit_ = true;
  DataSetState state_ = DataSetState::kInactive;
  std::vector<DataLink*> links_;
};

}  // namespace dbkit
