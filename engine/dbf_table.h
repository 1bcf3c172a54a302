// KTO_dBaseDBF: one dBase table file. It reads and checks the header and the
// field descriptors, keeps a buffer for the current record, reads a record
// by number, appends and rewrites records, rewrites the header with the
// date, record count and a change stamp, and maps table and record locks
// onto byte ranges by a lock protocol.
//
// The file (integers little-endian), in the layout of dBase III, dBase IV,
// FoxPro and Visual FoxPro:
//   0            32 bytes   header (below)
//   32           32 * n     field descriptors (below), in field order
//   32 + 32n     1          0x0D, end of the descriptors
//   33 + 32n     263        Visual FoxPro only: the backlink, the path of
//                           the database container the table belongs to
//                           (NUL-terminated; all zeros for a free table)
//   header len   reclen*N   the records, record 1 first, no gaps
//   end          1          0x1A after the last record
//
// Header:
//   0   version byte (VersionName lists those read; the layout and memo
//       file follow from it)
//   1-3 date of the last update: year - 1900 (Visual FoxPro tables: year
//       modulo 100), month, day; both are read
//   4   record count: trusted unless more whole records follow it in the
//       file (see CountRecords)
//   8   header length = offset of record 1
//   10  record length, deletion flag included
//   12  reserved (STEP 7 keeps a time stamp in 12..19)
//   15  0x01: a dBase IV enciphered table; any other value means nothing
//   16  change stamp: ((hour*64 + minute)*64 + second)*1024 + millisecond
//   20  user identifier of the last writer
//   28  flags: 0x01 structural index, 0x02 memo file, 0x04 the table is a
//       Visual FoxPro database container
//   29  language driver: the code page of the table's texts (0: none)
//
// Field descriptor (32 bytes):
//   0   name, up to 10 characters, NUL-padded
//   11  type letter
//   12  offset in the record (not trusted: computed from the widths)
//   16  length; for C the low byte of the width
//   17  decimals; for C the high byte of the width
//   18  Visual FoxPro: field flags (dbf_field.h)
//   19  Visual FoxPro autoincrement: next value (int32 LE), 23: step (1 byte)
//
// dBase 7 (0x04, 0x8C): the header is 68 bytes (32..63 the language
// driver's name), descriptors are 48 bytes: name 0..31, type 32, length
// 33, decimals 34, next autoincrement value 40..43; a field properties
// area follows the 0x0D and ends at the header length.
//
// FoxBASE / dBase II (0x02): an 8-byte header (1..2 record count uint16,
// 3..5 month, day and year of the last update, 6..7 record length),
// 16-byte descriptors from offset 8 (name 0..10, type 11, length 12,
// offset 13..14, decimals 15), 0x0D after the last one; the records begin
// at 521, after room for 32 descriptors.
//
// Headers other programs wrote are read as those programs' readers read
// them, with a warning (HeaderWarnings): a missing 0x0D, a field of width
// 0, a record length one byte short of the fields (the fields decide).
//
// A record is byte 0 = ' ' (live) or '*' (deleted), then the fields.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dbf_field.h"
#include "engine/disk_file.h"
#include "engine/lock_protocol.h"
#include "engine/record_view.h"
#include "engine/settings.h"

namespace tessera {

class KTobjMemo;

// How a table's header and descriptors are laid out.
enum class TableLayout : uint8_t { kDBase2, kDBase3, kDBase7, kVisualFoxPro };
// Which memo file goes with a table.
enum class MemoKind : uint8_t { kNone, kDBase3, kDBase4, kFoxPro };

// Record events passed to RecordEvent.
enum RecordEventCode : int {
  kEventBlank = 0,         // the record buffer was blanked
  kEventOpened = 2,        // table opened
  kEventBeforeRead = 4,    // number or move code
  kEventBeforeWrite = 5,   // record number, 0 for an append
  kEventAfterRead = 6,     // record number
  kEventAfterWrite = 7,    // record number, 0 for an append
  kEventAfterFlush = 8,    // current record number
};

// Move codes of GotoRecord (and of index navigation).
enum MoveCode : int32_t {
  kMoveNext = -1,
  kMovePrior = -2,
  kMoveFirst = -3,
  kMoveLast = -4,
  kMoveCurrent = -5,
};

// Table states.
enum TableState : uint8_t { kStateNormal = 1, kStateIndexing = 4, kStateEnciphering = 5 };

class KTO_dBaseDBF : public KTO_DiskFile {
 public:
  static constexpr int kMaxFields = 4096;
  static constexpr int kMaxRecordLength = 65520;

