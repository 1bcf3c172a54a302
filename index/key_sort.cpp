#include "index/key_sort.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <malloc.h>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "engine/byte_order.h"
#include "engine/errors.h"
#include "engine/messages.h"

namespace tessera {
namespace {

// Kind codes of encoded keys, as held in sort nodes and run entries.
constexpr uint8_t kCodeBinary = 0x10;
constexpr uint8_t kCodeCharacter = 0x20;
constexpr uint8_t kCodeNumeric = 0x30;
constexpr uint8_t kCodeDate = 0x40;

std::atomic<bool> g_worker_threads{true};

std::mutex g_spill_mutex;
TktSort::SpillSettings g_spill;  // under g_spill_mutex

bool WorkersWanted() { return g_worker_threads.load() && std::thread::hardware_concurrency() > 1; }

// Byte order of a[0 .. la) and b[0 .. lb), a key that is the start of the
// other first; eight bytes a step, as big-endian words (keys compared past
// their leading words share long stretches: a surname and its padding).
int CompareBytes(const uint8_t* a, int32_t la, const uint8_t* b, int32_t lb) {
  const int32_t m = std::min(la, lb);
  int32_t i = 0;
  for (; i + 8 <= m; i += 8) {
    const uint64_t x = bytes::GetBE64(a + i);
    const uint64_t y = bytes::GetBE64(b + i);
    if (x != y) return x < y ? -1 : 1;
  }
  for (; i < m; ++i)
    if (a[i] != b[i]) return int{a[i]} - int{b[i]};
  return la - lb;
}

}  // namespace

void TktSort::SetWorkerThreads(bool on) { g_worker_threads.store(on); }
bool TktSort::WorkerThreads() { return WorkersWanted(); }

void TktSort::SetSpillSettings(const SpillSettings& settings) {
  std::lock_guard<std::mutex> lock(g_spill_mutex);
  g_spill = settings;
  g_spill.merge_runs = std::max<size_t>(g_spill.merge_runs, 2);
}

TktSort::SpillSettings TktSort::CurrentSpillSettings() {
  std::lock_guard<std::mutex> lock(g_spill_mutex);
  return g_spill;
}

// The work file goes where the user keeps scratch files, as sort(1) and
// SQLite put theirs: the table's own folder may be a shared network folder
// (every spilled byte would cross the network twice) or on a medium with
// no room to spare, and the index being built is never read from there.
std::string TktSort::SpillDirectory() { return WorkFolder(CurrentSpillSettings()); }

std::string TktSort::WorkFolder(const SpillSettings& settings) {
  if (!settings.directory.empty()) return settings.directory;
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

TktSort::TktSort(int32_t max_key_length, const uint8_t* collation, bool ascending, bool unique)
    : TktSort(max_key_length, collation, ascending, unique, CurrentSpillSettings()) {}

TktSort::TktSort(int32_t max_key_length, const uint8_t* collation, bool ascending, bool unique,
                 const SpillSettings& spill)
    : max_key_length_(max_key_length),
      collation_(collation),
      ascending_(ascending),
      unique_(unique),
      spill_(spill) {
  if (max_key_length > kMaxKeyLength) throw ETesseraError(msg::kSortKeyTooLong);
  for (int i = 0; i < kParts; ++i) pools_[i].limit = kMaxBlocks / kParts + (i < kMaxBlocks % kParts ? 1 : 0);
  pools_[0].blocks.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlockSize));
}

bool TktSort::SorterIdle() const {
  for (const Pool& pool : pools_)
    if (pool.busy) return false;
  return true;
}

TktSort::~TktSort() {
  StopSorter();
  StopMergers();
  if (sorter_used_) {
    // Run pages were taken from the sorter's malloc arena and the
    // builder's, and freed into whichever made them: without a trim each
    // arena keeps what it held at its peak, and a build of many tags
    // would hold the runs of the largest twice over.
    runs_.FreeAll();
    malloc_trim(0);
  }
}

size_t TktSort::RunBytes(size_t first, size_t count) const {
  size_t bytes = 0;
  for (size_t i = first; i < first + count; ++i) bytes += runs_[i]->MemoryBytes();
  return bytes;
}

size_t TktSort::SpilledRunCount() const {
  size_t n = 0;
  for (size_t i = 0; i < runs_.Count(); ++i) n += runs_[i]->Spilled() ? 1 : 0;
  return n;
}

