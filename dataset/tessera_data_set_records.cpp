// TTesseraDataSet: record buffers, bookmarks and navigation.
#include "dataset/tessera_data_set.h"

#include <cstdio>
#include <cstring>

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"

namespace tessera {

using dbkit::BookmarkFlag;
using dbkit::DataSetState;
using dbkit::GetMode;
using dbkit::GetResult;
using dbkit::RaiseDatabaseError;

// ---------------------------------------------------------- record buffers

int32_t TTesseraDataSet::BufferRecNo(const char* buffer) const {
  int32_t recno = 0;
  std::memcpy(&recno, buffer + RecNoOffset(), 4);
  return recno;
}

std::unique_ptr<char[]> TTesseraDataSet::AllocRecordBuffer() {
  const size_t size = static_cast<size_t>(BufferSize());
  auto buffer = std::make_unique<char[]>(size);
  std::memset(buffer.get(), 0, size);
  return buffer;
}

void TTesseraDataSet::FreeRecordBuffer(std::unique_ptr<char[]>& buffer) {
  // The table must never be left reading into a buffer that is gone.
  if (table_ && table_->RecordBuffer() == buffer.get()) table_->SetRecordBuffer(nullptr);
  buffer.reset();
}

int TTesseraDataSet::GetRecordSize() const { return record_length_; }

void TTesseraDataSet::FillTrailer(char* buffer) {
  const int32_t recno = table_->CurrentRecord();
  std::memcpy(buffer + RecNoOffset(), &recno, 4);
  buffer[FlagOffset()] = static_cast<char>(BookmarkFlag::kCurrent);
  char text[kBookmarkSize + 1];
  std::snprintf(text, sizeof text, "%10d", static_cast<int>(recno));
  std::memcpy(buffer + BookmarkOffset(), text, kBookmarkSize);  // ten digits and the NUL
  GetCalcFields(buffer);
}

GetResult TTesseraDataSet::GetRecord(char* buffer, GetMode mode, bool do_check) {
  if (!table_) return GetResult::kError;
  GetResult result = GetResult::kOk;
  {
    RecordScope scope(table_.get(), buffer);
    try {
      switch (mode) {
        case GetMode::kNext:
          table_->GotoRecord(at_first_ ? kMoveFirst : kMoveNext);
          at_first_ = at_last_ = false;
          break;
        case GetMode::kPrior:
          // Before the first record there is nothing before.
          if (at_first_) return GetResult::kBof;
          table_->GotoRecord(at_last_ ? kMoveLast : kMovePrior);
          at_last_ = false;
          break;
        case GetMode::kCurrent:
          if (at_first_ || at_last_)
            result = GetResult::kError;
          else
            table_->GotoRecord(kMoveCurrent);
          break;
      }
    } catch (const std::exception&) {
      // A failed read with checking asked for passes the engine's own
      // message on: it says what went wrong with which file.
      if (do_check) throw;
      result = GetResult::kError;
    }
    if (result == GetResult::kOk) {
      if (table_->Eof())
        result = GetResult::kEof;
      else if (table_->Bof())
        result = GetResult::kBof;
      else if (table_->CurrentRecord() < 1 || table_->CurrentRecord() > table_->RecordCount())
        result = GetResult::kError;
      else
        FillTrailer(buffer);
    }
  }
  if (result == GetResult::kError && do_check) RaiseDatabaseError(dsmsg::kBeyondRange);
  return result;
}

void TTesseraDataSet::GetBookmarkData(const char* buffer, char* data) const {
  std::memcpy(data, buffer + BookmarkOffset(), kBookmarkSize);
}

void TTesseraDataSet::SetBookmarkData(char* buffer, const char* data) {
  std::memcpy(buffer + BookmarkOffset(), data, kBookmarkSize);
}

BookmarkFlag TTesseraDataSet::GetBookmarkFlag(const char* buffer) const {
  return static_cast<BookmarkFlag>(buffer[FlagOffset()]);
}

void TTesseraDataSet::SetBookmarkFlag(char* buffer, BookmarkFlag flag) {
  buffer[FlagOffset()] = static_cast<char>(flag);
}

int32_t TTesseraDataSet::BookmarkRecNo(const char* bookmark) const {
  // Blanks, then one to ten digits, then NUL: nothing else is a bookmark.
  int i = 0;
  while (i < kBookmarkSize - 1 && bookmark[i] == ' ') ++i;
  if (i == kBookmarkSize - 1) return 0;
  int64_t n = 0;
  for (; i < kBookmarkSize - 1; ++i) {
    const char c = bookmark[i];
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  if (bookmark[kBookmarkSize - 1] != '\0') return 0;
  if (!table_ || n < 1 || n > table_->RecordCount()) return 0;
  return static_cast<int32_t>(n);
}

int TTesseraDataSet::CompareBookmarks(const dbkit::Bookmark& a, const dbkit::Bookmark& b) const {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool TTesseraDataSet::BookmarkValid(const dbkit::Bookmark& bookmark) const {
  if (static_cast<int>(bookmark.size()) != kBookmarkSize || !table_) return false;
  return BookmarkRecNo(bookmark.data()) != 0;
}

void TTesseraDataSet::InternalGotoBookmark(const char* bookmark) {
  // A bookmark that is no record number of this table is refused before
  // anything is read: reading "record 0" or one past the end would show a
  // record that is not there.
  const int32_t recno = BookmarkRecNo(bookmark);
  if (recno == 0) RaiseDatabaseError(std::string(dsmsg::kInvalidBookmark) + table_name_);
  at_first_ = at_last_ = false;
  table_->GotoRecord(recno);
}

void TTesseraDataSet::InternalSetToRecord(char* buffer) { InternalGotoBookmark(buffer + BookmarkOffset()); }

// ------------------------------------------------------------- navigation

void TTesseraDataSet::InternalFirst() {
  at_first_ = true;
  at_last_ = false;
}

void TTesseraDataSet::InternalLast() {
  at_first_ = false;
  table_->GotoRecord(kMoveLast);
  at_last_ = true;
}

int TTesseraDataSet::GetRecNo() const {
  if (!Active()) RaiseDatabaseError(dbkit::msg::kDataSetClosed);
  const char* buffer = State() == DataSetState::kCalcFields ? CalcBuffer() : ActiveBuffer();
  if (buffer == nullptr || (State() != DataSetState::kCalcFields && IsEmpty())) return 0;
  return BufferRecNo(buffer);
}

void TTesseraDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  if (value < 1 || value > table_->RecordCount()) RaiseDatabaseError(dsmsg::kBeyondRange);
  DoBeforeScroll();
  at_first_ = at_last_ = false;
  table_->GotoRecord(value);
  CursorPosChanged();
  Resync(dbkit::kRmCenter);
  DoAfterScroll();
}

int TTesseraDataSet::GetRecordCount() {
  if (!table_) RaiseDatabaseError(dbkit::msg::kDataSetClosed);
  if (!exact_count_) return table_->RecordCount();
  const int32_t saved = table_->CurrentRecord();
  int count = 0;
  std::string scratch(static_cast<size_t>(record_length_) + 1, ' ');
  {
    RecordScope scope(table_.get(), scratch.data());
    for (table_->GotoRecord(kMoveFirst); !table_->Eof() && !table_->Bof(); table_->GotoRecord(kMoveNext)) ++count;
  }
  if (saved >= 1 && saved <= table_->RecordCount()) table_->GotoRecord(saved);
  CursorPosChanged();
  return count;
}

bool TTesseraDataSet::IsSequenced() const {
  return !table_ || (table_->MasterTag() == nullptr && !Filtered());
}

void TTesseraDataSet::InternalRefresh() {
  if (!IsEmpty() && ActiveBuffer() != nullptr) {
    const int32_t recno = BufferRecNo(ActiveBuffer());
    if (recno >= 1 && recno <= table_->RecordCount()) {
      RecordScope scope(table_.get(), ActiveBuffer());
      table_->GotoRecord(recno);
    }
  }
  table_->RebuildFilterSet();
}

}  // namespace tessera
