// How the fields of a table appear as SQL columns, and how SQL values are
// stored back into them.
//
//   C, other letters  TEXT, trailing blanks dropped, decoded from the code page
//   N, F              INTEGER without decimals, REAL with; blank: 0, as xBase
//                     reads it (and as the tags hold it); no number: NULL
//   D                 TEXT 'YYYY-MM-DD'; blank: NULL
//   L                 INTEGER 1 for T, Y, J; 0 for anything else
//   M                 TEXT (the memo decoded); no memo: NULL
//   G, B (memo)       BLOB
//   I, Y, B, T        (Visual FoxPro binary fields) INTEGER, REAL, REAL,
//                     TEXT 'YYYY-MM-DDTHH:MM:SS[.mmm]'; empty date-time: NULL
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
  kText,        // C and type letters this engine does not interpret
  kInteger,     // N, F without decimals
  kReal,        // N, F with decimals
  kDate,        // D
  kLogical,     // L
  kMemoText,    // M
  kMemoBinary,  // G; B outside Visual FoxPro tables
  kInt32,       // I
  kCurrency,    // Y
  kDouble,      // B in Visual FoxPro tables
  kDateTime,    // T
};

struct Column {
  std::string name;         // as SQL names it
  std::string declaration;  // type and collation for the schema
  int field = 0;            // 1-based field number
  ColumnKind kind = ColumnKind::kText;
  bool collated = false;    // compared in the code page's order
};

// --- what a table's own format decides -----------------------------------
// Each of these is the one place where a table format that knows more
// (null flags, long names from a database container, a code page mark in
// the header) is consulted.
//
// The column name of a field: its name in lower case.
std::string ColumnName(tessera::KTO_dBaseFld& table, const tessera::DbfField& field);
// True when the field of the current record holds no value at all (beyond
// the blank forms each kind reads as NULL).
bool FieldIsNull(tessera::KTO_dBaseFld& table, const tessera::DbfField& field);
// Marks the field of the record buffer as holding no value; false when the
// table cannot mark it (the field is then left blank).
bool StoreNull(tessera::KTO_dBaseFld& table, const tessera::DbfField& field);
// The code page of the table's texts when none is asked for.
std::string DefaultCodePage(tessera::KTO_dBaseFld& table);

// NULL written to a number, date or logical field leaves it blank.
//
// The columns of a table, one per field, names made unique.
std::vector<Column> TableColumns(tessera::KTO_dBaseFld& table, const CodePage& page);

// Sets the result to the column's value in the current record. `scratch`
// is reused between calls.
void ResultColumn(sqlite3_context* ctx, tessera::KTO_dBaseFld& table, const Column& column, const CodePage& page,
                  std::string& scratch);

// A value converted for a field, ready to be put into a record.
struct FieldWrite {
  enum class Form {
    kBlank,   // blanks (NULL)
    kText,    // `bytes` placed as the field's text (blank-filled)
    kNumber,  // `number` through the field layer
    kMemo,    // `bytes` as the memo (empty: no memo)
  } form = Form::kBlank;
  std::string bytes;
  double number = 0;
};

// Converts an SQL value for a column; raises std::runtime_error naming the
// field when the value cannot be stored.
FieldWrite PrepareWrite(tessera::KTO_dBaseFld& table, const Column& column, const CodePage& page,
                        sqlite3_value* value);
// Puts a prepared value into the record buffer. Memo fields are left to
// WriteMemo, which writes the memo file.
void ApplyWrite(tessera::KTO_dBaseFld& table, const Column& column, const FieldWrite& write);
// Writes a memo value to new blocks of the memo file and puts their number
// into the record buffer, so that the memo the record held until now stays
// as it was until the record itself is written.
void WriteMemo(tessera::KTO_dBaseFld& table, const Column& column, const FieldWrite& write);

// "YYYY-MM-DD" or "YYYYMMDD" to the stored "yyyymmdd"; false when it is no
// calendar date.
bool ParseIsoDate(std::string_view text, std::string* yyyymmdd);

}  // namespace tessera_sql
