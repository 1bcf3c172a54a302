#include "engine/dbf_table.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/errors.h"
#include "engine/memo.h"
#include "engine/messages.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/last_error.h"
#include "platform/path.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

using bytes::GetLE16;
using bytes::GetLE32;
using bytes::PutLE32;

bool AcceptedVersion(uint8_t v) { return v == 0x03 || v == 0x30 || v == 0x83 || v == 0x8B || v == 0xF5; }

std::string TableFileName(std::string_view name) {
  return DefaultExtension(TrimText(name), ".DBF");
}

}  // namespace

KTO_dBaseDBF::KTO_dBaseDBF(std::string_view file_name, bool shared, bool writable)
    : KTO_DiskFile(TableFileName(file_name), shared, writable) {
  Open();
  lock_protocol_ = kDefaultLock;
  ApplyLockProtocol(kDefaultLock, &locks_);
  ReadStructure();
}

KTO_dBaseDBF::~KTO_dBaseDBF() {
  // The header of a table written under a lock that was never released is
  // still brought up to date; a failure here cannot be reported any more.
  try {
    if (!IsClosed() && header_dirty_) {
      table_locked_ = false;
      RefreshHeader();
      WriteHeader();
    }
  } catch (...) {
  }
  memo_.reset();
}

KTobjMemo* KTO_dBaseDBF::MemoFile() {
  if (!memo_ && has_memo_) memo_ = KTobjMemo::OpenFor(this);
  return memo_.get();
}

void KTO_dBaseDBF::ReadStructure() {
  // Header. A file too short to hold one is not a table.
  if (ReadAt(0, header_, 32) != 32) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }
  version_ = header_[0];
  if (!AcceptedVersion(version_)) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }
  header_length_ = GetLE16(header_ + 8);
  record_length_ = GetLE16(header_ + 10);
  structural_index_ = (header_[28] & 0x01) != 0;
  has_memo_flag_ = (header_[28] & 0x02) != 0;
  in_container_ = (header_[28] & 0x04) != 0;
  change_stamp_ = static_cast<int32_t>(GetLE32(header_ + 16));
  if (header_[15] != 0) {
    // Enciphered tables are not read: their records would be taken for text.
    throw ETesseraEncryption(msg::Format(msg::kTableEnciphered, {FileName()}));
  }
  has_memo_ = version_ == 0x30 ? has_memo_flag_ : version_ != 0x03;

  // The header and record lengths come from the file and are checked before
  // anything is sized from them: every field must lie inside the record and
  // the descriptors inside the header.
  const int32_t reserved = version_ == 0x30 ? 296 : 33;
  const int64_t file_size = FileSize();
  if (header_length_ < reserved + 32 || header_length_ > file_size || record_length_ < 2 ||
      record_length_ > kMaxRecordLength) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }

  // Field descriptors. The count follows from the header length; a 0x0D
  // terminator met earlier ends the table (some writers leave room after it).
  const int32_t area = header_length_ - reserved;
  std::vector<uint8_t> desc(static_cast<size_t>(area));
  if (ReadAt(32, desc.data(), area) != area) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }
  const int32_t max_fields = area / 32;
  fields_.clear();
  uint32_t offset = 1;
  for (int32_t i = 0; i < max_fields; ++i) {
    const uint8_t* d = desc.data() + static_cast<size_t>(i) * 32;
    if (d[0] == 0x0D) break;
    DbfField f;
    std::memcpy(f.name, d, 10);
    f.name[10] = '\0';
    f.type = static_cast<char>(d[11]);
    f.length = d[16];
    f.decimals = d[17];
    f.flags = d[18];
    f.number = static_cast<uint16_t>(i + 1);
    f.offset = offset;
    const int width = f.Width();
    if (f.name[0] == '\0' || width <= 0 || fields_.size() >= static_cast<size_t>(kMaxFields)) {
      ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
      return;
    }
    offset += static_cast<uint32_t>(width);
    fields_.push_back(f);
  }
  if (fields_.empty() || offset > static_cast<uint32_t>(record_length_)) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }

  container_link_.clear();
  if (version_ == 0x30) {
    // The backlink fills the last 263 bytes of the header.
    char buffer[264] = {};
    if (ReadAt(header_length_ - 263, buffer, 263) == 263) container_link_ = TrimText(buffer);
  }

  record_count_ = static_cast<int32_t>((file_size - header_length_) / record_length_);
  current_record_ = 0;
  eof_ = false;
  bof_ = true;

  own_record_.assign(static_cast<size_t>(record_length_) + 1, ' ');
  own_record_.back() = static_cast<char>(kEndOfFileMark);
  record_ = own_record_.data();
  saved_record_.assign(static_cast<size_t>(record_length_), ' ');
  field_changed_.assign(fields_.size() + 1, 0);

  use_deleted_ = true;
  auto_flush_ = false;
  header_dirty_ = false;
  table_state_ = kStateNormal;
  RefreshHeader();
  RecordEvent(kEventOpened, 0);
}

