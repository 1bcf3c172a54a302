#include "index/fixed_nodes.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "index/index_file.h"
#include "index/mdx_file.h"
#include "index/mdx_tag.h"

namespace tessera {
namespace {

// No real tree is this deep; a deeper one has a child chain that loops.
constexpr int kMaxDepth = 64;

// Keys before a leaf's end at which a step reads the next leaf: more than
// a walk's record fetches look ahead (the table's kReadAhead + kFetchBatch).
constexpr int kNeighbourAhead = 24;

int32_t Get32(const uint8_t* p) { return static_cast<int32_t>(bytes::GetLE32(p)); }
void Put32(uint8_t* p, int32_t v) { bytes::PutLE32(p, static_cast<uint32_t>(v)); }

}  // namespace

FixedNodes::FixedNodes(KTobjIndexTag* tag, KTobjMDXTag* mdx) : tag_(tag), mdx_(mdx) {
  // One image per depth, made once: a search holds on to the image of every
  // node above the one it reads.
  images_.resize(kMaxDepth + 2);
}

bool FixedNodes::Usable() {
  if (tag_->KeyType() != 'C') return false;
  L_ = tag_->KeyLength();
  entry_ = tag_->EntrySize();
  reverse_ = tag_->ReverseCompare();
  if (mdx_ != nullptr) {
    block_ = static_cast<const KTobjMDXFile*>(tag_->File())->BlockBytes();
    header_ = 8;
    key_at_ = 4;
    record_at_ = 0;
    max_keys_ = mdx_->MaxKeys();
    capacity_ = KTobjMDXTag::CapacityFor(block_, entry_);
  } else {
    block_ = 512;
    header_ = 4;
    key_at_ = 8;
    record_at_ = 4;
    max_keys_ = tag_->InteriorCapacity();
    capacity_ = max_keys_;
  }
  // A full node's entries, and the number of the entry past its keys.
  return L_ > 0 && entry_ > 0 && key_at_ + L_ <= entry_ && max_keys_ > 0 && max_keys_ <= capacity_ &&
         header_ + capacity_ * entry_ + 4 <= block_;
}

bool FixedNodes::ValidChild(int32_t offset) const {
  KTobjIndexFile* file = tag_->File();
  if (mdx_ != nullptr) return static_cast<KTobjMDXFile*>(file)->ValidBlockPage(offset);
  if (offset <= 0) return false;
  const int64_t end = (offset + int64_t{1}) * block_;
  return end <= file->KnownSize() || end <= file->RefreshSize();
}

// Checks a node as LoadNode does: where it lies, its key count, its kind,
// and every number the node objects would check.
bool FixedNodes::Read(int32_t offset, Image& image) const {
  if (!ValidChild(offset)) return false;
  image.bytes.resize(static_cast<size_t>(block_));
  if (!tag_->File()->ReadBlock(offset, image.bytes.data(), block_)) return false;
  const uint8_t* b = image.bytes.data();
  image.offset = offset;
  if (mdx_ != nullptr) {
    const int64_t n = bytes::GetLE32(b);
    if (n > capacity_) return false;
    image.keys = static_cast<int>(n);
    image.interior = Get32(b + header_ + image.keys * entry_) != 0;
  } else {
    const int n = bytes::GetLE16(b);
    if (n > capacity_ || bytes::GetLE16(b + 2) != 0) return false;
    image.keys = n;
    image.interior = Get32(b + header_) != 0;
  }
  // A child on the block grid below the size known is valid without
  // asking the file (which may look at the file's size again).
  // Every node read is checked whole (a search reads them all), so the
  // numbers are walked with a pointer rather than looked up one by one.
  const int entries = image.Entries();
  const uint8_t* at = b + header_ + (image.interior ? 0 : record_at_);
  if (!image.interior) {
    if (mdx_ == nullptr) return true;
    for (int i = 0; i < entries; ++i, at += entry_)
      if (Get32(at) < 1) return false;
    return true;
  }
  if (mdx_ == nullptr) {
    for (int i = 0; i < entries; ++i, at += entry_)
      if (Get32(at) <= 0) return false;
    return true;
  }
  const int32_t pages = block_ / KTobjMDXFile::kPage;
  const int64_t known = tag_->File()->KnownSize();
  if ((pages & (pages - 1)) == 0) {
    // Blocks of a power-of-two number of pages (every file written here):
    // the children are summed up without a branch or a division each (any
    // off the grid, the lowest, the highest), and looked at one by one
    // only when that finds one out of place.
    const auto mask = static_cast<uint32_t>(pages - 1);
    uint32_t off_grid = 0;
    int32_t lowest = INT32_MAX, highest = INT32_MIN;
    const uint8_t* p = at;
    for (int i = 0; i < entries; ++i, p += entry_) {
      const int32_t number = Get32(p);
      off_grid |= (static_cast<uint32_t>(number) - static_cast<uint32_t>(KTobjMDXFile::kHeaderPages)) & mask;
      lowest = std::min(lowest, number);
      highest = std::max(highest, number);
    }
    if (off_grid == 0 && lowest >= KTobjMDXFile::kHeaderPages &&
        (int64_t{highest} + pages) * KTobjMDXFile::kPage <= known)
      return true;
  }
  for (int i = 0; i < entries; ++i, at += entry_) {
    const int32_t number = Get32(at);
    if (number < KTobjMDXFile::kHeaderPages || (number - KTobjMDXFile::kHeaderPages) % pages != 0 ||
        (int64_t{number} + pages) * KTobjMDXFile::kPage > known) {
      if (!ValidChild(number)) return false;
    }
  }
  return true;
}

int32_t FixedNodes::NumberAt(const Image& image, int i) const {
  return Get32(image.bytes.data() + header_ + i * entry_ + (image.interior ? 0 : record_at_));
}

const uint8_t* FixedNodes::KeyAt(const Image& image, int i) const {
  return image.bytes.data() + header_ + i * entry_ + key_at_;
}

int FixedNodes::TextLength(const uint8_t* key) const {
  if (mdx_ == nullptr && key[0] == 0) return 0;
  int n = L_;
  // Keys are padded with blanks, often many: eight at a time first.
  constexpr uint64_t kBlanks = 0x2020202020202020ull;
  for (uint64_t word; n >= 8; n -= 8) {
    std::memcpy(&word, key + n - 8, 8);
    if (word != kBlanks) break;
  }
  while (n > 0 && key[n - 1] == ' ') --n;
  return n;
}

// The engine's comparison of two character values without a table, as
// CompareKeys makes it: the empty value first, then the first differing
// byte, then (the target being the start of the key) the partial result.
int FixedNodes::Compare(const KTobjIndexKeyData& target, const uint8_t* key, int partial) const {
  const int r = KTobjIndexTag::CompareKeyText(
      target.bytes(), std::string_view(reinterpret_cast<const char*>(key), static_cast<size_t>(TextLength(key))), partial);
  return reverse_ ? -r : r;
}

void FixedNodes::SetKey(const Image& image, int i, KTobjIndexKeyData& key) const {
  const uint8_t* k = KeyAt(image, i);
  key.SetText(std::string_view(reinterpret_cast<const char*>(k), static_cast<size_t>(TextLength(k))));
  key.Reference = NumberAt(image, i);
  key.RecordNumber = 0;
}

// --- searches ---------------------------------------------------------------

int FixedNodes::Search(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                       KTobjIndexKeyData& found) {
  path.clear();
  if (!Usable() || target.kind() != VariantKind::kCharacter) return 2;
  const int r = SearchNode(tag_->ReadRootOffset(), target, partial, false, path, found, 0);
  return r == 1 ? 2 : r;
}

// KTobjIndexKey::SearchKey over the stored node: the keys are in order, so
// the first one not below the target (above it, with `after_equal`) is
// found by halving; a child all of whose keys lie below sends the search
// on to the next entry.
int FixedNodes::SearchNode(int32_t offset, const KTobjIndexKeyData& target, int partial, bool after_equal,
                           std::vector<PathStep>& path, KTobjIndexKeyData& found, int depth) {
  if (depth > kMaxDepth) return 2;
  Image& image = images_[static_cast<size_t>(depth)];
  if (!Read(offset, image)) return 2;
  const size_t at = path.size();
  path.push_back({offset, 0});
  int lo = 0, hi = image.keys;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = Compare(target, KeyAt(image, mid), partial);
    if (c > 0 || (after_equal && c == 0)) lo = mid + 1;
    else hi = mid;
  }
  if (image.interior) {
    for (int p = lo; p < image.Entries(); ++p) {
      path.resize(at + 1);
      path[at].position = p;
      const int r = SearchNode(NumberAt(image, p), target, partial, after_equal, path, found, depth + 1);
      if (r != 1) return r;
    }
    return 1;
  }
  path[at].position = lo;
  if (lo == image.keys) return 1;
  SetKey(image, lo, found);
  return Compare(target, KeyAt(image, lo), partial);
}

