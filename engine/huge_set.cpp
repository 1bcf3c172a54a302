#include "engine/huge_set.h"

#include <cstring>

namespace tessera {

void TktHugeSet::ChangeMember(int32_t n, int op) {
  if (n < 0) return;
  const size_t page = static_cast<size_t>(n / kPageMembers);
  while (pages_.size() <= page) pages_.push_back(std::make_unique<uint8_t[]>(kPageBytes));  // zeroed
  uint8_t& byte = pages_[page][(n / 8) % kPageBytes];
  const uint8_t bit = static_cast<uint8_t>(1u << (n % 8));
  switch (op) {
    case kRemove: byte &= static_cast<uint8_t>(~bit); break;
    case kAdd: byte |= bit; break;
    case kToggle: byte ^= bit; break;
    default: break;
  }
  if (n > highest_touched_) highest_touched_ = n;
}

bool TktHugeSet::Contains(int32_t n) const {
  if (n < 0 || n > highest_touched_) return false;
  const size_t page = static_cast<size_t>(n / kPageMembers);
  if (page >= pages_.size()) return false;
  return (pages_[page][(n / 8) % kPageBytes] >> (n % 8)) & 1;
}

int32_t TktHugeSet::NextMember(int32_t n) const {
  if (n < 0) n = 0;
  while (n <= highest_touched_) {
    const size_t page = static_cast<size_t>(n / kPageMembers);
    if (page >= pages_.size()) return -1;
    const uint8_t byte = pages_[page][(n / 8) % kPageBytes];
    if (byte == 0) {
      n = (n / 8 + 1) * 8;  // skip the empty byte
      continue;
    }
    if ((byte >> (n % 8)) & 1) return n;
    ++n;
  }
  return -1;
}

int32_t TktHugeSet::PriorMember(int32_t n) const {
  if (n > highest_touched_) n = highest_touched_;
  while (n >= 0) {
    const size_t page = static_cast<size_t>(n / kPageMembers);
    const uint8_t byte = page < pages_.size() ? pages_[page][(n / 8) % kPageBytes] : 0;
    if (byte == 0) {
      n = n / 8 * 8 - 1;
      continue;
    }
    if ((byte >> (n % 8)) & 1) return n;
    --n;
  }
  return -1;
}

void TktHugeSet::ClearAll() {
  for (auto& p : pages_) std::memset(p.get(), 0, kPageBytes);
  highest_touched_ = -1;
}

}  // namespace tessera
