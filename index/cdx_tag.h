// KTobjCDXTag: one tag of a compound (.CDX) index file.
//
// Tag header (1024 bytes at the tag's header offset; integers
// little-endian):
//   0    root node offset
//   4    free node list (written 0, not used)
//   8    version counter (the directory's counts record writes)
//   12   key length, 1..240
//   14   options: 0x01 unique, 0x08 FOR condition, 0x60 always, 0x80 only in
//        the tag directory (0xE0)
//   15   signature 1 (2 for the GENERAL collation)
//   494  collation name ("GENERAL" or zeros)
//   502  1 descending, 0 ascending (keys are stored ascending either way)
//   504  key expression length + 1 (0 without one)
//   506  FOR expression length + 1 (1 without one)
//   510  key expression length + 1 (1 without one)
//   512  key expression, NUL, FOR expression, NUL
//
// Node (512 bytes): 0 attributes (bit 0 root, bit 1 leaf), 2 key count,
// 4 left sibling, 8 right sibling (-1 none), then
//   interior: from 12, entries of key bytes (padded with blanks or zeros),
//             record number (big-endian) and child offset (big-endian);
//             an entry's key is the greatest key below it;
//   leaf:     from 12 the packing header, from 24 the entries and, from the
//             end backwards, each key's bytes without the leading bytes it
//             shares with the previous key and without its trailing blanks
//             (character) or zero bytes; cdx_leaf.h explains every byte and
//             holds the one decoder and encoder of leaves.
//
// Stored key forms: character keys without trailing blanks; numbers (and
// dates as day numbers) as the big-endian IEEE double with the sign bit set
// when it was clear and every bit inverted when it was set, so the bytes
// sort like the numbers, without trailing zero bytes (-0 is stored as 0).
// Dropping zero bytes keeps the order of negative numbers too: a shorter key
// sorts as if padded with zeros.
//
// Visual FoxPro's tags over its own field types, recognised when a tag is
// read (its key expression against the table's fields and its key length):
//   I field, 4-byte key   the integer big-endian with its sign bit flipped;
//   T field               the day number plus the time as a fraction of a
//                         day, stored as any number (Y and B fields are
//                         numbers to begin with);
//   nullable fields       one leading byte more: 0x80 before a value, 0x00
//                         alone for a null (_NullFlags), which so sorts
//                         first. Keys of such tags are binary in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/cdx_leaf.h"
#include "index/index_tag.h"

namespace tessera {

class KTobjCDXFile;
class KTobjSortCDX;

class KTobjCDXTag : public KTobjIndexTag {
 public:
  static constexpr int kMaxKeyLength = cdx_leaf::kMaxKey;
  static constexpr int kLeafArea = cdx_leaf::kArea;
  static constexpr int kInteriorArea = 500;

  // header_offset -1: a new tag (two blocks are allocated for its header).
  KTobjCDXTag(KTobjCDXFile* file, int32_t header_offset, std::string_view name);
  // A stand-in: a tag over the file's table that is no part of the file
  // (nothing is allocated, read or written for it). Given a definition by
  // DefineKey, it evaluates and normalizes keys exactly as the tag built
  // from that definition will, so that a build can gather the keys of a
  // tag before the tag takes its place in the file.
  struct StandIn {};
  KTobjCDXTag(KTobjCDXFile* file, std::string_view name, StandIn);
  ~KTobjCDXTag() override;

  void NormalizeKey(TktVariant& value, bool trim_blanks) override;
  bool DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  bool InsertKey(const KTobjIndexKeyData& key) override;
  int32_t ReadRootOffset() override;
  bool LoadNode(int32_t offset, KTobjIndexKey& node) override;
  bool StoreNode(KTobjIndexKey& node) override;
  bool ReadTagHeader() override;
  bool WriteTagHeader() override;
  int SearchInPlace(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                    KTobjIndexKeyData& found) override;
  int StepInPlace(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current) override;
  int32_t RecordAhead(int n) const override;
  void RecordsAhead(int count, int32_t* out) const override;

  // Changes in the stored nodes (cdx_inplace.cpp).
  int LocateInPlace(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                    KTobjIndexKeyData& found) override;
  bool InsertInPlace(const KTobjIndexKeyData& key, const std::vector<PathStep>& path) override;
  bool RemoveInPlace(const std::vector<PathStep>& path, std::vector<int32_t>& touched) override;
  bool ChangesInPlace() const override { return true; }

  // The first half of DefineTag, which touches nothing in the file:
  // compiles the expressions and takes the key's type and length from
  // the key of the table's current record. False when the key expression
  // gives no value of a kind a key can have; raises on a key longer than
  // 240 bytes and on expressions that do not compile.
  bool DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr);
  // DefineTag with the keys gathered already (by a stand-in of the same
  // definition, into `keys`), which the build packs instead of reading
  // the table.
  bool DefineTagWithKeys(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr,
                         KTobjSortCDX& keys);

