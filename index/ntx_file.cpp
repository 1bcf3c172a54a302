#include "index/ntx_file.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/ntx_build.h"
#include "index/single_tag_file.h"

namespace tessera {
namespace {

constexpr int32_t kPage = KTobjNTXTag::kPageSize;

// The counter runs from 1 to 32767 and then starts again at 1.
uint16_t NextVersion(uint16_t v) { return v >= 32767 ? 1 : static_cast<uint16_t>(v + 1); }

}  // namespace

KTobjNTXFile::KTobjNTXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared,
                           bool writable)
    : KTobjIndexFile(table) {
  disk_ = OpenDiskFile(name, overwrite, create, shared, writable, ".NTX");
  if (!disk_ || disk_->IsClosed()) return;
  known_size_ = disk_->FileSize();
  if (create) {
    // A file opened for building starts without a tag; CreateTag replaces
    // whatever it held.
    next_free_ = 0;
    version_ = 1;
    opened_ = true;
    return;
  }
  OpenSingleTag<KTobjNTXTag, KTobjNTXFile>();
  if (opened_) pending_seen_ = ReadPendingMark();
}

KTobjNTXFile::~KTobjNTXFile() {
  // The tag first (it writes its dirty pages and header), then the held
  // pages, and the mark goes.
  tags_.FreeAll();
  try {
    FinishChanges();
  } catch (...) {
  }
}

bool KTobjNTXFile::MarkRoom() const {
  const KTobjNTXTag* tag = Tag();
  return tag == nullptr || !tag->HasFor() ||
         tag->ForExpression().size() < static_cast<size_t>(kPendingMarkOffset - KTobjNTXTag::kForExprOffset);
}

bool KTobjNTXFile::ReadPendingMark() {
  char mark[8] = {};
  if (!ReadDirect(kPendingMarkOffset, mark, 8)) return false;
  return std::memcmp(mark, kPendingMark, 8) == 0;
}

void KTobjNTXFile::WritePendingMark(bool on) {
  // Only a writer that holds pages sets it; it takes off what it set.
  if (on && !HoldsWrites()) return;
  if (!on && !pending_mark_) return;
  char mark[8] = {};
  if (on) std::memcpy(mark, kPendingMark, 8);
  WriteThrough(kPendingMarkOffset, mark, 8);
  pending_mark_ = on;
}

bool KTobjNTXFile::CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                             const std::string& for_expr) {
  (void)name;
  if (!disk_ || disk_->IsClosed()) return false;
  version_ = 1;
  return ReplaceSingleTag<KTobjNTXTag, KTobjNTXFile>(key_expr, unique, ascending, for_expr);
}

std::unique_ptr<KTobjNTXTag> KTobjNTXFile::StandInTag(const std::string& key_expr, bool unique, bool ascending,
                                                      const std::string& for_expr) {
  if (!disk_ || disk_->IsClosed()) return nullptr;
  auto tag = std::make_unique<KTobjNTXTag>(this, BaseName(disk_->FileName()), KTobjNTXTag::StandIn{});
  if (!tag->DefineKey(key_expr, unique, ascending, for_expr)) return nullptr;
  return tag;
}

bool KTobjNTXFile::CreateTagWithKeys(const std::string& key_expr, bool unique, bool ascending,
                                     const std::string& for_expr, KTobjSortNTX& keys) {
  if (!disk_ || disk_->IsClosed()) return false;
  version_ = 1;
  return ReplaceSingleTagWith<KTobjNTXTag, KTobjNTXFile>(
      [&](KTobjNTXTag& t) { return t.DefineTagWithKeys(key_expr, unique, ascending, for_expr, keys); });
}

int32_t KTobjNTXFile::AllocateNode() {
  if (next_free_ < 0) ResetAllocator();
  const int32_t offset = next_free_;
  next_free_ += kPage;
  return offset;
}

int32_t KTobjNTXFile::ResetAllocator() {
  // The size as last seen or written (pages held back included); a
  // foreign change or a cut makes it read again.
  int64_t size = disk_ ? KnownSize() : 0;
  for (uint32_t slot = 0; known_size_ < 0 && slot < held_.size(); ++slot)
    size = std::max<int64_t>(size, (held_.NumberAt(slot) + 1) * IndexBlockCache::kBlock);
  // Pages start at multiples of 1024 even when the file has a ragged end.
  next_free_ = static_cast<int32_t>((size + kPage - 1) / kPage * kPage);
  known_size_ = size;
  return next_free_;
}

void KTobjNTXFile::ClearIndex() {
  KTobjNTXTag* tag = Tag();
  if (tag == nullptr || !disk_) return;
  // Nobody else may be in the file while it is cut. The version counter
  // goes on from the file's, so that every other program that has the file
  // open finds it changed and reads the new tree.
  RebuildLock lock(this);
  ChangedByOther();
  tag->DropTree();
  CutFile(2 * kPage);
  DropCache();
  corrupt_ = false;
  known_size_ = -1;
  version_ = NextVersion(version_);
  next_free_ = kPage;
  tag->WriteEmptyRoot();  // the page at 1024
  tag->ForgetFreeList();
  tag->MarkHeaderDirty();
  tag->WriteTagHeader();
}

void KTobjNTXFile::Reindex() {
  KTobjNTXTag* tag = Tag();
  if (tag == nullptr || !disk_) return;
  const std::string key = tag->KeyExpression(), for_expr = tag->ForExpression();
  const bool unique = tag->Unique(), ascending = !tag->PhysicallyDescending();
  RebuildLock lock(this);
  ClearIndex();
  // The tree is built anew from the page after the header.
  next_free_ = kPage;
  tag->DefineTag(tag->Name(), key, unique, ascending, for_expr);
}

bool KTobjNTXFile::RecordChanged(int32_t recno, bool is_append) {
  KTobjNTXTag* tag = Tag();
  if (!opened_ || tag == nullptr) return false;
  // The writer holds the file's lock: whatever another process wrote before
  // is in the file now, and the count goes on from the file's (PrepareChange
  // has read it when it ran under this lock).
  if (!checked_) ChangedByOther();
  // The keys first: a damaged file is found before anything is written.
  const bool changed = KTobjIndexFile::RecordChanged(recno, is_append);
  version_ = NextVersion(version_);
  // Another program may have moved the root; the header written here keeps
  // the file's.
  tag->SetRoot(tag->ReadRootOffset());
  tag->MarkHeaderDirty();
  tag->WriteTagHeader();
  return changed;
}

bool KTobjNTXFile::ChangedByOther() {
  if (!disk_ || !disk_->IsShared() || Tag() == nullptr) return false;
  // The counter and the mark in one read.
  uint8_t h[kPage];
  if (!ReadDirect(0, h, kPage)) return false;
  mark_seen_ = std::memcmp(h + kPendingMarkOffset, kPendingMark, 8) == 0;
  const uint16_t counter = bytes::GetLE16(h + 2);
  if (counter == version_) return false;
  version_ = counter;
  next_free_ = -1;
  known_size_ = -1;
  DropCache();
  return true;
}

}  // namespace tessera
