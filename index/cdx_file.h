// KTobjCDXFile: a compound index file, any number of tags over one table,
// each a tree of 512-byte nodes with compressed leaves.
//
//   0      1024  header of the tag directory
//   1024   512   first node of the tag directory
//   ...          tag headers (1024 bytes) and nodes (512 bytes) of all
//                tags, in allocation order
//
// The tag directory is a tag of the file invisible to users: its keys are
// the tag names (10 bytes, upper case) and each key's record number is the
// offset of that tag's header. Its header's version counter grows with every
// record write through the file, which tells other processes to reload.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/cdx_tag.h"
#include "index/index_file.h"

namespace tessera {

class KTobjCDXFile : public KTobjIndexFile {
 public:
  // Opens (or with `create`, creates; with `overwrite`, replaces) the file
  // `name` (".CDX" added when it has no extension). Opened() tells whether
  // it is a valid compound index.
  KTobjCDXFile(KTO_dBHandler* table, std::string_view name, bool overwrite, bool create, bool shared, bool writable);
  ~KTobjCDXFile() override;

  bool CreateTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
                 const std::string& for_expr) override;
  bool DeleteTag(const std::string& name) override;

  // One tag of CreateTags: CreateTag's arguments.
  struct TagDefinition {
    std::string name;
    std::string key_expr;
    std::string for_expr;  // empty: every record has a key
    bool unique = false;
    bool ascending = true;
  };
  // Builds several tags in the order given, into the same file, byte for
  // byte, as CreateTag one after the other would (cdx_create_tags.cpp):
  // with worker threads on and expressions that allow it, the keys of each
  // tag are gathered on another thread while the tag before is packed.
  // Every definition is checked before anything is written: a name that
  // does not fit, an expression that does not compile or gives no key, a
  // key longer than 240 bytes raise with the file as it was. A failure
  // while building (a key that cannot be evaluated for some record, a full
  // disk, a status callback giving up) leaves the tags built before it in
  // the file and the failing tag not added, and is raised. `built(k)` is
  // called once tag k is in place. False when the file is not open.
  bool CreateTags(const std::vector<TagDefinition>& tags, const std::function<void(size_t)>& built);
  int32_t AllocateNode() override;
  int32_t ResetAllocator() override;
  void Reindex() override;
  bool RecordChanged(int32_t recno, bool is_append) override;
  bool ChangedByOther() override;
  bool ReadPendingMark() override;
  void WritePendingMark(bool on) override;
  bool MarkedByOther() override;
  bool HoldsWrites() const override { return disk_ != nullptr; }
  void FinishChanges() override;
  void ReloadAfterUndo() override;
  // The directory header is about to be written whole: whether it must
  // carry the write-in-progress mark (a change is under way), and, once
  // written, that the mark is as it says.
  bool HeaderKeepsMark() const { return pending_mark_ && journal_.active; }
  void HeaderWritten(bool mark_on) { pending_mark_ = mark_on; }

  // Bytes 16..23 of the directory header (reserved in the format, zeros in
  // every file this engine or another program writes) hold this text while
  // a record write is under way.
  static constexpr int32_t kPendingMarkOffset = 16;
  static constexpr char kPendingMark[9] = "TSRWRITE";

  KTobjCDXTag* Directory() const { return directory_.get(); }
  bool Constructing() const { return constructing_; }

 private:
  void ReadDirectory();
  void CreateDirectory();
  // The tag name a directory key holds.
  static std::string DirectoryKeyName(const KTobjIndexKeyData& key);
  // After another program's change: every tag takes its header from the
  // directory as it is now (a rebuild moves them). A tag no longer there
  // makes the file refuse further use (reported as damaged).
  void ResyncTags();
  // A tag created or deleted counts as a write through the file: the
  // directory's version counter grows (written at once under shared use,
  // with the directory header otherwise), so that other processes see it in
  // ChangedByOther and follow their tags into the directory as it now is.
  void AnnounceChange();
  std::string DirectoryKeyText(std::string_view tag_name) const;
  // CreateTag; with `keys`, the tag's keys gathered already.
  bool AddTag(const std::string& name, const std::string& key_expr, bool unique, bool ascending,
              const std::string& for_expr, KTobjSortCDX* keys);

  bool constructing_ = false;
  // The mark as ChangedByOther last read it with the change counter.
  bool mark_seen_ = false;
  std::unique_ptr<KTobjCDXTag> directory_;
};

// The collation given to newly created compound-index tags: 1 MACHINE
// (byte order) or 2 GENERAL. Only MACHINE is built; GENERAL is refused when
// a tag is created.
int NewCdxTagCollation();
void SetNewCdxTagCollation(int collation);

}  // namespace tessera