  // Builds the whole tag from the table (bulk build), then writes the
  // header. With `gathered`, its keys are the tag's and the table is not
  // read.
  void BuildTag(KTobjSortCDX* gathered = nullptr);

  bool EvalKey(TktVariant& value, bool* changed) override;
  void CheckMaintainable(const KTobjIndexKeyData& key, bool indexed) override;
  std::string_view KeyValueBytes(const TktVariant& key, bool* null) const override;

  bool IsDirectory() const { return (options_ & 0x80) != 0; }
  // Keys are character values in memory (a character tag without a null
  // marker); otherwise binary.
  bool TextEntries() const { return key_type_ == 'C' && !null_marker_; }
  bool NullMarker() const { return null_marker_; }
  // Keys in one of Visual FoxPro's forms (null marker, 4-byte integer,
  // date-time, candidate key), which a build here would not give.
  bool ForeignKeyForm() const { return null_marker_ || int_key_ || datetime_field_ != 0 || Candidate(); }
  // Visual FoxPro's candidate (primary) keys: option bit 0x04, no two
  // records with one key.
  bool Candidate() const { return (options_ & 0x04) != 0 && !IsDirectory(); }
  void SetOptions(uint8_t options) { options_ = options; }
  uint8_t Options() const { return options_; }
  int32_t VersionCounter() const { return version_counter_; }
  void SetVersionCounter(int32_t v) { version_counter_ = v; }
  bool Valid() const { return valid_; }
  // The largest record number leaves must be able to hold now.
  int64_t MaxRecordNumber() const;
  // The empty root leaf of a tag without keys.
  void WriteEmptyRoot();

  // Leaf packing parameters for key length L and largest record number M.
  using Packing = cdx_leaf::Packing;
  static Packing PackingFor(int key_length, int64_t max_record, bool cap_at_31_bits = true);
  // Packs keys [first, last) of a node into a 512-byte leaf image (header
  // fields from 12 on and the entries); answers the free bytes.
  int PackLeaf(const KTobjIndexKey& node, int32_t first, int32_t last, const Packing& p, uint8_t* image) const;
  // Bytes a leaf needs for keys [first, last) (entries plus stored key
  // bytes).
  int LeafBytes(const KTobjIndexKey& node, int32_t first, int32_t last, const Packing& p) const;
  uint8_t PadByte() const { return key_type_ == 'C' ? 0x20 : 0x00; }

 private:
  friend class KTobjCDXFile;
  friend class KTobjSortCDX;

  void WriteLeaf(KTobjIndexKey& node);
  void WriteInterior(KTobjIndexKey& node);
  // How many of the `remaining` entries of an interior node that splits go
  // to the next part split off its front: the larger half, at most the
  // capacity, except as the .cpp explains; `changed` is the position
  // (counted from that part's start) of the entry whose child split.
  int InteriorPart(int remaining, int changed) const;
  // Writes a split-off part to a new block left of the node and enters it
  // in the parent; answers the new block's offset.
  // Takes an emptied node out of its level: the left neighbour's right
  // link and the right neighbour's left link skip it. Its block is left
  // unused.
  void UnlinkNode(const KTobjIndexKey& node);
  void LinkLeftPart(KTobjIndexKey& node, int32_t new_offset, const KTobjIndexKeyData& last_key, uint8_t* image);
  void LearnKeyType();
  // The stored form without a null marker, `length` bytes at most.
  void NormalizeValue(TktVariant& value, bool trim_blanks, int length);
  // The fields the key expression reads (numbers), through the table's
  // names.
  std::vector<int> KeyFields() const;
  // After parts [0, first) of a node went to new blocks: the node object
  // keeps only what its own block now holds, so that the tree in memory
  // stays the file's.
  void KeepRightPart(KTobjIndexKey& node, int32_t first);
  // SearchInPlace below one node: as there, and 1 when every key below the
  // node sorts before the target.
  int SearchNodeInPlace(int32_t offset, const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                        KTobjIndexKeyData& found, int depth);
  // The interior step of the searches over the stored nodes
  // (SearchNodeInPlace, LocateNode): in interior node image `b` (`count`
  // entries; the node stands at path[at]) the first entry whose key
  // `compare(key, length)` does not place before the target, then the
  // entries after it for as long as `descend(child)` answers 1 (every key
  // below sorts before the target). 2 when the node does not look right.
  template <class Compare, class Descend>
  int DescendInterior(const uint8_t* b, int count, size_t at, std::vector<PathStep>& path, Compare compare,
                      Descend descend);

