// The SQLite interface for the module's sources. Built into the loadable
// extension they call SQLite through the table of routines the loading
// library hands over (sqlite3ext.h); built into the tessera tool, the tests
// and the benchmarks they call the library they are linked with.
#pragma once

#ifdef TESSERA_SQLITE_LOADABLE
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3
#else
#include <sqlite3.h>
#endif
