#include "platform/file_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/path.h"

namespace plat {

ReadMapping::~ReadMapping() { Unmap(); }

bool ReadMapping::Map(const std::string& path, int64_t length, bool writable) {
  Unmap();
  if (length <= 0) return false;
  const int fd = ::open(ResolveCase(path).c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return false;
  void* p = ::mmap(nullptr, static_cast<size_t>(length), writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                   fd, 0);
  ::close(fd);  // the mapping keeps the file
  if (p == MAP_FAILED) return false;
  data_ = static_cast<const char*>(p);
  size_ = length;
  writable_ = writable;
  return true;
}

bool ReadMapping::SharedViewIsSafe(const std::string& path) {
  struct statfs fs {};
  if (::statfs(ResolveCase(path).c_str(), &fs) != 0) return false;
  // The file systems' magic numbers (linux/magic.h).
  constexpr unsigned long kExt = 0xEF53, kTmpfs = 0x01021994;
  const auto type = static_cast<unsigned long>(fs.f_type);
  return type == kExt || type == kTmpfs;
}

void ReadMapping::Unmap() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), static_cast<size_t>(size_));
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
}

}  // namespace plat
