#include "index/cdx_build.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/cdx_file.h"
#include "index/table_scan.h"

namespace tessera {

using namespace index_bytes;

namespace {

// The count of leading bytes `a` and `b` (at most n) have in common,
// compared eight at a time: sorted keys of the callbook's name tags share
// long beginnings.
size_t SharedBytes(const char* a, const char* b, size_t n) {
  size_t d = 0;
  for (; d + 8 <= n; d += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + d, 8);
    std::memcpy(&y, b + d, 8);
    if (x != y) {
      // The first byte in memory that differs is the lowest one of the
      // word on a little-endian machine.
      if constexpr (std::endian::native == std::endian::little) return d + static_cast<size_t>(std::countr_zero(x ^ y)) / 8;
      break;
    }
  }
  while (d < n && a[d] == b[d]) ++d;
  return d;
}

}  // namespace

KTobjSortCDX::KTobjSortCDX(KTobjCDXTag* tag, int64_t record_count)
    : KTobjSortCDX(tag, record_count, CurrentSpillSettings()) {}

KTobjSortCDX::KTobjSortCDX(KTobjCDXTag* tag, int64_t record_count, const SpillSettings& spill)
    // Keys reach the sort in stored form, no longer than the key length
    // (up to 240, the most the sort takes).
    : TktSort(std::min<int32_t>(tag->KeyLength() + 1, TktSort::kMaxKeyLength), nullptr, true, tag->Unique(), spill),
      tag_(tag),
      key_length_(tag->KeyLength()),
      record_count_(record_count),
      levels_(tag->Name()) {
  packing_ = KTobjCDXTag::PackingFor(tag->KeyLength(), record_count, false);
}

void KTobjSortCDX::StartNode(int level) {
  Level& l = levels_.At(level);
  l.image.fill(0);
  l.offset = tag_->File()->AllocateNode();
  l.count = 0;
  l.started = true;
  Put16(l.image.data(), level == 0 ? 2 : 0);
  Put32(l.image.data() + 4, l.left);
  Put32(l.image.data() + 8, -1);
  if (level == 0) {
    l.leaf.Start(packing_, tag_->KeyLength(), l.image.data());
  } else {
    std::memset(l.image.data() + 12, tag_->PadByte(), KTobjCDXTag::kInteriorArea);
  }
}

void KTobjSortCDX::WriteFull(Level& l, int32_t right) {
  Put32(l.full.data() + 8, right);
  runs_.Add(tag_->File(), l.full_offset, l.full.data(), 512);
  l.has_full = false;
}

void KTobjSortCDX::HoldFull(Level& l) {
  l.full = l.image;
  l.full_offset = l.offset;
  l.has_full = true;
  l.left = l.offset;
  l.started = false;
}

