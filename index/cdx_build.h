// KTobjSortCDX: the bulk build of a compound-index tag. Every record's key
// goes into the key sort; the sorted keys are then packed bottom-up into
// full leaves and interior nodes, each node written once, in one pass.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/cdx_leaf.h"
#include "index/cdx_tag.h"
#include "index/key_sort.h"
#include "index/level_sink.h"
#include "index/node_runs.h"

namespace tessera {

class KTobjSortCDX : public TktSort {
 public:
  // Sorts keys of the tag's key length (ascending: a descending tag is read
  // backwards) with the tag's unique flag.
  KTobjSortCDX(KTobjCDXTag* tag, int64_t record_count);
  // The same, with spill settings of its own (TktSort).
  KTobjSortCDX(KTobjCDXTag* tag, int64_t record_count, const SpillSettings& spill);

  // The keys were gathered through a stand-in of `tag` (KTobjCDXTag's
  // StandIn, of the same definition): the nodes go to `tag`. Before
  // PackSorted.
  void PackFor(KTobjCDXTag* tag) { tag_ = tag; }
  // The key length of the tag the keys are for.
  int KeyLength() const { return key_length_; }

  // Takes every key from the sort in order and adds it to the leaf level.
  void PackSorted();
  // Adds one entry to the node being filled at a level (0: leaves: the
  // key PackSorted delivers, the one before it in previous_key_).
  void AddToLevel(int level, int32_t reference, const TktVariant& key, int32_t record_number);
  // Writes the last node of every level and sets the tag's root.
  void Finish();

  int64_t KeysPacked() const { return keys_packed_; }

 private:
  struct Level {
    std::array<uint8_t, 512> image{};   // node being filled
    std::array<uint8_t, 512> full{};    // a full node waiting for its right sibling
    bool started = false;
    bool has_full = false;
    int32_t offset = 0;                 // block of the node being filled
    int32_t full_offset = 0;
    int32_t left = -1;
    int count = 0;                      // entries in the node being filled
    cdx_leaf::Encoder leaf;             // packs the leaf being filled (level 0)
  };
  void StartNode(int level);
  void WriteFull(Level& l, int32_t right);
  // The node being filled at a level is full: it waits in `full` for its
  // right neighbour (WriteFull), and the next entry starts a new node.
  void HoldFull(Level& l);
  // Nodes go to the file in runs of adjacent blocks, one write per run
  // (leaves are mostly written in the order of their blocks).
  KTobjNodeRuns runs_{1};  // positions are byte offsets

  KTobjCDXTag* tag_;
  int key_length_;
  [[maybe_unused]] int64_t record_count_;  // the sort's size hint; not read by the packing
  int64_t keys_packed_ = 0;
  KTobjCDXTag::Packing packing_;
  LevelSink<Level> levels_;
  TktVariant current_key_{256};
  TktVariant previous_key_{256};
  int32_t last_record_ = 0;
  bool finishing_ = false;
};

}  // namespace tessera
