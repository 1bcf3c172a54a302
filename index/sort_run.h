// TktPageCollection: one sorted run of the key sort, held in memory pages.
//
// A run is written once, in order, when a full part of the sort's key pool
// has been sorted, and then read once, in order, by the merge. Keys are front-compressed: each entry
// keeps only the bytes in which a key differs from the key before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tessera {

class TktPageCollection {
 public:
  static constexpr int32_t kPageSize = 16384;
  // Longest encoded key an entry can describe (its length is one byte).
  static constexpr int32_t kMaxKey = 255;

  TktPageCollection() = default;
  TktPageCollection(const TktPageCollection&) = delete;
  TktPageCollection& operator=(const TktPageCollection&) = delete;

  // Appends an entry: the key is `total` bytes long, of which the first
  // total - fresh equal those of the previous key appended; `tail` points
  // at the remaining `fresh` bytes. `kind` is the key's kind code (never 0).
  void Append(uint8_t kind, int32_t total, int32_t fresh, const uint8_t* tail);

  // Ends writing and reads the first entry (the run is exhausted at once
  // when nothing was appended).
  void StartReading();
  // Reads the next entry into the current key, or marks the run exhausted.
  // A page is freed as soon as reading leaves it.
  void ReadEntry();

  bool Exhausted() const { return position_ < 0; }
  // The current key: the encoded bytes, their count and the kind code.
  const uint8_t* Key() const { return key_; }
  int32_t KeySize() const { return key_size_; }
  uint8_t KeyKind() const { return key_kind_; }

  // Pages held now (they are released as reading moves on).
  size_t PageCount() const { return held_pages_; }

 private:
  // Every page is zero-filled when it is made, so a 0 kind byte follows the
  // last entry written to it.
  //
  // Entry layout at a page offset:
  //   0      1 byte   kind code (0x10 binary, 0x20 character, 0x30 numeric,
  //                   0x40 date); 0 ends the page
  //   1      1 byte   t, the key's total length (record number included)
  //   2      1 byte   n, the count of bytes stored
  //   3      n bytes  the key's last n bytes; its first t - n bytes are
  //                   those of the key before it (also across pages)
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  size_t held_pages_ = 0;
  size_t page_ = 0;        // page being written or read
  int32_t position_ = -1;  // offset in that page; -1 exhausted or empty
  int32_t write_at_ = 0;   // next free offset of the last page while writing

  uint8_t key_[kMaxKey + 1] = {};
  int32_t key_size_ = 0;
  uint8_t key_kind_ = 0;
};

}  // namespace tessera
