#include "engine/dbf_handler.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/cdx_file.h"
#include "index/mdx_file.h"
#include "index/ndx_file.h"
#include "index/ntx_file.h"
#include "index/single_tag_build.h"
#include "index/index_file.h"
#include "platform/codepage.h"
#include "platform/file_map.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace tessera {

KTO_dBHandler::KTO_dBHandler(std::string_view file_name, bool shared, bool writable)
    : KTO_dBaseFld(file_name, shared, writable) {
  SetReadCache(true);
  // The production index other programs open with the table by itself.
  const std::string base = plat::DirectoryOf(GivenName()) + BaseName(GivenName());
  if (plat::FileExists(base + ".CDX")) production_protocol_ = kFoxLock;
  else if (plat::FileExists(base + ".MDX")) production_protocol_ = kDB4Lock;
  ApplyLockProtocol();
}

KTO_dBHandler::~KTO_dBHandler() {
  try {
    CloseIndexFiles();
  } catch (...) {
  }
}

// --- read cache -------------------------------------------------------------

void KTO_dBHandler::SetReadCacheAllowed(bool allowed) {
  read_cache_allowed_ = allowed;
  if (!allowed) SetReadCache(false);
}

void KTO_dBHandler::SetReadCache(bool on) {
  if (!read_cache_allowed_) on = false;
  if (on == read_cache_on_) return;
  read_cache_on_ = on;
  if (on) {
    const int32_t records = std::max(1, kReadCacheBytes / RecordLength());
    cache_.assign(static_cast<size_t>(records) * static_cast<size_t>(RecordLength()), '\0');
  } else {
    cache_.clear();
    cache_.shrink_to_fit();
  }
  DropReadCache();
}

bool KTO_dBHandler::ReadMapped(int64_t offset, void* buffer, int32_t count) {
  // Only inside the records the table knows of: the file is at least that
  // long, and nobody else can cut it (exclusive open).
  const int64_t end = offset + count;
  const int64_t records_end = HeaderLength() + static_cast<int64_t>(RecordCount()) * RecordLength();
  if (IsShared() || end > records_end) return false;
  if (end > mapping_.size()) {
    // Mapped with room to grow, so that appends do not remap every time.
    SetRecordView(nullptr, 0);
    if (mapping_failed_ || !mapping_.Map(FileName(), FileSize() + kMappingSlack)) {
      mapping_failed_ = true;
      return false;
    }
    // Reads in a tag's order land on the records' pages in no order; the
    // pages the system holds already are entered into the view at once
    // instead of a page fault for each on its first read.
    mapping_.MapCachedPages(records_end);
    // Deferred records are read in place from now on; RecordBytes checks
    // each against the record count the table knows, which the file
    // holds.
    SetRecordView(mapping_.data(), mapping_.size());
    if (end > mapping_.size()) return false;
  }
  std::memcpy(buffer, mapping_.data() + offset, static_cast<size_t>(count));
  return true;
}

int32_t KTO_dBHandler::ReadAt(int64_t offset, void* buffer, int32_t count) {
  // Only single records in the record area go through the cache.
  if (offset < HeaderLength() || count != RecordLength()) return KTO_dBaseFld::ReadAt(offset, buffer, count);
  // In a tag's order records are read in no order of their offsets: from
  // the mapped file, at the cost of a copy.
  if (!read_cache_on_) {
    if (ReadMapped(offset, buffer, count)) return count;
    return KTO_dBaseFld::ReadAt(offset, buffer, count);
  }
  if (cache_start_ < 0 || offset < cache_start_ || offset + count > cache_end_) {
    const int32_t got = KTO_dBaseFld::ReadAt(offset, cache_.data(), static_cast<int32_t>(cache_.size()));
    cache_start_ = offset;
    cache_end_ = offset + got;
    if (offset + count > cache_end_) {
      DropReadCache();
      return 0;  // end of file
    }
  }
  std::memcpy(buffer, cache_.data() + (offset - cache_start_), static_cast<size_t>(count));
  return count;
}

