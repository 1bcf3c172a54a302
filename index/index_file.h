// KTobjIndexFile: one index file on disk, the container of its tags, with
// block input/output, node allocation and multi-user locking. Formats (CDX,
// ...) derive from it and read and write their own file structure.
//
// Index files are untrusted input: a node offset that is no multiple of 512
// or lies beyond the end of the file, a key count a node cannot hold, a key
// length above 240, a chain of children that runs in a circle or a leaf
// whose packing does not add up marks the file corrupt and is reported as
// error 2112 with the file name. Nothing is written into a corrupt file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/collection.h"
#include "engine/disk_file.h"
#include "engine/lock_protocol.h"
#include "engine/settings.h"
#include "index/block_cache.h"
#include "index/block_map.h"
#include "index/index_tag.h"
#include "platform/file_map.h"

namespace tessera {

class KTO_dBHandler;

// Whether index files open for exclusive use hold their changed blocks in
// memory until the changes are finished (on, the default); off, every
// block is written at once. Process-wide, for tests and benchmarks that
// compare the two; set it before files are opened.
bool HeldIndexWrites();
void SetHeldIndexWrites(bool on);
// How many blocks a file holds between record writes before they go out
// (8192, 4 MiB, by default). Process-wide, for tests that make a short run
// go past it.
size_t HeldIndexBlocks();
void SetHeldIndexBlocks(size_t blocks);

class KTobjIndexFile {
 public:
  static constexpr int32_t kBlockSize = 512;

  explicit KTobjIndexFile(KTO_dBHandler* table);
  virtual ~KTobjIndexFile();
  KTobjIndexFile(const KTobjIndexFile&) = delete;
  KTobjIndexFile& operator=(const KTobjIndexFile&) = delete;

  // Virtual operations, in slot order.
  /* 0 */ virtual bool CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                                 const std::string& for_expr);
  /* 1 */ virtual bool DeleteTag(const std::string& name);
  /* 2 */ virtual void ReportError(int32_t code, int32_t sub_code, const std::string& info);
  /* 3 */ virtual int32_t AllocateNode();
  /* 4 */ virtual int32_t ResetAllocator();
  /* 5 */ virtual bool ReadBlock(int32_t offset, void* buffer, int32_t count);
  /* 6 */ virtual bool WriteBlock(int32_t offset, const void* buffer, int32_t count);
  /* 7 */ virtual void Reindex();
  /* 8 */ virtual bool RenameFile(std::string_view new_name);
  /* 9 */ virtual bool RecordChanged(int32_t recno, bool is_append);
  // Under shared use, with the file's lock (shared or exclusive) held:
  // whether another program may have written since this object last
  // looked. A format with a change counter compares it; one without
  // answers true every time (nothing read before the lock was taken can
  // be trusted). On true, what was read before is forgotten
  // (ForgetForeignState) and the trees are read again.
  /* 10 */ virtual bool ChangedByOther();
  /* 11 */ virtual void SetLockProtocol(int kind);

  // Write-in-progress mark (formats that have room for one in their
  // header): written by BeginChange, read at open and before a write.
  virtual bool ReadPendingMark();
  virtual void WritePendingMark(bool on);
  // Under the lock, right after ChangedByOther: whether the file carries
  // the mark of another writer. A format that reads the mark together with
  // its change counter answers from that read.
  virtual bool MarkedByOther();
  // Writes what record writes left for later (a format's change counter)
  // and takes the write-in-progress mark off: the file is complete on
  // disk. A file open for exclusive use keeps the mark on from its first
  // change until this runs (table flush, close of the index file); a file
  // that could not be put back after a failed write keeps it for good.
  virtual void FinishChanges();
  // The format's blocks may be held in memory while the mark is on (every
  // read of them goes through ReadBlock): under exclusive use until the
  // changes are finished, under shared use until the end of the record
  // write, so that the blocks of one write go out together.
  virtual bool HoldsWrites() const { return false; }
  // After RollbackChange: tags reread their headers; trees are dropped.
  virtual void ReloadAfterUndo();

