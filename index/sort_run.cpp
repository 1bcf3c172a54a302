#include "index/sort_run.h"

#include <algorithm>
#include <cstring>

#include "index/sort_work_file.h"

namespace tessera {

void TktPageCollection::Append(uint8_t kind, int32_t total, int32_t fresh, const uint8_t* tail) {
  if (writing_to_file_) {
    if (out_.size() + 3 + static_cast<size_t>(fresh) > static_cast<size_t>(kWriteBuffer)) Flush();
    out_.push_back(kind);
    out_.push_back(static_cast<uint8_t>(total));
    out_.push_back(static_cast<uint8_t>(fresh));
    out_.insert(out_.end(), tail, tail + fresh);
    return;
  }
  // Room is judged by the whole key length, not by the stored bytes, so an
  // entry and the 0 byte after it always fit in the page it starts.
  if (pages_.empty() || write_at_ + total + 3 >= kPageSize) {
    // Not cleared: the 0 byte after the last entry is written with it.
    pages_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kPageSize));
    page_used_.push_back(0);
    ++held_pages_;
    write_at_ = 0;
  }
  uint8_t* p = pages_.back().get() + write_at_;
  p[0] = kind;
  p[1] = static_cast<uint8_t>(total);
  p[2] = static_cast<uint8_t>(fresh);
  std::memcpy(p + 3, tail, static_cast<size_t>(fresh));
  p[3 + fresh] = 0;  // ends the page until another entry follows
  write_at_ += 3 + fresh;
  page_used_.back() = write_at_;
}

void TktPageCollection::Flush() {
  if (out_.empty()) return;
  file_->Append(out_.data(), out_.size());
  file_end_ += static_cast<int64_t>(out_.size());
  out_.clear();
}

void TktPageCollection::StartSpilledWrite(SortWorkFile& file) {
  file_ = &file;
  file_begin_ = file_end_ = file.Size();
  writing_to_file_ = true;
  out_.reserve(kWriteBuffer);
}

void TktPageCollection::EndSpilledWrite() {
  if (!writing_to_file_) return;
  Flush();
  writing_to_file_ = false;
  out_ = std::vector<uint8_t>();
}

void TktPageCollection::SpillTo(SortWorkFile& file) {
  // Each page's entries in turn: without the 0 bytes that end the pages
  // they follow one another as one stream (front compression already
  // runs on across pages).
  // They go out a quarter of a megabyte at a time, not a call per page.
  file_begin_ = file.Size();
  constexpr size_t kSpillWrite = 256 * 1024;
  std::vector<uint8_t> out;
  out.reserve(std::min(kSpillWrite, pages_.size() * size_t{kPageSize}));
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (!pages_[i]) continue;
    const size_t used = static_cast<size_t>(page_used_[i]);
    if (out.size() + used > kSpillWrite) {
      file.Append(out.data(), out.size());
      out.clear();
    }
    out.insert(out.end(), pages_[i].get(), pages_[i].get() + used);
  }
  if (!out.empty()) file.Append(out.data(), out.size());
  file_end_ = file.Size();
  file_ = &file;
  pages_.clear();
  pages_.shrink_to_fit();
  page_used_.clear();
  page_used_.shrink_to_fit();
  held_pages_ = 0;
  position_ = -1;
}

void TktPageCollection::StartReading(int32_t read_buffer) {
  key_size_ = 0;
  if (file_ != nullptr) {
    EndSpilledWrite();
    file_next_ = file_begin_;
    buffer_size_ = 0;
    position_ = file_begin_ < file_end_ ? 0 : -1;
    buffer_capacity_ = std::clamp(read_buffer, kReadBuffer, kLargestReadBuffer);
    if (position_ == 0) buffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(buffer_capacity_));
    ReadEntry();
    return;
  }
  page_ = 0;
  position_ = pages_.empty() ? -1 : 0;
  ReadEntry();
}

// Keeps a whole entry (at most 3 + kMaxKey bytes) in the buffer ahead of
// the position, unless the run has fewer bytes left.
void TktPageCollection::Refill() {
  const int32_t rest = buffer_size_ - position_;
  std::memmove(buffer_.get(), buffer_.get() + position_, static_cast<size_t>(rest));
  const int64_t n = std::min<int64_t>(buffer_capacity_ - rest, file_end_ - file_next_);
  file_->Read(file_next_, buffer_.get() + rest, static_cast<size_t>(n));
  file_next_ += n;
  buffer_size_ = rest + static_cast<int32_t>(n);
  position_ = 0;
}

void TktPageCollection::ReadEntry() {
  if (position_ < 0) return;
  const uint8_t* p = nullptr;
  if (file_ != nullptr) {
    if (buffer_size_ - position_ < 3 + kMaxKey && file_next_ < file_end_) Refill();
    if (position_ >= buffer_size_) {
      position_ = -1;
      buffer_.reset();
      return;
    }
    p = buffer_.get() + position_;
    // The file gives back what was written; an entry that does not fit
    // what is left, or does not follow from the key before, means it did not.
    if (p[0] == 0 || position_ + 3 > buffer_size_ || position_ + 3 + p[2] > buffer_size_ || p[2] > p[1] ||
        p[1] - p[2] > key_size_)
      file_->ReportDamage();
  } else {
    p = pages_[page_].get() + position_;
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
  }
  const int32_t total = p[1];
  const int32_t fresh = p[2];
  key_kind_ = p[0];
  std::memcpy(key_ + (total - fresh), p + 3, static_cast<size_t>(fresh));
  key_size_ = total;
  position_ += 3 + fresh;
}

}  // namespace tessera