  // Opens the table. The name is trimmed, gets ".DBF" when it has no
  // extension and is upper-cased for identity. Failures raise.
  KTO_dBaseDBF(std::string_view file_name, bool shared, bool writable);
  ~KTO_dBaseDBF() override;

  // Virtual operations added by the table, in slot order after the disk
  // file's.
  /* 14 */ virtual void AppendRecord();
  /* 15 */ virtual void RecordEvent(int event, int32_t record);
  /* 16 */ virtual void GotoRecord(int32_t number);
  /* 17 */ virtual bool LockAppend();
  /* 18 */ virtual bool LockTable();
  /* 19 */ virtual bool LockAllBytes();
  /* 20 */ virtual bool UnlockTable();
  /* 21 */ virtual bool LockRecord();
  /* 22 */ virtual void WriteRecord(int32_t number);
  /* 23 */ virtual void SetLockProtocol(int kind);
  /* 24 */ virtual bool HasIndexFile();

  // Flush and Rename also act on the memo file. Rename moves the table and
  // its memo file or neither (a memo that cannot follow takes the table
  // back to its old name).
  void Flush() override;
  bool Rename(std::string_view new_name) override;

  // Takes the append lock an append needs, waiting for the engine's lock
  // wait while another program holds it; a lock that stays refused is
  // reported (and raises). False, without a lock, when this table holds
  // another lock of its own (a record lock): the append goes on under
  // that, as it always did. A true result is released with UnlockTable.
  bool TakeAppendLock();
  // How long TakeAppendLock waits (milliseconds; the engine's lock wait by
  // default).
  void SetLockWait(int milliseconds) { lock_wait_ = milliseconds < 0 ? 0 : milliseconds; }
  int LockWait() const { return lock_wait_; }

  // Re-reads the header of a shared table and recounts its records from the
  // file size; notes whether another process changed it.
  void RefreshHeader();
  // RefreshHeader for an append about to be made under the lock this table
  // holds now: the append (AppendUnderLock) goes on from the header and the
  // size read here instead of reading both again, since nobody else can
  // append while the lock is held. Only the record write that asked for it
  // may rely on it: ForgetAppendHeader when that write ends, however it ends.
  void RefreshHeaderForAppend();
  void ForgetAppendHeader() { append_header_fresh_ = false; }
  // Rewrites a dirty header unless a table lock defers it.
  void WriteHeader();

