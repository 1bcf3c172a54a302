#include "dataset/index_file_build.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/db_error.h"
#include "engine/errors.h"
#include "index/index_repair.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace tessera {
namespace {

// Raises the engine's error for the platform's last error on `path`.
[[noreturn]] void FailOn(int32_t sub_code, const std::string& path) {
  const int32_t code = plat::LastError() != 0 ? plat::LastError() : int32_t{plat::kErrWriteFault};
  ReportEngineError(code, sub_code, path);
  throw ETesseraError(ComposeEngineError(code, sub_code, path));
}

// Copies the whole of `from` (already open) into a new file `to`.
void CopyFile(plat::FileHandle& from, const std::string& from_path, const std::string& to) {
  plat::FileHandle out = plat::FileHandle::Create(to, true, false);
  if (!out.valid()) FailOn(kSubCreate, to);
  const int64_t size = from.Size();
  if (size < 0) FailOn(kSubSize, from_path);
  std::vector<char> chunk(1 << 20);
  for (int64_t at = 0; at < size;) {
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(chunk.size()), size - at);
    const int64_t got = from.ReadAt(at, chunk.data(), want);
    if (got <= 0) FailOn(kSubRead, from_path);
    if (!out.WriteAt(at, chunk.data(), got)) FailOn(kSubWrite, to);
    at += got;
  }
  if (!out.Flush()) FailOn(kSubFlush, to);
}

// rename(2) that never replaces an existing target: false with the last
// error set to "already exists" when there is one.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system without the flag: a second link fails just as well on
    // an existing name, and the first one is then removed.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return true;
    }
  }
  plat::SetLastError(errno == EEXIST ? int32_t{plat::kErrAlreadyExists} : plat::MapErrno(errno));
  return false;
}

// Runs a step of the build; a failure names the index file the user knows
// instead of the new file being written, which is gone once it is reported.
template <typename Step>
void NamingTheIndex(const std::string& building, const std::string& target, Step step) {
  try {
    step();
  } catch (const std::exception& e) {
    std::string text = e.what();
    bool changed = false;
    for (const std::string& name : {building, plat::UpperName(building)}) {
      for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + target.size())) {
        text.replace(at, name.size(), target);
        changed = true;
      }
    }
    if (!changed) throw;
    if (dynamic_cast<const dbkit::DatabaseError*>(&e) != nullptr) dbkit::RaiseDatabaseError(text);
    if (dynamic_cast<const ETesseraExpression*>(&e) != nullptr) throw ETesseraExpression(text);
    throw ETesseraError(text);
  }
}

}  // namespace

std::string CanonicalExpression(std::string_view expression) {
  std::string out;
  char quote = 0;
  for (char c : expression) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      out += c;
      continue;
    }
    if (c == '"' || c == '\'') quote = c;
    if (c == ' ' || c == '\t') continue;
    out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

TIndexFileBuild::TIndexFileBuild(TTesseraDataSet& dataset, std::string_view index_file, bool from_current)
    : dataset_(dataset) {
  dataset_.CheckActive();
  const std::string path = dataset_.IndexFilePath(index_file);
  target_ = plat::FileExists(path) ? plat::ResolveCase(path) : path;
  building_ = target_ + ".new-" + std::to_string(::getpid()) + ".CDX";
  if (plat::FileExists(target_)) {
    held_ = plat::FileHandle::Open(target_, false, false);
    if (!held_.valid()) {
      if (plat::LastError() == plat::kErrSharingViolation)
        dbkit::RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kFileInUse, {target_}));
      FailOn(kSubOpen, target_);
    }
  } else if (from_current) {
    dbkit::RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {target_}));
  }
  // A file of a build that was killed half-way is of no use to anyone.
  if (plat::FileExists(building_)) plat::DeleteFile(building_);
  if (from_current) {
    try {
      NamingTheIndex(building_, target_, [&] { CopyFile(held_, target_, building_); });
    } catch (...) {
      Discard();
      throw;
    }
  }
}

TIndexFileBuild::~TIndexFileBuild() {
  if (!committed_) Discard();
}

void TIndexFileBuild::Discard() {
  if (plat::FileExists(building_)) plat::DeleteFile(building_);
  held_.Close();
}

void TIndexFileBuild::CreateTag(const TIndexTagDef& tag) {
  NamingTheIndex(building_, target_, [&] {
    dataset_.CreateIndexTag(building_, tag.name, tag.key_expression, tag.for_expression, tag.unique ? 0 : 1,
                            tag.descending ? 1 : 0);
  });
}

void TIndexFileBuild::CreateTags(const std::vector<TIndexTagDef>& tags, const std::function<void(size_t)>& built) {
  NamingTheIndex(building_, target_, [&] { dataset_.CreateIndexTags(building_, tags, built); });
}

bool TIndexFileBuild::Commit() {
  if (!plat::FileExists(building_)) {
    // Nothing was built: no tag, so no file. The index stays as it was.
    committed_ = true;
    held_.Close();
    return false;
  }
  const std::string from = plat::ResolveCase(building_);
  if (held_.valid()) {
    // Still held alone: nobody can have opened the old file since.
    if (::rename(from.c_str(), target_.c_str()) != 0) {
      plat::SetLastErrorFromErrno(errno);
      FailOn(kSubRename, target_);
    }
    committed_ = true;
    held_.Close();
    return true;
  }
  if (!RenameNoReplace(from, target_)) {
    if (plat::LastError() != plat::kErrAlreadyExists) FailOn(kSubRename, target_);
    // Another program built the index meanwhile and may be using it: its
    // file stays, this one goes.
    Discard();
    committed_ = true;
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace tessera
