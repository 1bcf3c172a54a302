// FixedNodes: the searches, steps and key changes of an MDX or NDX tag,
// done over the stored node images instead of node objects.
//
// Both formats keep nodes of entries of one fixed size, each a number (a
// record in a leaf, a child in an interior node) and the key bytes; an
// interior node of n keys has n + 1 entries, the last carrying only the
// rightmost child, and each interior key is the greatest key below it. The
// layouts (see mdx_tag.h and ndx_tag.h):
//
//   MDX  0 key count (32 bits), 4 the page allocated before this block,
//        from 8 entries of number (4) and key; interior exactly when entry
//        n's number is not 0.
//   NDX  0 key count (16 bits, two zero bytes), from 4 entries of child
//        (4), record (4) and key; interior exactly when entry 0's child is
//        not 0.
//
// A change works on light copies of the nodes on its path (numbers and
// canonical key bytes) and repeats, step for step, what the node objects
// do for the same change: the insert in front of the entry found, the
// separators brought up to date, the nodes stored bottom-up with the same
// splits (the same parts, the same blocks taken in the same order, a root
// that splits keeping its block), and every node it rewrites written as
// StoreNode writes it. Each change therefore writes the bytes the node
// objects would write for it if they stored it at once, only without
// building a key object per entry. (Node objects keep a changed tree in
// memory until the file is flushed, so a run of changes made both ways
// holds the same keys in the same order, not always in the same blocks.)
//
// Only character tags are handled here (numbers are stored in forms that
// compare as numbers, not as bytes); other tags, a node that does not look
// right, a node holding more keys than the tag's maximum and a leaf that a
// removal would empty are left to the node objects: every operation then
// answers "undecided" before it has written anything.
#pragma once

#include <cstdint>
#include <vector>

#include "index/index_tag.h"

namespace tessera {

class KTobjMDXTag;

class FixedNodes {
 public:
  using PathStep = KTobjIndexTag::PathStep;

  // `mdx` is the tag again when it is an MDX tag, null for an NDX tag.
  FixedNodes(KTobjIndexTag* tag, KTobjMDXTag* mdx);

  // As KTobjIndexTag's SearchInPlace, StepInPlace, RecordAhead,
  // LocateInPlace, InsertInPlace and RemoveInPlace (see index_tag.h). A
  // located key with a record number is the entry of that key for that
  // record, whatever its place among equal keys; without one (-1) the
  // first equal key, and with kAfterEqual the place after the last.
  int Search(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path, KTobjIndexKeyData& found);
  int Step(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current);
  int32_t RecordAhead(const std::vector<PathStep>& path, int n) const;
  int Locate(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path, KTobjIndexKeyData& found);
  bool Insert(const KTobjIndexKeyData& key, const std::vector<PathStep>& path);
  bool Remove(const std::vector<PathStep>& path, std::vector<int32_t>& touched);

 private:
  // A node image as read, with what its header says.
  struct Image {
    int32_t offset = 0;
    std::vector<uint8_t> bytes;
    int keys = 0;
    bool interior = false;
    int Entries() const { return keys + (interior ? 1 : 0); }
  };
  // A node being changed: per entry its number and its key as StoreNode
  // writes it (key length bytes; the rightmost child's entry carries the
  // key the node objects hold for it, which is never written).
  struct Light {
    int32_t offset = 0;
    bool interior = false;
    int32_t left = 0;  // MDX: the page at bytes 4..7 (node objects' left)
    bool dirty = false;
    std::vector<int32_t> numbers;
    std::vector<uint8_t> keys;
    int Size() const { return static_cast<int>(numbers.size()); }
    uint8_t* Key(int i, int L) { return keys.data() + static_cast<size_t>(i) * static_cast<size_t>(L); }
  };

  // The tag's current sizes; false when this tag is not one handled here.
  bool Usable();
  bool Read(int32_t offset, Image& image) const;
  int32_t NumberAt(const Image& image, int i) const;
  const uint8_t* KeyAt(const Image& image, int i) const;
  // Bytes of a stored key as the node objects hold it (trailing blanks off;
  // NDX: a key that begins with a NUL is empty).
  int TextLength(const uint8_t* key) const;
  // CompareKeys of a target against a stored key: -1, 0 or 1.
  int Compare(const KTobjIndexKeyData& target, const uint8_t* key, int partial) const;
  void SetKey(const Image& image, int i, KTobjIndexKeyData& key) const;
  bool ValidChild(int32_t offset) const;