int FixedNodes::Locate(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                       KTobjIndexKeyData& found) {
  path.clear();
  if (!Usable() || key.kind() != VariantKind::kCharacter || static_cast<int>(key.bytes().size()) > L_) return 2;
  const bool any = recno == KTobjIndexTag::kAnyRecord;
  const int r = SearchNode(tag_->ReadRootOffset(), key, -1, !any, path, found, 0);
  if (any || recno == KTobjIndexTag::kAfterEqual || r == 2) return r;
  // The entry of one record among equal keys: they are not ordered by
  // record, and a key this engine inserts goes after its equals, so they
  // are searched from the last one back (a record written lately is found
  // at once).
  std::vector<PathStep> walk = path;
  if (walk.empty()) return 2;
  KTobjIndexKeyData entry;
  for (;;) {
    PathStep& leaf = walk.back();
    int s;
    if (leaf.position > 0) {
      // Within the leaf (also from the place past its last key).
      if (!ReadStepLeaf(leaf.offset) || leaf.position > step_.image.keys) return 2;
      --leaf.position;
      step_.position = leaf.position;
      SetKey(step_.image, leaf.position, entry);
      s = 1;
    } else {
      s = Step(false, walk, entry);
    }
    if (s == 2) return 2;
    if (s == 0) return r;  // no key before: not there
    const uint8_t* k = KeyAt(step_.image, walk.back().position);
    if (Compare(key, k, -1) != 0) return r;  // past the equal keys
    if (entry.Reference == recno) {
      path = std::move(walk);
      found.CopyFrom(entry);
      return 0;
    }
  }
}

