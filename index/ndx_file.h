// KTobjNDXFile: a dBase III-style single-tag index file (.NDX); the block
// layout is described in ndx_tag.h. The file holds exactly one tag, named
// after the file, from the moment it is opened (or created through
// CreateTag).
//
// Bytes 504 to 511 of the header block lie past the key expression (when
// it ends before them) and no program reads them: they hold "TSRWRITE"
// while this engine, open for exclusive use, holds changed blocks in
// memory (the write-in-progress mark: a writer stopped then leaves it, and
// the file asks for a rebuild). They are put back as they were when the
// changes are written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "index/index_file.h"
#include "index/ndx_tag.h"

namespace tessera {

class KTobjNDXFile : public KTobjIndexFile {
 public:
  KTobjNDXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared, bool writable);
  ~KTobjNDXFile() override;

  // Replaces whatever the file held by one new tag, built from the table.
  // The file has no room for a descending order or a FOR condition: asking
  // for either raises before anything is written.
  bool CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  // CreateTag in two halves, for a build of several files side by side
  // (single_tag_build.h). StandInTag checks what CreateTag checks, writing
  // nothing, and answers a stand-in of the new tag (null when the key
  // cannot be evaluated); CreateTagWithKeys is CreateTag with the keys
  // gathered through that stand-in: the same bytes.
  std::unique_ptr<KTobjNDXTag> StandInTag(const std::string& key_expr, bool unique, bool ascending,
                                          const std::string& for_expr);
  bool CreateTagWithKeys(const std::string& key_expr, bool unique, KTobjSortNdx& keys);
  // Block numbers.
  int32_t AllocateNode() override;
  int32_t ResetAllocator() override;
  bool ReadBlock(int32_t block, void* buffer, int32_t count) override;
  bool WriteBlock(int32_t block, const void* buffer, int32_t count) override;
  void Reindex() override;
  // The file keeps no change counter (nor does any program that writes
  // it): under shared use every lock taken may follow another program's
  // write, so nothing read before it is kept.
  bool ChangedByOther() override;
  /* 13 */ virtual void ClearIndex();
  // The mark, under exclusive use only (a shared writer writes each block
  // at once, under its lock, as every other program that writes the file
  // does), and only where the key expression leaves room for it.
  bool ReadPendingMark() override;
  void WritePendingMark(bool on) override;
  bool HoldsWrites() const override { return disk_ != nullptr; }
  // A header block about to be written whole (the tag's): it carries the
  // mark while the mark is on, and the bytes under the mark are its own.
  void StampHeader(uint8_t* block);
  static constexpr int32_t kMarkOffset = 504;

  KTobjNDXTag* Tag() const { return tags_.Count() > 0 ? static_cast<KTobjNDXTag*>(tags_.At(0)) : nullptr; }
  int32_t NextFreeBlock() const { return next_free_; }
};

}  // namespace tessera
