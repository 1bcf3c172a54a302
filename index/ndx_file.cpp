#include "index/ndx_file.h"

#include <climits>
#include <cstring>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/ndx_build.h"
#include "index/single_tag_file.h"

namespace tessera {
namespace {

constexpr int32_t kBlock = KTobjNDXTag::kBlockBytes;

}  // namespace

KTobjNDXFile::KTobjNDXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared,
                           bool writable)
    : KTobjIndexFile(table) {
  disk_ = OpenDiskFile(name, overwrite, create, shared, writable, ".NDX");
  if (!disk_ || disk_->IsClosed()) return;
  known_size_ = disk_->FileSize();
  if (create) {
    next_free_ = 0;
    opened_ = true;
    return;
  }
  OpenSingleTag<KTobjNDXTag, KTobjNDXFile>();
  if (opened_) pending_seen_ = ReadPendingMark();
}

KTobjNDXFile::~KTobjNDXFile() {
  tags_.FreeAll();
  try {
    // Held blocks reach the file, the header last, and the mark goes.
    if (disk_ && !disk_->IsClosed()) FinishChanges();
  } catch (...) {
  }
}

namespace {

// Whether the header block's key expression ends before the mark's bytes.
bool RoomForMark(const uint8_t* h) {
  return std::memchr(h + 24, 0, KTobjNDXFile::kMarkOffset - 24) != nullptr;
}

}  // namespace

bool KTobjNDXFile::ReadPendingMark() {
  uint8_t h[kBlock];
  // Under a lock that has looked for other writers the cache holds the
  // file's header (and the tag reads it next).
  const bool cached = disk_->IsShared() && LookedUnderThisLock();
  if (!(cached ? KTobjIndexFile::ReadBlock(0, h, kBlock) : ReadDirect(0, h, kBlock))) return false;
  return RoomForMark(h) && std::memcmp(h + kMarkOffset, kSpareMark, 8) == 0;
}

void KTobjNDXFile::WritePendingMark(bool on) {
  if (on) {
    // The mark goes with held blocks only.
    if (disk_->IsShared() || !HeldIndexWrites()) return;
    uint8_t h[kBlock];
    if (!KTobjIndexFile::ReadBlock(0, h, kBlock) || !RoomForMark(h)) return;
  }
  WriteMarkAt(kMarkOffset, on);
}

void KTobjNDXFile::StampHeader(uint8_t* block) {
  std::memcpy(mark_covered_, block + kMarkOffset, 8);
  if (pending_mark_ && RoomForMark(block)) std::memcpy(block + kMarkOffset, kSpareMark, 8);
}

bool KTobjNDXFile::CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                             const std::string& for_expr) {
  (void)name;
  if (!disk_ || disk_->IsClosed()) return false;
  // What the file cannot keep is refused rather than built and then lost.
  if (!ascending) throw ETesseraError("An NDX index is always ascending - " + disk_->FileName());
  if (!TrimText(for_expr).empty()) throw ETesseraError("An NDX index keeps no FOR condition - " + disk_->FileName());
  // Held blocks of the old tag go out (and the mark) before the file is
  // emptied.
  FinishChanges();
  return ReplaceSingleTag<KTobjNDXTag, KTobjNDXFile>(key_expr, unique, true, "");
}

std::unique_ptr<KTobjNDXTag> KTobjNDXFile::StandInTag(const std::string& key_expr, bool unique, bool ascending,
                                                      const std::string& for_expr) {
  if (!disk_ || disk_->IsClosed()) return nullptr;
  if (!ascending) throw ETesseraError("An NDX index is always ascending - " + disk_->FileName());
  if (!TrimText(for_expr).empty()) throw ETesseraError("An NDX index keeps no FOR condition - " + disk_->FileName());
  auto tag = std::make_unique<KTobjNDXTag>(this, BaseName(disk_->FileName()), KTobjNDXTag::StandIn{});
  if (!tag->DefineKey(key_expr, unique, true, "")) return nullptr;
  return tag;
}

bool KTobjNDXFile::CreateTagWithKeys(const std::string& key_expr, bool unique, KTobjSortNdx& keys) {
  if (!disk_ || disk_->IsClosed()) return false;
  FinishChanges();
  return ReplaceSingleTagWith<KTobjNDXTag, KTobjNDXFile>(
      [&](KTobjNDXTag& t) { return t.DefineTagWithKeys(key_expr, unique, keys); });
}

int32_t KTobjNDXFile::AllocateNode() {
  if (next_free_ < 0) ResetAllocator();
  // The header's count of blocks in use tells other programs where theirs
  // begin (and readers which blocks exist): it is rewritten with the tree.
  if (KTobjNDXTag* tag = Tag()) tag->MarkHeaderDirty();
  return next_free_++;
}

int32_t KTobjNDXFile::ResetAllocator() {
  // The size as last seen or written, held blocks included: a foreign
  // change (ChangedByOther) or a cut makes it read again.
  const int64_t size = disk_ ? KnownSize() : 0;
  known_size_ = size;
  next_free_ = static_cast<int32_t>((size + kBlock - 1) / kBlock);
  return next_free_;
}

bool KTobjNDXFile::ReadBlock(int32_t block, void* buffer, int32_t count) {
  if (block < 0 || block > INT32_MAX / kBlock - 1) return false;
  return KTobjIndexFile::ReadBlock(block * kBlock, buffer, count);
}

bool KTobjNDXFile::WriteBlock(int32_t block, const void* buffer, int32_t count) {
  if (block < 0 || block > INT32_MAX / kBlock - 1) return false;
  return KTobjIndexFile::WriteBlock(block * kBlock, buffer, count);
}

bool KTobjNDXFile::ChangedByOther() {
  if (!disk_ || !disk_->IsShared() || Tag() == nullptr) return false;
  if (SameLockAsLastLook()) return false;
  ForgetForeignState();
  return true;
}

void KTobjNDXFile::ClearIndex() {
  KTobjNDXTag* tag = Tag();
  if (tag == nullptr || !disk_) return;
  // Nobody else may be in the file while it is cut: every other program
  // finds the new tree when it next takes its lock.
  RebuildLock lock(this);
  tag->DropTree();
  CutFile(2 * kBlock);
  DropCache();
  corrupt_ = false;
  known_size_ = -1;
  next_free_ = 1;
  tag->WriteEmptyRoot();  // block 1
  tag->MarkHeaderDirty();
  tag->WriteTagHeader();
}

void KTobjNDXFile::Reindex() {
  KTobjNDXTag* tag = Tag();
  if (tag == nullptr || !disk_) return;
  RebuildLock lock(this);
  ClearIndex();
  next_free_ = 1;
  tag->BuildTag();
}

}  // namespace tessera
