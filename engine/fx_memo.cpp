#include "engine/fx_memo.h"

#include <algorithm>

#include "engine/errors.h"

namespace tessera {

using bytes::GetBE32;
using bytes::PutBE32;

KTobjFXMemo20::KTobjFXMemo20(KTO_dBaseDBF* owner, uint8_t version, bool writable, bool shared,
                             std::string_view table_file_name)
    : KTobjMemo(owner, version, writable, shared, table_file_name) {
  block_header_size_ = 8;
  if (IsClosed()) return;
  ReadAt(0, header_, 32);
  const uint32_t size = GetBE32(header_ + 4) & 0xFFFF;
  // Block size 0 is refused: every block number would point at the header.
  if (size == 0) {
    FormatError(kNoSubCode);
    return;
  }
  block_size_ = static_cast<int32_t>(size);
}

int32_t KTobjFXMemo20::BlockHeaderLength() {
  const uint32_t type = GetBE32(header_);
  if (type != 0 && type != 1) {
    FormatError(kSubMemoBlock);
    return 8;
  }
  const uint32_t length = GetBE32(header_ + 4);
  if (length > static_cast<uint32_t>(INT32_MAX - 8)) {
    FormatError(kSubMemoBlock);
    return 8;
  }
  return static_cast<int32_t>(length) + 8;
}

void KTobjFXMemo20::AppendTerminator(std::string&, int32_t) {}

void KTobjFXMemo20::AllocateBlocks(int32_t size) {
  const int32_t needed = static_cast<int32_t>((static_cast<int64_t>(size) + 8 + block_size_ - 1) / block_size_);
  if (current_block_ < 1 || current_block_count_ < needed) {
    uint8_t head[4];
    ReadAt(0, head, 4);
    uint32_t next = GetBE32(head);
    // Never below the blocks already in the file (a damaged header would
    // otherwise hand out blocks of other memos).
    const int64_t end = BlocksInFile();
    if (next < end) next = static_cast<uint32_t>(end);
    current_block_ = static_cast<int32_t>(next);
    PutBE32(head, next + static_cast<uint32_t>(needed));
    WriteAt(0, head, 4);
  }
  current_block_count_ = needed;
  PutBE32(header_, 1);
  PutBE32(header_ + 4, static_cast<uint32_t>(size));
}

bool KTobjFXMemo20::RenameMemo(std::string_view new_table_name) {
  return Rename(MemoFileName(new_table_name, version_));
}

}  // namespace tessera
