#include "engine/memo4.h"

#include <algorithm>

#include "engine/errors.h"

namespace tessera {

using bytes::GetLE32;
using bytes::PutLE32;

KTobjMemo4::KTobjMemo4(KTO_dBaseDBF* owner, bool writable, bool shared, std::string_view table_file_name)
    : KTobjMemo(owner, 0x8B, writable, shared, table_file_name) {
  block_header_size_ = 8;
  if (IsClosed()) return;
  ReadAt(0, header_, 32);
  const uint32_t size = GetLE32(header_ + 20);
  // A block size of 0 would make every block number point at the header;
  // sizes beyond 64 KB or below the block header are not memo files either.
  if (size < 16 || size > 65536) {
    FormatError(kNoSubCode);
    return;
  }
  block_size_ = static_cast<int32_t>(size);
  if (FileSize() < block_size_ && IsWritable()) {
    const std::string zeros(static_cast<size_t>(block_size_) - static_cast<size_t>(FileSize()), '\0');
    WriteAt(FileSize(), zeros.data(), static_cast<int32_t>(zeros.size()));
  }
}

int32_t KTobjMemo4::BlockHeaderLength() {
  // header_ holds the first 32 bytes of the block.
  if (header_[0] != 0xFF || header_[1] != 0xFF) {
    FormatError(kSubMemoBlock);
    return 8;
  }
  const uint32_t total = GetLE32(header_ + 4);
  if (total < 8 || total > static_cast<uint32_t>(INT32_MAX)) {
    FormatError(kSubMemoBlock);
    return 8;
  }
  return static_cast<int32_t>(total);
}

void KTobjMemo4::AppendTerminator(std::string&, int32_t) {}

void KTobjMemo4::FreeBlocks(int32_t block) {
  uint8_t head[8];
  if (block <= 0 || block >= BlocksInFile() || ReadAt(static_cast<int64_t>(block) * block_size_, head, 8) != 8)
    return;
  // Only a run that really holds a memo is released; pushing a damaged one
  // on the free list would hand out blocks that belong to other memos.
  const uint32_t total = GetLE32(head + 4);
  if (head[0] != 0xFF || head[1] != 0xFF || total < 8 ||
      static_cast<int64_t>(block) * block_size_ + total > FileSize())
    return;
  const uint32_t run = (total + static_cast<uint32_t>(block_size_) - 1) / static_cast<uint32_t>(block_size_);
  uint8_t file_header[8];
  ReadAt(0, file_header, 8);
  uint8_t entry[8];
  PutLE32(entry, GetLE32(file_header));
  PutLE32(entry + 4, run);
  WriteAt(static_cast<int64_t>(block) * block_size_, entry, 8);
  PutLE32(file_header, static_cast<uint32_t>(block));
  PutLE32(file_header + 4, 0);
  WriteAt(0, file_header, 8);
}

int32_t KTobjMemo4::AllocateFromFreeList(int32_t needed) {
  uint8_t file_header[8];
  ReadAt(0, file_header, 8);
  int64_t end = FileSize() / block_size_;
  if (end == 0) {
    end = 1;
    WriteAt(0, file_header, 8);
  }
  int64_t previous = 0;  // the header, whose first 4 bytes link the list
  uint32_t link = GetLE32(file_header);
  int64_t steps = 0;
  while (link < end) {
    // A list longer than the file has blocks runs in a circle.
    if (link == 0 || ++steps > end) {
      FormatError(kSubMemoBlock);
      return 0;
    }
    uint8_t entry[8];
    ReadAt(static_cast<int64_t>(link) * block_size_, entry, 8);
    const uint32_t next = GetLE32(entry);
    const uint32_t length = GetLE32(entry + 4);
    if (length < static_cast<uint32_t>(needed) || link + static_cast<int64_t>(length) > end) {
      previous = link;
      link = next;
      continue;
    }
    uint32_t new_link = next;
    if (length > static_cast<uint32_t>(needed)) {
      new_link = link + static_cast<uint32_t>(needed);
      uint8_t rest[8];
      PutLE32(rest, next);
      PutLE32(rest + 4, length - static_cast<uint32_t>(needed));
      WriteAt(static_cast<int64_t>(new_link) * block_size_, rest, 8);
    }
    uint8_t out[4];
    PutLE32(out, new_link);
    WriteAt(previous * block_size_, out, 4);
    return static_cast<int32_t>(link);
  }
  const uint32_t block = static_cast<uint32_t>(end);
  uint8_t out[4];
  PutLE32(out, block + static_cast<uint32_t>(needed));
  WriteAt(previous * block_size_, out, 4);
  return static_cast<int32_t>(block);
}

void KTobjMemo4::AllocateBlocks(int32_t size) {
  const int32_t needed = (size + 8 + block_size_ - 1) / block_size_;
  if (current_block_ > 0) FreeBlocks(current_block_);
  current_block_ = AllocateFromFreeList(needed);
  current_block_count_ = needed;
  header_[0] = 0xFF;
  header_[1] = 0xFF;
  header_[2] = 0x08;
  header_[3] = 0x00;
  PutLE32(header_ + 4, static_cast<uint32_t>(size) + 8);
}

}  // namespace tessera
