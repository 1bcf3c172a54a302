// Callbook start-up on a large table: from the first activation of the
// window to the card of QZ6ZZZ shown, with "PYX.CDX" present and with it
// missing (the whole index build), and the peak memory of each. Each case
// runs in its own process so that its peak is its own. The floor beside
// them: reading the table file once from start to end, and SQLite building
// the same eleven indexes over the same cards in a table on disk (its
// journal off) and then finding QZ6ZZZ through the callsign index.
// With the index present, the table view then goes to the last card as
// the window's grid does on Ctrl+End: a grid's link of 25 rows on the
// dataset, the view switched to the table, Last, and the rows painted.
//
//   pyxcdx_startup [CARDS]      (default 1000000)
//   pyxcdx_startup --dir DIR [--keep-index] [--no-sqlite]
//
// --dir takes the table DIR/Pyx.DBF as it is (a pyx-sample table of ten
// million cards, say) and leaves the folder in place; --keep-index skips
// the build when DIR/PYX.CDX is there.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/callbook_controller.h"
#include "bench_util.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/data_link.h"
#include "dbkit/data_source.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "tools/pyx_sample/sample_cards.h"

#ifdef PYX_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

// A view that only counts: the window's own cost is not measured here.
class NullView : public pyx::CallbookView {
 public:
  void Show(std::string_view) override {}
  void Hide(std::string_view) override {}
  void BringToFront(std::string_view) override {}
  void SendToBack(std::string_view) override {}
  void ProcessMessages() override { ++repaints; }
  void SetText(std::string_view, std::string_view) override {}
  void SetHint(std::string_view, std::string_view) override {}
  void SetFocus(std::string_view) override {}
  void SetMenuEnabled(std::string_view, bool) override {}
  void SetReadOnly(std::string_view, bool) override {}
  void SetTabStop(std::string_view, bool) override {}
  void SetColour(std::string_view, uint32_t) override {}
  void SetNavigatorButtons(uint32_t) override {}
  void SetNavigatorWidth(int) override {}
  void PressNavigatorButton(int) override {}
  void SetGaugeProgress(int) override {}
  void RepaintWait() override {}
  void Close() override {}
  int Ask(std::string_view, const std::vector<std::string_view>& buttons) override {
    return static_cast<int>(buttons.size()) - 1;
  }
  void ShowMessage(std::string_view) override {}
  std::string ChooseFolder(std::string_view) override { return {}; }
  int repaints = 0;
};

class GridLink : public dbkit::DataLink {
 public:
  GridLink() { SetBufferCount(25); }
};

// The rows a grid paints: every shown cell of every row of the window.
size_t Paint(GridLink& link, pyx::CallbookController& controller) {
  size_t bytes = 0;
  for (int row = 0; row < link.RecordCount(); ++row) {
    dbkit::ActiveRecordScope scope(link, row);
    for (const char* f : {"CALL_", "FAM_", "IM_", "GOR_"})
      bytes += controller.TablePYX().FieldByName(f)->AsString().size();
  }
  return bytes;
}

void RunCase(const char* what, bool table_view = false) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    tessera::EngineScope engine;
    bench::Stopwatch watch;
    double seconds = 0;
    int repaints = 0;
    std::string call;
    {
      pyx::CallbookController controller;
      NullView view;
      controller.SetView(&view);
      controller.FormActivate();
      seconds = watch.Seconds();
      repaints = view.repaints;
      call = controller.TablePYX().FieldByName("CALL_")->AsString();
      if (table_view) {
        std::printf("%-34s %8.3f s   peak %7.1f MiB   card %s, %d repaints\n", what, seconds, bench::PeakMiB(),
                    call.c_str(), repaints);
        dbkit::DataSource source(&controller.TablePYX());
        GridLink link;
        bench::Stopwatch attach;
        link.SetDataSource(&source);
        controller.ViewTablicaClick();
        size_t bytes = Paint(link, controller);
        const double attach_s = attach.Seconds();
        bench::Stopwatch last;
        controller.TablePYX().Last();
        bytes += Paint(link, controller);
        const double last_s = last.Seconds();
        const std::string last_call = controller.TablePYX().FieldByName("CALL_")->AsString();
        std::printf("%-34s %8.3f s   (%zu bytes shown)\n", "table view: grid shown", attach_s, bytes);
        std::printf("%-34s %8.3f s   card %s   goal <= 1 s: ratio %.2f\n", "table view: to the last card", last_s,
                    last_call.c_str(), last_s / 1.0);
        link.SetDataSource(nullptr);
        std::printf("%-34s          goal <= 0.5 s: ratio %.2f\n", "  (start-up, index present)", seconds / 0.5);
        std::fflush(stdout);
        ::_exit(0);
      }
    }
    std::printf("%-34s %8.3f s   peak %7.1f MiB   card %s, %d repaints\n", what, seconds, bench::PeakMiB(),
                call.c_str(), repaints);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
}

