#include "index/cdx_file.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "platform/codepage.h"
#include "platform/path.h"

namespace tessera {
namespace {
int g_new_tag_collation = 1;
}  // namespace

int NewCdxTagCollation() { return g_new_tag_collation; }
void SetNewCdxTagCollation(int collation) { g_new_tag_collation = collation; }

KTobjCDXFile::KTobjCDXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared,
                           bool writable)
    : KTobjIndexFile(table) {
  disk_ = OpenDiskFile(name, overwrite, create, shared, writable, ".CDX");
  if (!disk_ || disk_->IsClosed()) return;
  duplicates_by_record_ = true;
  constructing_ = true;
  ReadStructure([this] {
    if (disk_->FileSize() > 512) ReadDirectory();
    else WriteNewStructure([this] { CreateDirectory(); });
  });
  RaiseNewStructureFailure();
  SetNewCdxTagCollation(1);
  // A compound index named like the table is its structural index.
  ClaimAsTablesOwn();
  constructing_ = false;
  opened_ = !corrupt_;
}

KTobjCDXFile::~KTobjCDXFile() {
  // Tags first (each writes its dirty nodes and header), then the
  // directory with the change count, which takes the mark off.
  tags_.FreeAll();
  try {
    FinishChanges();
  } catch (...) {
  }
  directory_.reset();
}

void KTobjCDXFile::ReadDirectory() {
  known_size_ = disk_->FileSize();
  directory_ = std::make_unique<KTobjCDXTag>(this, 0, BaseName(disk_->FileName()));
  // The size once more, now that the header with the change count is read:
  // another writer may have finished in between, and what is read from
  // here on is the file as that count describes it, or newer.
  known_size_ = disk_->FileSize();
  if (!directory_->Valid() || !directory_->IsDirectory() || directory_->KeyLength() != 10) {
    corrupt_ = true;
    return;
  }
  directory_->SetOptions(0xE0);
  ResetAllocator();
  directory_->ResetTree(0);
  // A directory larger than the file could hold is damaged (it loops).
  const int64_t max_tags = known_size_ / 512 + 1;
  int64_t seen = 0;
  for (int32_t header = directory_->CurrentKey().Reference; header != 0 && !directory_->Eof();
       header = directory_->Navigate(-1)) {
    if (++seen > max_tags || header % 512 != 0 || header + 1024 > known_size_) {
      corrupt_ = true;
      return;
    }
    auto tag = std::make_unique<KTobjCDXTag>(this, header, DirectoryKeyName(directory_->CurrentKey()));
    const bool valid = tag->Valid();
    tags_.Add(std::move(tag));
    if (!valid) {
      corrupt_ = true;
      return;
    }
  }
  directory_->ReleaseTree();
  pending_seen_ = ReadPendingMark();
}

void KTobjCDXFile::CreateDirectory() {
  next_free_ = 0;
  known_size_ = 0;
  directory_ = std::make_unique<KTobjCDXTag>(this, -1, BaseName(disk_->FileName()));
  directory_->SetOptions(0xE0);
  directory_->DefineTag(directory_->Name(), "", false, true, "");
  directory_->ResetTree(0);
  directory_->ReleaseTree();
}

std::string KTobjCDXFile::DirectoryKeyText(std::string_view tag_name) const {
  TktVariant v;
  v.SetText(TrimText(tag_name));
  v.Translate(nullptr);
  return std::string(v.bytes());
}

bool KTobjCDXFile::CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                             const std::string& for_expr) {
  return AddTag(name, key_expr, unique, ascending, for_expr, nullptr);
}

bool KTobjCDXFile::AddTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                          const std::string& for_expr, KTobjSortCDX* keys) {
  if (!opened_ || !directory_) return false;
  const std::string key_text = DirectoryKeyText(name);
  if (key_text.empty() || key_text.size() > 10)
    throw ETesseraError("Tag name " + key_text + " does not fit a compound index (1 to 10 characters)");
  if (NewCdxTagCollation() == 2)
    throw ETesseraError("The GENERAL collation is not supported; tags are built in byte order (MACHINE)");
  // The directory as it is now (the caller holds the file's lock).
  ChangedByOther();
  directory_->ResetTree(0);
  KTobjIndexKeyData key;
  key.SetText(key_text);
  // Replace a tag of the same name (the last one of that name wins).
  for (size_t i = tags_.Count(); i-- > 0;) {
    if (tags_.At(i)->Name() != key_text) continue;
    key.Reference = key.RecordNumber = tags_.At(i)->HeaderOffset();
    if (directory_->Seek(key) > 0) directory_->Root()->DeleteCurrent();
    tags_.Delete(i);
    break;
  }
  auto tag = std::make_unique<KTobjCDXTag>(this, -1, key_text);
  KTobjCDXTag* t = tag.get();
  tags_.Add(std::move(tag));
  key.Reference = key.RecordNumber = t->HeaderOffset();
  bool ok = false;
  try {
    ok = keys != nullptr ? t->DefineTagWithKeys(key_expr, unique, ascending, for_expr, *keys)
                         : t->DefineTag(key_text, key_expr, unique, ascending, for_expr);
  } catch (...) {
    tags_.Remove(t);
    directory_->ReleaseTree();
    throw;
  }
  if (!ok) {
    tags_.Remove(t);
    directory_->ReleaseTree();
    return false;
  }
  directory_->ResetTree(2);
  directory_->InsertKey(key);
  directory_->ReleaseTree();
  AnnounceChange();
  return true;
}