void KTO_dBHandler::WriteAt(int64_t offset, const void* data, int32_t count) {
  KTO_dBaseFld::WriteAt(offset, data, count);
  if (cache_start_ < 0) return;
  // The cached copy of the bytes just written is brought up to date.
  const int64_t from = std::max<int64_t>(offset, cache_start_);
  const int64_t to = std::min<int64_t>(offset + count, cache_end_);
  if (from < to)
    std::memcpy(cache_.data() + (from - cache_start_), static_cast<const char*>(data) + (from - offset),
                static_cast<size_t>(to - from));
}

// Another process may change records while this one holds a lock: what the
// cache holds is read again once a lock is taken.
bool KTO_dBHandler::LockAppend() {
  DropReadCache();
  return KTO_dBaseFld::LockAppend();
}
bool KTO_dBHandler::LockTable() {
  DropReadCache();
  return KTO_dBaseFld::LockTable();
}
bool KTO_dBHandler::LockAllBytes() {
  DropReadCache();
  return KTO_dBaseFld::LockAllBytes();
}
bool KTO_dBHandler::LockRecord() {
  DropReadCache();
  return KTO_dBaseFld::LockRecord();
}

// --- index files ------------------------------------------------------------

std::string KTO_dBHandler::ResolveIndexName(std::string_view name, std::string_view default_ext) const {
  std::string n(TrimText(name));
  if (n.find('/') == std::string::npos) n = plat::DirectoryOf(GivenName()) + n;
  return plat::FullPath(DefaultExtension(n, default_ext));
}

int32_t KTO_dBHandler::OpenIndexFile(std::string_view name) {
  const std::string resolved = ResolveIndexName(name, ".NDX");
  const std::string upper = plat::UpperName(resolved);
  if (FindIndexFile(resolved) != 0) return -1;
  const std::string ext = plat::UpperName(ExtensionOf(resolved));
  std::unique_ptr<KTobjIndexFile> file;
  // A Visual FoxPro database container's index (.DCX) is a compound index.
  if (ext == ".CDX" || ext == ".DCX")
    file = std::make_unique<KTobjCDXFile>(this, resolved, false, false, IsShared(), IsWritable());
  if (ext == ".MDX") file = std::make_unique<KTobjMDXFile>(this, resolved, false, false, IsShared(), IsWritable());
  if (ext == ".NTX") file = std::make_unique<KTobjNTXFile>(this, resolved, false, false, IsShared(), IsWritable());
  if (ext == ".NDX") file = std::make_unique<KTobjNDXFile>(this, resolved, false, false, IsShared(), IsWritable());
  if (file == nullptr || !file->Opened()) {
    const bool exists = file != nullptr && file->Disk() != nullptr && !file->Disk()->IsClosed();
    ReportError(exists ? int32_t{kCodeIndexHeader} : int32_t{plat::kErrFileNotFound}, kNoSubCode, upper);
    return -1;
  }
  file->SetLockProtocol(LockProtocol());
  file->SetLockWait(LockWait());
  // A writer that was stopped half-way left the keys incomplete: searches
  // through the file would silently miss records.
  if (file->NeedsRebuild()) {
    ReportError(kCodeIndexHeader, kNoSubCode, upper + ": a write through it did not finish; it needs a rebuild");
    return -1;
  }
  for (int slot = 1; slot <= kIndexSlots; ++slot) {
    if (!slots_[static_cast<size_t>(slot)]) {
      slots_[static_cast<size_t>(slot)] = std::move(file);
      // The first index file may decide the protocol.
      if (slot == 1) ApplyLockProtocol();
      return 0;
    }
  }
  ReportError(plat::kErrTooManyOpenFiles, kNoSubCode, upper);
  return -1;
}

int32_t KTO_dBHandler::OpenIndexList(std::string_view names, std::string_view tag_name) {
  CloseIndexFiles();
  std::vector<std::string> list;
  std::string current;
  bool quoted = false;
  for (char c : names) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ' ' || c == ',' || c == ';')) {
      if (!current.empty()) list.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) list.push_back(current);
  if (list.empty()) return 1;
  for (const std::string& n : list)
    if (const int32_t r = OpenIndexFile(n); r != 0) return r;
  SelectMasterTag(tag_name, true);
  return 0;
}