void KTO_dBaseDBF::RefreshHeader() {
  if (!IsShared()) {
    changed_by_other_ = false;
    return;
  }
  uint8_t fresh[32];
  if (ReadAt(0, fresh, 32) != 32) return;
  const int64_t size = FileSize();
  const int32_t count =
      size > header_length_ ? static_cast<int32_t>((size - header_length_) / record_length_) : 0;
  const int32_t stamp = static_cast<int32_t>(GetLE32(fresh + 16));
  changed_by_other_ = count != record_count_ || stamp != change_stamp_;
  record_count_ = count;
  change_stamp_ = stamp;
}

void KTO_dBaseDBF::WriteHeader() {
  if (!IsWritable() || !header_dirty_ || table_locked_) return;
  const plat::TimeOfDay now = plat::Now();
  change_stamp_ = ((now.hour * 64 + now.minute) * 64 + now.second) * 1024 + now.millisecond;
  const plat::CivilDate today = plat::Today();
  // The year as the programs of each kind write and read it: dBase and
  // its followers count from 1900 (2026 is 126), Visual FoxPro stores the
  // year modulo 100. A dBase reader takes a modulo-100 byte for the 1900s.
  header_[1] = static_cast<uint8_t>(version_ == 0x30 ? today.year % 100 : today.year - 1900);
  header_[2] = static_cast<uint8_t>(today.month);
  header_[3] = static_cast<uint8_t>(today.day);
  PutLE32(header_ + 4, static_cast<uint32_t>(record_count_));
  header_[28] = static_cast<uint8_t>((structural_index_ ? 0x01 : 0) | (has_memo_flag_ ? 0x02 : 0) |
                                     (in_container_ ? 0x04 : 0));
  PutLE32(header_ + 16, static_cast<uint32_t>(change_stamp_));
  header_[15] = 0;
  PutLE32(header_ + 20, static_cast<uint32_t>(user_id_));
  WriteAt(0, header_, 32);
  header_dirty_ = false;
}

void KTO_dBaseDBF::SetStructuralIndex(bool on) {
  if (structural_index_ == on) return;
  structural_index_ = on;
  header_dirty_ = true;
  WriteHeader();
}

void KTO_dBaseDBF::GotoRecord(int32_t number) {
  if (record_count_ == 0) {
    RefreshHeader();
    if (record_count_ == 0) {
      eof_ = bof_ = true;
      return;
    }
  }
  if (number == 0) return;
  eof_ = bof_ = false;
  int32_t target;
  switch (number) {
    case kMoveCurrent: target = current_record_; break;
    case kMoveLast: target = record_count_; break;
    case kMoveFirst: target = 1; break;
    case kMovePrior:
      if (current_record_ <= 1) {
        bof_ = true;
        return;
      }
      target = current_record_ - 1;
      break;
    case kMoveNext: target = current_record_ + 1; break;
    default:
      if (number < 0) {
        ReportError(kCodeBeyondEof, kSubReadRecord, FileName());
        return;
      }
      target = number;
  }
  if (target < 1) {
    // "Current" before any record was read: the first record.
    target = 1;
  }
  if (target > record_count_) {
    RefreshHeader();  // another process may have appended
    if (target > record_count_ + 1) {
      ReportError(kCodeBeyondEof, kSubReadRecord, FileName());
      return;
    }
    if (target == record_count_ + 1) {
      eof_ = true;
      return;
    }
  }
  RecordEvent(kEventBeforeRead, number);
  // A deferred record is the buffer's record: read into a foreign buffer,
  // the table's own must still come to hold it.
  if (record_ != own_record_.data()) LoadDeferred();
  deferred_ = 0;
  const int32_t n = ReadAt(RecordOffset(target), record_, record_length_);
  if (n != record_length_) {
    // The record vanished under us (the file was cut by another process).
    ReportError(kCodeBeyondEof, kSubReadRecord, FileName());
    return;
  }
  current_record_ = target;
  RecordEvent(kEventAfterRead, target);
  saved_record_.assign(record_, static_cast<size_t>(record_length_));
}

