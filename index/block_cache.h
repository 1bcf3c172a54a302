// A cache of an index file's 512-byte blocks. Reads of tree nodes go
// through it; writes go through to the file and update the cached copy.
// The cache holds another process's view only as long as nothing changed:
// the index file drops it whenever it learns of a foreign change (its
// version counter moved) and when it is cut or rebuilt.
//
// Lookups go through a BlockMap; when the cache is full, the clock hand
// gives the first slot not used since it last passed to the new block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "index/block_map.h"

namespace tessera {

class IndexBlockCache {
 public:
  static constexpr int32_t kBlock = BlockMap::kBlock;

  explicit IndexBlockCache(size_t capacity_blocks) : capacity_(std::max<size_t>(capacity_blocks, 1)) {}

  // The cached bytes of block `number`, or null; valid until the next Put
  // or Clear.
  const uint8_t* Find(int64_t number) {
    const uint32_t slot = map_.SlotOf(number);
    if (slot == BlockMap::kNone) return nullptr;
    used_[slot] = true;
    return map_.Bytes(slot);
  }

  void Put(int64_t number, const uint8_t* bytes) {
    uint32_t slot = map_.SlotOf(number);
    if (slot == BlockMap::kNone) {
      if (map_.size() < capacity_) {
        slot = map_.Add(number);
        used_.push_back(false);
      } else {
        // Clock eviction: the first slot not used since the hand last passed.
        while (used_[hand_]) {
          used_[hand_] = false;
          hand_ = (hand_ + 1) % map_.size();
        }
        slot = static_cast<uint32_t>(hand_);
        hand_ = (hand_ + 1) % map_.size();
        map_.Reassign(slot, number);
      }
    }
    used_[slot] = true;
    std::memcpy(map_.Bytes(slot), bytes, kBlock);
  }

  // Bytes written at `offset`: cached blocks they touch take them.
  void Written(int64_t offset, const uint8_t* data, int64_t count) {
    for (int64_t pos = offset; pos < offset + count;) {
      const int64_t number = pos / kBlock;
      const int64_t start = number * kBlock;
      const int64_t end = std::min(start + kBlock, offset + count);
      if (uint8_t* cached = map_.Find(number))
        std::memcpy(cached + (pos - start), data + (pos - offset), static_cast<size_t>(end - pos));
      pos = end;
    }
  }

  void Clear() {
    map_.Clear();
    used_.clear();
    hand_ = 0;
  }

 private:
  size_t capacity_;
  BlockMap map_;
  std::vector<bool> used_;  // per slot: used since the clock hand passed
  size_t hand_ = 0;
};

}  // namespace tessera
