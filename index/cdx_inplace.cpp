// Key changes made in the stored node images of a compound-index tag, for
// the record writes of the table handler: a key goes into (or out of) its
// leaf where the leaf's bytes lie, touching only the entries next to it; a
// leaf that overflows is split as WriteLeaf splits it, straight from the
// stored bytes, and the interior nodes above it that have no room for the
// new separators split the same way, up to the root (SplitInPlace).
// Whatever needs more (an emptied leaf, a node that does not look right)
// is left to the node objects: these answer false before they write
// anything.
//
// Leaf layout (see cdx_tag.h): the entries from 24 (E bytes each) and the
// key bytes from the end of the 488-byte key area backwards, key 0 last.
// Entry j's stored bytes lie at [start_j, start_j + n_j), right below
// those of entry j - 1.
#include <algorithm>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "index/cdx_bytes.h"
#include "index/cdx_tag.h"
#include "index/index_file.h"

namespace tessera {
namespace {

using namespace cdx_bytes;

constexpr int kArea = KTobjCDXTag::kLeafArea;

}  // namespace

bool KTobjCDXTag::ReadLeafFlat(int32_t offset) {
  if (flat_offset_ == offset && flat_generation_ == file_->CacheGeneration()) return true;
  ForgetFlatLeaf();
  uint8_t b[512];
  if (!file_->ReadBlock(offset, b, 512) || !ValidAttributes(Get16(b)) || !IsLeafAttributes(Get16(b)) ||
      !DecodeIntoFlat(b))
    return false;
  flat_offset_ = offset;
  flat_generation_ = file_->CacheGeneration();
  return true;
}

bool KTobjCDXTag::DecodeIntoFlat(const uint8_t* b) {
  // Appends that keep landing in one leaf (keys of few values, the tag's
  // own position after its insert) find it decoded: the bytes decide,
  // which no write here or elsewhere can get round.
  if (flat_image_length_ == key_length_ && flat_image_pad_ == PadByte() && std::memcmp(leaf_image_, b, 512) == 0)
    return true;
  flat_image_length_ = 0;
  std::memcpy(leaf_image_, b, 512);
  if (!DecodeLeaf(leaf_image_, flat_)) return false;
  flat_image_length_ = key_length_;
  flat_image_pad_ = PadByte();
  return true;
}

bool KTobjCDXTag::DecodeLeaf(const uint8_t* b, FlatLeaf& leaf) const {
  cdx_leaf::Decoder dec;
  const int L = key_length_;
  dec.Start(b, L, PadByte());
  const int count = dec.Count();
  if (count == 0 || !dec.Valid()) return false;
  leaf.entries.resize(static_cast<size_t>(count));
  if (leaf.bytes.size() < static_cast<size_t>(count) * static_cast<size_t>(L))
    leaf.bytes.resize(static_cast<size_t>(count) * static_cast<size_t>(L));
  for (int i = 0; i < count; ++i) {
    if (!dec.Next(i)) return false;
    FlatEntry& e = leaf.entries[static_cast<size_t>(i)];
    e.rec = dec.rec;
    e.d = static_cast<uint16_t>(dec.d);
    e.t = static_cast<uint16_t>(dec.t);
    e.n = static_cast<uint16_t>(dec.n);
    e.start = static_cast<uint16_t>(dec.start);
    e.value = static_cast<uint32_t>(i * L);
    e.length = static_cast<uint16_t>(dec.length);
    std::memcpy(leaf.bytes.data() + e.value, dec.Key(), static_cast<size_t>(dec.length));
  }
  return dec.FreeAgrees();
}

int KTobjCDXTag::CompareStored(const KTobjIndexKeyData& target, int32_t recno, const uint8_t* bytes, int length,
                               int32_t rec) {
  int r;
  if (TextEntries() && target.kind() == VariantKind::kCharacter) {
    // The engine's comparison of two character values without a table
    // (CompareKeys), on the stored bytes: the empty value first, then
    // the first differing byte, then a value that is the start of the
    // other before it.
    r = CompareKeyText(target.bytes(),
                       std::string_view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)), -1);
    if (reverse_compare_) r = -r;
  } else {
    if (TextEntries())
      probe_.SetText(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
    else probe_.SetBytes(bytes, length);
    r = CompareKeys(target, probe_, -1);
  }
  if (r == 0 && recno == kAfterEqual) r = 1;
  if (r == 0 && recno != kAnyRecord) r = rec < recno ? 1 : (rec > recno ? -1 : 0);
  return r;
}

