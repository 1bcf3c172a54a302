// KTobjSortNTX: the bulk build of an NTX tag. Every record's key goes into
// the key sort; the sorted keys are then spread evenly over the leaves and
// written bottom-up, each page once, with one page per tree level in
// memory.
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
#include "index/ntx_tag.h"

namespace tessera {

class KTobjSortNTX : public TktSort {
 public:
  // A descending tag sorts descending; equal keys still come out by
  // ascending record number, as other programs build them.
  explicit KTobjSortNTX(KTobjNTXTag* tag);
  // The same, with spill settings of its own (TktSort).
  KTobjSortNTX(KTobjNTXTag* tag, const SpillSettings& spill);

  // Takes every key from the sort and writes the pages; then the last page
  // of every level, and sets the tag's root.
  // The keys were gathered through a stand-in of `tag` (StandIn, of the
  // same definition): the nodes go to `tag`. Before PackSorted.
  void PackFor(KTobjNTXTag* tag) { tag_ = tag; }

  void PackSorted();
  void Finish();

  int64_t KeysWritten() const { return written_; }

 private:
  struct Level {
    std::array<uint8_t, KTobjNTXTag::kPageSize> page{};
    int count = 0;  // slots used
    bool started = false;
  };
  void StartPage(Level& l);
  void PutSlot(Level& l, int32_t child, int32_t recno, std::string_view key);
  std::string SlotKey(const Level& l, int i) const;
  int32_t SlotRecord(const Level& l, int i) const;
  void SetSlotRecord(Level& l, int i, int32_t recno);
  void WriteLevel(Level& l, int32_t offset, int counted);
  // Pages go to the file in runs of adjacent pages, one write per run
  // (every page is written as soon as it is allocated, so the whole tree
  // is one run after the other); the rest at the end of Finish.
  KTobjNodeRuns runs_{1};  // positions are byte offsets
  void AddLeafKey(std::string_view key, int32_t recno);
  void AddToLevel(int level, std::string_view key, int32_t recno, int32_t left, bool finishing);
  void Emit(std::string_view key, int32_t recno);

  KTobjNTXTag* tag_;
  bool descending_;
  bool unique_;
  int64_t written_ = 0;
  int64_t fill_ = 0;
  LevelSink<Level> levels_;
  std::string last_key_;
  int32_t last_recno_ = 0;
};

}  // namespace tessera
