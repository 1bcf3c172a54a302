#include "tools/sqlite/module.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tools/sqlite/code_page.h"
#include "tools/sqlite/cursor.h"
#include "tools/sqlite/lock_busy.h"
#include "tools/sqlite/planner.h"
#include "tools/sqlite/scan_plan.h"
#include "tools/sqlite/xbase_table.h"

namespace tessera_sql {
namespace {

std::recursive_mutex& EngineMutex() {
  static std::recursive_mutex m;
  return m;
}

struct VTab : sqlite3_vtab {
  std::unique_ptr<XbaseTable> table;
};

struct VCursor : sqlite3_vtab_cursor {
  std::unique_ptr<Cursor> cursor;
};

VTab* Of(sqlite3_vtab* v) { return static_cast<VTab*>(v); }
Cursor& CursorOf(sqlite3_vtab_cursor* c) { return *static_cast<VCursor*>(c)->cursor; }

void SetError(sqlite3_vtab* vtab, const std::string& text) {
  sqlite3_free(vtab->zErrMsg);
  vtab->zErrMsg = sqlite3_mprintf("%s", text.c_str());
}

// Runs `body` (under the engine's lock unless `locked` is false); an
// exception becomes the SQLite error it stands for, with its message on the
// virtual table.
template <typename F>
int Guarded(sqlite3_vtab* vtab, F body, bool locked = true) {
  std::unique_lock<std::recursive_mutex> lock(EngineMutex(), std::defer_lock);
  if (locked) lock.lock();
  try {
    body();
    return SQLITE_OK;
  } catch (const LockBusy& e) {
    SetError(vtab, e.what());
    return SQLITE_BUSY;
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception& e) {
    const VTab* t = Of(vtab);
    SetError(vtab, t->table ? t->table->UserMessage(e.what()) : std::string(e.what()));
    return SQLITE_ERROR;
  } catch (...) {
    SetError(vtab, "unknown failure in the tessera module");
    return SQLITE_ERROR;
  }
}

int CompareInPage(void* page, int na, const void* a, int nb, const void* b) {
  return static_cast<const CodePage*>(page)->Compare(std::string_view(static_cast<const char*>(a), static_cast<size_t>(na)),
                                                     std::string_view(static_cast<const char*>(b), static_cast<size_t>(nb)));
}

// Registers the collation of a code page. One that exists already stays
// (SQLite refuses to replace a collation while statements run, and the one
// there sorts the same).
void RegisterCollation(sqlite3* db, const CodePage& page) {
  sqlite3_create_collation_v2(db, page.Name().c_str(), SQLITE_UTF8, const_cast<CodePage*>(&page), CompareInPage,
                              nullptr);
}

int Connect(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out, char** error) {
  std::lock_guard<std::recursive_mutex> lock(EngineMutex());
  std::string file;
  try {
    if (!tessera::EngineStarted()) tessera::EngineStart();
    std::vector<std::string> args;
    for (int i = 3; i < argc; ++i) args.emplace_back(argv[i]);
    TableOptions options = TableOptions::Parse(args);
    file = options.file;
    auto vtab = std::make_unique<VTab>();
    *static_cast<sqlite3_vtab*>(vtab.get()) = sqlite3_vtab{};
    vtab->table = std::make_unique<XbaseTable>(std::move(options));
    RegisterCollation(db, vtab->table->Page());
    // Files are read and written only by statements the user runs, never
    // by the triggers and views of a database file that names them.
    sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY);
    const int rc = sqlite3_declare_vtab(db, vtab->table->Schema().c_str());
    if (rc != SQLITE_OK) {
      *error = sqlite3_mprintf("%s", sqlite3_errmsg(db));
      return rc;
    }
    *out = vtab.release();
    return SQLITE_OK;
  } catch (const std::exception& e) {
    *error = sqlite3_mprintf("%s", file.empty() ? e.what() : XbaseTable::UserMessageFor(file, e.what()).c_str());
    return SQLITE_ERROR;
  }
}

int Disconnect(sqlite3_vtab* vtab) {
  std::lock_guard<std::recursive_mutex> lock(EngineMutex());
  try {
    std::unique_ptr<VTab> owned(Of(vtab));
  } catch (...) {
  }
  return SQLITE_OK;
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  return Guarded(vtab, [&] { ChoosePlan(*Of(vtab)->table, info); });
}

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
  return Guarded(vtab, [&] {
    auto c = std::make_unique<VCursor>();
    *static_cast<sqlite3_vtab_cursor*>(c.get()) = sqlite3_vtab_cursor{};
    c->cursor = std::make_unique<Cursor>(*Of(vtab)->table);
    *out = c.release();
  });
}

