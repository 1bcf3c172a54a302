// The leaf node of a compound-index tag, read and written in this one place:
// by the node walk (LoadNode), the searches and steps over the stored nodes,
// the key changes made in place, the node writes, and the bulk build.
//
// Leaf image (512 bytes; the node header, bytes 0 to 11, is cdx_tag.h's):
//   2    key count
//   12   free bytes of the key area (2 bytes)
//   14   record-number mask (4 bytes)
//   18   duplicate-count mask, 19 trailing-count mask
//   20   bits of the record number (R), 21 of the duplicate count (D),
//        22 of the trailing count (T), 23 bytes per entry (E)
//   24   the key area, 488 bytes: from its start the entries, E bytes each,
//        little-endian, the record number in the low R bits, the trailing
//        count in the top T bits and the duplicate count in the D bits
//        below them; from its end backwards each key's bytes without the
//        d leading bytes it shares with the key before it and without its
//        t trailing pad bytes (blanks for character keys, zeros otherwise).
// Entry j's stored bytes therefore lie right below those of entry j - 1,
// and a key of length L keeps L - d - t bytes of its own.
//
// Everything here is inline: the decoder runs for every leaf a search or a
// walk reads, the encoder for every key a build writes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/byte_order.h"
#include "index/cdx_bytes.h"

namespace tessera::cdx_leaf {

// Bytes of the key area.
inline constexpr int kArea = 488;
// The longest key a compound-index tag holds.
inline constexpr int kMaxKey = 240;

// How a leaf packs its entries (bytes 14 to 23 of the image).
struct Packing {
  uint8_t record_bits, duplicate_bits, trailing_bits, entry_bytes;
  uint32_t record_mask;
  uint8_t duplicate_mask, trailing_mask;
};

// Clears the key area of leaf `image` and writes the packing into its
// header (bytes 14 to 23); count and free bytes are the caller's.
inline void StartImage(const Packing& p, uint8_t* image) {
  std::memset(image + 24, 0, kArea);
  index_bytes::Put32(image + 14, static_cast<int32_t>(p.record_mask));
  image[18] = p.duplicate_mask;
  image[19] = p.trailing_mask;
  image[20] = p.record_bits;
  image[21] = p.duplicate_bits;
  image[22] = p.trailing_bits;
  image[23] = p.entry_bytes;
}

// The packing a leaf image names.
inline Packing ReadPacking(const uint8_t* image) {
  Packing p;
  p.record_mask = static_cast<uint32_t>(index_bytes::Get32(image + 14));
  p.duplicate_mask = image[18];
  p.trailing_mask = image[19];
  p.record_bits = image[20];
  p.duplicate_bits = image[21];
  p.trailing_bits = image[22];
  p.entry_bytes = image[23];
  return p;
}

// Entry j of the key area `area`: record number `rec`, duplicate count d,
// trailing count t.
inline void PutEntry(uint8_t* area, int j, const Packing& p, int32_t rec, int d, int t) {
  const int E = p.entry_bytes;
  uint64_t v = static_cast<uint32_t>(rec) & p.record_mask;
  v |= static_cast<uint64_t>(t) << (8 * E - p.trailing_bits);
  v |= static_cast<uint64_t>(d) << (8 * E - p.trailing_bits - p.duplicate_bits);
  for (int b = 0; b < E; ++b) area[j * E + b] = static_cast<uint8_t>(v >> (8 * b));
}

// Writes keys one after another into a leaf image, keeping its key count
// and free bytes current after each. The caller decides where leaves end
// (Cost against Free) and what a key shares with the one before it.
class Encoder {
 public:
  // Starts an empty leaf in `image` (512 bytes) for keys of `key_length`.
  void Start(const Packing& p, int key_length, uint8_t* image) {
    p_ = p;
    key_length_ = key_length;
    image_ = image;
    count_ = 0;
    free_ = kArea;
    stored_end_ = kArea;
    StartImage(p, image);
    Finish();
  }
  // Key-area bytes a key of `size` stored bytes sharing `d` with the key
  // before it takes.
  int Cost(size_t size, size_t d) const { return p_.entry_bytes + static_cast<int>(size - d); }
  // Appends key `k` (its stored form, at most the key length) of record
  // `rec`, sharing its first `d` bytes with the key before it; the key
  // must fit (Cost <= Free).
  void Add(std::string_view k, size_t d, int32_t rec) {
    const int t = key_length_ - static_cast<int>(k.size());
    const int n = static_cast<int>(k.size() - d);
    free_ -= p_.entry_bytes + n;
    uint8_t* area = image_ + 24;
    PutEntry(area, count_, p_, rec, static_cast<int>(d), t);
    stored_end_ -= n;
    std::memcpy(area + stored_end_, k.data() + d, static_cast<size_t>(n));
    ++count_;
    Finish();
  }
  int Count() const { return count_; }
  int Free() const { return free_; }