size_t TktSort::MemoryBytes() const {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return SorterIdle(); });  // a run is still growing
  // A merger frees pages as it goes: its own count is the one to read.
  size_t bytes = 0;
  if (merges_.empty()) bytes = RunBytes(0, runs_.Count());
  for (const auto& m : merges_) bytes += m->thread.joinable() ? m->bytes_left : RunBytes(m->first, m->count);
  return static_cast<size_t>(PoolBlockCount()) * static_cast<size_t>(kBlockSize) + bytes;
}

// ---------------------------------------------------------------------------
// Order

int TktSort::Order(uint8_t a, bool ca, uint8_t b, bool cb) const {
  if (collation_ == nullptr) return int{a} - int{b};
  const int wa = ca ? collation_[a] : a;
  const int wb = cb ? collation_[b] : b;
  if (wa != wb) return wa - wb;
  // Equal weights: a collated byte shares a node only with another collated
  // byte, so a record-number byte is never replaced by a value byte.
  return int{ca} - int{cb};
}

int TktSort::CompareEncoded(const uint8_t* a, int32_t la, int32_t ca, const uint8_t* b, int32_t lb,
                            int32_t cb) const {
  if (ca == 0 && cb == 0) return CompareBytes(a, la, b, lb);
  const int32_t m = std::min(la, lb);
  for (int32_t i = 0; i < m; ++i) {
    const int c = Order(a[i], i < ca, b[i], i < cb);
    if (c != 0) return c;
  }
  // A key that is a prefix of another comes first, as the trie writes it.
  return la - lb;
}

// Equal encoded keys are as long and end in the same record number (which
// the collation table never weighs): most keys that differ are told apart
// there before their bytes are compared.
bool TktSort::SameEncoded(const uint8_t* a, int32_t la, int32_t ca, const uint8_t* b, int32_t lb, int32_t cb) const {
  return la == lb && la >= 4 && std::memcmp(a + la - 4, b + lb - 4, 4) == 0 && CompareEncoded(a, la, ca, b, lb, cb) == 0;
}

void TktSort::LeadingWords(const uint8_t* key, int32_t size, uint64_t& first, uint64_t& second) {
  if (size >= 16) {
    first = bytes::GetBE64(key);
    second = bytes::GetBE64(key + 8);
    return;
  }
  uint8_t padded[16] = {};
  std::memcpy(padded, key, static_cast<size_t>(size));
  first = bytes::GetBE64(padded);
  second = bytes::GetBE64(padded + 8);
}

// ---------------------------------------------------------------------------
// Adding

