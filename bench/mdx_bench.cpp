// The callbook's eleven tags in a multiple index (.MDX) beside the same
// tags in a compound index (.CDX), in the same run over the same N
// pyx-sample cards: the bulk build (seconds, peak memory), 100 000 random
// seeks in CALL and 10 000 appends with all eleven tags maintained.
//
//   mdx_bench [--cards N] [--dir DIR]
//
// Each kind runs in its own child process on its own copy of the table, so
// that the peak resident set printed is that kind's alone.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_file.h"
#include "index/mdx_file.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

void RunKind(const std::string& dir, const std::string& kind, long long cards) {
  tessera::EngineScope engine;
  const std::string dbf = dir + "/Pyx.DBF", index = dir + "/PYX." + kind;
  std::filesystem::remove(index);
  tessera::KTO_dBHandler table(dbf, false, true);
  {
    std::unique_ptr<tessera::KTobjIndexFile> file;
    if (kind == "MDX") file = std::make_unique<tessera::KTobjMDXFile>(&table, index, false, true, false, true);
    else file = std::make_unique<tessera::KTobjCDXFile>(&table, index, false, true, false, true);
    const double before = bench::PeakMiB();
    bench::Stopwatch w;
    for (const auto& t : pyx_sample::kCallbookTags) file->CreateTag(t.name, t.expression, false, true, "");
    const double seconds = w.Seconds();
    std::printf("%s: %-43s %10lld cards in %7.3f s   peak %.1f MiB (+%.1f), file %.1f MiB\n", kind.c_str(),
                "build the eleven callbook tags", cards, seconds, bench::PeakMiB(), bench::PeakMiB() - before,
                static_cast<double>(std::filesystem::file_size(index)) / 1048576.0);
  }
  table.OpenIndexFile(index);

  std::mt19937 rng(1);
  tessera::KTobjIndexTag& tag = *table.FindTag("CALL");
  std::vector<std::string> targets;
  for (int i = 0; i < 1000; ++i) {
    table.GotoRecord(static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount())));
    targets.push_back(table.GetTextN(1));
  }
  tag.ResetTree(0);
  int found = 0;
  const int kSeeks = 100000;
  bench::Stopwatch seeks;
  for (int i = 0; i < kSeeks; ++i) {
    tessera::KTobjIndexKeyData key;
    key.SetText(targets[static_cast<size_t>(i) % targets.size()]);
    key.Reference = -1;
    found += tag.Seek(key) != 0;
  }
  bench::Report(kind + ": random seeks in CALL", kSeeks, seeks.Seconds(), "seeks");
  if (found != kSeeks) std::printf("%s: only %d of %d seeks found their callsign\n", kind.c_str(), found, kSeeks);

  pyx_sample::CardGenerator gen(77);
  const int kAppends = 10000;
  bench::Stopwatch appends;
  for (int i = 0; i < kAppends; ++i) {
    const auto card = gen.Make(i, kAppends + 2000);
    table.BlankRecord();
    for (int f = 0; f < pyx_sample::kFieldCount; ++f)
      table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
    table.AppendRecord();
  }
  bench::Report(kind + ": appends with all eleven tags maintained", kAppends, appends.Seconds());
  table.CloseIndexFiles();
}

}  // namespace

int main(int argc, char** argv) {
  const bench::SampleArgs args = bench::ParseSampleArgs(argc, argv, "pyx-mdx-bench");
  const long long cards = args.cards;
  const std::string& dir = args.dir;
  std::filesystem::create_directories(dir + "/MDX");
  std::filesystem::create_directories(dir + "/CDX");
  {
    tessera::EngineScope engine;
    pyx_sample::WriteSampleTable(dir + "/MDX", cards, 1, true);
  }
  std::filesystem::copy_file(dir + "/MDX/Pyx.DBF", dir + "/CDX/Pyx.DBF",
                             std::filesystem::copy_options::overwrite_existing);
  std::fflush(stdout);
  for (const char* kind : {"MDX", "CDX"}) {
    const pid_t child = ::fork();
    if (child == 0) {
      RunKind(dir + "/" + kind, kind, cards);
      std::fflush(stdout);
      std::_Exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("%s run failed\n", kind);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