void KTO_dBHandler::CloseIndexFiles() {
  master_ = nullptr;
  master_name_.clear();
  for (auto& slot : slots_) slot.reset();
  SetReadCache(true);
  ApplyLockProtocol();
}

int KTO_dBHandler::FindIndexFile(std::string_view name) {
  const std::string resolved = plat::UpperName(ResolveIndexName(name, ".NDX"));
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (slots_[static_cast<size_t>(slot)] && slots_[static_cast<size_t>(slot)]->FullName() == resolved) return slot;
  return 0;
}

KTobjIndexFile* KTO_dBHandler::IndexFile(int slot) const {
  if (slot < 1 || slot > kIndexSlots) return nullptr;
  return slots_[static_cast<size_t>(slot)].get();
}

KTobjIndexTag* KTO_dBHandler::TagByNumber(int n) const {
  if (n < 1) return nullptr;
  for (int slot = 1; slot <= kIndexSlots; ++slot) {
    KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get();
    if (f == nullptr) continue;
    if (static_cast<size_t>(n) <= f->TagCount()) return f->TagAt(static_cast<size_t>(n - 1));
    n -= static_cast<int>(f->TagCount());
  }
  return nullptr;
}

KTobjIndexTag* KTO_dBHandler::FindTag(std::string_view name) const {
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get())
      if (KTobjIndexTag* t = f->FindTag(name)) return t;
  return nullptr;
}

bool KTO_dBHandler::HasIndexFile() { return slots_[1] != nullptr; }

bool KTO_dBHandler::LockIndexFiles() {
  int locked = 0;
  try {
    for (int slot = 1; slot <= kIndexSlots; ++slot) {
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) {
        f->LockIndexFile();
        locked = slot;
      }
    }
  } catch (...) {
    for (int slot = 1; slot <= locked; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->UnlockIndexFile();
    throw;
  }
  return true;
}

void KTO_dBHandler::SetLockWait(int milliseconds) {
  KTO_dBaseFld::SetLockWait(milliseconds);
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->SetLockWait(LockWait());
}

void KTO_dBHandler::UnlockIndexFiles() {
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->UnlockIndexFile();
}

void KTO_dBHandler::LockForSearch() {
  // Only a shared open has writers of other programs to wait for.
  if (!IsShared()) return;
  int locked = 0;
  try {
    for (int slot = 1; slot <= kIndexSlots; ++slot) {
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) {
        f->LockIndexFileShared();
        locked = slot;
      }
    }
  } catch (...) {
    for (int slot = 1; slot <= locked; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->UnlockIndexFile();
    throw;
  }
  ++search_locks_;
}

void KTO_dBHandler::UnlockForSearch() {
  if (search_locks_ == 0) return;
  --search_locks_;
  UnlockIndexFiles();
}

void KTO_dBHandler::RefreshIndexes() {
  // Only a shared open can see another process's writes.
  if (!IsShared()) return;
  for (int slot = 1; slot <= kIndexSlots; ++slot) {
    KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get();
    if (f == nullptr || !f->ChangedByOther()) continue;
    // Another process wrote through this file: the cached trees are stale.
    // The master stands again where it stood: on its entry, found anew (the
    // record buffer may be a caller's at this point, so the current
    // record's key cannot be evaluated); on the current record's key when
    // that entry is gone.
    for (size_t i = 0; i < f->TagCount(); ++i) {
      KTobjIndexTag* tag = f->TagAt(i);
      if (!tag->HasTree()) continue;
      if (tag != master_) tag->ReleaseTree();
      else if (!tag->ReloadAtCurrentKey()) tag->ResetTree(1);
    }
  }
}

// --- writes -----------------------------------------------------------------------

