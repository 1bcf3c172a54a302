// NtxPages: the searches, steps and key changes of an NTX tag, done over
// the stored 1024-byte pages instead of node objects (the page layout is
// described in ntx_tag.h).
//
// The file's tree is a B-tree whose interior pages hold real keys; the
// framework sees it through LoadNode as a tree with every key in a leaf
// (the interior key that follows a leaf is that leaf's last entry). Paths
// here are in the framework's terms, so that the node objects can go on
// from them (Materialize):
//   - an interior position i (0 .. n) is the entry that leads to child i;
//   - a leaf position i < n is the leaf's key i; position n is the key
//     that follows the leaf, held by the deepest page above it whose
//     position is not its last (none: the leaf is the last of its level
//     and position n lies past the end).
//
// Changes are made where the keys are stored, as Clipper makes them: a
// key goes into its page's first free slot and the offset table is
// shifted to give it its place; a key leaves by the reverse swap (its slot
// becomes the first free one). A key removed from an interior page is
// replaced by the key before it, the last key of the leaf in front, which
// leaves that leaf; a page that is emptied (below the root) takes a key
// from its neighbour through the parent, or is merged with the neighbour
// and the key between them, and so on up; a root left without keys gives
// way to its one child. A full page splits around its middle key: the keys
// before it go to a new page, those after it stay in the page, the middle
// key goes up in front of the page's entry in its parent, and a root that
// splits gets a new root page above it. Pages written by a split have
// their slots in order.
//
// A page whose offset table is not a clean permutation of its slots and
// every page that does not look right are left to the node objects: every operation then
// answers "undecided" before it has written anything.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "index/index_tag.h"

namespace tessera {

class KTobjNTXTag;

class NtxPages {
 public:
  using PathStep = KTobjIndexTag::PathStep;
  static constexpr int32_t kPage = 1024;

  explicit NtxPages(KTobjNTXTag* tag);

  // As KTobjIndexTag's SearchInPlace, StepInPlace, RecordAhead,
  // LocateInPlace, InsertInPlace and RemoveInPlace (see index_tag.h).
  int Search(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path, KTobjIndexKeyData& found);
  int Step(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current);
  int32_t RecordAhead(const std::vector<PathStep>& path, int n) const;
  int Locate(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path, KTobjIndexKeyData& found);
  bool Insert(const KTobjIndexKeyData& key, const std::vector<PathStep>& path);
  bool Remove(const std::vector<PathStep>& path, std::vector<int32_t>& touched);

 private:
  // A page as read, with what its count and first slot say.
  struct Page {
    int32_t offset = 0;
    int keys = 0;
    bool interior = false;
    bool dirty = false;    // changed by the change under way
    bool dropped = false;  // merged into its neighbour
    // The file's cache generation and write count when Read last filled
    // the page (writes kUnread: it did not): while both are the file's
    // still, the bytes are the file's page.
    uint64_t generation = 0;
    uint64_t writes = kUnread;
    uint8_t bytes[kPage];
    int SlotAt(int i) const { return bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8); }
  };

  static constexpr uint64_t kUnread = ~uint64_t{0};

  // The tag's current sizes; false when they do not describe a page.
  bool Usable();
  // Reads and checks a page as LoadNode does.
  bool Read(int32_t offset, Page& page) const;
  // Whether the offset table names every slot once (then slots can be
  // swapped through it).
  bool Permutation(const Page& page) const;
  const uint8_t* Slot(const Page& page, int i) const { return page.bytes + page.SlotAt(i); }
  int32_t Child(const Page& page, int i) const;
  int32_t Record(const Page& page, int i) const;
  // The key text of slot i as LoadNode gives it.
  std::string_view Text(const Page& page, int i) const;
  // CompareKeys of a target against the key text of a slot: -1, 0 or 1.
  int Compare(const KTobjIndexKeyData& target, std::string_view key, int partial) const;
  void SetKey(const Page& page, int i, KTobjIndexKeyData& key) const;

  int SearchPage(int32_t offset, const KTobjIndexKeyData& target, int partial, bool after_equal,
                 std::vector<PathStep>& path, KTobjIndexKeyData& found, int depth);
  // The level of the deepest page above the path's leaf whose position is
  // not its last, its page read into images_[level]: 1 found, 0 none (the
  // leaf is the last of its level), 2 a page that does not look right.
  int Following(const std::vector<PathStep>& path, size_t* level);
  // From child page `offset` down to a leaf: its first entry (forward) or
  // its last (the key that follows it).
  bool Descend(int32_t offset, bool forward, std::vector<PathStep>& path, int depth);
  bool ReadStepLeaf(int32_t offset);
  void NoteStep(int position, bool forward) {
    step_.position = position;
    step_.forward = forward;
  }

  // --- changes ---------------------------------------------------------
  // Reads every page of the path into pages_ and checks that the path
  // leads through them, and that the offset tables of the pages from
  // level `swapped_from` down are permutations; false when a page does
  // not look right. A page the search that found the path read (still in
  // images_ at its depth, and current) is taken from there, not read
  // again: a record write locates its keys and then changes them.
  bool LoadPath(const std::vector<PathStep>& path, size_t swapped_from);
  void Write(Page& page);
  // Puts the entry `entry` (entry size bytes) at position i of a page that
  // has a free slot.
  void PutEntry(Page& page, int i, const uint8_t* entry);
  // Takes the key at position i out of a leaf (its slot becomes free).
  void TakeEntry(Page& page, int i);
  // Takes key i and the child in front of it out of an interior page.
  void TakeInterior(Page& page, int i);
  bool Refill(const std::vector<PathStep>& path, size_t level, bool* merged);
  // Splits a full page to which `entry` is added at position i: the keys
  // before the middle go to a new page, the rest stays; `up` gets the
  // middle key with the new page as its child.
  void Split(Page& page, int i, const uint8_t* entry, std::vector<uint8_t>& up);
  // Writes keys [first, last) of `entries` (and an interior page's
  // rightmost child) as a page with its slots in order.
  void WriteOrdered(int32_t offset, const std::vector<uint8_t>& entries, int first, int last, bool interior,
                    int32_t rightmost);

  KTobjNTXTag* tag_;
  int L_ = 0;
  int entry_ = 0;
  int max_keys_ = 0;
  int table_end_ = 0;  // the first byte past the offset table: slot 0
  bool reverse_ = false;
  bool dates_ = false;

  // The leaf the last step stands in, as long as the file's cache
  // generation and write count are the ones it was read under.
  struct StepLeaf {
    Page page;
    int position = -1;
    bool forward = true;
    uint64_t generation = 0;
    uint64_t writes = 0;
  } step_;

  std::vector<Page> images_;  // scratch pages by depth
  std::vector<Page> pages_;   // the path of a change, from the root
  std::vector<Page> siblings_;  // by level: the neighbour of a page a removal empties
  std::vector<int32_t> written_;
  std::vector<uint8_t> entries_;
};

}  // namespace tessera
