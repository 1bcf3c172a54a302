#include "tools/sqlite/xbase_table.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/path.h"
#include "platform/text_codepage.h"
#include "tools/sqlite/lock_busy.h"

namespace tessera_sql {
namespace {

std::string Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

// 'text' or "text" (a doubled quote inside stands for one); other text as it is.
std::string Dequote(const std::string& s) {
  if (s.size() < 2 || (s.front() != '\'' && s.front() != '"') || s.back() != s.front()) return s;
  const char q = s.front();
  std::string out;
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    out += s[i];
    if (s[i] == q && i + 2 < s.size() && s[i + 1] == q) ++i;
  }
  return out;
}

std::string QuoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty() || from == to) return;
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

const char* const kUsage =
    "usage: CREATE VIRTUAL TABLE name USING tessera('FILE.DBF' [, index='FILE.CDX,...'] [, codepage=1252] "
    "[, deleted=hide|show|only] [, wait=MS])";

}  // namespace

TableOptions TableOptions::Parse(const std::vector<std::string>& args) {
  TableOptions o;
  bool have_file = false;
  for (const std::string& raw : args) {
    const std::string arg = Trim(raw);
    if (arg.empty()) continue;
    const size_t eq = arg.find('=');
    const bool quoted = arg.front() == '\'' || arg.front() == '"';
    if (quoted || eq == std::string::npos) {
      if (have_file) throw std::runtime_error("tessera: more than one table file given; " + std::string(kUsage));
      o.file = Dequote(arg);
      have_file = true;
      continue;
    }
    std::string key = Trim(arg.substr(0, eq));
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string value = Dequote(Trim(arg.substr(eq + 1)));
    if (key == "file") {
      if (have_file) throw std::runtime_error("tessera: more than one table file given; " + std::string(kUsage));
      o.file = value;
      have_file = true;
    } else if (key == "index") {
      for (size_t start = 0; start <= value.size();) {
        const size_t comma = std::min(value.find(',', start), value.size());
        const std::string name = Trim(value.substr(start, comma - start));
        if (!name.empty()) o.indexes.push_back(name);
        start = comma + 1;
      }
    } else if (key == "wait") {
      char* end = nullptr;
      const long ms = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || ms < 0 || ms > 3600000)
        throw std::runtime_error("tessera: wait= takes a number of milliseconds, not '" + value + "'");
      o.lock_wait_ms = static_cast<int>(ms);
    } else if (key == "codepage") {
      o.code_page = plat::CodePageNamed(value);
      if (o.code_page == 0)
        throw std::runtime_error("tessera: codepage= takes a code page (a number such as 1252, cp866, mazovia or utf-8), not '" +
                                 value + "'");
    } else if (key == "deleted") {
      if (value == "hide") o.deleted = DeletedRecords::kHide;
      else if (value == "show") o.deleted = DeletedRecords::kShow;
      else if (value == "only") o.deleted = DeletedRecords::kOnly;
      else throw std::runtime_error("tessera: deleted= takes hide, show or only, not '" + value + "'");
    } else {
      throw std::runtime_error("tessera: unknown option '" + key + "'; " + std::string(kUsage));
    }
  }
  if (!have_file || o.file.empty()) throw std::runtime_error("tessera: no table file given; " + std::string(kUsage));
  return o;
}

XbaseTable::XbaseTable(TableOptions options) : options_(std::move(options)) {
  const std::string path = plat::ResolveCase(plat::FullPath(tessera::DefaultExtension(options_.file, ".DBF")));
  if (!plat::FileExists(path)) {
    // The engine's own report of a missing table.
    tessera::KTO_dBHandler probe(options_.file, true, false);
  }
  writable_ = ::access(path.c_str(), W_OK) == 0;
  // The table's own (structural, production) index opens with it.
  const std::string stem = path.substr(0, path.size() - tessera::ExtensionOf(path).size());
  for (const char* ext : {".CDX", ".MDX"})
    if (plat::FileExists(stem + ext)) {
      production_index_ = plat::ResolveCase(stem + ext);
      break;
    }
  std::unique_ptr<TableHandle> h;
  try {
    h = OpenHandle();
  } catch (const std::exception& e) {
    if (production_index_.empty()) throw;
    // The table's own index cannot be opened (damaged, a kind this engine
    // does not read): the records are still shown, in record order, but
    // written they would leave the index behind.
    unusable_index_ = UserMessage(e.what());
    production_index_.clear();
    h = OpenHandle();
  }
  page_ = &CodePage::Numbered(DefaultCodePage(*h));
  columns_ = TableColumns(*h, *page_);
  tags_ = FindTagUses(*h, columns_, *page_);
  handles_.push_back(std::move(h));
}

XbaseTable::~XbaseTable() = default;

std::unique_ptr<TableHandle> XbaseTable::OpenHandle() {
  auto h = std::make_unique<TableHandle>(options_.file, true, writable_);
  h->SetUseDeleted(true);
  if (options_.code_page != 0) h->SetTextCodePage(options_.code_page);
  if (!production_index_.empty()) h->OpenIndexFile(production_index_);
  for (const std::string& name : options_.indexes) h->OpenIndexFile(name);
  return h;
}

