// KTobjIndexTag: one tag, an ordered key set over a table, with its key
// expression, optional FOR condition, unique and descending options, a
// current position with BOF/EOF flags and an optional key range.
//
// All tree logic is here: seeking, skipping, top and bottom, keeping the
// tree sorted as records change and splitting nodes upward. A format (CDX,
// ...) derives from it and supplies the byte layout: NormalizeKey (the
// stored form of a value), LoadNode/StoreNode and the tag header.
//
// Navigation codes: -1 next, -2 prior, -3 top, -4 bottom, -5 current. On a
// descending tag whose keys are stored ascending the codes are swapped, so
// top is the greatest key; a format that stores descending keys in
// descending order sets the reverse-compare flag instead (every comparison
// negated) and is walked as it stands.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/index_key.h"

namespace tessera {

class KTobjIndexFile;
class KTO_dBHandler;
class TktExpHandler;

class KTobjIndexTag {
 public:
  static constexpr int32_t kAnyRecord = -1;
  static constexpr int32_t kAfterEqual = INT32_MAX;

  // One step of a path through the tree: a node and the entry taken there.
  struct PathStep {
    int32_t offset;
    int32_t position;
  };

  explicit KTobjIndexTag(KTobjIndexFile* file);
  virtual ~KTobjIndexTag();
  KTobjIndexTag(const KTobjIndexTag&) = delete;
  KTobjIndexTag& operator=(const KTobjIndexTag&) = delete;

  // Virtual operations, in slot order.
  /* 0 */ virtual void NormalizeKey(TktVariant& value, bool trim_blanks);
  /* 1 */ virtual bool DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                                 const std::string& for_expr);
  /* 2 */ virtual bool InsertKey(const KTobjIndexKeyData& key);
  /* 3 */ virtual int32_t ReadRootOffset();
  /* 4 */ virtual bool LoadNode(int32_t offset, KTobjIndexKey& node);
  /* 5 */ virtual bool StoreNode(KTobjIndexKey& node);
  /* 6 */ virtual bool ReadTagHeader();
  /* 7 */ virtual bool WriteTagHeader();
  /* 8 */ virtual void CompileKeyExpr();
  /* 9 */ virtual void CompileForExpr();
  /* 10 */ virtual bool EvalKey(TktVariant& value, bool* changed);
  /* 11 */ virtual bool EvalFor();
  // Under shared use, before a record write, once another program may have
  // written: takes from the tag header what other writers change (the
  // root; a format adds its allocation bookkeeping), so that the header
  // this writer writes keeps theirs. Base: the root.
  virtual void ReloadHeaderState();
  // Raises when keys of this tag cannot be kept current by this engine
  // (a collation or key form of another program) or the file's own rules
  // refuse the key; `key` is the stored form of the key a record write is
  // about to give record key.Reference, `indexed` whether that is a new
  // key in the tag (the record passes the FOR condition and had another
  // key before). Base: every key is fine.
  virtual void CheckMaintainable(const KTobjIndexKeyData& key, bool indexed);

  // Why the tag's keys cannot be computed here (an expression of another
  // program that does not compile or evaluate), empty when they can. Such
  // a tag is still walked and searched by its stored keys; every record
  // write through its file is refused before anything changes.
  const std::string& Unusable() const { return unusable_; }
  // A stored key without what the format adds to tell nulls from values
  // (Visual FoxPro's null marker); `null` says the key is a null's. Base:
  // the key as it is.
  virtual std::string_view KeyValueBytes(const TktVariant& key, bool* null) const;

  // Whether record writes change keys in the stored nodes where the format
  // can (on by default). Every tag holds the same keys in the same order
  // either way; tests turn it off to compare.
  static void SetInPlaceChanges(bool on);
  // Key changes made in the stored nodes so far, in this process.
  static uint64_t InPlaceChangeCount();

