// TktSort: orders the keys of a whole table for a bulk index build.
//
// A tag builder adds one key per record with its record number, then takes
// the keys back in order. Keys are gathered in a bounded pool (at most 32
// blocks of 40 960 bytes, holding the key bytes and a table of 16-byte
// slots, one per key); when the pool is full its keys are sorted and
// written, in order and front-compressed, into a sorted run kept in memory
// pages, and at retrieval the runs are merged. Memory for the pool is
// therefore fixed whatever the table size.
//
// Sorting a full pool is a comparison sort of the slots: each slot carries
// the key's first 8 bytes as one big-endian integer, so most comparisons
// touch no key byte. (A byte trie was used first; its sibling lists grow to
// 256 entries at the record-number bytes of low-cardinality keys, and the
// walk along them made the sort several times slower.)
//
// Every key is sorted as its encoded form: the value's bytes followed by the
// record number, most significant byte first. Equal values therefore come
// out by record number (ascending in an ascending sort, descending in a
// descending one).
//
// The sort sinks of the index formats derive from this class and add only
// their writing state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/collection.h"
#include "engine/variant.h"
#include "index/sort_run.h"

namespace tessera {

class TktSort {
 public:
  // Longest key value accepted (the tag builders pass their key length + 1).
  static constexpr int32_t kMaxKeyLength = 240;
  // The pool: blocks of 40 960 bytes (room for 4 096 keys of 10 bytes).
  static constexpr int32_t kBlockSize = 40960;
  static constexpr int32_t kMaxBlocks = 32;

  // `collation` is a 256-byte table applied to the bytes of character keys,
  // or null for plain byte order; it must outlive the sort. Raises
  // ETesseraError "Sort key length greater than 240 bytes" when
  // max_key_length exceeds 240.
  TktSort(int32_t max_key_length, const uint8_t* collation, bool ascending, bool unique);
  virtual ~TktSort();

  TktSort(const TktSort&) = delete;
  TktSort& operator=(const TktSort&) = delete;

  // Adds a key for a record. Character keys are sorted without their
  // trailing blanks. The caller's value is not changed. Raises ETesseraError:
  //   "Cannot add sort keys after beginning retrieval" once NextKey was called;
  //   "Sort key length greater than 240 bytes" when the value is longer than
  //     the maximum given at creation;
  //   "Variant type cannot be sorted" for values of kind none or logical;
  //   "Variant types mismatch for compare" for a value that cannot be
  //     compared with the keys already added (a character key after numeric
  //     ones, say; binary values go with any kind).
  // A refused key is not added and the sort stays usable.
  //
  // The same value added twice for the same record number is delivered once.
  void AddKey(const TktVariant& key, int32_t recno);

  // Delivers the next key in order: the value in `key` (character without
  // trailing blanks, numeric as the double, date as the day number, binary
  // as its bytes) and its record number. False when no key is left. The
  // first call ends the adding phase. In a unique sort a key whose value
  // equals the last one delivered is skipped, so of each group of equal
  // values only the first in sort order comes out.
  bool NextKey(TktVariant& key, int32_t& recno);

  // True when NextKey would deliver another key. Ends the adding phase.
  bool HasMoreKeys();

  // Number of keys added.
  int64_t KeyCount() const { return key_count_; }

  int32_t MaxKeyLength() const { return max_key_length_; }
  const uint8_t* Collation() const { return collation_; }
  bool Ascending() const { return ascending_; }
  bool Unique() const { return unique_; }
  // True while keys may be added (until the first retrieval).
  bool Accepting() const { return accepting_; }

  // Sorted runs made so far (a run is made each time the node pool fills,
  // and one more for the rest when retrieval begins).
  size_t RunCount() const { return runs_.Count(); }
  // Pool blocks allocated now, for key bytes and for slots (never more than
  // kMaxBlocks; none once retrieval has begun).
  int32_t PoolBlockCount() const { return static_cast<int32_t>(blocks_.size()) + SlotBlocks(); }
  // Bytes held now in pool blocks and run pages.
  size_t MemoryBytes() const;

 private:
  // One key gathered in the pool.
  struct Slot {
    uint64_t prefix;  // the first 8 encoded bytes, big-endian, zero-padded
                      // (0 for every key under a collation table)
    uint32_t ref;     // block number * kBlockSize + offset of the bytes
    uint8_t size;     // encoded length (record number included)
    uint8_t kind;     // kind code
    uint8_t collated; // leading bytes that go through the collation table
    uint8_t unused;
  };
  static constexpr int32_t kSlotsPerBlock = kBlockSize / static_cast<int32_t>(sizeof(Slot));

  // Byte order in the pool and in the merge: `c` tells whether a byte is a
  // value byte of a character key, which goes through the collation table.
  int Order(uint8_t a, bool ca, uint8_t b, bool cb) const;
  int CompareEncoded(const uint8_t* a, int32_t la, int32_t ca, const uint8_t* b, int32_t lb, int32_t cb) const;
  const uint8_t* SlotBytes(const Slot& s) const {
    return blocks_[s.ref / kBlockSize].get() + s.ref % kBlockSize;
  }
  int32_t SlotBlocks() const { return static_cast<int32_t>(slots_.capacity() / kSlotsPerBlock); }

  void Gather(int32_t length, uint8_t kind_code, int32_t collated);
  void Flush();

  void StartRetrieval();
  bool RunBefore(int a, int b) const;
  bool Wins(int a, int b) const;
  void AdvanceTop();
  bool SelectNext();
  int32_t CollatedCount(const TktPageCollection& run) const;
  static void DecodeKey(const TktPageCollection& run, TktVariant& key, int32_t& recno);
  bool SameValue(const TktVariant& a, const TktVariant& b) const;

  const int32_t max_key_length_;
  const uint8_t* const collation_;
  const bool ascending_;
  const bool unique_;
  bool accepting_ = true;
  int64_t key_count_ = 0;
  VariantKind sort_kind_ = VariantKind::kNone;  // first non-binary kind added

  // The pool: blocks of key bytes (filled in order; a key never spans two
  // blocks) and the slot table, whose capacity grows a block's worth at a
  // time and counts against the same limit.
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  size_t current_block_ = 0;
  int32_t used_ = 0;  // bytes taken in the current block
  std::vector<Slot> slots_;

  TktCollection<TktPageCollection> runs_;

  uint8_t scratch_[TktPageCollection::kMaxKey + 1] = {};  // the key being added, encoded

  // Retrieval: a tournament over the runs (tree_[0] the run whose key
  // comes next, or -1 without runs; tree_[n] the run that lost at inner
  // node n), the run holding the next key to deliver (-1 unknown) and the
  // encoded key delivered last.
  std::vector<int> tree_;
  int selected_ = -1;
  uint8_t prev_[TktPageCollection::kMaxKey + 1] = {};
  int32_t prev_size_ = 0;
  int32_t prev_collated_ = 0;
  bool have_last_ = false;
  TktVariant last_;       // last value delivered (unique sorts)
  TktVariant candidate_;  // value being checked against it
};

}  // namespace tessera
