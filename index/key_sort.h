// TktSort: orders the keys of a whole table for a bulk index build.
//
// A tag builder adds one key per record with its record number, then takes
// the keys back in order. Keys are gathered in a bounded pool (at most 32
// blocks of 40 960 bytes, holding the key bytes and a table of 24-byte
// slots, one per key); when the pool is full its keys are sorted and
// written, in order and front-compressed, into a sorted run kept in memory
// pages, and at retrieval the runs are merged. Memory for the pool is
// therefore fixed whatever the table size.
//
// The runs stay in memory up to a bound (SpillSettings::run_memory); the
// run that would pass it, and every run after it, goes to a work file (see
// sort_work_file.h) as soon as it is complete. At retrieval a run in the
// file is read through a buffer of its own; when more runs lie in the file
// than the merge may read at once (SpillSettings::merge_runs), groups of
// neighbouring runs are first merged into longer ones there. Both keep
// the order of equal keys (that of the runs), so what comes out is the
// same whichever runs were moved to the file. All writing to the file is
// done by the thread that adds keys, never by the sort's own threads.
//
// The pool is three parts of 11, 11 and 10 blocks. While the builder
// fills one, a sorter thread sorts the full ones into their runs, in turn;
// when the builder fills its part and both others are still waiting for
// the sorter, it sorts that part itself. Each part's run takes the place
// the part had in the order of adding, so the runs, and all that comes
// out, are the same whichever thread sorted them. The sorter touches
// nothing but the part it sorts and that part's run, and it is joined
// before retrieval begins (and when the sort is destroyed).
//
// Sorting a full pool: each slot carries the key's first 16 bytes as two
// big-endian integers; the slots are put in order by those bytes, one byte
// a pass (a radix sort in place, skipping a byte every key shares), and
// what is left alike in all 16, or in a group too small to be worth a
// pass, by comparison. (A byte trie was used first; its sibling lists grow
// to 256 entries at the record-number bytes of low-cardinality keys, and
// the walk along them made the sort several times slower.)
//
// Every key is sorted as its encoded form: the value's bytes followed by the
// record number, most significant byte first. Equal values therefore come
// out by record number (ascending in an ascending sort, descending in a
// descending one).
//
// The sort sinks of the index formats derive from this class and add only
// their writing state.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/collection.h"
#include "engine/variant.h"
#include "index/sort_run.h"
#include "index/sort_work_file.h"

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
  struct SpillSettings;
  // The same, with spill settings of its own in place of the process's
  // (a build that keeps several sorts alive at once shares its memory
  // bound among them).
  TktSort(int32_t max_key_length, const uint8_t* collation, bool ascending, bool unique,
          const SpillSettings& spill);
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
  // A work file that cannot be made, written or read back raises
  // ETesseraError with the system's reason and the folder (here, or from
  // NextKey and HasMoreKeys); the sort can then only be destroyed.
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

  // Whether sorts use their worker threads (on, on a machine with more
  // than one processor). What comes out is the same either way; tests
  // turn them off to compare.
  static void SetWorkerThreads(bool on);
  // Whether threads are used (the setting, on a machine with more than one
  // processor): builds that would run work of their own on threads ask.
  static bool WorkerThreads();

  // Where sorted runs go when they do not stay in memory. Process-wide; a
  // sort takes the settings in force when it is made.
  struct SpillSettings {
    // Bytes of sorted runs a sort keeps in memory: a finished run that
    // would take it past this goes to the work file, and every run after.
    // The default holds a sort of ten million callbook keys within about
    // 24 MiB, pool and read buffers included; of a million cards' tags
    // only the three name tags put a few of their runs in the file.
    size_t run_memory = size_t{20} << 20;
    // Runs read from the work file at once by the merge, each through its
    // read buffer (TktPageCollection::kReadBuffer); more are first merged
    // in groups into longer runs. At least 2.
    size_t merge_runs = 1024;
    // Folder of the work file; empty: $TMPDIR, or /tmp without it.
    std::string directory;
  };
  static void SetSpillSettings(const SpillSettings& settings);
  static SpillSettings CurrentSpillSettings();
  // The folder the work file of a sort made now goes to.
  static std::string SpillDirectory();

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
  int32_t PoolBlockCount() const {
    int32_t n = 0;
    for (const Pool& pool : pools_) n += pool.BlockCount();
    return n;
  }
  // Bytes held now in pool blocks, run pages and read buffers.
  size_t MemoryBytes() const;
  // Runs in the work file now, and the bytes written to it so far (0
  // while every run stays in memory).
  size_t SpilledRunCount() const;
  int64_t SpilledBytes() const { return work_ ? work_->Size() : 0; }

 private:
  // One key gathered in the pool.
  struct Slot {
    uint64_t prefix;  // the first 8 encoded bytes, big-endian, zero-padded
                      // (0 for every key under a collation table)
    uint64_t prefix2; // the next 8, alike: a callsign, a postcode or a
                      // country with its record number is sorted on these
                      // two alone, and a name mostly
    uint32_t ref;     // block number * kBlockSize + offset of the bytes
    uint8_t size;     // encoded length (record number included)
    uint8_t kind;     // kind code
    uint8_t collated; // leading bytes that go through the collation table
    uint8_t unused;
  };
  static constexpr int32_t kSlotsPerBlock = kBlockSize / static_cast<int32_t>(sizeof(Slot));
  static constexpr int kParts = 3;
  // A run of slots shorter than this is sorted by comparison alone.
  static constexpr size_t kRadixMinimum = 64;

  // One part of the pool: blocks of key bytes (filled in order; a key never
  // spans two blocks) and the slot table, whose capacity grows a block's
  // worth at a time and counts against the part's `limit`. `run` is the run
  // its keys go to when it is sorted; `busy` (under mutex_) while it waits
  // for the sorter or is being sorted.
  struct Pool {
    int32_t limit = 0;
    bool busy = false;
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    size_t current_block = 0;
    int32_t used = 0;  // bytes taken in the current block
    std::vector<Slot> slots;
    TktPageCollection* run = nullptr;
    int32_t SlotBlocks() const { return static_cast<int32_t>(slots.capacity() / kSlotsPerBlock); }
    int32_t BlockCount() const { return static_cast<int32_t>(blocks.size()) + SlotBlocks(); }
    const uint8_t* Bytes(const Slot& s) const { return blocks[s.ref / kBlockSize].get() + s.ref % kBlockSize; }
  };

  // Byte order in the pool and in the merge: `c` tells whether a byte is a
  // value byte of a character key, which goes through the collation table.
  int Order(uint8_t a, bool ca, uint8_t b, bool cb) const;
  int CompareEncoded(const uint8_t* a, int32_t la, int32_t ca, const uint8_t* b, int32_t lb, int32_t cb) const;
  bool SameEncoded(const uint8_t* a, int32_t la, int32_t ca, const uint8_t* b, int32_t lb, int32_t cb) const;
  // A key's first 16 encoded bytes as two big-endian words, zero past its end.
  static void LeadingWords(const uint8_t* key, int32_t size, uint64_t& first, uint64_t& second);

  void Gather(int32_t length, uint8_t kind_code, int32_t collated);
  // The filling part is full: it goes to the sorter (or is sorted here).
  void HandOff();
  void HandOffPart();
  static std::string WorkFolder(const SpillSettings& settings);
  // Moves the runs sorted since the last call to the work file, in order,
  // from the first that would take the runs in memory past the bound.
  void SpillFinishedRuns();
  // Merges runs in the work file in groups until at most merge_runs are
  // left there.
  void MergeSpilledRuns();
  // Replaces runs_[first .. first + count) by one run in the work file
  // holding all their entries, in the order the merge takes them.
  void MergeRunsToFile(size_t first, size_t count);
  // Sorts a part into its run and empties it (its blocks are kept). Runs
  // on either thread.
  void SortPool(Pool& pool) const;
  template <class Before>
  void RadixSort(Slot* slots, size_t n, int depth, const Before& before) const;
  void SorterLoop();
  // Waits until the sorter holds no part; raises what it failed with.
  void WaitForSorter();
  void StopSorter();

  struct Merge;
  void StartRetrieval();
  void SetUpRetrieval();
  // A tournament over runs_[first .. first + count), each run at its
  // current key.
  std::unique_ptr<Merge> MakeMerge(size_t first, size_t count);
  bool RunBefore(const Merge& m, int a, int b) const;
  bool Wins(const Merge& m, int a, int b) const;
  void LoadHead(Merge& m, int run);
  void AdvanceTop(Merge& m);
  bool SelectNext(Merge& m);
  int32_t CollatedCount(const TktPageCollection& run) const;
  int32_t CollatedCount(uint8_t kind, int32_t size) const;
  static void DecodeKey(const TktPageCollection& run, TktVariant& key, int32_t& recno);
  bool SameValue(const TktVariant& a, const TktVariant& b) const;

  const int32_t max_key_length_;
  const uint8_t* const collation_;
  const bool ascending_;
  const bool unique_;
  bool accepting_ = true;
  int64_t key_count_ = 0;
  VariantKind sort_kind_ = VariantKind::kNone;  // first non-binary kind added

  Pool pools_[kParts];
  Pool* filling_ = &pools_[0];
  // The sorter: started at the first hand-off on a machine with more than
  // one processor. `queue_` holds the parts handed to it, oldest first.
  std::thread sorter_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // for the sorter: a part, or stop
  mutable std::condition_variable idle_;  // for the builder: a part is sorted
  std::vector<Pool*> queue_;
  bool SorterIdle() const;
  bool stop_ = false;
  std::exception_ptr sorter_error_;
  bool sorter_used_ = false;

  TktCollection<TktPageCollection> runs_;

  // Spilling (the adding thread's alone). The runs before `checked_runs_`
  // have been seen complete; `kept_bytes_` is what those kept in memory
  // hold. Once `spilling_`, every later run goes to the file, so the runs
  // in the file are always the last ones.
  const SpillSettings spill_;
  std::unique_ptr<SortWorkFile> work_;
  size_t checked_runs_ = 0;
  size_t kept_bytes_ = 0;
  bool spilling_ = false;
  // Set once retrieval has been set up; until then a failure met while
  // setting it up is raised again by every later call.
  bool retrieving_ = false;
  std::string failure_;

  uint8_t scratch_[TktPageCollection::kMaxKey + 1] = {};  // the key being added, encoded

  // Retrieval. The runs are merged by a tournament (tree[0] the run whose
  // key comes next, or -1 without runs; tree[n] the run that lost at inner
  // node n) that puts the keys it selects, in order, into batches (each
  // entry: kind code, encoded length, the encoded bytes); NextKey takes
  // them one at a time. For a large sort the runs are split in two groups
  // of neighbouring runs, each merged on a thread of its own a few batches
  // ahead, and NextKey merges the two streams (of equal keys the first
  // group's, whose runs are the earlier, first). Otherwise one group is
  // merged by the builder itself, a batch whenever it needs one. A merger
  // owns its runs and its tournament until it has merged them all.
  static constexpr size_t kBatchBytes = 64 * 1024;
  // Read buffers of the runs in the work file, shared among them at
  // retrieval (each gets at least TktPageCollection::kReadBuffer).
  static constexpr size_t kSpillReadBuffers = 1024 * 1024;
  static constexpr int kBatches = 3;
  static constexpr int64_t kThreadedMerge = 65536;  // keys at least

  // Per run, its current key's first 16 bytes as two big-endian integers
  // (zero-padded; 0 under a collation table) and whether it is exhausted:
  // most matches are decided on these.
  struct Head {
    uint64_t p0 = 0, p1 = 0;
    bool done = true;
  };
  struct Merge {
    size_t first = 0;  // runs_[first .. first + count)
    size_t count = 0;
    std::vector<int> tree;  // run numbers within the group
    std::vector<Head> heads;
    int selected = -1;  // the run holding the next key to deliver (-1 unknown)
    // The encoded key delivered last (the same key for the same record
    // goes out once) and, for unique sorts, its value.
    uint8_t prev[TktPageCollection::kMaxKey + 1] = {};
    int32_t prev_size = 0;
    int32_t prev_collated = 0;
    bool have_last = false;
    TktVariant last;
    TktVariant candidate;
    // Batches. The builder's side:
    std::vector<uint8_t> current;
    size_t read = 0;
    bool produced_all = false;  // without a thread
    // The merger thread, and what it shares with the builder (under mutex_):
    std::thread thread;
    std::condition_variable spare_ready;  // for the merger: a batch to fill, or stop
    std::condition_variable batch_ready;  // for the builder: a batch, or the end
    std::vector<std::vector<uint8_t>> spare;
    std::vector<std::vector<uint8_t>> ready;  // oldest first
    bool merged_all = false;
    bool stop = false;
    size_t bytes_left = 0;  // run memory held, as the merger last counted it
    std::exception_ptr error;
  };
  std::vector<std::unique_ptr<Merge>> merges_;
  // Fills `batch` with the group's next keys; false when no key is left
  // after them.
  bool Produce(Merge& m, std::vector<uint8_t>& batch);
  void MergerLoop(Merge& m);
  void StopMergers();
  // The group's next batch into its `current` (false when it has no key left).
  bool NextBatch(Merge& m);
  // Whether the group has a key to deliver now (at m.current[m.read]).
  bool HasEntry(Merge& m);
  size_t RunBytes(size_t first, size_t count) const;
  static void DecodeBytes(uint8_t kind, const uint8_t* p, int32_t size, TktVariant& key, int32_t& recno);

  // The builder's merge of two groups: the entry delivered last, for the
  // same rules across groups.
  std::vector<uint8_t> delivered_;
  uint8_t delivered_kind_ = 0;
  bool have_delivered_ = false;
  int front_ = 0;  // the group whose entry NextKey delivers
  TktVariant delivered_value_;
  TktVariant check_value_;
};

}  // namespace tessera