// A record write is all or nothing. Under the index locks every open index
// file first checks that it can take the change (a damaged node on the way,
// a collation this engine cannot keep) and refuses it before the record
// reaches the disk; then each records what it overwrites. A failure after
// the record was written (a full disk, an I/O error) makes the table take
// the record back (KTO_dBaseDBF::UndoWrite) and every index file put its
// blocks back.
void KTO_dBHandler::WriteThroughIndexes(int32_t number, bool is_append) {
  ClearUndoFailed();
  // The append lock before the index locks, in the order other programs
  // take them: one that holds the append lock and waits for an index lock
  // is never waited for the other way round.
  const bool append_locked = is_append && IsShared() && TakeAppendLock();
  struct AppendUnlock {
    KTO_dBHandler* table;
    bool on;
    ~AppendUnlock() {
      // The header read for this append is good for this append only.
      table->ForgetAppendHeader();
      if (!on) return;
      try {
        table->UnlockTable();
      } catch (...) {
        // A header that cannot be written was reported by the write.
      }
    }
  } append_unlock{this, append_locked};
  LockIndexFiles();
  try {
    // Read once under the append lock: the append itself goes on from it.
    if (is_append) RefreshHeaderForAppend();
    const int32_t recno = is_append ? RecordCount() + 1 : number;
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->PrepareChange(recno, is_append);
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->BeginChange();
    if (is_append) KTO_dBaseFld::AppendRecord();
    else KTO_dBaseFld::WriteRecord(number);
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->CommitChange();
  } catch (...) {
    DropReadCache();
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) {
        f->RollbackChange();
        // Indexes put back to a table that could not be: they no longer
        // describe it and stay marked for a rebuild.
        if (UndoFailed()) f->KeepMarked();
      }
    if (master_ != nullptr) {
      try {
        master_->ResetTree(1);
      } catch (const std::exception&) {
        master_->DiscardTree();
      }
    }
    UnlockIndexFiles();
    throw;
  }
  UnlockIndexFiles();
}

void KTO_dBHandler::AppendRecord() { WriteThroughIndexes(0, true); }

void KTO_dBHandler::WriteRecord(int32_t number) {
  if (number > RecordCount() || number <= 0) {
    RecordEvent(kEventBeforeWrite, number);
    WriteThroughIndexes(0, true);
    return;
  }
  WriteThroughIndexes(number, false);
}

void KTO_dBHandler::SyncMaster() {
  outside_order_ = false;
  if (master_ == nullptr || CurrentRecord() < 1) return;
  // Outside order: the tag has no key for the current record (its FOR
  // condition or the key range leaves it out); under an active filter also a
  // record the filter rejects.
  outside_order_ = master_->SyncToRecord(CurrentRecord()) != CurrentRecord();
  if (filter_active_ && !filter_set_.Contains(CurrentRecord())) outside_order_ = true;
}

void KTO_dBHandler::RecordEvent(int event, int32_t record) {
  if (event == kEventAfterWrite) {
    // An append is reported with record 0; its number is the current one.
    const bool is_append = record == 0;
    const int32_t recno = is_append ? CurrentRecord() : record;
    if (filter_expr_ && filter_expr_->HasTree()) {
      TktExpValue v;
      filter_expr_->Evaluate(v);
      const bool pass = filter_expr_->ResultType() == kExpLogical && v.AsLogical();
      filter_set_.ChangeMember(recno, pass ? TktHugeSet::kAdd : TktHugeSet::kRemove);
    }
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->RecordChanged(recno, is_append);
    if (master_ != nullptr) {
      SyncMaster();
      // The table stands on the record just written, whatever the tag's
      // flags say; the dataset re-reads its position after every post.
      SetEof(false);
      SetBof(false);
    }
  } else if (event == kEventAfterFlush) {
    SearchLock search_lock(this);
    if (master_ != nullptr) master_->ReleaseTree();
    for (int slot = 1; slot <= kIndexSlots; ++slot)
      if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get())
        if (f->Disk() != nullptr && f->Disk()->IsWritable()) {
          f->FinishChanges();
          f->Disk()->Flush();
        }
    if (master_ != nullptr) {
      master_->ResetTree(1);
      outside_order_ = CurrentRecord() >= 1 && master_->CurrentKey().Reference != CurrentRecord();
    }
  }
  KTO_dBaseFld::RecordEvent(event, record);
}

void KTO_dBHandler::SetLockProtocol(int kind) {
  requested_protocol_ = kind;
  ApplyLockProtocol();
}

