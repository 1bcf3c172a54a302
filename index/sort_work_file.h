// SortWorkFile: the temporary file into which the key sort puts the sorted
// runs that do not stay in memory.
//
// The file has no name (see plat::FileHandle::CreateTemporary): its space
// goes back to the file system when the sort ends, however it ends. Runs
// are appended one after another and each is read back once, in order, by
// the merge; the file keeps no structure of its own, each run remembers
// where its bytes lie.
//
// Appending belongs to the thread that adds keys (and starts retrieval);
// reads may come from the merge's threads at once (each reads at its own
// offsets). Every failure raises ETesseraError with the system's reason and
// the folder, e.g. "Tessera Error 112, SubCode 1102: there is not enough
// space on the disk (key sort work file in /tmp)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace tessera {

class SortWorkFile {
 public:
  // Creates the file in `directory`.
  explicit SortWorkFile(std::string directory);

  SortWorkFile(const SortWorkFile&) = delete;
  SortWorkFile& operator=(const SortWorkFile&) = delete;

  // Appends `count` bytes at the end of the file and answers their offset.
  int64_t Append(const void* data, size_t count);
  // Reads exactly `count` bytes at `offset`, written before by Append.
  void Read(int64_t offset, void* buffer, size_t count) const;

  // Raises the error of a read that did not give back what was written.
  [[noreturn]] void ReportDamage() const;

  // Bytes appended so far.
  int64_t Size() const { return end_; }

 private:
  [[noreturn]] void Fail(int32_t sub_code, int32_t error) const;

  const std::string directory_;
  mutable plat::FileHandle file_;  // reads are positioned: no state shared
  int64_t end_ = 0;
};

}  // namespace tessera
