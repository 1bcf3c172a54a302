// The engine reports platform failures by their Windows error numbers: its
// message list and every caller that inspects a failed lock are keyed on
// them. This file maps POSIX errno values onto that numbering and keeps the
// per-thread "last error" the engine reads after a failed call.
#pragma once

#include <cstdint>

namespace plat {

// Windows error numbers this layer produces.
enum WinError : int32_t {
  kErrNone = 0,
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyOpenFiles = 4,
  kErrAccessDenied = 5,
  kErrInvalidHandle = 6,
  kErrNotEnoughMemory = 8,
  kErrWriteProtect = 19,
  kErrWriteFault = 29,
  kErrReadFault = 30,
  kErrSharingViolation = 32,
  kErrLockViolation = 33,
  kErrHandleEof = 38,
  kErrInvalidParameter = 87,
  kErrDiskFull = 112,
  kErrAlreadyExists = 183,
  kErrFilenameTooLong = 206,
};

// The last error of the calling thread (0 after a successful call that
// clears it; calls never clear it on their own unless documented).
int32_t LastError();
void SetLastError(int32_t code);

// Maps an errno value to the Windows number. Lock conflicts (EAGAIN, EACCES
// from fcntl) are not mapped here: the lock call knows it was a lock.
int32_t MapErrno(int err);

// SetLastError(MapErrno(err)) and returns the mapped number.
int32_t SetLastErrorFromErrno(int err);

}  // namespace plat
