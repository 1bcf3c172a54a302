// What the single-tag index files (NDX, NTX) do alike: the open and the
// replacement of their one tag (declared in index_file.h) and the start of
// its tree. Each format's own file says what it does besides (the NTX
// version counter).
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "engine/dbf_handler.h"
#include "engine/text_helpers.h"
#include "index/index_file.h"
#include "index/table_scan.h"

namespace tessera {

template <class Tag, class File>
void KTobjIndexFile::OpenSingleTag() {
  File* self = static_cast<File*>(this);
  ReadStructure(
      [this, self] {
        auto tag = std::make_unique<Tag>(self, BaseName(disk_->FileName()), true);
        const bool valid = tag->Valid();
        tags_.Add(std::move(tag));
        if (!valid) corrupt_ = true;
      },
      [this] {
        if (!corrupt_) ResetAllocator();
      });
  opened_ = !corrupt_;
}

template <class Tag, class File>
bool KTobjIndexFile::ReplaceSingleTag(const std::string& key_expr, bool unique, bool ascending,
                                      const std::string& for_expr) {
  return ReplaceSingleTagWith<Tag, File>(
      [&](Tag& t) { return t.DefineTag(t.Name(), key_expr, unique, ascending, for_expr); });
}

template <class Tag, class File, class Define>
bool KTobjIndexFile::ReplaceSingleTagWith(const Define& define) {
  tags_.FreeAll();
  if (disk_->FileSize() > 0) CutFile(0);
  DropCache();
  corrupt_ = false;
  known_size_ = 0;
  next_free_ = 0;
  auto tag = std::make_unique<Tag>(static_cast<File*>(this), BaseName(disk_->FileName()), false);
  Tag* t = tag.get();
  tags_.Add(std::move(tag));
  AllocateNode();  // the header block (NDX) or page (NTX)
  bool ok = false;
  try {
    ok = define(*t);
  } catch (...) {
    tags_.FreeAll();
    throw;
  }
  if (!ok) tags_.FreeAll();
  return ok;
}

// The end of a single-tag file's DefineTag, once the tag knows its key
// type and sizes: the header block (`header_bytes`) cleared, then an empty
// root and the header when the table has no records, else the tree built
// from them (or from `gathered`, their keys sorted already through a
// stand-in of the tag).
template <class Tag, class Sort = void>
bool StartSingleTagTree(Tag& tag, int header_bytes, Sort* gathered = nullptr) {
  const std::string zeros(static_cast<size_t>(header_bytes), '\0');
  tag.File()->WriteBlock(tag.HeaderOffset(), zeros.data(), header_bytes);
  KTO_dBHandler* table = tag.Table();
  if (table == nullptr || table->RecordCount() == 0) {
    tag.WriteEmptyRoot();
    tag.MarkHeaderDirty();
    tag.WriteTagHeader();
  } else if constexpr (std::is_void_v<Sort>) {
    tag.BuildTag();
  } else {
    tag.BuildTag(gathered);
  }
  return true;
}

// The tree of a single-tag file from keys gathered through a stand-in of
// `tag`: packed into `tag`'s file as the tag's own build packs them (the
// same reports, the same allocations in the same order), then the header.
template <class Sort, class Tag>
void PackGatheredTree(Tag& tag, Sort& keys) {
  keys.PackFor(&tag);
  keys.PackSorted();
  if (KTO_dBHandler* table = tag.Table()) ReportScanDone(table);
  keys.Finish();
  tag.MarkHeaderDirty();
  tag.WriteTagHeader();
}

}  // namespace tessera
