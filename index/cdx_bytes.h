// Byte access shared by the compound-index code that reads and writes node
// images: header fields are little-endian, interior entries' record and
// child numbers big-endian (cdx_tag.h describes the layout).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/byte_order.h"

namespace tessera::cdx_bytes {

using namespace index_bytes;

// Node attributes (bytes 0-1): bit 0 root, bit 1 leaf. Visual FoxPro sets
// bit 2 as well (values 4 to 7); a node with any higher bit set is none.
inline bool ValidAttributes(uint16_t attributes) { return attributes < 8; }
inline bool IsLeafAttributes(uint16_t attributes) { return (attributes & 2) != 0; }

// A leaf's packing header as found (bytes 18 to 23 and the key count):
// 1 to 8 bytes per entry (writers with few records and short keys use
// one), fields that fit them, masks that match their bit counts, and the
// entries within the key area.
inline bool ValidPacking(int count, int E, int R, int D, int T, uint8_t duplicate_mask, uint8_t trailing_mask,
                         int area) {
  if (E < 1 || E > 8 || R > 32 || D > 8 || T > 8 || R + D + T > 8 * E || count * E > area) return false;
  return duplicate_mask == (1u << D) - 1 && trailing_mask == (1u << T) - 1;
}

// How many leading bytes two keys share: what a leaf entry's duplicate
// count says of a key and the one before it.
inline size_t CommonPrefix(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The first entry of an interior node image `b` (`count` entries of
// `entry_size` bytes from byte 12, each a key of `key_length` bytes padded
// with `pad`, then record and child) for which `compare(key, length)`,
// given the key without its padding, is <= 0: the first whose key does not
// sort before the target.
template <class Compare>
int InteriorLowerBound(const uint8_t* b, int count, int entry_size, int key_length, uint8_t pad, Compare compare) {
  int lo = 0, hi = count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    const uint8_t* e = b + 12 + mid * entry_size;
    int length = key_length;
    while (length > 0 && e[length - 1] == pad) --length;
    if (compare(e, length) <= 0) hi = mid;
    else lo = mid + 1;
  }
  return lo;
}

}  // namespace tessera::cdx_bytes
