#include "platform/file_map.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

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

void ReadMapping::MapCachedPages(int64_t length) const {
#ifndef MADV_POPULATE_READ
  constexpr int MADV_POPULATE_READ = 22;  // Linux 5.14; older kernels refuse it (EINVAL)
#endif
  if (data_ == nullptr || length <= 0) return;
  length = std::min(length, size_);
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t pages = (static_cast<size_t>(length) + page - 1) / page;
  // Which pages the cache holds (bit 0 of each byte): a file that is not
  // in memory is read when its records are, not all at once here.
  std::vector<unsigned char> resident(pages);
  char* base = const_cast<char*>(data_);
  if (::mincore(base, pages * page, resident.data()) != 0) return;
  for (size_t i = 0; i < pages;) {
    if ((resident[i] & 1) == 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < pages && (resident[j] & 1) != 0) ++j;
    // A run ends at the page holding the file's last byte at the latest:
    // no page past the end of the file is touched.
    if (::madvise(base + i * page, (j - i) * page, MADV_POPULATE_READ) != 0 && errno == EINVAL) return;
    i = j;
  }
}

void ReadMapping::Unmap() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), static_cast<size_t>(size_));
  data_ = nullptr;
  size_ = 0;
  writable_ = false;
}

}  // namespace plat
