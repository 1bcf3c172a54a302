#include "index/ntx_build.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/index_file.h"
#include "index/single_tag_file.h"
#include "index/table_scan.h"

namespace tessera {
namespace {

constexpr int32_t kPage = KTobjNTXTag::kPageSize;

}  // namespace

KTobjSortNTX::KTobjSortNTX(KTobjNTXTag* tag) : KTobjSortNTX(tag, CurrentSpillSettings()) {}

KTobjSortNTX::KTobjSortNTX(KTobjNTXTag* tag, const SpillSettings& spill)
    : TktSort(std::min<int32_t>(tag->KeyLength() + 1, TktSort::kMaxKeyLength), nullptr, !tag->PhysicallyDescending(),
              tag->Unique() && !tag->PhysicallyDescending(), spill),
      tag_(tag),
      descending_(tag->PhysicallyDescending()),
      unique_(tag->Unique()),
      levels_(tag->Name()) {}

void KTobjSortNTX::StartPage(Level& l) {
  l.page.fill(0);
  const int m = tag_->MaxKeys();
  const int base = 2 + 2 * (m + 1);
  for (int i = 0; i <= m; ++i) bytes::PutLE16(l.page.data() + 2 + 2 * i, static_cast<uint32_t>(base + i * tag_->EntrySize()));
  l.count = 0;
  l.started = true;
}

void KTobjSortNTX::PutSlot(Level& l, int32_t child, int32_t recno, std::string_view key) {
  const int m = tag_->MaxKeys();
  uint8_t* s = l.page.data() + 2 + 2 * (m + 1) + l.count * tag_->EntrySize();
  bytes::PutLE32(s, static_cast<uint32_t>(child));
  bytes::PutLE32(s + 4, static_cast<uint32_t>(recno));
  const size_t L = static_cast<size_t>(tag_->KeyLength());
  std::memset(s + 8, ' ', L);
  std::memcpy(s + 8, key.data(), std::min(L, key.size()));
  ++l.count;
}

std::string KTobjSortNTX::SlotKey(const Level& l, int i) const {
  const uint8_t* s = l.page.data() + 2 + 2 * (tag_->MaxKeys() + 1) + i * tag_->EntrySize();
  return std::string(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(tag_->KeyLength()));
}

int32_t KTobjSortNTX::SlotRecord(const Level& l, int i) const {
  const uint8_t* s = l.page.data() + 2 + 2 * (tag_->MaxKeys() + 1) + i * tag_->EntrySize();
  return static_cast<int32_t>(bytes::GetLE32(s + 4));
}

void KTobjSortNTX::SetSlotRecord(Level& l, int i, int32_t recno) {
  uint8_t* s = l.page.data() + 2 + 2 * (tag_->MaxKeys() + 1) + i * tag_->EntrySize();
  bytes::PutLE32(s + 4, static_cast<uint32_t>(recno));
}

void KTobjSortNTX::WriteLevel(Level& l, int32_t offset, int counted) {
  bytes::PutLE16(l.page.data(), static_cast<uint32_t>(counted));
  runs_.Add(tag_->File(), offset, l.page.data(), kPage);
  l.started = false;
}

void KTobjSortNTX::AddLeafKey(std::string_view key, int32_t recno) {
  Level& l = levels_.At(0);
  if (!l.started) StartPage(l);
  if (l.count >= fill_) {
    // A full leaf: the key after it goes up between it and the next leaf.
    const int32_t offset = tag_->File()->AllocateNode();
    WriteLevel(l, offset, l.count);
    AddToLevel(1, key, recno, offset, false);
    return;
  }
  PutSlot(l, 0, recno, key);
}

void KTobjSortNTX::AddToLevel(int level, std::string_view key, int32_t recno, int32_t left, bool finishing) {
  Level& l = levels_.At(level);
  if (!l.started) StartPage(l);
  const int m = tag_->MaxKeys();
  // The last child of a level may take the page's spare slot.
  if (l.count >= m && !(finishing && l.count == m)) {
    // The page's last key leaves it for the level above; its child stays
    // as the page's rightmost child.
    const std::string up_key = SlotKey(l, l.count - 1);
    const int32_t up_recno = SlotRecord(l, l.count - 1);
    SetSlotRecord(l, l.count - 1, 0);
    const int32_t offset = tag_->File()->AllocateNode();
    WriteLevel(l, offset, l.count - 1);
    AddToLevel(level + 1, up_key, up_recno, offset, false);
    StartPage(l);
  }
  PutSlot(l, left, recno, key);
}

void KTobjSortNTX::Emit(std::string_view key, int32_t recno) {
  ++written_;
  if (KTO_dBHandler* table = tag_->Table()) table->StatusUpdate(2, static_cast<int32_t>(written_), 0);
  AddLeafKey(key, recno);
  last_key_.assign(key);
  last_recno_ = recno;
}

void KTobjSortNTX::PackSorted() {
  const int64_t k = KeyCount();
  const int64_t m = tag_->MaxKeys();
  const int64_t pages = k / m + 1;
  fill_ = std::max<int64_t>(1, (k + pages - 1) / pages);
  TktVariant value(256);
  int32_t recno = 0;
  const int32_t L = tag_->KeyLength();
  auto padded = [L](const TktVariant& v) {
    std::string t(v.bytes());
    if (static_cast<int32_t>(t.size()) < L) t.append(static_cast<size_t>(L - static_cast<int32_t>(t.size())), ' ');
    return t;
  };
  if (!descending_) {
    // PutSlot pads the key with blanks where it writes it.
    while (NextKey(value, recno)) Emit(value.bytes(), recno);
    return;
  }
  // Descending: a group of equal keys comes out by descending record
  // number and is written the other way round (of a unique tag, only the
  // lowest record).
  std::string group_key;
  std::vector<int32_t> group;
  auto flush = [&] {
    if (group.empty()) return;
    if (unique_) Emit(group_key, group.back());
    else
      for (auto it = group.rbegin(); it != group.rend(); ++it) Emit(group_key, *it);
    group.clear();
  };
  while (NextKey(value, recno)) {
    std::string key = padded(value);
    if (!group.empty() && key != group_key) flush();
    if (group.empty()) group_key = std::move(key);
    group.push_back(recno);
  }
  flush();
}

void KTobjSortNTX::Finish() {
  if (written_ == 0) {
    levels_.Clear();
    tag_->WriteEmptyRoot();
    return;
  }
  // Every level made has a page to write.
  levels_.Finish([](const Level&) { return true; }, [&](int d, Level& l, bool top) {
    if (!l.started) {
      // Only at the leaves: the last key went up, and the last leaf is
      // empty.
      StartPage(l);
    }
    const int32_t offset = tag_->File()->AllocateNode();
    if (top) tag_->SetRoot(offset);
    int counted = l.count;
    std::string up_key = l.count > 0 ? SlotKey(l, l.count - 1) : last_key_;
    int32_t up_recno = l.count > 0 ? SlotRecord(l, l.count - 1) : last_recno_;
    if (d > 0) {
      // The last slot keeps only the rightmost child.
      SetSlotRecord(l, l.count - 1, 0);
      --counted;
    }
    WriteLevel(l, offset, counted);
    if (!top) AddToLevel(d + 1, up_key, up_recno, offset, true);
  });
  runs_.Flush(tag_->File());
}

void KTobjNTXTag::BuildTag(KTobjSortNTX* gathered) {
  if (gathered != nullptr) PackGatheredTree(*this, *gathered);
  else BuildSingleTagTree<KTobjSortNTX>(*this);
}

}  // namespace tessera
