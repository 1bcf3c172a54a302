// TTesseraDataSet: one table of the engine as a dbkit dataset, so that the
// data-aware controls (edits, grid, navigator) can show and change it.
//
// The dataset fills dbkit's record-buffer contract with calls into the
// table handler: the table reads straight into the base's record buffers,
// navigation follows the master tag (or record order), field values go
// through the field layer, and edits hold the record's lock from Edit to
// Post or Cancel. Beside the contract it offers the engine's own
// operations: building index tags, key searches, key ranges, undeleting,
// and the list of index files opened with the table.
//
// The class's code is in rooms by concern:
//   tessera_data_set.cpp          construction, properties, the filter,
//                                 opening and closing the table
//   tessera_data_set_records.cpp  record buffers, bookmarks, navigation
//   tessera_data_set_fields.cpp   field definitions, field values, code
//                                 pages, blob streams
//   tessera_data_set_edits.cpp    insert, edit, post, cancel, delete,
//                                 undelete
//   tessera_data_set_search.cpp   key searches, key ranges, Locate,
//                                 Lookup, master/detail
//   tessera_data_set_indexes.cpp  index files and definitions, the master
//                                 tag, building and inspecting index files
//
// Record buffer (one per buffered row, allocated here for the base):
//   0                 record length   the record bytes as on disk
//   reclen            calc size       calculated fields: per field one
//                                     has-value byte, then the value
//   reclen+calc       4               record number, int32 (native order)
//   +4                1               bookmark flag (dbkit::BookmarkFlag)
//   +5                11              bookmark: the record number as decimal
//                                     text right-aligned in 10 characters,
//                                     then NUL
// The bookmark is the base's bookmark as well (BookmarkSize() 11), so a
// bookmark survives the dataset being closed and reopened on the table.
//
// Code pages. Texts stay in the OEM code page in the record buffers and on
// disk; fields that transliterate pass through Translate, which converts to
// and from the ANSI code page when TranslateASCII is set.
//
// Failures of the adapter itself are dbkit::DatabaseError with the texts of
// dataset/dataset_messages.h (and those it shares with the data-access
// layer or the engine, named there); engine failures underneath pass
// through as ETesseraError or ETesseraExpression.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/index_file_build.h"
#include "dataset/index_file_list.h"
#include "dbkit/data_set.h"
#include "engine/dbf_fields.h"
#include "engine/dbf_table.h"
#include "engine/lock_protocol.h"

namespace dbkit {
class DataSource;
class MasterDataLink;
}  // namespace dbkit

namespace tessera {

class DBFObject;

// OnStatus: progress of long operations (index builds): (-1, phase, total)
// before a phase, (phase, n, 0) for each step, (0, 0, 0) at its end.
using TktStatusReport = std::function<void(int32_t stat1, int32_t stat2, int32_t stat3)>;

// What a dataset is busy with; while not idle every operation that checks
// activity fails.
enum TktBusyState : int { kBusyIdle = 0, kBusyIndexing = 1, kBusyCopying = 2 };

class TTesseraDataSet : public dbkit::DataSet {
 public:
  static constexpr int kBookmarkSize = 11;
  static constexpr const char kAboutText[] = "Tessera Version 6.737 (08 Feb 01)";

  TTesseraDataSet();
  ~TTesseraDataSet() override;

