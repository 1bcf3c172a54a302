// The SQL module on the callbook workload, beside a native SQLite table
// holding the same rows with the same eleven indexes, in the same run:
//
//   1. 100 000 executions of the prepared SELECT * FROM pyx WHERE call_ = ?
//      (the callsigns sqlbench seeks), every column read;
//   2. SELECT count(*) FROM pyx WHERE fam_ LIKE 'ИВАН%' (through the FIO
//      tag), LIKE 'Иван%' (the generated names are not in capitals) and
//      GLOB 'Иван*', which the native table can search by its index;
//   3. full scans: every row through a LIKE on one column, and SELECT *
//      FROM pyx with every column read;
//   4. 10 000 INSERTs of the cards of New.DBF in one transaction (the
//      eleven tags, or indexes, kept current).
//
//   sql_bench --tools DIR [--data DIR] [--cards N] [--runs R] [--steps LIST]
//
// DIR holds gencallbook.py, sqlload.py and sqlindex.sql (the callbook
// workload). The data folder (default: the callbook benchmark's, so that
// its generated table, database and built index are reused) keeps what
// setup makes; setup is not timed. Each step runs R times (default 3) and
// reports the median of each side and their ratio; machines are noisy, the
// ratios taken in one run are what counts.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"
#include "tools/sqlite/module.h"

namespace {

namespace fs = std::filesystem;

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Park-Miller, as sqlbench draws the records whose callsigns it seeks.
uint64_t g_seed = 1;
uint64_t Draw(uint64_t n) {
  g_seed = (g_seed * 48271) % 2147483647;
  return (g_seed - 1) % n;
}

struct Db {
  sqlite3* db = nullptr;
  explicit Db(const std::string& file) {
    sqlite3_open(file.c_str(), &db);
    char* error = nullptr;
    if (tessera_sql::RegisterModule(db, &error) != SQLITE_OK) {
      std::fprintf(stderr, "%s\n", error);
      std::exit(1);
    }
  }
  ~Db() { sqlite3_close(db); }
  void Exec(const std::string& sql) { Check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, sql.c_str()); }
  std::string Plan(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &st, nullptr), db, "plan");
    std::string plan;
    while (sqlite3_step(st) == SQLITE_ROW) plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
    sqlite3_finalize(st);
    return plan;
  }
};

// Steps a statement to its end, reading every column of every row; the
// number of rows.
long StepAll(sqlite3* db, sqlite3_stmt* st, size_t* bytes) {
  long rows = 0;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    ++rows;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      sqlite3_column_text(st, i);
      *bytes += static_cast<size_t>(sqlite3_column_bytes(st, i));
    }
  }
  Check(rc, db, "step");
  return rows;
}

// `text` padded with blanks to `width` characters (UTF-8 aware).
std::string Pad(const std::string& text, size_t width) {
  size_t chars = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++chars;
  return text + std::string(width > chars ? width - chars : 0, ' ');
}