std::string XbaseTable::Schema() const {
  std::string s = "CREATE TABLE x(";
  bool visible = false;
  for (const Column& c : columns_) {
    s += QuoteIdentifier(c.name) + " " + c.declaration + ", ";
    visible = visible || c.kind != ColumnKind::kSystem;
  }
  // A table without fields (a header alone) still has records; SQL shows
  // them by their deletion mark, as a table needs a column to be selected.
  return s + (visible ? "\"_deleted\" INTEGER HIDDEN)" : "\"_deleted\" INTEGER)");
}

int32_t XbaseTable::RecordCount() {
  TableHandle& h = *handles_.front();
  h.RefreshHeader();
  return h.RecordCount();
}

XbaseTable::Lease XbaseTable::Acquire() {
  for (auto& h : handles_)
    if (!h->in_use) {
      h->in_use = true;
      return Lease(h.get());
    }
  handles_.push_back(OpenHandle());
  handles_.back()->in_use = true;
  return Lease(handles_.back().get());
}

XbaseTable::Lease XbaseTable::Writer() {
  const std::string shown = tessera::DefaultExtension(options_.file, ".DBF");
  if (!writable_) throw std::runtime_error(shown + " cannot be written: the file is read-only");
  TableHandle& any = *handles_.front();
  // A format this engine reads but does not write, or a header read
  // leniently: the engine's refusal, before anything changes.
  if (!any.ReadOnlyReason().empty()) any.RequireWritableFormat();
  if (any.MemoFileMissing())
    throw std::runtime_error(shown + " cannot be written: its memo file " + any.MemoFileName() +
                             " is missing, so its memos could not be kept");
  if (!unusable_index_.empty())
    throw std::runtime_error(shown + " cannot be written: its index could not be opened, so it would not be kept current (" +
                             unusable_index_ + ")");
  Lease h = Acquire();
  // In record order a write does not make a master tag find the record.
  if (h->MasterTag() != nullptr) h->SelectMasterTag("", true);
  return h;
}

void XbaseTable::TakeLock(TableHandle& h, bool append) {
  const int wait = options_.lock_wait_ms >= 0 ? options_.lock_wait_ms : tessera::kLockWaitTotal;
  for (int waited = 0;; waited += tessera::kLockRetryInterval) {
    if (append ? h.LockAppend() : h.LockRecord()) return;
    if (waited >= wait) throw LockBusy(tessera::msg::kRecordLocked);
    plat::SleepMilliseconds(tessera::kLockRetryInterval);
  }
}

int32_t XbaseTable::Insert(sqlite3_value** values) {
  Lease h = Writer();
  std::vector<FieldWrite> writes;
  writes.reserve(columns_.size());
  for (const Column& c : columns_) writes.push_back(PrepareWrite(*h, c, *page_, values[c.field - 1], true));
  sqlite3_value* mark = values[DeletedColumn()];
  const bool deleted = sqlite3_value_type(mark) != SQLITE_NULL && sqlite3_value_int64(mark) != 0;
  TakeLock(*h, true);
  try {
    h->BlankRecord();
    for (size_t i = 0; i < columns_.size(); ++i) ApplyWrite(*h, columns_[i], writes[i]);
    // Memos last: nothing can fail between them and the record but the
    // write itself.
    for (size_t i = 0; i < columns_.size(); ++i) WriteMemo(*h, columns_[i], writes[i]);
    if (deleted) h->RecordBuffer()[0] = '*';
    h->AppendRecord();
  } catch (...) {
    h->UnlockTable();
    throw;
  }
  h->UnlockTable();
  h->wrote = true;
  const int32_t recno = h->CurrentRecord();
  if (in_transaction_) undo_.Appended(recno);
  return recno;
}

void XbaseTable::Update(int32_t recno, sqlite3_value** values) {
  Lease h = Writer();
  std::vector<std::pair<size_t, FieldWrite>> writes;
  for (size_t i = 0; i < columns_.size(); ++i) {
    sqlite3_value* v = values[columns_[i].field - 1];
    // Columns the statement does not set are left as the record has them
    // now: another program may have changed them since they were read.
    if (sqlite3_value_nochange(v)) continue;
    writes.emplace_back(i, PrepareWrite(*h, columns_[i], *page_, v, false));
  }
  sqlite3_value* mark = values[DeletedColumn()];
  const bool set_mark = !sqlite3_value_nochange(mark) && sqlite3_value_type(mark) != SQLITE_NULL;
  const bool deleted = set_mark && sqlite3_value_int64(mark) != 0;
  h->GotoRecord(recno);
  TakeLock(*h, false);
  try {
    h->GotoRecord(recno);  // as it is now that the lock is ours
    const std::string before = h->SavedRecord();
    for (const auto& [i, w] : writes) ApplyWrite(*h, columns_[i], w);
    for (const auto& [i, w] : writes) RequireAutoIncrementKept(*h, columns_[i], before);
    for (const auto& [i, w] : writes) {
      if (w.form != FieldWrite::Form::kMemo) continue;
      // Unchanged: kept where it lies.
      if (h->MemoText(columns_[i].field) == w.bytes && w.null == h->IsNull(columns_[i].field)) continue;
      WriteMemo(*h, columns_[i], w);
    }
    if (set_mark) h->RecordBuffer()[0] = deleted ? '*' : ' ';
    if (std::memcmp(h->RecordBuffer(), before.data(), before.size()) != 0) {
      h->SetRecordChanged(true);
      h->WriteRecord(recno);
      h->wrote = true;
      if (in_transaction_) undo_.Changed(recno, before, std::string(h->RecordBuffer(), before.size()));
    }
  } catch (...) {
    h->UnlockTable();
    throw;
  }
  h->UnlockTable();
}

