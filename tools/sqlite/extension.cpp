// The loadable extension libtessera_sqlite.so: `.load libtessera_sqlite` in
// the sqlite3 shell, load_extension('libtessera_sqlite') in SQL or
// Connection.load_extension in Python registers the module "tessera" with
// the connection. Only the entry points are exported.
#include "tools/sqlite/module.h"

SQLITE_EXTENSION_INIT1

extern "C" {

// The name SQLite derives from the file name "libtessera_sqlite.so".
__attribute__((visibility("default"))) int sqlite3_tesserasqlite_init(sqlite3* db, char** error,
                                                                       const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  return tessera_sql::RegisterModule(db, error);
}

// The name SQLite tries when it is given an entry point by none.
__attribute__((visibility("default"))) int sqlite3_extension_init(sqlite3* db, char** error,
                                                                  const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  return tessera_sql::RegisterModule(db, error);
}

}  // extern "C"