void KTobjSortCDX::AddToLevel(int level, int32_t reference, const TktVariant& key, int32_t record_number) {
  Level& l = levels_.At(level);
  if (!l.started) {
    StartNode(level);
    // The node before this one at this level learns its right neighbour.
    if (l.has_full) WriteFull(l, l.offset);
  }
  const int L = tag_->KeyLength();
  const std::string_view k = key.bytes().substr(0, static_cast<size_t>(L));
  if (level == 0) {
    // The bytes shared with the previous key as both stand in the key
    // length, padded: they may reach into its trailing blanks (or zero
    // bytes), which the reader's key buffer holds.
    // The key before this one in the leaf is the one PackSorted delivered
    // last (previous_key_): a leaf is only ever filled from there.
    size_t d = 0;
    if (l.leaf.Count() > 0) {
      const uint8_t pad = tag_->PadByte();
      const std::string_view previous = previous_key_.bytes().substr(0, static_cast<size_t>(L));
      const size_t kept = previous.size();
      d = SharedBytes(previous.data(), k.data(), std::min(kept, k.size()));
      if (d == kept)
        while (d < k.size() && static_cast<uint8_t>(k[d]) == pad) ++d;
    }
    if (l.leaf.Count() > 0 && l.leaf.Cost(k.size(), d) > l.leaf.Free()) {
      // The key does not fit: the leaf is closed with the key before this
      // one as its last, and the key starts the next leaf. Leaves are
      // filled as far as they go, to the last byte.
      HoldFull(l);
      AddToLevel(level + 1, l.full_offset, previous_key_, last_record_);
      StartNode(level);
      WriteFull(l, l.offset);
      d = 0;
    }
    l.leaf.Add(k, d, reference);
    l.count = l.leaf.Count();
    return;
  } else {
    uint8_t* e = l.image.data() + 12 + l.count * tag_->EntrySize();
    std::memset(e, tag_->PadByte(), static_cast<size_t>(L));
    std::memcpy(e, k.data(), k.size());
    PutBE32(e + L, record_number);
    PutBE32(e + L + 4, reference);
    ++l.count;
    Put16(l.image.data() + 2, static_cast<uint32_t>(l.count));
    if (l.count < tag_->InteriorCapacity()) return;
  }
  // The node is full: it waits for its right neighbour, and its last key
  // goes up a level.
  HoldFull(l);
  AddToLevel(level + 1, l.full_offset, key, record_number);
}

void KTobjSortCDX::PackSorted() {
  int32_t recno = 0;
  while (NextKey(current_key_, recno)) {
    ++keys_packed_;
    if (KTO_dBHandler* table = tag_->Table()) table->StatusUpdate(2, static_cast<int32_t>(keys_packed_), 0);
    AddToLevel(0, recno, current_key_, recno);
    last_record_ = recno;
    std::swap(current_key_, previous_key_);
  }
}

void KTobjSortCDX::Finish() {
  finishing_ = true;
  levels_.Finish([](const Level& l) { return l.started || l.has_full; }, [&](int level, Level& l, bool top) {
    if (!l.started || l.count == 0) {
      if (l.has_full) {
        // The keys ran out exactly at a full node: it is the last of its
        // level (and the root when nothing was started above it).
        if (top) {
          const uint16_t attributes = static_cast<uint16_t>(level == 0 ? 3 : 1);
          Put16(l.full.data(), attributes);
          tag_->SetRootOffset(l.full_offset);
        }
        WriteFull(l, -1);
      }
      return;
    }
    if (l.has_full) WriteFull(l, l.offset);
    if (top) {
      Put16(l.image.data(), level == 0 ? 3 : 1);
      tag_->SetRootOffset(l.offset);
      runs_.Add(tag_->File(), l.offset, l.image.data(), 512);
      return;
    }
    runs_.Add(tag_->File(), l.offset, l.image.data(), 512);
    l.started = false;
    AddToLevel(level + 1, l.offset, previous_key_, last_record_);
  });
  runs_.Flush(tag_->File());
}

void KTobjCDXTag::BuildTag(KTobjSortCDX* gathered) {
  if (IsDirectory()) {
    WriteEmptyRoot();
    header_dirty_ = true;
    WriteTagHeader();
    return;
  }
  KTO_dBHandler* table = Table();
  const int32_t count = table != nullptr ? table->RecordCount() : 0;
  std::unique_ptr<KTobjSortCDX> own;
  KTobjSortCDX* sort = gathered;
  if (sort != nullptr) {
    sort->PackFor(this);
  } else {
    own = std::make_unique<KTobjSortCDX>(this, count);
    sort = own.get();
    if (table != nullptr) SortRecordKeys(*this, *sort);
  }
  if (sort->KeyCount() == 0) WriteEmptyRoot();
  else sort->PackSorted();
  if (table != nullptr) table->StatusUpdate(0, 0, 0);
  sort->Finish();
  if (sort->KeysPacked() == 0 && sort->KeyCount() > 0) WriteEmptyRoot();
  header_dirty_ = true;
  WriteTagHeader();
}

}  // namespace tessera