namespace {

// The protocol of the programs that keep index files of this kind.
int ProtocolOfIndexKind(const KTobjIndexFile& f) {
  const std::string ext = plat::UpperName(ExtensionOf(f.FullName()));
  if (ext == ".CDX") return kFoxLock;
  if (ext == ".NTX") return kClipLock;
  if (ext == ".MDX" || ext == ".NDX") return kDB4Lock;
  return kDefaultLock;
}

}  // namespace

int KTO_dBHandler::IndexKindLockProtocol() const {
  if (production_protocol_ != kDefaultLock) return production_protocol_;
  if (const KTobjIndexFile* f = slots_[1].get()) return ProtocolOfIndexKind(*f);
  return kDefaultLock;
}

int KTO_dBHandler::LockProtocolFor(const KTobjIndexFile& file) const {
  if (requested_protocol_ != kDefaultLock) return requested_protocol_;
  if (production_protocol_ != kDefaultLock) return production_protocol_;
  return ProtocolOfIndexKind(file);
}

void KTO_dBHandler::ApplyLockProtocol() {
  const int kind = requested_protocol_ == kDefaultLock ? IndexKindLockProtocol() : requested_protocol_;
  KTO_dBaseFld::SetLockProtocol(kind);
  for (int slot = 1; slot <= kIndexSlots; ++slot)
    if (KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get()) f->SetLockProtocol(kind);
}

bool KTO_dBHandler::Rename(std::string_view new_name) {
  const std::string old_name = GivenName();
  const std::string old_base = plat::UpperName(BaseName(FileName()));
  const std::string target = DefaultExtension(TrimText(new_name), ".DBF");
  const std::string new_dir = plat::DirectoryOf(plat::FullPath(target));
  const std::string new_base = BaseName(target);
  // The index files of the table's name follow it (the open ones, and a
  // production index beside it that is not open, which other programs
  // would otherwise no longer find): none may land on a file that exists.
  std::vector<KTobjIndexFile*> open_files;
  for (int slot = 1; slot <= kIndexSlots; ++slot) {
    KTobjIndexFile* f = slots_[static_cast<size_t>(slot)].get();
    if (f == nullptr || f->Disk() == nullptr) continue;
    if (plat::UpperName(BaseName(f->Disk()->FileName())) != old_base) continue;
    open_files.push_back(f);
  }
  std::vector<std::pair<std::string, std::string>> closed_files;  // from, to
  for (const char* ext : {".CDX", ".MDX"}) {
    const std::string beside = plat::DirectoryOf(old_name) + BaseName(old_name) + ext;
    if (!plat::FileExists(beside) || FindIndexFile(beside) != 0) continue;
    closed_files.emplace_back(plat::ResolveCase(beside), new_dir + new_base + ext);
  }
  const auto index_target = [&](const KTobjIndexFile* f) {
    return new_dir + new_base + std::string(ExtensionOf(f->Disk()->GivenName()));
  };
  auto refuse = [this](const std::string& from, const std::string& to) {
    plat::SetLastError(plat::kErrAlreadyExists);
    ReportError(plat::kErrAlreadyExists, kSubRename, plat::UpperName(from) + " -> " + plat::UpperName(to));
    return false;
  };
  for (const KTobjIndexFile* f : open_files) {
    const std::string to = index_target(f);
    if (plat::ResolveCase(to) != plat::ResolveCase(f->Disk()->GivenName()) && plat::FileExists(to))
      return refuse(f->Disk()->GivenName(), to);
  }
  for (const auto& [from, to] : closed_files)
    if (plat::ResolveCase(to) != from && plat::FileExists(to)) return refuse(from, to);

  // The table and its memo first (both or neither), then the index files;
  // a failure on the way takes back every move made.
  if (!KTO_dBaseFld::Rename(new_name)) return false;
  std::vector<std::pair<KTobjIndexFile*, std::string>> moved;  // file, old name
  std::vector<std::pair<std::string, std::string>> moved_closed;
  const auto undo = [&] {
    try {
      for (auto& [f, from] : moved) f->RenameFile(from);
      for (auto& [from, to] : moved_closed) plat::RenameFileNoReplace(to, from);
      KTO_dBaseFld::Rename(old_name);
    } catch (...) {
      // The failure reported first is the one the caller sees.
    }
  };
  try {
    for (KTobjIndexFile* f : open_files) {
      const std::string from = f->Disk()->GivenName();
      if (!f->RenameFile(index_target(f))) {
        undo();
        return false;
      }
      moved.emplace_back(f, from);
    }
    for (const auto& [from, to] : closed_files) {
      if (!plat::RenameFileNoReplace(from, to)) {
        const int32_t error = plat::LastError();
        undo();
        plat::SetLastError(error);
        ReportError(error, kSubRename, plat::UpperName(from) + " -> " + plat::UpperName(to));
        return false;
      }
      moved_closed.emplace_back(from, to);
    }
  } catch (...) {
    undo();
    throw;
  }
  return true;
}