  // Opens (or creates) the disk file: the name trimmed and upper-cased,
  // `default_ext` added when it has none, the table's folder when it has no
  // folder. Null when the file does not exist and is not to be created.
  std::unique_ptr<KTO_DiskFile> OpenDiskFile(std::string_view name, bool overwrite, bool create, bool shared,
                                             bool writable, std::string_view default_ext);

  // Cuts the file to `size` bytes. A shared file is cut only under a lock on
  // the whole file, which cannot be had while this process holds the index
  // lock (one range per file): the bytes past the tree are then left as they
  // are, unused.
  void CutFile(int64_t size);

  // --- all-or-nothing record writes ------------------------------------
  // The table handler brackets every record write with these, holding the
  // file's lock throughout:
  //   PrepareChange  before the record is written: checks the file and
  //                  every tag for the change (PrepareChange of the tag)
  //                  and raises, with nothing written, when one cannot
  //                  take it;
  //   BeginChange    records the file's length and, from now on, the
  //                  image of every block before its first write, then
  //                  marks the file "write in progress" on disk (a format
  //                  hook) so that a writer killed half-way leaves a file
  //                  that reports it needs a rebuild;
  //   CommitChange   the keys are in: the mark goes, the images are
  //                  dropped;
  //   RollbackChange the write failed: every block written goes back to
  //                  its image, the file back to its length, the cached
  //                  trees are reloaded. When that fails too, the mark
  //                  stays on disk and the file is refused until rebuilt.
  //
  // Under shared use the mark goes on and off with every write, under the
  // lock. Under exclusive use nobody else can look at the file until it
  // is closed, so the mark stays on across writes (see FinishChanges) and
  // each write costs only its own blocks.
  void PrepareChange(int32_t recno, bool is_append);
  void BeginChange();
  void CommitChange();
  bool RollbackChange();
  // After a write whose table part could not be taken back: the file is
  // refused from now on and keeps (or gets) the write-in-progress mark.
  void KeepMarked();
  bool InChange() const { return journal_.active; }
  // The file carries the write-in-progress mark of a writer that did not
  // finish (another process holding the lock is waited for first).
  bool NeedsRebuild();

  // Tags in file order.
  KTobjIndexTag* FindTag(std::string_view name) const;
  KTobjIndexTag* TagAt(size_t i) const { return tags_.At(i); }
  size_t TagCount() const { return tags_.Count(); }

  // The bytes of the file's lock under its protocol, where the programs
  // of that family lock an index of theirs:
  //   kinds 0 and 3  0x7FFFFFFD and 0x7FFFFFFE: Visual FoxPro, Clipper 5.2's
  //                  DBFCDX, SIx and Harbour lock a compound index at
  //                  0x7FFFFFFE; earlier versions of this engine locked
  //                  0x7FFFFFFD (A - 1). Both are taken, so that every one
  //                  of them is kept out.
  //   kind 1         0xEFFFFFFE and 0xEFFFFFFF (dBase IV: A - 1, two bytes)
  //   kind 2         1,000,000,000 (Clipper: B)
  struct LockRegion {
    uint64_t offset;
    uint64_t length;
  };
  LockRegion IndexLockRegion() const;
  // Locks the file's lock region for writing (retrying for the lock wait);
  // raises "Error %s in Lock of %s" when it stays locked.
  bool LockIndexFile();
  // Locks the region shared, as readers do around a search or a move:
  // other readers go on, writers (of any program that locks these bytes)
  // wait. Nests into a lock this object holds; raises as LockIndexFile.
  bool LockIndexFileShared();
  void UnlockIndexFile();
  // The lock a rebuild holds: every byte from 0 to past the lock bytes of
  // every protocol (0xF0000000), so that no reader or writer of any
  // program is in the file meanwhile (truncating a shared file needs it
  // too). Waits for the lock wait, then raises "<file> is in use by
  // another program". Nests.
  static constexpr uint64_t kRebuildLockLength = 0xF0000000u;
  void LockForRebuild();
  bool HoldsRebuildLock() const;
  // While the file's structure (directory, tag headers) is read at open:
  // a shared lock over every protocol's lock bytes, so that the read never
  // meets a rebuild half-way or a writer of any program in the middle of a
  // write. Waits for the lock wait, then raises "<file> is in use by
  // another program".
  void LockStructureShared();
  class StructureLock {
   public:
    explicit StructureLock(KTobjIndexFile* file) : file_(file) { file_->LockStructureShared(); }
    ~StructureLock() { file_->UnlockIndexFile(); }
    StructureLock(const StructureLock&) = delete;
    StructureLock& operator=(const StructureLock&) = delete;

