#include "index/ntx_pages.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "index/index_file.h"
#include "index/ntx_tag.h"

namespace tessera {
namespace {

// No real tree is this deep; a deeper one has a child chain that loops.
constexpr int kMaxDepth = 64;
// The key an empty date's blanks stand for.
constexpr std::string_view kNoDate = "00000000";

using namespace index_bytes;

}  // namespace

NtxPages::NtxPages(KTobjNTXTag* tag) : tag_(tag) {
  // One page per depth, made once: a search holds on to the page of every
  // level above the one it reads.
  images_.resize(kMaxDepth + 2);
}

bool NtxPages::Usable() {
  L_ = tag_->KeyLength();
  entry_ = tag_->EntrySize();
  max_keys_ = tag_->MaxKeys();
  reverse_ = tag_->ReverseCompare();
  dates_ = tag_->KeyType() == 'D';
  table_end_ = 2 + 2 * (max_keys_ + 1);
  return L_ > 0 && entry_ == L_ + 8 && max_keys_ >= 2 && table_end_ + (max_keys_ + 1) * entry_ <= kPage;
}

// Checks a page as LoadNode does: where it lies, its count and every slot
// it uses. A child is checked when it is read (as the page it names).
bool NtxPages::Read(int32_t offset, Page& page) const {
  KTobjIndexFile* file = tag_->File();
  page.writes = kUnread;
  if (offset <= 0 || offset % kPage != 0) return false;
  if (offset + int64_t{kPage} > file->KnownSize() && offset + int64_t{kPage} > file->RefreshSize()) return false;
  if (!file->ReadBlock(offset, page.bytes, kPage)) return false;
  page.offset = offset;
  page.keys = Get16(page.bytes);
  if (page.keys > max_keys_) return false;
  const auto valid_slot = [&](int i) {
    const int at = page.SlotAt(i);
    return at >= table_end_ && at + entry_ <= kPage;
  };
  // A page whose first slot lies nowhere is an all-zero empty leaf; the
  // node objects take it as one, and so is it left to them.
  if (!valid_slot(0)) return false;
  page.interior = Get32(Slot(page, 0)) != 0;
  const int used = page.keys + (page.interior ? 1 : 0);
  for (int i = 0; i < used; ++i)
    if (!valid_slot(i)) return false;
  page.generation = file->CacheGeneration();
  page.writes = file->WriteCount();
  return true;
}

bool NtxPages::Permutation(const Page& page) const {
  bool seen[kPage / 9 + 1] = {};
  for (int i = 0; i <= max_keys_; ++i) {
    const int at = page.SlotAt(i);
    if (at < table_end_ || at + entry_ > kPage || (at - table_end_) % entry_ != 0) return false;
    const int n = (at - table_end_) / entry_;
    if (seen[n]) return false;
    seen[n] = true;
  }
  return true;
}

int32_t NtxPages::Child(const Page& page, int i) const { return Get32(Slot(page, i)); }
int32_t NtxPages::Record(const Page& page, int i) const { return Get32(Slot(page, i) + 4); }

std::string_view NtxPages::Text(const Page& page, int i) const {
  const auto* k = reinterpret_cast<const char*>(Slot(page, i) + 8);
  int n = L_;
  // Keys are padded with blanks, often many: eight at a time first.
  constexpr uint64_t kBlanks = 0x2020202020202020ull;
  for (uint64_t word; n >= 8; n -= 8) {
    std::memcpy(&word, k + n - 8, 8);
    if (word != kBlanks) break;
  }
  while (n > 0 && (k[n - 1] == ' ' || k[n - 1] == 0)) --n;
  if (n == 0 && dates_) return kNoDate;
  return {k, static_cast<size_t>(n)};
}

// The engine's comparison of two text values, as CompareKeys makes it: the
// empty value first, then the first differing byte, then (the target being
// the start of the key) the partial result.
int NtxPages::Compare(const KTobjIndexKeyData& target, std::string_view key, int partial) const {
  const int r = KTobjIndexTag::CompareKeyText(target.bytes(), key, partial);
  return reverse_ ? -r : r;
}

void NtxPages::SetKey(const Page& page, int i, KTobjIndexKeyData& key) const {
  key.SetText(Text(page, i));
  key.Reference = key.RecordNumber = Record(page, i);
}

// --- searches ---------------------------------------------------------------

int NtxPages::Search(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                     KTobjIndexKeyData& found) {
  path.clear();
  if (!Usable() || target.kind() != VariantKind::kCharacter) return 2;
  const int r = SearchPage(tag_->ReadRootOffset(), target, partial, false, path, found, 0);
  return r == 1 ? 2 : r;
}

// The first key not below the target (above it, with `after_equal`): in a
// page the first such key is found by halving; it is the answer unless a
// key of the child in front of it is one too. When no key below the child
// is, the path ends past the last key of the child's last leaf, which is
// where the framework sees the page's key.
int NtxPages::SearchPage(int32_t offset, const KTobjIndexKeyData& target, int partial, bool after_equal,
                         std::vector<PathStep>& path, KTobjIndexKeyData& found, int depth) {
  if (depth > kMaxDepth) return 2;
  Page& page = images_[static_cast<size_t>(depth)];
  if (!Read(offset, page)) return 2;
  int lo = 0, hi = page.keys;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = Compare(target, Text(page, mid), partial);
    if (c > 0 || (after_equal && c == 0)) lo = mid + 1;
    else hi = mid;
  }
  path.push_back({offset, lo});
  if (page.interior) {
    const int r = SearchPage(Child(page, lo), target, partial, after_equal, path, found, depth + 1);
    if (r != 1 || lo == page.keys) return r;
  } else if (lo == page.keys) {
    return 1;
  }
  SetKey(page, lo, found);
  return Compare(target, Text(page, lo), partial);
}