void XbaseTable::Delete(int32_t recno) {
  Lease h = Writer();
  h->GotoRecord(recno);
  TakeLock(*h, false);
  try {
    h->GotoRecord(recno);
    if (!h->IsDeleted()) {
      const std::string before = h->SavedRecord();
      h->MarkDeleted();
      h->wrote = true;
      if (in_transaction_) undo_.Changed(recno, before, std::string(h->RecordBuffer(), before.size()));
    }
  } catch (...) {
    h->UnlockTable();
    throw;
  }
  h->UnlockTable();
}

// --- transactions ------------------------------------------------------------

void XbaseTable::Begin() {
  undo_.Clear();
  in_transaction_ = true;
}

void XbaseTable::Sync() {
  for (auto& h : handles_)
    if (h->wrote) {
      h->Flush();
      h->wrote = false;
    }
}

void XbaseTable::Commit() {
  undo_.Clear();
  in_transaction_ = false;
}

void XbaseTable::Restore(TableHandle& h, const UndoLog::Entry& e) {
  h.GotoRecord(e.recno);
  TakeLock(h, false);
  try {
    h.GotoRecord(e.recno);
    if (e.appended) {
      h.MarkDeleted();
    } else if (h.SavedRecord() == e.written) {
      // The old record still points at its old memos: a changed memo went
      // to new blocks.
      std::memcpy(h.RecordBuffer(), e.before.data(), e.before.size());
      h.SetRecordChanged(true);
      h.WriteRecord(e.recno);
    }
  } catch (...) {
    h.UnlockTable();
    throw;
  }
  h.UnlockTable();
  h.wrote = true;
}

void XbaseTable::RollbackFrom(size_t from) {
  const std::vector<UndoLog::Entry> entries = undo_.TakeFrom(from);
  if (entries.empty()) return;
  Lease h = Writer();
  // Every record is tried; the first failure is reported afterwards.
  std::string failure;
  for (const UndoLog::Entry& e : entries) {
    try {
      Restore(*h, e);
    } catch (const std::exception& ex) {
      if (failure.empty()) failure = ex.what();
    }
  }
  if (!failure.empty()) throw std::runtime_error(failure);
}

void XbaseTable::RollbackTo(int level) { RollbackFrom(undo_.MarkOf(level)); }

void XbaseTable::Rollback() {
  struct End {
    XbaseTable* t;
    ~End() {
      t->undo_.Clear();
      t->in_transaction_ = false;
    }
  } end{this};
  RollbackFrom(0);
}

void XbaseTable::Savepoint(int level) { undo_.SetMark(level); }

void XbaseTable::Release(int level) { undo_.DropMarks(level); }

// --- messages ----------------------------------------------------------------------

std::string XbaseTable::UserMessageFor(const std::string& table_file, const std::string& engine_message) {
  std::string message = engine_message;
  const std::string shown = tessera::DefaultExtension(table_file, ".DBF");
  ReplaceAll(message, plat::UpperName(plat::FullPath(shown)), shown);
  // Other files beside the table (memo, index files): the folder as the
  // user gave it, the name as it is on disk.
  const std::string dir = plat::DirectoryOf(shown);
  std::string prefix = plat::UpperName(plat::FullPath(dir.empty() ? "." : dir));
  if (prefix.back() != '/') prefix += '/';
  for (size_t at = 0; (at = message.find(prefix, at)) != std::string::npos;) {
    size_t end = at + prefix.size();
    while (end < message.size() && std::string_view(" /\"'\n:,;)").find(message[end]) == std::string_view::npos) ++end;
    if (end == at + prefix.size() || (end < message.size() && message[end] == '/')) {
      at = end;
      continue;
    }
    const std::string engine_name = message.substr(at, end - at);
    std::string name = engine_name.substr(prefix.size());
    const std::string on_disk = plat::ResolveCase(engine_name);
    if (plat::FileExists(on_disk)) name = on_disk.substr(on_disk.rfind('/') + 1);
    const std::string user = dir + name;
    message.replace(at, engine_name.size(), user);
    at += user.size();
  }
  return message;
}

}  // namespace tessera_sql
