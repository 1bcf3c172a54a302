// The callbook workload beside SQLite and the in-memory floor, in one run:
//
//   1. build the callbook's eleven tags into PYX.CDX (whole process: wall
//      time and peak memory), beside `sortfloor -p` (the floor);
//   2. 100 000 searches in CALL for existing callsigns, and again reading
//      FAM_ of the record found, beside `sqlbench seek`;
//   3. a walk of the whole CALL order (deleted records shown, no filter),
//      again reading FAM_, and the callbook's own walk (deleted hidden)
//      reading FAM_, beside `sqlbench scan`;
//   4. 10 000 appends of the cards of New.DBF with the eleven tags kept
//      current: exclusive, and shared with the append lock and a record
//      lock per card, beside `sqlbench insert ... tx`.
//
//   callbook_bench --tools DIR [--data DIR] [--cards N] [--no-sqlite-build]
//
// DIR holds gencallbook.py, sqlload.py, sqlindex.sql, sqlbench.cpp and
// sortfloor.cpp. The data folder (default: a folder under the temporary
// directory) keeps the generated table, the SQLite database and the
// compiled helpers between runs; setup is not timed. Machines are noisy:
// read the ratios, which are taken in the same run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/index_tag.h"
#include "tools/pyx_sample/sample_cards.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ChildRun {
  double wall_s = 0;
  double peak_mib = 0;
  std::string out;
};

// Runs argv as a child process, its output captured; wall time and the
// child's peak resident set from wait4.
ChildRun RunChild(const std::vector<std::string>& args) {
  ChildRun r;
  const std::string out_file = (fs::temp_directory_path() / ("callbook_bench." + std::to_string(::getpid()))).string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream in(out_file);
  std::stringstream ss;
  ss << in.rdbuf();
  r.out = ss.str();
  fs::remove(out_file);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed:\n%s\n", args[0].c_str(), r.out.c_str());
    std::exit(1);
  }
  return r;
}

// The "time <label> <ms> ms <count>" lines of a helper's output.
std::map<std::string, double> Times(const std::string& out) {
  std::map<std::string, double> t;
  std::regex re(R"(time (\S+) ([0-9.]+) ms (\d+))");
  for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it)
    t[(*it)[1].str()] = std::stod((*it)[2].str());
  return t;
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Park-Miller, as the helpers use it to draw the records to look up.
uint64_t g_seed = 1;
uint64_t Draw(uint64_t n) {
  g_seed = (g_seed * 48271) % 2147483647;
  return (g_seed - 1) % n;
}

// The build step as a process of its own.
int BuildOnly(const std::string& dbf) {
  tessera::EngineScope engine;
  tessera::KTO_dBHandler table(dbf, false, true);
  for (const auto& t : pyx_sample::kCallbookTags)
    table.CreateIndexTag("PYX.CDX", t.name, t.expression, "", tessera::kDuplicateKeys, 0);
  return 0;
}

void Row(const char* what, const std::string& ours, const std::string& other, double ratio, const char* goal) {
  std::printf("| %-44s | %-16s | %-16s | %6.2f | %-10s |\n", what, ours.c_str(), other.c_str(), ratio, goal);
}

