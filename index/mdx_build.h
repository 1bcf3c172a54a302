// KTobjSortMDX: the bulk build of a multiple-index tag. Every record's key
// goes into the key sort (in the tag's own order, so a descending tag comes
// out greatest first); the sorted keys are then packed bottom-up into full
// nodes, each written once, in one pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/key_sort.h"
#include "index/level_sink.h"
#include "index/mdx_file.h"
#include "index/mdx_tag.h"
#include "index/node_runs.h"

namespace tessera {

class KTobjSortMDX : public TktSort {
 public:
  // Sorts keys of the tag's key length + 1 with the given order and unique
  // flag; `collation` may be null (byte order).
  KTobjSortMDX(KTobjMDXTag* tag, const uint8_t* collation, bool ascending, bool unique);
  // The same, with spill settings of its own (TktSort).
  KTobjSortMDX(KTobjMDXTag* tag, const uint8_t* collation, bool ascending, bool unique, const SpillSettings& spill);
  // Writes the last node of every level and sets the tag's root.
  ~KTobjSortMDX() override;

  // The keys were gathered through a stand-in of `tag` (KTobjMDXTag's
  // StandIn, of the same definition): the nodes go to `tag`. Before
  // PackSorted.
  void PackFor(KTobjMDXTag* tag) { tag_ = tag; }

  // Takes every key from the sort in order and adds it to the leaf level.
  void PackSorted();
  // Appends one entry (record number or child page, stored key bytes: at
  // most the key length are taken) to the node being filled at a level
  // (0: leaves).
  void AddToLevel(int level, int32_t number, std::string_view key_bytes);
  // What the destructor does; the tag is complete afterwards.
  void Finish();

  int64_t KeysPacked() const { return keys_packed_; }

 private:
  struct Level {
    std::vector<uint8_t> block;
    bool used = false;
    int32_t count = 0;
  };
  // Writes a level's block at a new page; answers the page.
  int32_t WriteLevel(int level, Level& l);
  std::string LastKey(const Level& l) const;
  // Nodes go to the file in runs of adjacent blocks, one write per run:
  // the pages are taken one after the other, so the tree goes out in few
  // writes; the rest at the end of Finish.
  KTobjNodeRuns runs_{KTobjMDXFile::kPage};  // positions are page numbers

  KTobjMDXTag* tag_;
  int64_t keys_packed_ = 0;
  bool finished_ = false;
  LevelSink<Level> levels_;
};

}  // namespace tessera
