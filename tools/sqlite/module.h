// The SQLite module "tessera": every xBase table as a virtual table,
//
//   CREATE VIRTUAL TABLE pyx USING tessera('Pyx.DBF' [, index='X.NTX,...']
//                                          [, codepage=1252] [, deleted=hide|show|only]);
//
// and the collations of the code pages its text columns sort by ("cp866"
// and any other a table asks for). Every call from SQLite into the module
// holds one process-wide lock (the engine serves one thread at a time)
// and turns the engine's failures into SQLite errors with the engine's
// message.
#pragma once

#include "tools/sqlite/sqlite_api.h"

namespace tessera_sql {

// Registers the module and the cp866 collation with a connection; starts
// the engine when nobody has. SQLITE_OK, or an error code with *error set
// (sqlite3_malloc'ed).
int RegisterModule(sqlite3* db, char** error);

}  // namespace tessera_sql
