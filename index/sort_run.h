// TktPageCollection: one sorted run of the key sort.
//
// A run is written once, in order, when a full part of the sort's key pool
// has been sorted, and then read once, in order, by the merge. Keys are
// front-compressed: each entry keeps only the bytes in which a key differs
// from the key before it.
//
// A run is held in memory pages. When the sort holds more runs than it may
// keep in memory, a finished run is moved to the sort's work file
// (SpillTo), or a run the merge makes is written there as it goes
// (StartSpilledWrite); such a run is read back through a buffer of its own
// (kReadBuffer bytes) that exists only while it is being read. Either way
// it delivers the same keys.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tessera {

class SortWorkFile;

class TktPageCollection {
 public:
  static constexpr int32_t kPageSize = 16384;
  // Longest encoded key an entry can describe (its length is one byte).
  static constexpr int32_t kMaxKey = 255;
  // Read buffer of a run in the work file, and the write buffer of a run
  // written there directly.
  static constexpr int32_t kReadBuffer = 4096;
  static constexpr int32_t kLargestReadBuffer = 65536;
  static constexpr int32_t kWriteBuffer = 65536;

  TktPageCollection() = default;
  TktPageCollection(const TktPageCollection&) = delete;
  TktPageCollection& operator=(const TktPageCollection&) = delete;

  // Appends an entry: the key is `total` bytes long, of which the first
  // total - fresh equal those of the previous key appended; `tail` points
  // at the remaining `fresh` bytes. `kind` is the key's kind code (never 0).
  void Append(uint8_t kind, int32_t total, int32_t fresh, const uint8_t* tail);

  // Ends writing and reads the first entry (the run is exhausted at once
  // when nothing was appended). A run in the work file is read through a
  // buffer of `read_buffer` bytes (kReadBuffer to kLargestReadBuffer).
  void StartReading(int32_t read_buffer = kReadBuffer);
  // Reads the next entry into the current key, or marks the run exhausted.
  // A page (or the read buffer) is freed as soon as reading leaves it.
  void ReadEntry();

  // Moves the entries written so far to the end of `file` and frees the
  // pages. Reading starts again from the first entry at StartReading.
  void SpillTo(SortWorkFile& file);
  // Makes an empty run that Append writes to the end of `file` (through a
  // write buffer): nothing else may append to the file until StartReading.
  void StartSpilledWrite(SortWorkFile& file);
  // Writes what is left in the write buffer: the run is complete in the file.
  void EndSpilledWrite();
  bool Spilled() const { return file_ != nullptr; }

  // Set (by the thread that wrote the run) once it is complete; from then
  // on another thread may take it over.
  void MarkSorted() { sorted_.store(true, std::memory_order_release); }
  bool Sorted() const { return sorted_.load(std::memory_order_acquire); }

  bool Exhausted() const { return position_ < 0; }
  // The current key: the encoded bytes, their count and the kind code.
  const uint8_t* Key() const { return key_; }
  int32_t KeySize() const { return key_size_; }
  uint8_t KeyKind() const { return key_kind_; }

  // Pages held now (they are released as reading moves on).
  size_t PageCount() const { return held_pages_; }
  // Memory held now: pages and buffers.
  size_t MemoryBytes() const {
    return held_pages_ * kPageSize + (buffer_ ? static_cast<size_t>(buffer_capacity_) : 0) + out_.capacity();
  }

 private:
  void Refill();
  void Flush();

  // A 0 kind byte is written after each entry appended to a page (the
  // next entry, if any, takes its place), so one always follows the last.
  //
  // Entry layout at a page offset:
  //   0      1 byte   kind code (0x10 binary, 0x20 character, 0x30 numeric,
  //                   0x40 date); 0 ends the page
  //   1      1 byte   t, the key's total length (record number included)
  //   2      1 byte   n, the count of bytes stored
  //   3      n bytes  the key's last n bytes; its first t - n bytes are
  //                   those of the key before it (also across pages)
  //
  // In the work file a run is its entries one after another, without the 0
  // bytes (the end of its bytes ends it), at [file_begin_, file_end_).
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  std::vector<int32_t> page_used_;  // bytes of entries in each page
  size_t held_pages_ = 0;
  size_t page_ = 0;        // page being written or read
  int32_t position_ = -1;  // offset in that page (in memory) or in the read
                           // buffer (in the file); -1 exhausted or empty
  int32_t write_at_ = 0;   // next free offset of the last page while writing

  SortWorkFile* file_ = nullptr;
  int64_t file_begin_ = 0, file_end_ = 0;
  int64_t file_next_ = 0;  // next offset to read
  std::unique_ptr<uint8_t[]> buffer_;
  int32_t buffer_size_ = 0;  // bytes in the buffer
  int32_t buffer_capacity_ = kReadBuffer;
  bool writing_to_file_ = false;
  std::vector<uint8_t> out_;  // entries on their way to the file

  std::atomic<bool> sorted_{false};

  uint8_t key_[kMaxKey + 1] = {};
  int32_t key_size_ = 0;
  uint8_t key_kind_ = 0;
};

}  // namespace tessera
