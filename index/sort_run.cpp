#include "index/sort_run.h"

#include <cstring>

namespace tessera {

void TktPageCollection::Append(uint8_t kind, int32_t total, int32_t fresh, const uint8_t* tail) {
  // Room is judged by the whole key length, not by the stored bytes, so an
  // entry and the 0 byte after it always fit in the page it starts.
  if (pages_.empty() || write_at_ + total + 3 >= kPageSize) {
    pages_.push_back(std::make_unique<uint8_t[]>(kPageSize));
    ++held_pages_;
    write_at_ = 0;
  }
  uint8_t* p = pages_.back().get() + write_at_;
  p[0] = kind;
  p[1] = static_cast<uint8_t>(total);
  p[2] = static_cast<uint8_t>(fresh);
  std::memcpy(p + 3, tail, static_cast<size_t>(fresh));
  write_at_ += 3 + fresh;
}

void TktPageCollection::StartReading() {
  page_ = 0;
  position_ = pages_.empty() ? -1 : 0;
  key_size_ = 0;
  ReadEntry();
}

void TktPageCollection::ReadEntry() {
  if (position_ < 0) return;
  const uint8_t* p = pages_[page_].get() + position_;
  if (p[0] == 0) {
    // End of this page: front compression carries over into the next one.
    pages_[page_].reset();
    --held_pages_;
    if (++page_ >= pages_.size()) {
      position_ = -1;
      return;
    }
    // A page is only made for an entry, so it never starts with the 0 byte.
    position_ = 0;
    p = pages_[page_].get();
  }
  const int32_t total = p[1];
  const int32_t fresh = p[2];
  key_kind_ = p[0];
  std::memcpy(key_ + (total - fresh), p + 3, static_cast<size_t>(fresh));
  key_size_ = total;
  position_ += 3 + fresh;
}

}  // namespace tessera