 private:
  void Finish() {
    index_bytes::Put16(image_ + 2, static_cast<uint32_t>(count_));
    index_bytes::Put16(image_ + 12, static_cast<uint32_t>(free_));
  }

  Packing p_{};
  int key_length_ = 0;
  uint8_t* image_ = nullptr;
  int count_ = 0;
  int free_ = kArea;
  int stored_end_ = kArea;
};

// Reads the entries of a leaf image in order, rebuilding each key from the
// bytes it shares with the key before it and its own stored bytes. Every
// count is checked against the leaf before it is used: a leaf another
// program damaged makes Valid or Next answer false, never a read outside
// the image.
class Decoder {
 public:
  // Takes the header of leaf image `b` for keys of `key_length` bytes
  // padded with `pad`.
  void Start(const uint8_t* b, int key_length, uint8_t pad) {
    area_ = b + 24;
    count_ = index_bytes::Get16(b + 2);
    free_ = index_bytes::Get16(b + 12);
    packing_ = ReadPacking(b);
    L_ = key_length;
    pad_ = pad;
    E_ = packing_.entry_bytes;
    entry_mask_ = E_ >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * E_)) - 1;
    T_ = packing_.trailing_bits;
    D_ = packing_.duplicate_bits;
    std::memset(key_, pad, sizeof key_);
    kept_ = 0;
    stored_end_ = kArea;
    used_ = 0;
  }
  // Whether the header can describe count entries at all (1 to 8 bytes per
  // entry, fields that fit them, masks that match the bit counts, entries
  // within the key area).
  bool Valid() const {
    return cdx_bytes::ValidPacking(count_, E_, packing_.record_bits, D_, T_, packing_.duplicate_mask,
                                   packing_.trailing_mask, kArea);
  }
  int Count() const { return count_; }
  int FreeBytes() const { return free_; }
  const Packing& LeafPacking() const { return packing_; }

  // Decodes entry i, entries in order from 0: afterwards rec, d, t, n,
  // start and Key() describe it. False when its counts do not fit the leaf.
  bool Next(int i) {
    // The entry's E bytes, little-endian: read as eight where the key
    // area has them and the bytes past the entry masked off.
    const int at = i * E_;
    uint64_t v = 0;
    if (at + 8 <= kArea) {
      v = bytes::GetLE64(area_ + at) & entry_mask_;
    } else {
      for (int k = E_ - 1; k >= 0; --k) v = (v << 8) | area_[at + k];
    }
    rec = static_cast<int32_t>(v & packing_.record_mask);
    t = static_cast<int>((v >> (8 * E_ - T_)) & packing_.trailing_mask);
    d = static_cast<int>((v >> (8 * E_ - T_ - D_)) & packing_.duplicate_mask);
    n = L_ - d - t;
    // d may reach into the previous key's trailing pad bytes: the buffer
    // holds them.
    if (n < 0 || stored_end_ - n < count_ * E_) return false;
    stored_end_ -= n;
    std::memcpy(key_ + d, area_ + stored_end_, static_cast<size_t>(n));
    // The buffer is pad bytes from kept_ on: only what the key before
    // left past this key's end needs padding again.
    const int end = L_ - t;
    if (kept_ > end) std::memset(key_ + end, pad_, static_cast<size_t>(kept_ - end));
    // The stored value: without trailing pad bytes, whatever the writer
    // kept.
    length = end;
    while (length > 0 && key_[length - 1] == pad_) --length;
    kept_ = length;
    used_ += E_ + n;
    start = stored_end_;
    return true;
  }
  // The key of the entry Next decoded: `length` bytes.
  const uint8_t* Key() const { return key_; }
  // After the last entry: whether the header's free bytes are what the
  // entries left.
  bool FreeAgrees() const { return free_ == kArea - used_; }

  int32_t rec = 0;
  int d = 0, t = 0, n = 0;
  int start = 0;   // where the entry's stored bytes begin in the key area
  int length = 0;  // the key's length without trailing pad bytes

 private:
  const uint8_t* area_ = nullptr;
  int count_ = 0;
  int free_ = 0;
  Packing packing_{};
  int L_ = 0, E_ = 0, T_ = 0, D_ = 0;
  uint64_t entry_mask_ = 0;  // the low E bytes
  uint8_t pad_ = 0;
  int stored_end_ = kArea;
  int used_ = 0;
  // key_ holds the last key decoded and pad bytes from kept_ (its length)
  // to the end: a key that shares d bytes with it may take some of them.
  int kept_ = 0;
  uint8_t key_[kMaxKey];
};

}  // namespace tessera::cdx_leaf