// --- steps ------------------------------------------------------------------

bool FixedNodes::ReadStepLeaf(int32_t offset) {
  KTobjIndexFile* file = tag_->File();
  if (step_.image.offset == offset && step_.generation == file->CacheGeneration() && step_.writes == file->WriteCount())
    return true;
  ahead_tried_ = 0;
  if (!Read(offset, step_.image) || step_.image.interior) {
    step_.image.offset = 0;
    return false;
  }
  step_.generation = file->CacheGeneration();
  step_.writes = file->WriteCount();
  return true;
}

bool FixedNodes::AheadCurrent() const {
  const KTobjIndexFile* file = tag_->File();
  return ahead_.image.offset != 0 && ahead_.generation == file->CacheGeneration() &&
         ahead_.writes == file->WriteCount();
}

void FixedNodes::ReadAhead(const std::vector<PathStep>& path) {
  if (ahead_tried_ == step_.image.offset && ahead_tried_forward_ == step_.forward) return;
  ahead_tried_ = step_.image.offset;
  ahead_tried_forward_ = step_.forward;
  ahead_.image.offset = 0;
  const bool forward = step_.forward;
  if (path.size() < 2 || path.size() > static_cast<size_t>(kMaxDepth)) return;
  Image& node = ahead_scratch_;
  for (size_t level = path.size() - 1; level-- > 0;) {
    if (!Read(path[level].offset, node) || !node.interior) return;
    const int at = path[level].position;
    // A path that no longer leads through this node gives no hint.
    if (at < 0 || at >= node.Entries() || NumberAt(node, at) != path[level + 1].offset) return;
    const int p = at + (forward ? 1 : -1);
    if (p < 0 || p >= node.Entries()) continue;
    int32_t offset = NumberAt(node, p);
    for (size_t depth = level + 1; depth <= static_cast<size_t>(kMaxDepth); ++depth) {
      if (!Read(offset, node)) return;
      if (!node.interior) {
        if (node.keys == 0) return;  // left to the steps, which skip it
        std::swap(node, ahead_.image);
        ahead_.after = step_.image.offset;
        ahead_.forward = forward;
        ahead_.generation = tag_->File()->CacheGeneration();
        ahead_.writes = tag_->File()->WriteCount();
        return;
      }
      offset = NumberAt(node, forward ? 0 : node.Entries() - 1);
    }
    return;
  }
}

