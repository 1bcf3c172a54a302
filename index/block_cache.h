// A small cache of an index file's 512-byte blocks. Reads of tree nodes go
// through it; writes go through to the file and update the cached copy.
// The cache holds another process's view only as long as nothing changed:
// the index file drops it whenever it learns of a foreign change (its
// version counter moved) and when it is cut or rebuilt.
#pragma once

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace tessera {

class IndexBlockCache {
 public:
  static constexpr int32_t kBlock = 512;

  explicit IndexBlockCache(size_t capacity_blocks) : capacity_(capacity_blocks) {}

  // The cached bytes of block `number`, or null.
  const uint8_t* Find(int64_t number) {
    auto it = index_.find(number);
    if (it == index_.end()) return nullptr;
    slots_[it->second].used = true;
    return slots_[it->second].bytes.data();
  }

  void Put(int64_t number, const uint8_t* bytes) {
    auto it = index_.find(number);
    size_t slot;
    if (it != index_.end()) {
      slot = it->second;
    } else if (slots_.size() < capacity_) {
      slot = slots_.size();
      slots_.push_back(Slot{});
      index_[number] = slot;
    } else {
      // Clock eviction: the first slot not used since the hand last passed.
      while (slots_[hand_].used) {
        slots_[hand_].used = false;
        hand_ = (hand_ + 1) % slots_.size();
      }
      slot = hand_;
      hand_ = (hand_ + 1) % slots_.size();
      index_.erase(slots_[slot].number);
      index_[number] = slot;
    }
    Slot& s = slots_[slot];
    s.number = number;
    s.used = true;
    std::memcpy(s.bytes.data(), bytes, kBlock);
  }

  // Bytes written at `offset`: cached blocks they touch take them.
  void Written(int64_t offset, const uint8_t* data, int64_t count) {
    for (int64_t pos = offset; pos < offset + count;) {
      const int64_t number = pos / kBlock;
      const int64_t start = number * kBlock;
      const int64_t end = std::min(start + kBlock, offset + count);
      auto it = index_.find(number);
      if (it != index_.end())
        std::memcpy(slots_[it->second].bytes.data() + (pos - start), data + (pos - offset), static_cast<size_t>(end - pos));
      pos = end;
    }
  }

  void Clear() {
    index_.clear();
    slots_.clear();
    hand_ = 0;
  }

 private:
  struct Slot {
    int64_t number = -1;
    bool used = false;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kBlock);
  };
  size_t capacity_;
  std::vector<Slot> slots_;
  std::unordered_map<int64_t, size_t> index_;
  size_t hand_ = 0;
};

}  // namespace tessera