  // --- position -------------------------------------------------------
  // Moves by a navigation code; the record number reached, 0 at BOF/EOF.
  int32_t Navigate(int32_t code);
  // Finds key (Reference: the record to match, or -1): the record number
  // found, or 0 with the tag on the next greater key (EOF past the last).
  // With the table's exact-match setting off a stored key that begins with
  // the search key matches.
  int32_t Seek(const KTobjIndexKeyData& key);
  // The record of the key `n` keys further on in the direction of the last
  // step, when the tag knows it without reading a node (0 otherwise): a
  // hint for fetching records ahead of a walk, never a position.
  virtual int32_t RecordAhead(int n) const;
  // RecordAhead(1) .. RecordAhead(count) into out[0 .. count - 1], in one
  // call (a walk asks for a batch of them at a time).
  virtual void RecordsAhead(int count, int32_t* out) const;
  // Seek without moving the tag.
  int32_t LookupKey(const KTobjIndexKeyData& key);
  // Makes the tag follow a record the table moved to by other means;
  // answers the record of the current key (differs when the record has no
  // key in this tag).
  int32_t SyncToRecord(int32_t recno);
  // Drops the cached tree and reloads the root; mode 0 then goes to the
  // top, 1 repositions on the table's current record, 2 does not position.
  void ResetTree(int mode);
  // Stores and frees all cached nodes, writes a dirty header.
  void ReleaseTree();
  // ReleaseTree for a format's destructor: skipped when the file is
  // damaged, and whatever it raises is dropped (a destructor must not
  // raise; the table has reported the file's fault already).
  void ReleaseTreeQuietly() noexcept;
  // After another program changed the file: drops the cached tree and
  // stands again on the entry it stood on (its key and record), found in
  // the file as it is now. False, without a position, when the tag stood
  // on none or the entry is gone. Unlike ResetTree(1) it does not need
  // the table's record buffer to hold the current record.
  bool ReloadAtCurrentKey();

  // --- changes --------------------------------------------------------
  // Brings the key of record recno up to date after the record was written
  // (old key from the table's saved record, new key from its buffer).
  bool UpdateKeys(int32_t recno, bool is_append);
  // Before a record is written: reads and checks what the change of record
  // recno will touch (the tag header, the nodes on the paths of the old and
  // the new key) and that the keys are ones this engine can store; raises
  // when the tag cannot take the change. Changes nothing.
  void PrepareChange(int32_t recno, bool is_append);
  // Forgets the cached tree and a dirty header without writing them (the
  // file was put back as it was before a failed write).
  void DiscardTree();
  // Stores every dirty node of the cached tree (and a dirty header) so that
  // the file is complete on disk; the tree is reloaded at the same record.
  void Flush();

  // --- key range ------------------------------------------------------
  // Sets or clears the range (null or empty bounds are absent); true when
  // it changed, and the tag is then at the top.
  bool SetRange(const TktVariant* low, bool low_inclusive, bool partial, bool high_inclusive,
                const TktVariant* high);
  bool HasRange() const { return !range_low_.empty() || !range_high_.empty(); }
  // -1 above the range, 0 inside, 1 / 2 below (see the .cpp).
  int RangePosition();

  // --- what the tree logic uses ---------------------------------------
  // Compares a target with a stored entry (collation, partial result,
  // reverse compare).
  int CompareKeys(const TktVariant& target, const TktVariant& entry, int partial) const;
  // What CompareKeys gives, before the reverse compare, for a character (or
  // binary) target against a character entry: byte order, an empty value
  // first, a target that is the beginning of the entry `partial`. The
  // searches over stored nodes use it on the node's bytes, without making
  // a variant of each entry, so only memcmp's sign is taken, never where
  // the bytes differ (memcmp compares them as unsigned).
  static int CompareKeyText(std::string_view target, std::string_view entry, int partial) {
    const size_t m = std::min(target.size(), entry.size());
    const int c = m == 0 ? 0 : std::memcmp(target.data(), entry.data(), m);
    if (c != 0) return c < 0 ? -1 : 1;
    if (target.size() < entry.size()) return target.empty() ? -1 : (partial < 0 ? -1 : (partial > 0 ? 1 : 0));
    return target.size() > entry.size() ? 1 : 0;
  }
  KTobjIndexFile* File() const { return file_; }
  KTO_dBHandler* Table() const;
  KTobjIndexKey* Root() {
    Materialize();
    return root_.get();
  }
  bool HasTree() const { return root_ != nullptr || path_pending_; }
  bool TreeDirty() const;
  // A tree is loaded and no foreign change was noticed since it was read.
  bool TreeCurrent() const;
  // Sets a new root that took over the old root's place (GrowRoot).
  void ReplaceRoot(std::unique_ptr<KTobjIndexKey> new_root);
  std::unique_ptr<KTobjIndexKey> TakeRoot() { return std::move(root_); }
  // Writes a node and (recursively first) its open path when dirty.
  void FlushNode(KTobjIndexKey& node);
  // Called by a node's constructor: loads it, reporting a damaged file.
  void LoadInto(int32_t offset, KTobjIndexKey& node);

