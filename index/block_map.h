// BlockMap: 512-byte blocks of an index file by block number, for the
// block cache and for the blocks a writer holds back from the file.
//
// Every search and every record write looks blocks up several times per
// tag, so the lookup is an open-addressing table of block numbers (linear
// probing, kept at most half full, deletions by backward shift) over slots
// whose bytes lie in chunks that never move: a pointer to a slot's bytes
// stays valid until that slot is given to another block or the map is
// cleared. Slots are numbered in the order they were added.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace tessera {

class BlockMap {
 public:
  static constexpr int32_t kBlock = 512;
  static constexpr uint32_t kNone = UINT32_MAX;

  // The slot holding block `number`, or kNone.
  uint32_t SlotOf(int64_t number) const {
    if (table_.empty()) return kNone;
    const size_t mask = table_.size() - 1;
    for (size_t i = Home(number);; i = (i + 1) & mask) {
      const Entry& e = table_[i];
      if (e.slot == kNone) return kNone;
      if (e.number == number) return e.slot;
    }
  }
  // The bytes of block `number`, or null.
  uint8_t* Find(int64_t number) const {
    const uint32_t slot = SlotOf(number);
    return slot == kNone ? nullptr : Bytes(slot);
  }
  // A new slot for block `number`, which the map must not hold yet; its
  // bytes are left as they are (unset in a new chunk, a former block's in a
  // chunk kept by Clear): the caller fills them.
  uint32_t Add(int64_t number) {
    const auto slot = static_cast<uint32_t>(numbers_.size());
    numbers_.push_back(number);
    if (slot / kChunkBlocks >= chunks_.size())
      chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kChunkBlocks * kBlock));
    Insert(number, slot);
    return slot;
  }
  // Gives `slot` to block `number` (which the map must not hold), dropping
  // the block it held.
  void Reassign(uint32_t slot, int64_t number) {
    Erase(numbers_[slot]);
    numbers_[slot] = number;
    Insert(number, slot);
  }

  size_t size() const { return numbers_.size(); }
  bool empty() const { return numbers_.empty(); }
  int64_t NumberAt(uint32_t slot) const { return numbers_[slot]; }
  uint8_t* Bytes(uint32_t slot) const {
    return chunks_[slot / kChunkBlocks].get() + static_cast<size_t>(slot % kChunkBlocks) * kBlock;
  }

  // Empties the map. A map that stayed small keeps its first chunk and its
  // table, so that one filled and emptied on every record write does not
  // allocate each time; with `keep_memory` every chunk and the table are
  // kept whatever their size, for a map that fills again to about the same
  // size (a writer's held blocks): fresh memory costs a page fault and the
  // kernel's zeroing for every 4 KiB, several times the copy into it.
  void Clear(bool keep_memory = false) {
    if (keep_memory || (numbers_.size() <= kChunkBlocks && table_.size() <= kKeptTable)) {
      if (!keep_memory) chunks_.resize(std::min<size_t>(chunks_.size(), 1));
      std::fill(table_.begin(), table_.end(), Entry{0, kNone});
    } else {
      chunks_.clear();
      table_.clear();
      shift_ = 58;
    }
    entries_ = 0;
    numbers_.clear();
  }

 private:
  static constexpr size_t kChunkBlocks = 256;  // 128 KiB of blocks per chunk
  static constexpr size_t kKeptTable = 1024;

  // One entry of the lookup table: a block number and its slot (kNone:
  // the entry is free).
  struct Entry {
    int64_t number;
    uint32_t slot;
  };

  size_t Home(int64_t number) const {
    // Fibonacci hashing: neighbouring block numbers spread over the table.
    return static_cast<size_t>((static_cast<uint64_t>(number) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void Insert(int64_t number, uint32_t slot) {
    if ((entries_ + 1) * 2 > table_.size()) Grow();
    const size_t mask = table_.size() - 1;
    size_t i = Home(number);
    while (table_[i].slot != kNone) i = (i + 1) & mask;
    table_[i] = Entry{number, slot};
    ++entries_;
  }
  // Removes `number`, moving later entries of its run back so that every
  // entry stays reachable from its home position.
  void Erase(int64_t number) {
    const size_t mask = table_.size() - 1;
    size_t i = Home(number);
    while (table_[i].number != number || table_[i].slot == kNone) {
      if (table_[i].slot == kNone) return;
      i = (i + 1) & mask;
    }
    for (size_t j = (i + 1) & mask; table_[j].slot != kNone; j = (j + 1) & mask) {
      const size_t home = Home(table_[j].number);
      // Entry j may fill the hole at i when its home does not lie in the
      // cyclic range (i, j].
      const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (!stays) {
        table_[i] = table_[j];
        i = j;
      }
    }
    table_[i].slot = kNone;
    --entries_;
  }
  void Grow() {
    std::vector<Entry> old(std::max<size_t>(table_.size() * 2, 64), Entry{0, kNone});
    old.swap(table_);
    shift_ = 64;
    for (size_t n = table_.size(); n > 1; n >>= 1) --shift_;
    const size_t mask = table_.size() - 1;
    for (const Entry& e : old) {
      if (e.slot == kNone) continue;
      size_t i = Home(e.number);
      while (table_[i].slot != kNone) i = (i + 1) & mask;
      table_[i] = e;
    }
  }

  std::vector<Entry> table_;      // size a power of two, at most half full
  size_t entries_ = 0;            // entries in use in table_
  int shift_ = 58;                // 64 - log2(table_.size())
  std::vector<int64_t> numbers_;  // per slot: the block it holds
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
};

}  // namespace tessera