void KTO_dBaseDBF::DeferRecord(int32_t number) {
  if (IsShared() || number < 1 || number > record_count_ || record_ != own_record_.data()) {
    KTO_dBaseDBF::GotoRecord(number);
    return;
  }
  eof_ = bof_ = false;
  RecordEvent(kEventBeforeRead, number);
  current_record_ = number;
  deferred_ = number;
  deferred_read_ = false;
  RecordEvent(kEventAfterRead, number);
}

void KTO_dBaseDBF::ReadDeferred() {
  const int32_t number = deferred_;
  deferred_ = 0;
  char* own = own_record_.data();
  if (ReadAt(RecordOffset(number), own, record_length_) != record_length_) {
    ReportError(kCodeBeyondEof, kSubReadRecord, FileName());
    return;
  }
  saved_record_.assign(own, static_cast<size_t>(record_length_));
}

void KTO_dBaseDBF::AppendRecord() {
  LoadDeferred();
  // The append lock keeps two writers from taking the same slot. A refused
  // lock is retried like memo and index locks; appending without it could
  // overwrite another process's new record.
  bool locked = LockAppend();
  if (!locked && IsShared() && LockCount() == 0) {
    for (int attempt = 1; attempt < kLockRetries && !locked; ++attempt) {
      plat::SleepMilliseconds(kLockRetryInterval);
      locked = LockAppend();
    }
    if (!locked) {
      ReportError(plat::kErrLockViolation, kNoSubCode, FileName());
      return;
    }
  }
  // The lock is held until the after-write event (the index keys) is done,
  // so that a failure there can still take the record back out: nobody
  // else has appended behind it meanwhile.
  WriteUndo undo;
  undo_failed_ = false;
  try {
    AppendUnderLock(&undo);
    eof_ = bof_ = false;
    RecordEvent(kEventAfterWrite, 0);
  } catch (...) {
    undo_failed_ = !UndoWrite(undo);
    if (locked) UnlockTable();
    throw;
  }
  if (locked) UnlockTable();
  if (auto_flush_) Flush();
  saved_record_.assign(record_, static_cast<size_t>(record_length_));
}

void KTO_dBaseDBF::AppendUnderLock(WriteUndo* undo) {
  RecordEvent(kEventBeforeWrite, 0);
  RefreshHeader();
  const int32_t number = record_count_ + 1;
  // What an undo puts back: the count, the header and the bytes from the
  // new record's place to the old end of the file (the end mark, or the
  // remains of a record another writer never finished).
  undo->append = true;
  undo->number = number;
  undo->count = record_count_;
  undo->current = current_record_;
  undo->header_dirty = header_dirty_;
  std::memcpy(undo->header, header_, sizeof header_);
  undo->size = FileSize();
  const int64_t at = RecordOffset(number);
  if (undo->size > at) {
    undo->tail.resize(static_cast<size_t>(std::min<int64_t>(undo->size - at, record_length_ + 1)));
    KTO_DiskFile::ReadAt(at, undo->tail.data(), static_cast<int32_t>(undo->tail.size()));
  }
  undo->armed = true;

  record_changed_ = true;
  header_dirty_ = true;
  record_[0] = ' ';
  // Written with the 0x1A after it, so the file always ends with the mark.
  // Through a scratch copy when the accessors point at a foreign buffer
  // that has no room for the mark.
  if (record_ == own_record_.data()) {
    own_record_.back() = static_cast<char>(kEndOfFileMark);
    WriteAt(at, record_, record_length_ + 1);
  } else {
    std::string image(record_, static_cast<size_t>(record_length_));
    image += static_cast<char>(kEndOfFileMark);
    WriteAt(at, image.data(), record_length_ + 1);
  }
  record_count_ = number;
  current_record_ = number;
  undo->header_written = !table_locked_ && IsWritable();
  WriteHeader();
}

void KTO_dBaseDBF::WriteRecord(int32_t number) {
  LoadDeferred();
  RecordEvent(kEventBeforeWrite, number);
  if (number > record_count_ || number <= 0) {
    AppendRecord();
    return;
  }
  // The record as it is on disk now is what an undo writes back.
  WriteUndo undo;
  undo.number = number;
  undo.count = record_count_;
  undo.current = current_record_;
  undo.header_dirty = header_dirty_;
  std::memcpy(undo.header, header_, sizeof header_);
  undo.tail.resize(static_cast<size_t>(record_length_));
  if (KTO_DiskFile::ReadAt(RecordOffset(number), undo.tail.data(), record_length_) != record_length_)
    undo.tail.clear();
  undo.armed = true;
  undo_failed_ = false;
  try {
    header_dirty_ = true;
    WriteAt(RecordOffset(number), record_, record_length_);
    current_record_ = number;
    record_written_ = true;
    RefreshHeader();
    undo.header_written = !table_locked_ && IsWritable();
    WriteHeader();
    RecordEvent(kEventAfterWrite, number);
  } catch (...) {
    undo_failed_ = !UndoWrite(undo);
    throw;
  }
  if (auto_flush_) Flush();
  saved_record_.assign(record_, static_cast<size_t>(record_length_));
}