  // --- fields ---------------------------------------------------------
  const std::string& Name() const { return name_; }
  const std::string& KeyExpression() const { return key_expr_; }
  const std::string& ForExpression() const { return for_expr_; }
  int KeyLength() const { return key_length_; }
  bool Unique() const { return unique_; }
  bool Descending() const { return descending_; }
  bool HasFor() const { return has_for_; }
  // Whether the tag's keys may be evaluated on a thread other than the
  // table's, reading records through a RecordView: its expressions read
  // only fields of this table's record (not a memo field, which comes from
  // the memo file that serves one thread at a time) and functions of values.
  bool ThreadSafeExpressions() const;
  char KeyType() const { return key_type_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  const KTobjIndexKeyData& CurrentKey() const { return current_key_; }
  int32_t HeaderOffset() const { return header_offset_; }
  int32_t RootOffset() const { return root_offset_; }
  uint16_t EntrySize() const { return entry_size_; }
  uint16_t InteriorCapacity() const { return interior_capacity_; }
  bool Updating() const { return updating_; }
  // Every comparison is negated (descending keys stored in descending
  // order).
  bool ReverseCompare() const { return reverse_compare_; }
  bool HeaderDirty() const { return header_dirty_; }
  void MarkHeaderDirty() { header_dirty_ = true; }

 protected:
  friend class KTobjIndexKey;

  // For the single-tag formats (NDX, NTX), whose tag is named after the
  // file and whose header is block 0: the name upper-cased, then the
  // header read (`read`; false when it does not add up) or marked to be
  // written.
  bool StartSingleTag(std::string_view name, bool read);
  // A character key's stored text from a value of any kind (logical "T" or
  // "F", text as it is, others as they print), trailing blanks dropped
  // with `trim_blanks`.
  static std::string CharacterKeyText(const TktVariant& value, bool trim_blanks);

  // A format's search over its stored node images, without building node
  // objects (an optional fast path of Seek; formats without one keep the
  // default). Finds the first stored key that is not below `target` for
  // any record, as KTobjIndexKey::SearchKey does: fills `path` from the
  // root down to the leaf and `found` with the key there, and answers 0
  // (equal) or -1 (greater). 2 means undecided (no such key, a node that
  // does not look right, no fast path): the tree search runs instead.
  virtual int SearchInPlace(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                            KTobjIndexKeyData& found);
  // A format's step to the neighbouring key over its stored node images
  // (an optional fast path of Navigate): from the leaf at the end of
  // `path` (offsets and positions from the root, as a search in place
  // leaves them) to the next key (forward) or the one before. 1: moved,
  // `path` and `current` updated; 0: no key that way, nothing changed; 2:
  // undecided (a node that does not look right, no fast path), nothing
  // changed: the tree logic steps instead.
  virtual int StepInPlace(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current);
  // Builds the open path a search in place left as offsets and positions,
  // so that the tree logic can go on from there.
  void Materialize();
  // Navigate's step over the stored nodes (StepInPlace) from the open or
  // pending path; false when it cannot be taken (the tree logic steps).
  bool StepOverStoredNodes(bool forward);

  // --- changes made in the stored node images -------------------------
  // A format that can change its nodes where they are stored answers
  // these; the base cannot (2 / false) and every change goes through the
  // node objects.
  //
  // Finds, over the stored nodes, where the entry (`key`, record `recno`)
  // is or would go, as KTobjIndexKey::SearchKey with partial -1: `path`
  // from the root down to the leaf, the leaf's position the entry found
  // or the one the key goes in front of (the leaf's count when it goes
  // last); `found` the entry there. Every node on the way is checked as
  // LoadNode checks it, the leaf whole. 2: undecided (a node that does not
  // look right, an empty leaf, no such path): the tree logic decides.
  virtual int LocateInPlace(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                            KTobjIndexKeyData& found);
  // Inserts the stored key `key` (Reference: its record) at the leaf
  // position of `path` as LocateInPlace left it, and brings separators and
  // split-off blocks up to date. False when it cannot be done that way;
  // nothing is changed then.
  virtual bool InsertInPlace(const KTobjIndexKeyData& key, const std::vector<PathStep>& path);
  // Removes the leaf entry at the end of `path`. False (nothing changed)
  // when it cannot be done that way. `touched` receives the offsets of the
  // nodes written.
  virtual bool RemoveInPlace(const std::vector<PathStep>& path, std::vector<int32_t>& touched);
  // The format changes nodes in place (then a tree is kept only for
  // navigation, not for the next change).
  virtual bool ChangesInPlace() const { return false; }
  // The record number a key to be inserted for record `recno` is located
  // with (LocateInPlace): the record itself where equal keys are ordered
  // by record, else kAfterEqual (a new key goes after its equals).
  int32_t InsertPlace(int32_t recno) const;
  // Positions the tree's path on the entry of `key` for record `recno`
  // (whole key): as root->SearchKey(recno, key, -1), 0 when found.
  int SearchEntry(const KTobjIndexKeyData& key, int32_t recno);

  // What PrepareChange learned for the record write under way; UpdateKeys
  // uses it once when the key it evaluates is the one prepared and nothing
  // was read anew in between.
  struct PreparedChange {
    bool valid = false;
    int32_t recno = 0;
    bool is_append = false;
    bool for_ok = true;
    bool has_old = false;       // the old key could be evaluated
    bool same = false;          // old and new key are equal
    bool in_place = false;      // both paths were found over the stored nodes
    uint64_t generation = 0;    // the file's cache generation then
    KTobjIndexKeyData new_key{256};  // stored form; Reference = RecordNumber = recno
    KTobjIndexKeyData old_key{256};
    std::vector<PathStep> new_path, old_path;
    int new_result = 2, old_result = 2;
  };
  // Applies a prepared change over the stored nodes; false when the node
  // objects must do (part of) it: what was done in place is then in the
  // file, and the rest finds it there.
  bool ApplyPrepared(PreparedChange& p);

  // The key of the table's current record in stored form; false when the
  // key cannot be evaluated.
  bool CurrentRecordKey(KTobjIndexKeyData& key);

  // For a tag read from a file: compiles the key and FOR expressions and
  // learns the key type through `learn`. A failure leaves the tag walkable
  // by its stored keys, with the reason in unusable_.
  template <typename Learn>
  void CompileStoredExpressions(Learn learn) {
    unusable_.clear();
    if (!CompileStored(true) || !CompileStored(false)) return;
    try {
      learn();
    } catch (const std::runtime_error& e) {
      unusable_ = "its key expression " + key_expr_ + " cannot be evaluated (" + e.what() + ")";
    }
  }
  // One of them (the key or the FOR expression); false when it failed.
  bool CompileStored(bool key);
  // Raises the refusal of a record write for this tag, naming it and
  // `reason`.
  [[noreturn]] void RefuseChange(const std::string& reason) const;

  // Sets key_type_ from the key expression's value on the current record
  // (character and logical keys are 'C'), leaving that value in `value`
  // when given; false when the value has none of those types.
  bool LearnKeyType(TktVariant* value);
  void ApplyRange();
  void SetRootOffset(int32_t offset) { root_offset_ = offset; }

  std::string name_;
  std::string key_expr_;
  int16_t key_length_ = 0;
  uint16_t entry_size_ = 0;
  uint16_t interior_capacity_ = 0;
  std::string for_expr_;
  TktVariant range_low_;
  TktVariant range_high_;
  int32_t range_mode_ = -1;  // partial result against the high bound
  bool low_inclusive_ = false;
  bool high_inclusive_ = false;
  KTobjIndexFile* file_;
  int32_t header_offset_ = 0;
  int32_t root_offset_ = 0;
  std::unique_ptr<KTobjIndexKey> root_;
  // The file's cache generation when root_ was loaded: a tree loaded
  // before another process's change was noticed is not reused.
  uint64_t root_generation_ = 0;
  // Where the last search in place ended (path_pending_): the open path is
  // built from it on first need.
  std::vector<PathStep> pending_path_;
  bool path_pending_ = false;
  // Set by a format that split nodes while storing them and kept the node
  // objects equal to the blocks: the tree stays, and Flush only finds the
  // current key again.
  bool reposition_ = false;
  bool header_dirty_ = false;
  bool unique_ = false;
  bool has_for_ = false;
  char key_type_ = 'C';
  KTobjIndexKeyData current_key_{256};
  bool bof_ = false;
  bool eof_ = false;
  bool keys_changed_ = false;
  bool reverse_compare_ = false;
  bool descending_ = false;
  bool updating_ = false;
  std::string unusable_;
  std::unique_ptr<TktExpHandler> key_handler_;
  std::unique_ptr<TktExpHandler> for_handler_;
  PreparedChange prepared_;
  KTobjIndexKeyData scratch_key_{256};
  KTobjIndexKeyData scratch_stored_{256};
  KTobjIndexKeyData scratch_found_{256};
};

}  // namespace tessera