  // A leaf decoded whole, without node objects: per entry its record, its
  // duplicate and trailing counts and stored byte count as stored, where
  // its stored bytes start in the key area, and its whole value (at
  // `value` in `bytes`, `length` bytes, without trailing pad bytes).
  struct FlatEntry {
    int32_t rec;
    uint16_t d, t, n, start;
    uint32_t value;
    uint16_t length;
  };
  struct FlatLeaf {
    std::vector<FlatEntry> entries;
    std::vector<uint8_t> bytes;
    int Count() const { return static_cast<int>(entries.size()); }
    std::string_view Value(size_t i) const {
      return {reinterpret_cast<const char*>(bytes.data()) + entries[i].value, entries[i].length};
    }
  };
  // Decodes leaf image `b` into `leaf`, checking it as LoadNode does;
  // false when it does not look right.
  bool DecodeLeaf(const uint8_t* b, FlatLeaf& leaf) const;

  // The leaf a step in place stands in. It is the block's as long as the
  // file's cache generation is the one it was decoded under and no write
  // went through the file since.
  struct StepLeaf {
    int32_t offset = 0;  // 0: none
    int position = 0;    // where the last step in place went
    bool forward = true;
    uint64_t generation = 0;
    uint64_t writes = 0;
    int32_t left = -1, right = -1;  // the sibling links as stored (bytes 4, 8)
    FlatLeaf leaf;
  };
  // Reads node `offset` (512 bytes) into `b` for a walk over the stored
  // nodes, `depth` levels below the root; false when the offset is no node
  // of the file, the walk went deeper than any tree, or the block has no
  // node's attributes or no keys.
  bool ReadStoredNode(int32_t offset, int depth, uint8_t* b);
  // ReadStoredNode for a search down the stored nodes, which adds the node
  // to `path` (position 0 until the search sets it): where it stands in
  // the path, its key count and whether it is a leaf; nothing when it
  // cannot be read.
  struct StoredNode {
    size_t at;
    int count;
    bool leaf;
  };
  std::optional<StoredNode> EnterStoredNode(int32_t offset, int depth, uint8_t* b, std::vector<PathStep>& path);
  // Reads the leaf at `offset` into step_leaf_; false when it is no sound
  // leaf (or no leaf). The neighbour decoded ahead is taken over when it
  // is that leaf and still current.
  bool DecodeStepLeaf(int32_t offset);
  // Reads the leaf at `offset` into `into` (offset 0 when it is no sound
  // leaf).
  bool DecodeLeafAt(int32_t offset, StepLeaf& into);
  // Near the end of step_leaf_ in the walk's direction: decodes the leaf
  // its sibling link names into next_leaf_, so that RecordAhead sees past
  // the leaf's end and the step onto that leaf finds it decoded.
  void DecodeNeighbourAhead();
  bool NeighbourCurrent() const;
  // From interior node `offset` down its first (forward) or last entries
  // to a leaf, appending the steps to `path`; false when a node on the way
  // does not look right.
  bool DescendInPlace(int32_t offset, bool forward, std::vector<PathStep>& path, int depth);
  void SetStepKey(int i, KTobjIndexKeyData& key) const;
  StepLeaf step_leaf_;
  // The leaf after step_leaf_ in the walk's direction as its sibling link
  // names it, decoded ahead (offset 0: none); only a hint for RecordAhead
  // and a decode saved, never a position: the steps still go by the path.
  StepLeaf next_leaf_;
  int32_t neighbour_tried_ = 0;  // the link last decoded ahead (or refused)

  std::string_view FlatValue(size_t i) const { return flat_.Value(i); }
  int LocateNode(int32_t offset, const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                 KTobjIndexKeyData& found, int depth);
  // SearchKey's comparison of a target (and record) with a stored entry.
  int CompareStored(const KTobjIndexKeyData& target, int32_t recno, const uint8_t* bytes, int length, int32_t rec);
  // Writes key and record of the separator at path[level] and, while it is
  // its node's last, of the ones above.
  void SetSeparators(const std::vector<PathStep>& path, size_t level, std::string_view key, int32_t rec,
                     std::vector<int32_t>* touched);
  // Packs pack_keys_/pack_recs_ [first, last) into a leaf image (as
  // PackLeaf); answers the free bytes.
  int PackFlat(size_t first, size_t last, const Packing& p, uint8_t* image) const;
  int FlatBytes(size_t first, size_t last, const Packing& p) const;

  // Reads leaf `offset` into leaf_image_ and flat_, unless they hold it
  // already (a search in place just decoded it and nothing was written to
  // this tag since); false when it does not look right.
  bool ReadLeafFlat(int32_t offset);
  // Whatever this tag writes makes the leaf held in flat_ stale.
  void ForgetFlatLeaf() { flat_offset_ = 0; }

