// KTO_dBHandler: the open table as the rest of the system sees it. It adds
// to the field layer everything that needs indexes and expressions: up to 63
// open index files, the master tag that orders navigation, navigation that
// skips deleted records and records a filter rejects, key searches (exact,
// partial and nearest), locating by field values, key ranges, the filter
// by expression, building a tag into an index file, a read cache for
// navigation in record-number order, and keeping every open index current
// when records are written.
//
// dbf_handler.cpp holds the read cache, the index files and their locks,
// record writes through the indexes and building tags;
// dbf_handler_navigation.cpp navigation, searches, key ranges and the filter.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dbf_fields.h"
#include "engine/huge_set.h"
#include "engine/settings.h"
#include "platform/file_map.h"

namespace tessera {

class KTobjIndexFile;
class KTobjIndexTag;
class TktExpHandler;

// CreateIndexTag's uniqueness argument.
enum TktUniqueness : int { kUniqueKeys = 0, kDuplicateKeys = 1 };

// One tag of CreateIndexTags: CreateIndexTag's arguments after the file's
// name.
struct IndexTagDefinition {
  std::string name;
  std::string key_expr;
  std::string for_expr;
  int uniqueness = kDuplicateKeys;
  int sort_order = 0;
};

// One file of CreateIndexFiles: a single-tag file (.NDX, .NTX) and its
// tag, CreateIndexTag's arguments.
struct IndexFileDefinition {
  std::string file_name;
  IndexTagDefinition tag;
};

class KTO_dBHandler : public KTO_dBaseFld {
 public:
  static constexpr int kIndexSlots = 63;
  static constexpr int32_t kReadCacheBytes = 32768;

  KTO_dBHandler(std::string_view file_name, bool shared, bool writable);
  ~KTO_dBHandler() override;

  // --- overridden slots -------------------------------------------------
  int32_t ReadAt(int64_t offset, void* buffer, int32_t count) override;
  void WriteAt(int64_t offset, const void* data, int32_t count) override;
  bool Rename(std::string_view new_name) override;
  void AppendRecord() override;
  void RecordEvent(int event, int32_t record) override;
  void GotoRecord(int32_t number) override;
  bool LockAppend() override;
  bool LockTable() override;
  bool LockAllBytes() override;
  bool LockRecord() override;
  void WriteRecord(int32_t number) override;
  void SetLockProtocol(int kind) override;
  bool HasIndexFile() override;

  // --- virtual operations added here, in slot order ---------------------
  /* 55 */ virtual bool SeekKeyText(std::string_view key);
  /* 56 */ virtual int32_t LookupKeyInTag(std::string_view tag_name, std::string_view key);
  /* 57 */ virtual void Skip(int32_t n);
  /* 58 */ virtual bool RecordAccepted();
  /* 59 */ virtual bool LockIndexFiles();
  /* 60 */ virtual void ReEncipher(std::string_view key);

  // --- lock protocol ---------------------------------------------------------
  // The protocol that the programs keeping this table's kind of index use,
  // so that their locks and this table's fall on the same bytes: the
  // table's production index decides (a compound index of the table's
  // name beside it: FoxLock, as Visual FoxPro, Harbour's DBFCDX and SIx
  // lock; a multiple index of its name: DB4Lock, dBase's), else the first
  // open index file (CDX FoxLock, NTX ClipLock, MDX and NDX DB4Lock),
  // else Default. SetLockProtocol (Default) follows it, as the index files
  // open and close; any other kind is used as it is.
  int IndexKindLockProtocol() const;
  // The protocol for an index file used beside the table without being
  // open in it (a check, a rebuild): the table's, or for Default the
  // production index's, else the file's own kind's.
  int LockProtocolFor(const KTobjIndexFile& file) const;
  // The kind asked for with SetLockProtocol (LockProtocol() is the one in
  // use).
  int RequestedLockProtocol() const { return requested_protocol_; }

