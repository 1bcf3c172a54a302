// The callbook opened shared beside the same callbook opened exclusively, in
// one run: what shared use costs a program that is alone with the files
// (each search and move holds the index file's lock shared and asks whether
// another program wrote; each append takes the append lock, the index lock
// and a record lock). For every kind of index: the eleven tags in a
// compound (CDX) or multiple (MDX) index, the callsign tag alone in NTX and
// NDX files, whose kinds keep no change counter (NDX, MDX) or one (NTX).
//
//   shared_bench [--cards N] [--dir DIR] [--kinds cdx,mdx,ndx,ntx]
//
// Rows: searches by callsign, a walk of the CALL order (records read), and
// appends with every tag kept current; exclusive, shared, and shared as a
// share of exclusive. Machines are noisy: read the ratios.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

struct Kind {
  const char* name;
  const char* file;
  bool all_tags;
};
constexpr Kind kKinds[] = {
    {"cdx", "PYX.CDX", true}, {"mdx", "PYX.MDX", true}, {"ndx", "CALL.NDX", false}, {"ntx", "CALL.NTX", false}};

struct Rates {
  double seek = 0, walk = 0, append = 0;
};

Rates Measure(const std::string& dir, const Kind& kind, bool shared, const std::vector<std::string>& calls,
              const std::vector<std::string>& cards) {
  Rates r;
  tessera::KTO_dBHandler table(dir + "/Pyx.DBF", shared, true);
  table.OpenIndexFile(kind.file);
  table.SelectMasterTag("CALL", false);
  table.ExactKeyOnly = true;
  {
    bench::Stopwatch w;
    int found = 0;
    for (const std::string& c : calls) found += table.SeekKeyText(c) ? 1 : 0;
    r.seek = static_cast<double>(calls.size()) / w.Seconds();
    if (found != static_cast<int>(calls.size())) std::fprintf(stderr, "only %d found\n", found);
  }
  {
    bench::Stopwatch w;
    long n = 0;
    for (table.GotoRecord(tessera::kMoveFirst); !table.Eof(); table.Skip(1)) n += table.RecordBuffer()[1] != 0;
    r.walk = static_cast<double>(n) / w.Seconds();
  }
  {
    bench::Stopwatch w;
    for (const std::string& rec : cards) {
      if (shared && !table.LockAppend()) return r;
      std::memcpy(table.RecordBuffer(), rec.data(), rec.size());
      table.AppendRecord();
      if (shared) table.UnlockTable();
    }
    table.Flush();
    r.append = static_cast<double>(cards.size()) / w.Seconds();
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::SampleArgs args = bench::ParseSampleArgs(argc, argv, "pyx-shared-bench");
  std::string kinds = "cdx,mdx,ndx,ntx";
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--kinds") kinds = argv[i + 1];
  tessera::EngineScope engine;
  const std::string master = args.dir + "/master";
  std::filesystem::create_directories(master);
  pyx_sample::WriteSampleTable(master, args.cards, 1, true);
  // Searches for existing callsigns, and cards to append (copies of
  // existing ones), chosen once for every run.
  std::vector<std::string> calls, cards;
  {
    tessera::KTO_dBHandler t(master + "/Pyx.DBF", false, false);
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
      t.GotoRecord(1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount())));
      calls.push_back(t.GetText("CALL_"));
    }
    for (int i = 0; i < 5000; ++i) {
      t.GotoRecord(1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(t.RecordCount())));
      cards.emplace_back(t.RecordBuffer(), static_cast<size_t>(t.RecordLength()));
    }
  }
  std::printf("%lld cards; rates per second: exclusive, shared, shared / exclusive\n", args.cards);
  for (const Kind& kind : kKinds) {
    if (kinds.find(kind.name) == std::string::npos) continue;
    Rates rates[2];
    for (int shared = 0; shared < 2; ++shared) {
      // A fresh copy for each run: the appends change the files.
      const std::string work = args.dir + "/" + kind.name + (shared ? "-shared" : "-exclusive");
      std::filesystem::remove_all(work);
      std::filesystem::create_directories(work);
      std::filesystem::copy_file(master + "/Pyx.DBF", work + "/Pyx.DBF");
      {
        tessera::KTO_dBHandler t(work + "/Pyx.DBF", false, true);
        if (kind.all_tags) {
          for (const auto& tag : pyx_sample::kCallbookTags)
            t.CreateIndexTag(kind.file, tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
        } else {
          t.CreateIndexTag(kind.file, "", "CALL_", "", tessera::kDuplicateKeys, 0);
        }
      }
      rates[shared] = Measure(work, kind, shared != 0, calls, cards);
    }
    auto row = [&](const char* what, double e, double s) {
      std::printf("%-4s %-28s %12.0f %12.0f %8.2f\n", kind.name, what, e, s, e > 0 ? s / e : 0);
    };
    row("searches by CALL", rates[0].seek, rates[1].seek);
    row("walk of CALL order (records)", rates[0].walk, rates[1].walk);
    row("appends, every tag current", rates[0].append, rates[1].append);
  }
  return 0;
}