int NtxPages::Locate(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                     KTobjIndexKeyData& found) {
  path.clear();
  if (!Usable() || key.kind() != VariantKind::kCharacter || static_cast<int>(key.bytes().size()) > L_) return 2;
  const bool any = recno == KTobjIndexTag::kAnyRecord;
  const int r = SearchPage(tag_->ReadRootOffset(), key, -1, !any, path, found, 0);
  if (any || recno == KTobjIndexTag::kAfterEqual || r == 2) return r;
  // The entry of one record among equal keys: they are not ordered by
  // record, and a key this engine inserts goes after its equals, so they
  // are searched from the last one back (a record written lately is found
  // at once).
  std::vector<PathStep> walk = path;
  KTobjIndexKeyData entry;
  for (;;) {
    const int s = Step(false, walk, entry);
    if (s == 2) return 2;
    if (s == 0) return r;  // no key before: not there
    if (Compare(key, entry.bytes(), -1) != 0) return r;  // past the equal keys
    if (entry.Reference == recno) {
      path = std::move(walk);
      found.CopyFrom(entry);
      return 0;
    }
  }
}

// --- steps ------------------------------------------------------------------

bool NtxPages::ReadStepLeaf(int32_t offset) {
  KTobjIndexFile* file = tag_->File();
  if (step_.page.offset == offset && step_.generation == file->CacheGeneration() && step_.writes == file->WriteCount())
    return true;
  if (!Read(offset, step_.page) || step_.page.interior) {
    step_.page.offset = 0;
    return false;
  }
  step_.generation = file->CacheGeneration();
  step_.writes = file->WriteCount();
  return true;
}

int NtxPages::Following(const std::vector<PathStep>& path, size_t* level) {
  for (size_t k = path.size() - 1; k-- > 0;) {
    Page& page = images_[k];
    if (!Read(path[k].offset, page) || !page.interior) return 2;
    const int p = path[k].position;
    if (p < 0 || p > page.keys || Child(page, p) != path[k + 1].offset) return 2;
    if (p < page.keys) {
      *level = k;
      return 1;
    }
  }
  return 0;
}

