// tessera sql DIR [SQL...]: SQL over every table of a folder, through the
// SQLite module of tools/sqlite. Each table is a virtual table named after
// its file (lower case, without the extension), with its own index file;
// rows come out as JSON Lines, CSV or an aligned table.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "engine/text_helpers.h"
#include "platform/path.h"
#include "platform/text_convert.h"
#include "tools/sqlite/module.h"
#include "tools/tessera/command.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {
namespace {

enum class Output { kJson, kCsv, kTable };

struct Db {
  sqlite3* db = nullptr;
  ~Db() { sqlite3_close(db); }
};

std::string SqlString(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

std::string SqlName(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void AppendCsv(std::string& out, std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += value;
    return;
  }
  out += '"';
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// Characters a terminal shows for a UTF-8 text (one per code point).
size_t Shown(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string Text(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL: return "";
    case SQLITE_FLOAT: return plat::ShortestText(sqlite3_column_double(st, i));
    case SQLITE_BLOB: {
      const void* p = sqlite3_column_blob(st, i);
      return Hex(std::string_view(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i))));
    }
    default: {
      const auto* p = sqlite3_column_text(st, i);
      return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i)));
    }
  }
}

std::string Json(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL: return "null";
    case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT: return plat::ShortestText(sqlite3_column_double(st, i));
    default: return JsonString(Text(st, i));
  }
}

void Write(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// Runs one statement and prints its rows; false (with the message on
// standard error) when it fails.
bool Run(sqlite3* db, sqlite3_stmt* st, Output output) {
  const int n = sqlite3_column_count(st);
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.emplace_back(sqlite3_column_name(st, i));
  std::string out;
  std::vector<std::vector<std::string>> rows;  // --table: the widths are known at the end
  if (output == Output::kCsv && n > 0) {
    for (int i = 0; i < n; ++i) {
      if (i > 0) out += ',';
      AppendCsv(out, names[static_cast<size_t>(i)]);
    }
    out += "\r\n";
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (output == Output::kJson) {
      out += '{';
      for (int i = 0; i < n; ++i) {
        if (i > 0) out += ',';
        out += JsonString(names[static_cast<size_t>(i)]) + ":" + Json(st, i);
      }
      out += "}\n";
    } else if (output == Output::kCsv) {
      for (int i = 0; i < n; ++i) {
        if (i > 0) out += ',';
        AppendCsv(out, Text(st, i));
      }
      out += "\r\n";
    } else {
      // One line per row: line breaks and tabs inside a value (memos) are
      // shown escaped, so that the columns stay aligned.
      std::vector<std::string> row;
      for (int i = 0; i < n; ++i) {
        std::string cell;
        for (char c : Text(st, i)) {
          if (c == '\n') cell += "\\n";
          else if (c == '\r') cell += "\\r";
          else if (c == '\t') cell += "\\t";
          else cell += c;
        }
        row.push_back(std::move(cell));
      }
      rows.push_back(std::move(row));
    }
    if (out.size() > 1 << 16) {
      Write(out);
      out.clear();
    }
  }
  if (output == Output::kTable && n > 0) {
    std::vector<size_t> width(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) width[static_cast<size_t>(i)] = Shown(names[static_cast<size_t>(i)]);
    for (const auto& row : rows)
      for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], Shown(row[i]));
    auto line = [&](const std::vector<std::string>& cells) {
      for (size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) out += "  ";
        out += cells[i];
        if (i + 1 < cells.size()) out += std::string(width[i] - Shown(cells[i]), ' ');
      }
      out += "\n";
    };
    line(names);
    std::vector<std::string> rule;
    for (size_t w : width) rule.emplace_back(w, '-');
    line(rule);
    for (const auto& row : rows) line(row);
  }
  Write(out);
  if (rc != SQLITE_DONE) {
    std::fflush(stdout);
    std::cerr << "tessera sql: " << sqlite3_errmsg(db) << "\n";
    return false;
  }
  return true;
}

// Runs every statement of a text; false at the first that fails.
bool RunText(sqlite3* db, const std::string& sql, Output output) {
  const char* at = sql.c_str();
  while (*at != '\0') {
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, at, -1, &st, &tail) != SQLITE_OK) {
      std::cerr << "tessera sql: " << sqlite3_errmsg(db) << "\n";
      return false;
    }
    at = tail;
    if (st == nullptr) continue;  // blanks or a comment
    const bool ok = Run(db, st, output);
    sqlite3_finalize(st);
    if (!ok) return false;
  }
  return true;
}