int KTobjCDXTag::LocateInPlace(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                               KTobjIndexKeyData& found) {
  path.clear();
  if (!file_->DuplicatesByRecord()) return 2;
  return LocateNode(ReadRootOffset(), key, recno, path, found, 0);
}

int KTobjCDXTag::LocateNode(int32_t offset, const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                            KTobjIndexKeyData& found, int depth) {
  uint8_t b[512];
  const auto node = EnterStoredNode(offset, depth, b, path);
  if (!node) return 2;
  const int count = node->count;
  const size_t at = node->at;
  const int L = key_length_;
  if (!node->leaf) {
    return DescendInterior(
        b, count, at, path,
        [&](const uint8_t* e, int length) { return CompareStored(key, recno, e, length, GetBE32(e + L)); },
        [&](int32_t child) { return LocateNode(child, key, recno, path, found, depth + 1); });
  }
  ForgetFlatLeaf();
  if (!DecodeIntoFlat(b)) return 2;
  flat_offset_ = offset;
  flat_generation_ = file_->CacheGeneration();
  // The entries are in key order: the first one not below the key is
  // found by halving.
  int lo = 0, hi = count;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const FlatEntry& e = flat_.entries[static_cast<size_t>(mid)];
    if (CompareStored(key, recno, flat_.bytes.data() + e.value, e.length, e.rec) > 0) lo = mid + 1;
    else hi = mid;
  }
  path[at].position = lo;
  if (lo == count) return 1;
  const FlatEntry& e = flat_.entries[static_cast<size_t>(lo)];
  const uint8_t* value = flat_.bytes.data() + e.value;
  const int r = CompareStored(key, recno, value, e.length, e.rec);
  if (TextEntries()) probe_.SetText(std::string_view(reinterpret_cast<const char*>(value), e.length));
  else probe_.SetBytes(value, e.length);
  found.Assign(&probe_);
  found.RecordNumber = found.Reference = e.rec;
  return r;
}

void KTobjCDXTag::SetSeparators(const std::vector<PathStep>& path, size_t level, std::string_view key, int32_t rec,
                                std::vector<int32_t>* touched) {
  const int L = key_length_;
  for (size_t lvl = level + 1; lvl-- > 0;) {
    uint8_t b[512];
    const PathStep& step = path[lvl];
    if (!file_->ReadBlock(step.offset, b, 512)) file_->Corrupt("tag " + name_ + ", node " + std::to_string(step.offset));
    const int count = Get16(b + 2);
    if (step.position < 0 || step.position >= count) file_->Corrupt("tag " + name_ + ", node " + std::to_string(step.offset));
    uint8_t* e = b + 12 + step.position * entry_size_;
    std::memset(e, PadByte(), static_cast<size_t>(L));
    std::memcpy(e, key.data(), std::min<size_t>(key.size(), static_cast<size_t>(L)));
    PutBE32(e + L, rec);
    file_->WriteBlock(step.offset, b, 512);
    if (touched != nullptr) touched->push_back(step.offset);
    if (step.position != count - 1) break;
  }
}

int KTobjCDXTag::FlatBytes(size_t first, size_t last, const Packing& p) const {
  int total = 0;
  for (size_t i = first; i < last; ++i) {
    const size_t d = i == first ? 0 : pack_common_[i];
    total += p.entry_bytes + static_cast<int>(pack_keys_[i].size() - d);
  }
  return total;
}