bool NtxPages::Descend(int32_t offset, bool forward, std::vector<PathStep>& path, int depth) {
  for (;; ++depth) {
    if (depth > kMaxDepth) return false;
    Page& page = images_[static_cast<size_t>(depth)];
    if (!Read(offset, page)) return false;
    const int p = forward ? 0 : page.keys;
    path.push_back({offset, p});
    if (!page.interior) {
      // An empty leaf is left to the tree logic, which skips it.
      if (page.keys == 0) return false;
      std::memcpy(&step_.page, &page, sizeof(Page));
      step_.generation = tag_->File()->CacheGeneration();
      step_.writes = tag_->File()->WriteCount();
      return true;
    }
    offset = Child(page, p);
  }
}

// A step from the leaf at the end of the path, as the node objects take it
// over the framework's view: within the leaf, onto the key that follows it
// (held above), or from there (and from a leaf's first key backwards) up
// to the page with an entry further that way and down its first (or last)
// keys.
int NtxPages::Step(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current) {
  if (path.empty() || path.size() > static_cast<size_t>(kMaxDepth) || !Usable()) return 2;
  if (!ReadStepLeaf(path.back().offset)) return 2;
  const int n = step_.page.keys;
  const int position = path.back().position;
  if (position < 0 || position > n) return 2;
  if (forward ? position + 1 < n : position > 0) {
    const int next = position + (forward ? 1 : -1);
    path.back().position = next;
    NoteStep(next, forward);
    SetKey(step_.page, next, current);
    return 1;
  }
  if (forward && position + 1 == n) {
    // Onto the key that follows the leaf, when it is not the last.
    size_t level = 0;
    const int r = Following(path, &level);
    if (r != 1) return r;
    path.back().position = n;
    NoteStep(n, forward);
    SetKey(images_[level], path[level].position, current);
    return 1;
  }
  if (forward) {
    // Past the key that follows the leaf: the first key of the next child
    // of the page that holds it.
    size_t level = 0;
    if (Following(path, &level) != 1) return 2;
    std::vector<PathStep> moved(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(level) + 1);
    const int p = ++moved.back().position;
    if (!Descend(Child(images_[level], p), true, moved, static_cast<int>(level) + 1)) {
      step_.page.offset = 0;
      return 2;
    }
    path = std::move(moved);
    NoteStep(0, forward);
    SetKey(step_.page, 0, current);
    return 1;
  }
  // Backwards from a leaf's first key: the key in front of the child the
  // path went through, on the deepest page where that is not the first.
  for (size_t k = path.size() - 1; k-- > 0;) {
    Page& page = images_[k];
    if (!Read(path[k].offset, page) || !page.interior) return 2;
    const int p = path[k].position;
    if (p < 0 || p > page.keys || Child(page, p) != path[k + 1].offset) return 2;
    if (p == 0) continue;
    std::vector<PathStep> moved(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(k) + 1);
    moved.back().position = p - 1;
    // The last leaf of that child, past its keys: the page's key p - 1.
    if (!Descend(Child(page, p - 1), false, moved, static_cast<int>(k) + 1)) {
      step_.page.offset = 0;
      return 2;
    }
    path = std::move(moved);
    NoteStep(path.back().position, forward);
    SetKey(images_[k], p - 1, current);
    return 1;
  }
  return 0;
}

int32_t NtxPages::RecordAhead(const std::vector<PathStep>& path, int n) const {
  if (step_.page.offset == 0 || path.empty() || path.back().offset != step_.page.offset ||
      path.back().position != step_.position)
    return 0;
  const int i = step_.position + (step_.forward ? n : -n);
  return i >= 0 && i < step_.page.keys ? Record(step_.page, i) : 0;
}

// --- changes ----------------------------------------------------------------

