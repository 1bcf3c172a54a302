// LevelSink: the nodes a bottom-up bulk build is filling, one per tree
// level, for the builders of every index format (KTobjSortCDX,
// KTobjSortMDX, KTobjSortNdx, KTobjSortNTX). Sorted keys go into level 0,
// the leaves; a node that is full is written once and an entry for it goes
// to the level above, whose node is made when first needed; at the end the
// last node of every level is written from the bottom up, and the one with
// nothing under way above it is the root.
//
// What differs between the formats is the `Node` a level holds and the
// builder's handling of it, which the sink leaves to the builder:
//   - the node image and how many entries it takes: CDX leaves as many as
//     their compressed keys fit, the others a fixed count (NTX leaves
//     spread evenly);
//   - which key goes up: the full node's last (CDX, MDX, NDX), or in NTX's
//     B-tree the key that no longer fits, which leaves for the parent;
//   - when a node's block is taken: CDX when the node is started (a full
//     node waits for its right neighbour's block), the others when it is
//     written;
//   - how a level's last node ends: a pending full CDX node, the spare
//     entry NDX and NTX give a level's last child, NTX's empty last leaf.
// The sink holds each level's node at a fixed address (a reference stays
// valid while levels above are made) and bounds the tree's height.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"

namespace tessera {

template <class Node>
class LevelSink {
 public:
  static constexpr int kMaxLevels = 32;

  // `tag_name` names the tag in the error of a tree grown too high.
  explicit LevelSink(std::string tag_name) : tag_name_(std::move(tag_name)) {}

  // The node at `level`, made (with the levels below it) when first asked
  // for. Raises when the tree would grow higher than kMaxLevels.
  Node& At(int level) {
    if (level < 0 || level >= kMaxLevels) throw ETesseraError("Index tree of tag " + tag_name_ + " grew too high");
    while (Height() <= level) levels_.push_back(std::make_unique<Node>());
    return *levels_[static_cast<size_t>(level)];
  }
  int Height() const { return static_cast<int>(levels_.size()); }
  void Clear() { levels_.clear(); }

  // The end of the build, from the leaves up: every level whose node
  // `pending` says holds something to write is closed with
  // close(level, node, top), where `top` says that no level above has a
  // pending node (this one is the root). Closing a node below the top adds
  // its entry to the level above (which may make that level). The levels
  // are dropped afterwards.
  template <class Pending, class Close>
  void Finish(Pending pending, Close close) {
    for (int level = 0; level < Height(); ++level) {
      Node& node = At(level);
      if (!pending(node)) continue;
      bool top = true;
      for (int up = level + 1; up < Height() && top; ++up) top = !pending(At(up));
      close(level, node, top);
      if (top) break;
    }
    Clear();
  }

 private:
  std::string tag_name_;
  std::vector<std::unique_ptr<Node>> levels_;
};

}  // namespace tessera