void TktSort::AddKey(const TktVariant& key, int32_t recno) {
  if (!accepting_) throw ETesseraError(msg::kSortAfterRetrieval);
  if (key.size() > max_key_length_) throw ETesseraError(msg::kSortKeyTooLong);

  const VariantKind kind = key.kind();
  if (kind != VariantKind::kCharacter && kind != VariantKind::kNumeric && kind != VariantKind::kDate &&
      kind != VariantKind::kBinary)
    throw ETesseraError(msg::kCannotSortType);
  if (kind != VariantKind::kBinary) {
    if (sort_kind_ == VariantKind::kNone) sort_kind_ = kind;
    else if (sort_kind_ != kind) throw ETesseraError(msg::kVariantMismatch);
  }

  // Encode the value bytes into the scratch key.
  int32_t length = 0;
  uint8_t code = 0;
  switch (kind) {
    case VariantKind::kCharacter: {
      std::string_view text = key.bytes();
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      std::memcpy(scratch_, text.data(), text.size());
      length = static_cast<int32_t>(text.size());
      code = kCodeCharacter;
      break;
    }
    case VariantKind::kBinary:
      std::memcpy(scratch_, key.data(), static_cast<size_t>(key.size()));
      length = key.size();
      code = kCodeBinary;
      break;
    case VariantKind::kNumeric: {
      // The double's bits, most significant first; a set sign bit for
      // values with a clear one and every bit inverted for values with a
      // set one make the bytes compare in numeric order (-0 before +0).
      const double value = key.AsNumber();
      uint64_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      bits = (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
      bytes::PutBE32(scratch_, static_cast<uint32_t>(bits >> 32));
      bytes::PutBE32(scratch_ + 4, static_cast<uint32_t>(bits));
      length = 8;
      code = kCodeNumeric;
      break;
    }
    case VariantKind::kDate: {
      // The day number, most significant first, with its sign bit flipped
      // so that a negative day number sorts before the others.
      const uint32_t day = static_cast<uint32_t>(key.AsDayNumber());
      bytes::PutBE32(scratch_, day ^ 0x80000000u);
      length = 4;
      code = kCodeDate;
      break;
    }
    default: break;
  }
  const int32_t collated = (collation_ != nullptr && code == kCodeCharacter) ? length : 0;
  bytes::PutBE32(scratch_ + length, static_cast<uint32_t>(recno));
  length += 4;

  Gather(length, code, collated);
  ++key_count_;
}

// Takes the scratch key into the filling part, handing the part on first
// when it has no room left: a key's bytes and its slot.
void TktSort::Gather(int32_t length, uint8_t kind_code, int32_t collated) {
  Pool* pool = filling_;
  if (pool->blocks.empty()) pool->blocks.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlockSize));
  const bool new_block = pool->used + length > kBlockSize;
  const bool new_slots = pool->slots.size() == pool->slots.capacity();
  const size_t key_blocks = std::max(pool->blocks.size(), pool->current_block + 1 + (new_block ? 1 : 0));
  if (static_cast<int32_t>(key_blocks) + pool->SlotBlocks() + (new_slots ? 1 : 0) > pool->limit &&
      !pool->slots.empty()) {
    HandOff();  // the part filled next has room: it is empty, its blocks kept
    Gather(length, kind_code, collated);
    return;
  }
  if (new_block) {
    ++pool->current_block;
    if (pool->current_block >= pool->blocks.size()) pool->blocks.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlockSize));
    pool->used = 0;
  }
  if (new_slots) pool->slots.reserve(pool->slots.capacity() + static_cast<size_t>(kSlotsPerBlock));
  uint8_t* at = pool->blocks[pool->current_block].get() + pool->used;
  std::memcpy(at, scratch_, static_cast<size_t>(length));
  Slot slot{};
  if (collation_ == nullptr) LeadingWords(scratch_, length, slot.prefix, slot.prefix2);
  slot.ref = static_cast<uint32_t>(pool->current_block * kBlockSize + static_cast<size_t>(pool->used));
  slot.size = static_cast<uint8_t>(length);
  slot.kind = kind_code;
  slot.collated = static_cast<uint8_t>(collated);
  pool->slots.push_back(slot);
  pool->used += length;
}

// ---------------------------------------------------------------------------
// Sorting a part into its run

void TktSort::HandOff() {
  HandOffPart();
  SpillFinishedRuns();
}

void TktSort::SpillFinishedRuns() {
  while (checked_runs_ < runs_.Count() && runs_[checked_runs_]->Sorted()) {
    TktPageCollection& run = *runs_[checked_runs_];
    const size_t bytes = run.MemoryBytes();
    if (!spilling_ && kept_bytes_ + bytes <= spill_.run_memory) {
      kept_bytes_ += bytes;
    } else {
      spilling_ = true;
      if (!work_) work_ = std::make_unique<SortWorkFile>(WorkFolder(spill_));
      run.SpillTo(*work_);
    }
    ++checked_runs_;
  }
}

void TktSort::HandOffPart() {
  Pool* full = filling_;
  if (full->slots.empty()) return;
  // The run takes its place among the runs now, in the order of adding.
  auto owned = std::make_unique<TktPageCollection>();
  full->run = owned.get();
  runs_.Add(std::move(owned));
  if (!sorter_.joinable() && WorkersWanted()) {
    try {
      sorter_ = std::thread([this] { SorterLoop(); });
      sorter_used_ = true;
    } catch (const std::system_error&) {
      // No thread to be had: every part is sorted here.
    }
  }
  if (sorter_.joinable()) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sorter_error_) std::rethrow_exception(sorter_error_);
    for (Pool& pool : pools_) {
      if (&pool == full || pool.busy) continue;
      full->busy = true;
      queue_.push_back(full);
      filling_ = &pool;
      wake_.notify_one();
      return;
    }
  }
  // Both other parts wait for the sorter (or there is none): this part is
  // sorted here and filled again. Without a sorter the parts take turns
  // all the same.
  SortPool(*full);
  if (!sorter_.joinable()) filling_ = &pools_[(full - pools_ + 1) % kParts];
}

void TktSort::SorterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped with nothing left to sort
    Pool* pool = queue_.front();
    queue_.erase(queue_.begin());
    lock.unlock();
    std::exception_ptr error;
    try {
      SortPool(*pool);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !sorter_error_) sorter_error_ = error;
    pool->busy = false;
    idle_.notify_all();
  }
}

