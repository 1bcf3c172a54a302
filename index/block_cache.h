// A cache of an index file's 512-byte blocks. Reads of tree nodes go
// through it; writes go through to the file and update the cached copy.
// The cache holds another process's view only as long as nothing changed:
// the index file drops it whenever it learns of a foreign change (its
// version counter moved) and when it is cut or rebuilt.
//
// Every search and every record write looks blocks up here, several per
// tag, so the lookup is an open-addressing table of block numbers (linear
// probing, kept at most half full, deletions by backward shift) over slots
// whose bytes lie in chunks that never move: a pointer Find returns stays
// valid until the next Put or Clear.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace tessera {

class IndexBlockCache {
 public:
  static constexpr int32_t kBlock = 512;

  explicit IndexBlockCache(size_t capacity_blocks) : capacity_(std::max<size_t>(capacity_blocks, 1)) {}

  // The cached bytes of block `number`, or null.
  const uint8_t* Find(int64_t number) {
    const uint32_t slot = Lookup(number);
    if (slot == kNone) return nullptr;
    used_[slot] = true;
    return Bytes(slot);
  }

  void Put(int64_t number, const uint8_t* bytes) {
    uint32_t slot = Lookup(number);
    if (slot == kNone) {
      if (numbers_.size() < capacity_) {
        slot = static_cast<uint32_t>(numbers_.size());
        numbers_.push_back(number);
        used_.push_back(false);
        if (slot % kChunkBlocks == 0) chunks_.push_back(std::make_unique<uint8_t[]>(kChunkBlocks * kBlock));
      } else {
        // Clock eviction: the first slot not used since the hand last passed.
        while (used_[hand_]) {
          used_[hand_] = false;
          hand_ = (hand_ + 1) % numbers_.size();
        }
        slot = static_cast<uint32_t>(hand_);
        hand_ = (hand_ + 1) % numbers_.size();
        Erase(numbers_[slot]);
        numbers_[slot] = number;
      }
      Insert(number, slot);
    }
    used_[slot] = true;
    std::memcpy(Bytes(slot), bytes, kBlock);
  }

  // Bytes written at `offset`: cached blocks they touch take them.
  void Written(int64_t offset, const uint8_t* data, int64_t count) {
    for (int64_t pos = offset; pos < offset + count;) {
      const int64_t number = pos / kBlock;
      const int64_t start = number * kBlock;
      const int64_t end = std::min(start + kBlock, offset + count);
      const uint32_t slot = Lookup(number);
      if (slot != kNone)
        std::memcpy(Bytes(slot) + (pos - start), data + (pos - offset), static_cast<size_t>(end - pos));
      pos = end;
    }
  }

  void Clear() {
    table_.clear();
    entries_ = 0;
    numbers_.clear();
    used_.clear();
    chunks_.clear();
    hand_ = 0;
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr size_t kChunkBlocks = 256;  // 128 KiB of blocks per chunk

  // One entry of the lookup table: a block number and its slot (kNone:
  // the entry is free).
  struct Entry {
    int64_t number;
    uint32_t slot;
  };

  uint8_t* Bytes(uint32_t slot) const {
    return chunks_[slot / kChunkBlocks].get() + static_cast<size_t>(slot % kChunkBlocks) * kBlock;
  }
  size_t Home(int64_t number) const {
    // Fibonacci hashing: neighbouring block numbers spread over the table.
    return static_cast<size_t>((static_cast<uint64_t>(number) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  uint32_t Lookup(int64_t number) const {
    if (table_.empty()) return kNone;
    const size_t mask = table_.size() - 1;
    for (size_t i = Home(number);; i = (i + 1) & mask) {
      const Entry& e = table_[i];
      if (e.slot == kNone) return kNone;
      if (e.number == number) return e.slot;
    }
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

  size_t capacity_;
  std::vector<Entry> table_;        // size a power of two, at most half full
  size_t entries_ = 0;              // entries in use in table_
  int shift_ = 58;                  // 64 - log2(table_.size())
  std::vector<int64_t> numbers_;    // per slot: the block it holds
  std::vector<bool> used_;          // per slot: used since the clock hand passed
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t hand_ = 0;
};

}  // namespace tessera
