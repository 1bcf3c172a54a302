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

// Sort node, 10 bytes (pool memory only, never written to a file):
//   0  4 bytes  child: first node of the next level (reference), 0 none
//   4  4 bytes  next sibling (reference), 0 none; or, when the inline count
//               is above 0, up to four key bytes that follow this node's byte
//   8  1 byte   flags, below
//   9  1 byte   the key byte of this node
// A node with inline bytes is always an only child: before a sibling is
// added beside it, its inline bytes are moved down into a new node.
constexpr int kChild = 0;
constexpr int kNext = 4;
constexpr int kFlags = 8;
constexpr int kByte = 9;
// Flags: bits 0-2 the inline count 0..4; bit 3 set when a key ends with
// this node's last byte (a key may end above other keys' nodes when one
// encoded key is a prefix of another); bits 4-6 the kind code of the key
// that ends here; bit 7 set when the byte is a value byte of a character key
// under a collation table.
constexpr uint8_t kInlineMask = 0x07;
constexpr uint8_t kEndsHere = 0x08;
constexpr uint8_t kKindMask = 0x70;
constexpr uint8_t kCollated = 0x80;

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

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
  walk_stack_.reserve(3 * (kMaxKeyLength + 4) + 1);
}

TktSort::~TktSort() = default;

size_t TktSort::MemoryBytes() const {
  size_t pages = 0;
  for (size_t i = 0; i < runs_.Count(); ++i) pages += runs_[i]->PageCount();
  return blocks_.size() * static_cast<size_t>(kBlockSize) + pages * TktPageCollection::kPageSize;
}

// ---------------------------------------------------------------------------
// Node pool

uint8_t* TktSort::Node(uint32_t ref) const {
  const uint32_t n = ref - 1;
  return blocks_[n / kNodesPerBlock].get() + (n % kNodesPerBlock) * kNodeSize;
}

uint32_t TktSort::NewNode() {
  if (used_ + kNodeSize > kBlockSize) {
    if (current_block_ + 1 >= blocks_.size()) {
      // AddKey flushes before a key could need more nodes than the last
      // block has left, so this is never reached.
      if (blocks_.size() >= static_cast<size_t>(kMaxBlocks)) throw ETesseraError("Sort node pool exhausted");
      blocks_.push_back(std::make_unique<uint8_t[]>(kBlockSize));
    }
    ++current_block_;
    used_ = 0;
  }
  const uint32_t ref = static_cast<uint32_t>(current_block_ * kNodesPerBlock + used_ / kNodeSize + 1);
  used_ += kNodeSize;
  return ref;
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

  // A key needs at most one node per byte. Only when the last block cannot
  // hold that many is the trie written out, so a flush never falls inside
  // one key's insertion.
  if (used_ + kNodeSize * length >= kBlockSize && current_block_ + 1 >= static_cast<size_t>(kMaxBlocks)) Flush();
  Insert(length, code, collated);
  ++key_count_;
}

// Moves the first inline byte of `first` (an only child) down
// into a new node, which takes the remaining inline bytes, the child and the
// end-of-key mark.
void TktSort::ExpandFirst(uint32_t first) {
  const uint32_t made = NewNode();  // may take a new block; node addresses stay valid
  uint8_t* f = Node(first);
  uint8_t* m = Node(made);
  const int count = f[kFlags] & kInlineMask;
  Store32(m + kChild, Load32(f + kChild));
  m[kByte] = f[kNext];
  // The remaining inline bytes move up by one; with none left the field is
  // the (empty) sibling link.
  uint8_t rest[4] = {f[kNext + 1], f[kNext + 2], f[kNext + 3], 0};
  if (count == 1) std::memset(rest, 0, sizeof rest);
  std::memcpy(m + kNext, rest, sizeof rest);
  m[kFlags] = static_cast<uint8_t>((f[kFlags] & ~kInlineMask) | (count - 1));
  Store32(f + kChild, made);
  Store32(f + kNext, 0);
  f[kFlags] = static_cast<uint8_t>(f[kFlags] & (kKindMask | kCollated));
}