bool FixedNodes::Descend(int32_t offset, bool forward, std::vector<PathStep>& path, int depth) {
  for (;; ++depth) {
    if (depth > kMaxDepth) return false;
    if (depth > 0 && offset == ahead_.image.offset && forward == ahead_.forward && AheadCurrent()) {
      // The leaf was read ahead of this step: the same block under the same
      // generation, with no write since.
      path.push_back({offset, forward ? 0 : ahead_.image.keys - 1});
      std::swap(ahead_.image, step_.image);
      ahead_.image.offset = 0;
      step_.generation = tag_->File()->CacheGeneration();
      step_.writes = tag_->File()->WriteCount();
      return true;
    }
    Image& image = images_[static_cast<size_t>(depth)];
    if (!Read(offset, image)) return false;
    if (!image.interior) {
      // An empty leaf is left to the tree logic, which skips it.
      if (image.keys == 0) return false;
      path.push_back({offset, forward ? 0 : image.keys - 1});
      std::swap(image, step_.image);
      ahead_tried_ = 0;
      step_.generation = tag_->File()->CacheGeneration();
      step_.writes = tag_->File()->WriteCount();
      return true;
    }
    const int p = forward ? 0 : image.Entries() - 1;
    path.push_back({offset, p});
    offset = NumberAt(image, p);
  }
}

// A step from the leaf at the end of the path, as KTobjIndexKey::StepNext
// and StepPrior take it over node objects: within the leaf, else up to the
// lowest node with an entry further that way and down its first (or last)
// keys.
int FixedNodes::Step(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current) {
  if (path.empty() || !Usable()) return 2;
  if (!ReadStepLeaf(path.back().offset)) return 2;
  PathStep& leaf = path.back();
  if (leaf.position < 0 || leaf.position >= step_.image.keys) return 2;
  step_.forward = forward;
  const int next = leaf.position + (forward ? 1 : -1);
  if (next >= 0 && next < step_.image.keys) {
    leaf.position = step_.position = next;
    SetKey(step_.image, next, current);
    // Within a walk's look-ahead of the leaf's end: the next leaf is read
    // now (once), while the records of this one are still read.
    if ((forward ? step_.image.keys - 1 - next : next) < kNeighbourAhead) ReadAhead(path);
    return 1;
  }
  for (size_t level = path.size() - 1; level-- > 0;) {
    if (level > static_cast<size_t>(kMaxDepth)) return 2;
    Image& image = images_[level];
    if (!Read(path[level].offset, image) || !image.interior) return 2;
    const int p = path[level].position + (forward ? 1 : -1);
    if (p < 0 || p >= image.Entries()) continue;
    std::vector<PathStep> moved(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(level) + 1);
    moved.back().position = p;
    if (!Descend(NumberAt(image, p), forward, moved, static_cast<int>(level) + 1)) {
      step_.image.offset = 0;
      return 2;
    }
    path = std::move(moved);
    step_.position = path.back().position;
    step_.forward = forward;
    SetKey(step_.image, step_.position, current);
    return 1;
  }
  return 0;
}

