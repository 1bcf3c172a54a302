#include "index/key_sort.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "engine/errors.h"
#include "engine/messages.h"

namespace tessera {
namespace {

// Kind codes of encoded keys, as held in sort nodes and run entries.
constexpr uint8_t kCodeBinary = 0x10;
constexpr uint8_t kCodeCharacter = 0x20;
constexpr uint8_t kCodeNumeric = 0x30;
constexpr uint8_t kCodeDate = 0x40;

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

TktSort::TktSort(int32_t max_key_length, const uint8_t* collation, bool ascending, bool unique)
    : max_key_length_(max_key_length), collation_(collation), ascending_(ascending), unique_(unique) {
  if (max_key_length > kMaxKeyLength) throw ETesseraError(msg::kSortKeyTooLong);
  blocks_.push_back(std::make_unique<uint8_t[]>(kBlockSize));
}

TktSort::~TktSort() = default;

size_t TktSort::MemoryBytes() const {
  size_t pages = 0;
  for (size_t i = 0; i < runs_.Count(); ++i) pages += runs_[i]->PageCount();
  return (blocks_.size() + static_cast<size_t>(SlotBlocks())) * static_cast<size_t>(kBlockSize) +
         pages * TktPageCollection::kPageSize;
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
  const int32_t m = std::min(la, lb);
  if (ca == 0 && cb == 0) {
    const int c = std::memcmp(a, b, static_cast<size_t>(m));
    if (c != 0) return c;
  } else {
    for (int32_t i = 0; i < m; ++i) {
      const int c = Order(a[i], i < ca, b[i], i < cb);
      if (c != 0) return c;
    }
  }
  // A key that is a prefix of another comes first, as the trie writes it.
  return la - lb;
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
      StoreBigEndian32(scratch_, static_cast<uint32_t>(bits >> 32));
      StoreBigEndian32(scratch_ + 4, static_cast<uint32_t>(bits));
      length = 8;
      code = kCodeNumeric;
      break;
    }
    case VariantKind::kDate: {
      // The day number, most significant first, with its sign bit flipped
      // so that a negative day number sorts before the others.
      const uint32_t day = static_cast<uint32_t>(key.AsDayNumber());
      StoreBigEndian32(scratch_, day ^ 0x80000000u);
      length = 4;
      code = kCodeDate;
      break;
    }
    default: break;
  }
  const int32_t collated = (collation_ != nullptr && code == kCodeCharacter) ? length : 0;
  StoreBigEndian32(scratch_ + length, static_cast<uint32_t>(recno));
  length += 4;

  Gather(length, code, collated);
  ++key_count_;
}

// Takes the scratch key into the pool, writing the pool out as a run first
// when it has no room left: a key's bytes and its slot.
void TktSort::Gather(int32_t length, uint8_t kind_code, int32_t collated) {
  const bool new_block = used_ + length > kBlockSize;
  const bool new_slots = slots_.size() == slots_.capacity();
  const size_t key_blocks = std::max(blocks_.size(), current_block_ + 1 + (new_block ? 1 : 0));
  if (static_cast<int32_t>(key_blocks) + SlotBlocks() + (new_slots ? 1 : 0) > kMaxBlocks && !slots_.empty()) {
    Flush();  // the pool keeps its blocks: the key fits now
    Gather(length, kind_code, collated);
    return;
  }
  if (new_block) {
    ++current_block_;
    if (current_block_ >= blocks_.size()) blocks_.push_back(std::make_unique<uint8_t[]>(kBlockSize));
    used_ = 0;
  }
  if (new_slots) slots_.reserve(slots_.capacity() + static_cast<size_t>(kSlotsPerBlock));
  uint8_t* at = blocks_[current_block_].get() + used_;
  std::memcpy(at, scratch_, static_cast<size_t>(length));
  Slot slot{};
  if (collation_ == nullptr) {
    uint8_t first[8] = {};
    std::memcpy(first, scratch_, static_cast<size_t>(std::min(length, 8)));
    for (uint8_t b : first) slot.prefix = (slot.prefix << 8) | b;
  }
  slot.ref = static_cast<uint32_t>(current_block_ * kBlockSize + static_cast<size_t>(used_));
  slot.size = static_cast<uint8_t>(length);
  slot.kind = kind_code;
  slot.collated = static_cast<uint8_t>(collated);
  slots_.push_back(slot);
  used_ += length;
}

