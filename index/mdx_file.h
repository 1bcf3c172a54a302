// KTobjMDXFile: a multiple index file (dBase IV production index), up to
// 47 tags over one table, each a tree of uncompressed nodes.
//
// File header (pages 0 to 3, 2048 bytes, read and written whole):
//   0    version: 2
//   1    date of the last header write: year mod 100, month, day
//   4    base name of the table (at most 8 characters, upper case),
//        zero-padded to 16 bytes
//   20   block size in pages (2 when created here)
//   22   block size in bytes (1024 when created here; other multiples of
//        512 are read)
//   24   1: a production index
//   25   number of tag entries: 48
//   26   length of a tag entry: 32
//   28   number of tags
//   32   next free page
//   44   date of creation: year mod 100, month, day
//   504  8 bytes no program uses: "TSRWRITE" while this engine, open for
//        exclusive use, holds changed blocks in memory (the write-in-
//        progress mark; a writer stopped then leaves it, and the file
//        asks for a rebuild). Put back as they were when the changes are
//        written.
//   512  unused entry 0, then from 544 the tag entries k = 1, 2, ... of 32
//        bytes, in tag name order:
//          0  page of the tag header
//          4  tag name, upper case, NUL-terminated (at most 10 characters)
//          17 k, the entry's own number
//          19 2
//          20 key type 'C', 'N' or 'D'
//
// The header claims 48 entries, but entry 48 would lie at 2048, in the
// first block after the header: only 47 tags are made and read.
//
// Blocks (tag headers and nodes) follow from page 4 in allocation order, a
// block-size step apart. Blocks of replaced or deleted tags are reused only
// by Reindex, which cuts the file back to its header and rebuilds every
// tag.
//
// The file is untrusted input: a block size that is not a positive multiple
// of 512, a tag count above 47, a tag or node page off the block grid or
// beyond the end of the file, a key count above a node's capacity, a key
// length that does not fit a block or a child chain that loops marks the
// file corrupt (error 2112 with the file name); nothing is written into it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "index/index_file.h"
#include "index/mdx_tag.h"

namespace tessera {

class KTobjMDXFile : public KTobjIndexFile {
 public:
  static constexpr int32_t kPage = 512;
  static constexpr int32_t kHeaderBytes = 2048;
  static constexpr int32_t kHeaderPages = kHeaderBytes / kPage;
  static constexpr int32_t kTagEntryBytes = 32;
  static constexpr int kMaxTags = 47;
  static constexpr int32_t kMaxBlockBytes = 32768;

  // Opens (or with `create`, creates; with `overwrite`, replaces) the file
  // `name` (".MDX" added when it has no extension). Opened() tells whether
  // it is a valid multiple index.
  KTobjMDXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared, bool writable);
  ~KTobjMDXFile() override;

  bool CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  // One tag of CreateTags: CreateTag's arguments.
  struct TagDefinition {
    std::string name;
    std::string key_expr;
    std::string for_expr;
    bool unique = false;
    bool ascending = true;
  };
  // Builds several tags, in the order given, byte for byte as CreateTag
  // called for each in turn would (mdx_create_tags.cpp): every definition
  // is checked first (raising, nothing written, when one does not hold);
  // the next tags' keys are gathered on other threads while a tag is
  // packed. A failure raises with the tags before it in place and the one
  // it met not added. `built(k)`, when given, is called once tag k is in.
  bool CreateTags(const std::vector<TagDefinition>& tags, const std::function<void(size_t)>& built);
  bool DeleteTag(const std::string& name) override;
  // Node allocation counts pages: a block is a block-size step.
  int32_t AllocateNode() override;
  int32_t ResetAllocator() override;
  // Blocks are addressed by page number.
  bool ReadBlock(int32_t page, void* buffer, int32_t count) override;
  bool WriteBlock(int32_t page, const void* buffer, int32_t count) override;
  void Reindex() override;
  bool RenameFile(std::string_view new_name) override;
  bool RecordChanged(int32_t recno, bool is_append) override;
  // The file keeps no change counter (nor does dBase): under shared use
  // every lock taken may follow another program's write, so nothing read
  // before it is kept, and the tag table is read again (a rebuild or a
  // replaced tag moves tag headers).
  bool ChangedByOther() override;
  // The write-in-progress mark at kMarkOffset, under exclusive use only:
  // a shared writer writes a record write's blocks before it lets go of
  // its lock, as every other program that writes the file does (held
  // only until that write's keys are all in, see RecordChanged).
  bool ReadPendingMark() override;
  void WritePendingMark(bool on) override;
  bool HoldsWrites() const override { return disk_ != nullptr; }
  static constexpr int32_t kMarkOffset = 504;

  int32_t BlockBytes() const { return block_bytes_; }
  int32_t BlockPages() const { return block_pages_; }
  bool Constructing() const { return constructing_; }
  // A page where a block may start and lie wholly inside the file (every
  // child of every node read is checked: kept inline).
  bool ValidBlockPage(int64_t page) {
    if (page < kHeaderPages || (page - kHeaderPages) % block_pages_ != 0) return false;
    if (page > (INT32_MAX - block_bytes_) / kPage) return false;
    const int64_t end = (page + block_pages_) * kPage;
    return end <= KnownSize() || end <= RefreshSize();
  }

 private:
  void ReadHeader();
  // CreateTag; with `keys`, the tag's keys gathered already.
  bool AddTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
              const std::string& for_expr, KTobjSortMDX* keys);
  void CreateHeader();
  // Rewrites the tag count and the tag entries from the tag list.
  void WriteTagTable();
  // Writes the header's date, tag count and next free page.
  void WriteHeaderState(size_t tag_count);
  // The 2048 header bytes as this object last saw or wrote them (held
  // blocks included); from the file itself under shared use.
  bool ReadHeaderBytes(uint8_t* h);

  bool constructing_ = false;
  int32_t block_bytes_ = 1024;
  int32_t header_bytes_ = kHeaderBytes;
  int16_t tag_entries_ = 48;
  int32_t block_pages_ = 2;
  bool header_dirty_ = false;
  std::vector<std::string> entry_names_;  // ChangedByOther's tag entry names
};

}  // namespace tessera