  // An interior node on the way up of a split in place: its image as
  // read, its entries with the separators of the parts below entered in
  // front of the child's entry (`entered` of them, at `position`), where
  // the parts that go to new blocks end (the node keeps the rest; none:
  // the node has room), their blocks, the block of the node's own part
  // (its own, except for a root that splits), and the node's left
  // neighbour as read.
  struct SplitNode {
    uint8_t image[512];
    uint8_t neighbour[512];
    std::vector<uint8_t> entries;
    int total = 0;
    int position = 0;
    int entered = 0;
    std::vector<int> ends;
    std::vector<int32_t> blocks;
    int32_t home = 0;
  };
  // The leaf at the end of `path` splits into `parts` of pack_keys_ (the
  // rest stays in its block, packed with `p`); `leaf_image` is the leaf as
  // stored, `new_last` says the new key `k` (record `rec`) is the leaf's
  // last. Enters the separators above, splitting interior nodes up to the
  // root as far as needed; false, with nothing written, when a node on the
  // way does not look right.
  bool SplitInPlace(const std::vector<PathStep>& path, const std::vector<std::pair<size_t, size_t>>& parts,
                    const Packing& p, const uint8_t* leaf_image, bool new_last, std::string_view k, int32_t rec);
  std::vector<SplitNode> split_nodes_;
  std::vector<int32_t> leaf_blocks_;
  std::vector<int32_t> neighbours_;  // the left neighbours a split writes
  uint8_t leaf_neighbour_[512] = {};

  // Decodes leaf image `b` (read from block `offset`) into flat_ and
  // leaf_image_, unless flat_ is the decoding of those very bytes already
  // (the leaf an earlier write of this tag went to, unchanged since);
  // false when it does not look right.
  bool DecodeIntoFlat(const uint8_t* b);
  // After InsertInPlace put key `k` (record `rec`) at entry i of the leaf
  // in leaf_image_ without a split: brings flat_ to the image as written
  // (the new entry's and the next one's stored counts, the later entries'
  // bytes moved down by `delta`, the new key's bytes below `top`).
  void FollowInsert(int i, std::string_view k, int32_t rec, int d_new, int n_new, int d2, int n2, int delta, int top);

  FlatLeaf flat_;
  uint8_t leaf_image_[512] = {};
  int32_t flat_offset_ = 0;       // the leaf in leaf_image_ / flat_, 0 none
  uint64_t flat_generation_ = 0;  // the file's cache generation then
  // flat_ is the decoding of leaf_image_ for keys of this length and pad
  // byte (0: it is not), whatever block the image came from: a block
  // whose bytes are leaf_image_'s decodes to flat_. Whatever changes
  // leaf_image_ keeps flat_ its decoding or clears this.
  int flat_image_length_ = 0;
  uint8_t flat_image_pad_ = 0;
  std::vector<std::string_view> pack_keys_;
  std::vector<int32_t> pack_recs_;
  // pack_common_[i]: the leading bytes pack_keys_[i] shares with the key
  // before it (0 for the first).
  std::vector<uint16_t> pack_common_;

  uint8_t options_ = 0x60;
  uint8_t collation_ = 1;  // 1 MACHINE, 2 GENERAL
  // Key forms of other programs (see the top of this file).
  bool null_marker_ = false;
  bool int_key_ = false;
  int datetime_field_ = 0;            // the T field the key is, 0 none
  std::vector<int> nullable_fields_;  // nullable fields the key reads
  int32_t version_counter_ = 0;
  bool valid_ = true;
  KTobjIndexKeyData probe_{256};  // a stored key being compared in place
};

template <class Compare, class Descend>
int KTobjCDXTag::DescendInterior(const uint8_t* b, int count, size_t at, std::vector<PathStep>& path,
                                 Compare compare, Descend descend) {
  if (count > interior_capacity_) return 2;
  const int L = key_length_;
  const int lo = cdx_bytes::InteriorLowerBound(b, count, entry_size_, L, PadByte(), compare);
  for (int p = lo < count - 1 ? lo : count - 1; p < count; ++p) {
    const int32_t child = index_bytes::GetBE32(b + 12 + p * entry_size_ + L + 4);
    if (child <= 0 || child % 512 != 0) return 2;
    path.resize(at + 1);
    path[at].position = p;
    const int r = descend(child);
    if (r != 1) return r;
  }
  return 1;
}

// The stored form of a number (1 to 8 bytes, see above) and back.
std::string EncodeCdxNumber(double value);
// Visual FoxPro's stored form of an integer (4 bytes, see above, without
// trailing zero bytes); the value is truncated to a whole number within
// the 32-bit range.
std::string EncodeVfpInteger(double value);
// A T field's 8 bytes (day number, milliseconds of the day; little-endian)
// as the number its keys store.
double VfpDateTimeNumber(const char* raw);
double DecodeCdxNumber(std::string_view stored);

}  // namespace tessera
