#include "engine/disk_file.h"

#include "engine/errors.h"
#include "engine/file_coll.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace tessera {

KTO_DiskFile::KTO_DiskFile(std::string_view file_name, bool shared, bool writable)
    : shared_(shared), writable_(writable) {
  given_name_ = plat::FullPath(file_name);
  file_name_ = plat::UpperName(given_name_);
  existed_ = plat::FileExists(given_name_);
}

KTO_DiskFile::~KTO_DiskFile() { KTO_DiskFile::Close(); }

bool KTO_DiskFile::Close() {
  if (closed_) return true;
  if (lock_count_ > 0) {
    lock_count_ = 1;
    KTO_DiskFile::Unlock();
  }
  FileRegistry().Remove(this);
  handle_.Close();
  closed_ = true;
  position_ = 0;
  last_error_ = 0;
  lock_count_ = 0;
  return true;
}

void KTO_DiskFile::ReportError(int32_t code, int32_t sub_code, const std::string& info) {
  ReportEngineError(code, sub_code, info);
}

void KTO_DiskFile::ReportIoError(int32_t code, int32_t sub_code) {
  if (code == 0) return;
  plat::SetLastError(code);
  ReportError(code, sub_code, file_name_);
}

int64_t KTO_DiskFile::FileSize() {
  const int64_t size = handle_.Size();
  if (size < 0) {
    last_error_ = plat::LastError();
    ReportIoError(last_error_, kSubSize);
    return 0;
  }
  last_error_ = 0;
  return size;
}

void KTO_DiskFile::Flush() {
  if (!handle_.Flush()) {
    last_error_ = plat::LastError();
    ReportIoError(last_error_, kSubFlush);
    return;
  }
  written_since_flush_ = false;
}

bool KTO_DiskFile::LockWholeFile() {
  if (!shared_) return true;
  return LockRange(0, kWholeFileLength);
}

bool KTO_DiskFile::LockRange(uint64_t offset, uint64_t length) {
  if (!shared_) {
    ++lock_count_;
    lock_offset_ = offset;
    lock_length_ = length;
    lock_shared_ = false;
    return true;
  }
  if (lock_count_ > 0) {
    // One object holds one range at a time; the same range nests.
    if (offset == lock_offset_ && length == lock_length_ && !lock_shared_) {
      ++lock_count_;
      return true;
    }
    last_error_ = plat::kErrLockViolation;
    return false;
  }
  if (!handle_.Lock(offset, length)) {
    last_error_ = plat::LastError();
    return false;
  }
  lock_offset_ = offset;
  lock_length_ = length;
  lock_shared_ = false;
  ++lock_count_;
  last_error_ = 0;
  return true;
}

bool KTO_DiskFile::LockRangeShared(uint64_t offset, uint64_t length) {
  if (!shared_ || lock_count_ > 0) {
    if (lock_count_ > 0 && (offset != lock_offset_ || length != lock_length_)) {
      last_error_ = plat::kErrLockViolation;
      return false;
    }
    // Not shared: nobody else to keep out (the count is kept all the same).
    // Held already: either kind covers reading.
    if (lock_count_ == 0) {
      lock_offset_ = offset;
      lock_length_ = length;
      lock_shared_ = shared_;
    }
    ++lock_count_;
    return true;
  }
  if (!handle_.LockShared(offset, length)) {
    last_error_ = plat::LastError();
    return false;
  }
  lock_offset_ = offset;
  lock_length_ = length;
  lock_shared_ = true;
  ++lock_count_;
  last_error_ = 0;
  return true;
}

int32_t KTO_DiskFile::ReadAt(int64_t offset, void* buffer, int32_t count) {
  if (count <= 0) {
    bytes_moved_ = 0;
    return 0;
  }
  const int64_t n = handle_.ReadAt(offset, buffer, count);
  if (n < 0) {
    last_error_ = plat::LastError();
    bytes_moved_ = 0;
    ReportIoError(last_error_, kSubRead);
    return 0;
  }
  bytes_moved_ = static_cast<int32_t>(n);
  position_ = offset + n;
  // A short read is judged by the caller; it is only noted here.
  last_error_ = n < count ? kCodeShortRead : 0;
  return bytes_moved_;
}