bool KTO_dBaseDBF::UndoWrite(const WriteUndo& undo) {
  if (!undo.armed) return true;
  bool ok = true;
  if (undo.append) {
    // Cut back to the old end, then put back what stood there.
    const int64_t at = RecordOffset(undo.number);
    ok = CutBack(std::max<int64_t>(undo.size, at));
    if (ok && !undo.tail.empty()) ok = WriteQuiet(at, undo.tail.data(), static_cast<int32_t>(undo.tail.size()));
    if (ok) ok = CutBack(undo.size);
  } else if (!undo.tail.empty()) {
    ok = WriteQuiet(RecordOffset(undo.number), undo.tail.data(), static_cast<int32_t>(undo.tail.size()));
  }
  if (undo.header_written) ok = WriteQuiet(0, undo.header, 32) && ok;
  std::memcpy(header_, undo.header, sizeof header_);
  header_dirty_ = undo.header_dirty;
  record_count_ = undo.count;
  current_record_ = undo.current;
  if (current_record_ > record_count_) current_record_ = record_count_;
  record_changed_ = false;
  return ok;
}

void KTO_dBaseDBF::RecordEvent(int event, int32_t) {
  if (event == kEventAfterRead || event == kEventAfterWrite) {
    record_changed_ = false;
    if (table_state_ != kStateEnciphering) table_state_ = kStateNormal;
  }
}

bool KTO_dBaseDBF::LockTableRange(uint64_t offset, uint64_t length) {
  if (table_locked_) {
    NestLock();
    return true;
  }
  if (!LockRange(offset, length)) return false;
  table_locked_ = true;
  RefreshHeader();
  return true;
}

bool KTO_dBaseDBF::LockAppend() {
  if (table_locked_) {
    NestLock();
    return true;
  }
  return LockRange(locks_.a, 1);
}

bool KTO_dBaseDBF::LockTable() { return LockTableRange(locks_.b, locks_.c); }

bool KTO_dBaseDBF::LockAllBytes() { return LockTableRange(0, kWholeFileLength); }

bool KTO_dBaseDBF::UnlockTable() {
  const bool ok = Unlock();
  if (table_locked_ && LockCount() == 0) {
    table_locked_ = false;
    WriteHeader();
  }
  return ok;
}

bool KTO_dBaseDBF::LockRecord() {
  if (table_locked_) {
    NestLock();
    return true;
  }
  const int64_t r = current_record_;
  uint64_t byte;
  switch (lock_protocol_) {
    case kDefaultLock:
    case kFoxLock:
      byte = HasIndexFile() ? static_cast<uint64_t>(0x7FFFFFFELL - r)
                            : static_cast<uint64_t>(0x40000000LL + RecordOffset(static_cast<int32_t>(r)));
      break;
    case kDB4Lock: byte = static_cast<uint64_t>(static_cast<int64_t>(locks_.a) - 1 - r); break;
    case kClipLock: byte = static_cast<uint64_t>(1000000000LL + r); break;
    default: return false;
  }
  return LockRange(byte, 1);
}

void KTO_dBaseDBF::SetLockProtocol(int kind) {
  // Kinds 4 and above keep the offsets; LockRecord then refuses.
  ApplyLockProtocol(kind, &locks_);
  lock_protocol_ = kind;
  if (memo_) memo_->SetLockProtocol(kind);
}

bool KTO_dBaseDBF::HasIndexFile() { return false; }

void KTO_dBaseDBF::Flush() {
  KTO_DiskFile::Flush();
  if (memo_) memo_->Flush();
  RecordEvent(kEventAfterFlush, current_record_);
}

bool KTO_dBaseDBF::Rename(std::string_view new_name) {
  const std::string target = DefaultExtension(TrimText(new_name), ".DBF");
  if (has_memo_) MemoFile();  // opened now so that it follows the table
  if (!KTO_DiskFile::Rename(target)) return false;
  if (memo_) return memo_->RenameMemo(target);
  return true;
}

}  // namespace tessera