  // --- index files ----------------------------------------------------------
  // Opens an index file (no folder: the table's folder; no extension:
  // ".NDX") into the lowest free slot. 0 when opened, -1 when it is open
  // already; a missing file or one that is no valid index is reported.
  int32_t OpenIndexFile(std::string_view name);
  // Closes all, opens each of a list (split at blanks, commas and
  // semicolons; quoted names are kept whole) and selects `tag_name` as the
  // master keeping the position. 1 for an empty list.
  int32_t OpenIndexList(std::string_view names, std::string_view tag_name);
  void CloseIndexFiles();
  // Slot number (1..63) of an open index file, 0 when none.
  int FindIndexFile(std::string_view name);
  KTobjIndexFile* IndexFile(int slot) const;
  // The n-th tag (from 1) over all open index files in slot order.
  KTobjIndexTag* TagByNumber(int n) const;
  KTobjIndexTag* FindTag(std::string_view name) const;
  void UnlockIndexFiles();
  // How long the append lock and the index files' locks are waited for
  // when another process holds them (milliseconds; the engine's lock wait
  // by default).
  void SetLockWait(int milliseconds);
  // Resolves an index file name as OpenIndexFile does.
  std::string ResolveIndexName(std::string_view name, std::string_view default_ext) const;

  // --- order and searches ---------------------------------------------------
  // Makes the tag of that name the master tag (empty: record-number
  // order); answers the slot of its index file. Raises "Cannot find index
  // tag %s" when no open index file holds it.
  int32_t SelectMasterTag(std::string_view name, bool keep_position);
  KTobjIndexTag* MasterTag() const { return master_; }
  const std::string& MasterTagName() const { return master_name_; }
  // The key a tag's expression gives for field values: the values are
  // stored into a scratch record (the first into the first field the
  // expression reads, and so on) and the expression is evaluated on it.
  std::string BuildSearchKey(const std::vector<FieldValue>& values, std::string_view key_expression);
  // Goes to the first record whose named fields (";"-separated) hold the
  // values; a matching tag is searched when one qualifies, the table
  // scanned otherwise.
  bool LocateValues(std::string_view field_names, const std::vector<FieldValue>& values, bool partial,
                    bool case_insensitive);
  bool SetKeyRange(std::string_view low, std::string_view high, bool partial, bool high_inclusive,
                   bool low_inclusive);
  void ClearKeyRange();

  // --- filter -----------------------------------------------------------------
  // Compiles and evaluates the filter once over every visible record. The
  // options make text comparisons ignore letter case and let a text match
  // when it begins with the other side.
  void SetFilterExpression(std::string_view text, bool case_insensitive, bool partial_match);
  void SetFilterActive(bool on);
  void RebuildFilterSet();
  bool FilterActive() const { return filter_active_; }
  bool FilterRequested() const { return filter_requested_; }
  const std::string& FilterText() const { return filter_text_; }
  bool InFilter(int32_t record) const { return filter_set_.Contains(record); }

  // --- building ---------------------------------------------------------------
  // Builds one tag into an index file from every record (closing the
  // table's index files first; the file is not left open).
  void CreateIndexTag(std::string_view file_name, std::string_view tag_name, std::string_view key_expr,
                      std::string_view for_expr, int uniqueness, int sort_order);
  // Builds several tags into one index file, in the order given: the file
  // comes out as from CreateIndexTag called for each in turn. A compound
  // file (.CDX, .MDX) is built side by side (KTobjCDXFile::CreateTags,
  // KTobjMDXFile::CreateTags: the next tags' keys gathered on other threads
  // while a tag is packed), every
  // tag's definition checked before anything is written; other kinds are
  // built one tag after the other. A failure raises, the tag it met not
  // added. `built(k)`, when given, is called once tag k is in place.
  // A file either call makes anew is removed again when it fails before
  // its first tag is in place.
  void CreateIndexTags(std::string_view file_name, const std::vector<IndexTagDefinition>& tags,
                       const std::function<void(size_t)>& built = {});
  // Builds several single-tag files (.NDX, .NTX), in the order given, each
  // as CreateIndexTag builds it alone, side by side (BuildSingleTagFiles:
  // the next files' keys gathered on other threads while a file is
  // packed). Every file's name and definition is checked before anything
  // is written; a name given twice, or a file of another kind, is refused.
  // A failure raises: the files built before it stay, the one it met and
  // those after it are as they were (a file this call made is removed; one
  // whose packing had begun is removed, its old tag being gone).
  // `built(k)`, when given, is called once file k is complete and closed.
  void CreateIndexFiles(const std::vector<IndexFileDefinition>& files,
                        const std::function<void(size_t)>& built = {});

