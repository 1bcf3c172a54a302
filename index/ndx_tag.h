// KTobjNDXTag: the one tag of a dBase III-style (.NDX) index file.
//
// The file is a sequence of 512-byte blocks; every position this format
// hands to the framework (root, node, next free) is a block number.
// Header (block 0; integers little-endian):
//   0    root block
//   4    next free block (blocks in use) when the header was written
//   8    0
//   12   key length: 8 for numeric and date keys, else the text length
//   14   maximum keys per node
//   16   key type: 0 character, 1 numeric or date
//   18   entry size: key length + 8 rounded up to 4 (numeric keys: 20)
//   23   1 unique
//   24   key expression, NUL-terminated
//
// Node (one block): 0 key count n (16 bits and two zero bytes); from 4,
// entries of entry size: child block (interior; 0 in leaves), record
// number (leaves; 0 in interior nodes), key. An interior node has n keys
// and n + 1 children: the entry after the last key holds only the
// rightmost child. Each interior key is the greatest key below it, as the
// framework's trees have it; the extra entry gets a key above every key
// (0xFF for text, 1.7e308 for numbers) in memory.
//
// Stored key forms: character keys blank-padded text; numbers and dates
// (as day numbers) little-endian doubles, a date of 0 or less (no date) as
// 1e100 so that empty dates sort last. The tag is always ascending, keeps
// no FOR condition in the file and orders equal keys as they were
// inserted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "index/fixed_nodes.h"
#include "index/index_tag.h"

namespace tessera {

class KTobjNDXFile;
class KTobjSortNdx;

class KTobjNDXTag : public KTobjIndexTag {
 public:
  static constexpr int32_t kBlockBytes = 512;
  static constexpr int kMaxKeyLength = 240;
  static constexpr double kNoDate = 1e100;

  KTobjNDXTag(KTobjNDXFile* file, std::string_view name, bool read);
  // A tag that is not in the file and writes nothing: after DefineKey it
  // evaluates and normalizes keys exactly as the tag built from the same
  // definition, so that another thread can gather that tag's keys through
  // it (a side-by-side build of several files, single_tag_build.h).
  struct StandIn {};
  KTobjNDXTag(KTobjNDXFile* file, std::string_view name, StandIn);
  ~KTobjNDXTag() override;

  void NormalizeKey(TktVariant& value, bool trim_blanks) override;
  bool DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  bool InsertKey(const KTobjIndexKeyData& key) override;
  int32_t ReadRootOffset() override;
  bool LoadNode(int32_t offset, KTobjIndexKey& node) override;
  bool StoreNode(KTobjIndexKey& node) override;
  bool ReadTagHeader() override;
  bool WriteTagHeader() override;
  // Searches, steps and key changes over the stored nodes (FixedNodes).
  int SearchInPlace(const KTobjIndexKeyData& target, int partial, std::vector<PathStep>& path,
                    KTobjIndexKeyData& found) override {
    return nodes_.Search(target, partial, path, found);
  }
  int StepInPlace(bool forward, std::vector<PathStep>& path, KTobjIndexKeyData& current) override {
    return nodes_.Step(forward, path, current);
  }
  int32_t RecordAhead(int n) const override { return path_pending_ ? nodes_.RecordAhead(pending_path_, n) : 0; }
  int LocateInPlace(const KTobjIndexKeyData& key, int32_t recno, std::vector<PathStep>& path,
                    KTobjIndexKeyData& found) override {
    return nodes_.Locate(key, recno, path, found);
  }
  bool InsertInPlace(const KTobjIndexKeyData& key, const std::vector<PathStep>& path) override {
    return nodes_.Insert(key, path);
  }
  bool RemoveInPlace(const std::vector<PathStep>& path, std::vector<int32_t>& touched) override {
    return nodes_.Remove(path, touched);
  }
  bool ChangesInPlace() const override { return true; }
  // Refuses (ETesseraError) a record's character key longer than the key
  // length instead of cutting it.
  bool EvalKey(TktVariant& value, bool* changed) override;

  // DefineTag's checks, key type and sizes; nothing written. False when
  // the key cannot be evaluated on the current record.
  bool DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr);
  // DefineTag with the keys gathered already through a stand-in of the
  // same definition.
  bool DefineTagWithKeys(const std::string& key_expr, bool unique, KTobjSortNdx& keys);
  // The tree from the table's records, or from `gathered` (the keys of
  // every record, sorted); then the header.
  void BuildTag(KTobjSortNdx* gathered = nullptr);
  void WriteEmptyRoot();

  bool Valid() const { return valid_; }
  int MaxKeys() const { return max_keys_; }
  bool NumericKeys() const { return key_type_ != 'C'; }
  void DropTree() { TakeRoot().reset(); }
  void SetRoot(int32_t block) { SetRootOffset(block); }
  // The stored bytes of a key value as written into a node.
  std::string NodeBytes(const TktVariant& value) const;

 private:
  friend class KTobjSortNdx;
  KTobjNDXFile* Ndx() const;
  void WriteNode(const KTobjIndexKey& node, int32_t first, int32_t last, int32_t block);

  int max_keys_ = 0;
  bool valid_ = true;
  FixedNodes nodes_{this, nullptr};
};

}  // namespace tessera