void TktSort::WaitForSorter() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return SorterIdle(); });
  if (sorter_error_) std::rethrow_exception(sorter_error_);
}

void TktSort::StopSorter() {
  if (!sorter_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  sorter_.join();
}

// An American flag sort on the leading bytes: the slots are placed, in
// place, in 256 buckets by byte `depth`, and each bucket by the next byte,
// which orders them as `before` does (its first test is the leading words,
// byte by byte). Small buckets, and keys alike in all 16 leading bytes,
// are left to `before` itself; they often arrive in order already (a value
// shared by many records comes in record order, as its keys sort), which
// is seen in one look.
template <class Before>
void TktSort::RadixSort(Slot* slots, size_t n, int depth, const Before& before) const {
  // Byte `depth` of a slot's leading words, turned over for a descending
  // sort so that a smaller number always comes first.
  const unsigned flip = ascending_ ? 0u : 0xFFu;
  for (;;) {
    if (n < kRadixMinimum || depth == 16) {
      if (!std::is_sorted(slots, slots + n, before)) std::sort(slots, slots + n, before);
      return;
    }
    const int shift = 56 - 8 * (depth & 7);
    const bool low = depth >= 8;
    const auto byte_of = [shift, low, flip](const Slot& slot) {
      return (static_cast<unsigned>((low ? slot.prefix2 : slot.prefix) >> shift) & 0xFFu) ^ flip;
    };
    uint32_t count[256] = {};
    for (size_t i = 0; i < n; ++i) ++count[byte_of(slots[i])];
    if (count[byte_of(slots[0])] == n) {
      ++depth;  // one bucket holds them all: on to the next byte
      continue;
    }
    uint32_t start[257];
    start[0] = 0;
    for (int b = 0; b < 256; ++b) start[b + 1] = start[b] + count[b];
    uint32_t next[256];
    std::memcpy(next, start, sizeof next);
    for (unsigned b = 0; b < 256; ++b) {
      while (next[b] < start[b + 1]) {
        Slot& here = slots[next[b]];
        const unsigned home = byte_of(here);
        if (home == b) {
          ++next[b];
        } else {
          std::swap(here, slots[next[home]]);
          ++next[home];
        }
      }
    }
    for (int b = 0; b < 256; ++b)
      if (count[b] > 1) RadixSort(slots + start[b], count[b], depth + 1, before);
    return;
  }
}

void TktSort::SortPool(Pool& pool) const {
  std::vector<Slot>& slots = pool.slots;
  TktPageCollection* run = pool.run;

  // Of equal keys the one added first comes first (the slots' references
  // grow in the order keys arrive), so that it is the one kept below.
  auto before = [this, &pool](const Slot& a, const Slot& b) {
    if (a.prefix != b.prefix) return ascending_ ? a.prefix < b.prefix : a.prefix > b.prefix;
    if (a.prefix2 != b.prefix2) return ascending_ ? a.prefix2 < b.prefix2 : a.prefix2 > b.prefix2;
    int c;
    if (collation_ == nullptr && a.size >= 16 && b.size >= 16) {
      // Equal prefixes of two keys of at least 16 bytes are their first 16
      // bytes: the comparison starts after them.
      c = CompareBytes(pool.Bytes(a) + 16, a.size - 16, pool.Bytes(b) + 16, b.size - 16);
    } else {
      c = CompareEncoded(pool.Bytes(a), a.size, a.collated, pool.Bytes(b), b.size, b.collated);
    }
    if (!ascending_) c = -c;
    return c != 0 ? c < 0 : a.ref < b.ref;
  };
  if (collation_ == nullptr) {
    RadixSort(slots.data(), slots.size(), 0, before);
  } else {
    std::sort(slots.begin(), slots.end(), before);
  }

  // Equal encoded keys (the same value added twice for the same record, or
  // values the collation table weighs alike) go out once: the bytes of the
  // first added, the kind of the last.
  const auto same = [this, &pool](const Slot& a, const uint8_t* a_bytes, const Slot& b) {
    return a.prefix == b.prefix && a.prefix2 == b.prefix2 &&
           SameEncoded(a_bytes, a.size, a.collated, pool.Bytes(b), b.size, b.collated);
  };
  const Slot* previous = nullptr;
  const uint8_t* previous_bytes = nullptr;
  for (size_t i = 0; i < slots.size();) {
    const Slot& s = slots[i];
    const uint8_t* bytes = pool.Bytes(s);
    size_t j = i + 1;
    while (j < slots.size() && same(s, bytes, slots[j])) ++j;
    // The bytes this key shares with the one before: found in the leading
    // words where they differ (they hold the bytes themselves, zero past a
    // key's end, which `most` cuts off).
    int32_t shared = 0;
    if (previous != nullptr) {
      const int32_t most = std::min<int32_t>(previous->size, s.size);
      if (collation_ == nullptr && previous->prefix != s.prefix) {
        shared = __builtin_clzll(previous->prefix ^ s.prefix) / 8;
      } else if (collation_ == nullptr && previous->prefix2 != s.prefix2) {
        shared = 8 + __builtin_clzll(previous->prefix2 ^ s.prefix2) / 8;
      } else {
        shared = collation_ == nullptr ? std::min(most, 16) : 0;
        while (shared < most && previous_bytes[shared] == bytes[shared]) ++shared;
      }
      shared = std::min(shared, most);
    }
    run->Append(slots[j - 1].kind, s.size, s.size - shared, bytes + shared);
    previous = &s;
    previous_bytes = bytes;
    i = j;
  }
  run->StartReading();
  run->MarkSorted();

  // The part is empty again; its blocks are kept for the next keys.
  slots.clear();
  pool.current_block = 0;
  pool.used = 0;
  pool.run = nullptr;
}

// ---------------------------------------------------------------------------
// Retrieval

void TktSort::StartRetrieval() {
  if (retrieving_) return;
  if (!accepting_) throw ETesseraError(failure_);
  accepting_ = false;
  try {
    SetUpRetrieval();
  } catch (const std::exception& e) {
    failure_ = e.what();
    throw;
  }
  retrieving_ = true;
}

void TktSort::SetUpRetrieval() {
  HandOff();
  WaitForSorter();
  StopSorter();
  for (Pool& pool : pools_) {
    pool.blocks.clear();
    pool.blocks.shrink_to_fit();
    pool.slots.clear();
    pool.slots.shrink_to_fit();
    pool.current_block = 0;
    pool.used = 0;
  }
  filling_ = &pools_[0];
  SpillFinishedRuns();
  MergeSpilledRuns();
  // Runs in the file are read from their first entry on (the others were
  // positioned when they were sorted). Each through a buffer of its share
  // of kSpillReadBuffers, at least the smallest: the few runs of a sort
  // that spilled a little take few reads, the many of a huge sort stay
  // within the buffers the merge bound allows for.
  size_t spilled = 0;
  for (size_t i = 0; i < runs_.Count(); ++i) spilled += runs_[i]->Spilled() ? 1 : 0;
  const int32_t read_buffer =
      spilled == 0 ? TktPageCollection::kReadBuffer
                   : static_cast<int32_t>(std::min<size_t>(kSpillReadBuffers / spilled,
                                                           size_t{TktPageCollection::kLargestReadBuffer}));
  for (size_t i = 0; i < runs_.Count(); ++i)
    if (runs_[i]->Spilled()) runs_[i]->StartReading(read_buffer);
  const size_t k = runs_.Count();
  const bool threads = key_count_ >= kThreadedMerge && k >= 4 && WorkersWanted();
  const size_t groups = threads ? 2 : 1;
  for (size_t g = 0; g < groups; ++g) {
    const size_t first = k * g / groups;
    merges_.push_back(MakeMerge(first, k * (g + 1) / groups - first));
  }
  if (threads) {
    for (auto& m : merges_) {
      m->spare.assign(kBatches, {});
      m->bytes_left = RunBytes(m->first, m->count);
      Merge* merge = m.get();
      try {
        m->thread = std::thread([this, merge] { MergerLoop(*merge); });
      } catch (const std::system_error&) {
        // No thread to be had: the builder merges this group itself.
        std::lock_guard<std::mutex> lock(mutex_);
        m->spare.clear();
      }
    }
  }
}

std::unique_ptr<TktSort::Merge> TktSort::MakeMerge(size_t first, size_t count) {
  auto m = std::make_unique<Merge>();
  m->first = first;
  m->count = count;
  // The tournament: each inner node keeps the run that lost the match
  // there, tree[0] the overall winner; a leaf stands for run i at n + i.
  const size_t n = m->count;
  m->heads.assign(n, Head{});
  for (size_t i = 0; i < n; ++i) LoadHead(*m, static_cast<int>(i));
  m->tree.assign(std::max<size_t>(n, 1), 0);
  std::vector<int> winner(2 * n);
  for (size_t i = 0; i < n; ++i) winner[n + i] = static_cast<int>(i);
  for (size_t x = n; x-- > 1;) {
    const int a = winner[2 * x], b = winner[2 * x + 1];
    const bool a_first = Wins(*m, a, b);
    winner[x] = a_first ? a : b;
    m->tree[x] = a_first ? b : a;
  }
  m->tree[0] = n == 0 ? -1 : (n == 1 ? 0 : winner[1]);
  return m;
}

// The runs in the file are the last ones. Each pass merges the fewest
// runs that bring their number down to the limit (at most the limit at
// once), taking runs not merged before while there are enough of them,
// so that most entries are rewritten once at most.
void TktSort::MergeSpilledRuns() {
  const size_t limit = std::max<size_t>(spill_.merge_runs, 2);
  size_t first = 0;
  while (first < runs_.Count() && !runs_[first]->Spilled()) ++first;
  size_t at = first;
  while (runs_.Count() - first > limit) {
    const size_t k = runs_.Count();
    const size_t m = std::min(limit, k - first - limit + 1);
    if (at + m > k) at = first;  // every run from `at` on is a merged one
    MergeRunsToFile(at, m);
    ++at;
  }
}

void TktSort::MergeRunsToFile(size_t first, size_t count) {
  auto out = std::make_unique<TktPageCollection>();
  out->StartSpilledWrite(*work_);
  for (size_t i = first; i < first + count; ++i) runs_[i]->StartReading();
  std::unique_ptr<Merge> m = MakeMerge(first, count);
  // Every entry goes on as it is (equal keys in the order of their runs):
  // the rules for equal keys are applied by the final merge alone.
  uint8_t prev[TktPageCollection::kMaxKey + 1];
  int32_t prev_size = 0;
  while (m->tree[0] >= 0) {
    const TktPageCollection& run = *runs_[first + static_cast<size_t>(m->tree[0])];
    if (run.Exhausted()) break;  // the winner is exhausted only when all are
    const uint8_t* key = run.Key();
    const int32_t size = run.KeySize();
    int32_t shared = 0;
    const int32_t most = std::min(prev_size, size);
    while (shared < most && prev[shared] == key[shared]) ++shared;
    out->Append(run.KeyKind(), size, size - shared, key + shared);
    std::memcpy(prev + shared, key + shared, static_cast<size_t>(size - shared));
    prev_size = size;
    AdvanceTop(*m);
  }
  out->EndSpilledWrite();
  out->MarkSorted();
  for (size_t i = 0; i < count; ++i) runs_.Delete(first);
  runs_.Insert(first, std::move(out));
}

// Exhausted runs lose every match (among themselves the earlier run wins,
// which keeps the order total).
bool TktSort::Wins(const Merge& m, int a, int b) const {
  const Head& ha = m.heads[static_cast<size_t>(a)];
  const Head& hb = m.heads[static_cast<size_t>(b)];
  if (ha.done || hb.done) return ha.done == hb.done ? a < b : hb.done;
  // Zero-padded leading bytes order keys as the bytes do, a key that is
  // the start of another first, unless they are equal.
  if (ha.p0 != hb.p0) return ascending_ ? ha.p0 < hb.p0 : ha.p0 > hb.p0;
  if (ha.p1 != hb.p1) return ascending_ ? ha.p1 < hb.p1 : ha.p1 > hb.p1;
  return RunBefore(m, a, b);
}

void TktSort::LoadHead(Merge& m, int i) {
  const TktPageCollection& run = *runs_[m.first + static_cast<size_t>(i)];
  Head& h = m.heads[static_cast<size_t>(i)];
  h.done = run.Exhausted();
  h.p0 = h.p1 = 0;
  if (!h.done && collation_ == nullptr) LeadingWords(run.Key(), run.KeySize(), h.p0, h.p1);
}

int32_t TktSort::CollatedCount(const TktPageCollection& run) const {
  return CollatedCount(run.KeyKind(), run.KeySize());
}

int32_t TktSort::CollatedCount(uint8_t kind, int32_t size) const {
  return (collation_ != nullptr && kind == kCodeCharacter) ? size - 4 : 0;
}

// Whether the current key of run a comes before that of run b. Of two equal
// keys the one of the earlier run comes first, as a scan of the runs in
// creation order would choose.
bool TktSort::RunBefore(const Merge& m, int a, int b) const {
  const TktPageCollection& ra = *runs_[m.first + static_cast<size_t>(a)];
  const TktPageCollection& rb = *runs_[m.first + static_cast<size_t>(b)];
  int c = CompareEncoded(ra.Key(), ra.KeySize(), CollatedCount(ra), rb.Key(), rb.KeySize(), CollatedCount(rb));
  if (!ascending_) c = -c;
  return c != 0 ? c < 0 : a < b;
}

// The winner read its next key: it plays again from its leaf to the top,
// one match per level (a heap would take two).
void TktSort::AdvanceTop(Merge& m) {
  const int top = m.tree[0];
  runs_[m.first + static_cast<size_t>(top)]->ReadEntry();
  LoadHead(m, top);
  const size_t k = m.count;
  int winner = top;
  for (size_t n = (k + static_cast<size_t>(top)) / 2; n > 0; n /= 2) {
    if (Wins(m, m.tree[n], winner)) std::swap(m.tree[n], winner);
  }
  m.tree[0] = winner;
}

void TktSort::DecodeKey(const TktPageCollection& run, TktVariant& key, int32_t& recno) {
  DecodeBytes(run.KeyKind(), run.Key(), run.KeySize(), key, recno);
}

void TktSort::DecodeBytes(uint8_t kind, const uint8_t* p, int32_t encoded_size, TktVariant& key, int32_t& recno) {
  const int32_t size = encoded_size - 4;
  recno = static_cast<int32_t>(bytes::GetBE32(p + size));
  switch (kind) {
    case kCodeCharacter:
      key.SetText(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(size)));
      break;
    case kCodeNumeric: {
      uint64_t bits = (uint64_t{bytes::GetBE32(p)} << 32) | bytes::GetBE32(p + 4);
      bits = (bits >> 63) != 0 ? bits & ~(uint64_t{1} << 63) : ~bits;
      double value;
      std::memcpy(&value, &bits, sizeof value);
      key.SetNumber(value);
      break;
    }
    case kCodeDate: key.SetDayNumber(static_cast<int32_t>(bytes::GetBE32(p) ^ 0x80000000u)); break;
    default: key.SetBytes(p, size); break;
  }
}

