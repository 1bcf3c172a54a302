#include "platform/last_error.h"

#include <cerrno>

namespace plat {
namespace {
thread_local int32_t g_last_error = 0;
}

int32_t LastError() { return g_last_error; }
void SetLastError(int32_t code) { g_last_error = code; }

int32_t MapErrno(int err) {
  switch (err) {
    case 0: return kErrNone;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case ELOOP: return kErrPathNotFound;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY: return kErrAccessDenied;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EIO: return kErrReadFault;
    case EAGAIN: return kErrLockViolation;
    case EINVAL:
    case EOVERFLOW:
    case EFBIG: return kErrInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrDiskFull;
    case EEXIST:
    case ENOTEMPTY: return kErrAlreadyExists;
    case ENAMETOOLONG: return kErrFilenameTooLong;
    default: return kErrAccessDenied;
  }
}

int32_t SetLastErrorFromErrno(int err) {
  g_last_error = MapErrno(err);
  return g_last_error;
}

}  // namespace plat
