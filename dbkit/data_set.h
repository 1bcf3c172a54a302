// DataSet: the abstract base of every navigable, editable set of records a
// data-aware control can show.
//
// The base owns the state machine (inactive, browse, edit, insert, ...), the
// field objects and a window of record buffers around the active record; a
// subclass supplies the records through the record-buffer contract below
// (AllocRecordBuffer, GetRecord, GetFieldData, InternalOpen, ...). Controls
// never talk to a dataset directly: they hold a DataLink on a DataSource
// bound to the dataset, and the dataset notifies them through DataEvent.
//
// Buffers. The window holds BufferCount() buffers, the largest buffer count
// any attached data link asks for (at least one), plus one spare that serves
// as TempBuffer(). Buffers 0 .. BufferedRecords()-1 hold consecutive records
// of the current order; ActiveBuffer() is the one of the current record.
// The subclass's cursor sits on the record of buffer `current_record_`, or
// on an unknown record when that is -1 (CursorPosChanged); UpdateCursorPos
// puts it back on the active record before any operation that uses it.
//
// Record buffers are plain byte arrays the subclass lays out as it likes
// (record bytes, calculated-field area, bookmark, bookmark flag); the base
// only moves them around and hands them back to the subclass.
//
// Events run in the base's order: e.g. Post runs BeforePost, the subclass's
// InternalPost, then the data links see the state change and the reloaded
// rows, then AfterPost. Failures are DatabaseError (or whatever the subclass
// raises); an error event may turn a failed edit, post or delete into a
// retry or a silent AbortError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbkit/blob_stream.h"
#include "dbkit/field.h"
#include "dbkit/field_def.h"
#include "dbkit/index_def.h"
#include "dbkit/types.h"
#include "dbkit/value.h"

namespace dbkit {

class DataSource;
class DataLink;

class DataSet {
 public:
  using Event = std::function<void(DataSet&)>;
  using ErrorEvent = std::function<void(DataSet&, const std::exception&, DataAction&)>;
  using FilterRecordEvent = std::function<void(DataSet&, bool& accept)>;

  DataSet();
  // A subclass must Close() in its own destructor: the base cannot call the
  // subclass's InternalClose any more. The base detaches its data sources.
  virtual ~DataSet();
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;

  // --- opening and closing ---
  bool Active() const { return state_ != DataSetState::kInactive; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  DataSetState State() const { return state_; }
  // Raise "closed dataset" / "open dataset" unless the dataset is so.
  virtual void CheckActive() const;
  void CheckInactive() const;

  // --- navigation ---
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves the active record by up to `distance` records; answers how far it
  // went (Bof or Eof is set when it hit an end).
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return active_record_ >= record_count_; }
  // Number of records (the subclass's count; -1 when it has none).
  int RecordCount();
  // 1-based number of the active record in the current order, as the
  // subclass counts it (-1 when it cannot tell); SetRecNo moves there.
  int RecNo() const { return GetRecNo(); }
  virtual int GetRecNo() const { return -1; }
  virtual void SetRecNo(int /*value*/) {}
  // True when RecNo runs 1..RecordCount over the current order.
  virtual bool IsSequenced() const { return true; }

  // --- editing ---
  void Edit();
  void Insert();
  void Append();
  virtual void Post();
  void Cancel();
  void Delete();
  // Inserts or appends a whole record from values in field order and posts
  // it (through InternalAddRecord).
  void InsertRecord(const std::vector<Value>& values) { AddRecordValues(values, false); }
  void AppendRecord(const std::vector<Value>& values) { AddRecordValues(values, true); }
  // Assigns values to the first fields, in field order (null values clear).
  void SetFields(const std::vector<Value>& values);
  void Refresh();
  // Reloads the buffered rows around the record under the subclass's
  // cursor (a subclass positions it first, as after a key search): that
  // record becomes the active one and keeps its row of the window, or is
  // centred with kRmCenter; with kRmExact it must still be readable.
  void Resync(ResyncMode mode);
  // Posts a pending edit that has changes and cancels one that has none;
  // a set-key state is posted.
  void CheckBrowseMode();
  // Asks the controls to write their pending input into the fields.
  void UpdateRecord();
  bool Modified() const { return modified_; }
  bool CanModify() const { return GetCanModify(); }

  // --- controls ---
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ > 0; }