  // ===== Published properties ===========================================
  // Read-only; assigning does nothing.
  std::string About() const { return kAboutText; }
  void SetAbout(std::string_view /*value*/) {}
  // Flush table and memo after every record write.
  bool AutoFlush() const { return auto_flush_; }
  void SetAutoFlush(bool value);
  // Directory of the table, or the name of an alias (see alias_list.h).
  // Only while closed; stored upper-cased.
  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(std::string_view value);
  // Key of an enciphered table; only while closed.
  const std::string& EncryptionKey() const { return encryption_key_; }
  void SetEncryptionKey(std::string_view value);
  // RecordCount counts the visible records instead of answering the
  // physical count.
  bool ExactCount() const { return exact_count_; }
  void SetExactCount(bool value) { exact_count_ = value; }
  // Open the table unshared.
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  // Filter, Filtered, FilterOptions: the base's accessors; the setters
  // below apply the filter at once while open.
  void SetFiltered(bool value) override;
  void SetFilterText(std::string value) override;
  void SetFilterOptions(dbkit::FilterOptions value) override;
  // Filled from the open tags (read again when out of date).
  const dbkit::IndexDefs& IndexDefs();
  // Index files opened with the table; a change reopens them at once.
  TIndexFileList& IndexFiles() { return index_files_; }
  const TIndexFileList& IndexFiles() const { return index_files_; }
  // The master tag (empty: record order).
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(std::string_view value);
  // Byte ranges of table and record locks.
  TktLokProtocol LockProtocol() const { return lock_protocol_; }
  void SetLockProtocol(TktLokProtocol value);
  // Master/detail: the master's fields (";"-separated) and its source.
  const std::string& MasterFields() const;
  void SetMasterFields(std::string_view value);
  dbkit::DataSource* MasterSource() const;
  void SetMasterSource(dbkit::DataSource* source);
  // Open the table read-only; also true while open when the table file is
  // not writable.
  bool ReadOnly() const { return read_only_ || read_only_by_file_; }
  void SetReadOnly(bool value);
  // Table file name; ".DBF" is added when it has no extension. Only while
  // closed; a new name clears IndexFiles.
  const std::string& TableName() const { return table_name_; }
  void SetTableName(std::string_view value);
  // Texts are in the table's code page in the table and ANSI in the dataset.
  bool TranslateASCII() const { return translate_ascii_; }
  void SetTranslateASCII(bool value) { translate_ascii_ = value; }
  // The code page of the table's texts (Windows numbering: 866, 1252, ...);
  // 0, the default, takes the one the table's header names (CP866 when it
  // names none, as the callbook's table). Only while closed.
  int CodePage() const { return code_page_; }
  void SetCodePage(int value);
  // The code page in force: the open table's, else CodePage or CP866.
  int TableCodePage() const;
  // Deleted records are visible.
  bool UseDeleted() const { return use_deleted_; }
  void SetUseDeleted(bool value);
  // Written into the table header by the writes of this dataset.
  int32_t UserID() const { return user_id_; }
  void SetUserID(int32_t value);

  TktStatusReport OnStatus;

  // ===== The dataset's own operations ===================================
  // Builds one tag into an index file (creating the file); the dataset is
  // busy meanwhile and ends on its first record, also after a failure.
  void CreateIndexTag(std::string_view index_file, std::string_view tag_name, std::string_view key_expression,
                      std::string_view for_expression, int uniqueness, int sort_order);
  // Builds several tags into an index file, in the order given, as the
  // table's CreateIndexTags does (a compound file's tags side by side);
  // `built(k)` once tag k is in place. Busy and ending as CreateIndexTag.
  void CreateIndexTags(std::string_view index_file, const std::vector<TIndexTagDef>& tags,
                       const std::function<void(size_t)>& built);
  // Key search in the master tag: the values are stored into the fields the
  // tag's key reads; the dataset ends on the first record whose key begins
  // with the key built or follows it (the last one when none does).
  void SeekValues(const std::vector<dbkit::Value>& values);
  // Searches the master tag for a key text (ANSI when TranslateASCII); true
  // when found. Moves the table's cursor only: a caller that wants the rows
  // to follow resynchronises (SeekValues does).
  bool SeekKeyText(std::string_view key, bool exact_key_only, bool stay_nearest);
  // Limits navigation to keys from low to high (whole keys, both bounds
  // included); goes to the first record when the range changed.
  void ApplyKeyRange(std::string_view low, std::string_view high);
  void ApplyKeyRangeWith(std::string_view low, std::string_view high, bool partial, bool high_inclusive,
                         bool low_inclusive);
  void CancelKeyRange();
  // Clears the deletion mark of the current record.
  virtual void Undelete();
  // An index file of the table as it stands on disk, without opening it
  // for the dataset: its tags' definitions, whether a write through it was
  // stopped half-way, and the quick check of its key counts against the
  // table (no record is read). The dataset must be open, and the file must
  // not be one of its open index files. A file that cannot be found or
  // opened raises.
  TIndexFileReport InspectIndexFile(std::string_view index_file);
  // Whether the last Edit found the record changed on disk since it was
  // read: the edit then started from the record as it now stands.
  bool RecordChangedByOther() const { return changed_by_other_; }
  // The full name of an index file as IndexFiles resolves it: ".NDX" added
  // when it has no extension, the table's folder when it has no folder.
  std::string IndexFilePath(std::string_view name) const;
  // Tags of the open index files, numbered from 1 in file order.
  int32_t TagCount() const;
  std::string TagName(int n) const;
  std::string TagExpression(int n) const;

