// The nodes a bulk build completes, gathered in a window of the file and
// written with one call per stretch of adjacent ones. A build takes its
// nodes' places from the end of the file in order and fills most of them
// soon after: the leaves one after another, an interior node a few leaves
// after its place was taken. So the nodes completed while the window
// covers a stretch of the file mostly fill it without gaps, and the tree
// goes out in few writes; a node whose place the window has left behind
// (a high interior node, completed late) is written alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "index/index_file.h"

namespace tessera {

class KTobjNodeRuns {
 public:
  // `unit`: the bytes of one step of the position the file's WriteBlock
  // takes (1 where it is a byte offset, the block size where it is a
  // block number).
  explicit KTobjNodeRuns(int32_t unit) : unit_(unit) {}

  // Adds the `size` bytes of a node at `at` (never added before). A node
  // past the window's end sends the window out first and starts a new
  // one; a node before it is written at once.
  void Add(KTobjIndexFile* file, int32_t at, const uint8_t* node, int32_t size) {
    const int64_t from = int64_t{at} * unit_;
    if (size <= 0) return;
    if (!stretches_.empty() && from < base_) {
      file->WriteBlock(at, node, size);
      return;
    }
    if (!stretches_.empty() && from + size > base_ + static_cast<int64_t>(kWindow)) Flush(file);
    if (stretches_.empty()) {
      if (static_cast<size_t>(size) > kWindow) {
        file->WriteBlock(at, node, size);
        return;
      }
      if (!window_) window_ = std::make_unique_for_overwrite<uint8_t[]>(kWindow);
      base_ = from;
    }
    const int64_t begin = from - base_;
    std::memcpy(window_.get() + begin, node, static_cast<size_t>(size));
    Mark(begin, begin + size);
  }
  // Writes what the window holds, a call per stretch of adjacent nodes (a
  // write error raises from the file).
  void Flush(KTobjIndexFile* file) {
    for (const Stretch& s : stretches_)
      file->WriteBlock(static_cast<int32_t>((base_ + s.begin) / unit_), window_.get() + s.begin,
                       static_cast<int32_t>(s.end - s.begin));
    stretches_.clear();
  }

 private:
  static constexpr size_t kWindow = 256 * 1024;
  // Bytes [begin, end) of the window hold nodes; stretches are kept in
  // order, apart (two that touch are one).
  struct Stretch {
    int64_t begin, end;
  };
  void Mark(int64_t begin, int64_t end) {
    // Mostly the node follows the last stretch, or starts a new last one.
    size_t i = stretches_.size();
    while (i > 0 && stretches_[i - 1].begin > begin) --i;
    // stretches_[i - 1] begins before this node, stretches_[i] after it.
    const bool joins_before = i > 0 && stretches_[i - 1].end == begin;
    const bool joins_after = i < stretches_.size() && stretches_[i].begin == end;
    if (joins_before && joins_after) {
      stretches_[i - 1].end = stretches_[i].end;
      stretches_.erase(stretches_.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (joins_before) {
      stretches_[i - 1].end = end;
    } else if (joins_after) {
      stretches_[i].begin = begin;
    } else {
      stretches_.insert(stretches_.begin() + static_cast<std::ptrdiff_t>(i), Stretch{begin, end});
    }
  }

  int32_t unit_;
  std::unique_ptr<uint8_t[]> window_;  // kWindow bytes, made when first needed
  int64_t base_ = 0;                   // file byte of the window's first byte
  std::vector<Stretch> stretches_;
};

}  // namespace tessera
