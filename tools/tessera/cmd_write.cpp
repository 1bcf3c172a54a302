// tessera append / set / delete / recall: small writes for scripting.
// Tables are opened shared, with their production index, and writes take
// the append or record lock at the bytes the callbook's editor (and other
// programs of the table's kind of index) use, so they can run beside it.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "tools/tessera/command.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {
namespace {

struct Assignment {
  std::string name;   // as given (field names are ASCII)
  std::string value;  // UTF-8 as given, or the file's bytes for NAME=@FILE
  bool from_file = false;
};

std::vector<Assignment> ParseAssignments(const std::vector<std::string>& items, size_t first) {
  std::vector<Assignment> out;
  for (size_t i = first; i < items.size(); ++i) {
    const std::string& item = items[i];
    const size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError{"expected NAME=VALUE, got '" + item + "'"};
    Assignment a;
    a.name = item.substr(0, eq);
    std::string value = item.substr(eq + 1);
    if (!value.empty() && value[0] == '@') {
      std::ifstream in(value.substr(1), std::ios::binary);
      if (!in) throw std::runtime_error("Cannot read " + value.substr(1));
      a.value.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      a.from_file = true;
    } else {
      a.value = value;
    }
    out.push_back(std::move(a));
  }
  return out;
}

// Stores the values into the current record buffer; memo fields get their
// memo written at once (the record then holds the new block number).
void Apply(tessera::KTO_dBHandler& table, const std::vector<Assignment>& values) {
  for (const Assignment& a : values) {
    const tessera::DbfField* f = table.FindField(a.name);
    if (f == nullptr) continue;
    if (table.IsMemoField(*f)) {
      // A memo from a file keeps its bytes; one typed is text in the
      // table's code page.
      const std::string memo = a.from_file ? a.value : FromUtf8(table, a.value);
      int32_t size = static_cast<int32_t>(memo.size());
      if (!table.MemoWrite(f->number, memo.data(), &size)) throw std::runtime_error("The memo of " + a.name + " was not written");
    } else if (a.from_file) {
      throw std::runtime_error(a.name + " is not a memo field: @FILE values go into memo fields only");
    } else {
      table.PutTextN(f->number, FromUtf8(table, a.value));
    }
  }
}

// The table's production index, as other xBase programs open it by
// themselves: the compound index of the table's name beside it, else its
// multiple index. Empty when there is none.
std::string ProductionIndex(const tessera::KTO_dBHandler& table) {
  const std::string base = plat::DirectoryOf(table.GivenName()) + tessera::BaseName(table.GivenName());
  for (const char* ext : {".CDX", ".MDX"})
    if (plat::FileExists(base + ext)) return plat::ResolveCase(base + ext);
  return {};
}

// The index files kept current: the table's production index (unless
// --no-index), then those named with --index (comma-separated). With
// --no-index a production index is left behind, and the user is told.
void OpenIndexes(tessera::KTO_dBHandler& table, const ArgParser& p, const std::string& command) {
  const std::string production = ProductionIndex(table);
  if (p.Has("--no-index")) {
    if (p.Value("--index") != nullptr) throw UsageError{"--no-index and --index exclude each other"};
    // Shown beside the table as the user named it.
    const std::string shown = plat::DirectoryOf(p.Positional()[0]) + production.substr(production.rfind('/') + 1);
    if (!production.empty())
      std::cerr << "tessera " << command << ": " << shown
                << " is not kept current (--no-index): its tags miss this change until it is rebuilt "
                   "(tessera reindex)\n";
    return;
  }
  std::vector<std::string> names;
  if (!production.empty()) names.push_back(production);
  if (const std::string* list = p.Value("--index")) {
    for (size_t start = 0, comma; start < list->size(); start = comma + 1) {
      comma = std::min(list->find(',', start), list->size());
      const std::string name = list->substr(start, comma - start);
      if (name.empty()) continue;
      RequireWritableIndexKind(name);
      // The production index named again is opened once.
      if (!production.empty() && plat::UpperName(table.ResolveIndexName(name, ".NDX")) == plat::UpperName(production))
        continue;
      names.push_back(name);
    }
  }
  for (const std::string& name : names) table.OpenIndexFile(name);
}

// The lock protocol given with --lock (the table follows its kind of
// index otherwise).
void ChooseLockProtocol(tessera::KTO_dBHandler& table, const ArgParser& p) {
  const std::string* name = p.Value("--lock");
  if (name == nullptr) return;
  const std::string upper = plat::UpperName(*name);
  if (upper == "DEFAULT") table.SetLockProtocol(tessera::kDefaultLock);
  else if (upper == "DB4LOCK") table.SetLockProtocol(tessera::kDB4Lock);
  else if (upper == "CLIPLOCK") table.SetLockProtocol(tessera::kClipLock);
  else if (upper == "FOXLOCK") table.SetLockProtocol(tessera::kFoxLock);
  else throw UsageError{"--lock takes Default, DB4Lock, ClipLock or FoxLock"};
}

[[noreturn]] void Locked() { throw std::runtime_error(tessera::msg::kRecordLocked); }

// How long a lock another process holds is waited for: the engine's lock
// wait unless --wait MS or --no-wait says otherwise.
int WaitMilliseconds(const ArgParser& p) {
  if (p.Has("--no-wait")) return 0;
  if (const std::string* ms = p.Value("--wait")) {
    const long long n = ParseInteger(*ms, "--wait");
    if (n < 0) throw UsageError{"--wait takes a number of milliseconds"};
    return static_cast<int>(std::min<long long>(n, 24LL * 3600 * 1000));
  }
  return tessera::kLockWaitTotal;
}

// Tries the lock, then again every retry interval until the wait is over.
template <typename F>
void TakeLock(const ArgParser& p, F lock) {
  const int wait = WaitMilliseconds(p);
  for (int waited = 0;; waited += tessera::kLockRetryInterval) {
    if (lock()) return;
    if (waited >= wait) Locked();
    plat::SleepMilliseconds(tessera::kLockRetryInterval);
  }
}

int32_t RecordArgument(tessera::KTO_dBHandler& table, const std::string& text) {
  const long long n = ParseInteger(text, "RECNO");
  if (n < 1 || n > table.RecordCount()) {
    table.ReportError(tessera::kCodeBeyondEof, tessera::kSubReadRecord, table.FileName());
  }
  return static_cast<int32_t>(n);
}

// Opens the table for a write: shared, its indexes, the lock protocol and
// the lock wait (for every lock the write takes).
std::unique_ptr<tessera::KTO_dBHandler> OpenForWrite(const ArgParser& p, const std::string& command) {
  auto table = std::make_unique<tessera::KTO_dBHandler>(p.Positional()[0], true, true);
  ApplyCodePage(*table);
  table->SetLockWait(WaitMilliseconds(p));
  ChooseLockProtocol(*table, p);
  OpenIndexes(*table, p, command);
  return table;
}

const std::vector<std::string> kWriteFlags = {"--no-wait", "--no-index"};
const std::vector<std::string> kWriteValues = {"--index", "--wait", "--lock"};

int Append(const Args& args) {
  ArgParser p(args, kWriteFlags, kWriteValues);
  p.Expect(1);
  const auto values = ParseAssignments(p.Positional(), 1);
  auto opened = OpenForWrite(p, "append");
  tessera::KTO_dBHandler& table = *opened;
  TakeLock(p, [&] { return table.LockAppend(); });
  try {
    table.BlankRecord();
    Apply(table, values);
    table.AppendRecord();
  } catch (...) {
    table.UnlockTable();
    throw;
  }
  table.UnlockTable();
  std::cout << table.CurrentRecord() << "\n";
  return 0;
}

// Reads record RECNO under its lock, lets `change` edit the buffer, writes it.
template <typename F>
int EditRecord(const Args& args, const std::string& command, size_t min_positional, F change) {
  ArgParser p(args, kWriteFlags, kWriteValues);
  p.Expect(min_positional, min_positional == 2 ? 2 : static_cast<size_t>(-1));
  auto opened = OpenForWrite(p, command);
  tessera::KTO_dBHandler& table = *opened;
  const int32_t recno = RecordArgument(table, p.Positional()[1]);
  table.GotoRecord(recno);
  TakeLock(p, [&] { return table.LockRecord(); });
  try {
    table.GotoRecord(recno);  // the record as it is now that it is ours
    change(table, p.Positional());
  } catch (...) {
    table.UnlockTable();
    throw;
  }
  table.UnlockTable();
  return 0;
}

int Set(const Args& args) {
  return EditRecord(args, "set", 3, [](tessera::KTO_dBHandler& table, const std::vector<std::string>& pos) {
    Apply(table, ParseAssignments(pos, 2));
    table.WriteRecord(table.CurrentRecord());
  });
}

int Delete(const Args& args) {
  return EditRecord(args, "delete", 2, [](tessera::KTO_dBHandler& table, const std::vector<std::string>&) { table.MarkDeleted(); });
}

int Recall(const Args& args) {
  return EditRecord(args, "recall", 2, [](tessera::KTO_dBHandler& table, const std::vector<std::string>&) { table.MarkRecalled(); });
}

const char* kValueHelp =
    "The table's production index (the .CDX of its name beside it, else the .MDX of its name)\n"
    "is opened and kept current as other xBase programs keep it; --index INDEX[,INDEX...] keeps\n"
    "every tag of further index files current too. --no-index writes the table alone and says\n"
    "that the production index is left behind (it must then be rebuilt with tessera reindex).\n"
    "Locks fall on the bytes the programs of the table's kind of index use (FoxLock for a\n"
    "compound index, DB4Lock for MDX and NDX, ClipLock for NTX); --lock Default|DB4Lock|\n"
    "ClipLock|FoxLock chooses another protocol.\n"
    "A lock another program holds is waited for, up to 5000 ms (--wait MS; --no-wait tries once).\n"
    "Values are given in UTF-8 and stored in the table's code page as the field's text; NAME=@FILE stores\n"
    "the bytes of FILE as the memo of a memo field. A record or append lock held by another\n"
    "program for longer makes the command fail with \"Record is locked by another user\" (status 1).";

#define TESSERA_WRITE_OPTIONS "[--index INDEX | --no-index] [--lock PROTOCOL] [--wait MS | --no-wait]"
TESSERA_COMMAND("append", "append TABLE NAME=VALUE... " TESSERA_WRITE_OPTIONS,
                "Append a record with the given field values; prints its number.", kValueHelp, Append);
TESSERA_COMMAND("set", "set TABLE RECNO NAME=VALUE... " TESSERA_WRITE_OPTIONS, "Change fields of record RECNO.",
                kValueHelp, Set);
TESSERA_COMMAND("delete", "delete TABLE RECNO " TESSERA_WRITE_OPTIONS, "Mark record RECNO deleted.", kValueHelp,
                Delete);
TESSERA_COMMAND("recall", "recall TABLE RECNO " TESSERA_WRITE_OPTIONS, "Clear the deletion mark of record RECNO.",
                kValueHelp, Recall);

}  // namespace
}  // namespace tessera_tool
