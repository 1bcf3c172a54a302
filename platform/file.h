// One open file, read and written at explicit offsets, with byte-range locks
// that behave like the Windows ones the engine was designed around.
//
// Locks are open-file-description locks (F_OFD_SETLK): they belong to this
// open, not to the process, so two opens of one file conflict even inside
// one process, and closing one open never drops the locks of another (as
// classic POSIX record locks would). Locks never wait.
//
// Share modes: every open takes a lock on one reserved byte far beyond any
// offset the engine locks or a file can reach (kOpenMarkOffset). A shared
// open holds a read lock there, an exclusive open a write lock, so an
// exclusive open fails with error 32 while any other open exists and every
// other open fails while an exclusive one does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

class FileHandle {
 public:
  // Offset of the byte that carries the share mode of every open.
  static constexpr int64_t kOpenMarkOffset = int64_t{1} << 62;

  FileHandle() = default;
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Opens an existing file. `writable` asks for read/write access, `shared`
  // lets other opens (in this or another process) read and write the file
  // meanwhile. On failure the handle is invalid and LastError() is set:
  // 2/3 for a missing file or directory, 5 for access, 32 for a share
  // conflict.
  static FileHandle Open(std::string_view path, bool writable, bool shared);

  // Creates the file (an existing one is emptied) and opens it as Open does.
  // A new file takes the spelling of the last path component as given.
  static FileHandle Create(std::string_view path, bool writable, bool shared);

  // Creates a file in `directory` that has no name: nothing else can open
  // it, and its space goes back to the file system when it is closed, even
  // when the process ends without closing it. Opened for reading and
  // writing, with no share lock. Where the file system cannot make such a
  // file, a uniquely named one is made and its name removed at once. On
  // failure the handle is invalid and LastError() is set (3 for a missing
  // folder, 5 for one that cannot be written).
  static FileHandle CreateTemporary(std::string_view directory);

  bool valid() const { return fd_ >= 0; }
  bool writable() const { return writable_; }

  // Closes the file, releasing every lock it holds. True when it was open.
  bool Close();

  // Number of bytes read (may be short at the end of the file), or -1.
  int64_t ReadAt(int64_t offset, void* buffer, int64_t count);
  // True when all bytes were written. Refused with 5 on a read-only open.
  bool WriteAt(int64_t offset, const void* data, int64_t count);
  // Size in bytes, or -1.
  int64_t Size();
  // Writes the file's data to the disk.
  bool Flush();
  // Cuts or extends the file to `length` bytes.
  bool SetEnd(int64_t length);

  // Exclusive byte-range lock; fails at once with 33 on a conflict.
  bool Lock(uint64_t offset, uint64_t length);
  // Shared byte-range lock: other shared locks of the range may be held
  // beside it, an exclusive one may not. Fails at once with 33.
  bool LockShared(uint64_t offset, uint64_t length);
  bool Unlock(uint64_t offset, uint64_t length);

 private:
  FileHandle(int fd, bool writable, bool lock_writable)
      : fd_(fd), writable_(writable), lock_writable_(lock_writable) {}

  int fd_ = -1;
  bool writable_ = false;       // the caller asked for write access
  bool lock_writable_ = false;  // the descriptor itself can take write locks
};

}  // namespace plat