// Equality for the unique rule: the engine's comparison, except that a NaN
// equals only another NaN (the plain comparison finds it equal to every
// number, which would drop every key after it).
bool TktSort::SameValue(const TktVariant& a, const TktVariant& b) const {
  if (a.kind() == VariantKind::kNumeric || b.kind() == VariantKind::kNumeric) {
    const double x = a.AsNumber();
    const double y = b.AsNumber();
    return x == y || (std::isnan(x) && std::isnan(y));
  }
  return a.Compare(&b, nullptr, -1, collation_) == 0;
}

bool TktSort::SelectNext(Merge& m) {
  if (m.selected >= 0) return true;
  while (m.tree[0] >= 0 && !runs_[m.first + static_cast<size_t>(m.tree[0])]->Exhausted()) {
    const TktPageCollection& run = *runs_[m.first + static_cast<size_t>(m.tree[0])];
    // The same key for the same record, added twice and written to two
    // runs, is delivered once (within one run the pool already merged it).
    if (SameEncoded(run.Key(), run.KeySize(), CollatedCount(run), m.prev, m.prev_size, m.prev_collated)) {
      AdvanceTop(m);
      continue;
    }
    if (unique_ && m.have_last) {
      int32_t recno = 0;
      DecodeKey(run, m.candidate, recno);
      if (SameValue(m.candidate, m.last)) {
        AdvanceTop(m);
        continue;
      }
    }
    m.selected = m.tree[0];
    return true;
  }
  return false;
}

