// KTobjSortNTX: the bulk build of an NTX tag. Every record's key goes into
// the key sort; the sorted keys are then spread evenly over the leaves and
// written bottom-up, each page once, with one page per tree level in
// memory.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "index/key_sort.h"
#include "index/level_sink.h"
#include "index/ntx_tag.h"

namespace tessera {

class KTobjSortNTX : public TktSort {
 public:
  // A descending tag sorts descending; equal keys still come out by
  // ascending record number, as other programs build them.
  explicit KTobjSortNTX(KTobjNTXTag* tag);

  // Takes every key from the sort and writes the pages; then the last page
  // of every level, and sets the tag's root.
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
  void PutSlot(Level& l, int32_t child, int32_t recno, const std::string& key);
  std::string SlotKey(const Level& l, int i) const;
  int32_t SlotRecord(const Level& l, int i) const;
  void SetSlotRecord(Level& l, int i, int32_t recno);
  void WriteLevel(Level& l, int32_t offset, int counted);
  void AddLeafKey(const std::string& key, int32_t recno);
  void AddToLevel(int level, const std::string& key, int32_t recno, int32_t left, bool finishing);
  void Emit(const std::string& key, int32_t recno);

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