void Row(const std::string& what, double ours, double native, const char* unit, const char* goal) {
  std::printf("| %s | %12.0f %-5s | %12.0f %-5s | %6.2f | %-8s |\n", Pad(what, 52).c_str(), ours, unit, native, unit,
              native > 0 ? ours / native : 0, goal);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tools, data = (fs::temp_directory_path() / "pyx-callbook-bench").string();
  long cards = 1000000;
  int runs = 3;
  std::string steps = "lookup,like,scan,insert";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--tools" && i + 1 < argc) tools = argv[++i];
    else if (a == "--data" && i + 1 < argc) data = argv[++i];
    else if (a == "--cards" && i + 1 < argc) cards = std::atol(argv[++i]);
    else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--steps" && i + 1 < argc) steps = argv[++i];
    else {
      std::fprintf(stderr, "usage: sql_bench --tools DIR [--data DIR] [--cards N] [--runs R] [--steps lookup,like,scan,insert]\n");
      return 2;
    }
  }
  if (tools.empty()) {
    std::fprintf(stderr, "sql_bench: --tools DIR (gencallbook.py, sqlload.py, sqlindex.sql) is needed\n");
    return 2;
  }
  tessera::EngineScope engine;

  // --- setup (not timed) ---------------------------------------------------------
  fs::create_directories(data);
  const std::string src = data + "/src-" + std::to_string(cards);
  const std::string base_db = data + "/base-" + std::to_string(cards) + ".db";
  const std::string plain_db = data + "/plain-" + std::to_string(cards) + ".db";
  const std::string built_cdx = data + "/PYX.CDX.built-" + std::to_string(cards);
  if (!fs::exists(src + "/Pyx.DBF") || !fs::exists(src + "/New.DBF")) {
    fs::create_directories(src);
    Shell("python3 '" + tools + "/gencallbook.py' '" + src + "' " + std::to_string(cards) + " > /dev/null");
  }
  if (!fs::exists(plain_db)) Shell("python3 '" + tools + "/sqlload.py' '" + src + "/Pyx.DBF' '" + plain_db + "' > /dev/null");
  if (!fs::exists(base_db)) {
    fs::copy_file(plain_db, base_db + ".tmp", fs::copy_options::overwrite_existing);
    Shell("sqlite3 '" + base_db + ".tmp' \".read " + tools + "/sqlindex.sql\"");
    fs::rename(base_db + ".tmp", base_db);
  }
  const std::string work = data + "/sql-work";
  fs::create_directories(work);
  if (!fs::exists(built_cdx)) {
    fs::copy_file(src + "/Pyx.DBF", work + "/Pyx.DBF", fs::copy_options::overwrite_existing);
    fs::remove(work + "/PYX.CDX");
    tessera::KTO_dBHandler table(work + "/Pyx.DBF", false, true);
    for (const auto& t : pyx_sample::kCallbookTags)
      table.CreateIndexTag("PYX.CDX", t.name, t.expression, "", tessera::kDuplicateKeys, 0);
    fs::copy_file(work + "/PYX.CDX", built_cdx, fs::copy_options::overwrite_existing);
  }
  auto fresh_copies = [&] {
    fs::copy_file(src + "/Pyx.DBF", work + "/Pyx.DBF", fs::copy_options::overwrite_existing);
    fs::copy_file(built_cdx, work + "/PYX.CDX", fs::copy_options::overwrite_existing);
    fs::copy_file(base_db, work + "/native.db", fs::copy_options::overwrite_existing);
    // Written out before a step is timed, so that writeback does not take
    // a processor from it.
    ::sync();
  };
  fresh_copies();

  // The callsigns to seek, as sqlbench draws them, and the new cards.
  std::vector<std::string> calls;
  std::vector<std::vector<std::string>> new_cards;
  {
    tessera::KTO_dBHandler table(work + "/Pyx.DBF", false, false);
    g_seed = 12345;
    const uint64_t n = static_cast<uint64_t>(table.RecordCount());
    while (calls.size() < 100000) {
      table.GotoRecord(static_cast<int32_t>(1 + Draw(n)));
      std::string c = table.GetTextN(1);
      while (!c.empty() && c.back() == ' ') c.pop_back();
      if (!c.empty()) calls.push_back(c);
    }
    tessera::KTO_dBHandler fresh(src + "/New.DBF", false, false);
    for (int32_t r = 1; r <= fresh.RecordCount() && new_cards.size() < 10000; ++r) {
      fresh.GotoRecord(r);
      std::vector<std::string> values;
      for (int f = 1; f <= fresh.FieldCount(); ++f) {
        std::string v = fresh.GetTextN(f);
        while (!v.empty() && v.back() == ' ') v.pop_back();
        values.push_back(plat::OemToUtf8(v));
      }
      new_cards.push_back(std::move(values));
    }
  }
  const std::string create = "CREATE VIRTUAL TABLE pyx USING tessera('" + work + "/Pyx.DBF')";

  std::printf("SQL over the callbook, %ld cards, %d runs each (medians)\n\n", cards, runs);
  std::printf("| %-52s | %-18s | %-18s | %6s | %-8s |\n", "task", "tessera module", "native SQLite", "ratio", "goal");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(20, '-').c_str(),
              std::string(20, '-').c_str(), std::string(8, '-').c_str(), std::string(10, '-').c_str());

  auto step = [&steps](const char* name) { return steps.find(name) != std::string::npos; };
  // --- 1. lookups -------------------------------------------------------------------
  if (step("lookup")) {
    std::vector<double> ours, native;
    size_t bytes = 0;
    for (int run = 0; run < runs; ++run) {
      for (int side = 0; side < 2; ++side) {
        Db db(side == 0 ? ":memory:" : work + "/native.db");
        if (side == 0) db.Exec(create);
        sqlite3_stmt* st = nullptr;
        Check(sqlite3_prepare_v2(db.db, "SELECT * FROM pyx WHERE call_ = ?", -1, &st, nullptr), db.db, "prepare");
        long found = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (const std::string& c : calls) {
          sqlite3_bind_text(st, 1, c.data(), static_cast<int>(c.size()), SQLITE_STATIC);
          found += StepAll(db.db, st, &bytes);
          sqlite3_reset(st);
        }
        (side == 0 ? ours : native).push_back(static_cast<double>(calls.size()) / Seconds(t0));
        sqlite3_finalize(st);
        if (found < static_cast<long>(calls.size())) std::fprintf(stderr, "only %ld rows found\n", found);
      }
    }
    Row("100k prepared SELECT * ... WHERE call_ = ? (/s)", Median(ours), Median(native), "/s", ">= 0.80");
  }

  // --- 2. LIKE and GLOB through the tag -------------------------------------------------
  if (step("like")) {
    // SQLite's LIKE folds the case of Latin letters only: the capitals
    // match the names written in capitals, the second form the others.
    for (const char* op : {"LIKE 'ИВАН%'", "LIKE 'Иван%'", "GLOB 'Иван*'"}) {
      const std::string query = std::string("SELECT count(*) FROM pyx WHERE fam_ ") + op;
      std::vector<double> ours, native;
      long counts[2] = {0, 0};
      std::string plans[2];
      for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
          Db db(side == 0 ? ":memory:" : work + "/native.db");
          if (side == 0) db.Exec(create);
          plans[side] = db.Plan(query);
          sqlite3_stmt* st = nullptr;
          Check(sqlite3_prepare_v2(db.db, query.c_str(), -1, &st, nullptr), db.db, "prepare");
          const auto t0 = std::chrono::steady_clock::now();
          Check(sqlite3_step(st), db.db, "count");
          (side == 0 ? ours : native).push_back(1e3 * Seconds(t0));
          counts[side] = sqlite3_column_int64(st, 0);
          sqlite3_finalize(st);
        }
      }
      // Time, not a rate: the ratio is native time over ours.
      std::printf("| %s | %12.1f %-5s | %12.1f %-5s | %6.2f | %-8s |\n", Pad(std::string("count(*) WHERE fam_ ") + op, 52).c_str(),
                  Median(ours), "ms", Median(native), "ms", Median(native) / Median(ours), "tag");
      std::printf("|   %ld cards; ours: %s; native: %s\n", counts[0], plans[0].c_str(), plans[1].c_str());
      if (counts[0] != counts[1]) std::printf("|   COUNTS DIFFER: %ld against %ld\n", counts[0], counts[1]);
    }
  }

  // --- 3. full scans ----------------------------------------------------------------------
  if (step("scan")) {
    // Every row through a filter on one column (what a search without a
    // tag does), and every column of every row.
    const struct {
      const char* label;
      const char* query;
      bool all_columns;
    } scans[] = {
        {"full scan, count(*) WHERE ulic_ LIKE '%Ленина%' (rows/s)", "SELECT count(*) FROM pyx WHERE ulic_ LIKE '%Ленина%'", false},
        {"full scan, SELECT * with every column (rows/s)", "SELECT * FROM pyx", true},
    };
    for (const auto& scan : scans) {
      std::vector<double> ours, native;
      size_t bytes = 0;
      for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
          Db db(side == 0 ? ":memory:" : work + "/native.db");
          if (side == 0) db.Exec(create);
          sqlite3_stmt* st = nullptr;
          Check(sqlite3_prepare_v2(db.db, scan.query, -1, &st, nullptr), db.db, "prepare");
          const auto t0 = std::chrono::steady_clock::now();
          long rows = StepAll(db.db, st, &bytes);
          const double s = Seconds(t0);
          if (!scan.all_columns) rows = cards;  // every card was read
          (side == 0 ? ours : native).push_back(static_cast<double>(rows) / s);
          sqlite3_finalize(st);
        }
      }
      Row(scan.label, Median(ours), Median(native), "/s", ">= 1M/s");
    }
  }

  // --- 4. inserts --------------------------------------------------------------------------
  if (step("insert")) {
    std::vector<double> ours, native;
    const std::string columns = "call_, fam_, im_, otch_, ind_, reg_, gor_, ulic_, tel_, prim_, strana_, email_, url_";
    for (int run = 0; run < runs; ++run) {
      fresh_copies();
      for (int side = 0; side < 2; ++side) {
        Db db(side == 0 ? ":memory:" : work + "/native.db");
        if (side == 0) db.Exec(create);
        sqlite3_stmt* st = nullptr;
        Check(sqlite3_prepare_v2(db.db, ("INSERT INTO pyx (" + columns + ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)").c_str(),
                                 -1, &st, nullptr),
              db.db, "prepare");
        const auto t0 = std::chrono::steady_clock::now();
        db.Exec("BEGIN");
        for (const auto& card : new_cards) {
          for (size_t i = 0; i < card.size(); ++i)
            sqlite3_bind_text(st, static_cast<int>(i + 1), card[i].data(), static_cast<int>(card[i].size()), SQLITE_STATIC);
          Check(sqlite3_step(st), db.db, "insert");
          sqlite3_reset(st);
        }
        db.Exec("COMMIT");
        (side == 0 ? ours : native).push_back(static_cast<double>(new_cards.size()) / Seconds(t0));
        sqlite3_finalize(st);
      }
    }
    Row("10k INSERTs in one transaction (/s)", Median(ours), Median(native), "/s", ">= 1.00");
  }
  return 0;
}