int32_t FixedNodes::RecordAhead(const std::vector<PathStep>& path, int n) const {
  if (step_.image.offset == 0 || path.empty() || path.back().offset != step_.image.offset ||
      path.back().position != step_.position)
    return 0;
  const int i = step_.position + (step_.forward ? n : -n);
  if (i >= 0 && i < step_.image.keys) return NumberAt(step_.image, i);
  // Past the leaf's end: in the leaf read ahead, when it follows this one
  // in this direction.
  const Image& x = ahead_.image;
  if (x.offset == 0 || ahead_.after != step_.image.offset || ahead_.forward != step_.forward || !AheadCurrent())
    return 0;
  const int j = step_.forward ? i - step_.image.keys : x.keys + i;
  return j >= 0 && j < x.keys ? NumberAt(x, j) : 0;
}

// --- changes ----------------------------------------------------------------

bool FixedNodes::ToLight(const Image& image, Light& light) const {
  // A node that holds more keys than the tag's maximum would be split by
  // StoreNode even without a change: that is the node objects' to do.
  if (image.keys > max_keys_) return false;
  light.offset = image.offset;
  light.interior = image.interior;
  light.left = mdx_ != nullptr ? Get32(image.bytes.data() + 4) : 0;
  light.dirty = false;
  const int entries = image.Entries();
  light.numbers.resize(static_cast<size_t>(entries));
  light.keys.resize(static_cast<size_t>(entries) * static_cast<size_t>(L_));
  for (int i = 0; i < entries; ++i) {
    light.numbers[static_cast<size_t>(i)] = NumberAt(image, i);
    uint8_t* k = light.Key(i, L_);
    if (image.interior && i == image.keys) {
      // The rightmost child's key, as LoadNode gives it (never written).
      std::memset(k, ' ', static_cast<size_t>(L_));
      if (!reverse_) k[0] = 0xFF;
      continue;
    }
    // As StoreNode writes what LoadNode read: the text padded with blanks.
    // The bytes past an MDX key's text are blanks already (that is where
    // the text ends), so they are taken as they are; an NDX key that
    // begins with a NUL is empty, and written blank.
    const uint8_t* stored = KeyAt(image, i);
    if (mdx_ != nullptr || stored[0] != 0) {
      std::memcpy(k, stored, static_cast<size_t>(L_));
    } else {
      std::memset(k, ' ', static_cast<size_t>(L_));
    }
  }
  return true;
}

void FixedNodes::ClearLights() {
  for (Light& light : lights_) spare_.push_back(std::move(light));
  lights_.clear();
}

FixedNodes::Light& FixedNodes::AddLight() {
  if (spare_.empty()) return lights_.emplace_back();
  lights_.push_back(std::move(spare_.back()));
  spare_.pop_back();
  return lights_.back();
}

bool FixedNodes::LoadPath(const std::vector<PathStep>& path, size_t levels, bool fresh, bool leaf_read) {
  if (fresh) ClearLights();
  if (path.empty() || path.size() > static_cast<size_t>(kMaxDepth)) return false;
  const size_t from = lights_.size();
  while (lights_.size() < levels) AddLight();
  while (lights_.size() > levels) {
    spare_.push_back(std::move(lights_.back()));
    lights_.pop_back();
  }
  Image& image = images_[0];
  for (size_t level = from; level < levels; ++level) {
    const PathStep& step = path[path.size() - 1 - level];
    const bool read = level == 0 && leaf_read && image.offset == step.offset;
    if (!(read || Read(step.offset, image)) || image.interior != (level > 0)) return false;
    if (!ToLight(image, lights_[level])) return false;
    if (level == 0) {
      if (step.position < 0 || step.position > image.keys) return false;
    } else {
      // The path goes through the first entry that names the child, as the
      // node objects find a child's entry.
      if (step.position < 0 || step.position >= image.Entries()) return false;
      if (FindChild(lights_[level], lights_[level - 1].offset) != step.position) return false;
    }
  }
  return true;
}

