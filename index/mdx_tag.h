// KTobjMDXTag: one tag of a multiple (.MDX) index file.
//
// Every number below is a little-endian integer. "Page" means a 512-byte
// unit of the file; a block (tag header or node) is the file's block size,
// a whole number of pages (two in files this engine creates). The framework
// knows nodes by their page number.
//
// Tag header (one block at the tag's header page):
//   0    page of the root node
//   8    key format: 0x10, + 0x08 descending, + 0x40 unique
//   9    key type 'C', 'N' or 'D'
//   12   key length: the character key's length, 12 for N, 8 for D
//   14   maximum keys per node: (block size - 12) div entry length, as
//        dBase writes it (files written before by this engine say one
//        less, and are read by what they say)
//   18   entry length: key length + 4, rounded up to a multiple of 4
//   23   0x40 when unique
//   24   key expression, NUL-terminated (at most 220 characters)
//   245  1 with a FOR condition
//   246  1
//   248  page of the first node block allocated for the tag
//   252  page of the last node block allocated for the tag
//   762  FOR expression, NUL-terminated (only with a FOR condition)
//
// Node (one block): 0 number of keys n; 4 page of the block allocated
// before this one; from 8, n + 1 entries of the entry length, each a 4-byte
// number and the key bytes. In a leaf the number is a record number and
// entry n's number is 0; in an interior node it is a child's page, entry n
// holds the rightmost child and no key, and an entry's key is the greatest
// key below it. A node is interior exactly when entry n's number is not 0.
//
// Stored key forms: C the text padded with blanks; D the day number as a
// double (an empty date as 1e100, so it sorts after every date); N twelve
// bytes of packed decimal (see EncodeMdxNumber). In memory a C key is the
// text without trailing blanks, N and D keys are numbers (doubles), and a
// numeric key always goes through the packed form and back first, so that
// it has exactly the precision the file keeps.
//
// Descending tags store their keys in descending order (every comparison
// negated); equal keys are not ordered by record number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/fixed_nodes.h"
#include "index/index_tag.h"

namespace tessera {

class KTobjMDXFile;

class KTobjSortMDX;

class KTobjMDXTag : public KTobjIndexTag {
 public:
  static constexpr int kMaxKeyLength = 240;
  static constexpr int kMaxKeyExpression = 220;

  // header_page -1: a new tag (a block is allocated for its header).
  KTobjMDXTag(KTobjMDXFile* file, int32_t header_page, std::string_view name);
  // A tag that is not in the file and allocates and writes nothing: after
  // DefineKey it evaluates and normalizes keys exactly as the tag built
  // from the same definition, so that another thread can gather that
  // tag's keys through it (KTobjMDXFile::CreateTags).
  struct StandIn {};
  KTobjMDXTag(KTobjMDXFile* file, std::string_view name, StandIn);
  ~KTobjMDXTag() override;

  void NormalizeKey(TktVariant& value, bool trim_blanks) override;
  bool DefineTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  bool InsertKey(const KTobjIndexKeyData& key) override;
  int32_t ReadRootOffset() override;
  bool LoadNode(int32_t page, KTobjIndexKey& node) override;
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
  // The root and the first and last node pages (another writer's
  // allocations move the last one on).
  void ReloadHeaderState() override;

  // Builds the whole tag from the table (bulk build), then writes the
  // header; with `keys`, from the tag's keys gathered already (through a
  // stand-in of the same definition).
  void BuildTag(KTobjSortMDX* keys = nullptr);
  // DefineTag's checks and key type and length, nothing written: false
  // when the key cannot be evaluated on the current record.
  bool DefineKey(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr);
  // Writes an empty leaf as the root (a tag without keys).
  void WriteEmptyRoot();

  bool Valid() const { return valid_; }
  bool Ascending() const { return !reverse_compare_; }
  int MaxKeys() const { return interior_capacity_; }
  uint32_t FirstNodePage() const { return first_node_page_; }
  uint32_t LastNodePage() const { return last_node_page_; }
  // A node block was allocated for the tag: it becomes the last one.
  void NoteAllocated(int32_t page);
  void SetHeaderPage(int32_t page) { header_offset_ = page; }
  // The key's stored bytes (key length) for an in-memory key.
  std::string StoredKey(const TktVariant& key) const;
  // Keys per node of a new tag: the node header (8 bytes), that many
  // entries and the number field of one more fill the block.
  static int CapacityFor(int block_bytes, int entry_size);
  // Bytes a full node of max_keys entries takes.
  static int64_t NodeBytes(int max_keys, int entry_size);

 private:
  friend class KTobjMDXFile;
  friend class KTobjSortMDX;

  KTobjMDXFile* mdx() const;
  // Writes entries [first, last) of node into a zeroed block image.
  void FillBlock(const KTobjIndexKey& node, int32_t first, int32_t last, uint8_t* image) const;

  int32_t block_bytes_ = 1024;
  uint32_t first_node_page_ = 0;
  uint32_t last_node_page_ = 0;
  bool valid_ = true;
  std::vector<uint8_t> header_scratch_;  // ReloadHeaderState's read, reused
  FixedNodes nodes_{this, this};
};

// The 12-byte packed decimal form of a number. Byte 0: decimal exponent +
// 52, the value being 0.d1d2d3... x 10^exponent; byte 1: number of digits
// x 4 + 1, + 0x80 when negative; bytes 2..11: the digits, two per byte,
// first digit in the high half. The digits are the shortest decimal form
// with at most 15 significant digits, their count made even. Zero is 0x34
// 0x01 and zeros; an exponent above 15 is stored as fifteen 9s (exponent
// 15), one below -52 as zero.
std::string EncodeMdxNumber(double value);
double DecodeMdxNumber(const uint8_t* stored);

}  // namespace tessera
