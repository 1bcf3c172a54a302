#include "index/mdx_file.h"

#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/mdx_build.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

void PutDate(uint8_t* p) {
  const plat::CivilDate today = plat::Today();
  p[0] = static_cast<uint8_t>(today.year % 100);
  p[1] = static_cast<uint8_t>(today.month);
  p[2] = static_cast<uint8_t>(today.day);
}

// The first 8 characters of a file's base name, upper case, for header
// bytes 4 to 12.
void PutBaseName(uint8_t* h, std::string_view path) {
  std::memset(h + 4, 0, 9);
  const std::string base = plat::UpperName(BaseName(path)).substr(0, 8);
  std::memcpy(h + 4, base.data(), base.size());
}

}  // namespace

KTobjMDXFile::KTobjMDXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared,
                           bool writable)
    : KTobjIndexFile(table) {
  disk_ = OpenDiskFile(name, overwrite, create, shared, writable, ".MDX");
  if (!disk_ || disk_->IsClosed()) return;
  duplicates_by_record_ = false;
  constructing_ = true;
  ReadStructure([this] {
    if (disk_->FileSize() > 0) ReadHeader();
    else WriteNewStructure([this] { CreateHeader(); });
  });
  RaiseNewStructureFailure();
  if (!corrupt_) pending_seen_ = ReadPendingMark();
  // The table's own multiple index is its production index.
  ClaimAsTablesOwn();
  constructing_ = false;
  opened_ = !corrupt_;
}

KTobjMDXFile::~KTobjMDXFile() {
  // Tags first: each writes its dirty nodes and header (and may allocate).
  const size_t tag_count = tags_.Count();
  tags_.FreeAll();
  try {
    if (header_dirty_ && !corrupt_ && disk_ && !disk_->IsClosed() && disk_->IsWritable()) WriteHeaderState(tag_count);
    // Held blocks reach the file, the header last, and the mark goes.
    if (disk_ && !disk_->IsClosed()) FinishChanges();
  } catch (...) {
  }
}

bool KTobjMDXFile::ReadHeaderBytes(uint8_t* h) {
  if (disk_->IsShared() && !LookedUnderThisLock()) return ReadDirect(0, h, kHeaderBytes);
  return KTobjIndexFile::ReadBlock(0, h, kHeaderBytes);
}

bool KTobjMDXFile::ReadPendingMark() {
  // Under a lock that has looked for other writers, the header read then
  // is the file's (ChangedByOther keeps it in the cache).
  if (disk_ && disk_->IsShared() && LookedUnderThisLock()) {
    char mark[8] = {};
    return KTobjIndexFile::ReadBlock(kMarkOffset, mark, 8) && std::memcmp(mark, kSpareMark, 8) == 0;
  }
  return ReadMarkAt(kMarkOffset);
}

void KTobjMDXFile::WritePendingMark(bool on) {
  // The mark goes with held blocks only.
  if (on && (disk_->IsShared() || !HeldIndexWrites())) return;
  WriteMarkAt(kMarkOffset, on);
}

void KTobjMDXFile::ReadHeader() {
  known_size_ = disk_->FileSize();
  uint8_t h[kHeaderBytes];
  if (known_size_ < kHeaderBytes || !ReadDirect(0, h, kHeaderBytes)) {
    corrupt_ = true;
    return;
  }
  block_pages_ = bytes::GetLE16(h + 20);
  block_bytes_ = bytes::GetLE16(h + 22);
  tag_entries_ = h[25];
  if (block_bytes_ <= 0 || block_bytes_ % kPage != 0 || block_bytes_ > kMaxBlockBytes ||
      block_pages_ * kPage != block_bytes_ || h[26] != kTagEntryBytes || tag_entries_ > 48) {
    corrupt_ = true;
    return;
  }
  header_bytes_ = kHeaderBytes;
  const int tag_count = bytes::GetLE16(h + 28);
  if (tag_count > kMaxTags || tag_count > tag_entries_) {
    corrupt_ = true;
    return;
  }
  ResetAllocator();
  for (int k = 1; k <= tag_count; ++k) {
    const uint8_t* e = h + kPage + kTagEntryBytes * k;
    const int32_t page = static_cast<int32_t>(bytes::GetLE32(e));
    const std::string tag_name = plat::UpperName(
        std::string(reinterpret_cast<const char*>(e + 4), strnlen(reinterpret_cast<const char*>(e + 4), 11)));
    if (tag_name.empty() || !ValidBlockPage(page)) {
      corrupt_ = true;
      return;
    }
    auto tag = std::make_unique<KTobjMDXTag>(this, page, tag_name);
    const bool valid = tag->Valid();
    tags_.Add(std::move(tag));
    if (!valid) {
      corrupt_ = true;
      return;
    }
  }
}