int KTobjCDXTag::PackFlat(size_t first, size_t last, const Packing& p, uint8_t* image) const {
  cdx_leaf::Encoder enc;
  enc.Start(p, key_length_, image);
  for (size_t i = first; i < last; ++i) enc.Add(pack_keys_[i], i == first ? 0 : pack_common_[i], pack_recs_[i]);
  return enc.Free();
}

void KTobjCDXTag::FollowInsert(int i, std::string_view k, int32_t rec, int d_new, int n_new, int d2, int n2,
                               int delta, int top) {
  // What the decoder would make of the image InsertInPlace just wrote.
  // The values of the old entries stay where they are in flat_.bytes
  // (slots 0 to count - 1 of the key length, in some order); the new
  // key's takes the free slot after them.
  const int L = key_length_;
  const int count = flat_.Count();
  const uint8_t pad = PadByte();
  FlatEntry added{};
  added.rec = rec;
  added.d = static_cast<uint16_t>(d_new);
  added.t = static_cast<uint16_t>(L - static_cast<int>(k.size()));
  added.n = static_cast<uint16_t>(n_new);
  added.start = static_cast<uint16_t>(top - n_new);
  added.value = static_cast<uint32_t>(count * L);
  size_t length = k.size();
  while (length > 0 && static_cast<uint8_t>(k[length - 1]) == pad) --length;
  added.length = static_cast<uint16_t>(length);
  const size_t need = static_cast<size_t>(count + 1) * static_cast<size_t>(L);
  if (flat_.bytes.size() < need) flat_.bytes.resize(need);
  std::memcpy(flat_.bytes.data() + added.value, k.data(), length);
  if (i < count) {
    FlatEntry& next = flat_.entries[static_cast<size_t>(i)];
    next.d = static_cast<uint16_t>(d2);
    next.t = static_cast<uint16_t>(L - next.length);
    next.n = static_cast<uint16_t>(n2);
    next.start = static_cast<uint16_t>(top - n_new - n2);
    for (size_t j = static_cast<size_t>(i) + 1; j < flat_.entries.size(); ++j)
      flat_.entries[j].start = static_cast<uint16_t>(flat_.entries[j].start - delta);
  }
  flat_.entries.insert(flat_.entries.begin() + i, added);
  flat_image_length_ = L;
  flat_image_pad_ = pad;
}