void KTO_dBHandler::ReEncipher(std::string_view) {
  throw ETesseraEncryption("Table encryption is not supported - " + FileName());
}

bool KTO_dBHandler::RecordAccepted() { return true; }

// --- building -----------------------------------------------------------------------------

void KTO_dBHandler::CreateIndexTag(std::string_view file_name, std::string_view tag_name, std::string_view key_expr,
                                   std::string_view for_expr, int uniqueness, int sort_order) {
  const std::string resolved = ResolveIndexName(file_name, ".NDX");
  const std::string upper = plat::UpperName(resolved);
  // The GENERAL collation's weights belong to a locale this engine does
  // not have: refused before anything is opened or written, rather than
  // built in byte order under a name that promises otherwise.
  if (sort_order == 7 || sort_order == 8)
    throw ETesseraError("The GENERAL collation (sort order " + std::to_string(sort_order) +
                        ") is not supported; tags are built in byte order (MACHINE) - " + upper);
  CloseIndexFiles();
  const bool cache_flag = read_cache_on_;
  SetReadCache(true);
  std::string tag = TrimText(tag_name);
  if (tag.size() > 31) tag.clear();
  const std::string ext = plat::UpperName(ExtensionOf(resolved)).substr(0, 4);
  if ((ext == ".CDX" || ext == ".MDX") && tag.empty()) {
    ReportError(kCodeTagNameEmpty, kSubCreateTag, "Tag Field is Empty");
    return;
  }
  if (ext != ".CDX" && ext != ".MDX" && ext != ".NTX" && ext != ".NDX") {
    throw ETesseraError("Index files of the kind " + ext + " cannot be built - " + upper);
  }
  const bool existed = plat::FileExists(resolved);
  // A single-tag file is replaced as a whole; its tag is named after it.
  std::unique_ptr<KTobjIndexFile> file;
  if (ext == ".MDX") file = std::make_unique<KTobjMDXFile>(this, resolved, false, true, IsShared(), true);
  else if (ext == ".NTX") file = std::make_unique<KTobjNTXFile>(this, resolved, true, true, IsShared(), true);
  else if (ext == ".NDX") file = std::make_unique<KTobjNDXFile>(this, resolved, true, true, IsShared(), true);
  else file = std::make_unique<KTobjCDXFile>(this, resolved, false, true, IsShared(), true);
  if (!file->Opened()) {
    SetNewCdxTagCollation(1);
    ReportError(plat::FileExists(resolved) ? int32_t{kCodeIndexHeader} : int32_t{plat::kErrFileNotFound},
                kNoSubCode, upper);
    return;
  }
  file->SetLockProtocol(LockProtocolFor(*file));
  file->SetLockWait(LockWait());
  SetTableState(kStateIndexing);
  try {
    file->LockIndexFile();
    const bool built =
        file->CreateTag(tag, std::string(key_expr), uniqueness == kUniqueKeys, sort_order == 0, std::string(for_expr));
    file->UnlockIndexFile();
    if (!built)
      throw ETesseraError("The key expression " + std::string(key_expr) + " of tag " + tag + " cannot be evaluated");
    // What the build left held goes out here, where a failure (a full
    // disk) is this call's to raise: closing the file cannot report one.
    file->FinishChanges();
  } catch (...) {
    file.reset();
    if (!existed) RemoveUnbuiltIndexFile(resolved);
    SetTableState(kStateNormal);
    SetNewCdxTagCollation(1);
    SetReadCache(cache_flag);
    throw;
  }
  file.reset();
  SetTableState(kStateNormal);
  SetReadCache(cache_flag);
}

