// The small vocabulary shared by the dataset base, its fields, data sources
// and data links: dataset states, the results and modes of the record-buffer
// contract, bookmark flags, field types and the notifications a dataset
// sends to its data links.
#pragma once

#include <cstdint>
#include <string>

namespace dbkit {

// What a dataset is doing. Field values are read from and written to the
// record buffer that belongs to the current state (see
// DataSet::GetStateBuffer).
enum class DataSetState {
  kInactive,      // closed
  kBrowse,        // open, positioned on a record, nothing pending
  kEdit,          // the active record is being changed
  kInsert,        // a new record is being built in the active buffer
  kSetKey,        // a search key is being built
  kCalcFields,    // calculated fields of CalcBuffer() are being computed
  kFilter,        // a record is being tested by a filter or a search
  kNewValue,      // new values of the record being written
  kOldValue,      // values of the record before the edit
  kInternalCalc,  // internally calculated fields are being computed
};

const char* StateName(DataSetState state);

// Direction of a GetRecord request.
enum class GetMode { kNext, kPrior, kCurrent };

// Answer of GetRecord: a record was read, or the cursor ran off either end,
// or the read failed (and GetRecord was not asked to raise).
enum class GetResult { kOk, kBof, kEof, kError };

// Where a buffered row stands: on a real record, or the placeholder of the
// beginning or end of the data, or a record being inserted.
enum class BookmarkFlag : uint8_t { kCurrent = 0, kBof = 1, kEof = 2, kInserted = 3 };

// Field types of the framework. Native buffers (GetFieldData/SetFieldData):
//   kString    Size()+1 bytes, text in the dataset's window code page, NUL-ended
//   kSmallInt  int16_t
//   kInteger   int32_t
//   kFloat     double
//   kBoolean   uint16_t, 0 or 1
//   kDate      int32_t, days since 30 December 1899
//   kDateTime  double, days since 30 December 1899 with the time as fraction
//   kMemo, kBlob  int32_t: the dataset's own reference to the value (for
//                 example a memo block number); the bytes themselves go
//                 through CreateBlobStream
enum class FieldType {
  kUnknown,
  kString,
  kSmallInt,
  kInteger,
  kFloat,
  kBoolean,
  kDate,
  kDateTime,
  kMemo,
  kBlob,
};

const char* FieldTypeName(FieldType type);

// Where a field's value comes from.
enum class FieldKind {
  kData,          // a field of the dataset's records
  kCalculated,    // computed by OnCalcFields into the calculated-field area
  kInternalCalc,  // computed by the dataset itself
};

// Notifications from a dataset to its data sources and their links.
enum class DataEventKind {
  kFieldChange,      // one field of the active record changed
  kRecordChange,     // the active record changed as a whole
  kDataSetChange,    // the buffered rows were reloaded
  kDataSetScroll,    // the buffered rows moved by a distance
  kLayoutChange,     // fields were added, removed or changed their layout
  kUpdateRecord,     // controls must write pending input (before a post)
  kUpdateState,      // the dataset's state changed
  kCheckBrowseMode,  // the dataset is about to leave edit or insert state
  kPropertyChange,   // a property that affects the field definitions changed
  kFieldListChange,  // the field list changed
  kFocusControl,     // the control showing a field should take the focus
};

// What an error event decides: raise the error, raise a silent abort, or try
// the operation again.
enum class DataAction { kFail, kAbort, kRetry };

// Options of Locate.
enum LocateOption : unsigned { kLoCaseInsensitive = 1, kLoPartialKey = 2 };
using LocateOptions = unsigned;

// Options of a dataset's filter.
enum FilterOption : unsigned { kFoCaseInsensitive = 1, kFoNoPartialCompare = 2 };
using FilterOptions = unsigned;

// Options of Resync: kExact raises when the active record is gone, kCenter
// puts it in the middle of the buffer window instead of keeping its row.
enum ResyncOption : unsigned { kRmExact = 1, kRmCenter = 2 };
using ResyncMode = unsigned;

// Modes of a blob stream.
enum class BlobStreamMode { kRead = 0, kWrite = 1, kReadWrite = 2 };

// A bookmark: the dataset's own bytes (BookmarkSize() long) naming one
// record; empty means none.
using Bookmark = std::string;

}  // namespace dbkit