bool KTobjCDXFile::DeleteTag(const std::string& name) {
  if (tags_.Count() == 0) return false;
  ChangedByOther();
  const std::string key_text = DirectoryKeyText(name);
  for (size_t i = tags_.Count(); i-- > 0;) {
    if (tags_.At(i)->Name() != key_text) continue;
    directory_->ResetTree(0);
    KTobjIndexKeyData key;
    key.SetText(key_text);
    key.Reference = key.RecordNumber = tags_.At(i)->HeaderOffset();
    if (directory_->Seek(key) > 0) directory_->Root()->DeleteCurrent();
    tags_.Delete(i);
    directory_->ReleaseTree();
    if (tags_.Count() == 0) Reindex();
    else AnnounceChange();
    return true;
  }
  return false;
}

int32_t KTobjCDXFile::AllocateNode() {
  if (next_free_ < 0) ResetAllocator();
  const int32_t offset = next_free_;
  next_free_ += kBlockSize;
  return offset;
}

int32_t KTobjCDXFile::ResetAllocator() {
  // The size as last seen or written: a foreign change (ChangedByOther)
  // or a cut makes it read again.
  const int64_t size = disk_ ? KnownSize() : 0;
  // Blocks start at multiples of 512 even when the file has a ragged end.
  next_free_ = static_cast<int32_t>((size + kBlockSize - 1) / kBlockSize * kBlockSize);
  known_size_ = size;
  return next_free_;
}

void KTobjCDXFile::Reindex() {
  if (!opened_) return;
  // Rebuilt in place, under a lock that keeps every other program out of
  // the file: whoever has it open goes on with this file, and finds it
  // changed (the count goes on) when it next takes its lock.
  // A tag whose keys this engine cannot form would stop the rebuild
  // half-way: refused before anything is changed.
  for (size_t i = 0; i < tags_.Count(); ++i) {
    const auto* tag = static_cast<const KTobjCDXTag*>(tags_.At(i));
    if (tag->collation_ == 2 && tag->KeyType() == 'C')
      throw ETesseraError("Tag " + tag->Name() + " of " + FullName() +
                          " uses the GENERAL collation, which this engine does not support; the file is left as it is");
  }
  RebuildLock lock(this);
  ChangedByOther();
  const int32_t counter = directory_->VersionCounter();
  for (size_t i = 0; i < tags_.Count(); ++i) tags_.At(i)->ReleaseTree();
  directory_->ReleaseTree();
  // Nothing held may reach the file after it is cut.
  FlushHeld();
  holding_ = false;
  disk_->Truncate(0);
  DropCache();
  known_size_ = 0;
  next_free_ = 0;
  // The directory anew: header at 0, empty root leaf at 1024.
  directory_ = std::make_unique<KTobjCDXTag>(this, -1, directory_->Name());
  directory_->SetOptions(0xE0);
  directory_->DefineTag(directory_->Name(), "", false, true, "");
  // Every tag's definition is written first, with an empty tree, so that a
  // rebuild stopped half-way leaves all of them behind (and the mark that
  // asks for the rebuild to be run again).
  for (size_t i = 0; i < tags_.Count(); ++i) {
    auto* tag = static_cast<KTobjCDXTag*>(tags_.At(i));
    tag->header_offset_ = AllocateNode();
    AllocateNode();
    tag->version_counter_ = 0;
    tag->WriteEmptyRoot();
    tag->header_dirty_ = true;
    tag->WriteTagHeader();
    KTobjIndexKeyData key;
    key.SetText(tag->Name());
    key.Reference = key.RecordNumber = tag->HeaderOffset();
    directory_->ResetTree(2);
    directory_->InsertKey(key);
  }
  directory_->SetVersionCounter(counter + 1);
  directory_->MarkHeaderDirty();
  directory_->ReleaseTree();
  WritePendingMark(true);
  for (size_t i = 0; i < tags_.Count(); ++i) static_cast<KTobjCDXTag*>(tags_.At(i))->BuildTag();
  WritePendingMark(false);
}