  void SetReadCache(bool on);
  bool ReadCacheOn() const { return read_cache_on_; }
  void SetReadCacheAllowed(bool allowed);

  // --- state --------------------------------------------------------------------
  // A record is visible when it is not deleted (or deleted records are
  // shown), RecordAccepted agrees and the filter, when active, holds it.
  bool RecordVisible();
  bool Found() const { return found_; }
  bool Positioned() const { return positioned_; }
  bool OutsideOrder() const { return outside_order_; }

  // A key search needs the whole key to match.
  bool ExactKeyOnly = false;
  // A failed key search stays on the next greater key.
  bool StayNearest = false;

 protected:
  // The tag's tree is reloaded when another process changed its file.
  void RefreshIndexes();

 private:
  void RemoveUnbuiltIndexFile(const std::string& name);
  // Under shared use key searches and moves hold every index file's lock
  // shared for their duration: they read nodes no writer of any program is
  // changing meanwhile, and see every key written before they began
  // (RefreshIndexes runs under it). Writes hold the locks exclusively.
  class SearchLock {
   public:
    explicit SearchLock(KTO_dBHandler* table) : table_(table) { table_->LockForSearch(); }
    ~SearchLock() { table_->UnlockForSearch(); }
    SearchLock(const SearchLock&) = delete;
    SearchLock& operator=(const SearchLock&) = delete;

   private:
    KTO_dBHandler* table_;
  };
  void LockForSearch();
  void UnlockForSearch();
  void EvaluateFilterOverTable();
  int32_t FilterMemberFor(int32_t code);
  void DropReadCache() { cache_start_ = -1; }
  // Reads a record's bytes from the mapped table file; false when the
  // mapping cannot serve them (shared open, past the known records).
  bool ReadMapped(int64_t offset, void* buffer, int32_t count);
  static constexpr int64_t kMappingSlack = int64_t{16} << 20;
  // A walk in tag order that reads its records has them fetched from
  // kReadAhead keys ahead of it, kFetchBatch records together every
  // kFetchBatch steps.
  static constexpr int kReadAhead = 12;
  static constexpr int kFetchBatch = 8;
  // After a step of a walk that reads its records, asks for the records
  // ahead of it in the master tag (see PrefetchRecord).
  void FetchAhead();
  void SyncMaster();
  // A record write (append, or rewrite of record `number`) bracketed by
  // the index files' prepare, begin and commit or rollback.
  void WriteThroughIndexes(int32_t number, bool is_append);

  std::array<std::unique_ptr<KTobjIndexFile>, kIndexSlots + 1> slots_;  // [0] unused
  KTobjIndexTag* master_ = nullptr;
  std::string master_name_;
  bool read_cache_on_ = false;
  bool read_cache_allowed_ = true;
  std::vector<char> cache_;
  int64_t cache_start_ = -1;  // file offset of the bytes held, -1 when empty
  int64_t cache_end_ = -1;
  plat::ReadMapping mapping_;
  bool mapping_failed_ = false;
  // The records of the keys ahead of the step that asked for the last
  // batch of fetches (ahead_[k]: k + 1 keys further on; 0: not known), and
  // the steps taken since.
  std::array<int32_t, kReadAhead + kFetchBatch - 1> ahead_{};
  int ahead_steps_ = 0;
  bool found_ = false;
  bool positioned_ = false;
  bool outside_order_ = false;
  std::string filter_text_;
  bool filter_case_insensitive_ = false;
  bool filter_partial_ = false;
  std::unique_ptr<TktExpHandler> filter_expr_;
  TktHugeSet filter_set_;
  bool filter_requested_ = false;
  bool filter_active_ = false;
  // Applies the protocol asked for (Default: by the kind of index) to the
  // table and every open index file.
  void ApplyLockProtocol();
  int requested_protocol_ = kDefaultLock;
  int production_protocol_ = kDefaultLock;  // from the files beside the table at open
  int search_locks_ = 0;  // nesting of the index locks searches take
};

}  // namespace tessera
