// ReadMapping: a read-only view of a file's bytes in memory, so that a
// record can be read at the cost of a memory copy.
//
// The view shows the page cache itself: bytes written through any
// descriptor on this machine are seen at once. Bytes past the end of the
// file as it is now must never be touched (the system raises a bus error
// for them): the owner keeps every read inside a size it knows the file has,
// and maps only files no other process can cut (exclusive opens).
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
  bool Map(const std::string& path, int64_t length);
  void Unmap();

  const char* data() const { return data_; }
  // Bytes mapped (0 when nothing is).
  int64_t size() const { return size_; }

 private:
  const char* data_ = nullptr;
  int64_t size_ = 0;
};

}  // namespace plat
