#include "engine/dbf_table.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/byte_order.h"
#include "engine/errors.h"
#include "engine/memo.h"
#include "engine/messages.h"
#include "engine/lock_retry.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/last_error.h"
#include "platform/path.h"
#include "platform/text_codepage.h"
#include "platform/text_convert.h"

namespace tessera {

constinit thread_local ThreadRecord t_thread_record;

namespace {

using bytes::GetLE16;
using bytes::GetLE32;
using bytes::PutLE32;

bool AllBlankBytes(const char* p, int n) {
  return std::all_of(p, p + n, [](char c) { return c == ' '; });
}

// What a version byte says: the layout of the header, the memo file, and
// whether this engine writes such tables.
struct VersionInfo {
  uint8_t version;
  const char* name;
  TableLayout layout;
  MemoKind memo;  // Visual FoxPro: the FoxPro kind when bit 0x02 of byte 28 says so
  bool writable;
};

// Tables this engine only reads: dBase II keeps its count in 16 bits and
// its fields without room to grow; dBase 7 keeps binary fields of its own
// and a field properties area; the dBase IV SQL tables belong to the SQL
// catalogue that made them; FoxBASE's 0xFB is seen too rarely to be
// written with confidence.
constexpr VersionInfo kVersions[] = {
    {0x02, "FoxBASE / dBase II", TableLayout::kDBase2, MemoKind::kNone, false},
    {0x03, "dBase III, no memo", TableLayout::kDBase3, MemoKind::kNone, true},
    {0x04, "dBase 7, no memo", TableLayout::kDBase7, MemoKind::kNone, false},
    {0x30, "Visual FoxPro", TableLayout::kVisualFoxPro, MemoKind::kFoxPro, true},
    {0x31, "Visual FoxPro with autoincrement", TableLayout::kVisualFoxPro, MemoKind::kFoxPro, true},
    {0x32, "Visual FoxPro with varchar, varbinary or blob", TableLayout::kVisualFoxPro, MemoKind::kFoxPro, true},
    {0x43, "dBase IV SQL table, no memo", TableLayout::kDBase3, MemoKind::kNone, false},
    {0x63, "dBase IV SQL system table, no memo", TableLayout::kDBase3, MemoKind::kNone, false},
    {0x83, "dBase III with .DBT memo", TableLayout::kDBase3, MemoKind::kDBase3, true},
    {0x8B, "dBase IV with .DBT memo", TableLayout::kDBase3, MemoKind::kDBase4, true},
    {0x8C, "dBase 7 with .DBT memo", TableLayout::kDBase7, MemoKind::kDBase4, false},
    {0xCB, "dBase IV SQL table with .DBT memo", TableLayout::kDBase3, MemoKind::kDBase4, false},
    {0xF5, "FoxPro with .FPT memo", TableLayout::kDBase3, MemoKind::kFoxPro, true},
    {0xFB, "FoxBASE with .DBT memo", TableLayout::kDBase3, MemoKind::kDBase3, false},
};

const VersionInfo* FindVersion(uint8_t v) {
  for (const VersionInfo& info : kVersions)
    if (info.version == v) return &info;
  return nullptr;
}

// Where the parts of a field descriptor lie, by layout.
struct DescriptorForm {
  int32_t first;        // offset of the first descriptor in the file
  int32_t size;         // bytes per descriptor
  int32_t name_length;  // bytes of the name area
  int32_t type_at, length_at, decimals_at;
};
constexpr DescriptorForm kDBase2Form = {8, 16, 11, 11, 12, 15};
constexpr DescriptorForm kDBase3Form = {32, 32, 11, 11, 16, 17};
constexpr DescriptorForm kDBase7Form = {68, 48, 32, 32, 33, 34};

// dBase II keeps room for 32 descriptors and the 0x0D: its records begin
// at 8 + 32 * 16 + 1.
constexpr int32_t kDBase2HeaderLength = 521;

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

std::string KTO_dBaseDBF::MemoFileName() const {
  if (!has_memo_) return std::string();
  const uint8_t version = memo_kind_ == MemoKind::kFoxPro ? 0xF5 : 0x83;
  return KTobjMemo::MemoFileName(GivenName(), version);
}

bool KTO_dBaseDBF::MemoFileMissing() const {
  return has_memo_ && !memo_ && !plat::FileExists(MemoFileName());
}

const char* KTO_dBaseDBF::VersionName(uint8_t version) {
  const VersionInfo* info = FindVersion(version);
  return info != nullptr ? info->name : nullptr;
}

uint32_t KTO_dBaseDBF::HeaderRecordCount() const {
  return layout_ == TableLayout::kDBase2 ? GetLE16(header_ + 1) : GetLE32(header_ + 4);
}

void KTO_dBaseDBF::LastUpdate(int* year, int* month, int* day) const {
  // dBase II keeps month, day, year; the others year, month, day. The year
  // byte counts from 1900 in dBase and is the year modulo 100 in Visual
  // FoxPro (and in files of this engine's earlier versions): small values
  // are this century's.
  const bool dbase2 = layout_ == TableLayout::kDBase2;
  const int yy = dbase2 ? header_[5] : header_[1];
  *year = yy >= 100 ? 1900 + yy : (yy < 80 ? 2000 + yy : 1900 + yy);
  *month = dbase2 ? header_[3] : header_[2];
  *day = dbase2 ? header_[4] : header_[3];
}

int KTO_dBaseDBF::TextCodePage() const {
  if (code_page_override_ != 0) return code_page_override_;
  int marked = plat::CodePageOfLanguageDriver(CodePageMark());
  if (marked == 0) marked = driver_name_code_page_;
  return marked != 0 ? marked : plat::kCodePageOem;
}

bool KTO_dBaseDBF::RequireWritableFormat() {
  if (read_only_reason_.empty()) return true;
  ReportError(kCodeReadOnlyFormat, kSubWrite, FileName() + " (" + read_only_reason_ + ")");
  return false;
}

void KTO_dBaseDBF::ReadStructure() {
  // Header. A file too short to hold one is not a table.
  if (ReadAt(0, header_, 32) != 32) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }
  version_ = header_[0];
  const VersionInfo* info = FindVersion(version_);
  if (info == nullptr) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }
  layout_ = info->layout;
  header_warnings_.clear();
  read_only_reason_ = info->writable ? std::string() : std::string(info->name) + " tables are read here, not written";
  const bool dbase2 = layout_ == TableLayout::kDBase2;
  header_length_ = dbase2 ? kDBase2HeaderLength : GetLE16(header_ + 8);
  record_length_ = dbase2 ? GetLE16(header_ + 6) : GetLE16(header_ + 10);
  if (!dbase2) {
    structural_index_ = (header_[28] & 0x01) != 0;
    has_memo_flag_ = (header_[28] & 0x02) != 0;
    in_container_ = (header_[28] & 0x04) != 0;
    change_stamp_ = static_cast<int32_t>(GetLE32(header_ + 16));
    // Only dBase IV marks an enciphered table, with 0x01; other writers
    // keep other things in this byte (STEP 7 part of a time stamp).
    if (header_[15] == 0x01) {
      // Enciphered tables are not read: their records would be taken for text.
      throw ETesseraEncryption(msg::Format(msg::kTableEnciphered, {FileName()}));
    }
  }
  driver_name_code_page_ = 0;
  if (layout_ == TableLayout::kDBase7) {
    // dBase 7 names its language driver in header bytes 32..63 too:
    // "DB437US0" is code page 437 (US), "DBWINUS0" Windows ANSI.
    char name[33] = {};
    if (ReadAt(32, name, 32) == 32 && name[0] == 'D' && name[1] == 'B') {
      if (std::strncmp(name + 2, "WIN", 3) == 0) driver_name_code_page_ = 1252;
      else if (std::isdigit(static_cast<unsigned char>(name[2]))) driver_name_code_page_ = std::atoi(name + 2);
    }
  }
  memo_kind_ = info->memo;
  if (layout_ == TableLayout::kVisualFoxPro && !has_memo_flag_) memo_kind_ = MemoKind::kNone;
  has_memo_ = memo_kind_ != MemoKind::kNone;