  // The table while open, else null.
  DBFObject* Table() const { return table_.get(); }
  TktBusyState BusyState() const { return busy_; }
  // Directory (with a trailing "/", or empty for the current one) and full
  // name of the table file as DatabaseName and TableName give them.
  std::string TableDirectory() const;
  std::string FullTableName() const;
  // The read cache option passed to the table at open: 0 leaves the
  // handler's read cache to the handler (on in record order), any other
  // value keeps it off (for a table other processes write all the time).
  uint8_t ReadCacheOption() const { return read_cache_option_; }
  void SetReadCacheOption(uint8_t value) { read_cache_option_ = value; }

  // ===== Overrides of the base's public operations ======================
  void CheckActive() const override;
  void Post() override;
  int GetRecNo() const override;
  void SetRecNo(int value) override;
  bool IsSequenced() const override;
  int CompareBookmarks(const dbkit::Bookmark& a, const dbkit::Bookmark& b) const override;
  bool BookmarkValid(const dbkit::Bookmark& bookmark) const override;
  bool Locate(std::string_view key_fields, const std::vector<dbkit::Value>& key_values,
              dbkit::LocateOptions options) override;
  std::optional<std::vector<dbkit::Value>> Lookup(std::string_view key_fields,
                                                  const std::vector<dbkit::Value>& key_values,
                                                  std::string_view result_fields) override;
  int Translate(const char* src, char* dst, bool to_storage) override;
  bool GetIsIndexField(const dbkit::Field* field) const override;
  void UpdateIndexDefs() override;
  std::unique_ptr<dbkit::BlobStream> CreateBlobStream(dbkit::Field* field, dbkit::BlobStreamMode mode) override;
  dbkit::DataSource* GetDataSource() const override { return MasterSource(); }

 protected:
  // ===== The record-buffer contract =====================================
  std::unique_ptr<char[]> AllocRecordBuffer() override;
  void FreeRecordBuffer(std::unique_ptr<char[]>& buffer) override;
  int GetRecordSize() const override;
  dbkit::GetResult GetRecord(char* buffer, dbkit::GetMode mode, bool do_check) override;
  void GetBookmarkData(const char* buffer, char* data) const override;
  void SetBookmarkData(char* buffer, const char* data) override;
  dbkit::BookmarkFlag GetBookmarkFlag(const char* buffer) const override;
  void SetBookmarkFlag(char* buffer, dbkit::BookmarkFlag flag) override;
  bool GetFieldData(dbkit::Field* field, void* buffer) override;
  void SetFieldData(dbkit::Field* field, const void* buffer) override;
  bool GetCurrentRecord(char* buffer) override;
  int GetRecordCount() override;
  bool GetCanModify() const override;
  void ClearCalcFields(char* buffer) override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  void InternalInitRecord(char* buffer) override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalGotoBookmark(const char* bookmark) override;
  void InternalSetToRecord(char* buffer) override;
  void InternalAddRecord(const char* buffer, bool append) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  void InternalHandleException() override {}
  bool IsCursorOpen() const override;
  void DoAfterInsert() override;

 private:
  friend class DBFObject;
  friend class TTSBlobStream;

  // Offsets in a record buffer (see the layout above).
  int RecNoOffset() const { return record_length_ + CalcFieldsSize(); }
  int FlagOffset() const { return RecNoOffset() + 4; }
  int BookmarkOffset() const { return FlagOffset() + 1; }
  int BufferSize() const { return BookmarkOffset() + kBookmarkSize; }
  int32_t BufferRecNo(const char* buffer) const;
  // The record the current state reads and writes (see GetFieldData).
  char* StateRecord() const;
  // Record number of a bookmark text; 0 when it is no valid bookmark.
  int32_t BookmarkRecNo(const char* bookmark) const;
  void FillTrailer(char* buffer);
  // Writes the record bytes of a row buffer over record `recno`, or
  // appends them (0).
  void WriteFromBuffer(const char* buffer, int32_t recno);
  // Sets (`deleted`) or clears the deletion mark of record `recno` under
  // its record lock (the edit's own when it holds one); deleted records
  // are visible meanwhile. Leaves the table on the record.
  void MarkRecord(int32_t recno, bool deleted);

