// KTO_DiskFile: one file on disk, read and written at explicit offsets,
// opened shared or exclusive, read-only or read-write, with byte-range
// locking and error reporting. Tables, memo files and index files are disk
// files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace tessera {

class KTO_DiskFile {
 public:
  // Whole-file lock length (LockWholeFile, LockAllBytes, Truncate's check).
  static constexpr uint64_t kWholeFileLength = 0x7FFFFFFF;

  // Makes the name absolute and keeps it upper-cased as the file's identity
  // (the spelling given is kept for creating the file). Opens nothing.
  KTO_DiskFile(std::string_view file_name, bool shared, bool writable);
  virtual ~KTO_DiskFile();
  KTO_DiskFile(const KTO_DiskFile&) = delete;
  KTO_DiskFile& operator=(const KTO_DiskFile&) = delete;

  // Virtual operations, in slot order.
  /* 0 */ virtual bool Close();
  /* 1 */ virtual void ReportError(int32_t code, int32_t sub_code, const std::string& info);
  /* 2 */ virtual int64_t FileSize();
  /* 3 */ virtual void Flush();
  /* 4 */ virtual bool LockWholeFile();
  /* 5 */ virtual bool LockRange(uint64_t offset, uint64_t length);
  /* 6 */ virtual int32_t ReadAt(int64_t offset, void* buffer, int32_t count);
  // Rename: closes, renames and reopens the file. It never replaces
  // another file: an existing target is refused (183, "File already
  // exists") before anything changes. Every failure is reported, naming
  // the file and the target; the file stays open under its old name.
  /* 7 */ virtual bool Rename(std::string_view new_name);
  /* 8 */ virtual void Open();
  /* 9 */ virtual void Create();
  /* 10 */ virtual void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3);
  /* 11 */ virtual void Truncate(int64_t offset);
  /* 12 */ virtual bool Unlock();
  /* 13 */ virtual void WriteAt(int64_t offset, const void* data, int32_t count);

  // A shared lock of a byte range, by the rules of LockRange: readers hold
  // it beside each other, a writer's LockRange of the range waits for
  // them. Asked while this object holds the same range (either kind) it
  // only counts up: a held exclusive lock covers reading. LockRange of a
  // range held shared fails with 33 (no lock is turned from shared into
  // exclusive: two readers doing that at once would wait for each other).
  bool LockRangeShared(uint64_t offset, uint64_t length);
  // The lock held is a shared one.
  bool LockIsShared() const { return lock_shared_; }

  // Undoing a write that failed half-way. Neither reports a failure (the
  // first failure is the one the caller raises); both answer success.
  // CutBack shortens the file to a length it had before this writer
  // extended it, without the whole-file lock Truncate asks for: the writer
  // holds the lock that keeps everyone else from writing past that length.
  bool WriteQuiet(int64_t offset, const void* data, int32_t count);
  bool CutBack(int64_t length);

  // Reads like ReadAt but notes nothing in this object (position, error)
  // and reports nothing, so that other threads may read the file at the
  // same time as its owner works with it: the bytes read (short at the
  // end of the file), or -1 with the platform's last error set on the
  // calling thread.
  int64_t ReadShared(int64_t offset, void* buffer, int64_t count) const;

  // Code 0 does nothing; otherwise sets the platform's last error to Code
  // and reports (Code, SubCode, file name).
  void ReportIoError(int32_t code, int32_t sub_code);
  // Reports a rename that failed with `error` (183: the target exists),
  // naming this file and the target; keeps the error as last error.
  void ReportRenameError(int32_t error, const std::string& target);

  // Upper-cased full path: identity and message text.
  const std::string& FileName() const { return file_name_; }
  // Full path with the caller's spelling.
  const std::string& GivenName() const { return given_name_; }
  bool IsShared() const { return shared_; }
  bool IsWritable() const { return writable_; }
  bool IsClosed() const { return closed_; }
  bool ExistedAtCreation() const { return existed_; }
  int32_t LastError() const { return last_error_; }
  void SetLastError(int32_t code) { last_error_ = code; }
  int64_t Position() const { return position_; }
  int32_t BytesMoved() const { return bytes_moved_; }
  int32_t LockCount() const { return lock_count_; }
  uint64_t LockOffset() const { return lock_offset_; }
  uint64_t LockLength() const { return lock_length_; }
  bool WrittenSinceFlush() const { return written_since_flush_; }
  // Bytes reached the file past WriteAt (through a mapping of it).
  void NoteWritten() { written_since_flush_ = true; }

 protected:
  // Counts one more level of the lock already held.
  void NestLock() { ++lock_count_; }

 private:
  plat::FileHandle handle_;
  int32_t last_error_ = 0;
  bool existed_ = false;
  std::string file_name_;
  std::string given_name_;
  int64_t position_ = 0;
  bool shared_;
  bool writable_;
  int32_t bytes_moved_ = 0;
  int32_t lock_count_ = 0;
  uint64_t lock_offset_ = 0;
  uint64_t lock_length_ = 0;
  bool lock_shared_ = false;
  bool written_since_flush_ = false;
  bool closed_ = true;
};

}  // namespace tessera