bool NtxPages::LoadPath(const std::vector<PathStep>& path, size_t swapped_from) {
  if (path.empty() || path.size() > static_cast<size_t>(kMaxDepth)) return false;
  pages_.resize(path.size());
  const KTobjIndexFile* file = tag_->File();
  for (size_t k = 0; k < path.size(); ++k) {
    Page& page = pages_[k];
    const bool leaf = k + 1 == path.size();
    const Page& seen = images_[k];
    if (seen.offset == path[k].offset && seen.writes == file->WriteCount() &&
        seen.generation == file->CacheGeneration()) {
      page = seen;
    } else if (!Read(path[k].offset, page)) {
      return false;
    }
    if (page.interior == leaf) return false;
    if (k >= swapped_from && !Permutation(page)) return false;
    const int p = path[k].position;
    if (p < 0 || p > page.keys) return false;
    if (!leaf && Child(page, p) != path[k + 1].offset) return false;
  }
  return true;
}

void NtxPages::Write(Page& page) {
  Put16(page.bytes, static_cast<uint32_t>(page.keys));
  tag_->File()->WriteBlock(page.offset, page.bytes, kPage);
  written_.push_back(page.offset);
}

// The entry goes into the first free slot (on an interior page the one
// after the rightmost child's); the offsets from position i on move one
// place up and the free slot's offset takes position i.
void NtxPages::PutEntry(Page& page, int i, const uint8_t* entry) {
  const int free = page.keys + (page.interior ? 1 : 0);
  const int at = page.SlotAt(free);
  std::memcpy(page.bytes + at, entry, static_cast<size_t>(entry_));
  uint8_t* table = page.bytes + 2;
  std::memmove(table + 2 * (i + 1), table + 2 * i, static_cast<size_t>(2 * (free - i)));
  Put16(table + 2 * i, static_cast<uint32_t>(at));
  ++page.keys;
}

// The reverse swap on a leaf: the offsets after position i move one place
// down and the slot of the key taken out becomes the first free one.
void NtxPages::TakeEntry(Page& page, int i) {
  const int last = page.keys - 1;
  const int at = page.SlotAt(i);
  uint8_t* table = page.bytes + 2;
  std::memmove(table + 2 * i, table + 2 * (i + 1), static_cast<size_t>(2 * (last - i)));
  Put16(table + 2 * last, static_cast<uint32_t>(at));
  --page.keys;
}

// On an interior page: the offsets after key i (the rightmost child's
// too) move one place down; the slot of key i becomes the first free one.
void NtxPages::TakeInterior(Page& page, int i) {
  const int last = page.keys;
  const int at = page.SlotAt(i);
  uint8_t* table = page.bytes + 2;
  std::memmove(table + 2 * i, table + 2 * (i + 1), static_cast<size_t>(2 * (last - i)));
  Put16(table + 2 * last, static_cast<uint32_t>(at));
  --page.keys;
}

void NtxPages::WriteOrdered(int32_t offset, const std::vector<uint8_t>& entries, int first, int last, bool interior,
                            int32_t rightmost) {
  uint8_t p[kPage] = {};
  const int count = last - first;
  Put16(p, static_cast<uint32_t>(count));
  for (int i = 0; i <= max_keys_; ++i) Put16(p + 2 + 2 * i, static_cast<uint32_t>(table_end_ + i * entry_));
  std::memcpy(p + table_end_, entries.data() + static_cast<size_t>(first) * entry_,
              static_cast<size_t>(count) * entry_);
  if (interior) {
    // The slot after the keys carries only the rightmost child.
    uint8_t* s = p + table_end_ + count * entry_;
    Put32(s, rightmost);
    std::memset(s + 8, ' ', static_cast<size_t>(L_));
  }
  tag_->File()->WriteBlock(offset, p, kPage);
  written_.push_back(offset);
}

