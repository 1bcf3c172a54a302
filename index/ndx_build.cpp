#include "index/ndx_build.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/index_file.h"
#include "index/single_tag_file.h"
#include "index/table_scan.h"

namespace tessera {

KTobjSortNdx::KTobjSortNdx(KTobjNDXTag* tag) : KTobjSortNdx(tag, CurrentSpillSettings()) {}

KTobjSortNdx::KTobjSortNdx(KTobjNDXTag* tag, const SpillSettings& spill)
    : TktSort(tag->KeyType() == 'C' ? std::min<int32_t>(tag->KeyLength() + 1, TktSort::kMaxKeyLength) : 9, nullptr, true,
              tag->Unique(), spill),
      tag_(tag),
      levels_(tag->Name()) {
  width_ = tag->KeyType() == 'C' ? tag->KeyLength() : 8;
}

void KTobjSortNdx::Write(Level& l, int level, int32_t block) {
  // An interior node's last entry is its rightmost child, not a key.
  const int keys = level > 0 ? l.count - 1 : l.count;
  bytes::PutLE16(l.node.data(), static_cast<uint32_t>(keys));
  if (level > 0) {
    uint8_t* last = l.node.data() + 4 + (l.count - 1) * tag_->EntrySize();
    std::memset(last + 4, 0, static_cast<size_t>(tag_->EntrySize() - 4));
  }
  runs_.Add(tag_->File(), block, l.node.data(), KTobjNDXTag::kBlockBytes);
  l.started = false;
}

void KTobjSortNdx::PutKey(uint8_t* at, std::string_view value) const {
  // Text padded with blanks to the key length; numbers and dates are the
  // eight bytes of their double.
  const size_t n = std::min(value.size(), static_cast<size_t>(width_));
  std::memcpy(at, value.data(), n);
  std::memset(at + n, tag_->KeyType() == 'C' ? ' ' : 0, static_cast<size_t>(width_) - n);
}

void KTobjSortNdx::LastKey(const Level& l, KeyBytes& key) const {
  const uint8_t* e = l.node.data() + 4 + (l.count - 1) * tag_->EntrySize();
  std::memcpy(key.data(), e + 8, static_cast<size_t>(width_));
}

void KTobjSortNdx::AddToLevel(int level, const uint8_t* key, int32_t value) {
  Level& l = levels_.At(level);
  if (!l.started) {
    l.node.fill(0);
    l.count = 0;
    l.started = true;
  }
  if (l.count >= tag_->MaxKeys()) {
    KeyBytes up;
    LastKey(l, up);
    const int32_t block = tag_->File()->AllocateNode();
    Write(l, level, block);
    AddToLevel(level + 1, up.data(), block);
    l.node.fill(0);
    l.count = 0;
    l.started = true;
  }
  uint8_t* e = l.node.data() + 4 + l.count * tag_->EntrySize();
  bytes::PutLE32(level == 0 ? e + 4 : e, static_cast<uint32_t>(value));
  std::memcpy(e + 8, key, static_cast<size_t>(width_));
  ++l.count;
}

void KTobjSortNdx::PackSorted() {
  TktVariant value(256);
  int32_t recno = 0;
  KeyBytes key;
  KTO_dBHandler* table = tag_->Table();
  while (NextKey(value, recno)) {
    ++written_;
    if (table != nullptr) table->StatusUpdate(2, static_cast<int32_t>(written_), 0);
    PutKey(key.data(), value.bytes());
    AddToLevel(0, key.data(), recno);
  }
}

void KTobjSortNdx::Finish() {
  if (written_ == 0) {
    levels_.Clear();
    tag_->WriteEmptyRoot();
    return;
  }
  levels_.Finish([](const Level& l) { return l.started; }, [&](int d, Level& l, bool top) {
    const int32_t block = tag_->File()->AllocateNode();
    if (top) tag_->SetRoot(block);
    KeyBytes up;
    LastKey(l, up);
    Write(l, d, block);
    if (top) return;
    // The last child of a level may take the node's spare entry, so that
    // no interior node is left without a key.
    Level& above = levels_.At(d + 1);
    if (above.started && above.count >= tag_->MaxKeys()) {
      uint8_t* e = above.node.data() + 4 + above.count * tag_->EntrySize();
      bytes::PutLE32(e, static_cast<uint32_t>(block));
      std::memcpy(e + 8, up.data(), static_cast<size_t>(width_));
      ++above.count;
    } else {
      AddToLevel(d + 1, up.data(), block);
    }
  });
  runs_.Flush(tag_->File());
}

void KTobjNDXTag::BuildTag(KTobjSortNdx* gathered) {
  if (gathered != nullptr) PackGatheredTree(*this, *gathered);
  else BuildSingleTagTree<KTobjSortNdx>(*this);
}

}  // namespace tessera