int FixedNodes::FindChild(const Light& parent, int32_t offset) const {
  for (int i = 0; i < parent.Size(); ++i)
    if (parent.numbers[static_cast<size_t>(i)] == offset) return i;
  return -1;
}

// KTobjIndexKey::UpdateParentKey: the node's entry in its parent takes the
// key, and so on up while that entry is the parent's last.
void FixedNodes::UpdateParentKey(size_t level, const uint8_t* key) {
  for (; level + 1 < lights_.size(); ++level) {
    Light& parent = lights_[level + 1];
    const int i = FindChild(parent, lights_[level].offset);
    parent.dirty = true;
    if (i < 0) return;
    std::memcpy(parent.Key(i, L_), key, static_cast<size_t>(L_));
    if (i != parent.Size() - 1) return;
  }
}

// KTobjIndexKey::InsertSeparator: the part split off the node's front is
// entered in front of the node's entry; a root grows first.
void FixedNodes::InsertSeparator(size_t level, const uint8_t* key, int32_t block) {
  if (level + 1 == lights_.size()) GrowRoot(level);
  Light& parent = lights_[level + 1];
  const int i = FindChild(parent, lights_[level].offset);
  const int at = i < 0 ? parent.Size() : i;
  parent.numbers.insert(parent.numbers.begin() + at, block);
  parent.keys.insert(parent.keys.begin() + static_cast<std::ptrdiff_t>(at) * L_, key, key + L_);
  parent.dirty = true;
}

// KTobjIndexKey::GrowRoot: a new root takes the block of the root that
// splits, which moves to a new block; its one entry is that node's last
// key.
void FixedNodes::GrowRoot(size_t level) {
  const int32_t offset = lights_[level].offset;
  lights_[level].offset = tag_->File()->AllocateNode();
  Light& root = AddLight();
  const Light& node = lights_[level];
  root.interior = true;
  root.offset = offset;
  root.left = -1;
  root.dirty = true;
  root.numbers.assign(1, node.offset);
  root.keys.assign(static_cast<size_t>(L_), ' ');
  if (node.Size() > 0)
    std::memcpy(root.keys.data(), node.keys.data() + static_cast<size_t>(node.Size() - 1) * L_, static_cast<size_t>(L_));
  tag_->MarkHeaderDirty();
}

// StoreNode of the format: parts split off the front until the rest fits,
// each into a new block entered in the parent.
void FixedNodes::Store(size_t level) {
  const int max = max_keys_ + (mdx_ != nullptr && lights_[level].interior ? 1 : 0);
  KTobjIndexFile* file = tag_->File();
  int first = 0;
  while (lights_[level].Size() - first > max) {
    const int remaining = lights_[level].Size() - first;
    const int part = std::min(max, remaining - remaining / 2);
    // A copy: the key is entered in the parent, whose keys may grow.
    separator_.assign(lights_[level].Key(first + part - 1, L_), lights_[level].Key(first + part - 1, L_) + L_);
    if (mdx_ != nullptr) {
      const int32_t previous = static_cast<int32_t>(mdx_->LastNodePage());
      const int32_t page = file->AllocateNode();
      mdx_->NoteAllocated(page);
      // The part is taken before the separator is entered: a root that
      // grows moves the node, not its entries.
      WriteLight(lights_[level], first, first + part, 0, previous);
      InsertSeparator(level, separator_.data(), page);
      file->WriteBlock(page, block_image_.data(), block_);
      written_.push_back(page);
    } else {
      const int32_t block = file->AllocateNode();
      WriteLight(lights_[level], first, first + part, block, 0);
      InsertSeparator(level, separator_.data(), block);
    }
    first += part;
  }
  Light& node = lights_[level];
  if (mdx_ != nullptr && node.left < 0) {
    node.left = static_cast<int32_t>(mdx_->LastNodePage());
    mdx_->NoteAllocated(node.offset);
  }
  WriteLight(node, first, node.Size(), node.offset, node.left);
  node.dirty = false;
}