double ReadFloor(const std::string& path) {
  bench::Stopwatch watch;
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> buf(1 << 20);
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  ::close(fd);
  return watch.Seconds();
}

#ifdef PYX_HAVE_SQLITE
// The same cards in SQLite, then the eleven indexes, then the lookup of
// QZ6ZZZ in a fresh connection; each timed on its own.
void SqliteAlternative(const std::string& path, int64_t cards) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid != 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return;
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE pyx(CALL_,FAM_,IM_,OTCH_,IND_,REG_,GOR_,ULIC_,TEL_,PRIM_,STRANA_,EMAIL_,URL_)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO pyx VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)", -1, &insert, nullptr);
  pyx_sample::CardGenerator gen(1);
  for (int64_t i = 0; i < cards; ++i) {
    const pyx_sample::Card card = gen.Make(i, cards);
    for (int f = 0; f < pyx_sample::kFieldCount; ++f)
      sqlite3_bind_text(insert, f + 1, card[static_cast<size_t>(f)].c_str(), -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  bench::Stopwatch build;
  const char* indexes[] = {"FAM_,IM_,OTCH_", "IM_,FAM_,OTCH_", "OTCH_,FAM_,IM_", "CALL_", "REG_", "GOR_",
                           "STRANA_", "IND_", "TEL_", "EMAIL_", "URL_"};
  int n = 0;
  for (const char* cols : indexes) {
    const std::string sql = "CREATE INDEX i" + std::to_string(n++) + " ON pyx(" + cols + ")";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  const double build_s = build.Seconds();
  sqlite3_close(db);
  std::printf("%-34s %8.2f s   peak %7.1f MiB (this process, with the load)\n",
              "SQLite: the eleven indexes", build_s, bench::PeakMiB());
  bench::Stopwatch open;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM pyx WHERE CALL_ >= 'QZ6ZZZ' ORDER BY CALL_ LIMIT 1", -1, &q, nullptr);
  std::string call;
  if (sqlite3_step(q) == SQLITE_ROW) call = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
  sqlite3_finalize(q);
  const double open_s = open.Seconds();
  sqlite3_close(db);
  std::printf("%-34s %8.3f s   card %s\n", "SQLite: open, find QZ6ZZZ", open_s, call.c_str());
  std::fflush(stdout);
  ::_exit(0);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  int64_t cards = 1000000;
  std::string given_dir;
  bool keep_index = false, sqlite = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) given_dir = argv[++i];
    else if (a == "--keep-index") keep_index = true;
    else if (a == "--no-sqlite") sqlite = false;
    else cards = std::atoll(argv[i]);
  }
  namespace fs = std::filesystem;
  const fs::path dir = !given_dir.empty() ? fs::path(given_dir)
                                          : fs::temp_directory_path() / ("pyx-bench-startup-" + std::to_string(::getpid()));
  if (given_dir.empty()) {
    fs::create_directories(dir);
    tessera::EngineScope engine;
    pyx_sample::WriteSampleTable(dir.string(), cards, 1, true, pyx_sample::Letters::kCapitals);
  } else {
    tessera::EngineScope engine;
    tessera::KTO_dBHandler t((dir / "Pyx.DBF").string(), true, false);
    cards = t.RecordCount();
  }
  fs::current_path(dir);
  std::printf("%lld cards, table %.1f MiB\n", static_cast<long long>(cards),
              static_cast<double>(fs::file_size(dir / "Pyx.DBF")) / 1048576.0);
  std::printf("%-34s %8.2f s\n", "floor: read the table file once", ReadFloor((dir / "Pyx.DBF").string()));
  if (!keep_index || !fs::exists(dir / "PYX.CDX")) {
    fs::remove(dir / "PYX.CDX");
    RunCase("start, PYX.CDX missing (build)");
  }
  std::printf("%-34s %8.1f MiB\n", "PYX.CDX size", static_cast<double>(fs::file_size(dir / "PYX.CDX")) / 1048576.0);
  RunCase("start, PYX.CDX present", true);
#ifdef PYX_HAVE_SQLITE
  if (sqlite) SqliteAlternative((dir / "pyx.sqlite").string(), cards);
#else
  (void)sqlite;
#endif
  fs::current_path("/");
  if (given_dir.empty()) fs::remove_all(dir);
  return 0;
}
