#include "index/ndx_file.h"

#include <climits>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
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
}

KTobjNDXFile::~KTobjNDXFile() { tags_.FreeAll(); }

bool KTobjNDXFile::CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                             const std::string& for_expr) {
  (void)name;
  if (!disk_ || disk_->IsClosed()) return false;
  // What the file cannot keep is refused rather than built and then lost.
  if (!ascending) throw ETesseraError("An NDX index is always ascending - " + disk_->FileName());
  if (!TrimText(for_expr).empty()) throw ETesseraError("An NDX index keeps no FOR condition - " + disk_->FileName());
  return ReplaceSingleTag<KTobjNDXTag, KTobjNDXFile>(key_expr, unique, true, "");
}

int32_t KTobjNDXFile::AllocateNode() {
  if (next_free_ < 0) ResetAllocator();
  // The header's count of blocks in use tells other programs where theirs
  // begin (and readers which blocks exist): it is rewritten with the tree.
  if (KTobjNDXTag* tag = Tag()) tag->MarkHeaderDirty();
  return next_free_++;
}

int32_t KTobjNDXFile::ResetAllocator() {
  const int64_t size = disk_ ? disk_->FileSize() : 0;
  next_free_ = static_cast<int32_t>((size + kBlock - 1) / kBlock);
  known_size_ = size;
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
