#include "index/mdx_build.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/mdx_file.h"
#include "index/table_scan.h"

namespace tessera {

KTobjSortMDX::KTobjSortMDX(KTobjMDXTag* tag, const uint8_t* collation, bool ascending, bool unique)
    : TktSort(std::min<int32_t>(tag->KeyLength() + 1, TktSort::kMaxKeyLength), collation, ascending, unique),
      tag_(tag),
      levels_(tag->Name()) {}

KTobjSortMDX::KTobjSortMDX(KTobjMDXTag* tag, const uint8_t* collation, bool ascending, bool unique,
                           const SpillSettings& spill)
    : TktSort(std::min<int32_t>(tag->KeyLength() + 1, TktSort::kMaxKeyLength), collation, ascending, unique, spill),
      tag_(tag),
      levels_(tag->Name()) {}

KTobjSortMDX::~KTobjSortMDX() {
  try {
    Finish();
  } catch (...) {
  }
}

std::string KTobjSortMDX::LastKey(const Level& l) const {
  const size_t at = 8 + static_cast<size_t>(l.count - 1) * tag_->EntrySize() + 4;
  return std::string(reinterpret_cast<const char*>(l.block.data() + at), static_cast<size_t>(tag_->KeyLength()));
}

int32_t KTobjSortMDX::WriteLevel(int level, Level& l) {
  // In an interior node the last entry is the rightmost child: it is not
  // counted.
  bytes::PutLE32(l.block.data(), static_cast<uint32_t>(l.count - (level > 0 ? 1 : 0)));
  bytes::PutLE32(l.block.data() + 4, tag_->LastNodePage());
  auto* file = static_cast<KTobjMDXFile*>(tag_->File());
  const int32_t page = file->AllocateNode();
  if (page >= 0 && page <= INT32_MAX / KTobjMDXFile::kPage - file->BlockPages()) {
    runs_.Add(file, page, l.block.data(), static_cast<int32_t>(l.block.size()));
  } else {
    // A page past what the file can address: the file's own write refuses it.
    runs_.Flush(file);
    file->WriteBlock(page, l.block.data(), static_cast<int32_t>(l.block.size()));
  }
  tag_->NoteAllocated(page);
  return page;
}

void KTobjSortMDX::AddToLevel(int level, int32_t number, std::string_view key_bytes) {
  Level& l = levels_.At(level);
  if (!l.used) {
    l.block.assign(static_cast<size_t>(tag_->File() ? static_cast<KTobjMDXFile*>(tag_->File())->BlockBytes() : 1024), 0);
    l.used = true;
    l.count = 0;
  }
  if (l.count >= tag_->MaxKeys()) {
    // The node is full: it is written, and its last key goes up a level.
    const std::string last = LastKey(l);
    const int32_t page = WriteLevel(level, l);
    std::fill(l.block.begin(), l.block.end(), 0);
    l.count = 0;
    AddToLevel(level + 1, page, last);
  }
  Level& now = levels_.At(level);
  uint8_t* e = now.block.data() + 8 + static_cast<size_t>(now.count) * tag_->EntrySize();
  bytes::PutLE32(e, static_cast<uint32_t>(number));
  // The stored form of text is padded with blanks (StoredKey); every
  // other stored key has the key's length.
  const auto length = static_cast<size_t>(tag_->KeyLength());
  const size_t n = std::min(key_bytes.size(), length);
  std::memcpy(e + 4, key_bytes.data(), n);
  if (n < length && tag_->KeyType() == 'C') std::memset(e + 4 + n, ' ', length - n);
  ++now.count;
}

void KTobjSortMDX::PackSorted() {
  TktVariant key(256);
  int32_t recno = 0;
  KTO_dBHandler* table = tag_->Table();
  const bool text = tag_->KeyType() == 'C';
  std::string padded;
  while (NextKey(key, recno)) {
    ++keys_packed_;
    if (table != nullptr) table->StatusUpdate(2, static_cast<int32_t>(keys_packed_), 0);
    if (text) {
      // Straight into the node, which pads it as StoredKey would.
      AddToLevel(0, recno, key.bytes());
      continue;
    }
    // The sort hands numbers and dates back as doubles: the tag's stored
    // form from them.
    padded = tag_->StoredKey(key);
    AddToLevel(0, recno, padded);
  }
}

void KTobjSortMDX::Finish() {
  if (finished_) return;
  finished_ = true;
  levels_.Finish([](const Level& l) { return l.used && l.count > 0; }, [&](int level, Level& l, bool top) {
    const std::string last = LastKey(l);
    const int32_t page = WriteLevel(level, l);
    l.used = false;
    if (top) tag_->SetRootOffset(page);
    else AddToLevel(level + 1, page, last);
  });
  if (KTobjIndexFile* file = tag_->File()) runs_.Flush(file);
}

void KTobjMDXTag::BuildTag(KTobjSortMDX* keys) {
  KTO_dBHandler* table = Table();
  const int32_t count = table != nullptr ? table->RecordCount() : 0;
  int64_t packed = 0;
  if (keys != nullptr) {
    keys->PackFor(this);
    try {
      if (table != nullptr && count > 0) {
        keys->PackSorted();
        table->StatusUpdate(0, 0, 0);
      }
    } catch (...) {
      // The sort outlives this tag (its caller owns it): its last nodes
      // are written now, while the tag is still there, as a sort of
      // BuildTag's own would at its end.
      try {
        keys->Finish();
      } catch (...) {
      }
      throw;
    }
    keys->Finish();
    packed = keys->KeysPacked();
  } else {
    KTobjSortMDX sort(this, nullptr, !reverse_compare_, unique_);
    if (table != nullptr && count > 0) {
      SortRecordKeys(*this, sort);
      sort.PackSorted();
      table->StatusUpdate(0, 0, 0);
    }
    sort.Finish();
    packed = sort.KeysPacked();
  }
  // No key at all (no records, or none passes the FOR condition): an empty
  // root leaf.
  if (packed == 0) WriteEmptyRoot();
  header_dirty_ = true;
  WriteTagHeader();
}

}  // namespace tessera