bool KTobjCDXTag::InsertInPlace(const KTobjIndexKeyData& key, const std::vector<PathStep>& path) {
  if (path.empty() || key.Reference <= 0) return false;
  const PathStep& leaf = path.back();
  const size_t depth = path.size();
  if (!ReadLeafFlat(leaf.offset)) return false;
  uint8_t* b = leaf_image_;
  const int count = Get16(b + 2);
  const int i = leaf.position;
  if (i < 0 || i > count) return false;
  // From here on the leaf held is being changed: leaf_image_ too, when
  // the key fits (flat_ then follows it).
  ForgetFlatLeaf();
  const int L = key_length_;
  const std::string_view k = key.bytes().substr(0, static_cast<size_t>(L));
  const int32_t rec = key.Reference;
  const cdx_leaf::Packing packing = cdx_leaf::ReadPacking(b);
  const int E = packing.entry_bytes, D = packing.duplicate_bits, T = packing.trailing_bits;
  const uint32_t record_mask = packing.record_mask;
  const int d_new = i > 0 ? static_cast<int>(CommonPrefix(FlatValue(static_cast<size_t>(i - 1)), k)) : 0;
  const int t_new = L - static_cast<int>(k.size());
  const int n_new = static_cast<int>(k.size()) - d_new;
  // The entry after the new one shares its leading bytes with the new key
  // now.
  int d2 = 0, t2 = 0, n2 = 0, delta = n_new;
  if (i < count) {
    const std::string_view next = FlatValue(static_cast<size_t>(i));
    d2 = static_cast<int>(CommonPrefix(k, next));
    t2 = L - static_cast<int>(next.size());
    n2 = static_cast<int>(next.size()) - d2;
    delta += n2 - flat_.entries[static_cast<size_t>(i)].n;
  }
  const int used = kArea - Get16(b + 12);
  const int used_new = used + E + delta;
  const bool fits_packing = static_cast<uint32_t>(rec) <= record_mask && d_new < (1 << D) && t_new < (1 << T) &&
                            d2 < (1 << D) && t2 < (1 << T);
  if (fits_packing && used_new < kArea) {
    flat_image_length_ = 0;
    uint8_t* area = b + 24;
    // Top of the new key's bytes: the start of the previous entry's.
    const int top = i > 0 ? flat_.entries[static_cast<size_t>(i - 1)].start : kArea;
    const int last_start = flat_.entries[static_cast<size_t>(count - 1)].start;
    // Entries i + 1 .. count - 1 keep their bytes and move down by delta.
    const int rest_end = i < count ? flat_.entries[static_cast<size_t>(i)].start : top;
    std::memmove(area + last_start - delta, area + last_start, static_cast<size_t>(rest_end - last_start));
    std::memcpy(area + top - n_new, k.data() + d_new, static_cast<size_t>(n_new));
    if (i < count) {
      const std::string_view next = FlatValue(static_cast<size_t>(i));
      std::memcpy(area + top - n_new - n2, next.data() + d2, static_cast<size_t>(n2));
    }
    std::memmove(area + (i + 1) * E, area + i * E, static_cast<size_t>((count - i) * E));
    cdx_leaf::PutEntry(area, i, packing, rec, d_new, t_new);
    if (i < count) cdx_leaf::PutEntry(area, i + 1, packing, flat_.entries[static_cast<size_t>(i)].rec, d2, t2);
    const int new_last = last_start - delta;
    std::memset(area + (count + 1) * E, 0, static_cast<size_t>(new_last - (count + 1) * E));
    Put16(b + 2, static_cast<uint32_t>(count + 1));
    Put16(b + 12, static_cast<uint32_t>(kArea - used_new));
    file_->WriteBlock(leaf.offset, b, 512);
    if (i == count && depth >= 2) SetSeparators(path, depth - 2, k, rec, nullptr);
    FollowInsert(i, k, rec, d_new, n_new, d2, n2, delta, top);
    return true;
  }

  // Packed anew (a wider record number) or split, as WriteLeaf does.
  pack_keys_.clear();
  pack_recs_.clear();
  int64_t max_record = std::max<int64_t>(MaxRecordNumber(), rec);
  for (int j = 0; j <= count; ++j) {
    if (j == i) {
      pack_keys_.push_back(k);
      pack_recs_.push_back(rec);
    }
    if (j < count) {
      pack_keys_.push_back(FlatValue(static_cast<size_t>(j)));
      pack_recs_.push_back(flat_.entries[static_cast<size_t>(j)].rec);
      max_record = std::max<int64_t>(max_record, flat_.entries[static_cast<size_t>(j)].rec);
    }
  }
  const Packing p = PackingFor(L, max_record);
  const size_t size = pack_keys_.size();
  // The leading bytes each key shares with the one before it: the new key
  // and the one after it as worked out above; for two stored keys the
  // stored duplicate count when it is the whole shared prefix (as this
  // engine writes it; other writers may store less, or count blanks the
  // previous key trails), found anew otherwise.
  pack_common_.resize(size);
  pack_common_[0] = 0;
  for (size_t m = 1; m < size; ++m) {
    const int at = static_cast<int>(m);
    if (at == i) {
      pack_common_[m] = static_cast<uint16_t>(d_new);
    } else if (at == i + 1) {
      pack_common_[m] = static_cast<uint16_t>(d2);
    } else {
      const std::string_view a = pack_keys_[m - 1], c = pack_keys_[m];
      const size_t d = flat_.entries[static_cast<size_t>(at < i ? at : at - 1)].d;
      const bool exact = d <= std::min(a.size(), c.size()) && (d == a.size() || d == c.size() || a[d] != c[d]);
      pack_common_[m] = static_cast<uint16_t>(exact ? d : CommonPrefix(a, c));
    }
  }
  // The parts split off the front (each below 250 bytes) until the rest
  // fits.
  std::vector<std::pair<size_t, size_t>> parts;
  size_t first = 0;
  while (FlatBytes(first, size, p) >= kArea) {
    size_t end = first;
    int total = 0;
    while (end < size) {
      const size_t dd = end == first ? 0 : pack_common_[end];
      const int need = p.entry_bytes + static_cast<int>(pack_keys_[end].size() - dd);
      if (total + need >= 250 && end > first) break;
      total += need;
      ++end;
    }
    parts.emplace_back(first, end);
    first = end;
  }
  if (parts.empty()) {
    uint8_t image[512] = {};
    Put16(image, Get16(b));
    Put32(image + 4, Get32(b + 4));
    Put32(image + 8, Get32(b + 8));
    PackFlat(0, size, p, image);
    file_->WriteBlock(leaf.offset, image, 512);
    if (i == count && depth >= 2) SetSeparators(path, depth - 2, k, rec, nullptr);
    return true;
  }
  return SplitInPlace(path, parts, p, b, i == count, k, rec);
}

