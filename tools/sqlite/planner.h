// The answer to xBestIndex: of record order (with the record-number
// constraints) and every tag that serves a constrained or ordered column,
// the way with the lowest estimated cost, sorting included when the way
// does not give the ORDER BY.
#pragma once

#include "tools/sqlite/sqlite_api.h"
#include "tools/sqlite/xbase_table.h"

namespace tessera_sql {

void ChoosePlan(XbaseTable& table, sqlite3_index_info* info);

// Whether the constraints imply a tag's FOR condition (every row the query
// can give lies in the tag).
bool ConditionImplied(const ForCondition& condition, XbaseTable& table, sqlite3_index_info* info);

}  // namespace tessera_sql
