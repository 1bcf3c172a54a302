// KTobjSortNdx: the bulk build of an NDX tag. Every record's key goes into
// the key sort; the sorted keys are then written bottom-up into full
// leaves and interior nodes, each node once, with one node per tree level
// in memory.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/key_sort.h"
#include "index/level_sink.h"
#include "index/node_runs.h"
#include "index/ndx_tag.h"

namespace tessera {

class KTobjSortNdx : public TktSort {
 public:
  explicit KTobjSortNdx(KTobjNDXTag* tag);
  // The same, with spill settings of its own (TktSort).
  KTobjSortNdx(KTobjNDXTag* tag, const SpillSettings& spill);

  // The keys were gathered through a stand-in of `tag` (StandIn, of the
  // same definition): the nodes go to `tag`. Before PackSorted.
  void PackFor(KTobjNDXTag* tag) { tag_ = tag; }

  void PackSorted();
  // Writes the last node of every level and sets the tag's root.
  void Finish();

  int64_t KeysWritten() const { return written_; }

 private:
  struct Level {
    // A block, and room for the one entry past it whose child (the last
    // child of the level) still lies inside the block. The last entry's
    // key, which goes up when the node is written, is read from here.
    std::array<uint8_t, KTobjNDXTag::kBlockBytes + 256> node{};
    int count = 0;  // entries written
    bool started = false;
  };
  // The stored key bytes of a node key (KTobjNDXTag::NodeBytes), at most
  // this long.
  using KeyBytes = std::array<uint8_t, KTobjNDXTag::kMaxKeyLength>;
  // Appends an entry (a record in a leaf, a child above) whose key is
  // already in its stored form, `width` bytes.
  void AddToLevel(int level, const uint8_t* key, int32_t value);
  // The stored form of a sorted key, written where it goes (as NodeBytes
  // makes it, without the string).
  void PutKey(uint8_t* at, std::string_view value) const;
  // The last entry's key of a level's node, copied out before the node is
  // written (which clears it in an interior node).
  void LastKey(const Level& l, KeyBytes& key) const;
  void Write(Level& l, int level, int32_t block);
  int width_ = 0;  // bytes of a stored key
  // Nodes go to the file in runs of adjacent blocks, one write per run
  // (every node is written as soon as its block is allocated, so the
  // whole tree is one run after the other); the rest at the end of Finish.
  KTobjNodeRuns runs_{KTobjNDXTag::kBlockBytes};  // positions are block numbers

  KTobjNDXTag* tag_;
  int64_t written_ = 0;
  LevelSink<Level> levels_;
};

}  // namespace tessera
