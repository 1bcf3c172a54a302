// KTobjNTXTag: the one tag of a Clipper-style (.NTX) index file.
//
// The file is a sequence of 1024-byte pages addressed by byte offset.
// Header (the page at offset 0; integers little-endian):
//   0    signature: 6, or 7 when a FOR condition is stored (Clipper adds 8
//        for a temporary index of part of the records; Summer '87 wrote 3)
//   2    version counter (advanced on every record write)
//   4    offset of the root page
//   8    Clipper's list of free pages (0: none), kept as found
//   12   entry size = key length + 8
//   14   key length
//   16   decimals (numeric keys)
//   18   maximum keys per page = 2 * ((1020 / (key length + 10) - 1) / 2)
//   20   half page = maximum keys / 2
//   22   key expression, NUL-terminated (256 bytes)
//   278  1 unique
//   279  0
//   280  1 descending (keys are stored in descending order)
//   282  FOR expression, NUL-terminated, when the signature says so
//
// Page: 0 key count n; from 2, maximum keys + 1 two-byte offsets within the
// page of the entry slots (a key put into a page or taken out of it in
// place, by Clipper or by NtxPages, permutes them; a page written whole has
// them in order); each slot holds the child page offset (0 in leaves), the
// record number and the key blank-padded to the key length. Slots 0 .. n-1
// hold the keys; on an interior page slot n holds only the rightmost child.
// Interior keys are real keys: the keys of child i are below key i, those
// of child i + 1 above it.
//
// The framework's trees keep every key in a leaf and give each interior
// entry the last key of its child. LoadNode maps the file's shape to that:
// a leaf gets the interior key that follows it (taken from its parent's
// entry) as its last entry, unless it is the rightmost page of its level,
// and an interior page's extra last entry is its parent's entry (or 0xFF
// at the root). StoreNode maps back: a page that is not rightmost stores
// its last entry only in the parent. Equal keys are kept in file order; a
// new one goes after the others.
//
// Stored key forms, all text of the key length:
//   character  the text (logical: "T" / "F");
//   date       "yyyymmdd", "00000000" for no date (blanks, as other
//              programs write them, read as "00000000");
//   numeric    |value| in fixed notation with the tag's decimals, right
//              aligned, blanks turned into "0"; for a negative value every
//              digit d becomes the character 44 - d, so negatives sort
//              first and larger magnitudes before smaller ones.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "index/index_tag.h"
#include "index/ntx_pages.h"

namespace tessera {

class KTobjNTXFile;
class KTobjSortNTX;

class KTobjNTXTag : public KTobjIndexTag {
 public:
  static constexpr int32_t kPageSize = 1024;
  static constexpr int kForExprOffset = 282;
  // Longest key this engine builds (the key sort's limit).
  static constexpr int kMaxKeyLength = 240;

  // A tag whose header is at offset 0. With `read` the header is read from
  // the file (Valid() tells whether it is sound); otherwise the tag is new.
  KTobjNTXTag(KTobjNTXFile* file, std::string_view name, bool read);
  // A tag that is not in the file and writes nothing: after DefineKey it
  // evaluates and normalizes keys exactly as the tag built from the same
  // definition, so that another thread can gather that tag's keys through
  // it (a side-by-side build of several files, single_tag_build.h).
  struct StandIn {};
  KTobjNTXTag(KTobjNTXFile* file, std::string_view name, StandIn);
  ~KTobjNTXTag() override;

  void NormalizeKey(TktVariant& value, bool trim_blanks) override;
  bool DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  int32_t ReadRootOffset() override;
  bool LoadNode(int32_t offset, KTobjIndexKey& node) override;
  bool StoreNode(KTobjIndexKey& node) override;
  bool ReadTagHeader() override;
  bool WriteTagHeader() override;
  // Refuses (ETesseraError) a record's key that is longer than the key
  // length instead of cutting it.
  bool EvalKey(TktVariant& value, bool* changed) override;
  // Searches, steps and key changes over the stored pages (NtxPages).
  int SearchInPlace(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                    KTobjIndexKeyData& found) override {
    return pages_.Search(target, partial, path, found);
  }
  int StepInPlace(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current) override {
    return pages_.Step(forward, path, current);
  }
  int32_t RecordAhead(int n) const override { return path_pending_ ? pages_.RecordAhead(pending_path_, n) : 0; }
  int LocateInPlace(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                    KTobjIndexKeyData& found) override {
    return pages_.Locate(key, recno, path, found);
  }
  bool InsertInPlace(const KTobjIndexKeyData& key, const std::vector<PathStep>& path) override {
    return pages_.Insert(key, path);
  }
  bool RemoveInPlace(const std::vector<PathStep>& path, std::vector<int32_t>& touched) override {
    return pages_.Remove(path, touched);
  }
  bool ChangesInPlace() const override { return true; }

  // DefineTag's checks, key type and sizes; nothing written. False when
  // the key cannot be evaluated on the current record.
  bool DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr);
  // DefineTag with the keys gathered already through a stand-in of the
  // same definition.
  bool DefineTagWithKeys(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr,
                         KTobjSortNTX& keys);
  // Builds the whole tag from the table (or from `gathered`, the keys of
  // every record sorted), then writes the header.
  void BuildTag(KTobjSortNTX* gathered = nullptr);
  // Writes an empty leaf at a new page and makes it the root.
  void WriteEmptyRoot();

  bool Valid() const { return valid_; }
  bool PhysicallyDescending() const { return reverse_compare_; }
  int Decimals() const { return decimals_; }
  int MaxKeys() const { return max_keys_; }
  void DropTree() { TakeRoot().reset(); }
  void SetRoot(int32_t offset) { SetRootOffset(offset); }
  // The file is cut back and built anew: Clipper's free pages are gone.
  void ForgetFreeList() { free_list_ = 0; }

  // The stored text of a number for key length `width` and `decimals`;
  // empty when it does not fit.
  static std::string EncodeNumber(double value, int width, int decimals);
  // The number a stored text stands for.
  static double DecodeNumber(std::string_view stored);
  // Sizes for a key length.
  static int MaxKeysFor(int key_length) { return 2 * ((1020 / (key_length + 10) - 1) / 2); }

 private:
  friend class KTobjSortNTX;
  KTobjNTXFile* Ntx() const;
  // The stored text of a key value (not cut to the key length).
  std::string StoredText(const TktVariant& value, bool trim_blanks) const;
  // Writes entries [first, last) of a node as one page at `offset`;
  // `counted` entries count as keys.
  void WritePage(const KTobjIndexKey& node, int32_t first, int32_t last, int32_t counted, int32_t offset);

  int decimals_ = 0;
  int max_keys_ = 0;
  bool valid_ = true;
  // As read from the header of a file (a new tag: 6, none).
  uint16_t signature_ = 6;
  bool temporary_ = false;
  int32_t free_list_ = 0;  // Clipper's first free page
  NtxPages pages_{this};
};

}  // namespace tessera
