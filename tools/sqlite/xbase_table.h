// XbaseTable: one xBase table as an SQL table. It owns the options it was
// declared with, the columns and the tags that can serve them, and a pool
// of handles on the table: every cursor reads through a handle of its own
// (a self-join walks two orders at once), and writes go through a handle
// no cursor stands on. Handles open the table shared, with the same index
// files, so they see each other's writes as they see those of other
// programs, and lock records and the append region as the other programs
// do.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dbf_handler.h"
#include "tools/sqlite/code_page.h"
#include "tools/sqlite/column_types.h"
#include "tools/sqlite/sqlite_api.h"
#include "tools/sqlite/tag_uses.h"
#include "tools/sqlite/undo_log.h"

namespace tessera_sql {

// Which records a table shows.
enum class DeletedRecords { kHide, kShow, kOnly };

struct TableOptions {
  std::string file;                  // as given
  std::vector<std::string> indexes;  // further index files, as given
  int code_page = 0;                 // 0: the table's own (plat/text_codepage.h)
  DeletedRecords deleted = DeletedRecords::kHide;
  int lock_wait_ms = -1;             // -1: the engine's lock wait

  // The arguments of CREATE VIRTUAL TABLE ... USING tessera(...):
  // 'FILE' [, index='A.CDX,B.NTX'] [, codepage=1252] [, deleted=hide|show|only]
  // [, wait=MS]. A code page is named as the tool's --codepage names it.
  // Raises std::runtime_error naming what it cannot read.
  static TableOptions Parse(const std::vector<std::string>& args);
};

// A handle on the table. The engine's protected search refresh is made
// usable here: a cursor that drives a tag itself notices another writer's
// changes first, as the handler's own moves do.
class TableHandle : public tessera::KTO_dBHandler {
 public:
  using KTO_dBHandler::KTO_dBHandler;
  using KTO_dBHandler::RefreshIndexes;
  bool in_use = false;
  bool wrote = false;  // since the last Sync
};

class XbaseTable {
 public:
  // Opens the table (and its production index and the index files named)
  // once to learn its columns and tags; raises the engine's error.
  explicit XbaseTable(TableOptions options);
  ~XbaseTable();
  XbaseTable(const XbaseTable&) = delete;
  XbaseTable& operator=(const XbaseTable&) = delete;

  const TableOptions& Options() const { return options_; }
  const CodePage& Page() const { return *page_; }
  const std::vector<Column>& Columns() const { return columns_; }
  const std::vector<TagUse>& Tags() const { return tags_; }
  // The hidden column after the fields: the deletion mark.
  int DeletedColumn() const { return static_cast<int>(columns_.size()); }
  // CREATE TABLE x(...) for sqlite3_declare_vtab.
  std::string Schema() const;
  // The number of records as the file has it now.
  int32_t RecordCount();

  // A handle no one else is using, until the lease ends.
  class Lease {
   public:
    Lease() = default;
    explicit Lease(TableHandle* h) : h_(h) {}
    Lease(Lease&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    Lease& operator=(Lease&& other) noexcept {
      Release();
      h_ = other.h_;
      other.h_ = nullptr;
      return *this;
    }
    ~Lease() { Release(); }
    TableHandle* operator->() const { return h_; }
    TableHandle& operator*() const { return *h_; }
    TableHandle* get() const { return h_; }

   private:
    void Release() {
      if (h_ != nullptr) h_->in_use = false;
      h_ = nullptr;
    }
    TableHandle* h_ = nullptr;
  };
  Lease Acquire();

  // --- writes (argv as xUpdate passes them: one value per column, the
  // deletion mark last). Each is all or nothing for its record, and each
  // record is locked as other programs lock it, waiting for the engine's
  // lock wait when another program holds the lock.
  int32_t Insert(sqlite3_value** values);
  void Update(int32_t recno, sqlite3_value** values);
  void Delete(int32_t recno);

  // Transactions: the writes since Begin are taken back by Rollback (a
  // new record is marked deleted, a changed one gets its old values back);
  // Sync makes them durable.
  void Begin();
  void Sync();
  void Commit();
  void Rollback();
  void Savepoint(int level);
  void RollbackTo(int level);
  void Release(int level);

  // An engine message with the files named as the user named them.
  std::string UserMessage(const std::string& engine_message) const {
    return UserMessageFor(options_.file, engine_message);
  }
  static std::string UserMessageFor(const std::string& table_file, const std::string& engine_message);

 private:
  std::unique_ptr<TableHandle> OpenHandle();
  // Takes a lock, waiting for the engine's lock wait.
  void TakeLock(TableHandle& h, bool append);
  // The writer's handle, in record order (so that writes do not reposition
  // a tag).
  Lease Writer();
  void Restore(TableHandle& h, const UndoLog::Entry& entry);
  // Takes back the writes the log holds from entry `from` on, newest first.
  void RollbackFrom(size_t from);

  TableOptions options_;
  const CodePage* page_ = nullptr;
  bool writable_ = true;
  std::string production_index_;  // the table's own index file, when there is one
  std::string unusable_index_;    // why the table's own index could not be opened
  std::vector<Column> columns_;
  std::vector<TagUse> tags_;
  std::vector<std::unique_ptr<TableHandle>> handles_;
  UndoLog undo_;
  bool in_transaction_ = false;
};

}  // namespace tessera_sql