void KTobjMDXFile::CreateHeader() {
  block_bytes_ = 1024;
  block_pages_ = 2;
  header_bytes_ = kHeaderBytes;
  tag_entries_ = 48;
  uint8_t h[kHeaderBytes] = {};
  h[0] = 2;
  PutDate(h + 1);
  PutBaseName(h, table_ != nullptr ? std::string_view(table_->FileName()) : std::string_view(disk_->FileName()));
  bytes::PutLE16(h + 20, static_cast<uint32_t>(block_pages_));
  bytes::PutLE16(h + 22, static_cast<uint32_t>(block_bytes_));
  h[24] = 1;
  h[25] = static_cast<uint8_t>(tag_entries_);
  h[26] = kTagEntryBytes;
  bytes::PutLE32(h + 32, kHeaderPages);
  PutDate(h + 44);
  known_size_ = 0;
  WriteBlock(0, h, kHeaderBytes);
  next_free_ = kHeaderPages;
}

void KTobjMDXFile::WriteTagTable() {
  uint8_t h[kHeaderBytes];
  if (!ReadHeaderBytes(h)) Corrupt();
  bytes::PutLE16(h + 28, static_cast<uint32_t>(tags_.Count()));
  std::memset(h + kPage + kTagEntryBytes, 0, kHeaderBytes - kPage - kTagEntryBytes);
  for (size_t i = 0; i < tags_.Count(); ++i) {
    const auto* tag = static_cast<const KTobjMDXTag*>(tags_.At(i));
    uint8_t* e = h + kPage + kTagEntryBytes * (i + 1);
    bytes::PutLE32(e, static_cast<uint32_t>(tag->HeaderOffset()));
    std::memcpy(e + 4, tag->Name().data(), std::min<size_t>(tag->Name().size(), 10));
    e[17] = static_cast<uint8_t>(i + 1);
    e[19] = 2;
    e[20] = static_cast<uint8_t>(tag->KeyType());
  }
  WriteBlock(0, h, kHeaderBytes);
  header_dirty_ = true;
}

void KTobjMDXFile::WriteHeaderState(size_t tag_count) {
  uint8_t h[kHeaderBytes];
  if (!ReadHeaderBytes(h)) return;
  PutDate(h + 1);
  bytes::PutLE16(h + 28, static_cast<uint32_t>(tag_count));
  const int32_t next = next_free_ >= 0 ? next_free_ : ResetAllocator();
  bytes::PutLE32(h + 32, static_cast<uint32_t>(next));
  WriteBlock(0, h, kHeaderBytes);
  header_dirty_ = false;
}

bool KTobjMDXFile::CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                             const std::string& for_expr) {
  return AddTag(name, key_expr, unique, ascending, for_expr, nullptr);
}

