#include "index/index_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/lock_retry.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/codepage.h"
#include "platform/last_error.h"
#include "platform/path.h"
#include "platform/write_faults.h"

namespace tessera {
namespace {
bool g_held_index_writes = true;
// At most this many blocks are held between record writes (4 MiB): what
// holding saves is the rewrites of the same block (headers, upper nodes),
// which a few hundred appends already gather, while every held block past
// the first fill of the memory kept for them is fresh memory to fault in
// (at 32 MiB, eleven single-tag files held 350 MB).
size_t g_held_index_blocks = 8192;
}  // namespace

bool HeldIndexWrites() { return g_held_index_writes; }
void SetHeldIndexWrites(bool on) { g_held_index_writes = on; }
size_t HeldIndexBlocks() { return g_held_index_blocks; }
void SetHeldIndexBlocks(size_t blocks) { g_held_index_blocks = std::max<size_t>(blocks, 1); }

KTobjIndexFile::KTobjIndexFile(KTO_dBHandler* table) : table_(table) {
  exact_ = table != nullptr ? table->ExactKeyOnly : true;
  lock_wait_ = table != nullptr ? table->LockWait() : kLockWaitTotal;
}

// Formats free their tags in their own destructors (releasing a tree needs
// their StoreNode).
KTobjIndexFile::~KTobjIndexFile() = default;

const std::string& KTobjIndexFile::FullName() const {
  static const std::string kNone;
  return disk_ ? disk_->FileName() : kNone;
}

bool KTobjIndexFile::CreateTag(const std::string&, const std::string&, bool, bool, const std::string&) {
  return false;
}
bool KTobjIndexFile::DeleteTag(const std::string&) { return false; }

void KTobjIndexFile::ReportError(int32_t code, int32_t sub_code, const std::string& info) {
  if (table_ != nullptr) table_->ReportError(code, sub_code, info);
  else ReportEngineError(code, sub_code, info);
}

int32_t KTobjIndexFile::AllocateNode() { return -1; }
int32_t KTobjIndexFile::ResetAllocator() { return -1; }

int64_t KTobjIndexFile::RefreshSize() {
  known_size_ = disk_ ? disk_->FileSize() : 0;
  if (disk_) on_disk_ = known_size_;
  size_epoch_ = disk_ && disk_->LockCount() > 0 ? lock_epoch_ : kNoEpoch;
  // Held blocks past the end are the file's too.
  known_size_ = std::max(known_size_, held_end_);
  return known_size_;
}


bool KTobjIndexFile::ReadDirect(int32_t offset, void* buffer, int32_t count) {
  if (!disk_ || offset < 0) return false;
  // Under the write lock the mapping is the file itself.
  if (write_locked_ && count > 0 && static_cast<int64_t>(offset) + count <= OnDisk() &&
      MappedBlock((static_cast<int64_t>(offset) + count - 1) / IndexBlockCache::kBlock) != nullptr) {
    EnterForWrite(offset, count);
    std::memcpy(buffer, mapping_.data() + offset, static_cast<size_t>(count));
    return true;
  }
  return disk_->ReadAt(offset, buffer, count) == count;
}

int64_t KTobjIndexFile::OnDisk() {
  if (on_disk_ < 0 && disk_) on_disk_ = disk_->FileSize();
  return on_disk_;
}

void KTobjIndexFile::EnterCachedPages() {
  // A record write reads one cold leaf per tag, and on a large file (the
  // eleven single-tag files of a million cards hold 550 MB) nearly every
  // one lies in a page not touched yet, whose fault costs about as much as
  // the copy and the search together. Only for a file that takes record
  // writes: a build's or a lookup's reader would count the whole file in
  // its resident memory for nothing.
  cached_pages_entered_ = true;
  // Not a shared writer's view: entered here its pages would be entered
  // read-only, and the first write of each would fault again (see
  // EnterForWrite).
  if (mapping_.writable_data() != nullptr) return;
  mapping_.MapCachedPages(OnDisk());
}

void KTobjIndexFile::EnterForWrite(int64_t offset, int64_t count) {
  // Under the write lock a block is read because this write may change
  // it: the leaf a key goes into, a node on its path that a split
  // rewrites, the header it marks. A page a read enters is entered
  // read-only, and the first write to it then faults a second time, the
  // dearer fault of the two (the kernel has the file system make the page
  // writable and changes an entry it has just made); measured on a
  // million-card callbook's index, 15 us against 6 us for a page entered
  // by a write. So the first touch of each page is a write that leaves its
  // byte as it is (an atomic or with zero; no reader can see a change,
  // since there is none). A page so entered is dirty, and written back,
  // even when the write ends up not changing it: only nodes on this
  // write's path are.
  char* mapped = mapping_.writable_data();
  if (mapped == nullptr || count <= 0) return;
  constexpr int64_t kPage = 4096;  // the smallest page; on larger ones a page is touched more than once
  for (int64_t at = offset; at < offset + count; at = (at / kPage + 1) * kPage)
    __atomic_fetch_or(mapped + at, 0, __ATOMIC_RELAXED);
}

const uint8_t* KTobjIndexFile::MappedBlock(int64_t number) {
  constexpr int64_t kBlock = IndexBlockCache::kBlock;
  if (!disk_ || (disk_->IsShared() && !write_locked_) || mapping_failed_) return nullptr;
  const int64_t end = (number + 1) * kBlock;
  if (number < 0 || end > OnDisk()) return nullptr;
  if (mapped_file_ != disk_.get() || end > mapping_.size()) {
    // Mapped with room to grow, so that the file's growth does not remap
    // it every time.
    mapped_file_ = nullptr;
    // Writable when the file is shared: writes under the lock go into it,
    // where the file system makes that as safe as a write call.
    if ((disk_->IsShared() && !plat::ReadMapping::SharedViewIsSafe(disk_->FileName())) || !mapping_.Map(disk_->FileName(), OnDisk() + MappingSlack(OnDisk()), disk_->IsShared() && disk_->IsWritable())) {
      mapping_failed_ = true;
      return nullptr;
    }
    mapped_file_ = disk_.get();
    cached_pages_entered_ = false;
    if (writes_records_) EnterCachedPages();
    if (end > mapping_.size()) return nullptr;
  }
  if (write_locked_) EnterForWrite(number * kBlock, kBlock);
  return reinterpret_cast<const uint8_t*>(mapping_.data()) + number * kBlock;
}

void KTobjIndexFile::WriteOut(int64_t offset, const void* data, int32_t count) {
  // Under the write lock of a shared file, bytes inside the file are stored
  // into the mapping: that is the page cache every reader of the file
  // reads, so they are there for the others as soon as with a write call,
  // without one. A failing disk of the tests is the write call's to give.
  if (write_locked_ && count > 0 && plat::ArmedWriteFault() == plat::WriteFault::kNone &&
      offset + count <= OnDisk() && MappedBlock((offset + count - 1) / IndexBlockCache::kBlock) != nullptr) {
    if (char* mapped = mapping_.writable_data()) {
      plat::WriteFaultFor(false);  // counted as the write it stands for
      std::memcpy(mapped + offset, data, static_cast<size_t>(count));
      disk_->NoteWritten();
      return;
    }
  }
  disk_->WriteAt(offset, data, count);
}

const uint8_t* KTobjIndexFile::StoredBlock(int64_t number) {
  if (const uint8_t* cached = cache_.Find(number)) return cached;
  return MappedBlock(number);
}

bool KTobjIndexFile::ReadBlock(int32_t offset, void* buffer, int32_t count) {
  if (!disk_ || offset < 0 || count < 0) return false;
  constexpr int64_t kBlock = IndexBlockCache::kBlock;
  auto* out = static_cast<uint8_t*>(buffer);
  const int64_t request_end = static_cast<int64_t>(offset) + count;
  for (int64_t pos = offset; pos < request_end;) {
    const int64_t number = pos / kBlock;
    const int64_t start = number * kBlock;
    const int64_t end = std::min<int64_t>(start + kBlock, request_end);
    const uint8_t* cached = held_.Find(number);
    if (cached == nullptr) cached = StoredBlock(number);
    if (cached == nullptr) {
      // The blocks of the request that are missing from here on are read
      // in one go (a node of several blocks, read afresh under shared use,
      // costs one read rather than one per block). A block that does not
      // lie wholly in the file is read as it is and not kept.
      int64_t last = number;
      while ((last + 1) * kBlock < request_end && (last + 1 - number) * kBlock < kMaxRead &&
             held_.Find(last + 1) == nullptr && cache_.Find(last + 1) == nullptr)
        ++last;
      const auto length = static_cast<int32_t>((last - number + 1) * kBlock);
      read_buffer_.resize(static_cast<size_t>(length));
      if (disk_->ReadAt(start, read_buffer_.data(), length) != length) return ReadDirect(offset, buffer, count);
      for (int64_t b = number; b <= last; ++b) cache_.Put(b, read_buffer_.data() + (b - number) * kBlock);
      const int64_t run_end = std::min<int64_t>((last + 1) * kBlock, request_end);
      std::memcpy(out + (pos - offset), read_buffer_.data() + (pos - start), static_cast<size_t>(run_end - pos));
      pos = run_end;
      continue;
    }
    std::memcpy(out + (pos - offset), cached + (pos - start), static_cast<size_t>(end - pos));
    pos = end;
  }
  return true;
}

bool KTobjIndexFile::WriteBlock(int32_t offset, const void* buffer, int32_t count) {
  return Write(offset, buffer, count, holding_);
}

bool KTobjIndexFile::WriteThrough(int32_t offset, const void* buffer, int32_t count) {
  return Write(offset, buffer, count, false);
}

bool KTobjIndexFile::Write(int32_t offset, const void* buffer, int32_t count, bool hold) {
  if (!disk_ || offset < 0) return false;
  if (corrupt_) {
    // Writing into a damaged file would make it worse.
    Corrupt();
    return false;
  }
  const auto* data = static_cast<const uint8_t*>(buffer);
  if (journal_.active) SaveBeforeImages(offset, count);
  if (hold) {
    HoldWrite(offset, data, count);
  } else {
    WriteOut(offset, buffer, count);
    if (on_disk_ >= 0) on_disk_ = std::max<int64_t>(on_disk_, static_cast<int64_t>(offset) + count);
    // Blocks are held only while writes are (they go out before holding
    // stops), so a write straight to the file beside them is the mark's:
    // a held copy of its block takes the bytes too.
    for (int64_t pos = offset; !held_.empty() && pos < static_cast<int64_t>(offset) + count;) {
      const int64_t number = pos / IndexBlockCache::kBlock;
      const int64_t start = number * IndexBlockCache::kBlock;
      const int64_t end = std::min<int64_t>(start + IndexBlockCache::kBlock, static_cast<int64_t>(offset) + count);
      if (uint8_t* held = held_.Find(number))
        std::memcpy(held + (pos - start), data + (pos - offset), static_cast<size_t>(end - pos));
      pos = end;
    }
  }
  cache_.Written(offset, data, count);
  ++write_count_;
  // An unknown size (-1) stays unknown: the file may reach past this write.
  if (known_size_ >= 0 && offset + static_cast<int64_t>(count) > known_size_)
    known_size_ = offset + static_cast<int64_t>(count);
  return true;
}

void KTobjIndexFile::HoldWrite(int64_t offset, const uint8_t* data, int32_t count) {
  const int64_t kBlock = IndexBlockCache::kBlock;
  for (int64_t pos = offset; pos < offset + count;) {
    const int64_t number = pos / kBlock;
    const int64_t start = number * kBlock;
    const int64_t end = std::min<int64_t>(start + kBlock, offset + count);
    uint8_t* block = held_.Find(number);
    if (block == nullptr) {
      block = held_.Bytes(held_.Add(number));
      held_end_ = std::max(held_end_, start + kBlock);
      if (pos > start || end < start + kBlock) {
        // Part of a block: the rest as the file (or the cache) has it.
        std::memset(block, 0, static_cast<size_t>(kBlock));
        if (const uint8_t* stored = StoredBlock(number)) std::memcpy(block, stored, 512);
        else disk_->ReadAt(start, block, static_cast<int32_t>(kBlock));
      }
    }
    std::memcpy(block + (pos - start), data + (pos - offset), static_cast<size_t>(end - pos));
    pos = end;
  }
}

void KTobjIndexFile::FlushHeld(bool keep_memory) {
  if (held_.empty() || !disk_) return;
  std::vector<int64_t> blocks;
  blocks.reserve(held_.size());
  for (uint32_t slot = 0; slot < held_.size(); ++slot) blocks.push_back(held_.NumberAt(slot));
  std::sort(blocks.begin(), blocks.end());
  // Runs of neighbouring blocks go in one write, and so do blocks a few
  // apart when the file's bytes between them can be had without a read;
  // block 0 holds the mark and goes last, once everything else is there.
  std::vector<uint8_t> run;
  const int64_t kBlock = IndexBlockCache::kBlock;
  // Only a file nobody else writes is known to hold what the cache holds.
  const bool alone = !disk_->IsShared();
  const auto file_block = [this, alone](int64_t b) { return alone ? StoredBlock(b) : nullptr; };
  for (size_t i = blocks[0] == 0 ? 1 : 0; i < blocks.size();) {
    const int64_t first = blocks[i];
    run.clear();
    const uint8_t* bytes = held_.Find(first);
    run.insert(run.end(), bytes, bytes + kBlock);
    size_t j = i + 1;
    for (; j < blocks.size() && run.size() < kFlushRun; ++j) {
      const int64_t last = first + static_cast<int64_t>(run.size()) / kBlock - 1;
      const int64_t gap = blocks[j] - last - 1;
      if (gap > kFlushGap) break;
      bool filled = true;
      const size_t size_before = run.size();
      for (int64_t b = last + 1; b < blocks[j]; ++b) {
        const uint8_t* between = file_block(b);
        if (between == nullptr) {
          filled = false;
          break;
        }
        run.insert(run.end(), between, between + kBlock);
      }
      if (!filled) {
        run.resize(size_before);
        break;
      }
      const uint8_t* next = held_.Find(blocks[j]);
      run.insert(run.end(), next, next + kBlock);
    }
    WriteOut(first * kBlock, run.data(), static_cast<int32_t>(run.size()));
    if (on_disk_ >= 0) on_disk_ = std::max<int64_t>(on_disk_, first * kBlock + static_cast<int64_t>(run.size()));
    i = j;
  }
  if (blocks[0] == 0) WriteOut(0, held_.Find(0), static_cast<int32_t>(kBlock));
  ClearHeld(keep_memory);
}

void KTobjIndexFile::SaveBeforeImages(int64_t offset, int32_t count) {
  const int64_t kBlock = IndexBlockCache::kBlock;
  if (count > kBlock) {
    // The whole blocks of a write of several (a node, a header) whose
    // images are not at hand come in one read, through the cache.
    const int64_t first = offset / kBlock * kBlock;
    const int64_t end = std::min<int64_t>((offset + count + kBlock - 1) / kBlock * kBlock, journal_.size / kBlock * kBlock);
    bool missing = false;
    for (int64_t b = first / kBlock; b * kBlock < end && !missing; ++b)
      missing = journal_.before.SlotOf(b) == BlockMap::kNone && held_.Find(b) == nullptr && StoredBlock(b) == nullptr;
    if (missing && end - first <= kMaxRead) {
      read_ahead_.resize(static_cast<size_t>(end - first));
      KTobjIndexFile::ReadBlock(static_cast<int32_t>(first), read_ahead_.data(), static_cast<int32_t>(end - first));
    }
  }
  for (int64_t b = offset / kBlock; b * kBlock < offset + count; ++b) {
    const int64_t start = b * kBlock;
    if (start >= journal_.size || journal_.before.SlotOf(b) != BlockMap::kNone) continue;
    const int32_t length = static_cast<int32_t>(std::min<int64_t>(kBlock, journal_.size - start));
    uint8_t* image = journal_.before.Bytes(journal_.before.Add(b));
    std::memset(image, 0, static_cast<size_t>(kBlock));
    if (const uint8_t* held = held_.Find(b))
      std::memcpy(image, held, static_cast<size_t>(length));
    else if (const uint8_t* stored = length == kBlock ? StoredBlock(b) : nullptr)
      std::memcpy(image, stored, static_cast<size_t>(length));
    else if (disk_->ReadAt(start, image, length) != length)
      ReportError(kCodeIndexHeader, kNoSubCode, FullName());
    else if (length == kBlock)
      cache_.Put(b, image);  // the write that follows reads it too
  }
}

void KTobjIndexFile::PrepareChange(int32_t recno, bool is_append) {
  if (!disk_ || !opened_) return;
  if (corrupt_) Corrupt();
  if (disk_->IsShared()) {
    // The size, whatever the count will say: a size taken when the file
    // was opened may predate the count read just after it (a writer
    // finished between the two), and nodes allocated past it would land
    // on that writer's. The file is seen through the mapping up to the
    // size taken here, until the write ends (the count too).
    next_free_ = -1;
    RefreshSize();
    write_locked_ = true;
    // Under the lock: what others wrote is in the file now, and a mark
    // found there is one a writer left when it died.
    const bool changed = ChangedByOther();
    checked_ = true;
    // The headers this write may rewrite keep what the others wrote.
    if (changed)
      for (size_t i = 0; i < tags_.Count(); ++i) tags_.At(i)->ReloadHeaderState();
    if (MarkedByOther()) {
      needs_rebuild_ = true;
      RaiseNeedsRebuild();
    }
  } else if (!pending_mark_ && ReadPendingMark()) {
    // Exclusive use: a mark that is not this writer's own was left by one
    // that did not finish.
    needs_rebuild_ = true;
    RaiseNeedsRebuild();
  }
  // After the shared branch has taken the file's size under this lock.
  writes_records_ = true;
  if (!cached_pages_entered_ && mapped_file_ == disk_.get()) EnterCachedPages();
  // Paths are checked with exact searches, as the key maintenance walks
  // them.
  KTO_dBHandler* table = table_;
  const bool exact = table != nullptr && table->ExactKeyOnly;
  if (table != nullptr) table->ExactKeyOnly = true;
  try {
    for (size_t i = 0; i < tags_.Count(); ++i) tags_.At(i)->PrepareChange(recno, is_append);
  } catch (...) {
    if (table != nullptr) table->ExactKeyOnly = exact;
    throw;
  }
  if (table != nullptr) table->ExactKeyOnly = exact;
}

void KTobjIndexFile::BeginChange() {
  if (!disk_ || !opened_ || !disk_->IsWritable()) return;
  // Held blocks of earlier writes go out before this write starts, so
  // that a failure to write them refuses this write with nothing done.
  // Their memory is kept for the writes that follow (a bulk append fills
  // it again); a finish of the changes lets it go.
  if (held_.size() > g_held_index_blocks) FlushHeld(true);
  journal_.before.Clear();
  // The size as this file last saw or made it: under shared use
  // ChangedByOther has just learned of any other writer's growth.
  journal_.size = KnownSize();
  journal_.active = true;
  if (!pending_mark_) WritePendingMark(true);
  if (pending_mark_ && HoldsWrites() && HeldIndexWrites()) holding_ = true;
}

void KTobjIndexFile::CommitChange() {
  checked_ = false;
  write_locked_ = false;
  if (!journal_.active) return;
  if (holding_ && disk_->IsShared()) {
    // A write that changed no key still lets go of nothing it holds.
    holding_ = false;
    FlushHeld();
  }
  if (pending_mark_ && disk_->IsShared()) WritePendingMark(false);
  journal_.active = false;
  journal_.before.Clear();
}

bool KTobjIndexFile::MarkedByOther() { return ReadPendingMark(); }

void KTobjIndexFile::FinishChanges() {
  if (journal_.active || corrupt_ || needs_rebuild_ || !disk_) return;
  FlushHeld();
  holding_ = false;
  if (pending_mark_) WritePendingMark(false);
}

bool KTobjIndexFile::RollbackChange() {
  checked_ = false;
  write_locked_ = false;
  if (!journal_.active) return true;
  journal_.active = false;
  bool ok = true;
  if (disk_->IsShared()) {
    // Blocks held under shared use are this write's only (they go out at
    // its end): dropped, and the file put back from the before-images,
    // the mark with them.
    ClearHeld();
    holding_ = false;
  }
  if (holding_) {
    // Nothing of this write reached the file: the held blocks go back to
    // their images, blocks past the old end are dropped.
    for (uint32_t slot = 0; slot < journal_.before.size(); ++slot) {
      const int64_t block = journal_.before.NumberAt(slot);
      uint8_t* held = held_.Find(block);
      if (held == nullptr) held = held_.Bytes(held_.Add(block));
      std::memcpy(held, journal_.before.Bytes(slot), static_cast<size_t>(IndexBlockCache::kBlock));
    }
    BlockMap kept;
    int64_t kept_end = 0;
    for (uint32_t slot = 0; slot < held_.size(); ++slot) {
      const int64_t block = held_.NumberAt(slot);
      if (block * IndexBlockCache::kBlock < journal_.size) {
        std::memcpy(kept.Bytes(kept.Add(block)), held_.Bytes(slot), static_cast<size_t>(IndexBlockCache::kBlock));
        kept_end = std::max(kept_end, (block + 1) * IndexBlockCache::kBlock);
      }
    }
    held_ = std::move(kept);
    held_end_ = kept_end;
    journal_.before.Clear();
  }
  // Block 0 holds the mark: it is put back last, and only when everything
  // else went back, so a file that could not be restored keeps its mark.
  const auto image_length = [this](int64_t block) {
    return static_cast<int32_t>(
        std::min<int64_t>(IndexBlockCache::kBlock, journal_.size - block * IndexBlockCache::kBlock));
  };
  for (uint32_t slot = 0; slot < journal_.before.size() && ok; ++slot) {
    const int64_t block = journal_.before.NumberAt(slot);
    if (block != 0)
      ok = disk_->WriteQuiet(block * IndexBlockCache::kBlock, journal_.before.Bytes(slot), image_length(block));
  }
  if (ok && !holding_) {
    const int64_t size = disk_->FileSize();
    if (size > journal_.size) ok = disk_->CutBack(journal_.size);
    on_disk_ = -1;
  }
  // A block 0 that was not written keeps the mark as it was (on, under
  // exclusive use, from an earlier write).
  bool mark_restored = false;
  if (ok)
    if (const uint8_t* image = journal_.before.Find(0)) {
      ok = disk_->WriteQuiet(0, image, image_length(0));
      mark_restored = ok;
    }
  journal_.before.Clear();
  if (ok) {
    if (mark_restored) pending_mark_ = ReadPendingMark();
  } else {
    needs_rebuild_ = corrupt_ = true;
  }
  DropCache();
  next_free_ = -1;
  known_size_ = -1;
  try {
    ReloadAfterUndo();
  } catch (const std::exception&) {
    corrupt_ = true;
    ok = false;
  }
  return ok;
}

void KTobjIndexFile::KeepMarked() {
  if (!disk_ || !opened_ || !disk_->IsWritable()) return;
  if (!pending_mark_) {
    try {
      WritePendingMark(true);
    } catch (const std::exception&) {
      // The disk that failed the table may fail this too: the file is
      // refused all the same.
    }
  }
  needs_rebuild_ = corrupt_ = true;
}

bool KTobjIndexFile::NeedsRebuild() {
  if (needs_rebuild_) return true;
  if (!pending_seen_ || !disk_) return false;
  // A mark may be the one of a writer at work right now: once its lock can
  // be had (or while this object holds it), the mark tells the truth.
  if (disk_->IsShared() && disk_->LockCount() == 0) {
    try {
      LockIndexFile();
    } catch (const ETesseraError&) {
      return false;  // still busy: not ours to judge
    }
    needs_rebuild_ = ReadPendingMark();
    UnlockIndexFile();
  } else {
    needs_rebuild_ = ReadPendingMark();
  }
  pending_seen_ = needs_rebuild_;
  return needs_rebuild_;
}

void KTobjIndexFile::RaiseNeedsRebuild() {
  const std::string info = FullName() + ": a write through it did not finish; it needs a rebuild";
  ReportError(kCodeIndexHeader, kNoSubCode, info);
  throw ETesseraError(ComposeEngineError(kCodeIndexHeader, kNoSubCode, info));
}

bool KTobjIndexFile::ReadPendingMark() { return false; }
void KTobjIndexFile::WritePendingMark(bool) {}

bool KTobjIndexFile::ReadMarkAt(int32_t offset) {
  char mark[8] = {};
  if (!ReadDirect(offset, mark, 8)) return false;
  return std::memcmp(mark, kSpareMark, 8) == 0;
}

void KTobjIndexFile::WriteMarkAt(int32_t offset, bool on) {
  if (on) {
    // What the mark covers, unless it is on already (this writer's, kept
    // from before; another writer's, left behind, is not worth keeping: a
    // rebuild clears it to zeros).
    uint8_t covered[8] = {};
    if (!pending_mark_) {
      if (KTobjIndexFile::ReadBlock(offset, covered, 8) && std::memcmp(covered, kSpareMark, 8) != 0)
        std::memcpy(mark_covered_, covered, 8);
      else
        std::memset(mark_covered_, 0, 8);
    }
    WriteThrough(offset, kSpareMark, 8);
  } else {
    WriteThrough(offset, mark_covered_, 8);
  }
  pending_mark_ = on;
}

void KTobjIndexFile::ReloadAfterUndo() {
  for (size_t i = 0; i < tags_.Count(); ++i) {
    tags_.At(i)->DiscardTree();
    tags_.At(i)->ReadTagHeader();
  }
}

void KTobjIndexFile::Reindex() {}

bool KTobjIndexFile::RenameFile(std::string_view new_name) {
  if (!disk_) return false;
  // The new name keeps the caller's spelling and this file's extension.
  const std::string ext(ExtensionOf(disk_->GivenName()));
  std::string target = TrimText(new_name);
  const std::string_view given_ext = ExtensionOf(target);
  target = target.substr(0, target.size() - given_ext.size()) + ext;
  if (!disk_->Rename(target)) return false;
  const std::string& full = disk_->FileName();
  file_name_ = full.substr(full.rfind('/') + 1);
  return true;
}

bool KTobjIndexFile::RecordChanged(int32_t recno, bool is_append) {
  next_free_ = -1;
  for (size_t i = 0; i < tags_.Count(); ++i) tags_.At(i)->UpdateKeys(recno, is_append);
  // Everything reaches the file before the writer lets go of its lock:
  // another process may read the index the moment it does.
  for (size_t i = 0; i < tags_.Count(); ++i) tags_.At(i)->Flush();
  if (holding_ && disk_->IsShared()) {
    // Under shared use the blocks of this record write were held only to
    // go out together: a failure half-way is undone from the before-images
    // like any write that reached the file.
    holding_ = false;
    FlushHeld();
  }
  return true;
}

bool KTobjIndexFile::ChangedByOther() { return false; }

void KTobjIndexFile::ForgetForeignState() {
  next_free_ = -1;
  // A size taken under the lock held now is still the file's: no other
  // program can have grown, cut or rebuilt it since the lock was taken,
  // and this object's own writes keep it current. A writer of a format
  // without a change counter looks under every lock, right after taking
  // the size; keeping it saves asking the file again for it (twice).
  const bool keep = disk_ && disk_->LockCount() > 0 && size_epoch_ == lock_epoch_ && on_disk_ >= 0;
  const int64_t on_disk = on_disk_;
  const int64_t known = known_size_;
  known_size_ = -1;
  DropCache();
  if (keep) {
    on_disk_ = on_disk;
    known_size_ = known;
  }
}

void KTobjIndexFile::SetLockProtocol(int kind) {
  ApplyLockProtocol(kind, &locks_);
  lock_protocol_ = kind;
}

void KTobjIndexFile::CutFile(int64_t size) {
  FlushHeld();
  known_size_ = -1;
  on_disk_ = -1;
  if (!disk_->IsShared()) {
    disk_->Truncate(size);
  } else if (disk_->LockCount() == 0 && disk_->LockWholeFile()) {
    disk_->Truncate(size);
    disk_->Unlock();
  }
}

std::unique_ptr<KTO_DiskFile> KTobjIndexFile::OpenDiskFile(std::string_view name, bool overwrite, bool create,
                                                            bool shared, bool writable, std::string_view default_ext) {
  // The name keeps the caller's spelling for a file that is created; the
  // disk file keeps it upper-cased for identity.
  std::string n = DefaultExtension(TrimText(name), default_ext);
  if (n.find('/') == std::string::npos && table_ != nullptr) n = plat::DirectoryOf(table_->GivenName()) + n;
  const size_t slash = n.rfind('/');
  file_name_ = plat::UpperName(slash == std::string::npos ? n : n.substr(slash + 1));
  const bool exists = plat::FileExists(n);
  std::unique_ptr<KTO_DiskFile> file;
  if (create && (overwrite || !exists)) {
    file = std::make_unique<KTO_DiskFile>(n, shared, true);
    file->Create();
    created_file_ = !exists;
  } else {
    if (!exists) return nullptr;
    file = std::make_unique<KTO_DiskFile>(n, shared, writable);
    file->Open();
  }
  return file;
}

KTobjIndexTag* KTobjIndexFile::FindTag(std::string_view name) const {
  const std::string wanted = plat::UpperText(TrimText(name));
  for (size_t i = 0; i < tags_.Count(); ++i)
    if (plat::UpperText(tags_.At(i)->Name()) == wanted) return tags_.At(i);
  return nullptr;
}

KTobjIndexFile::LockRegion KTobjIndexFile::IndexLockRegion() const {
  switch (lock_protocol_) {
    case kDB4Lock: return {locks_.a - 1u, 2};
    case kClipLock: return {locks_.b, 1};
    default: return {locks_.a - 1u, 2};
  }
}

bool KTobjIndexFile::LockIndexFile() {
  if (!disk_ || !disk_->IsShared()) return true;
  const LockRegion region = IndexLockRegion();
  if (HoldsRebuildLock()) return disk_->LockRange(0, disk_->LockLength());
  if (RetryLock(lock_wait_, [&] { return disk_->LockRange(region.offset, region.length); })) {
    NoteLockTaken();
    return true;
  }
  throw ETesseraError(msg::Format(msg::kIndexLockError, {std::to_string(disk_->LastError()), disk_->FileName()}));
}

bool KTobjIndexFile::LockIndexFileShared() {
  if (!disk_ || !disk_->IsShared()) return true;
  const LockRegion region = IndexLockRegion();
  // A rebuild of this object holds more: that covers it.
  if (HoldsRebuildLock()) return disk_->LockRangeShared(0, disk_->LockLength());
  if (RetryLock(lock_wait_, [&] { return disk_->LockRangeShared(region.offset, region.length); })) {
    NoteLockTaken();
    return true;
  }
  throw ETesseraError(msg::Format(msg::kIndexLockError, {std::to_string(disk_->LastError()), disk_->FileName()}));
}

void KTobjIndexFile::LockStructureShared() {
  if (!disk_) return;
  if (RetryLock(lock_wait_, [&] { return disk_->LockRangeShared(0, kRebuildLockLength); })) {
    NoteLockTaken();
    return;
  }
  throw ETesseraError(disk_->FileName() + " is in use by another program");
}

void KTobjIndexFile::ReadStructure(const std::function<void()>& read, const std::function<void()>& then) {
  // Read while no other program writes or rebuilds the file.
  StructureLock lock(this);
  try {
    read();
  } catch (const ETesseraError&) {
    corrupt_ = true;
  }
  if (then) then();
}

void KTobjIndexFile::WriteNewStructure(const std::function<void()>& write) {
  try {
    write();
  } catch (const ETesseraError&) {
    new_structure_failure_ = std::current_exception();
  }
}

void KTobjIndexFile::RaiseNewStructureFailure() {
  if (!new_structure_failure_) return;
  const std::exception_ptr failure = std::exchange(new_structure_failure_, nullptr);
  if (disk_) {
    // The disk file keeps its name upper-cased; the file has the spelling
    // it was made with.
    const std::string name = plat::ResolveCase(disk_->FileName());
    disk_.reset();
    if (created_file_) {
      std::error_code ignored;
      std::filesystem::remove(name, ignored);
    }
  }
  std::rethrow_exception(failure);
}

void KTobjIndexFile::ClaimAsTablesOwn() {
  if (!corrupt_ && table_ != nullptr && !table_->StructuralIndex() && table_->IsWritable() &&
      plat::UpperName(BaseName(disk_->FileName())) == plat::UpperName(BaseName(table_->FileName())) &&
      plat::DirectoryOf(disk_->FileName()) == plat::DirectoryOf(table_->FileName()))
    table_->SetStructuralIndex(true);
}

bool KTobjIndexFile::HoldsRebuildLock() const {
  return disk_ && disk_->LockCount() > 0 && !disk_->LockIsShared() && disk_->LockOffset() == 0 &&
         disk_->LockLength() == kRebuildLockLength;
}

void KTobjIndexFile::LockForRebuild() {
  if (!disk_) return;
  // Past every protocol's lock bytes (dBase's are the highest), whatever
  // protocol the others that hold the file follow.
  const uint64_t length = kRebuildLockLength;
  if (RetryLock(lock_wait_, [&] { return disk_->LockRange(0, length); })) {
    NoteLockTaken();
    return;
  }
  throw ETesseraError(disk_->FileName() + " is in use by another program");
}

void KTobjIndexFile::UnlockIndexFile() {
  if (disk_) disk_->Unlock();
}

void KTobjIndexFile::Corrupt(const std::string& where) {
  corrupt_ = true;
  const std::string name = (disk_ ? disk_->FileName() : file_name_) + (where.empty() ? "" : ", " + where);
  ReportError(kCodeIndexHeader, kNoSubCode, name);
  // A handler that returns must not let the caller go on with the damage.
  throw ETesseraError(ComposeEngineError(kCodeIndexHeader, kNoSubCode, name));
}

}  // namespace tessera