// ---------------------------------------------------------------------------
// Flush: the pool, sorted, into a new run

void TktSort::Flush() {
  if (slots_.empty()) return;
  auto owned = std::make_unique<TktPageCollection>();
  TktPageCollection* run = owned.get();
  runs_.Add(std::move(owned));

  // Of equal keys the one added first comes first (the slots' references
  // grow in the order keys arrive), so that it is the one kept below.
  auto before = [this](const Slot& a, const Slot& b) {
    if (a.prefix != b.prefix) return ascending_ ? a.prefix < b.prefix : a.prefix > b.prefix;
    int c;
    if (collation_ == nullptr && a.size >= 8 && b.size >= 8) {
      // Equal prefixes of two keys of at least 8 bytes are their first 8
      // bytes: the comparison starts after them.
      c = std::memcmp(SlotBytes(a) + 8, SlotBytes(b) + 8, static_cast<size_t>(std::min(a.size, b.size) - 8));
      if (c == 0) c = a.size - b.size;
    } else {
      c = CompareEncoded(SlotBytes(a), a.size, a.collated, SlotBytes(b), b.size, b.collated);
    }
    if (!ascending_) c = -c;
    return c != 0 ? c < 0 : a.ref < b.ref;
  };
  std::sort(slots_.begin(), slots_.end(), before);

  // Equal encoded keys (the same value added twice for the same record, or
  // values the collation table weighs alike) go out once: the bytes of the
  // first added, the kind of the last.
  const uint8_t* previous = nullptr;
  int32_t previous_size = 0;
  for (size_t i = 0; i < slots_.size();) {
    const Slot& s = slots_[i];
    const uint8_t* bytes = SlotBytes(s);
    size_t j = i + 1;
    while (j < slots_.size() && slots_[j].prefix == s.prefix &&
           CompareEncoded(bytes, s.size, s.collated, SlotBytes(slots_[j]), slots_[j].size, slots_[j].collated) == 0)
      ++j;
    int32_t shared = 0;
    const int32_t most = std::min<int32_t>(previous_size, s.size);
    while (shared < most && previous[shared] == bytes[shared]) ++shared;
    run->Append(slots_[j - 1].kind, s.size, s.size - shared, bytes + shared);
    previous = bytes;
    previous_size = s.size;
    i = j;
  }
  run->StartReading();

  // The pool is empty again; its blocks are kept for the next keys.
  slots_.clear();
  current_block_ = 0;
  used_ = 0;
}

// ---------------------------------------------------------------------------
// Retrieval

void TktSort::StartRetrieval() {
  if (!accepting_) return;
  Flush();
  blocks_.clear();
  blocks_.shrink_to_fit();
  slots_.clear();
  slots_.shrink_to_fit();
  current_block_ = 0;
  used_ = 0;
  accepting_ = false;
  // The tournament: each inner node keeps the run that lost the match
  // there, tree_[0] the overall winner; a leaf stands for run i at k + i.
  const size_t k = runs_.Count();
  tree_.assign(std::max<size_t>(k, 1), 0);
  std::vector<int> winner(2 * k);
  for (size_t i = 0; i < k; ++i) winner[k + i] = static_cast<int>(i);
  for (size_t n = k; n-- > 1;) {
    const int a = winner[2 * n], b = winner[2 * n + 1];
    const bool a_first = Wins(a, b);
    winner[n] = a_first ? a : b;
    tree_[n] = a_first ? b : a;
  }
  tree_[0] = k == 0 ? -1 : (k == 1 ? 0 : winner[1]);
}