  // The current record: RecordLength() bytes (plus a 0x1A after them).
  // A record reached by a deferred move (DeferRecord) is read here, on
  // the first access to its bytes.
  char* RecordBuffer() {
    LoadDeferred();
    return record_;
  }
  const char* RecordBuffer() const {
    if (t_thread_record.table == this) return t_thread_record.bytes;
    LoadDeferred();
    return record_;
  }
  // Points the accessors at another buffer of RecordLength() bytes (a
  // scratch record); null restores the table's own.
  void SetRecordBuffer(char* buffer) { record_ = buffer != nullptr ? buffer : own_record_.data(); }
  const std::string& SavedRecord() const {
    LoadDeferred();
    return saved_record_;
  }
  // The saved record as a buffer the accessors can be pointed at (the index
  // key maintenance evaluates the old keys of a rewritten record on it).
  char* SavedRecordBuffer() {
    LoadDeferred();
    return saved_record_.data();
  }
  // The current record's bytes for reading only. A deferred record is not
  // copied when the table file is mapped: its bytes are read where they
  // lie. Valid until the next move, write or access to the buffer.
  const char* RecordBytes() const {
    if (t_thread_record.table == this) return t_thread_record.bytes;
    if (deferred_ != 0 && record_ == own_record_.data() && view_ != nullptr && deferred_ <= record_count_ &&
        RecordOffset(deferred_) + record_length_ <= view_length_) {
      deferred_read_ = true;
      return view_ + RecordOffset(deferred_);
    }
    return RecordBuffer();
  }
  // Whether the bytes of the record the last DeferRecord reached were
  // read (wholly or in place); a walk whose records are read fetches ahead.
  bool DeferredRecordRead() const { return deferred_ == 0 || deferred_read_; }
  bool IsDeleted() const { return RecordBytes()[0] == '*'; }
  // Asks the processor to fetch the start of record `number` (its mark and
  // first fields) from the table's view, when there is one, so that a walk
  // that reads records does not wait for each in turn.
  void PrefetchRecord(int32_t number) const {
    if (view_ == nullptr || number < 1 || number > record_count_) return;
    const int64_t at = RecordOffset(number);
    if (at + record_length_ > view_length_) return;
    FetchLine(view_ + at);
    FetchLine(view_ + at + std::min<int32_t>(record_length_ - 1, 63));
  }

  // Makes record `number` (1 .. RecordCount()) current as GotoRecord does,
  // with its read and after-read events, but leaves its bytes on disk until
  // something reads the record buffer or the saved record. Only a table
  // opened exclusively defers (nobody else can change a record between the
  // move and the read); otherwise, and for a number outside the table,
  // this is GotoRecord.
  void DeferRecord(int32_t number);
  // The record whose bytes are still to be read (0: none).
  int32_t DeferredRecord() const { return deferred_; }
  // A read-only image of the table file's first `length` bytes in memory
  // (an exclusive open's mapping) that RecordBytes may read deferred
  // records from; null: none.
  void SetRecordView(const char* view, int64_t length) {
    view_ = view;
    view_length_ = view != nullptr ? length : 0;
  }

  // A name for a version byte ("dBase IV with .DBT memo"), null for a
  // version byte this engine does not read.
  static const char* VersionName(uint8_t version);

  uint8_t Version() const { return version_; }
  TableLayout Layout() const { return layout_; }
  bool IsVisualFoxPro() const { return layout_ == TableLayout::kVisualFoxPro; }
  bool IsDBase7() const { return layout_ == TableLayout::kDBase7; }
  MemoKind MemoFileKind() const { return memo_kind_; }
  // The code page mark of the header (language driver, byte 29); 0 when
  // there is none.
  uint8_t CodePageMark() const { return layout_ == TableLayout::kDBase2 ? 0 : header_[29]; }
  // The code page of the table's texts (Windows numbering, see
  // platform/text_codepage.h): the one SetTextCodePage chose, else the one
  // the header's mark names, else CP866, the callbook's, whose tables
  // carry no mark.
  int TextCodePage() const;
  // Overrides the header's mark (0: the header's again).
  void SetTextCodePage(int number) { code_page_override_ = number; }
  // The record count the header holds (RecordCount may differ, see
  // CountRecords).
  uint32_t HeaderRecordCount() const;
  // Year, month and day of the last update as the header holds them.
  void LastUpdate(int* year, int* month, int* day) const;
  // What was read other than the format says (see the top of this file),
  // one sentence each; empty for a table laid out as its format says.
  const std::vector<std::string>& HeaderWarnings() const { return header_warnings_; }
  // Why records of this table cannot be written ("dBase 7 tables are
  // read here, not written"); empty when they can.
  const std::string& ReadOnlyReason() const { return read_only_reason_; }
  // Reports error 1012 ("read-only format") when the table cannot be
  // written; every write checks first, so nothing is changed.
  bool RequireWritableFormat();
  // The number of the _NullFlags field of a Visual FoxPro table, 0 when
  // there is none.
  int NullFlagsField() const { return null_flags_field_; }
  int32_t RecordCount() const { return record_count_; }
  int32_t HeaderLength() const { return header_length_; }
  int32_t RecordLength() const { return record_length_; }
  int32_t FieldCount() const { return static_cast<int32_t>(fields_.size()); }
  const DbfField& Field(int number) const { return fields_[static_cast<size_t>(number - 1)]; }
  DbfField& MutableField(int number) { return fields_[static_cast<size_t>(number - 1)]; }
  const std::vector<DbfField>& Fields() const { return fields_; }
  const uint8_t* HeaderImage() const { return header_; }
  // Visual FoxPro: the path of the database container the table belongs
  // to, as the backlink after the descriptors holds it (relative to the
  // table's folder, "\\" separators); empty for a free table.
  const std::string& ContainerLink() const { return container_link_; }
  // (A thread's RecordView answers for the thread that holds it.)
  int32_t CurrentRecord() const {
    return t_thread_record.table == this ? t_thread_record.number : current_record_;
  }
  void SetCurrentRecord(int32_t n) { current_record_ = n; }

  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  void SetEof(bool v) { eof_ = v; }
  void SetBof(bool v) { bof_ = v; }