// Selected keys, in order, into a batch.
bool TktSort::Produce(Merge& m, std::vector<uint8_t>& batch) {
  batch.clear();
  if (batch.capacity() < kBatchBytes) batch.reserve(kBatchBytes);
  while (batch.size() + 2 + TktPageCollection::kMaxKey <= kBatchBytes) {
    if (!SelectNext(m)) return false;
    const TktPageCollection& run = *runs_[m.first + static_cast<size_t>(m.selected)];
    batch.push_back(run.KeyKind());
    batch.push_back(static_cast<uint8_t>(run.KeySize()));
    batch.insert(batch.end(), run.Key(), run.Key() + run.KeySize());
    std::memcpy(m.prev, run.Key(), static_cast<size_t>(run.KeySize()));
    m.prev_size = run.KeySize();
    m.prev_collated = CollatedCount(run);
    if (unique_) {
      int32_t recno = 0;
      DecodeKey(run, m.last, recno);
      m.have_last = true;
    }
    AdvanceTop(m);
    m.selected = -1;
  }
  return true;
}

void TktSort::MergerLoop(Merge& m) {
  try {
    for (;;) {
      std::vector<uint8_t> batch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        m.spare_ready.wait(lock, [&m] { return m.stop || !m.spare.empty(); });
        if (m.stop) return;
        batch = std::move(m.spare.back());
        m.spare.pop_back();
      }
      const bool more = Produce(m, batch);
      const size_t bytes = RunBytes(m.first, m.count);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!batch.empty()) m.ready.push_back(std::move(batch));
      m.bytes_left = bytes;
      m.merged_all = !more;
      m.batch_ready.notify_one();
      if (!more) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    m.error = std::current_exception();
    m.merged_all = true;
    m.batch_ready.notify_one();
  }
}

