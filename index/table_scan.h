// The one pass over a table's records that feeds every bulk index build
// (CDX, MDX, NDX and NTX tags alike).
#pragma once

#include <cstdint>
#include <functional>

namespace tessera {

class KTO_dBHandler;
class KTobjIndexTag;
class TktSort;

// Visits records 1 .. RecordCount() in order: each with the table's
// current record set to it and the table's accessors pointed at its bytes,
// read straight from the file in chunks of about 64 KB (no copy per
// record), then calls visit(recno). Reports the pass to the table's status
// callback (phase 1: one step per record, then phase 2 announced for the
// packing). A file cut short meanwhile ends the pass at its last whole
// record. The table's own buffer, its contents and its current record are
// as before afterwards, also when visit throws.
void ScanTableRecords(KTO_dBHandler* table, const std::function<void(int32_t)>& visit);

// The keys of a bulk build: over that pass, the key of every record of the
// tag's table that passes its FOR condition, in NormalizeKey's form with
// trailing blanks dropped, goes into `sort`. A record whose key expression
// gives no value has no key.
void SortRecordKeys(KTobjIndexTag& tag, TktSort& sort);
// Tells the table's status callback that the build's passes are over.
void ReportScanDone(KTO_dBHandler* table);

// The whole bulk build of a single-tag file's tree (NDX, NTX): every
// record's key through `Sort` (the format's sort, which packs the sorted
// keys bottom-up), the last node of each level written, then the header
// with the new root.
template <class Sort, class Tag>
void BuildSingleTagTree(Tag& tag) {
  KTO_dBHandler* table = tag.Table();
  Sort sort(&tag);
  if (table != nullptr) SortRecordKeys(tag, sort);
  sort.PackSorted();
  if (table != nullptr) ReportScanDone(table);
  sort.Finish();
  tag.MarkHeaderDirty();
  tag.WriteTagHeader();
}

}  // namespace tessera
