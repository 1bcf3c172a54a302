// TTesseraDataSet: inserting, editing, posting, cancelling, deleting and
// undeleting records.
#include "dataset/tessera_data_set.h"

#include <cstring>

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dbkit/db_error.h"
#include "engine/messages.h"
#include "platform/scope_guard.h"

namespace tessera {

using dbkit::DataSetState;
using dbkit::RaiseDatabaseError;

// ---------------------------------------------------------------- editing

void TTesseraDataSet::InternalInitRecord(char* buffer) {
  RecordScope scope(table_.get(), buffer);
  table_->BlankRecord();
  if (!editing_) std::memcpy(table_->SavedRecordBuffer(), buffer, static_cast<size_t>(record_length_));
}

void TTesseraDataSet::DoAfterInsert() {
  if (table_) {
    table_->SetEof(true);
    table_->SetBof(false);
  }
  DataSet::DoAfterInsert();
}

void TTesseraDataSet::InternalEdit() {
  char* buffer = ActiveBuffer();
  const int32_t recno = BufferRecNo(buffer);
  at_first_ = at_last_ = false;
  // Positioned first (the lock is taken on the current record), then
  // locked, then read again: what the edit starts from is the record as
  // it stands under the lock, and the index upkeep of the post takes its
  // old keys from that reading.
  changed_by_other_ = false;
  table_->GotoRecord(recno);
  if (!table_->LockRecord()) RaiseDatabaseError(msg::kRecordLocked);
  const std::string shown(buffer, static_cast<size_t>(record_length_));
  bool deleted = false;
  try {
    RecordScope scope(table_.get(), buffer);
    table_->GotoRecord(recno);
    deleted = !use_deleted_ && table_->IsDeleted();
  } catch (...) {
    table_->UnlockTable();
    throw;
  }
  if (deleted) {
    // Another program deleted the card after it was shown: an edit would
    // write into a record nobody sees. The rows move on to the record that
    // now stands here, as after a delete of this dataset's own.
    table_->UnlockTable();
    table_->GotoRecord(kMoveCurrent);
    if (table_->Eof()) {
      table_->GotoRecord(kMovePrior);
      table_->SetEof(true);
    }
    CursorPosChanged();
    Resync(0);
    RaiseDatabaseError(dsmsg::kRecordDeleted);
  }
  changed_by_other_ = std::memcmp(shown.data(), buffer, static_cast<size_t>(record_length_)) != 0;
  editing_ = true;
}

void TTesseraDataSet::WriteFromBuffer(const char* buffer, int32_t recno) {
  // Written from the table's own record buffer: the index upkeep that runs
  // inside the write evaluates the old keys on the saved record and then
  // goes back to the table's own buffer for the new ones, so the new
  // record must be there.
  char* own = table_->RecordBuffer();
  std::memcpy(own, buffer, static_cast<size_t>(record_length_));
  if (recno > 0)
    table_->WriteRecord(recno);
  else
    table_->AppendRecord();
}

void TTesseraDataSet::InternalPost() {
  DataSet::InternalPost();
  const char* buffer = ActiveBuffer();
  const int32_t recno = State() == DataSetState::kEdit ? BufferRecNo(buffer) : 0;
  if (recno > 0 && !use_deleted_) {
    // The edit's lock keeps other programs of this engine from deleting
    // the record, but not one that writes without locking: a record that
    // is deleted on disk now is not written over.
    // The mark is read from the file itself, past any cache, without
    // moving the table (its saved record holds the old keys).
    char mark = ' ';
    if (table_->KTO_DiskFile::ReadAt(table_->RecordOffset(recno), &mark, 1) == 1 && mark == '*')
      RaiseDatabaseError(dsmsg::kRecordDeleted);
  }
  WriteFromBuffer(buffer, recno);
  if (editing_) table_->UnlockTable();
  editing_ = false;
  at_first_ = at_last_ = false;
}

void TTesseraDataSet::Post() {
  DataSet::Post();
  if (State() == DataSetState::kSetKey) SetState(DataSetState::kBrowse);
}

void TTesseraDataSet::InternalAddRecord(const char* buffer, bool /*append*/) {
  // xBase tables add records at the end only.
  WriteFromBuffer(buffer, 0);
  if (editing_) table_->UnlockTable();
  editing_ = false;
  at_first_ = at_last_ = false;
}

void TTesseraDataSet::InternalCancel() {
  if (editing_ && table_) table_->UnlockTable();
  editing_ = false;
}

void TTesseraDataSet::MarkRecord(int32_t recno, bool deleted) {
  const bool saved_use_deleted = table_->UseDeleted();
  table_->SetUseDeleted(true);
  plat::ScopeGuard restore([this, saved_use_deleted] { table_->SetUseDeleted(saved_use_deleted); });
  at_first_ = at_last_ = false;
  // The mark is set on the record as it stands on disk, under its lock: a
  // record another process is editing is not overwritten with an old copy.
  table_->GotoRecord(recno);
  const bool own_lock = deleted && editing_;
  if (!own_lock && !table_->LockRecord()) RaiseDatabaseError(msg::kRecordLocked);
  try {
    table_->GotoRecord(recno);
    if (deleted)
      table_->MarkDeleted();
    else if (table_->IsDeleted())
      table_->MarkRecalled();
  } catch (const std::exception&) {
    if (!own_lock) table_->UnlockTable();
    RaiseDatabaseError(deleted ? dsmsg::kCannotDelete : dsmsg::kCannotRecall);
  }
  if (!own_lock) table_->UnlockTable();
}

void TTesseraDataSet::InternalDelete() {
  MarkRecord(BufferRecNo(ActiveBuffer()), true);
  // On to the record that now stands here; past the last one, back to the
  // new last record.
  table_->GotoRecord(kMoveCurrent);
  if (table_->Eof()) {
    table_->GotoRecord(kMovePrior);
    table_->SetEof(true);
  }
}

void TTesseraDataSet::Undelete() {
  CheckBrowseMode();
  if (IsEmpty()) return;
  UpdateCursorPos();
  const int32_t recno = BufferRecNo(ActiveBuffer());
  MarkRecord(recno, false);
  table_->GotoRecord(recno);
  CursorPosChanged();
  Resync(0);
}

}  // namespace tessera
