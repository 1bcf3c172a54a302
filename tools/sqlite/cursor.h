// Cursor: one walk through a table for a statement, on a handle of its
// own: in record order (between record numbers), or along a tag through one
// or more ranges of its keys. Records the table's deleted= option leaves
// out are stepped over.
#pragma once

#include <string>
#include <vector>

#include "engine/variant.h"
#include "index/index_tag.h"
#include "tools/sqlite/scan_plan.h"
#include "tools/sqlite/sqlite_api.h"
#include "tools/sqlite/xbase_table.h"

namespace tessera_sql {

class Cursor {
 public:
  explicit Cursor(XbaseTable& table);

  void Filter(const ScanPlan& plan, int argc, sqlite3_value** argv);
  void Next();
  bool Eof() const { return eof_; }
  int64_t Rowid() const { return handle_->CurrentRecord(); }
  // Column `i` of the current record; the column after the fields is the
  // deletion mark.
  void Result(sqlite3_context* ctx, int i);
  // Whether column `i` is read from a file (a memo) rather than from the
  // record in memory.
  bool ReadsFile(int i) const {
    if (i >= table_.DeletedColumn()) return false;
    const ColumnKind k = table_.Columns()[static_cast<size_t>(i)].kind;
    return k == ColumnKind::kMemoText || k == ColumnKind::kMemoBinary;
  }

  // A stretch of a tag's keys: at least every low, at most every high (a
  // prefix high takes the keys that begin with it too).
  struct Bound {
    tessera::TktVariant key;
    bool prefix = false;
  };
  struct Range {
    std::vector<tessera::TktVariant> lows;
    std::vector<Bound> highs;
  };
  // The ranges a plan's arguments give (exposed for the tests); none when
  // no row can match. Leaves `tag` the handle's master tag.
  std::vector<Range> RangesFor(const TagUse& use, const ScanPlan& plan, int argc, sqlite3_value** argv);

 private:
  bool Wanted();
  // Record order.
  void StartRecords(const ScanPlan& plan, int argc, sqlite3_value** argv);
  void StepRecords();
  // Tag order. The range the walk is in (ranges are kept in key order and
  // walked backwards when descending).
  const Range& CurrentRange() const;
  // Puts the tag on the first key of a range in the walk's direction (or
  // just before it); the record of that key, 0 when the tag has none.
  int32_t Position(const Range& r);
  // From the tag's current key (record `recno`, 0 when the tag ran out) to
  // the first record in a range that the table shows; eof when none.
  void WalkTag(int32_t recno);
  // -1 before the current range (in the walk's direction), 0 inside, 1
  // past it.
  int Place(const tessera::KTobjIndexKeyData& key) const;

  XbaseTable& table_;
  XbaseTable::Lease handle_;
  bool eof_ = true;
  std::string scratch_;
  // record order
  bool by_tag_ = false;
  bool descending_ = false;
  int32_t next_ = 0, first_ = 0, last_ = 0;
  // tag order
  tessera::KTobjIndexTag* tag_ = nullptr;
  std::vector<Range> ranges_;
  size_t range_ = 0;
};

}  // namespace tessera_sql