bool KTobjMDXFile::AddTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                          const std::string& for_expr, KTobjSortMDX* keys) {
  if (!opened_) return false;
  const std::string tag_name = plat::UpperName(TrimText(name));
  if (tag_name.empty() || tag_name.size() > 10)
    throw ETesseraError("Tag name " + tag_name + " does not fit a multiple index (1 to 10 characters)");
  for (size_t i = tags_.Count(); i-- > 0;) {
    if (plat::UpperName(tags_.At(i)->Name()) != tag_name) continue;
    tags_.Delete(i);  // its blocks are reused only by Reindex
    break;
  }
  if (static_cast<int>(tags_.Count()) >= kMaxTags) {
    WriteTagTable();
    throw ETesseraError("A multiple index holds at most 47 tags - " + disk_->FileName());
  }
  auto tag = std::make_unique<KTobjMDXTag>(this, -1, tag_name);
  KTobjMDXTag* t = tag.get();
  size_t at = 0;
  while (at < tags_.Count() && plat::UpperName(tags_.At(at)->Name()) <= tag_name) ++at;
  tags_.Insert(at, std::move(tag));
  bool ok = false;
  try {
    if (keys == nullptr) {
      ok = t->DefineTag(tag_name, key_expr, unique, ascending, for_expr);
    } else if (t->DefineKey(key_expr, unique, ascending, for_expr)) {
      const std::vector<uint8_t> zeros(static_cast<size_t>(block_bytes_), 0);
      WriteBlock(t->HeaderOffset(), zeros.data(), block_bytes_);
      t->BuildTag(keys);
      ok = true;
    }
  } catch (...) {
    tags_.Remove(t);
    if (!corrupt_) WriteTagTable();
    throw;
  }
  if (!ok) tags_.Remove(t);
  WriteTagTable();
  return ok;
}

bool KTobjMDXFile::DeleteTag(const std::string& name) {
  const std::string tag_name = plat::UpperName(TrimText(name));
  for (size_t i = tags_.Count(); i-- > 0;) {
    if (plat::UpperName(tags_.At(i)->Name()) != tag_name) continue;
    tags_.Delete(i);
    WriteTagTable();
    if (tags_.Count() == 0) Reindex();
    return true;
  }
  return false;
}

int32_t KTobjMDXFile::AllocateNode() {
  if (next_free_ < 0) ResetAllocator();
  const int32_t page = next_free_;
  next_free_ += block_pages_;
  // The header's next free page tells other programs where to allocate.
  header_dirty_ = true;
  return page;
}

int32_t KTobjMDXFile::ResetAllocator() {
  // The size as last seen or written, held blocks included: a foreign
  // change (ChangedByOther) or a cut makes it read again.
  const int64_t size = disk_ ? KnownSize() : 0;
  known_size_ = size;
  // Blocks keep to the grid even when the file has a ragged end.
  int64_t pages = (size + kPage - 1) / kPage;
  if (pages < kHeaderPages) pages = kHeaderPages;
  pages = kHeaderPages + (pages - kHeaderPages + block_pages_ - 1) / block_pages_ * block_pages_;
  next_free_ = static_cast<int32_t>(pages);
  return next_free_;
}

bool KTobjMDXFile::ReadBlock(int32_t page, void* buffer, int32_t count) {
  if (page < 0 || page > INT32_MAX / kPage - block_pages_) return false;
  return KTobjIndexFile::ReadBlock(page * kPage, buffer, count);
}

bool KTobjMDXFile::WriteBlock(int32_t page, const void* buffer, int32_t count) {
  if (page < 0 || page > INT32_MAX / kPage - block_pages_) {
    Corrupt();
    return false;
  }
  return KTobjIndexFile::WriteBlock(page * kPage, buffer, count);
}

void KTobjMDXFile::Reindex() {
  if (!opened_) return;
  // Nobody else may be in the file while it is cut and rebuilt; the
  // others read the new tag table and trees when they next take the lock.
  RebuildLock lock(this);
  for (size_t i = 0; i < tags_.Count(); ++i) tags_.At(i)->ReleaseTree();
  // Nothing held may reach the file after it is cut; the rebuild is
  // marked (and a mark another writer left is cleared at its end).
  FlushHeld();
  holding_ = false;
  WritePendingMark(true);
  disk_->Truncate(header_bytes_);
  DropCache();
  known_size_ = header_bytes_;
  next_free_ = header_bytes_ / kPage;
  header_dirty_ = true;
  for (size_t i = 0; i < tags_.Count(); ++i) {
    auto* tag = static_cast<KTobjMDXTag*>(tags_.At(i));
    tag->SetHeaderPage(AllocateNode());
    tag->first_node_page_ = tag->last_node_page_ = 0;
    tag->MarkHeaderDirty();
    tag->WriteTagHeader();
    tag->BuildTag();
  }
  WriteTagTable();
  WriteHeaderState(tags_.Count());
  WritePendingMark(false);
}