void TktSort::Insert(int32_t length, uint8_t kind_code, int32_t collated) {
  const uint8_t* key = scratch_;
  uint8_t* parent = root_;
  int32_t i = 0;
  while (i < length) {
    const uint32_t first = Load32(parent + kChild);
    if (first != 0 && (Node(first)[kFlags] & kInlineMask) != 0) ExpandFirst(first);

    const uint8_t b = key[i];
    const bool cb = i < collated;
    // Siblings are in sort order: walk while the key byte sorts after them.
    // The walk may start at the node the previous key took at this offset
    // under the same parent when the byte sorts after it: the nodes before
    // it sort before it too. Keys arriving in record order with equal values
    // go to the end of long sibling lists, which this spares walking.
    uint8_t* prev = nullptr;
    uint32_t cur = first;
    if (hint_parent_[i] == parent) {
      const uint8_t* h = Node(hint_node_[i]);
      int c = Order(b, cb, h[kByte], (h[kFlags] & kCollated) != 0);
      if (!ascending_) c = -c;
      if (c >= 0) {
        prev = Node(hint_node_[i]);
        cur = c == 0 ? hint_node_[i] : Load32(h + kNext);
      }
    }
    int c = 1;
    while (cur != 0) {
      const uint8_t* n = Node(cur);
      c = Order(b, cb, n[kByte], (n[kFlags] & kCollated) != 0);
      if (!ascending_) c = -c;
      if (c <= 0) break;
      prev = Node(cur);
      cur = Load32(n + kNext);
    }
    hint_parent_[i] = parent;
    if (cur != 0 && c == 0) {
      hint_node_[i] = cur;
      parent = Node(cur);
      ++i;
      continue;
    }

    const uint32_t made = NewNode();
    uint8_t* m = Node(made);
    Store32(m + kChild, 0);
    Store32(m + kNext, cur);  // before the node where the walk stopped, or last
    m[kByte] = b;
    int inl = 0;
    if (first == 0) {
      // The parent's only child: the following bytes, up to four, ride in
      // this node (only bytes ordered alike, so an expansion knows theirs).
      while (inl < 4 && i + 1 + inl < length && (i + 1 + inl < collated) == cb) {
        m[kNext + inl] = key[i + 1 + inl];
        ++inl;
      }
    }
    m[kFlags] = static_cast<uint8_t>(kind_code | (cb ? kCollated : 0) | inl);
    if (prev != nullptr) Store32(prev + kNext, made);
    else Store32(parent + kChild, made);
    hint_node_[i] = made;
    parent = m;
    i += 1 + inl;
  }
  parent[kFlags] = static_cast<uint8_t>((parent[kFlags] & ~kKindMask) | kEndsHere | kind_code);
}

// ---------------------------------------------------------------------------
// Flush: the trie, in order, into a new run

void TktSort::EmitKey(TktPageCollection* run, int32_t length, uint8_t kind_code, int32_t& low) {
  const int32_t shared = std::min(low, length);
  run->Append(kind_code, length, length - shared, walk_ + shared);
  low = length;
}

void TktSort::Flush() {
  const uint32_t top = Load32(root_ + kChild);
  if (top == 0) return;
  auto owned = std::make_unique<TktPageCollection>();
  TktPageCollection* run = owned.get();
  runs_.Add(std::move(owned));

  // Depth-first walk. Siblings are already in sort order. A key that ends
  // above other keys' nodes is written before them in an ascending sort and
  // after them in a descending one. `low` is the lowest walk-buffer offset
  // rewritten since the last key was written: the next key shares the bytes
  // below it with that key.
  int32_t low = 0;
  walk_stack_.clear();
  walk_stack_.push_back({top, 0, 0});
  while (!walk_stack_.empty()) {
    const WalkEntry e = walk_stack_.back();
    walk_stack_.pop_back();
    if (e.node == 0) {
      EmitKey(run, e.depth, e.kind, low);
      continue;
    }
    const uint8_t* n = Node(e.node);
    const uint8_t flags = n[kFlags];
    const int count = flags & kInlineMask;
    walk_[e.depth] = n[kByte];
    std::memcpy(walk_ + e.depth + 1, n + kNext, static_cast<size_t>(count));
    low = std::min<int32_t>(low, e.depth);
    const int32_t end = e.depth + 1 + count;

    if (count == 0) {
      const uint32_t next = Load32(n + kNext);
      if (next != 0) walk_stack_.push_back({next, e.depth, 0});
    }
    const uint32_t child = Load32(n + kChild);
    const uint8_t code = flags & kKindMask;
    if ((flags & kEndsHere) != 0) {
      if (child == 0 || ascending_) EmitKey(run, end, code, low);
      else walk_stack_.push_back({0, static_cast<uint16_t>(end), code});
    }
    if (child != 0) walk_stack_.push_back({child, static_cast<uint16_t>(end), 0});
  }
  run->StartReading();

  // The trie is empty again; the blocks are kept for the next keys.
  Store32(root_ + kChild, 0);
  std::fill(std::begin(hint_parent_), std::end(hint_parent_), nullptr);
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
  current_block_ = 0;
  used_ = 0;
  accepting_ = false;
  for (size_t i = 0; i < runs_.Count(); ++i)
    if (!runs_[i]->Exhausted()) heap_.push_back(static_cast<int>(i));
  for (size_t i = heap_.size() / 2; i-- > 0;) SiftDown(i);
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

void TktSort::SiftDown(size_t at) {
  const size_t n = heap_.size();
  for (;;) {
    size_t first = at;
    const size_t l = 2 * at + 1, r = l + 1;
    if (l < n && RunBefore(heap_[l], heap_[first])) first = l;
    if (r < n && RunBefore(heap_[r], heap_[first])) first = r;
    if (first == at) return;
    std::swap(heap_[at], heap_[first]);
    at = first;
  }
}

// The run at the top of the heap reads its next key and takes its place
// again (or leaves the heap when exhausted).
void TktSort::AdvanceTop() {
  TktPageCollection* run = runs_[static_cast<size_t>(heap_.front())];
  run->ReadEntry();
  if (run->Exhausted()) {
    heap_.front() = heap_.back();
    heap_.pop_back();
  }
  if (!heap_.empty()) SiftDown(0);
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
  while (!heap_.empty()) {
    const TktPageCollection& run = *runs_[static_cast<size_t>(heap_.front())];
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
    selected_ = heap_.front();
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
