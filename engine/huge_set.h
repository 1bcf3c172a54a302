// TktHugeSet: a set of record numbers as a paged bit map. Pages of 16 384
// bytes (131 072 members each) are added, zero-filled, as members are
// touched; member n is bit n mod 8 of byte (n div 8) mod 16 384 of page
// n div 131 072.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tessera {

class TktHugeSet {
 public:
  static constexpr int32_t kPageBytes = 16384;
  static constexpr int32_t kPageMembers = kPageBytes * 8;

  enum Operation { kRemove = 0, kAdd = 1, kToggle = 2 };

  // Changes member n (n >= 0) by op; other op codes change no bit but still
  // create the pages and raise HighestTouched.
  void ChangeMember(int32_t n, int op);
  bool Contains(int32_t n) const;
  // Zeroes every page (pages are kept); HighestTouched becomes -1.
  void ClearAll();

  // The smallest member at or above n / the largest at or below n; -1 when
  // there is none.
  int32_t NextMember(int32_t n) const;
  int32_t PriorMember(int32_t n) const;

  int32_t HighestTouched() const { return highest_touched_; }
  size_t PageCount() const { return pages_.size(); }

 private:
  using Page = std::unique_ptr<uint8_t[]>;
  std::vector<Page> pages_;
  int32_t highest_touched_ = -1;
};

}  // namespace tessera