  // Called back by the table.
  bool AcceptRecord();
  void ReportStatus(int32_t stat1, int32_t stat2, int32_t stat3);

  void OpenIndexFiles();
  void IndexFilesChanged();
  // Runs `build` (a table call that builds tags) with the dataset busy
  // indexing and its controls disabled; afterwards, built or not, the
  // rows are in record order from the first one and the controls enabled.
  void RunIndexBuild(const std::function<void()>& build);
  // Makes IndexName the table's master tag and shows the current record
  // in the new order (or the first one); a tag that cannot be selected
  // raises when `raise_select`, else leaves record order.
  void SelectIndex(bool raise_select);
  void ApplyFilterToTable();
  void CheckBusy() const;
  // Master/detail.
  std::optional<std::string> MasterKey();
  void MasterChanged();
  void MasterDisabled();
  // Sets the master/detail range without moving the rows.
  void SetMasterRange();
  std::string ToOem(std::string_view text) const;
  // The text LocateValues compares a field with.
  FieldValue LocateText(const dbkit::Field* field, const dbkit::Value& value) const;
  // Shows a record that is no row buffer through the fields, in the filter
  // state, for as long as it lives (an OnFilterRecord event, a Lookup).
  class FilterStateScope {
   public:
    FilterStateScope(TTesseraDataSet* ds, char* record)
        : ds_(ds), saved_buffer_(ds->FilterBuffer()) {
      ds_->SetFilterBuffer(record);
      saved_state_ = ds_->SetTempState(dbkit::DataSetState::kFilter);
    }
    ~FilterStateScope() {
      ds_->RestoreState(saved_state_);
      ds_->SetFilterBuffer(saved_buffer_);
    }
    FilterStateScope(const FilterStateScope&) = delete;
    FilterStateScope& operator=(const FilterStateScope&) = delete;

   private:
    TTesseraDataSet* ds_;
    char* saved_buffer_;
    dbkit::DataSetState saved_state_;
  };
  // Points the table's accessors at a record buffer for one scope and
  // puts back whichever buffer they used before (scopes nest: a filter
  // event reads fields while the table is reading into a row buffer).
  class RecordScope {
   public:
    RecordScope(KTO_dBaseDBF* table, char* record) : table_(table), saved_(table->RecordBuffer()) {
      table_->SetRecordBuffer(record);
    }
    ~RecordScope() { table_->SetRecordBuffer(saved_); }
    RecordScope(const RecordScope&) = delete;
    RecordScope& operator=(const RecordScope&) = delete;

   private:
    KTO_dBaseDBF* table_;
    char* saved_;
  };

  std::unique_ptr<DBFObject> table_;
  TIndexFileList index_files_;
  std::unique_ptr<dbkit::MasterDataLink> master_link_;
  std::unique_ptr<char[]> key_buffer_;  // record of the set-key state

  bool auto_flush_ = false;
  std::string database_name_;
  std::string encryption_key_;
  bool exact_count_ = false;
  bool exclusive_ = false;
  std::string index_name_;
  TktLokProtocol lock_protocol_ = kDefaultLock;
  bool read_only_ = false;
  bool read_only_by_file_ = false;
  std::string table_name_;
  bool translate_ascii_ = true;
  int code_page_ = 0;
  bool use_deleted_ = false;
  int32_t user_id_ = 0;
  uint8_t read_cache_option_ = 0;

  int record_length_ = 0;
  bool at_first_ = false;
  bool at_last_ = false;
  bool editing_ = false;
  bool changed_by_other_ = false;
  TktBusyState busy_ = kBusyIdle;
  bool refreshing_index_defs_ = false;
  bool opening_ = false;
  bool suppress_index_change_ = false;
  bool key_range_set_ = false;
  std::string range_low_, range_high_;
};

}  // namespace tessera
