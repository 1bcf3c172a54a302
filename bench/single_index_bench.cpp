// The single-tag index formats at scale, beside a compound-index tag in the
// same run: over N pyx-sample cards, building an NTX, an NDX and a CDX tag
// on CALL_ and on FAM_+IM_+OTCH_ (seconds, peak memory of the build), then
// for each format 100,000 random seeks in both orders and 10,000 appends
// with both orders maintained.
//
//   single_index_bench [--cards N] [--dir DIR]
//
// Each build runs in a child process of its own, so that its peak resident
// memory is its own (table buffers and the key sort included).
#include <sys/resource.h>
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
#include "index/ndx_file.h"
#include "index/ntx_file.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

struct Order {
  const char* tag;
  const char* expr;
};
constexpr Order kOrders[] = {{"CALL", "CALL_"}, {"FIO", "FAM_+IM_+OTCH_"}};
const char* const kKinds[] = {"NTX", "NDX", "CDX"};

std::string IndexPath(const std::string& dir, const std::string& kind, const Order& o) {
  return dir + "/" + (kind == "CDX" ? std::string("PYX") : std::string(o.tag)) + "." + kind;
}

std::unique_ptr<tessera::KTobjIndexFile> MakeFile(tessera::KTO_dBHandler* table, const std::string& kind,
                                                  const std::string& path) {
  if (kind == "NTX") return std::make_unique<tessera::KTobjNTXFile>(table, path, true, true, false, true);
  if (kind == "NDX") return std::make_unique<tessera::KTobjNDXFile>(table, path, true, true, false, true);
  return std::make_unique<tessera::KTobjCDXFile>(table, path, false, true, false, true);
}

// Builds one tag in a child process; prints seconds and the child's peak.
void TimedBuild(const std::string& dir, const std::string& kind, const Order& o, long long cards) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    tessera::EngineScope engine;
    tessera::KTO_dBHandler table(dir + "/Pyx.DBF", false, true);
    auto file = MakeFile(&table, kind, IndexPath(dir, kind, o));
    bench::Stopwatch w;
    const bool ok = file->CreateTag(o.tag, o.expr, false, true, "");
    const double s = w.Seconds();
    std::printf("build %-3s on %-16s %10lld cards in %7.3f s = %9.0f cards/s  %s", kind.c_str(), o.expr, cards, s,
                static_cast<double>(cards) / s, ok ? "" : "(failed) ");
    std::fflush(stdout);
    std::_Exit(ok ? 0 : 1);
  }
  int status = 0;
  rusage u{};
  ::wait4(pid, &status, 0, &u);
  std::printf("  peak %.1f MiB\n", static_cast<double>(u.ru_maxrss) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::SampleArgs args = bench::ParseSampleArgs(argc, argv, "pyx-single-bench");
  const long long cards = args.cards;
  const std::string& dir = args.dir;
  {
    tessera::EngineScope engine;
    pyx_sample::WriteSampleTable(dir, cards, 1, true);
  }
  const std::string dbf = dir + "/Pyx.DBF";
  std::filesystem::remove(dir + "/PYX.CDX");
  for (const Order& o : kOrders)
    for (const char* kind : kKinds) TimedBuild(dir, kind, o, cards);

  tessera::EngineScope engine;
  std::mt19937 rng(1);
  std::vector<std::string> calls, surnames;
  {
    tessera::KTO_dBHandler table(dbf, false, false);
    for (int i = 0; i < 1000; ++i) {
      table.GotoRecord(static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount())));
      calls.push_back(table.GetTextN(1));
      surnames.push_back(table.GetTextN(2).substr(0, 4));
    }
  }
  for (const char* kind : kKinds) {
    // Each format's appends go to a table of its own.
    const std::string copy = dir + "/" + kind + ".DBF";
    std::filesystem::copy_file(dbf, copy, std::filesystem::copy_options::overwrite_existing);
    tessera::KTO_dBHandler table(copy, false, true);
    if (std::string(kind) == "CDX") {
      table.OpenIndexFile(IndexPath(dir, kind, kOrders[0]));
    } else {
      for (const Order& o : kOrders) table.OpenIndexFile(IndexPath(dir, kind, o));
    }
    for (const Order& o : kOrders) {
      tessera::KTobjIndexTag& tag = *table.FindTag(o.tag);
      const auto& targets = std::string(o.tag) == "CALL" ? calls : surnames;
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
      bench::Report(std::string("seeks ") + kind + " " + o.tag, kSeeks, w.Seconds(), "seeks");
      if (found == 0) std::puts("(nothing found)");
    }
    pyx_sample::CardGenerator gen(77);
    const int kAppends = 10000;
    bench::Stopwatch w;
    for (int i = 0; i < kAppends; ++i) {
      const auto card = gen.Make(i, kAppends + 2000);
      table.BlankRecord();
      for (int f = 0; f < pyx_sample::kFieldCount; ++f) table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table.AppendRecord();
    }
    bench::Report(std::string("appends ") + kind + ", CALL and FIO maintained", kAppends, w.Seconds());
    table.CloseIndexFiles();
    std::filesystem::remove(copy);
  }
  return 0;
}
