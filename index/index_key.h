// Keys and nodes of an index tree.
//
// KTobjIndexKeyData is one key: a value plus the record number it carries
// and a reference (in a leaf: the record number; in an interior entry: the
// file offset of the child node; in a search target: the record number to
// match, or -1 for any).
//
// KTobjIndexKey is the in-memory image of one node: its keys in order, its
// place in the file and the position of the walk through it. Only the root
// and the open path below it are in memory: every node owns the one child
// currently open below it, and knows its parent without owning it. Nodes are
// written (StoreNode) when they are released dirty; a node's format may
// split it then, which inserts separators into its parent.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/collection.h"
#include "engine/variant.h"

namespace tessera {

class KTobjIndexTag;

class KTobjIndexKeyData : public TktVariant {
 public:
  explicit KTobjIndexKeyData(int32_t capacity = 0) : TktVariant(capacity) {}

  // Copies value, kind and both numbers.
  void CopyFrom(const KTobjIndexKeyData& other) {
    Assign(&other);
    RecordNumber = other.RecordNumber;
    Reference = other.Reference;
  }
  std::unique_ptr<KTobjIndexKeyData> Clone() const {
    auto k = std::make_unique<KTobjIndexKeyData>();
    k->CopyFrom(*this);
    return k;
  }

  int32_t RecordNumber = 0;
  int32_t Reference = 0;
};

class KTobjIndexKey : public TktCollection<KTobjIndexKeyData> {
 public:
  static constexpr uint8_t kInterior = 2;
  static constexpr uint8_t kLeaf = 3;

  // A node for `offset`; a positive offset loads the node from the file at
  // once. `parent` may be null (the root).
  KTobjIndexKey(KTobjIndexTag* tag, KTobjIndexKey* parent, int32_t offset);
  ~KTobjIndexKey() override;

  bool IsLeaf() const { return kind == kLeaf; }
  KTobjIndexKeyData* Entry(int32_t i) const { return At(static_cast<size_t>(i)); }
  int32_t Size() const { return static_cast<int32_t>(Count()); }
  KTobjIndexKey* Child() const { return child_.get(); }
  KTobjIndexTag* Tag() const { return tag_; }

  // --- the walk (results and positions as in index_tag.h) -------------
  // Positions this node's path on `target`: 0 found, -1 on the first
  // greater entry, 1 past the end. recno -1 matches any record, INT32_MAX
  // sorts after all equal keys.
  int SearchKey(int32_t recno, const KTobjIndexKeyData& target, int partial);
  // Makes the child at `offset` the open child (loading it); false on a
  // leaf.
  bool OpenChild(int32_t offset);
  bool DescendFirst();
  bool DescendLast();
  // The key at the current position of the open path into the tag's
  // current key.
  bool ReadCurrent();
  bool StepNext();
  bool StepPrior();
  // Copies the key at the end of the open path; bit 0 of the result: every
  // position on the path is the first, bit 1: every position is the last.
  int CopyCurrent(KTobjIndexKeyData& key);

  // --- changes --------------------------------------------------------
  // Inserts a copy of key at the end of the open path, in front of the
  // current entry (after it when `after`).
  void InsertAt(const KTobjIndexKeyData& key, bool after);
  // Removes the entry at the end of the open path.
  void DeleteCurrent();
  // Replaces this node's separator in its parent (the parent's entry whose
  // reference is this node's offset) by key.
  void UpdateParentKey(const KTobjIndexKeyData& key);
  // Takes an emptied node out of its parent; its block stays allocated.
  void RemoveFromParent();
  // After a format wrote the first part of this node to a new block:
  // enters `separator` (the last key of that part, referring to the new
  // block) in front of this node's entry in the parent.
  void InsertSeparator(const KTobjIndexKeyData& separator);

  // The open path below this node holds unwritten changes.
  bool PathDirty() const;

  // --- fields ---------------------------------------------------------
  int32_t offset = 0;  // 0: no block yet
  int32_t left = -1;
  int32_t right = -1;
  KTobjIndexKey* parent = nullptr;
  uint8_t kind = 0;
  int32_t position = -1;
  bool dirty = false;
  bool split = false;
  // Emptied and taken out of its parent: instead of being written, the
  // node's format takes it out of the level's sibling chain.
  bool removed = false;
  // Leaf packing as last read or written (compound index leaves).
  uint16_t free_space = 0;
  uint32_t record_mask = 0;
  uint8_t duplicate_mask = 0, trailing_mask = 0;
  uint8_t record_bits = 0, duplicate_bits = 0, trailing_bits = 0, entry_bytes = 0;

 private:
  friend class KTobjIndexTag;
  // Stores the open child (and its path) when dirty and frees it.
  void ReleaseChild();
  // Removes entry i of this node (no descent), keeping positions and the
  // parent's separator right.
  void RemoveEntry(int32_t i);
  // Creates a new parent above this root node (GrowRoot).
  void GrowRoot();
  int32_t FindChildEntry(int32_t child_offset) const;

  KTobjIndexTag* tag_;
  std::unique_ptr<KTobjIndexKey> child_;
};

}  // namespace tessera