bool KTobjMDXFile::RenameFile(std::string_view new_name) {
  if (!KTobjIndexFile::RenameFile(new_name)) return false;
  uint8_t h[kHeaderBytes];
  if (!ReadHeaderBytes(h)) return true;
  PutBaseName(h, disk_->FileName());
  WriteBlock(0, h, kHeaderBytes);
  return true;
}

bool KTobjMDXFile::RecordChanged(int32_t recno, bool is_append) {
  if (!opened_) return false;
  // The file has no change counter: under the writer's lock whatever
  // another process wrote before is read afresh from the file (PrepareChange
  // has done so when it ran under this lock).
  if (disk_->IsShared() && !checked_) ChangedByOther();
  // Under shared use the blocks of this record write are held until its
  // keys are all in, and go out together before the lock is let go (the
  // new nodes of the splits, at the end of the file, in one write rather
  // than one each): the file has no mark to put on, and nothing of the
  // write is in it before then. A failed write drops them and puts back
  // what reached the file (RollbackChange).
  if (disk_->IsShared() && InChange() && HeldIndexWrites()) holding_ = true;
  const bool changed = KTobjIndexFile::RecordChanged(recno, is_append);
  // The next free page in the header tells other programs where their
  // blocks begin: written while the lock is still held.
  if (disk_->IsShared() && header_dirty_) WriteHeaderState(tags_.Count());
  return changed;
}

bool KTobjMDXFile::ChangedByOther() {
  if (!disk_ || !disk_->IsShared() || !opened_) return false;
  if (SameLockAsLastLook()) return false;
  ForgetForeignState();
  uint8_t h[kHeaderBytes];
  if (!ReadDirect(0, h, kHeaderBytes)) Corrupt();
  // Read under the lock: the cache keeps the header for the rest of it
  // (the mark, the next free page).
  for (int32_t page = 0; page < kHeaderPages; ++page) cache_.Put(page, h + page * kPage);
  const int tag_count = bytes::GetLE16(h + 28);
  if (tag_count > kMaxTags) Corrupt();
  // The entries' names, each made once (not once per tag of this object).
  entry_names_.resize(static_cast<size_t>(tag_count));
  for (int k = 1; k <= tag_count; ++k) {
    const char* name = reinterpret_cast<const char*>(h + kPage + kTagEntryBytes * k + 4);
    entry_names_[static_cast<size_t>(k - 1)] = plat::UpperName(std::string_view(name, strnlen(name, 11)));
  }
  for (size_t i = 0; i < tags_.Count(); ++i) {
    auto* tag = static_cast<KTobjMDXTag*>(tags_.At(i));
    int32_t page = -1;
    for (int k = 1; k <= tag_count && page < 0; ++k)
      if (entry_names_[static_cast<size_t>(k - 1)] == tag->Name())
        page = static_cast<int32_t>(bytes::GetLE32(h + kPage + kTagEntryBytes * k));
    if (page == tag->HeaderOffset()) continue;
    // A rebuild or a replaced tag moved the header: read it anew. A tag
    // that is gone cannot be written any more.
    if (page < 0 || !ValidBlockPage(page)) Corrupt("tag " + tag->Name() + " was removed by another program");
    tag->DiscardTree();
    tag->SetHeaderPage(page);
    if (!tag->ReadTagHeader()) Corrupt("tag " + tag->Name());
  }
  return true;
}

}  // namespace tessera