  bool HasMemo() const { return has_memo_; }
  bool StructuralIndex() const { return structural_index_; }
  // Marks the table as having a structural compound index and writes the
  // flag to the header at once (when the index is created).
  void SetStructuralIndex(bool on);
  bool ChangedByOther() const { return changed_by_other_; }
  bool RecordWritten() const { return record_written_; }
  bool RecordChanged() const { return record_changed_; }
  void SetRecordChanged(bool v) { record_changed_ = v; }
  bool UseDeleted() const { return use_deleted_; }
  void SetUseDeleted(bool v) { use_deleted_ = v; }
  bool AutoFlush() const { return auto_flush_; }
  void SetAutoFlush(bool v) { auto_flush_ = v; }
  int32_t UserId() const { return user_id_; }
  void SetUserId(int32_t id) { user_id_ = id; }
  uint8_t TableState() const { return table_state_; }
  void SetTableState(uint8_t s) { table_state_ = s; }
  bool TableLocked() const { return table_locked_; }
  int LockProtocol() const { return lock_protocol_; }
  const LockOffsets& Locks() const { return locks_; }
  std::vector<uint8_t>& FieldChangedMarks() { return field_changed_; }
  int32_t ChangeStamp() const { return change_stamp_; }

  // The memo file of the table, opened on first need; null when the table
  // has none.
  KTobjMemo* MemoFile();
  // The name of the table's memo file ("" when it has none), and whether
  // it should have one that is not there (a table copied without it).
  std::string MemoFileName() const;
  bool MemoFileMissing() const;

  // What a record write changed, for taking it back when a later step of
  // the same write (the header, the index keys) fails.
  struct WriteUndo {
    bool armed = false;
    bool append = false;
    bool header_written = false;
    bool header_dirty = false;
    int32_t number = 0;   // the record written
    int32_t count = 0;    // record count before
    int32_t current = 0;  // current record before
    int64_t size = 0;     // append: file size before
    std::string tail;     // edit: the old record; append: the old bytes at its place
    // Append: the autoincrement counters advanced (descriptor offset of the
    // counter, its value before).
    std::vector<std::pair<uint32_t, uint32_t>> counters;
    uint8_t header[32] = {};
  };
  // Puts the file back as the undo record says (table, header, count);
  // reports nothing. False when a step of the undo failed too.
  bool UndoWrite(const WriteUndo& undo);
  // The last record write failed and could not be taken back whole: the
  // table may hold (part of) a record its indexes do not know.
  bool UndoFailed() const { return undo_failed_; }
  void ClearUndoFailed() { undo_failed_ = false; }

  // Byte offset of a record in the file.
  int64_t RecordOffset(int32_t record) const {
    return header_length_ + static_cast<int64_t>(record - 1) * record_length_;
  }