   private:
    KTobjIndexFile* file_;
  };
  // Reads the file's structure at open (`read`: its directory, header or
  // one tag) under the structure lock; a read that raises leaves the file
  // damaged and not opened, for the table to report. `then`, when given,
  // runs after it under the same lock, its failures passed on.
  void ReadStructure(const std::function<void()>& read, const std::function<void()>& then = nullptr);
  // Writes the structure of an empty file (a compound file's directory, a
  // multiple index's header) inside ReadStructure's `read`. A write that
  // fails there (a full disk) is not damage: RaiseNewStructureFailure,
  // called after ReadStructure, closes the file, removes it when this open
  // made it, and raises the write's error.
  void WriteNewStructure(const std::function<void()>& write);
  void RaiseNewStructureFailure();
  // The single-tag formats (NDX, NTX), whose one tag is named after the
  // file; single_tag_file.h holds both. OpenSingleTag reads that tag at
  // open: a header that does not add up leaves the file damaged and not
  // opened. ReplaceSingleTag empties the file and defines one new tag in
  // it, built from the table; a definition that fails or raises leaves the
  // file without a tag. ReplaceSingleTagWith does the same with the new
  // tag defined by `define(tag)`.
  template <class Tag, class File>
  void OpenSingleTag();
  template <class Tag, class File>
  bool ReplaceSingleTag(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr);
  template <class Tag, class File, class Define>
  bool ReplaceSingleTagWith(const Define& define);
  // A sound file named like the table and beside it is the table's own
  // index (structural for CDX, production for MDX): the table opens it by
  // itself from now on.
  void ClaimAsTablesOwn();
  // Grows each time this object takes the file's lock afresh (not when a
  // lock nests): a format without a change counter trusts what it read
  // only while the lock it was read under is still held.
  uint64_t LockEpoch() const { return lock_epoch_; }
  class RebuildLock {
   public:
    explicit RebuildLock(KTobjIndexFile* file) : file_(file) { file_->LockForRebuild(); }
    ~RebuildLock() { file_->UnlockIndexFile(); }
    RebuildLock(const RebuildLock&) = delete;
    RebuildLock& operator=(const RebuildLock&) = delete;

   private:
    KTobjIndexFile* file_;
  };
  // How long a lock another process holds is waited for (milliseconds;
  // the engine's lock wait unless the table says otherwise).
  void SetLockWait(int milliseconds) { lock_wait_ = milliseconds; }
  int LockWait() const { return lock_wait_; }

  // Marks the file corrupt and reports error 2112 with the file name and
  // `where` (the tag and node found damaged); also raises through the
  // default error handler.
  void Corrupt(const std::string& where = {});

  KTO_dBHandler* Table() const { return table_; }
  KTO_DiskFile* Disk() const { return disk_.get(); }
  const std::string& FileName() const { return file_name_; }
  const std::string& FullName() const;
  bool Opened() const { return opened_; }
  bool IsCorrupt() const { return corrupt_; }
  bool DuplicatesByRecord() const { return duplicates_by_record_; }
  bool Exact() const { return exact_; }
  void SetExact(bool on) { exact_ = on; }
  int LockProtocol() const { return lock_protocol_; }
  // Size of the file as last seen (refreshed when a node seems to lie past
  // it).
  int64_t KnownSize() { return known_size_ < 0 ? RefreshSize() : known_size_; }
  int64_t RefreshSize();
  // Forgets every cached block, the size and the allocation point: another
  // process changed the file.
  void ForgetForeignState();
  // Drops every cached block (another process changed the file).
  void DropCache() {
    cache_.Clear();
    ++cache_generation_;
    on_disk_ = -1;
  }
  // Grows each time the cache is dropped: node images read before are stale.
  uint64_t CacheGeneration() const { return cache_generation_; }
  // Grows with every block written through this object: a node image
  // decoded before may be stale.
  uint64_t WriteCount() const { return write_count_; }
  // Reads bytes from the file itself, past the cache.
  bool ReadDirect(int32_t offset, void* buffer, int32_t count);
  // Whether blocks written through this object wait in memory: until they
  // are written, the file itself is not what ReadBlock gives.
  bool HoldsBlocks() const { return !held_.empty(); }
  // Writes to the file at once, even while other writes are held (the
  // write-in-progress mark).
  bool WriteThrough(int32_t offset, const void* buffer, int32_t count);
  // Writes the held blocks, block 0 (the header with the mark) last;
  // `keep_memory` keeps their memory for more held writes to come.
  void FlushHeld(bool keep_memory = false);
  // The write-in-progress mark is on in the file (this writer's own).
  bool MarkOn() const { return pending_mark_; }