  // The header and record lengths come from the file and are checked before
  // anything is sized from them: every field must lie inside the record and
  // the descriptors inside the header.
  const int64_t file_size = FileSize();
  if (header_length_ > file_size || record_length_ < 1 || record_length_ > kMaxRecordLength) {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return;
  }
  if (!ReadDescriptors(file_size)) return;

  record_count_ = CountRecords(HeaderRecordCount(), file_size, 0);
  appended_end_ = {};
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

bool KTO_dBaseDBF::ReadDescriptors(int64_t) {
  const DescriptorForm& form = layout_ == TableLayout::kDBase2   ? kDBase2Form
                               : layout_ == TableLayout::kDBase7 ? kDBase7Form
                                                                 : kDBase3Form;
  auto invalid = [&] {
    ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
    return false;
  };
  if (header_length_ < form.first) return invalid();
  const int32_t area_length = header_length_ - form.first;
  std::vector<uint8_t> area(static_cast<size_t>(area_length));
  if (ReadAt(form.first, area.data(), area_length) != area_length) return invalid();

  // The descriptors run to a 0x0D; a header without one ends where the
  // descriptors fill it (some writers leave no room for the mark).
  fields_.clear();
  uint32_t offset = 1;
  int32_t at = 0;
  bool terminated = false;
  const bool fox = layout_ == TableLayout::kVisualFoxPro;
  while (at < area_length) {
    if (area[static_cast<size_t>(at)] == 0x0D) {
      terminated = true;
      break;
    }
    if (at + form.size > area_length) break;
    const uint8_t* d = area.data() + at;
    // A descriptor of zeros ends the list as the mark would.
    if (std::all_of(d, d + form.size, [](uint8_t b) { return b == 0; })) break;
    DbfField f;
    const size_t name_length =
        std::find(d, d + form.name_length, 0) - d;  // up to the first NUL
    std::memcpy(f.name, d, std::min<size_t>(name_length, sizeof f.name - 1));
    f.type = static_cast<char>(d[form.type_at]);
    f.length = d[form.length_at];
    f.decimals = d[form.decimals_at];
    // The flag byte means something only in Visual FoxPro tables (dBase
    // III writers leave anything there).
    if (fox) f.flags = d[18];
    f.number = static_cast<uint16_t>(fields_.size() + 1);
    f.offset = offset;
    f.descriptor_at = static_cast<uint32_t>(form.first + at);
    if (f.name[0] == '\0' || fields_.size() >= static_cast<size_t>(kMaxFields)) return invalid();
    if (f.Width() == 0) header_warnings_.push_back("field " + f.Name() + " has width 0");
    offset += static_cast<uint32_t>(f.Width());
    fields_.push_back(f);
    at += form.size;
  }
  if (!terminated) header_warnings_.push_back("the field descriptors do not end with 0x0D");

  // The record length must hold the fields. One byte short is a writer
  // that left out the deletion flag: the fields decide, as other readers
  // read such a table, and the table is not written.
  if (offset > static_cast<uint32_t>(record_length_)) {
    if (offset != static_cast<uint32_t>(record_length_) + 1 || offset > static_cast<uint32_t>(kMaxRecordLength))
      return invalid();
    header_warnings_.push_back("the record length " + std::to_string(record_length_) +
                               " is one byte short of the fields: records of " + std::to_string(offset) +
                               " bytes are read");
    record_length_ = static_cast<int32_t>(offset);
    read_only_reason_ = "its record length disagrees with its fields";
  }

  container_link_.clear();
  if (fox && terminated) {
    // The backlink follows the 0x0D, 263 bytes, NUL-terminated.
    const size_t from = static_cast<size_t>(at) + 1;
    const size_t to = std::min(area.size(), from + 263);
    if (from < to) {
      const auto* p = reinterpret_cast<const char*>(area.data()) + from;
      container_link_ = TrimText(std::string_view(p, strnlen(p, to - from)));
    }
  }
  if (fox) AssignNullFlagBits();
  return true;
}

void KTO_dBaseDBF::AssignNullFlagBits() {
  null_flags_field_ = 0;
  for (const DbfField& f : fields_)
    if (f.IsSystem() && f.type == '0' && plat::UpperName(f.Name()) == "_NULLFLAGS") null_flags_field_ = f.number;
  if (null_flags_field_ == 0) return;
  const int bits = Field(null_flags_field_).Width() * 8;
  int next = 0;
  for (DbfField& f : fields_) {
    if (f.IsSystem()) continue;
    if ((f.type == 'V' || f.type == 'Q') && next < bits) f.length_bit = static_cast<int16_t>(next++);
    if (f.IsNullable() && next < bits) f.null_bit = static_cast<int16_t>(next++);
  }
}

int32_t KTO_dBaseDBF::CountRecords(uint32_t header_count, int64_t file_size, int32_t known) {
  int64_t in_file = file_size > header_length_ ? (file_size - header_length_) / record_length_ : 0;
  int64_t count = std::min<int64_t>(header_count, in_file);
  // Records past the header's count are counted while they begin with a
  // deletion flag; the end-of-file mark, or stale bytes after it, end them.
  count = std::max<int64_t>(count, std::min<int64_t>(known, in_file));
  in_file = std::min<int64_t>(in_file, INT32_MAX);
  // Read in pieces of up to 1 MiB: a writer that never updates the count
  // leaves every record of the file to look at.
  const int64_t per_piece = std::max<int64_t>(1, (1 << 20) / record_length_);
  std::string piece;
  while (count < in_file) {
    const int64_t n = std::min(per_piece, in_file - count);
    piece.resize(static_cast<size_t>((n - 1) * record_length_ + 1));
    const int32_t got = KTO_DiskFile::ReadAt(RecordOffset(static_cast<int32_t>(count + 1)), piece.data(),
                                             static_cast<int32_t>(piece.size()));
    if (got != static_cast<int32_t>(piece.size())) break;
    for (int64_t i = 0; i < n; ++i) {
      const char flag = piece[static_cast<size_t>(i * record_length_)];
      if (flag != ' ' && flag != '*') return static_cast<int32_t>(count);
      ++count;
    }
  }
  return static_cast<int32_t>(count);
}

void KTO_dBaseDBF::RefreshHeader() {
  if (!IsShared()) {
    changed_by_other_ = false;
    return;
  }
  uint8_t fresh[32];
  if (ReadAt(0, fresh, 32) != 32) return;
  const int64_t size = FileSize();
  refreshed_size_ = size;
  const uint32_t header_count = layout_ == TableLayout::kDBase2 ? GetLE16(fresh + 1) : GetLE32(fresh + 4);
  const int32_t count = CountRecords(header_count, size, record_count_);
  const int32_t stamp = static_cast<int32_t>(GetLE32(fresh + 16));
  changed_by_other_ = count != record_count_ || stamp != change_stamp_;
  record_count_ = count;
  change_stamp_ = stamp;
}

void KTO_dBaseDBF::RefreshHeaderForAppend() {
  // A read that fails leaves no size to go on from.
  refreshed_size_ = -1;
  RefreshHeader();
  // Without a lock of this table another writer may append between this
  // read and the append: the append reads the header again.
  append_header_fresh_ = IsShared() && LockCount() > 0 && refreshed_size_ >= 0;
}

void KTO_dBaseDBF::WriteHeader() {
  if (!IsWritable() || !header_dirty_ || table_locked_) return;
  const plat::TimeOfDay now = plat::Now();
  change_stamp_ = ((now.hour * 64 + now.minute) * 64 + now.second) * 1024 + now.millisecond;
  const plat::CivilDate today = plat::Today();
  // The year as the programs of each kind write and read it: dBase and
  // its followers count from 1900 (2026 is 126), Visual FoxPro stores the
  // year modulo 100. A dBase reader takes a modulo-100 byte for the 1900s.
  header_[1] = static_cast<uint8_t>(IsVisualFoxPro() ? today.year % 100 : today.year - 1900);
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
  if (structural_index_ == on || !RequireWritableFormat()) return;
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

bool KTO_dBaseDBF::TakeAppendLock() {
  // The append lock keeps two writers from taking the same slot. A refused
  // lock is retried like memo and index locks; appending without it could
  // overwrite another process's new record.
  // Only a shared table with no lock of its own held waits.
  const bool may_wait = IsShared() && LockCount() == 0;
  const bool locked = RetryLock(may_wait ? lock_wait_ : 0, [this] { return LockAppend(); });
  if (!locked && may_wait) ReportError(plat::kErrLockViolation, kNoSubCode, FileName());
  return locked;
}

void KTO_dBaseDBF::AppendRecord() {
  if (!RequireWritableFormat()) return;
  LoadDeferred();
  const bool locked = TakeAppendLock();
  if (!locked && IsShared() && LockCount() == 0) return;
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
  // Read under this append's lock already (RefreshHeaderForAppend): the
  // count and the size cannot have moved since.
  const bool header_fresh = std::exchange(append_header_fresh_, false);
  if (!header_fresh) RefreshHeader();
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
  const int64_t at = RecordOffset(number);
  const bool end_as_left = appended_end_.size == at + 1 && appended_end_.count == record_count_ &&
                           appended_end_.stamp == change_stamp_;
  appended_end_ = {};
  undo->size = header_fresh ? refreshed_size_ : end_as_left && !IsShared() ? at + 1 : FileSize();
  if (end_as_left && undo->size == at + 1) {
    undo->tail.assign(1, static_cast<char>(kEndOfFileMark));
  } else if (undo->size > at) {
    undo->tail.resize(static_cast<size_t>(std::min<int64_t>(undo->size - at, record_length_ + 1)));
    KTO_DiskFile::ReadAt(at, undo->tail.data(), static_cast<int32_t>(undo->tail.size()));
  }
  undo->armed = true;

  // Visual FoxPro numbers a new record in its autoincrement fields: the
  // next value and the step are in the field's descriptor (bytes 19..22
  // and 23), read afresh under the append lock (another program may have
  // appended) and advanced once the record is written.
  std::vector<std::pair<uint32_t, uint32_t>> advanced;  // descriptor offset, next value
  for (const DbfField& f : fields_) {
    if (!IsVisualFoxPro() || !f.IsAutoIncrement() || f.type != 'I' || f.length != 4) continue;
    uint8_t counter[5];
    if (KTO_DiskFile::ReadAt(f.descriptor_at + 19, counter, 5) != 5) {
      ReportError(kCodeHeaderInvalid, kSubTableHeader, FileName());
      return;
    }
    char* p = record_ + f.offset;
    if (GetLE32(reinterpret_cast<const uint8_t*>(p)) != 0 && !AllBlankBytes(p, 4)) {
      ReportError(kCodeFieldType, kSubFieldType, f.Name() + " is numbered by the table (autoincrement)");
      return;
    }
    const uint32_t next = GetLE32(counter);
    PutLE32(reinterpret_cast<uint8_t*>(p), next);
    advanced.emplace_back(f.descriptor_at + 19, next + counter[4]);
    undo->counters.emplace_back(f.descriptor_at + 19, next);
  }

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
  for (const auto& [at, next] : advanced) {
    uint8_t value[4];
    PutLE32(value, next);
    WriteAt(at, value, 4);
  }
  const bool record_written = LastError() == 0;
  record_count_ = number;
  current_record_ = number;
  undo->header_written = !table_locked_ && IsWritable();
  WriteHeader();
  // Known only when the file ended at or before the new end mark, the
  // record and the header both went out, and the header took the count
  // (a header held under a table lock gets its stamp later).
  if (record_written && LastError() == 0 && undo->header_written && undo->size <= at + record_length_ + 1)
    appended_end_ = {at + record_length_ + 1, record_count_, change_stamp_};
}

void KTO_dBaseDBF::WriteRecord(int32_t number) {
  if (!RequireWritableFormat()) return;
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
  // The number the table gave a record in an autoincrement field stays.
  for (const DbfField& f : fields_) {
    if (!IsVisualFoxPro() || !f.IsAutoIncrement() || undo.tail.empty()) continue;
    if (std::memcmp(record_ + f.offset, undo.tail.data() + f.offset, static_cast<size_t>(f.Width())) != 0) {
      ReportError(kCodeFieldType, kSubFieldType, f.Name() + " is numbered by the table (autoincrement)");
      return;
    }
  }
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
  for (const auto& [at, next] : undo.counters) {
    uint8_t value[4];
    PutLE32(value, next);
    ok = WriteQuiet(at, value, 4) && ok;
  }
  if (undo.header_written) ok = WriteQuiet(0, undo.header, 32) && ok;
  std::memcpy(header_, undo.header, sizeof header_);
  header_dirty_ = undo.header_dirty;
  record_count_ = undo.count;
  appended_end_ = {};
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
      byte = HasIndexFile() ? static_cast<uint64_t>(0x7FFFFFFELL - r)
                            : static_cast<uint64_t>(0x40000000LL + RecordOffset(static_cast<int32_t>(r)));
      break;
    // Visual FoxPro (and Harbour's DBFCDX with its lock scheme) lock record
    // r at A - r whether an index is open or not: a program that writes the
    // table without its index must still meet their record locks.
    case kFoxLock: byte = static_cast<uint64_t>(0x7FFFFFFELL - r); break;
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
  // The memo file goes with the table or neither moves: a memo of the new
  // name that is there already is refused before the table moves.
  if (memo_) {
    const std::string memo_target = plat::FullPath(plat::DirectoryOf(target) + BaseName(target) +
                                                   std::string(ExtensionOf(memo_->GivenName())));
    if (plat::ResolveCase(memo_target) != plat::ResolveCase(memo_->GivenName()) && plat::FileExists(memo_target)) {
      memo_->ReportRenameError(plat::kErrAlreadyExists, memo_target);
      return false;
    }
  }
  const std::string old_name = GivenName();
  if (!KTO_DiskFile::Rename(target)) return false;
  if (!memo_) return true;
  bool moved = false;
  try {
    moved = memo_->RenameMemo(target);
  } catch (...) {
    RenameBack(old_name);
    throw;
  }
  if (!moved) RenameBack(old_name);
  return moved;
}

void KTO_dBaseDBF::RenameBack(const std::string& old_name) {
  // Under the name it had: the failure that brought us here is the one
  // reported, whatever this one does.
  try {
    KTO_DiskFile::Rename(old_name);
  } catch (...) {
  }
}

}  // namespace tessera