  // --- bookmarks ---
  bool BookmarkAvailable() const;
  Bookmark GetBookmark() const;
  void GotoBookmark(const Bookmark& bookmark);
  // <0, 0, >0 by the subclass's order; the base says 0.
  virtual int CompareBookmarks(const Bookmark& a, const Bookmark& b) const;
  virtual bool BookmarkValid(const Bookmark& bookmark) const;
  int BookmarkSize() const { return bookmark_size_; }

  // --- searching ---
  // Moves to the first record whose fields (names separated by ";") equal
  // the values; false (and no move) when there is none. The base scans the
  // records in order through the spare buffer in the filter state.
  virtual bool Locate(std::string_view key_fields, const std::vector<Value>& key_values,
                      LocateOptions options);
  // Values of `result_fields` of the first record matching as Locate (whole,
  // case-sensitive values); none when there is no such record. The visible
  // position does not change.
  virtual std::optional<std::vector<Value>> Lookup(std::string_view key_fields,
                                                   const std::vector<Value>& key_values,
                                                   std::string_view result_fields);
  // Converts a NUL-terminated text between the storage and the window code
  // page (`to_storage` true: window to storage); `src` and `dst` may be one
  // buffer. Answers the length of the source. The base copies.
  virtual int Translate(const char* src, char* dst, bool to_storage);