void KTO_dBHandler::RemoveUnbuiltIndexFile(const std::string& name) {
  // The file this build made holds no tag: a failure while its first
  // structure was written (a full disk) may have left one that reads as
  // damaged, and an empty one is of no use either.
  std::error_code ignored;
  std::filesystem::remove(plat::ResolveCase(name), ignored);
}

void KTO_dBHandler::CreateIndexTags(std::string_view file_name, const std::vector<IndexTagDefinition>& tags,
                                    const std::function<void(size_t)>& built) {
  const std::string resolved = ResolveIndexName(file_name, ".NDX");
  const std::string upper = plat::UpperName(resolved);
  const std::string ext = plat::UpperName(ExtensionOf(resolved)).substr(0, 4);
  if (ext != ".CDX" && ext != ".MDX") {
    for (size_t k = 0; k < tags.size(); ++k) {
      const IndexTagDefinition& t = tags[k];
      CreateIndexTag(file_name, t.name, t.key_expr, t.for_expr, t.uniqueness, t.sort_order);
      if (built) built(k);
    }
    return;
  }
  // What CreateIndexTag refuses before it opens the file, for every tag.
  std::vector<KTobjCDXFile::TagDefinition> defs;
  std::vector<KTobjMDXFile::TagDefinition> mdx_defs;
  for (const IndexTagDefinition& t : tags) {
    if (t.sort_order == 7 || t.sort_order == 8)
      throw ETesseraError("The GENERAL collation (sort order " + std::to_string(t.sort_order) +
                          ") is not supported; tags are built in byte order (MACHINE) - " + upper);
    std::string tag = TrimText(t.name);
    if (tag.size() > 31) tag.clear();
    if (tag.empty()) {
      CloseIndexFiles();
      ReportError(kCodeTagNameEmpty, kSubCreateTag, "Tag Field is Empty");
      return;
    }
    defs.push_back({tag, t.key_expr, t.for_expr, t.uniqueness == kUniqueKeys, t.sort_order == 0});
    mdx_defs.push_back({tag, t.key_expr, t.for_expr, t.uniqueness == kUniqueKeys, t.sort_order == 0});
  }
  CloseIndexFiles();
  const bool cache_flag = read_cache_on_;
  SetReadCache(true);
  const bool existed = plat::FileExists(resolved);
  std::unique_ptr<KTobjIndexFile> file;
  if (ext == ".MDX") file = std::make_unique<KTobjMDXFile>(this, resolved, false, true, IsShared(), true);
  else file = std::make_unique<KTobjCDXFile>(this, resolved, false, true, IsShared(), true);
  if (!file->Opened()) {
    SetNewCdxTagCollation(1);
    SetReadCache(cache_flag);
    ReportError(plat::FileExists(resolved) ? int32_t{kCodeIndexHeader} : int32_t{plat::kErrFileNotFound},
                kNoSubCode, upper);
    return;
  }
  file->SetLockProtocol(LockProtocolFor(*file));
  file->SetLockWait(LockWait());
  SetTableState(kStateIndexing);
  size_t finished = 0;
  try {
    file->LockIndexFile();
    const auto counted = [&](size_t k) {
      ++finished;
      if (built) built(k);
    };
    if (ext == ".MDX") static_cast<KTobjMDXFile*>(file.get())->CreateTags(mdx_defs, counted);
    else static_cast<KTobjCDXFile*>(file.get())->CreateTags(defs, counted);
    file->UnlockIndexFile();
    file->FinishChanges();  // as in CreateIndexTag
  } catch (...) {
    file.reset();
    if (!existed && finished == 0) RemoveUnbuiltIndexFile(resolved);
    SetTableState(kStateNormal);
    SetNewCdxTagCollation(1);
    SetReadCache(cache_flag);
    throw;
  }
  file.reset();
  SetTableState(kStateNormal);
  SetReadCache(cache_flag);
}

