// The callbook's compound index at scale: building the eleven tags over N
// pyx-sample cards, random seeks in the CALL and FIO tags, and appends with
// every tag maintained; beside SQLite creating the same eleven indexes over
// the same rows, the alternative a user would pick.
//
//   cdx_bench [--cards N] [--dir DIR]
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_file.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"
#ifdef PYX_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {


#ifdef PYX_HAVE_SQLITE
double SqliteIndexSeconds(const std::string& dir, tessera::KTO_dBHandler& table) {
  const std::string path = dir + "/bench.sqlite";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE pyx(CALL_ TEXT, FAM_ TEXT, IM_ TEXT, OTCH_ TEXT, IND_ TEXT, REG_ TEXT, GOR_ TEXT, "
               "ULIC_ TEXT, TEL_ TEXT, PRIM_ TEXT, STRANA_ TEXT, EMAIL_ TEXT, URL_ TEXT)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO pyx VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)", -1, &insert, nullptr);
  for (int32_t r = 1; r <= table.RecordCount(); ++r) {
    table.GotoRecord(r);
    for (int f = 1; f <= 13; ++f) {
      const std::string v = table.GetRawN(f);  // padded, as the index keys are
      sqlite3_bind_text(insert, f, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  const char* indexes[] = {"CREATE INDEX fio ON pyx(FAM_, IM_, OTCH_)", "CREATE INDEX im ON pyx(IM_, FAM_, OTCH_)",
                           "CREATE INDEX otch ON pyx(OTCH_, FAM_, IM_)", "CREATE INDEX call ON pyx(CALL_)",
                           "CREATE INDEX reg ON pyx(REG_)",             "CREATE INDEX gor ON pyx(GOR_)",
                           "CREATE INDEX strana ON pyx(STRANA_)",       "CREATE INDEX ind ON pyx(IND_)",
                           "CREATE INDEX tel ON pyx(TEL_)",             "CREATE INDEX email ON pyx(EMAIL_)",
                           "CREATE INDEX url ON pyx(URL_)"};
  bench::Stopwatch w;
  for (const char* sql : indexes) sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  const double seconds = w.Seconds();
  sqlite3_close(db);
  std::filesystem::remove(path);
  return seconds;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const bench::SampleArgs args = bench::ParseSampleArgs(argc, argv, "pyx-cdx-bench");
  const long long cards = args.cards;
  const std::string& dir = args.dir;
  tessera::EngineScope engine;
  pyx_sample::WriteSampleTable(dir, cards, 1, true);
  const std::string dbf = dir + "/Pyx.DBF", cdx = dir + "/PYX.CDX";
  std::filesystem::remove(cdx);

  tessera::KTO_dBHandler table(dbf, false, true);
  double build_seconds = 0;
  {
    tessera::KTobjCDXFile file(&table, cdx, false, true, false, true);
    const double before = bench::PeakMiB();
    bench::Stopwatch w;
    for (const auto& t : pyx_sample::kCallbookTags) file.CreateTag(t.name, t.expression, false, true, "");
    build_seconds = w.Seconds();
    std::printf("%-48s %10lld cards in %7.3f s (%0.0f cards/s per tag)   peak %.1f MiB (+%.1f)\n",
                "build the eleven callbook tags", cards, build_seconds, 11.0 * static_cast<double>(cards) / build_seconds,
                bench::PeakMiB(), bench::PeakMiB() - before);
  }
  table.OpenIndexFile(cdx);

  // Seeks: existing callsigns and surname prefixes, read from the table.
  std::mt19937 rng(1);
  for (const char* tag_name : {"CALL", "FIO"}) {
    tessera::KTobjIndexTag& tag = *table.FindTag(tag_name);
    std::vector<std::string> targets;
    for (int i = 0; i < 1000; ++i) {
      table.GotoRecord(static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount())));
      std::string v = std::string(tag_name) == "CALL" ? table.GetTextN(1) : table.GetTextN(2).substr(0, 4);
      targets.push_back(v);
    }
    tag.ResetTree(0);
    int found = 0;
    bench::Stopwatch w;
    const int kSeeks = 100000;
    for (int i = 0; i < kSeeks; ++i) {
      tessera::KTobjIndexKeyData key;
      key.SetText(targets[static_cast<size_t>(i) % targets.size()]);
      key.Reference = -1;
      found += tag.Seek(key) != 0;
    }
    bench::Report(std::string("random seeks in ") + tag_name, kSeeks, w.Seconds(), "seeks");
    if (found == 0) std::puts("(nothing found)");
  }

  {
    pyx_sample::CardGenerator gen(77);
    const int kAppends = 10000;
    bench::Stopwatch w;
    for (int i = 0; i < kAppends; ++i) {
      const auto card = gen.Make(i, kAppends + 2000);
      table.BlankRecord();
      for (int f = 0; f < pyx_sample::kFieldCount; ++f) table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table.AppendRecord();
    }
    bench::Report("appends with all eleven tags maintained", kAppends, w.Seconds());
  }
  table.CloseIndexFiles();

#ifdef PYX_HAVE_SQLITE
  const double sqlite_seconds = SqliteIndexSeconds(dir, table);
  std::printf("%-48s %10lld rows  in %7.3f s; the compound index build takes %.2f times as long\n",
              "SQLite: CREATE INDEX for the same eleven orders", cards, sqlite_seconds, build_seconds / sqlite_seconds);
#endif
  return 0;
}
