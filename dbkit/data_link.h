// DataLink: a control's connection to a data source. The link keeps a
// window of BufferCount() consecutive rows of the dataset's buffered
// records that always contains the active record (a grid asks for as many
// rows as it shows, an edit for one), and turns the dataset's notifications
// into the hooks below. A link does not own its source.
#pragma once

#include <string>

#include "dbkit/types.h"

namespace dbkit {

class DataSet;
class DataSource;
class Field;

class DataLink {
 public:
  DataLink() = default;
  virtual ~DataLink();
  DataLink(const DataLink&) = delete;
  DataLink& operator=(const DataLink&) = delete;

  DataSource* GetDataSource() const { return source_; }
  void SetDataSource(DataSource* source);
  // The source's dataset, or null.
  DataSet* GetDataSet() const;
  // Bound to an enabled source whose dataset is open.
  bool Active() const { return active_; }
  // The dataset is in edit, insert or set-key state.
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);

  // Rows the link wants buffered; the dataset keeps the largest count any
  // link asks for.
  int BufferCount() const { return buffer_count_; }
  void SetBufferCount(int count);
  // Rows of the window that hold records (at most BufferCount()).
  int RecordCount() const;
  // Row of the active record within the window.
  int ActiveRecord() const;
  // Makes another row of the window the dataset's active record for a
  // moment, to read its fields (a grid painting its rows). No notification
  // is sent; put the old row back when done (ActiveRecordScope does).
  void SetActiveRecord(int row);

  // Starts an edit through the source (AutoEdit) unless read-only; answers
  // whether the dataset is now editing.
  bool Edit();
  // Runs UpdateData (the control writes its pending input).
  void UpdateRecord();
  bool Bof() const;
  bool Eof() const;

 protected:
  // The link became active or inactive.
  virtual void ActiveChanged() {}
  // The dataset is about to leave edit or insert state.
  virtual void CheckBrowseMode() {}
  // The buffered rows were reloaded; by default the record changed.
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  // The window moved `distance` rows through the data (positive: towards
  // the end); by default the same as a reload.
  virtual void DataSetScrolled(int /*distance*/) { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void FocusControl(Field* /*field*/) {}
  virtual void LayoutChanged() { DataSetChanged(); }
  // A field (or, with null, the whole active record) changed.
  virtual void RecordChanged(Field* /*field*/) {}
  // Write pending input into the fields (before a post).
  virtual void UpdateData() {}

 private:
  friend class DataSource;
  friend class DataSet;

  void DataEvent(DataEventKind kind, Field* field, int distance);
  void UpdateState();
  void SetActive(bool value);
  void SetEditing(bool value);
  void UpdateRange();

  DataSource* source_ = nullptr;
  int buffer_count_ = 1;
  int first_record_ = 0;  // dataset buffer index of the window's first row
  bool active_ = false;
  bool editing_ = false;
  bool read_only_ = false;
  bool updating_ = false;
};

// Restores a link's active row when leaving a scope.
class ActiveRecordScope {
 public:
  ActiveRecordScope(DataLink& link, int row) : link_(link), saved_(link.ActiveRecord()) {
    link_.SetActiveRecord(row);
  }
  ~ActiveRecordScope() { link_.SetActiveRecord(saved_); }
  ActiveRecordScope(const ActiveRecordScope&) = delete;
  ActiveRecordScope& operator=(const ActiveRecordScope&) = delete;

 private:
  DataLink& link_;
  int saved_;
};

}  // namespace dbkit