void KTO_dBHandler::CreateIndexFiles(const std::vector<IndexFileDefinition>& files,
                                     const std::function<void(size_t)>& built) {
  // What CreateIndexTag refuses before it opens a file, for every file.
  std::vector<std::string> names;
  for (const IndexFileDefinition& f : files) {
    const std::string resolved = ResolveIndexName(f.file_name, ".NDX");
    const std::string upper = plat::UpperName(resolved);
    if (f.tag.sort_order == 7 || f.tag.sort_order == 8)
      throw ETesseraError("The GENERAL collation (sort order " + std::to_string(f.tag.sort_order) +
                          ") is not supported; tags are built in byte order (MACHINE) - " + upper);
    const std::string ext = plat::UpperName(ExtensionOf(resolved)).substr(0, 4);
    if (ext != ".NDX" && ext != ".NTX")
      throw ETesseraError("Only single-tag index files (.NDX, .NTX) are built a file per tag - " + upper);
    for (const std::string& n : names)
      if (plat::UpperName(n) == upper) throw ETesseraError("The index file " + upper + " is named twice");
    names.push_back(resolved);
  }
  CloseIndexFiles();
  const bool cache_flag = read_cache_on_;
  SetReadCache(true);
  struct Building {
    std::unique_ptr<KTobjIndexFile> file;
    bool existed = false;
  };
  std::vector<Building> open;
  size_t finished = 0;  // files complete and closed
  size_t begun = 0;     // files whose old tag has gone (the one being built included)
  // After a failure: every file not complete is closed; one this call
  // made, or one whose old tag its build had already taken away, is
  // removed.
  const auto undo = [&] {
    for (size_t k = finished; k < open.size(); ++k) {
      open[k].file.reset();
      if (!open[k].existed || k < begun) RemoveUnbuiltIndexFile(names[k]);
    }
    SetTableState(kStateNormal);
    SetNewCdxTagCollation(1);
    SetReadCache(cache_flag);
  };
  std::vector<SingleTagBuild> builds;
  try {
    for (size_t k = 0; k < files.size(); ++k) {
      const std::string& resolved = names[k];
      const bool existed = plat::FileExists(resolved);
      // An existing file is opened as it is: it is emptied only once every
      // definition has held and its own tag is being built.
      const bool ntx = plat::UpperName(ExtensionOf(resolved)).substr(0, 4) == ".NTX";
      std::unique_ptr<KTobjIndexFile> file;
      if (ntx) file = std::make_unique<KTobjNTXFile>(this, resolved, false, true, IsShared(), true);
      else file = std::make_unique<KTobjNDXFile>(this, resolved, false, true, IsShared(), true);
      KTobjIndexFile* f = file.get();
      open.push_back({std::move(file), existed});
      if (!f->Opened()) {
        undo();
        ReportError(plat::FileExists(resolved) ? int32_t{kCodeIndexHeader} : int32_t{plat::kErrFileNotFound},
                    kNoSubCode, plat::UpperName(resolved));
        return;
      }
      f->SetLockProtocol(LockProtocolFor(*f));
      f->SetLockWait(LockWait());
      const IndexTagDefinition& t = files[k].tag;
      std::string tag = TrimText(t.name);
      if (tag.size() > 31) tag.clear();
      builds.push_back({f, tag, t.key_expr, t.for_expr, t.uniqueness == kUniqueKeys, t.sort_order == 0});
    }
    SetTableState(kStateIndexing);
    BuildSingleTagFiles(
        this, builds,
        [&](size_t k) {
          open[k].file->LockIndexFile();
          begun = k + 1;
        },
        [&](size_t k) {
          KTobjIndexFile* f = open[k].file.get();
          f->UnlockIndexFile();
          f->FinishChanges();  // as in CreateIndexTag
          open[k].file.reset();
          finished = k + 1;
          if (built) built(k);
        });
  } catch (...) {
    undo();
    throw;
  }
  SetTableState(kStateNormal);
  SetReadCache(cache_flag);
}

}  // namespace tessera
