// The table handler over N pyx-sample cards with the callbook's eleven
// tags: key searches, full walks in a tag's order and in record order, a
// filter over all records, and card edits with every tag maintained.
//
//   handler_bench [--cards N] [--dir DIR]
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/index_tag.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"

int main(int argc, char** argv) {
  const bench::SampleArgs args = bench::ParseSampleArgs(argc, argv, "pyx-handler-bench");
  const long long cards = args.cards;
  const std::string& dir = args.dir;
  tessera::EngineScope engine;
  pyx_sample::WriteSampleTable(dir, cards, 1, true);
  const std::string dbf = dir + "/Pyx.DBF";
  std::filesystem::remove(dir + "/PYX.CDX");
  tessera::KTO_dBHandler table(dbf, false, true);
    for (const auto& t : pyx_sample::kCallbookTags) table.CreateIndexTag("PYX.CDX", t.name, t.expression, "", tessera::kDuplicateKeys, 0);
  table.OpenIndexFile("PYX.CDX");
  table.SetUseDeleted(false);  // as the callbook shows its cards

  std::mt19937 rng(1);
  for (const char* tag : {"CALL", "FIO"}) {
    table.SelectMasterTag(tag, false);
    std::vector<std::string> keys;
    for (int i = 0; i < 1000; ++i) {
      table.GotoRecord(static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount())));
      const std::string v = std::string(tag) == "CALL" ? table.GetTextN(1) : table.GetTextN(2).substr(0, 5);
      keys.push_back(table.BuildSearchKey({v}, table.MasterTag()->KeyExpression()));
    }
    table.StayNearest = true;
    const int kSeeks = 100000;
    int found = 0;
    bench::Stopwatch w;
    for (int i = 0; i < kSeeks; ++i) found += table.SeekKeyText(keys[static_cast<size_t>(i) % keys.size()]);
    bench::Report(std::string("SeekKeyText in ") + tag + " order", kSeeks, w.Seconds(), "searches");
    if (found == 0) std::puts("(nothing found)");
  }

  for (const char* tag : {"CALL", ""}) {
    table.SelectMasterTag(tag, false);
    bench::Stopwatch w;
    long long n = 0;
    for (table.GotoRecord(tessera::kMoveFirst); !table.Eof(); table.Skip(1)) ++n;
    bench::Report(std::string("Skip(1) walk in ") + (*tag ? "CALL" : "record") + " order", static_cast<double>(n),
                  w.Seconds());
  }

  table.SelectMasterTag("", false);
  {
    bench::Stopwatch w;
    table.SetFilterExpression(plat::Utf8ToOem("(UPPER(GOR_) = 'МОСКВА') .AND. (.NOT. DELETED())"), false, false);
    bench::Report("filter over all records", static_cast<double>(table.RecordCount()), w.Seconds());
  }

  table.SelectMasterTag("FIO", false);
  {
    pyx_sample::CardGenerator gen(5);
    const int kEdits = 10000;
    bench::Stopwatch w;
    for (int i = 0; i < kEdits; ++i) {
      const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount()));
      table.GotoRecord(r);
      const auto card = gen.Make(i, kEdits);
      const int f = static_cast<int>(rng() % 13);
      table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table.WriteRecord(r);
    }
    bench::Report("card edits with all eleven tags maintained", kEdits, w.Seconds(), "edits");
  }
  return 0;
}