void NtxPages::Split(Page& page, int i, const uint8_t* entry, std::vector<uint8_t>& up) {
  // The page's keys in order with the new one among them.
  const int n = page.keys + 1;
  entries_.resize(static_cast<size_t>(n) * entry_);
  for (int j = 0, k = 0; j < n; ++j) {
    const uint8_t* from = j == i ? entry : Slot(page, k++);
    std::memcpy(entries_.data() + static_cast<size_t>(j) * entry_, from, static_cast<size_t>(entry_));
  }
  const int32_t rightmost = page.interior ? Child(page, page.keys) : 0;
  const int middle = n / 2;
  const uint8_t* mid = entries_.data() + static_cast<size_t>(middle) * entry_;
  const int32_t left = tag_->File()->AllocateNode();
  // The keys before the middle one, with its child as their rightmost.
  WriteOrdered(left, entries_, 0, middle, page.interior, Get32(mid));
  WriteOrdered(page.offset, entries_, middle + 1, n, page.interior, rightmost);
  up.assign(mid, mid + entry_);
  Put32(up.data(), left);
}

bool NtxPages::Insert(const KTobjIndexKeyData& key, const std::vector<PathStep>& path) {
  if (!Usable() || key.kind() != VariantKind::kCharacter) return false;
  const std::string_view text = key.bytes();
  if (static_cast<int>(text.size()) > L_) return false;
  // The key goes into the deepest page on the path that has room (the
  // ones below it split and are written whole): only there are slots
  // swapped through the offset table.
  if (!LoadPath(path, path.size())) return false;
  size_t room = path.size();
  while (room-- > 0 && pages_[room].keys >= max_keys_) {
  }
  if (room < path.size() && !Permutation(pages_[room])) return false;
  written_.clear();
  std::vector<uint8_t> entry(static_cast<size_t>(entry_), ' ');
  Put32(entry.data(), 0);
  Put32(entry.data() + 4, key.Reference);
  std::memcpy(entry.data() + 8, text.data(), text.size());
  std::vector<uint8_t> up;
  for (size_t k = path.size(); k-- > 0;) {
    Page& page = pages_[k];
    const int i = path[k].position;
    if (page.keys < max_keys_) {
      PutEntry(page, i, entry.data());
      Write(page);
      return true;
    }
    Split(page, i, entry.data(), up);
    entry.swap(up);
  }
  // The root split: a new root holds the middle key between the two.
  const int32_t root = tag_->File()->AllocateNode();
  entries_.assign(entry.begin(), entry.end());
  WriteOrdered(root, entries_, 0, 1, true, pages_[0].offset);
  tag_->SetRoot(root);
  tag_->MarkHeaderDirty();
  tag_->WriteTagHeader();
  return true;
}

