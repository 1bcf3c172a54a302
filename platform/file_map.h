// ReadMapping: a view of a file's bytes in memory, so that a record can be
// read at the cost of a memory copy; a writable one also takes writes of
// bytes inside the file at that cost.
//
// The view shows the page cache itself: bytes written through any
// descriptor on this machine are seen at once, and bytes stored into a
// writable view are seen at once by every reader of the file. Bytes past
// the end of the file as it is now must never be touched (the system
// raises a bus error for them): the owner keeps every access inside a size
// it knows the file has, and maps only files no other process can cut
// meanwhile (exclusive opens, or shared ones under a lock that every
// program takes before it cuts the file).
#pragma once

#include <cstdint>
#include <string>

namespace plat {

class ReadMapping {
 public:
  ReadMapping() = default;
  ~ReadMapping();
  ReadMapping(const ReadMapping&) = delete;
  ReadMapping& operator=(const ReadMapping&) = delete;

  // Maps `length` bytes from the start of the file at `path` (its case
  // resolved as for opening; the length
  // may reach past the end of the file, whose bytes are then not to be
  // read). False, and nothing mapped, when the system refuses.
  bool Map(const std::string& path, int64_t length, bool writable = false);
  void Unmap();

  // Has the system enter every page of the first `length` bytes that the
  // page cache holds already into the mapping's page tables, so that
  // reads there in any order take no page fault each. Pages the cache
  // does not hold are left alone (nothing is read from the disk for
  // them). `length` must not reach past the end of the file. Only a hint:
  // where the system cannot do it, nothing changes.
  void MapCachedPages(int64_t length) const;

  const char* data() const { return data_; }
  // The same bytes for writing; null unless mapped writable.
  char* writable_data() const { return writable_ ? const_cast<char*>(data_) : nullptr; }
  // Bytes mapped (0 when nothing is).
  int64_t size() const { return size_; }

  // True when the file at `path` lies on a local file system that stores
  // a file's existing bytes where they are (ext2/3/4, tmpfs). Only
  // there may a file shared with other programs be read and written
  // through a view: on a network file system the view is this machine's
  // cache, which programs on other machines do not see at the unlock; on
  // one that may write a change to new space (btrfs, XFS with
  // shared extents and the like), a
  // store into the view on a full disk is a bus error rather than a
  // refused write.
  static bool SharedViewIsSafe(const std::string& path);

 private:
  const char* data_ = nullptr;
  int64_t size_ = 0;
  bool writable_ = false;
};

}  // namespace plat