// A split in place, in three passes so that nothing is written unless all
// of it can be: every interior node that takes separators is read and
// checked and its new entries laid out, from the leaf's parent up to the
// first node with room (or a root that splits); then the new blocks are
// allocated in the order the node objects allocate them (a node's parts
// from the front, a root's own part right after its first one, the levels
// from the bottom up), so that the file looks as if they had split it;
// then the blocks are written.
//
// A node splits as WriteInterior splits it: parts of at most the capacity,
// each the larger half of what is left (InteriorPart), go off the front to
// new blocks left of the node, until the rest fits. Each part's last entry (key,
// record, its new block) goes in front of the node's entry in the parent.
// A root that splits keeps its block, which the tag header names: its own
// part moves to a new block, and the root block becomes an interior root
// over the parts, as GrowRoot makes it.
bool KTobjCDXTag::SplitInPlace(const std::vector<PathStep>& path, const std::vector<std::pair<size_t, size_t>>& parts,
                               const Packing& p, const uint8_t* leaf_image, bool new_last, std::string_view k,
                               int32_t rec) {
  const size_t depth = path.size();
  const int L = key_length_, S = entry_size_;
  const uint8_t pad = PadByte();
  const int64_t known = file_->KnownSize();
  // The left neighbour of a node that splits takes the first part as its
  // right neighbour: it is read here, with the nodes, and must be a block
  // of the file that no other write of this change touches.
  neighbours_.clear();
  auto read_neighbour = [&](int32_t link, uint8_t* image) {
    if (link <= 0) return true;
    if (link % 512 != 0 || link + 512 > known) return false;
    if (std::any_of(path.begin(), path.end(), [link](const PathStep& s) { return s.offset == link; }) ||
        std::find(neighbours_.begin(), neighbours_.end(), link) != neighbours_.end())
      return false;
    neighbours_.push_back(link);
    return file_->ReadBlock(link, image, 512);
  };
  const int32_t leaf_left = Get32(leaf_image + 4), leaf_right = Get32(leaf_image + 8);
  if (!read_neighbour(leaf_left, leaf_neighbour_)) return false;

  // Pass 1: the interior nodes that change, bottom up. split_nodes_[n] is
  // path[depth - 2 - n].
  size_t used = 0;
  size_t entered = parts.size();  // separators the level below enters
  bool last = new_last;           // the child's entry takes the new key
  int top = static_cast<int>(depth) - 2;
  for (; top >= 0; --top) {
    if (used == split_nodes_.size()) split_nodes_.emplace_back();
    SplitNode& s = split_nodes_[used++];
    const PathStep& step = path[static_cast<size_t>(top)];
    if (!file_->ReadBlock(step.offset, s.image, 512) || !ValidAttributes(Get16(s.image)) ||
        IsLeafAttributes(Get16(s.image)))
      return false;
    const int count = Get16(s.image + 2);
    const int pos = step.position;
    if (count == 0 || count > interior_capacity_ || pos < 0 || pos >= count) return false;
    const uint8_t* child_entry = s.image + 12 + pos * S;
    if (GetBE32(child_entry + L + 4) != path[static_cast<size_t>(top) + 1].offset) return false;
    s.total = count + static_cast<int>(entered);
    s.position = pos;
    s.entered = static_cast<int>(entered);
    s.entries.resize(static_cast<size_t>(s.total * S));
    uint8_t* e = s.entries.data();
    std::memcpy(e, s.image + 12, static_cast<size_t>(pos * S));
    for (size_t j = 0; j < entered; ++j) {
      uint8_t* sep = e + (static_cast<size_t>(pos) + j) * static_cast<size_t>(S);
      if (used == 1) {
        const size_t to = parts[j].second;
        std::memset(sep, pad, static_cast<size_t>(L));
        std::memcpy(sep, pack_keys_[to - 1].data(), std::min<size_t>(pack_keys_[to - 1].size(), static_cast<size_t>(L)));
        PutBE32(sep + L, pack_recs_[to - 1]);
      } else {
        const SplitNode& below = split_nodes_[used - 2];
        std::memcpy(sep, below.entries.data() + static_cast<size_t>((below.ends[j] - 1) * S), static_cast<size_t>(L + 4));
      }
      PutBE32(sep + L + 4, 0);  // the new block, once allocated
    }
    const int at = pos + s.entered;
    std::memcpy(e + at * S, child_entry, static_cast<size_t>((count - pos) * S));
    if (last) {
      uint8_t* own = e + at * S;
      std::memset(own, pad, static_cast<size_t>(L));
      std::memcpy(own, k.data(), std::min<size_t>(k.size(), static_cast<size_t>(L)));
      PutBE32(own + L, rec);
    }
    last = last && at == s.total - 1;
    s.ends.clear();
    if (s.total <= interior_capacity_) break;
    for (int first = 0; s.total - first > interior_capacity_;) {
      first += InteriorPart(s.total - first, at - first);
      s.ends.push_back(first);
    }
    if (!read_neighbour(Get32(s.image + 4), s.neighbour)) return false;
    entered = s.ends.size();
  }
  // A root that splits: the new root holds the parts and the root's own
  // part.
  if (top < 0 && static_cast<int>(entered) + 1 > interior_capacity_) return false;

  // Pass 2: the new blocks.
  leaf_blocks_.clear();
  int32_t leaf_home = path.back().offset;
  for (size_t j = 0; j < parts.size(); ++j) {
    leaf_blocks_.push_back(file_->AllocateNode());
    if (j == 0 && depth == 1) leaf_home = file_->AllocateNode();
  }
  for (size_t n = 0; n < used; ++n) {
    SplitNode& s = split_nodes_[n];
    s.blocks.clear();
    s.home = path[depth - 2 - n].offset;
    for (size_t j = 0; j < s.ends.size(); ++j) {
      s.blocks.push_back(file_->AllocateNode());
      if (j == 0 && depth - 2 - n == 0) s.home = file_->AllocateNode();
    }
    const std::vector<int32_t>& below = n == 0 ? leaf_blocks_ : split_nodes_[n - 1].blocks;
    for (int j = 0; j < s.entered; ++j)
      PutBE32(s.entries.data() + (s.position + j) * S + L + 4, below[static_cast<size_t>(j)]);
  }

  // Pass 3: the blocks, bottom up. A level's chain runs from the node's
  // old left neighbour through the parts to the node.
  uint8_t image[512];
  auto link_left = [&](int32_t neighbour, uint8_t* neighbour_image, int32_t to) {
    if (neighbour <= 0) return;
    // The left neighbour's right link (bytes 8..11) names the first part.
    Put32(neighbour_image + 8, to);
    file_->WriteBlock(neighbour, neighbour_image, 512);
  };
  {
    const size_t size = pack_keys_.size();
    int32_t left = leaf_left;
    for (size_t j = 0; j < parts.size(); ++j) {
      std::memset(image, 0, sizeof image);
      Put16(image, 2);
      Put32(image + 4, left);
      Put32(image + 8, j + 1 < parts.size() ? leaf_blocks_[j + 1] : leaf_home);
      PackFlat(parts[j].first, parts[j].second, p, image);
      file_->WriteBlock(leaf_blocks_[j], image, 512);
      left = leaf_blocks_[j];
    }
    link_left(leaf_left, leaf_neighbour_, leaf_blocks_[0]);
    std::memset(image, 0, sizeof image);
    Put16(image, 2);
    Put32(image + 4, left);
    Put32(image + 8, leaf_right);
    PackFlat(parts.back().second, size, p, image);
    file_->WriteBlock(leaf_home, image, 512);
  }
  auto put_interior = [&](int32_t offset, uint16_t attributes, int32_t left, int32_t right, const uint8_t* entries,
                          int count) {
    std::memset(image, 0, sizeof image);
    Put16(image, attributes);
    Put16(image + 2, static_cast<uint32_t>(count));
    Put32(image + 4, left);
    Put32(image + 8, right);
    std::memset(image + 12, pad, kInteriorArea);
    std::memcpy(image + 12, entries, static_cast<size_t>(count * S));
    file_->WriteBlock(offset, image, 512);
  };
  for (size_t n = 0; n < used; ++n) {
    SplitNode& s = split_nodes_[n];
    const int32_t offset = path[depth - 2 - n].offset;
    if (s.ends.empty()) {
      // The node with room: the entries as laid out, in its own image.
      std::memcpy(s.image + 12, s.entries.data(), static_cast<size_t>(s.total * S));
      Put16(s.image + 2, static_cast<uint32_t>(s.total));
      file_->WriteBlock(offset, s.image, 512);
      break;
    }
    const int32_t left0 = Get32(s.image + 4);
    int32_t left = left0;
    int from = 0;
    for (size_t j = 0; j < s.ends.size(); ++j) {
      put_interior(s.blocks[j], 0, left, j + 1 < s.blocks.size() ? s.blocks[j + 1] : s.home,
                   s.entries.data() + from * S, s.ends[j] - from);
      left = s.blocks[j];
      from = s.ends[j];
    }
    link_left(left0, s.neighbour, s.blocks[0]);
    put_interior(s.home, 0, left, Get32(s.image + 8), s.entries.data() + from * S, s.total - from);
  }
  if (top < 0) {
    // The new root, in the old root's block: one entry per part and one
    // for the old root's own part, each its last key.
    uint8_t entries[kInteriorArea];
    auto put = [&](size_t j, const uint8_t* key_rec, int32_t child) {
      std::memcpy(entries + j * static_cast<size_t>(S), key_rec, static_cast<size_t>(L + 4));
      PutBE32(entries + j * static_cast<size_t>(S) + L + 4, child);
    };
    if (used == 0) {
      uint8_t key_rec[KTobjCDXTag::kMaxKeyLength + 4];
      auto leaf_key = [&](size_t at) {
        std::memset(key_rec, pad, static_cast<size_t>(L));
        std::memcpy(key_rec, pack_keys_[at].data(), std::min<size_t>(pack_keys_[at].size(), static_cast<size_t>(L)));
        PutBE32(key_rec + L, pack_recs_[at]);
        return key_rec;
      };
      for (size_t j = 0; j < parts.size(); ++j) put(j, leaf_key(parts[j].second - 1), leaf_blocks_[j]);
      put(parts.size(), leaf_key(pack_keys_.size() - 1), leaf_home);
    } else {
      const SplitNode& s = split_nodes_[used - 1];
      for (size_t j = 0; j < s.ends.size(); ++j)
        put(j, s.entries.data() + (s.ends[j] - 1) * S, s.blocks[j]);
      put(s.ends.size(), s.entries.data() + (s.total - 1) * S, s.home);
    }
    put_interior(path[0].offset, 1, -1, -1, entries, static_cast<int>(entered) + 1);
  } else if (last && top >= 1) {
    // The new key is the last below the node with room, and it is that
    // node's last: the separators above name it.
    SetSeparators(path, static_cast<size_t>(top) - 1, k, rec, nullptr);
  }
  return true;
}

