// The open and the replacement of the one tag of a single-tag index file
// (NDX, NTX), declared in index_file.h. Each format's own file says what
// it does besides (the NTX version counter).
#pragma once

#include <memory>
#include <string>

#include "engine/text_helpers.h"
#include "index/index_file.h"

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
    ok = t->DefineTag(t->Name(), key_expr, unique, ascending, for_expr);
  } catch (...) {
    tags_.FreeAll();
    throw;
  }
  if (!ok) tags_.FreeAll();
  return ok;
}

}  // namespace tessera