void TktSort::StopMergers() {
  for (auto& m : merges_) {
    if (!m->thread.joinable()) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      m->stop = true;
    }
    m->spare_ready.notify_one();
    m->thread.join();
  }
}

bool TktSort::NextBatch(Merge& m) {
  m.read = 0;
  if (!m.thread.joinable()) {
    if (m.produced_all) {
      m.current.clear();
      return false;
    }
    m.produced_all = !Produce(m, m.current);
    return true;  // perhaps empty: the caller asks again
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (m.current.capacity() != 0) {
    m.spare.push_back(std::move(m.current));
    m.spare_ready.notify_one();
  }
  m.current.clear();
  m.batch_ready.wait(lock, [&m] { return m.merged_all || !m.ready.empty(); });
  if (m.error) std::rethrow_exception(m.error);
  if (m.ready.empty()) return false;
  m.current = std::move(m.ready.front());
  m.ready.erase(m.ready.begin());
  return true;
}

bool TktSort::HasEntry(Merge& m) {
  while (m.read >= m.current.size())
    if (!NextBatch(m)) return false;
  return true;
}

bool TktSort::HasMoreKeys() {
  StartRetrieval();
  if (merges_.size() == 1) return HasEntry(*merges_[0]);
  // Two groups: the entry to deliver next is left at the front of its
  // group; a later group's key equal (as encoded) to the one delivered
  // last, or of the same value in a unique sort, is passed over here.
  for (;;) {
    Merge& a = *merges_[0];
    Merge& b = *merges_[1];
    const bool has_a = HasEntry(a), has_b = HasEntry(b);
    if (!has_a && !has_b) return false;
    Merge* next = has_a ? &a : &b;
    if (has_a && has_b) {
      const uint8_t* ea = a.current.data() + a.read;
      const uint8_t* eb = b.current.data() + b.read;
      int c = collation_ == nullptr
                  ? CompareBytes(ea + 2, ea[1], eb + 2, eb[1])
                  : CompareEncoded(ea + 2, ea[1], CollatedCount(ea[0], ea[1]), eb + 2, eb[1], CollatedCount(eb[0], eb[1]));
      if (!ascending_) c = -c;
      next = c <= 0 ? &a : &b;
    }
    const uint8_t* e = next->current.data() + next->read;
    if (have_delivered_) {
      const int32_t size = static_cast<int32_t>(delivered_.size());
      bool skip = SameEncoded(e + 2, e[1], CollatedCount(e[0], e[1]), delivered_.data(), size,
                              CollatedCount(delivered_kind_, size));
      if (!skip && unique_) {
        int32_t recno = 0;
        DecodeBytes(e[0], e + 2, e[1], check_value_, recno);
        skip = SameValue(check_value_, delivered_value_);
      }
      if (skip) {
        next->read += 2 + size_t{e[1]};
        continue;
      }
    }
    front_ = next == &a ? 0 : 1;
    return true;
  }
}

bool TktSort::NextKey(TktVariant& key, int32_t& recno) {
  if (!HasMoreKeys()) return false;
  Merge& m = *merges_[static_cast<size_t>(front_)];  // 0 with one group
  const uint8_t* entry = m.current.data() + m.read;
  DecodeBytes(entry[0], entry + 2, entry[1], key, recno);
  if (merges_.size() > 1) {
    delivered_.assign(entry + 2, entry + 2 + entry[1]);
    delivered_kind_ = entry[0];
    have_delivered_ = true;
    if (unique_) delivered_value_.Assign(&key);
  }
  m.read += 2 + size_t{entry[1]};
  return true;
}

}  // namespace tessera