// A page (pages_[level]) left without keys below the root takes a key
// through its parent from a neighbour (the right one, else the left), or
// is merged with the neighbour and the key between them when the
// neighbour has none to spare; then the parent has lost a key. In memory
// only: false when a page read does not look right.
bool NtxPages::Refill(const std::vector<PathStep>& path, size_t level, bool* merged) {
  Page& page = pages_[level];
  Page& parent = pages_[level - 1];
  const int c = path[level - 1].position;
  if (parent.keys == 0) return false;
  const bool right = c < parent.keys;
  const int between = right ? c : c - 1;
  Page& sibling = siblings_[level];
  if (!Read(Child(parent, right ? c + 1 : c - 1), sibling) || sibling.interior != page.interior ||
      !Permutation(sibling))
    return false;
  const bool interior = page.interior;
  std::vector<uint8_t> entry(Slot(parent, between), Slot(parent, between) + entry_);
  uint8_t* parent_key = parent.bytes + parent.SlotAt(between);
  parent.dirty = true;
  if (sibling.keys > 1) {
    // A rotation: the key between goes down, the neighbour's nearest key
    // up in its place (with the child beside it, on interior pages).
    sibling.dirty = page.dirty = true;
    *merged = false;
    if (right) {
      Put32(entry.data(), interior ? Child(page, 0) : 0);
      PutEntry(page, 0, entry.data());
      if (interior) Put32(page.bytes + page.SlotAt(1), Child(sibling, 0));
      std::memcpy(parent_key + 4, Slot(sibling, 0) + 4, static_cast<size_t>(entry_ - 4));
      if (interior) TakeInterior(sibling, 0);
      else TakeEntry(sibling, 0);
    } else {
      const int last = sibling.keys - 1;
      Put32(entry.data(), interior ? Child(sibling, sibling.keys) : 0);
      PutEntry(page, 0, entry.data());
      std::memcpy(parent_key + 4, Slot(sibling, last) + 4, static_cast<size_t>(entry_ - 4));
      if (interior) {
        Put32(sibling.bytes + sibling.SlotAt(sibling.keys), Child(sibling, last));
        TakeInterior(sibling, last);
      } else {
        TakeEntry(sibling, last);
      }
    }
    return true;
  }
  // A merge into the left page of the two: its keys, the key between (with
  // its rightmost child), the right page's keys and rightmost child. The
  // parent's entry of the right page leads to the left one instead.
  *merged = true;
  Page& left = right ? page : sibling;
  Page& gone = right ? sibling : page;
  left.dirty = true;
  gone.dirty = false;
  gone.dropped = true;
  Put32(entry.data(), interior ? Child(left, left.keys) : 0);
  PutEntry(left, left.keys, entry.data());
  for (int j = 0; j < gone.keys; ++j) PutEntry(left, left.keys, Slot(gone, j));
  if (interior) Put32(left.bytes + left.SlotAt(left.keys), Child(gone, gone.keys));
  Put32(parent.bytes + parent.SlotAt(between + 1), left.offset);
  TakeInterior(parent, between);
  return true;
}

bool NtxPages::Remove(const std::vector<PathStep>& path, std::vector<int32_t>& touched) {
  if (!Usable() || !LoadPath(path, 0)) return false;
  written_.clear();
  const size_t depth = path.size();
  if (siblings_.size() < depth) siblings_.resize(depth);
  for (size_t k = 0; k < depth; ++k) {
    pages_[k].dirty = pages_[k].dropped = false;
    siblings_[k].dirty = siblings_[k].dropped = false;
  }
  Page& leaf = pages_.back();
  const int i = path.back().position;
  leaf.dirty = true;
  if (i < leaf.keys) {
    TakeEntry(leaf, i);
  } else {
    // The key that follows the leaf is held above: the leaf's last key
    // takes its place there.
    size_t holder = depth;
    for (size_t k = depth - 1; k-- > 0;)
      if (path[k].position < pages_[k].keys) {
        holder = k;
        break;
      }
    if (holder == depth || leaf.keys == 0) return false;
    Page& h = pages_[holder];
    std::memcpy(h.bytes + h.SlotAt(path[holder].position) + 4, Slot(leaf, leaf.keys - 1) + 4,
                static_cast<size_t>(entry_ - 4));
    h.dirty = true;
    TakeEntry(leaf, leaf.keys - 1);
  }
  // Pages emptied on the way up are filled again; every page is read
  // before anything is written.
  for (size_t level = depth - 1; level > 0 && pages_[level].keys == 0; --level) {
    bool merged = false;
    if (!Refill(path, level, &merged)) return false;
    if (!merged) break;
  }
  int32_t new_root = 0;
  if (pages_[0].interior && pages_[0].keys == 0) {
    // The root gave its last key: its one child is the root now.
    new_root = Child(pages_[0], 0);
    pages_[0].dirty = false;
  }
  for (size_t k = depth; k-- > 0;) {
    if (siblings_[k].dirty) Write(siblings_[k]);
    if (pages_[k].dirty && !pages_[k].dropped) Write(pages_[k]);
  }
  if (new_root != 0) {
    // The old root is no longer on any path: a path found before through
    // it must be found again.
    written_.push_back(pages_[0].offset);
    tag_->SetRoot(new_root);
    tag_->MarkHeaderDirty();
    tag_->WriteTagHeader();
  }
  touched.insert(touched.end(), written_.begin(), written_.end());
  return true;
}

}  // namespace tessera