int64_t KTO_DiskFile::ReadShared(int64_t offset, void* buffer, int64_t count) const {
  // FileHandle::ReadAt keeps no state of its own (pread, the error in a
  // per-thread slot); only the handle's descriptor is shared.
  return const_cast<plat::FileHandle&>(handle_).ReadAt(offset, buffer, count);
}

bool KTO_DiskFile::Rename(std::string_view new_name) {
  const std::string target = plat::FullPath(new_name);
  // Renaming never replaces another file (the system's rename would
  // destroy it without a word); the check comes before anything changes.
  const bool itself = plat::ResolveCase(target) == plat::ResolveCase(given_name_);
  if (!itself && plat::FileExists(target)) {
    ReportRenameError(plat::kErrAlreadyExists, target);
    return false;
  }
  if (!Close()) {
    last_error_ = kCodeNotAssigned;
    ReportIoError(last_error_, kSubRename);
    return false;
  }
  if (!plat::RenameFileNoReplace(given_name_, target)) {
    const int32_t error = plat::LastError();
    // Reopened under the old name before reporting, so the object stays
    // usable; the error is the rename's, not the reopen's.
    Open();
    ReportRenameError(error, target);
    return false;
  }
  given_name_ = target;
  file_name_ = plat::UpperName(target);
  Open();
  return true;
}

void KTO_DiskFile::ReportRenameError(int32_t error, const std::string& target) {
  last_error_ = error != 0 ? error : plat::kErrAccessDenied;
  plat::SetLastError(last_error_);
  ReportError(last_error_, kSubRename, file_name_ + " -> " + plat::UpperName(target));
}

void KTO_DiskFile::Open() {
  handle_ = plat::FileHandle::Open(given_name_, writable_, shared_);
  if (!handle_.valid()) {
    last_error_ = plat::LastError();
    ReportIoError(last_error_, kSubOpen);
    return;
  }
  last_error_ = 0;
  position_ = 0;
  lock_count_ = 0;
  lock_shared_ = false;
  FileRegistry().Add(this);
  closed_ = false;
}

void KTO_DiskFile::Create() {
  plat::FileHandle created = plat::FileHandle::Create(given_name_, true, false);
  if (!created.valid()) {
    last_error_ = plat::LastError();
    ReportIoError(last_error_, kSubCreate);
    return;
  }
  created.Close();
  Open();
}

void KTO_DiskFile::StatusUpdate(int32_t, int32_t, int32_t) {}

void KTO_DiskFile::Truncate(int64_t offset) {
  // A lock from 0 that reaches at least as far as the whole-file lock (an
  // index file's rebuild lock also covers its lock bytes beyond it).
  const bool whole_locked = lock_count_ > 0 && !lock_shared_ && lock_offset_ == 0 && lock_length_ >= kWholeFileLength;
  if (!writable_ || (shared_ && !whole_locked)) {
    last_error_ = plat::kErrAccessDenied;
    ReportIoError(last_error_, kSubTruncate);
    return;
  }
  if (!handle_.SetEnd(offset)) {
    last_error_ = plat::LastError();
    ReportIoError(last_error_, kSubTruncate);
    return;
  }
  position_ = offset;
  last_error_ = 0;
}

bool KTO_DiskFile::Unlock() {
  if (lock_count_ <= 0) return true;
  if (shared_ && lock_count_ == 1) {
    if (!handle_.Unlock(lock_offset_, lock_length_)) {
      last_error_ = plat::LastError();
      return false;
    }
  }
  if (--lock_count_ == 0) lock_shared_ = false;
  return true;
}

void KTO_DiskFile::WriteAt(int64_t offset, const void* data, int32_t count) {
  if (count <= 0) {
    bytes_moved_ = 0;
    return;
  }
  if (!handle_.WriteAt(offset, data, count)) {
    last_error_ = plat::LastError();
    bytes_moved_ = 0;
    ReportIoError(last_error_, kSubWrite);
    return;
  }
  bytes_moved_ = count;
  position_ = offset + count;
  written_since_flush_ = true;
  last_error_ = 0;
}

bool KTO_DiskFile::WriteQuiet(int64_t offset, const void* data, int32_t count) {
  if (count <= 0) return true;
  if (!handle_.WriteAt(offset, data, count)) return false;
  written_since_flush_ = true;
  return true;
}

bool KTO_DiskFile::CutBack(int64_t length) { return writable_ && handle_.SetEnd(length); }

}  // namespace tessera
