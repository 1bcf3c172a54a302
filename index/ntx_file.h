// KTobjNTXFile: a Clipper-style single-tag index file (.NTX); the page
// layout is described in ntx_tag.h.
//
// The file holds exactly one tag, named after the file, from the moment it
// is opened (or created through CreateTag). The version counter in its
// header grows with every record write made through it; another process
// that sees a different counter drops its cached tree (ChangedByOther).
//
// Under exclusive use the pages written are held in memory (HoldsWrites)
// and reach the file when the changes are finished (table flush, close),
// while the header's last eight bytes (1016) carry the mark "TSRWRITE":
// a writer killed meanwhile leaves a file that reports it needs a
// rebuild. Those bytes are 0 otherwise, and Clipper reads the header's
// texts only up to their NUL, so other programs never see the mark in a
// file that was closed. A FOR expression that reaches those bytes leaves
// no room for it: such a file writes its pages at once. Under shared use
// pages are written at once, as before (the counter tells others of every
// change).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "index/index_file.h"
#include "index/ntx_tag.h"

namespace tessera {

class KTobjNTXFile : public KTobjIndexFile {
 public:
  // Opens (or with `create`, creates; with `overwrite`, replaces) the file
  // `name` (".NTX" added when it has no extension). Opened() tells whether
  // the disk file is open and, for an existing file, its header is sound.
  KTobjNTXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared, bool writable);
  ~KTobjNTXFile() override;

  // Replaces whatever the file held by one new tag, built from the table.
  bool CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  // CreateTag in two halves, for a build of several files side by side
  // (single_tag_build.h). StandInTag checks what CreateTag checks, writing
  // nothing, and answers a stand-in of the new tag (null when the key
  // cannot be evaluated); CreateTagWithKeys is CreateTag with the keys
  // gathered through that stand-in: the same bytes.
  std::unique_ptr<KTobjNTXTag> StandInTag(const std::string& key_expr, bool unique, bool ascending,
                                          const std::string& for_expr);
  bool CreateTagWithKeys(const std::string& key_expr, bool unique, bool ascending, const std::string& for_expr,
                         KTobjSortNTX& keys);
  int32_t AllocateNode() override;
  int32_t ResetAllocator() override;
  void Reindex() override;
  bool RecordChanged(int32_t recno, bool is_append) override;
  bool ChangedByOther() override;
  /* 13 */ virtual void ClearIndex();
  bool ReadPendingMark() override;
  void WritePendingMark(bool on) override;
  bool MarkedByOther() override { return mark_seen_; }
  bool HoldsWrites() const override { return disk_ != nullptr && !disk_->IsShared() && MarkRoom(); }

  static constexpr int32_t kPendingMarkOffset = 1016;
  static constexpr char kPendingMark[9] = "TSRWRITE";
  // The mark is on: the header written carries it.
  bool MarkOn() const { return pending_mark_; }

  KTobjNTXTag* Tag() const { return tags_.Count() > 0 ? static_cast<KTobjNTXTag*>(tags_.At(0)) : nullptr; }
  uint16_t VersionCounter() const { return version_; }
  void SetVersionCounter(uint16_t v) { version_ = v; }
  // Marks the file damaged without raising (a header that does not add up).
  void MarkCorrupt() { corrupt_ = true; }

 private:
  // The tag's FOR expression leaves the mark's bytes free.
  bool MarkRoom() const;

  uint16_t version_ = 1;
  bool mark_seen_ = false;  // read with the counter (ChangedByOther)
};

}  // namespace tessera
