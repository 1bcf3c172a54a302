#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/last_error.h"
#include "platform/path.h"
#include "platform/write_faults.h"

namespace plat {
namespace {

// Takes or releases an OFD lock; returns errno (0 on success).
int OfdLock(int fd, short type, uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // required by OFD locks
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
  return errno;
}

bool IsLockConflict(int err) { return err == EAGAIN || err == EACCES; }

// Opens the descriptor. Even a read-only open asks for O_RDWR when the file
// permits it: an exclusive byte-range lock needs a descriptor open for
// writing, and the engine locks records and index files on tables it only
// reads. Writes stay refused by FileHandle itself.
int OpenDescriptor(const std::string& name, bool writable, int extra_flags, bool* rw) {
  int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC | extra_flags, 0666);
  if (fd >= 0) {
    *rw = true;
    return fd;
  }
  if (writable || (errno != EACCES && errno != EROFS && errno != EPERM)) return -1;
  fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | (extra_flags & ~(O_CREAT | O_TRUNC)));
  *rw = false;
  return fd;
}

// The error a test's failing disk gives this call, 0 to go ahead.
int32_t InjectedFault(int fd, int64_t end) {
  bool grows = false;
  if (ArmedWriteFault() == WriteFault::kDiskFull) {
    struct stat st;
    grows = ::fstat(fd, &st) != 0 || end > st.st_size;
  }
  return WriteFaultFor(grows);
}

}  // namespace

FileHandle::~FileHandle() { Close(); }

FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd_(other.fd_), writable_(other.writable_), lock_writable_(other.lock_writable_) {
  other.fd_ = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    writable_ = other.writable_;
    lock_writable_ = other.lock_writable_;
    other.fd_ = -1;
  }
  return *this;
}

FileHandle FileHandle::Open(std::string_view path, bool writable, bool shared) {
  const std::string name = ResolveCase(path);
  bool rw = false;
  const int fd = OpenDescriptor(name, writable, 0, &rw);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return FileHandle();
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(kErrAccessDenied);
    return FileHandle();
  }
  // Share mode. Without write access to the descriptor an exclusive open can
  // only take a read lock: it then keeps out exclusive opens but not shared
  // readers, which is the best a read-only file allows.
  const short mark = (!shared && rw) ? F_WRLCK : F_RDLCK;
  const int err = OfdLock(fd, mark, kOpenMarkOffset, 1);
  if (err != 0) {
    ::close(fd);
    SetLastError(IsLockConflict(err) ? kErrSharingViolation : MapErrno(err));
    return FileHandle();
  }
  SetLastError(kErrNone);
  return FileHandle(fd, writable, rw);
}

FileHandle FileHandle::Create(std::string_view path, bool writable, bool shared) {
  const std::string name = ResolveCase(path);
  // Refuse to empty a file another open holds; the share lock is checked on
  // a descriptor opened without O_TRUNC first.
  int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return FileHandle();
  }
  int err = OfdLock(fd, F_WRLCK, kOpenMarkOffset, 1);
  if (err != 0) {
    ::close(fd);
    SetLastError(IsLockConflict(err) ? kErrSharingViolation : MapErrno(err));
    return FileHandle();
  }
  if (::ftruncate(fd, 0) != 0) {
    err = errno;
    ::close(fd);
    SetLastErrorFromErrno(err);
    return FileHandle();
  }
  ::close(fd);
  return Open(name, writable, shared);
}

FileHandle FileHandle::CreateTemporary(std::string_view directory) {
  const std::string dir(directory.empty() ? std::string_view(".") : directory);
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // O_TMPFILE is refused by file systems without support for it (and by
  // kernels that do not know it, which see a directory opened for writing).
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = dir + "/tessera-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return FileHandle();
  }
  SetLastError(kErrNone);
  return FileHandle(fd, true, true);
}

bool FileHandle::Close() {
  if (fd_ < 0) return false;
  ::close(fd_);  // releases every OFD lock of this open
  fd_ = -1;
  return true;
}

int64_t FileHandle::ReadAt(int64_t offset, void* buffer, int64_t count) {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), -1;
  if (offset < 0 || count < 0) return SetLastError(kErrInvalidParameter), -1;
  int64_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = ::pread(fd_, p + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

bool FileHandle::WriteAt(int64_t offset, const void* data, int64_t count) {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), false;
  if (!writable_) return SetLastError(kErrAccessDenied), false;
  if (offset < 0 || count < 0) return SetLastError(kErrInvalidParameter), false;
  if (const int32_t fault = InjectedFault(fd_, offset + count)) return SetLastError(fault), false;
  int64_t done = 0;
  const auto* p = static_cast<const char*>(data);
  while (done < count) {
    const ssize_t n = ::pwrite(fd_, p + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return false;
    }
    done += n;
  }
  return true;
}

int64_t FileHandle::Size() {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), -1;
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return st.st_size;
}

bool FileHandle::Flush() {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), false;
  if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FileHandle::SetEnd(int64_t length) {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), false;
  if (!writable_) return SetLastError(kErrAccessDenied), false;
  if (length < 0) return SetLastError(kErrInvalidParameter), false;
  if (const int32_t fault = InjectedFault(fd_, length)) return SetLastError(fault), false;
  if (::ftruncate(fd_, length) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FileHandle::Lock(uint64_t offset, uint64_t length) {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), false;
  if (length == 0 || offset > static_cast<uint64_t>(LLONG_MAX) - length)
    return SetLastError(kErrInvalidParameter), false;
  const int err = OfdLock(fd_, lock_writable_ ? F_WRLCK : F_RDLCK, offset, length);
  if (err != 0) {
    SetLastError(IsLockConflict(err) ? kErrLockViolation : MapErrno(err));
    return false;
  }
  return true;
}

bool FileHandle::LockShared(uint64_t offset, uint64_t length) {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), false;
  if (length == 0 || offset > static_cast<uint64_t>(LLONG_MAX) - length)
    return SetLastError(kErrInvalidParameter), false;
  const int err = OfdLock(fd_, F_RDLCK, offset, length);
  if (err != 0) {
    SetLastError(IsLockConflict(err) ? kErrLockViolation : MapErrno(err));
    return false;
  }
  return true;
}

bool FileHandle::Unlock(uint64_t offset, uint64_t length) {
  if (fd_ < 0) return SetLastError(kErrInvalidHandle), false;
  if (length == 0 || offset > static_cast<uint64_t>(LLONG_MAX) - length)
    return SetLastError(kErrInvalidParameter), false;
  const int err = OfdLock(fd_, F_UNLCK, offset, length);
  if (err != 0) {
    SetLastErrorFromErrno(err);
    return false;
  }
  return true;
}

}  // namespace plat