 protected:
  void SaveBeforeImages(int64_t offset, int32_t count);
  [[noreturn]] void RaiseNeedsRebuild();

  std::string file_name_;  // without folder
  TktCollection<KTobjIndexTag> tags_;
  KTO_dBHandler* table_;
  std::unique_ptr<KTO_DiskFile> disk_;
  bool duplicates_by_record_ = false;
  bool general_collation_ = false;
  int32_t next_free_ = -1;
  bool exact_ = true;
  bool opened_ = false;
  bool corrupt_ = false;
  bool created_file_ = false;                // OpenDiskFile made the file
  std::exception_ptr new_structure_failure_;  // see WriteNewStructure
  int lock_protocol_ = kDefaultLock;
  LockOffsets locks_;
  int lock_wait_ = kLockWaitTotal;
  uint64_t lock_epoch_ = 0;
  // Counts a lock just taken (not nested) as a new epoch.
  void NoteLockTaken() {
    if (disk_ && disk_->LockCount() == 1) ++lock_epoch_;
  }
  // For formats without a change counter: whether the lock held now is
  // the one the last look was taken under (then nothing can have
  // changed); notes this look.
  bool SameLockAsLastLook() {
    const bool same = disk_ && disk_->LockCount() > 0 && looked_epoch_ == lock_epoch_;
    looked_epoch_ = lock_epoch_;
    return same;
  }
  uint64_t looked_epoch_ = ~uint64_t{0};
  // Under shared use: this object holds the file's lock and has looked
  // for other writers' changes under it (ChangedByOther of a format
  // without a counter), so the block cache holds what the file holds.
  bool LookedUnderThisLock() const { return disk_ && disk_->LockCount() > 0 && looked_epoch_ == lock_epoch_; }
  int64_t known_size_ = -1;
  // The lock epoch the size (known_size_, on_disk_) was last asked of the
  // file under (kNoEpoch: taken without a lock): a size taken under the
  // lock held now survives ForgetForeignState.
  static constexpr uint64_t kNoEpoch = ~uint64_t{0};
  uint64_t size_epoch_ = kNoEpoch;
  // Before-images of the blocks written since BeginChange.
  struct Journal {
    bool active = false;
    int64_t size = 0;
    // Block number -> its bytes before this write (zero past the size the
    // file had then, which is all a restore writes of its last block).
    BlockMap before;
  } journal_;
  bool pending_mark_ = false;    // this writer's mark is on disk
  bool checked_ = false;         // ChangedByOther ran under this write's lock
  // Under exclusive use, with the mark on disk, written blocks are held
  // here (whole blocks, by number) and reach the file together when the
  // changes are finished or too many are held: a block changed by many
  // record writes is written once. A writer killed meanwhile leaves the
  // mark, and the table has every record for the rebuild.
  void HoldWrite(int64_t offset, const uint8_t* data, int32_t count);
  // WriteBlock and WriteThrough: into the held blocks when `hold`, else to
  // the file, and a held copy of a block written takes the bytes too.
  bool Write(int32_t offset, const void* buffer, int32_t count, bool hold);
  // Empties held_ (its blocks written or given up).
  // `keep_memory`: the blocks' memory stays for the writes to come.
  void ClearHeld(bool keep_memory = false) {
    held_.Clear(keep_memory);
    held_end_ = 0;
  }
  BlockMap held_;
  int64_t held_end_ = 0;  // end of the highest held block, 0 when none
  bool holding_ = false;
  bool pending_seen_ = false;    // a mark was found when the file was opened
  // The mark of formats whose header has 8 bytes at `offset` that no
  // program reads (MDX, NDX), written only under exclusive use, when
  // blocks are held. Turning it off puts back the bytes it covered (zeros
  // in the files this engine writes): once the changes are finished, the
  // file is byte for byte what writing every block at once makes.
  static constexpr char kSpareMark[9] = "TSRWRITE";
  bool ReadMarkAt(int32_t offset);
  void WriteMarkAt(int32_t offset, bool on);
  // The bytes the mark covers, as they were before it went on.
  uint8_t mark_covered_[8] = {};
  bool needs_rebuild_ = false;   // confirmed: another writer left it half-done
  // Up to 64 MiB of blocks, taken as they are read: a callbook's whole
  // index stays in memory once read, and memory stays bounded for any file.
  static constexpr size_t kCacheBlocks = (size_t{64} << 20) / IndexBlockCache::kBlock;
  IndexBlockCache cache_{kCacheBlocks};
  uint64_t cache_generation_ = 0;
  // Under exclusive use, and under shared use while this object holds the
  // write lock (every program takes it before it cuts or rebuilds the
  // file), the file is also seen through a read-only mapping:
  // a block the cache lacks is copied from it rather than read with a
  // system call, and the flush of held blocks takes the blocks between
  // them from it, so that neighbours go out in one write. Only bytes below
  // on_disk_ are touched through it: the file surely has them, since
  // nobody else can cut it, and every cut made here forgets on_disk_
  // (-1: not known, asked of the file when needed; under shared use asked
  // again once the lock is taken). Bytes held past it are not the file's
  // yet.
  const uint8_t* MappedBlock(int64_t number);
  // Writes bytes to the file: through the mapping while write_locked_ and
  // they lie inside the file, else with a write call.
  void WriteOut(int64_t offset, const void* data, int32_t count);
  // The file's own bytes of a whole block (not the ones held for it) when
  // they can be had without a read: the cache's copy, or the mapping's.
  const uint8_t* StoredBlock(int64_t number);
  int64_t OnDisk();
  plat::ReadMapping mapping_;
  const KTO_DiskFile* mapped_file_ = nullptr;  // the disk file mapping_ shows
  bool mapping_failed_ = false;
  // Record writes have begun on this file (PrepareChange), so its view
  // gets the pages the system holds entered at once; and whether the
  // present view has had them (a new view has not).
  bool writes_records_ = false;
  bool cached_pages_entered_ = false;
  void EnterCachedPages();
  // Makes the pages holding bytes [offset, offset + count) of the file
  // writable in a shared writer's view, without changing a byte; nothing
  // for a read-only view.
  void EnterForWrite(int64_t offset, int64_t count);
  int64_t on_disk_ = -1;
  // Shared use: from PrepareChange to the end of the write, the lock is
  // this object's and the file can be seen through the mapping.
  bool write_locked_ = false;
  // The mapping reaches this far past the file's end, so that its growth
  // does not remap it at every step: a remap drops every page the view had
  // mapped, and each is faulted in again. A quarter of the file's size (at
  // least 16 MiB): ten thousand appends to a million cards grow an MDX file
  // of 444 MB by about 110 MB, which with a fixed 16 MiB remapped it four
  // times and faulted in 21,600 pages instead of 8,300. Only address space
  // is taken; pages past the end are never touched (see on_disk_).
  static constexpr int64_t kMappingSlack = int64_t{16} << 20;
  static int64_t MappingSlack(int64_t size) { return std::max<int64_t>(kMappingSlack, size / 4); }
  // Held blocks at most this many blocks apart go out in one write, with
  // the file's own bytes between them (a write costs about the same for
  // one block as for a page of eight); a write is at most kFlushRun bytes.
  static constexpr int64_t kFlushGap = 8;
  static constexpr size_t kFlushRun = size_t{1} << 20;
  uint64_t write_count_ = 0;
  // ReadBlock's run of blocks missing from the cache, read in one go (at
  // most kMaxRead bytes: the largest node of any format).
  static constexpr int64_t kMaxRead = 32768;
  std::vector<uint8_t> read_buffer_;
  std::vector<uint8_t> read_ahead_;  // SaveBeforeImages' read of a write's blocks
};

}  // namespace tessera