  int SearchNode(int32_t offset, const KTobjIndexKeyData& target, int partial, bool after_equal,
                 std::vector<PathStep>& path, KTobjIndexKeyData& found, int depth);
  bool Descend(int32_t offset, bool forward, std::vector<PathStep>& path, int depth);
  bool ReadStepLeaf(int32_t offset);
  // Near the end of the step leaf in the walk's direction: reads the leaf
  // the next step past that end reaches (up `path` to the lowest node with
  // an entry further that way, down its first or last entries) into
  // ahead_, so that RecordAhead sees past the leaf's end and that step
  // finds the leaf read. Once per leaf and direction.
  void ReadAhead(const std::vector<PathStep>& path);
  bool AheadCurrent() const;

  // --- changes ---------------------------------------------------------
  // lights_[0] is the leaf, lights_[k + 1] the parent of lights_[k].
  // Reads the nodes of the path's first `levels` levels from the leaf up
  // into lights_ (`fresh`: from the leaf, else those not read yet); false
  // when one does not look right. `leaf_read`: images_[0] holds the leaf
  // as just read.
  bool LoadPath(const std::vector<PathStep>& path, size_t levels, bool fresh, bool leaf_read = false);
  // Empties lights_ and adds a node to it; the nodes' vectors go to and
  // come from spare_, so that a change allocates nothing once warm.
  void ClearLights();
  Light& AddLight();
  bool ToLight(const Image& image, Light& light) const;
  bool Canonical(const Image& image) const;
  int FindChild(const Light& parent, int32_t offset) const;
  void UpdateParentKey(size_t level, const uint8_t* key);
  // `key` lies outside lights_ (it is entered in a node there).
  void InsertSeparator(size_t level, const uint8_t* key, int32_t block);
  void GrowRoot(size_t level);
  void Store(size_t level);
  void WriteLight(const Light& light, int first, int last, int32_t offset, int32_t left);
  void StoreAll(std::vector<int32_t>* touched);

  KTobjIndexTag* tag_;
  KTobjMDXTag* mdx_;
  // Sizes of the tag, refreshed by Usable().
  int32_t block_ = 512;
  int header_ = 4;
  int entry_ = 0;
  int key_at_ = 8;
  int record_at_ = 4;
  int L_ = 0;
  int max_keys_ = 0;   // keys a node takes before it splits
  int capacity_ = 0;   // keys a node read may hold
  bool reverse_ = false;

  // The leaf the last step in place stands in, as long as the file's cache
  // generation and write count are the ones it was read under.
  struct StepLeaf {
    Image image;
    int position = -1;
    bool forward = true;
    uint64_t generation = 0;
    uint64_t writes = 0;
  } step_;
  // The leaf after step_'s in the walk's direction, read by ReadAhead
  // (image offset 0: none). Only a hint for RecordAhead and a read saved
  // for the step onto it, never a position: the steps still go by the
  // path, and take it over only when they reach the same block under the
  // same cache generation and write count.
  struct AheadLeaf {
    Image image;
    int32_t after = 0;  // the step leaf it follows
    bool forward = true;
    uint64_t generation = 0;
    uint64_t writes = 0;
  } ahead_;
  int32_t ahead_tried_ = 0;  // the step leaf ReadAhead last ran for
  bool ahead_tried_forward_ = true;
  Image ahead_scratch_;      // the nodes ReadAhead passes through

  std::vector<Image> images_;  // scratch images by depth
  std::vector<Light> lights_;
  std::vector<Light> spare_;  // emptied lights_, kept for their capacity
  std::vector<int32_t> written_;  // blocks the change under way wrote
  std::vector<uint8_t> block_image_;
  std::vector<uint8_t> key_buffer_;
  std::vector<uint8_t> separator_;  // the key Store enters in a parent
};

}  // namespace tessera