 private:
  void ReadStructure();
  // Reads the field descriptors from the header (checked, offsets and
  // numbers computed); false after a report when they cannot be used.
  bool ReadDescriptors(int64_t file_size);
  // Visual FoxPro: gives each nullable and variable-length field its bits
  // in _NullFlags.
  void AssignNullFlagBits();
  // The records of the table: the header's count, unless whole records
  // beginning with a deletion flag follow it (appended by a writer that
  // stopped before it rewrote the header: they count); never more than
  // the file holds. `known` records are already known to be records.
  int32_t CountRecords(uint32_t header_count, int64_t file_size, int32_t known);
  // A prefetch of the cache line holding *p. (GCC 12 drops
  // __builtin_prefetch under a condition on the pointer, so on x86 the
  // instruction is written out.)
  static void FetchLine(const char* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
#endif
  }
  void LoadDeferred() const {
    if (deferred_ != 0) const_cast<KTO_dBaseDBF*>(this)->ReadDeferred();
  }
  void ReadDeferred();
  bool LockTableRange(uint64_t offset, uint64_t length);
  // Renames the table file alone back to `old_name` after a later step of
  // a rename failed.
  void RenameBack(const std::string& old_name);
  void AppendUnderLock(WriteUndo* undo);

  uint8_t header_[32] = {};
  uint8_t version_ = 0;
  int32_t record_count_ = 0;
  int32_t header_length_ = 0;
  int32_t record_length_ = 0;
  std::vector<DbfField> fields_;
  TableLayout layout_ = TableLayout::kDBase3;
  MemoKind memo_kind_ = MemoKind::kNone;
  std::vector<std::string> header_warnings_;
  std::string read_only_reason_;
  int null_flags_field_ = 0;
  int code_page_override_ = 0;
  int driver_name_code_page_ = 0;  // dBase 7: the code page its language driver's name gives
  std::string container_link_;
  std::string own_record_;    // record length + 1 bytes, the last one 0x1A
  char* record_ = nullptr;    // the buffer the accessors work on
  std::string saved_record_;  // the current record as last read or written
  std::vector<uint8_t> field_changed_;
  int32_t current_record_ = 0;
  // A record made current by DeferRecord whose bytes are not read yet;
  // the table's own buffer and the saved record still hold the previous
  // record's bytes until then.
  int32_t deferred_ = 0;
  mutable bool deferred_read_ = false;  // see DeferredRecordRead
  const char* view_ = nullptr;  // see SetRecordView; not owned
  int64_t view_length_ = 0;
  bool eof_ = false;
  bool bof_ = true;
  bool header_dirty_ = false;
  uint8_t table_state_ = kStateNormal;
  bool table_locked_ = false;
  bool structural_index_ = false;
  bool has_memo_flag_ = false;  // bit 0x02 of byte 28, kept to be written back
  bool in_container_ = false;
  int32_t change_stamp_ = 0;
  bool changed_by_other_ = false;
  // The file's size as the last RefreshHeader of a shared table took it.
  int64_t refreshed_size_ = -1;
  // RefreshHeaderForAppend read the header and the size for the append in
  // progress; AppendUnderLock takes them and clears this.
  bool append_header_fresh_ = false;
  // The end of the file as this object's last append left it: the size,
  // with the end mark it wrote as the last byte, and the record count and
  // stamp it wrote into the header. While the table still has that count
  // and stamp (read again under the append lock when shared) and the size
  // is the one its layout gives for them, the next append knows the byte
  // it writes over without reading it, and, opened exclusively, the size
  // without asking. Cleared by an undo and by a new reading of the
  // structure; size -1: not known.
  struct AppendedEnd {
    int64_t size = -1;
    int32_t count = -1;
    int32_t stamp = 0;
  };
  AppendedEnd appended_end_;
  bool record_written_ = false;
  bool undo_failed_ = false;
  bool record_changed_ = false;
  bool use_deleted_ = true;
  bool auto_flush_ = false;
  int32_t user_id_ = 0;
  bool has_memo_ = false;
  std::unique_ptr<KTobjMemo> memo_;
  int lock_protocol_ = kDefaultLock;
  LockOffsets locks_;
  int lock_wait_ = kLockWaitTotal;
};

}  // namespace tessera