// The image StoreNode writes for entries [first, last) of a node (into
// block_image_), written at `offset` unless it is 0.
void FixedNodes::WriteLight(const Light& light, int first, int last, int32_t offset, int32_t left) {
  block_image_.assign(static_cast<size_t>(block_), 0);
  uint8_t* b = block_image_.data();
  const int count = last - first;
  for (int j = 0; j < count; ++j) {
    uint8_t* e = b + header_ + j * entry_;
    const int32_t number = light.numbers[static_cast<size_t>(first + j)];
    // The entry after the keys carries only the rightmost child.
    const bool rightmost = light.interior && j == count - 1;
    if (mdx_ != nullptr || light.interior) Put32(e, number);
    else Put32(e + record_at_, number);
    if (!rightmost)
      std::memcpy(e + key_at_, light.keys.data() + static_cast<size_t>(first + j) * L_, static_cast<size_t>(L_));
  }
  const int keys = light.interior && count > 0 ? count - 1 : count;
  if (mdx_ != nullptr) {
    Put32(b, light.interior ? count - 1 : count);
    Put32(b + 4, left);
  } else {
    bytes::PutLE16(b, static_cast<uint32_t>(keys));
  }
  if (offset != 0) {
    tag_->File()->WriteBlock(offset, b, block_);
    written_.push_back(offset);
  }
}

void FixedNodes::StoreAll(std::vector<int32_t>* touched) {
  written_.clear();
  for (size_t level = 0; level < lights_.size(); ++level)
    if (lights_[level].dirty) Store(level);
  if (tag_->HeaderDirty()) tag_->WriteTagHeader();
  if (touched != nullptr) touched->insert(touched->end(), written_.begin(), written_.end());
}

// Whether a leaf read is what StoreNode writes for its entries: numbers
// where they go, the rest of each entry past the key zero, keys as they
// are written (NDX: none beginning with a NUL, which is written blank),
// nothing past the last entry. Then a change made in the image itself
// writes what storing the changed node writes.
bool FixedNodes::Canonical(const Image& image) const {
  const uint8_t* b = image.bytes.data();
  if (image.interior || (mdx_ != nullptr && Get32(b + 4) < 0)) return false;
  for (int i = 0; i < image.keys; ++i) {
    const uint8_t* e = b + header_ + i * entry_;
    if (mdx_ == nullptr && (Get32(e) != 0 || e[key_at_] == 0)) return false;
    for (int j = key_at_ + L_; j < entry_; ++j)
      if (e[j] != 0) return false;
  }
  const uint8_t* tail = b + header_ + image.keys * entry_;
  const uint8_t* end = b + block_;
  if (tail > end) return false;
  // Most of a block past a half-full leaf: eight bytes at a time.
  for (uint64_t word; end - tail >= 8; tail += 8) {
    std::memcpy(&word, tail, 8);
    if (word != 0) return false;
  }
  return std::all_of(tail, end, [](uint8_t c) { return c == 0; });
}