// Exhausted runs lose every match (among themselves the earlier run wins,
// which keeps the order total).
bool TktSort::Wins(int a, int b) const {
  const bool done_a = runs_[static_cast<size_t>(a)]->Exhausted();
  const bool done_b = runs_[static_cast<size_t>(b)]->Exhausted();
  if (done_a || done_b) return done_a == done_b ? a < b : done_b;
  return RunBefore(a, b);
}

int32_t TktSort::CollatedCount(const TktPageCollection& run) const {
  return (collation_ != nullptr && run.KeyKind() == kCodeCharacter) ? run.KeySize() - 4 : 0;
}

// Whether the current key of run a comes before that of run b. Of two equal
// keys the one of the earlier run comes first, as a scan of the runs in
// creation order would choose.
bool TktSort::RunBefore(int a, int b) const {
  const TktPageCollection& ra = *runs_[static_cast<size_t>(a)];
  const TktPageCollection& rb = *runs_[static_cast<size_t>(b)];
  int c = CompareEncoded(ra.Key(), ra.KeySize(), CollatedCount(ra), rb.Key(), rb.KeySize(), CollatedCount(rb));
  if (!ascending_) c = -c;
  return c != 0 ? c < 0 : a < b;
}

// The winner read its next key: it plays again from its leaf to the top,
// one match per level (a heap would take two).
void TktSort::AdvanceTop() {
  const int top = tree_[0];
  runs_[static_cast<size_t>(top)]->ReadEntry();
  const size_t k = runs_.Count();
  int winner = top;
  for (size_t n = (k + static_cast<size_t>(top)) / 2; n > 0; n /= 2) {
    if (Wins(tree_[n], winner)) std::swap(tree_[n], winner);
  }
  tree_[0] = winner;
}

void TktSort::DecodeKey(const TktPageCollection& run, TktVariant& key, int32_t& recno) {
  const uint8_t* p = run.Key();
  const int32_t size = run.KeySize() - 4;
  recno = static_cast<int32_t>(LoadBigEndian32(p + size));
  switch (run.KeyKind()) {
    case kCodeCharacter:
      key.SetText(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(size)));
      break;
    case kCodeNumeric: {
      uint64_t bits = (uint64_t{LoadBigEndian32(p)} << 32) | LoadBigEndian32(p + 4);
      bits = (bits >> 63) != 0 ? bits & ~(uint64_t{1} << 63) : ~bits;
      double value;
      std::memcpy(&value, &bits, sizeof value);
      key.SetNumber(value);
      break;
    }
    case kCodeDate: key.SetDayNumber(static_cast<int32_t>(LoadBigEndian32(p) ^ 0x80000000u)); break;
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

bool TktSort::SelectNext() {
  if (selected_ >= 0) return true;
  StartRetrieval();
  while (tree_[0] >= 0 && !runs_[static_cast<size_t>(tree_[0])]->Exhausted()) {
    const TktPageCollection& run = *runs_[static_cast<size_t>(tree_[0])];
    // The same key for the same record, added twice and written to two
    // runs, is delivered once (within one run the trie already merged it).
    if (prev_size_ > 0 &&
        CompareEncoded(run.Key(), run.KeySize(), CollatedCount(run), prev_, prev_size_, prev_collated_) == 0) {
      AdvanceTop();
      continue;
    }
    if (unique_ && have_last_) {
      int32_t recno = 0;
      DecodeKey(run, candidate_, recno);
      if (SameValue(candidate_, last_)) {
        AdvanceTop();
        continue;
      }
    }
    selected_ = tree_[0];
    return true;
  }
  return false;
}

bool TktSort::HasMoreKeys() { return SelectNext(); }

bool TktSort::NextKey(TktVariant& key, int32_t& recno) {
  if (!SelectNext()) return false;
  const TktPageCollection& run = *runs_[static_cast<size_t>(selected_)];
  DecodeKey(run, key, recno);
  std::memcpy(prev_, run.Key(), static_cast<size_t>(run.KeySize()));
  prev_size_ = run.KeySize();
  prev_collated_ = CollatedCount(run);
  AdvanceTop();
  selected_ = -1;
  if (unique_) {
    last_.Assign(&key);
    have_last_ = true;
  }
  return true;
}

}  // namespace tessera