bool KTobjCDXFile::RecordChanged(int32_t recno, bool is_append) {
  if (!opened_) return false;
  // The writer holds the file's lock: whatever another process wrote before
  // is in the file now, and the count goes on from the file's (PrepareChange
  // has looked already when it ran under this lock).
  if (!checked_) ChangedByOther();
  directory_->SetVersionCounter(directory_->VersionCounter() + 1);
  KTobjIndexFile::RecordChanged(recno, is_append);
  if (disk_->IsShared()) {
    // Others learn of the change from the count; the mark goes with the
    // same write (bytes 8 to 23 of the directory header).
    uint8_t h[24];
    if (!ReadBlock(0, h, 24)) ReportError(kCodeIndexHeader, kNoSubCode, FullName());
    bytes::PutLE32(h + 8, static_cast<uint32_t>(directory_->VersionCounter()));
    std::memset(h + kPendingMarkOffset, 0, 8);
    WriteBlock(8, h + 8, 16);
    pending_mark_ = false;
  } else {
    // Nobody else reads the count before the file is closed: it is
    // written with the header when the changes are finished.
    directory_->MarkHeaderDirty();
  }
  return true;
}

void KTobjCDXFile::AnnounceChange() {
  directory_->SetVersionCounter(directory_->VersionCounter() + 1);
  if (!disk_->IsShared()) {
    directory_->MarkHeaderDirty();
    return;
  }
  uint8_t counter[4];
  bytes::PutLE32(counter, static_cast<uint32_t>(directory_->VersionCounter()));
  WriteBlock(8, counter, 4);
}

bool KTobjCDXFile::ReadPendingMark() {
  char mark[8] = {};
  if (!ReadDirect(kPendingMarkOffset, mark, 8)) return false;
  return std::memcmp(mark, kPendingMark, 8) == 0;
}

void KTobjCDXFile::WritePendingMark(bool on) {
  char mark[8] = {};
  if (on) std::memcpy(mark, kPendingMark, 8);
  WriteThrough(kPendingMarkOffset, mark, 8);
  pending_mark_ = on;
}

bool KTobjCDXFile::MarkedByOther() { return mark_seen_; }

void KTobjCDXFile::FinishChanges() {
  if (journal_.active || corrupt_ || needs_rebuild_ || !directory_) return;
  // Every tag's nodes are written (or held) after each record write; the
  // header (with the count) is written whole, without the mark, and
  // reaches the file after every held block.
  if (pending_mark_ && directory_->header_dirty_) directory_->WriteTagHeader();
  KTobjIndexFile::FinishChanges();
}

void KTobjCDXFile::ReloadAfterUndo() {
  KTobjIndexFile::ReloadAfterUndo();
  if (directory_) {
    // Under exclusive use the count of earlier writes was not written yet:
    // it goes on from where it was.
    const int32_t counter = directory_->VersionCounter();
    const bool unwritten = directory_->header_dirty_ && !disk_->IsShared();
    directory_->DiscardTree();
    directory_->ReadTagHeader();
    if (unwritten) {
      directory_->SetVersionCounter(std::max(counter, directory_->VersionCounter()));
      directory_->MarkHeaderDirty();
    }
  }
}

bool KTobjCDXFile::ChangedByOther() {
  if (!disk_ || !disk_->IsShared() || !directory_) return false;
  // The count and the mark in one read.
  uint8_t h[24];
  if (!ReadDirect(0, h, 24)) return false;
  mark_seen_ = std::memcmp(h + kPendingMarkOffset, kPendingMark, 8) == 0;
  const int32_t counter = static_cast<int32_t>(bytes::GetLE32(h + 8));
  if (counter == directory_->VersionCounter()) return false;
  directory_->SetVersionCounter(counter);
  ForgetForeignState();
  ResyncTags();
  return true;
}

std::string KTobjCDXFile::DirectoryKeyName(const KTobjIndexKeyData& key) {
  TktVariant name;
  name.SetText(key.bytes());
  name.Translate(nullptr);
  std::string tag_name(name.bytes());
  while (!tag_name.empty() && tag_name.back() == ' ') tag_name.pop_back();
  return tag_name;
}

void KTobjCDXFile::ResyncTags() {
  // Another program's rebuild, or a tag it created anew under the same
  // name, puts tag headers elsewhere: each tag follows its name in the
  // directory as it is now. Usually nothing moved.
  std::vector<std::pair<std::string, int32_t>> entries;
  directory_->ResetTree(0);
  const int64_t max_tags = RefreshSize() / 512 + 1;
  for (int32_t header = directory_->CurrentKey().Reference; header != 0 && !directory_->Eof();
       header = directory_->Navigate(-1)) {
    if (static_cast<int64_t>(entries.size()) > max_tags) Corrupt("tag directory");
    entries.emplace_back(DirectoryKeyName(directory_->CurrentKey()), header);
  }
  directory_->ReleaseTree();
  for (size_t i = 0; i < tags_.Count(); ++i) {
    auto* tag = static_cast<KTobjCDXTag*>(tags_.At(i));
    int32_t header = -1;
    for (const auto& [name, offset] : entries)
      if (name == tag->Name()) header = offset;
    if (header == tag->HeaderOffset()) continue;
    if (header < 0 || header % 512 != 0 || header + 1024 > KnownSize())
      Corrupt("tag " + tag->Name() + " was removed by another program");
    tag->DiscardTree();
    tag->header_offset_ = header;
    if (!tag->ReadTagHeader()) Corrupt("tag " + tag->Name() + ", header " + std::to_string(header));
  }
}

}  // namespace tessera
