// Which index tags can search or order which column. A tag serves a column
// when its key is
//   the field itself                     (kWhole; kValue for numbers, dates
//                                         and date-times; kLogical)
//   UPPER() of the field                 (kUpper)
//   a concatenation led by the field     (kLeading; kLeadingUpper inside
//                                         or around UPPER())
// Unique tags (which keep one record per value) and descending tags are
// not used; a tag with a FOR condition is used only when the query implies
// the condition, so its condition is kept here in a form that can be
// checked against the query's constraints.
#pragma once

#include <string>
#include <vector>

#include "engine/dbf_handler.h"
#include "tools/sqlite/code_page.h"
#include "tools/sqlite/column_types.h"

namespace tessera_sql {

// A FOR condition made of conjuncts this module understands:
// .NOT. DELETED(), a logical field or its negation, FIELD = literal and
// FIELD == literal.
struct ForCondition {
  bool present = false;
  bool understood = true;
  bool needs_live_records = false;  // .NOT. DELETED()
  struct Equality {
    int column = 0;
    std::string text;    // UTF-8, trailing blanks dropped (text literals)
    bool exact = false;  // "==": the whole value; "=": the value begins with it
    bool numeric = false;
    double number = 0;   // numeric and logical literals (1 / 0)
  };
  std::vector<Equality> equalities;
};

struct TagUse {
  enum class Shape { kWhole, kUpper, kLeading, kLeadingUpper, kValue, kLogical };
  int number = 0;  // the tag's number over the open index files (KTO_dBHandler::TagByNumber)
  std::string name;
  int column = 0;  // 0-based column (field number - 1)
  Shape shape = Shape::kWhole;
  int lead_width = 0;  // kLeading*: bytes of the key that come from the column
  // The columns whose order a walk through the tag gives, in ORDER BY
  // order: the field itself, or the plain fields leading a concatenation.
  std::vector<int> order_columns;
  ForCondition condition;
};

std::vector<TagUse> FindTagUses(tessera::KTO_dBHandler& table, const std::vector<Column>& columns,
                                const CodePage& page);

// Exposed for the tests: the key expression's shape for one tag (false
// when it serves no column).
bool ShapeOfKey(tessera::KTO_dBHandler& table, const std::vector<Column>& columns, const std::string& expression,
                TagUse* use);
ForCondition ParseForCondition(tessera::KTO_dBHandler& table, const CodePage& page, const std::string& text);

}  // namespace tessera_sql
