// The nodes a bulk build completes, gathered into runs of adjacent ones
// and written with one call per run (a build fills its nodes mostly in the
// order of their places in the file, so the tree goes out in few writes).
#pragma once

#include <cstdint>
#include <vector>

#include "index/index_file.h"

namespace tessera {

class KTobjNodeRuns {
 public:
  // `unit`: the bytes of one step of the position the file's WriteBlock
  // takes (1 where it is a byte offset, the block size where it is a
  // block number).
  explicit KTobjNodeRuns(int32_t unit) : unit_(unit) {}

  // Adds the `size` bytes of a node at `at`. A node that does not follow
  // the run gathered so far, or a run grown to kRun bytes, sends the run
  // out first.
  void Add(KTobjIndexFile* file, int32_t at, const uint8_t* node, int32_t size) {
    if (!run_.empty() &&
        (at != start_ + static_cast<int32_t>(run_.size()) / unit_ || run_.size() >= kRun))
      Flush(file);
    if (run_.empty()) start_ = at;
    run_.insert(run_.end(), node, node + size);
  }
  // Writes the run gathered so far (a write error raises from the file).
  void Flush(KTobjIndexFile* file) {
    if (run_.empty()) return;
    file->WriteBlock(start_, run_.data(), static_cast<int32_t>(run_.size()));
    run_.clear();
  }

 private:
  static constexpr size_t kRun = 64 * 1024;
  int32_t unit_;
  std::vector<uint8_t> run_;
  int32_t start_ = 0;
};

}  // namespace tessera
