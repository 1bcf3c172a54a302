// An in-memory dataset for the tests of the data-access framework and the
// data-aware controls. It fills the record-buffer contract the way the
// engine's table adapter does: rows of fixed width stored in the OEM code
// page and shown in the ANSI one, a cursor with before-first and after-last
// positions, bookmarks that hold the record number, deletion marks, new
// records appended at the end, a record lock another user may hold, and a
// filter through OnFilterRecord. It counts its reads so tests can check
// that controls never load the whole table.
//
// Columns: ID integer, NAME string(20), CITY string(15), AMOUNT float,
// BORN date, ACTIVE boolean, QTY small integer, NOTE memo.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbkit/data_set.h"

namespace testing_support {

class MemoryDataSet : public dbkit::DataSet {
 public:
  // A table of `count` records: ID = n, NAME = "NAME00n" (5 digits),
  // CITY cycling through a few Cyrillic names, AMOUNT = n * 1.5,
  // BORN = 1 January 1970 + n days, ACTIVE = n is even, QTY = n % 100,
  // NOTE empty.
  explicit MemoryDataSet(int count);
  ~MemoryDataSet() override;

  // --- helpers for the tests ---
  int PhysicalCount() const { return static_cast<int>(rows_.size()); }
  bool IsDeleted(int recno) const { return deleted_[static_cast<size_t>(recno - 1)]; }
  // The stored NAME of a record (ANSI), whatever the cursor.
  std::string StoredName(int recno) const;
  // Record number of the active record, 0 when none.
  int ActiveRecNo() const;
  // Another user appends a record (ID and NAME set) behind the dataset's
  // back.
  void AppendBehind(int id, const std::string& name);
  // Another user holds this record's lock (0: nobody).
  void SetLockedByOther(int recno) { locked_by_other_ = recno; }
  bool HoldsEditLock() const { return edit_lock_ != 0; }
  void SetReadOnly(bool value) { read_only_ = value; }
  // Reads of records through GetRecord since the last reset.
  int ReadCount() const { return read_count_; }
  void ResetReadCount() { read_count_ = 0; }
  // Applies the filter (OnFilterRecord) and goes to the first record.
  void SetFiltered(bool value) override;
  // Puts the cursor on a record and resynchronises the rows around it, as
  // a key search does.
  void SeekTo(int recno, dbkit::ResyncMode mode);
  // Record buffers the base holds now.
  int HeldBuffers() const { return BufferCount(); }

  // Bookmarks order by record number.
  int CompareBookmarks(const dbkit::Bookmark& a, const dbkit::Bookmark& b) const override;
  bool BookmarkValid(const dbkit::Bookmark& bookmark) const override;
  int Translate(const char* src, char* dst, bool to_storage) override;
  int GetRecNo() const override;
  void SetRecNo(int value) override;
  bool IsSequenced() const override;
  std::unique_ptr<dbkit::BlobStream> CreateBlobStream(dbkit::Field* field, dbkit::BlobStreamMode mode) override;

 protected:
  std::unique_ptr<char[]> AllocRecordBuffer() override;
  int GetRecordSize() const override { return record_size_; }
  dbkit::GetResult GetRecord(char* buffer, dbkit::GetMode mode, bool do_check) override;
  void GetBookmarkData(const char* buffer, char* data) const override;
  void SetBookmarkData(char* buffer, const char* data) override;
  dbkit::BookmarkFlag GetBookmarkFlag(const char* buffer) const override;
  void SetBookmarkFlag(char* buffer, dbkit::BookmarkFlag flag) override;
  bool GetFieldData(dbkit::Field* field, void* buffer) override;
  void SetFieldData(dbkit::Field* field, const void* buffer) override;
  bool GetCurrentRecord(char* buffer) override;
  int GetRecordCount() override;
  bool GetCanModify() const override { return !read_only_; }
  void ClearCalcFields(char* buffer) override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  void InternalInitRecord(char* buffer) override;
  void InternalFirst() override { cursor_ = -1; }
  void InternalLast() override { cursor_ = PhysicalCount(); }
  void InternalGotoBookmark(const char* bookmark) override;
  void InternalSetToRecord(char* buffer) override;
  void InternalAddRecord(const char* buffer, bool append) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override { edit_lock_ = 0; }
  void InternalDelete() override;
  bool IsCursorOpen() const override { return open_; }

 private:
  struct Column {
    std::string name;
    dbkit::FieldType type;
    int size;    // text length of strings
    int offset;  // of the has-value byte in a row
    int width;   // value bytes after it
  };
  friend class MemoryBlobStream;

  // Offsets of the trailer after the record and calculated-field area.
  int RecNoOffset() const { return record_size_ + CalcFieldsSize(); }
  int FlagOffset() const { return RecNoOffset() + 4; }
  int BookmarkOffset() const { return FlagOffset() + 1; }
  int32_t BufferRecNo(const char* buffer) const;
  bool Visible(int index);
  void Fill(char* buffer, int index);
  void AppendRow(const char* row);
  void PutColumn(std::string& row, int column, const void* value);

  std::vector<Column> columns_;
  int record_size_ = 0;
  std::vector<std::string> rows_;  // record_size_ bytes each
  std::vector<bool> deleted_;
  std::vector<std::string> memos_;  // a NOTE value is 1 + its index here
  bool open_ = false;
  bool read_only_ = false;
  int cursor_ = -1;  // row index; -1 before the first, PhysicalCount() after the last
  int edit_lock_ = 0;
  int locked_by_other_ = 0;
  int read_count_ = 0;
  std::unique_ptr<char[]> filter_row_;
};

}  // namespace testing_support