int Sql(const Args& args) {
  ArgParser p(args, {"--csv", "--table", "--json", "--no-wait"}, {"--deleted", "--wait"});
  p.Expect(1);
  const int formats = p.Has("--csv") + p.Has("--table") + p.Has("--json");
  if (formats > 1) throw UsageError{"--json, --csv and --table go one at a time"};
  const Output output = p.Has("--csv") ? Output::kCsv : p.Has("--table") ? Output::kTable : Output::kJson;
  std::string options;
  if (const std::string* d = p.Value("--deleted")) {
    if (*d != "hide" && *d != "show" && *d != "only") throw UsageError{"--deleted takes hide, show or only"};
    options += ", deleted=" + *d;
  }
  // --codepage is every command's option (main reads it).
  if (CodePageOverridden()) options += ", codepage=" + std::to_string(CodePageOverride());
  if (p.Has("--no-wait")) {
    options += ", wait=0";
  } else if (const std::string* ms = p.Value("--wait")) {
    const long long n = ParseInteger(*ms, "--wait");
    if (n < 0 || n > 3600000) throw UsageError{"--wait takes a number of milliseconds"};
    options += ", wait=" + std::to_string(n);
  }

  std::string dir = p.Positional()[0];
  if (!plat::FileExists(dir)) throw std::runtime_error("Cannot find the folder " + dir);
  DIR* d = ::opendir(plat::ResolveCase(plat::FullPath(dir)).c_str());
  if (d == nullptr) throw std::runtime_error(dir + " is not a folder that can be read");
  std::vector<std::string> tables;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (plat::UpperName(tessera::ExtensionOf(name)) == ".DBF") tables.push_back(name);
  }
  ::closedir(d);
  std::sort(tables.begin(), tables.end());

  Db db;
  if (sqlite3_open(":memory:", &db.db) != SQLITE_OK) throw std::runtime_error("Cannot open an SQLite database in memory");
  char* error = nullptr;
  if (tessera_sql::RegisterModule(db.db, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : "cannot register the tessera module";
    sqlite3_free(error);
    throw std::runtime_error(message);
  }
  if (dir.back() != '/') dir += '/';
  std::set<std::string> taken;
  for (const std::string& file : tables) {
    std::string name = tessera::BaseName(file);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    if (!taken.insert(name).second) {
      std::cerr << "tessera sql: " << dir + file << " left out: a table named " << name << " is open already\n";
      continue;
    }
    const std::string create =
        "CREATE VIRTUAL TABLE " + SqlName(name) + " USING tessera(" + SqlString(dir + file) + options + ")";
    if (sqlite3_exec(db.db, create.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::cerr << "tessera sql: " << dir + file << " left out: " << (error != nullptr ? error : "") << "\n";
      sqlite3_free(error);
      error = nullptr;
    }
  }

  if (p.Positional().size() > 1) {
    for (size_t i = 1; i < p.Positional().size(); ++i)
      if (!RunText(db.db, p.Positional()[i], output)) return 1;
    return 0;
  }
  // Statements from standard input, each run as soon as it is complete.
  std::string pending, line;
  while (std::getline(std::cin, line)) {
    pending += line + "\n";
    if (!sqlite3_complete(pending.c_str())) continue;
    const bool ok = RunText(db.db, pending, output);
    std::fflush(stdout);
    if (!ok) return 1;
    pending.clear();
  }
  if (pending.find_first_not_of(" \t\r\n") != std::string::npos && !RunText(db.db, pending, output)) return 1;
  return 0;
}

TESSERA_COMMAND("sql", "sql DIR [SQL...] [--csv | --table] [--deleted hide|show|only] [--codepage CP] [--wait MS | --no-wait]",
                "Run SQL over every table of a folder; print the rows as JSON Lines.",
                "Every table of DIR (*.dbf in any letter case) is a table of SQLite named after its\n"
                "file in lower case (Pyx.DBF is pyx), with the table's own index file (PYX.CDX,\n"
                "or an .MDX) searched and kept current. Columns are the fields in lower case (the long\n"
                "names of a Visual FoxPro database container): C and V as TEXT decoded from the\n"
                "table's code page and in its order, N and F as INTEGER or REAL, D as 'YYYY-MM-DD',\n"
                "T as 'YYYY-MM-DDTHH:MM:SS', L as 1/0, I as INTEGER, Y and B as REAL, memos as TEXT\n"
                "or BLOB, varbinary and binary fields as BLOB. NULL is Visual FoxPro's .NULL. and a\n"
                "blank number, date, logical or date-time, as dump shows them. rowid is the record\n"
                "number and the hidden column _deleted the deletion mark. DELETE marks records\n"
                "deleted; INSERT, UPDATE and DELETE lock records as the callbook does; the table\n"
                "numbers autoincrement fields itself.\n"
                "Each SQL argument may hold several statements; without one, statements are read\n"
                "from standard input. Rows come out as JSON Lines, one object per row; --csv prints\n"
                "CSV (RFC 4180, a header row per statement), --table an aligned table.\n"
                "--deleted show lists deleted records too, --deleted only them alone; --codepage CP\n"
                "reads and writes texts in that code page instead of the tables' own. A lock another\n"
                "program holds is waited for up to 5000 ms (--wait MS; --no-wait tries once), then the\n"
                "statement fails with \"Record is locked by another user\".\n"
                "A table that cannot be opened is left out with a message; the first statement that\n"
                "fails ends the command with status 1 and SQLite's message.",
                Sql);

}  // namespace
}  // namespace tessera_tool