  // --- fields ---
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  Field* Fields(int i) const { return fields_[static_cast<size_t>(i)].get(); }
  Field* FindField(std::string_view name) const;
  // Raises "Field 'x' not found".
  Field* FieldByName(std::string_view name) const;
  // Fields named in a ";"-separated list, in order; raises for a missing one.
  std::vector<Field*> GetFieldList(std::string_view names) const;
  // Adds a persistent field (only while closed). Programs that add fields
  // before opening get those fields and no default ones.
  Field* AddField(std::unique_ptr<Field> field);
  FieldDefs& GetFieldDefs() { return field_defs_; }
  const FieldDefs& GetFieldDefs() const { return field_defs_; }
  IndexDefs& GetIndexDefs() { return index_defs_; }
  // Changes whenever field objects are made or destroyed: a control that
  // keeps a field pointer looks its field up again when this moved on (a
  // dataset closed and reopened while its controls were disabled never told
  // them).
  uint64_t FieldsGeneration() const { return fields_generation_; }
  // True when the open dataset made its fields from the definitions.
  bool DefaultFields() const { return default_fields_; }
  int CalcFieldsSize() const { return calc_fields_size_; }
  bool AutoCalcFields() const { return auto_calc_fields_; }
  void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }
  // Whether `field` belongs to the current index (set-key state rules).
  virtual bool GetIsIndexField(const Field* field) const;
  // Reads the index definitions again; the base has none.
  virtual void UpdateIndexDefs() {}

  // --- filter ---
  bool Filtered() const { return filtered_; }
  const std::string& Filter() const { return filter_text_; }
  FilterOptions GetFilterOptions() const { return filter_options_; }
  // The base stores the value; a subclass applies it.
  virtual void SetFiltered(bool value) { filtered_ = value; }
  virtual void SetFilterText(std::string value) { filter_text_ = std::move(value); }
  virtual void SetFilterOptions(FilterOptions value) { filter_options_ = value; }

  // A stream over the value of a blob or memo field of the record of the
  // current state; null when the dataset has none.
  virtual std::unique_ptr<BlobStream> CreateBlobStream(Field* /*field*/, BlobStreamMode /*mode*/) {
    return nullptr;
  }

  // --- master/detail ---
  // The data source this dataset takes its master values from, if any.
  virtual DataSource* GetDataSource() const { return nullptr; }
  // True when `source` shows this dataset, or a dataset that takes its
  // master values from this one (directly or down a chain of details):
  // making such a source this dataset's master would loop.
  bool IsLinkedTo(const DataSource* source) const;

  // Notifies the data sources (and so the controls); also keeps Modified and
  // the calculated fields up to date on a field change. `field` goes with
  // field changes and focus requests, `distance` with scrolls.
  void DataEvent(DataEventKind kind, Field* field = nullptr, int distance = 0);

  // Events, run in the base's order.
  Event BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  Event BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  Event BeforePost, AfterPost, BeforeCancel, AfterCancel;
  Event BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  Event OnCalcFields, OnNewRecord;
  FilterRecordEvent OnFilterRecord;
  ErrorEvent OnDeleteError, OnEditError, OnPostError;

 protected:
  // ===== The record-buffer contract a subclass fills =====
  virtual std::unique_ptr<char[]> AllocRecordBuffer() = 0;
  // Called before a buffer is dropped; the default just frees it.
  virtual void FreeRecordBuffer(std::unique_ptr<char[]>& buffer) { buffer.reset(); }
  virtual int GetRecordSize() const = 0;
  // Reads the next, prior or current record into `buffer` (with its
  // bookmark, flag kCurrent and calculated fields). kBof/kEof when there is
  // no such record; kError when the read failed and `do_check` is false
  // (with `do_check` the subclass raises instead).
  virtual GetResult GetRecord(char* buffer, GetMode mode, bool do_check) = 0;
  virtual void GetBookmarkData(const char* buffer, char* data) const = 0;
  virtual void SetBookmarkData(char* buffer, const char* data) = 0;
  virtual BookmarkFlag GetBookmarkFlag(const char* buffer) const = 0;
  virtual void SetBookmarkFlag(char* buffer, BookmarkFlag flag) = 0;
  // Reads `field` of the record of the current state into `buffer`
  // (DataSize() bytes); false when it has no value.
  virtual bool GetFieldData(Field* field, void* buffer) = 0;
  // Stores `buffer` (null: no value) into `field` of the record of the
  // current state; the subclass checks the state, validates through
  // Field::Validate and reports kFieldChange.
  virtual void SetFieldData(Field* field, const void* buffer) = 0;
  // Copies the record under the cursor into `buffer`; false when none.
  virtual bool GetCurrentRecord(char* /*buffer*/) { return false; }
  virtual int GetRecordCount() { return -1; }
  virtual bool GetCanModify() const { return true; }
  // Clears the calculated-field area of `buffer`.
  virtual void ClearCalcFields(char* /*buffer*/) {}
  // Opens the cursor: field definitions, fields (CreateFields when
  // DefaultFields(), BindFields), buffer layout; leaves the cursor before
  // the first record.
  virtual void InternalOpen() = 0;
  // Closes the cursor; must cope with a cursor InternalOpen left half-open.
  virtual void InternalClose() = 0;
  virtual void InternalInitFieldDefs() = 0;
  // Blanks `buffer` for a new record.
  virtual void InternalInitRecord(char* buffer) = 0;
  // Puts the cursor before the first record / after the last one.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalGotoBookmark(const char* bookmark) = 0;
  // Puts the cursor on the record of `buffer`.
  virtual void InternalSetToRecord(char* buffer) = 0;
  // Stores the record of `buffer` as a new record.
  virtual void InternalAddRecord(const char* /*buffer*/, bool /*append*/);
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  // Writes the active buffer; the base checks required fields.
  virtual void InternalPost() { CheckRequiredFields(); }
  virtual void InternalCancel() {}
  virtual void InternalDelete() = 0;
  virtual void InternalRefresh() {}
  virtual void InternalHandleException() {}
  virtual bool IsCursorOpen() const = 0;

  // Event runners; override to add behaviour around an event.
  virtual void DoBeforeOpen() { Run(BeforeOpen); }
  virtual void DoAfterOpen() { Run(AfterOpen); }
  virtual void DoBeforeClose() { Run(BeforeClose); }
  virtual void DoAfterClose() { Run(AfterClose); }
  virtual void DoBeforeInsert() { Run(BeforeInsert); }
  virtual void DoAfterInsert() { Run(AfterInsert); }
  virtual void DoBeforeEdit() { Run(BeforeEdit); }
  virtual void DoAfterEdit() { Run(AfterEdit); }
  virtual void DoBeforePost() { Run(BeforePost); }
  virtual void DoAfterPost() { Run(AfterPost); }
  virtual void DoBeforeCancel() { Run(BeforeCancel); }
  virtual void DoAfterCancel() { Run(AfterCancel); }
  virtual void DoBeforeDelete() { Run(BeforeDelete); }
  virtual void DoAfterDelete() { Run(AfterDelete); }
  virtual void DoBeforeScroll() { Run(BeforeScroll); }
  virtual void DoAfterScroll() { Run(AfterScroll); }
  virtual void DoOnCalcFields() { Run(OnCalcFields); }
  virtual void DoOnNewRecord() { Run(OnNewRecord); }

  // ===== Helpers for subclasses =====
  char* ActiveBuffer() const;
  // The spare buffer past the buffered rows.
  char* TempBuffer() const { return buffers_.empty() ? nullptr : buffers_[static_cast<size_t>(record_count_)].get(); }
  // The buffer whose calculated fields are being computed.
  char* CalcBuffer() const { return calc_buffer_; }
  // The buffer a filter or search is testing (filter state).
  char* FilterBuffer() const { return filter_buffer_; }
  void SetFilterBuffer(char* buffer) { filter_buffer_ = buffer; }
  // The record the current state reads and writes: browse (none when
  // empty), edit, insert, new and old value: the active buffer; calculated
  // fields: CalcBuffer(); filter: FilterBuffer(). A subclass with its own
  // key or old-value buffers maps those states itself.
  char* GetStateBuffer() const;
  int BufferCount() const { return buffer_count_; }
  int BufferedRecords() const { return record_count_; }
  char* Buffer(int i) const { return buffers_[static_cast<size_t>(i)].get(); }
  int ActiveRecordIndex() const { return active_record_; }
  void SetBookmarkSize(int size) { bookmark_size_ = size; }

  // Enters a state for a moment (controls are not notified); RestoreState
  // returns to the state SetTempState answered.
  DataSetState SetTempState(DataSetState state);
  void RestoreState(DataSetState state);
  // The cursor is no longer known to be on any buffered record.
  void CursorPosChanged() { current_record_ = -1; }
  // Puts the cursor on the active record if it is elsewhere.
  void UpdateCursorPos();
  // Computes the calculated fields of `buffer` (calculated-fields state).
  void GetCalcFields(char* buffer);
  // Field objects from the definitions; binding gives data fields their
  // field numbers and calculated fields their offsets.
  void CreateFields();
  void BindFields(bool binding);
  void DestroyFields();
  // Raises "Field 'x' must have a value" for an empty required data field.
  void CheckRequiredFields();
  void CheckCanModify() const;
  void SetModified(bool value) { modified_ = value; }
  // Changes the state and tells the controls (kUpdateState).
  void SetState(DataSetState state);

 private:
  friend class DataLink;
  friend class DataSource;
  friend class TempStateScope;
  friend class Field;

  void Run(const Event& event) {
    if (event) event(*this);
  }
  void DoInternalOpen();
  void CloseCursor();
  void ClearBuffers();
  void ActivateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  void MoveBuffer(int from, int to);
  void SetCurrentRecord(int index);
  void SetBufferCount(int count);
  void UpdateBufferCount();
  void AdjustLinksFirstRecord(int delta);
  void BeginInsertAppend();
  void EndInsertAppend();
  void PrepareInsert();
  void PrepareAppend();
  void AddRecordValues(const std::vector<Value>& values, bool append);
  void CheckOperation(const std::function<void()>& operation, const ErrorEvent& on_error);
  void CalculateFields(char* buffer);
  void UpdateCalcFields();
  // Whether the record in `buffer` matches the values (filter state).
  bool RecordMatches(char* buffer, const std::vector<Field*>& fields,
                     const std::vector<Value>& values, LocateOptions options);
  // Scans from the first record into the spare buffer; true when a record
  // matched, the spare buffer then holding it.
  bool ScanFor(const std::vector<Field*>& fields, const std::vector<Value>& values,
               LocateOptions options);
  void SetActiveRecordIndex(int index) { active_record_ = index; }
  void AddDataSource(DataSource* source);
  void RemoveDataSource(DataSource* source);
  std::vector<DataLink*> AllLinks() const;

  DataSetState state_ = DataSetState::kInactive;
  bool modified_ = false;
  bool bof_ = true;
  bool eof_ = true;
  bool default_fields_ = false;
  bool internal_open_complete_ = false;
  bool auto_calc_fields_ = true;
  bool filtered_ = false;
  std::string filter_text_;
  FilterOptions filter_options_ = 0;

  std::vector<std::unique_ptr<char[]>> buffers_;  // buffer_count_ + 1 when open
  int buffer_count_ = 0;
  int record_count_ = 0;
  int active_record_ = 0;
  int current_record_ = -1;
  char* calc_buffer_ = nullptr;
  char* filter_buffer_ = nullptr;
  int bookmark_size_ = 0;
  int calc_fields_size_ = 0;

  int disable_count_ = 0;
  int temp_state_depth_ = 0;
  DataSetState disable_state_ = DataSetState::kInactive;
  DataEventKind enable_event_ = DataEventKind::kDataSetChange;

  std::vector<std::unique_ptr<Field>> fields_;
  uint64_t fields_generation_ = 0;
  FieldDefs field_defs_;
  IndexDefs index_defs_;
  std::vector<DataSource*> data_sources_;
};

}  // namespace dbkit