bool KTobjCDXTag::RemoveInPlace(const std::vector<PathStep>& path, std::vector<int32_t>& touched) {
  if (path.empty()) return false;
  const PathStep& leaf = path.back();
  const size_t depth = path.size();
  if (!ReadLeafFlat(leaf.offset)) return false;
  uint8_t* b = leaf_image_;
  const int count = Get16(b + 2);
  const int i = leaf.position;
  // An emptied leaf leaves its parent: the node way.
  if (i < 0 || i >= count || count < 2) return false;
  ForgetFlatLeaf();
  flat_image_length_ = 0;  // leaf_image_ changes below
  const int L = key_length_;
  const cdx_leaf::Packing packing = cdx_leaf::ReadPacking(b);
  const int E = packing.entry_bytes, D = packing.duplicate_bits, T = packing.trailing_bits;
  const FlatEntry& gone = flat_.entries[static_cast<size_t>(i)];
  const int top = i > 0 ? flat_.entries[static_cast<size_t>(i - 1)].start : kArea;
  const int last_start = flat_.entries[static_cast<size_t>(count - 1)].start;
  uint8_t* area = b + 24;
  int used = kArea - Get16(b + 12) - E - gone.n;
  if (i + 1 < count) {
    // The next entry now follows entry i - 1.
    const FlatEntry& next = flat_.entries[static_cast<size_t>(i + 1)];
    const std::string_view value = FlatValue(static_cast<size_t>(i + 1));
    const int d2 = i > 0 ? static_cast<int>(CommonPrefix(FlatValue(static_cast<size_t>(i - 1)), value)) : 0;
    const int t2 = L - static_cast<int>(value.size());
    const int n2 = static_cast<int>(value.size()) - d2;
    const int shift = top - n2 - next.start;
    if (shift < 0 || d2 >= (1 << D) || t2 >= (1 << T)) return false;
    std::memmove(area + last_start + shift, area + last_start, static_cast<size_t>(next.start - last_start));
    std::memcpy(area + top - n2, value.data() + d2, static_cast<size_t>(n2));
    std::memmove(area + i * E, area + (i + 1) * E, static_cast<size_t>((count - i - 1) * E));
    cdx_leaf::PutEntry(area, i, packing, next.rec, d2, t2);
    used += n2 - next.n;
    std::memset(area + (count - 1) * E, 0, static_cast<size_t>(last_start + shift - (count - 1) * E));
  } else {
    // The last entry: its bytes are the lowest.
    std::memset(area + (count - 1) * E, 0, static_cast<size_t>(top - (count - 1) * E));
  }
  Put16(b + 2, static_cast<uint32_t>(count - 1));
  Put16(b + 12, static_cast<uint32_t>(kArea - used));
  file_->WriteBlock(leaf.offset, b, 512);
  touched.push_back(leaf.offset);
  if (i == count - 1 && depth >= 2) {
    // The new last key is the leaf's separator.
    const std::string_view last = FlatValue(static_cast<size_t>(i - 1));
    SetSeparators(path, depth - 2, last, flat_.entries[static_cast<size_t>(i - 1)].rec, &touched);
  }
  return true;
}

}  // namespace tessera
