// How the fields of a table appear as SQL columns, and how SQL values are
// stored back into them. Columns are named after the fields in lower case
// (the long names of a Visual FoxPro database container where it gives
// them), decoded from the table's code page like its texts.
//
//   C, V, other letters  TEXT decoded from the code page; C without its
//                        trailing blanks and NULs (NULs inside are text)
//   Q; C, V and M that   BLOB: the bytes as they are (a C field's without
//   no code page applies   its trailing blanks and NULs)
//   to (NOCPTRANS)
//   N, F                 INTEGER without decimals, REAL with; what is no
//                        number (an overflow mark, other bytes): NULL
//   D                    TEXT 'YYYY-MM-DD'
//   L                    INTEGER 1 for T, Y, J; 0 for anything else
//   M                    TEXT (the memo decoded; '' when it has none)
//   G, P, W; B (memo)    BLOB (empty when it has none)
//   I, +                 INTEGER (Visual FoxPro's and dBase 7's binaries,
//   Y; B, O              REAL     and dBase 7's autoincrement, double and
//   T, @                 TEXT 'YYYY-MM-DDTHH:MM:SS[.mmm]'  time stamp)
//   _NullFlags           a hidden BLOB column, kept by the table itself
//
// NULL is a field that holds no value:
//   - Visual FoxPro's .NULL. (its bit in _NullFlags), in a field of any type;
//   - a blank N, F, D or L field (all blanks, a date of zeros, a logical
//     of "?"), an empty T and a dBase 7 binary of zero bytes, as tessera
//     dump and the independent readers show them.
// Text and memo fields always hold a value, perhaps ''. The tags key a
// blank number as 0, a blank logical as false and a blank date first or
// last: a search through a tag finds these records for 0, false or its
// bounds, and SQLite, which checks every row it is given against the
// query, leaves them out as it does in a scan, where NULL matches no
// comparison. A tag's order is taken for such a column only when a
// comparison (or IS NOT NULL) keeps its NULLs out, since SQL sorts them
// first.
//
// NULL written to a nullable field sets its null bit; to any other field
// it leaves the field blank (which reads as NULL again for N, F, D, L and
// T, and as '' for texts and memos). An autoincrement field is numbered by
// the table: an INSERT leaves it out (or gives NULL). Dates, date-times
// and numbers written as text are read as the columns show them.
//
// Text columns compare and sort in the code page's order (the collation
// named after it), the order of the tags' character keys.
//
// Stored values are checked and converted before a record is touched: a
// text too long for its field, a character the code page lacks, a number
// or date that is none is refused with a message naming the field, never
// cut or replaced.
#pragma once

#include <string>
#include <vector>

#include "engine/dbf_fields.h"
#include "tools/sqlite/code_page.h"
#include "tools/sqlite/sqlite_api.h"

namespace tessera_sql {

enum class ColumnKind {
  kText,        // C, V and type letters this engine does not interpret
  kBytes,       // Q; C and V that no code page applies to
  kInteger,     // N, F without decimals
  kReal,        // N, F with decimals
  kDate,        // D
  kLogical,     // L
  kMemoText,    // M
  kMemoBinary,  // G, P, W; B outside Visual FoxPro tables; binary M
  kInt32,       // I; + (dBase 7)
  kCurrency,    // Y
  kDouble,      // B in Visual FoxPro tables; O (dBase 7)
  kDateTime,    // T; @ (dBase 7)
  kSystem,      // _NullFlags (hidden)
};

struct Column {
  std::string name;         // as SQL names it
  std::string declaration;  // type and collation for the schema
  int field = 0;            // 1-based field number
  ColumnKind kind = ColumnKind::kText;
  bool collated = false;       // compared in the code page's order
  bool nullable = false;       // may hold .NULL. (a bit in _NullFlags)
  bool autoincrement = false;  // numbered by the table on INSERT
  // A blank field reads as NULL where a tag keys it as a value (0, false,
  // the least or greatest date): see the top of this file.
  bool blank_is_null = false;
};

// --- what a table's own format decides -----------------------------------
// Each of these is the one place where the table's format (null flags,
// long names from a database container, the code page of its header) is
// consulted.
//
// The column name of a field: its full name, decoded from the table's code
// page, in lower case.
std::string ColumnName(tessera::KTO_dBaseFld& table, const tessera::DbfField& field);
// True when the field of the current record is .NULL.
bool FieldIsNull(tessera::KTO_dBaseFld& table, const tessera::DbfField& field);
// Marks the field of the record buffer as .NULL.; false when it cannot
// hold one (the field is then left blank).
bool StoreNull(tessera::KTO_dBaseFld& table, const tessera::DbfField& field);
// The code page of the table's texts when none is asked for (the header's
// mark, CP866 without one).
int DefaultCodePage(tessera::KTO_dBaseFld& table);

// The columns of a table, one per field, names made unique.
std::vector<Column> TableColumns(tessera::KTO_dBaseFld& table, const CodePage& page);

// Sets the result to the column's value in the current record. `scratch`
// is reused between calls.
void ResultColumn(sqlite3_context* ctx, tessera::KTO_dBaseFld& table, const Column& column, const CodePage& page,
                  std::string& scratch);

// A value converted for a field, ready to be put into a record.
struct FieldWrite {
  enum class Form {
    kBlank,   // NULL: .NULL. where the field takes it, else blanks
    kText,    // `bytes` placed as the field's text (blank-filled)
    kNumber,  // `number` through the field layer
    kMemo,    // `bytes` as the memo (empty: no memo; `null`: .NULL.)
    kNone,    // nothing to store (the hidden _NullFlags column)
  } form = Form::kBlank;
  bool null = false;  // kMemo: NULL
  std::string bytes;
  double number = 0;
};

// Converts an SQL value for a column; raises std::runtime_error naming the
// field when the value cannot be stored. `insert`: the value is for a new
// record (an autoincrement field takes none).
FieldWrite PrepareWrite(tessera::KTO_dBaseFld& table, const Column& column, const CodePage& page,
                        sqlite3_value* value, bool insert);
// Puts a prepared value into the record buffer. Memo fields are left to
// WriteMemo, which writes the memo file.
void ApplyWrite(tessera::KTO_dBaseFld& table, const Column& column, const FieldWrite& write);
// Writes a memo value to new blocks of the memo file and puts their number
// into the record buffer, so that the memo the record held until now stays
// as it was until the record itself is written.
void WriteMemo(tessera::KTO_dBaseFld& table, const Column& column, const FieldWrite& write);

// An UPDATE may leave an autoincrement field as it was, not change it:
// raises the engine's refusal when the record buffer's field differs from
// the record as it was (`before`), before anything is written.
void RequireAutoIncrementKept(tessera::KTO_dBaseFld& table, const Column& column, const std::string& before);

// Bounds of a tag search from what SQL compares a date or date-time column
// with. SQL compares the column's texts ('YYYY-MM-DD', 'YYYY-MM-DDTHH:MM:SS'
// with milliseconds when there are any) with the value's as text, which
// orders as the calendar does only where the value has their form: a
// date 'YYYY-MM-DD' ("yyyymmdd" out), a date-time 'YYYY-MM-DD' or
// 'YYYY-MM-DDTHH:MM[:SS[.fff...]]' (the value the field layer stores out,
// digits beyond the milliseconds dropped). False for any other text,
// which leaves the comparison to SQLite.
bool ParseDateBound(std::string_view text, std::string* yyyymmdd);
bool ParseDateTimeBound(std::string_view text, double* value);

}  // namespace tessera_sql