bool FixedNodes::Insert(const KTobjIndexKeyData& key, const std::vector<PathStep>& path) {
  if (!Usable() || key.kind() != VariantKind::kCharacter) return false;
  const std::string_view text = key.bytes();
  if (static_cast<int>(text.size()) > L_) return false;
  if (path.empty()) return false;
  const int position = path.back().position;
  Image& stored = images_[0];
  if (!Read(path.back().offset, stored)) return false;
  {
    // The common insert: in front of a key of a leaf that takes one more
    // without a split (no separator changes). Its entries from there on
    // move up one in the image read, and the new one goes in their place.
    if (!stored.interior && position >= 0 && position < stored.keys &&
        stored.keys + 1 <= max_keys_ && Canonical(stored)) {
      block_image_ = stored.bytes;
      uint8_t* b = block_image_.data();
      uint8_t* e = b + header_ + position * entry_;
      std::memmove(e + entry_, e, static_cast<size_t>(stored.keys - position) * static_cast<size_t>(entry_));
      std::memset(e, 0, static_cast<size_t>(entry_));
      Put32(e + record_at_, key.Reference);
      std::memcpy(e + key_at_, text.data(), text.size());
      std::memset(e + key_at_ + text.size(), ' ', static_cast<size_t>(L_) - text.size());
      if (mdx_ != nullptr) Put32(b, stored.keys + 1);
      else bytes::PutLE16(b, static_cast<uint32_t>(stored.keys + 1));
      tag_->File()->WriteBlock(stored.offset, b, block_);
      if (tag_->HeaderDirty()) tag_->WriteTagHeader();
      return true;
    }
  }
  if (!LoadPath(path, 1, true, true)) return false;
  // Every node a split or a new separator may reach is read (and checked)
  // before anything is written. A node reaches its parent only when it
  // may split (it takes one entry more: the new key, or the separator of
  // a child that splits) or when the key of its last entry may change
  // (the new key goes last in the leaf, and an interior node passes that
  // on when the entry for its child is its last); the nodes above the
  // first that does neither are not changed, and not read.
  for (size_t level = 0; level + 1 < path.size(); ++level) {
    const Light& node = lights_[level];
    const int at = path[path.size() - 1 - level].position;
    const int max = max_keys_ + (mdx_ != nullptr && node.interior ? 1 : 0);
    const bool last = level == 0 ? at >= node.Size() : at == node.Size() - 1;
    if (node.Size() + 1 <= max && !last) break;
    if (!LoadPath(path, level + 2, false)) return false;
  }
  Light& leaf = lights_[0];
  key_buffer_.assign(static_cast<size_t>(L_), ' ');
  std::memcpy(key_buffer_.data(), text.data(), text.size());
  // KTobjIndexKey::InsertAt: a key that becomes the node's last is its new
  // separator.
  if (lights_.size() > 1 && position >= leaf.Size()) UpdateParentKey(0, key_buffer_.data());
  leaf.numbers.insert(leaf.numbers.begin() + position, key.Reference);
  leaf.keys.insert(leaf.keys.begin() + static_cast<std::ptrdiff_t>(position) * L_, key_buffer_.begin(),
                   key_buffer_.end());
  leaf.dirty = true;
  StoreAll(nullptr);
  return true;
}

bool FixedNodes::Remove(const std::vector<PathStep>& path, std::vector<int32_t>& touched) {
  if (!Usable() || !LoadPath(path, path.size(), true)) return false;
  Light& leaf = lights_[0];
  const int position = path.back().position;
  if (position >= leaf.Size()) return false;
  const bool root = lights_.size() == 1;
  // A leaf that would be emptied leaves its parent: the node objects do
  // that.
  if (!root && leaf.Size() == 1) return false;
  // KTobjIndexKey::DeleteCurrent marks every node on the path changed, so
  // each is written again.
  for (Light& light : lights_) light.dirty = true;
  const bool was_last = position == leaf.Size() - 1;
  leaf.numbers.erase(leaf.numbers.begin() + position);
  leaf.keys.erase(leaf.keys.begin() + static_cast<std::ptrdiff_t>(position) * L_,
                  leaf.keys.begin() + static_cast<std::ptrdiff_t>(position + 1) * L_);
  if (was_last && !root) {
    key_buffer_.assign(leaf.Key(leaf.Size() - 1, L_), leaf.Key(leaf.Size() - 1, L_) + L_);
    UpdateParentKey(0, key_buffer_.data());
  }
  StoreAll(&touched);
  return true;
}

}  // namespace tessera