int Close(sqlite3_vtab_cursor* cursor) {
  std::lock_guard<std::recursive_mutex> lock(EngineMutex());
  std::unique_ptr<VCursor> owned(static_cast<VCursor*>(cursor));
  return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* cursor, int idx_num, const char* idx_str, int argc, sqlite3_value** argv) {
  return Guarded(cursor->pVtab, [&] { CursorOf(cursor).Filter(ScanPlan::Parse(idx_num, idx_str), argc, argv); });
}

int Next(sqlite3_vtab_cursor* cursor) {
  return Guarded(cursor->pVtab, [&] { CursorOf(cursor).Next(); });
}

int Eof(sqlite3_vtab_cursor* cursor) { return CursorOf(cursor).Eof() ? 1 : 0; }

int ColumnValue(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int i) {
  // An UPDATE asks for the columns it leaves alone only to hand them back:
  // nothing is read, and the write keeps what the record holds then.
  if (sqlite3_vtab_nochange(ctx)) return SQLITE_OK;
  // A field is read from the record the cursor's own handle holds; only a
  // memo goes to a file through the engine.
  Cursor& c = CursorOf(cursor);
  return Guarded(cursor->pVtab, [&] { c.Result(ctx, i); }, c.ReadsFile(i));
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite_int64* rowid) {
  *rowid = CursorOf(cursor).Rowid();
  return SQLITE_OK;
}

int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite_int64* rowid) {
  return Guarded(vtab, [&] {
    XbaseTable& t = *Of(vtab)->table;
    if (argc == 1) {
      t.Delete(static_cast<int32_t>(sqlite3_value_int64(argv[0])));
    } else if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
      if (sqlite3_value_type(argv[1]) != SQLITE_NULL)
        throw std::runtime_error("A new record's number is the table's next one; leave rowid out of the INSERT");
      *rowid = t.Insert(argv + 2);
    } else {
      if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_int64(argv[0]) != sqlite3_value_int64(argv[1]))
        throw std::runtime_error("A record's number (rowid) cannot be changed");
      t.Update(static_cast<int32_t>(sqlite3_value_int64(argv[0])), argv + 2);
    }
  });
}

int Begin(sqlite3_vtab* vtab) {
  return Guarded(vtab, [&] { Of(vtab)->table->Begin(); });
}
int Sync(sqlite3_vtab* vtab) {
  return Guarded(vtab, [&] { Of(vtab)->table->Sync(); });
}
int Commit(sqlite3_vtab* vtab) {
  return Guarded(vtab, [&] { Of(vtab)->table->Commit(); });
}
int Rollback(sqlite3_vtab* vtab) {
  return Guarded(vtab, [&] { Of(vtab)->table->Rollback(); });
}
int Rename(sqlite3_vtab*, const char*) {
  // The SQL name is the connection's; the files keep theirs.
  return SQLITE_OK;
}
int Savepoint(sqlite3_vtab* vtab, int level) {
  return Guarded(vtab, [&] { Of(vtab)->table->Savepoint(level); });
}
int Release(sqlite3_vtab* vtab, int level) {
  return Guarded(vtab, [&] { Of(vtab)->table->Release(level); });
}
int RollbackTo(sqlite3_vtab* vtab, int level) {
  return Guarded(vtab, [&] { Of(vtab)->table->RollbackTo(level); });
}

const sqlite3_module kModule = {
    /* iVersion */ 2,
    /* xCreate */ Connect,
    /* xConnect */ Connect,
    /* xBestIndex */ BestIndex,
    /* xDisconnect */ Disconnect,
    /* xDestroy */ Disconnect,
    /* xOpen */ Open,
    /* xClose */ Close,
    /* xFilter */ Filter,
    /* xNext */ Next,
    /* xEof */ Eof,
    /* xColumn */ ColumnValue,
    /* xRowid */ Rowid,
    /* xUpdate */ Update,
    /* xBegin */ Begin,
    /* xSync */ Sync,
    /* xCommit */ Commit,
    /* xRollback */ Rollback,
    /* xFindFunction */ nullptr,
    /* xRename */ Rename,
    /* xSavepoint */ Savepoint,
    /* xRelease */ Release,
    /* xRollbackTo */ RollbackTo,
    /* xShadowName */ nullptr,
};

}  // namespace

int RegisterModule(sqlite3* db, char** error) {
  std::lock_guard<std::recursive_mutex> lock(EngineMutex());
  try {
    if (!tessera::EngineStarted()) tessera::EngineStart();
    RegisterCollation(db, CodePage::Named("cp866"));
  } catch (const std::exception& e) {
    if (error != nullptr) *error = sqlite3_mprintf("%s", e.what());
    return SQLITE_ERROR;
  }
  const int rc = sqlite3_create_module_v2(db, "tessera", &kModule, nullptr, nullptr);
  if (rc != SQLITE_OK && error != nullptr) *error = sqlite3_mprintf("%s", sqlite3_errmsg(db));
  return rc;
}

}  // namespace tessera_sql