std::string Rate(double per_s) {
  char b[64];
  if (per_s >= 1e6) std::snprintf(b, sizeof b, "%.2f M/s", per_s / 1e6);
  else std::snprintf(b, sizeof b, "%.0f /s", per_s);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tools, data = (fs::temp_directory_path() / "pyx-callbook-bench").string();
  long cards = 1000000;
  bool sqlite_build = true;
  std::string steps = "build,order,seek,walk,append";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--build-only" && i + 1 < argc) return BuildOnly(argv[i + 1]);
    if (a == "--tools" && i + 1 < argc) tools = argv[++i];
    else if (a == "--data" && i + 1 < argc) data = argv[++i];
    else if (a == "--cards" && i + 1 < argc) cards = std::atol(argv[++i]);
    else if (a == "--no-sqlite-build") sqlite_build = false;
    else if (a == "--steps" && i + 1 < argc) steps = argv[++i];
    else {
      std::fprintf(stderr, "usage: callbook_bench --tools DIR [--data DIR] [--cards N] [--no-sqlite-build] [--steps build,order,seek,walk,append]\n");
      return 2;
    }
  }
  if (tools.empty()) {
    std::fprintf(stderr, "callbook_bench: --tools DIR (gencallbook.py, sqlbench.cpp, sortfloor.cpp, ...) is needed\n");
    return 2;
  }
  const std::string self = fs::canonical("/proc/self/exe").string();
  fs::create_directories(data);
  const std::string src = data + "/src-" + std::to_string(cards);
  const std::string base_db = data + "/base-" + std::to_string(cards) + ".db";

  // --- setup (not timed) --------------------------------------------------
  if (!fs::exists(src + "/Pyx.DBF") || !fs::exists(src + "/New.DBF")) {
    fs::create_directories(src);
    Shell("python3 '" + tools + "/gencallbook.py' '" + src + "' " + std::to_string(cards) + " > /dev/null");
  }
  if (!fs::exists(data + "/sqlbench"))
    Shell("g++ -O2 -o '" + data + "/sqlbench' '" + tools + "/sqlbench.cpp' -lsqlite3");
  if (!fs::exists(data + "/sortfloor")) Shell("g++ -O2 -o '" + data + "/sortfloor' '" + tools + "/sortfloor.cpp'");
  const std::string plain_db = data + "/plain-" + std::to_string(cards) + ".db";
  if (!fs::exists(plain_db)) Shell("python3 '" + tools + "/sqlload.py' '" + src + "/Pyx.DBF' '" + plain_db + "' > /dev/null");
  if (!fs::exists(base_db)) {
    fs::copy_file(plain_db, base_db + ".tmp", fs::copy_options::overwrite_existing);
    Shell("sqlite3 '" + base_db + ".tmp' \".read " + tools + "/sqlindex.sql\"");
    fs::rename(base_db + ".tmp", base_db);
  }
  const std::string work = data + "/work";
  fs::create_directories(work);
  fs::copy_file(src + "/Pyx.DBF", work + "/Pyx.DBF", fs::copy_options::overwrite_existing);
  fs::remove(work + "/PYX.CDX");
  // Warm the page cache, and write out what the copies left dirty, so that
  // the kernel's writeback does not take a processor during a timed step.
  Shell("cat '" + work + "/Pyx.DBF' '" + base_db + "' > /dev/null");
  ::sync();

  std::printf("callbook workload, %ld cards\n\n", cards);
  std::printf("| %-44s | %-16s | %-16s | %6s | %-10s |\n", "task", "this engine", "other", "ratio", "goal");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(18, '-').c_str(),
              std::string(18, '-').c_str(), std::string(8, '-').c_str(), std::string(12, '-').c_str());

  auto step = [&steps](const char* name) { return steps.find(name) != std::string::npos; };
  const std::string pristine_cdx = data + "/PYX.CDX.built";
  ChildRun floor;
  // --- 1. build --------------------------------------------------------------
  if (step("build") || !fs::exists(pristine_cdx)) {
  floor = RunChild({data + "/sortfloor", "-p", work + "/Pyx.DBF"});
  const ChildRun ours = RunChild({self, "--build-only", work + "/Pyx.DBF"});
  char a[64], b[64];
  std::snprintf(a, sizeof a, "%.2f s, %.0f MiB", ours.wall_s, ours.peak_mib);
  std::snprintf(b, sizeof b, "%.2f s, %.0f MiB", floor.wall_s, floor.peak_mib);
  Row("build eleven tags (floor: sortfloor -p)", a, b, floor.wall_s / ours.wall_s, ">= 1.00");
  if (sqlite_build) {
    fs::copy_file(plain_db, work + "/build.db", fs::copy_options::overwrite_existing);
    ::sync();
    const ChildRun sq = RunChild({"sqlite3", work + "/build.db", ".read " + tools + "/sqlindex.sql"});
    std::snprintf(b, sizeof b, "%.2f s, %.0f MiB", sq.wall_s, sq.peak_mib);
    Row("build eleven tags (SQLite CREATE INDEX)", a, b, sq.wall_s / ours.wall_s, "");
    fs::remove(work + "/build.db");
  }
  const double cdx_mb = static_cast<double>(fs::file_size(work + "/PYX.CDX")) / 1e6;
  std::snprintf(a, sizeof a, "%.1f MB", cdx_mb);
  Row("size of PYX.CDX (other xBase engine: 74.8 MB)", a, "74.8 MB", 74.8 / cdx_mb, ">= 1.00");

  fs::copy_file(work + "/PYX.CDX", pristine_cdx, fs::copy_options::overwrite_existing);
  } else {
    fs::copy_file(pristine_cdx, work + "/PYX.CDX", fs::copy_options::overwrite_existing);
  }
  ::sync();

  tessera::EngineScope engine;
  // --- the record order of every tag against the floor's (not timed) ----------
  if (step("order")) {
    const std::string dump = work + "/floor-order";
    fs::create_directories(dump);
    Shell("SORTFLOOR_DUMP='" + dump + "' '" + data + "/sortfloor' -p '" + work + "/Pyx.DBF' > /dev/null");
    tessera::KTO_dBHandler table(work + "/Pyx.DBF", false, false);
    table.OpenIndexFile("PYX.CDX");
    int same = 0, tags = 0;
    std::string differing;
    for (const auto& tag : pyx_sample::kCallbookTags) {
      ++tags;
      std::ifstream in(dump + "/" + tag.name + ".txt");
      table.SelectMasterTag(tag.name, false);
      bool equal = true;
      long expected = 0;
      table.GotoRecord(tessera::kMoveFirst);
      while (in >> expected) {
        if (table.Eof() || table.CurrentRecord() != expected) {
          equal = false;
          break;
        }
        table.Skip(1);
      }
      if (equal && table.Eof()) ++same;
      else differing += std::string(differing.empty() ? " (differ: " : ", ") + tag.name;
    }
    if (!differing.empty()) differing += ")";
    char a[64], b[64];
    std::snprintf(a, sizeof a, "%d of %d", same, tags);
    std::snprintf(b, sizeof b, "%d", tags);
    Row(("tags in the floor's record order" + differing).c_str(), a, b, static_cast<double>(same) / tags, ">= 1.00");
    fs::remove_all(dump);
  }
  // --- 2. searches -------------------------------------------------------------
  if (step("seek")) {
    const auto sq = Times(RunChild({data + "/sqlbench", "seek", base_db, "100000"}).out);
    tessera::KTO_dBHandler table(work + "/Pyx.DBF", false, true);
    table.OpenIndexFile("PYX.CDX");
    std::vector<std::string> keys;
    g_seed = 12345;
    const uint64_t nrec = static_cast<uint64_t>(table.RecordCount());
    while (keys.size() < 100000) {
      table.GotoRecord(static_cast<int32_t>(1 + Draw(nrec)));
      std::string c = table.GetTextN(1);
      while (!c.empty() && c.back() == ' ') c.pop_back();
      if (!c.empty()) keys.push_back(c);
    }
    table.SelectMasterTag("CALL", false);
    table.StayNearest = true;
    long found = 0;
    long long sum = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& k : keys)
      if (table.SeekKeyText(k)) {
        ++found;
        sum += table.CurrentRecord();
      }
    const double seek_s = Seconds(t0);
    found = 0;
    t0 = std::chrono::steady_clock::now();
    for (const auto& k : keys)
      if (table.SeekKeyText(k)) {
        ++found;
        sum += static_cast<long long>(table.GetTextN(2).size());
      }
    const double read_s = Seconds(t0);
    if (found != static_cast<long>(keys.size())) std::printf("(only %ld of the callsigns found)\n", found);
    const double our_seek = 1e5 / seek_s, our_read = 1e5 / read_s;
    const double sq_seek = 1e5 / (sq.at("seek") / 1e3), sq_read = 1e5 / (sq.at("seek_read") / 1e3);
    Row("100k lookups in CALL", Rate(our_seek), Rate(sq_seek), our_seek / sq_seek, ">= 1.80");
    Row("100k lookups in CALL, reading FAM_", Rate(our_read), Rate(sq_read), our_read / sq_read, ">= 2.10");
    if (sum == 42) std::puts("");
  }

  // --- 3. walks ----------------------------------------------------------------
  if (step("walk")) {
    const auto sq = Times(RunChild({data + "/sqlbench", "scan", base_db}).out);
    tessera::KTO_dBHandler table(work + "/Pyx.DBF", false, true);
    table.OpenIndexFile("PYX.CDX");
    table.SelectMasterTag("CALL", false);
    long long sum = 0;
    long n = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (table.GotoRecord(tessera::kMoveFirst); !table.Eof(); table.Skip(1)) {
      ++n;
      sum += table.CurrentRecord();
    }
    const double walk = static_cast<double>(n) / Seconds(t0);
    n = 0;
    t0 = std::chrono::steady_clock::now();
    for (table.GotoRecord(tessera::kMoveFirst); !table.Eof(); table.Skip(1)) {
      ++n;
      sum += static_cast<long long>(table.GetTextN(2).size());
    }
    const double walk_read = static_cast<double>(n) / Seconds(t0);
    table.SetUseDeleted(false);
    n = 0;
    t0 = std::chrono::steady_clock::now();
    for (table.GotoRecord(tessera::kMoveFirst); !table.Eof(); table.Skip(1)) {
      ++n;
      sum += static_cast<long long>(table.GetTextN(2).size());
    }
    const double walk_hidden = static_cast<double>(n) / Seconds(t0);
    const double sq_walk = 1e3 * static_cast<double>(cards) / sq.at("walk");
    const double sq_read = 1e3 * static_cast<double>(cards) / sq.at("walk_read");
    Row("walk in CALL order", Rate(walk), Rate(sq_walk), walk / sq_walk, ">= 1.10");
    Row("walk in CALL order, reading FAM_", Rate(walk_read), Rate(sq_read), walk_read / sq_read, ">= 3.90");
    Row("  ... deleted hidden (goal 3 M/s)", Rate(walk_hidden), "3.00 M/s", walk_hidden / 3e6, ">= 1.00");
    if (sum == 42) std::puts("");
  }

  // --- 4. appends ----------------------------------------------------------------
  if (step("append")) {
    fs::copy_file(base_db, work + "/ins.db", fs::copy_options::overwrite_existing);
    ::sync();
    const auto sq = Times(RunChild({data + "/sqlbench", "insert", work + "/ins.db", src + "/New.DBF", "10000", "tx"}).out);
    fs::remove(work + "/ins.db");
    const double sq_rate = 1e4 / (sq.at("insert_tx") / 1e3);
    // The new cards as raw records (same structure as the callbook table).
    std::vector<std::string> cards_new;
    {
      tessera::KTO_dBHandler src_table(src + "/New.DBF", false, false);
      for (int32_t r = 1; r <= src_table.RecordCount(); ++r) {
        src_table.GotoRecord(r);
        cards_new.emplace_back(src_table.RecordBuffer(), static_cast<size_t>(src_table.RecordLength()));
      }
    }
    double rates[2] = {0, 0};
    for (int shared = 0; shared < 2; ++shared) {
      fs::copy_file(src + "/Pyx.DBF", work + "/Pyx.DBF", fs::copy_options::overwrite_existing);
      fs::copy_file(pristine_cdx, work + "/PYX.CDX", fs::copy_options::overwrite_existing);
      ::sync();
      tessera::KTO_dBHandler table(work + "/Pyx.DBF", shared != 0, true);
      table.OpenIndexFile("PYX.CDX");
      table.SelectMasterTag("CALL", false);
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < 10000; ++i) {
        const std::string& rec = cards_new[static_cast<size_t>(i) % cards_new.size()];
        if (shared != 0 && !table.LockAppend()) std::exit(1);
        std::memcpy(table.RecordBuffer(), rec.data(), rec.size());
        table.AppendRecord();
        if (shared != 0) {
          table.LockRecord();
          table.UnlockTable();
        }
      }
      // Held index blocks and the header reach the files inside the timed
      // span, as SQLite's figure includes its commit.
      table.Flush();
      rates[shared] = 1e4 / Seconds(t0);
    }
    Row("10k appends, exclusive (SQLite: one transaction)", Rate(rates[0]), Rate(sq_rate), rates[0] / sq_rate,
        ">= 2.00");
    Row("10k appends, shared + locks (SQLite: one tx)", Rate(rates[1]), Rate(sq_rate), rates[1] / sq_rate, ">= 1.45");
  }
  if (!floor.out.empty()) std::printf("\nfloor output:\n%s", floor.out.c_str());
  return 0;
}
