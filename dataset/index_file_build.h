// What a program needs to keep an index file of a dataset's table in good
// order without ever leaving a half-built one behind: the definitions of
// the tags an index file holds and the result of its quick check
// (TTesseraDataSet::InspectIndexFile), and TIndexFileBuild, which builds
// tags into a new file beside the index file and puts it in the index
// file's place only once every tag is built.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace tessera {

class TTesseraDataSet;

// One tag as its index file defines it.
struct TIndexTagDef {
  std::string name;
  std::string key_expression;
  std::string for_expression;  // empty: every record has a key
  bool unique = false;
  bool descending = false;
};

// An index file as TTesseraDataSet::InspectIndexFile found it.
struct TIndexFileReport {
  // The tag directory and every tag header could be read; otherwise the
  // tags' definitions are lost and `tags` is empty.
  bool readable = false;
  // A write through the file was stopped half-way: its keys cannot be
  // trusted, whatever the counts say.
  bool interrupted = false;
  std::vector<TIndexTagDef> tags;
  // The quick check's findings (a tag whose key count is not the table's
  // record count, a tree that cannot be walked), one line each.
  std::vector<std::string> faults;
};

// Builds tags into a new compound index file in the folder of `index_file`
// ("PYX.CDX" -> "PYX.CDX.new-<process id>.CDX", so that two programs
// building at once never share one) and, on Commit, renames it over
// `index_file`. Until then the index file is left as it was; a build that
// is given up (the object destroyed without Commit, a failure) removes the
// new file, so a full disk or a folder that cannot be written never leaves
// an index with missing tags behind.
//
// When `index_file` exists the build holds it for sole use from the start
// to the end: no other program can write records through it meanwhile (they
// would be missing from the new file), and none keeps using an old file
// that is no longer the index. When another program has it open the build
// cannot start: "File %s is in use by another program".
//
// The dataset must be open with no index files (every tag build closes
// them) and must outlive the build. Tags are built through the dataset's
// CreateIndexTag, so its status reports show the progress.
class TIndexFileBuild {
 public:
  // `from_current`: the new file starts as a copy of the index file and so
  // keeps its tags (a tag built again under the same name replaces the
  // copy's); otherwise it starts empty.
  TIndexFileBuild(TTesseraDataSet& dataset, std::string_view index_file, bool from_current);
  ~TIndexFileBuild();
  TIndexFileBuild(const TIndexFileBuild&) = delete;
  TIndexFileBuild& operator=(const TIndexFileBuild&) = delete;

  void CreateTag(const TIndexTagDef& tag);
  // The tags in the order given, in one build (a compound file's tags side
  // by side: TTesseraDataSet::CreateIndexTags); `built(k)` once tag k is in.
  void CreateTags(const std::vector<TIndexTagDef>& tags, const std::function<void(size_t)>& built);
  // Puts the new file in the index file's place. When there was no index
  // file at the start and another program has made one meanwhile, that one
  // is kept, the new file is removed and the answer is false.
  bool Commit();

  const std::string& IndexPath() const { return target_; }
  const std::string& BuildPath() const { return building_; }

 private:
  void Discard();

  TTesseraDataSet& dataset_;
  std::string target_;    // the index file, as spelled on disk when it exists
  std::string building_;  // the new file
  plat::FileHandle held_;  // the old index file, open for sole use
  bool committed_ = false;
};

// The key expression in the form two definitions are compared in: letters
// in capitals and blanks outside quoted texts removed ("fam_ + im_" and
// "FAM_+IM_" are one key).
std::string CanonicalExpression(std::string_view expression);

}  // namespace tessera
