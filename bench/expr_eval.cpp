// Expression evaluation over the callbook: a name key and a filter,
// evaluated on every card of a pyx-sample table of N cards, beside reading
// the records alone (so the expression's own share shows), and the same
// expressions evaluated over and over on one record in memory.
//
//   expr_eval [--records N] [--dir DIR]
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_util.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"

int main(int argc, char** argv) {
  long long records = 1000000;
  std::string dir = std::filesystem::temp_directory_path() / "pyx-expr-bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--records") records = std::atoll(argv[i + 1]);
    if (std::string(argv[i]) == "--dir") dir = argv[i + 1];
  }
  std::filesystem::create_directories(dir);
  tessera::EngineScope engine;
  {
    bench::Stopwatch w;
    pyx_sample::WriteSampleTable(dir, records, 1, true);
    bench::Report("setup: write the pyx-sample table", static_cast<double>(records), w.Seconds(), "cards");
  }

  tessera::KTO_dBaseFld table(dir + "/Pyx.DBF", true, false);
  const int32_t count = table.RecordCount();
  const std::string key_text = "FAM_+IM_+OTCH_";
  const std::string filter_text = plat::Utf8ToOem("(UPPER(GOR_) = 'МОСКВА') .AND. (.NOT. DELETED())");
  tessera::TktExpHandler key(table.NameResolver(), false, key_text);
  tessera::TktExpHandler filter(table.NameResolver(), false, filter_text);
  tessera::TktExpValue value;

  {
    bench::Stopwatch w;
    size_t sum = 0;
    for (int32_t r = 1; r <= count; ++r) {
      table.GotoRecord(r);
      sum += static_cast<unsigned char>(table.RecordBuffer()[1]);
    }
    bench::Report("read every card (no expression)", count, w.Seconds(), "cards");
    if (sum == 1) std::puts("");
  }
  {
    bench::Stopwatch w;
    size_t bytes = 0;
    for (int32_t r = 1; r <= count; ++r) {
      table.GotoRecord(r);
      key.Evaluate(value);
      bytes += value.Text().size();
    }
    bench::Report("read + " + key_text, count, w.Seconds(), "evals");
    if (bytes != static_cast<size_t>(count) * 55) std::printf("unexpected key length\n");
  }
  {
    bench::Stopwatch w;
    int32_t hits = 0;
    for (int32_t r = 1; r <= count; ++r) {
      table.GotoRecord(r);
      filter.Evaluate(value);
      hits += value.AsLogical();
    }
    bench::Report("read + Moscow filter", count, w.Seconds(), "evals");
    std::printf("  (%d cards pass the filter)\n", hits);
  }

  // The expressions alone, on one card already in the buffer.
  table.GotoRecord(1);
  {
    bench::Stopwatch w;
    size_t bytes = 0;
    for (int32_t i = 0; i < count; ++i) {
      key.Evaluate(value);
      bytes += value.Text().size();
    }
    bench::Report("evaluate " + key_text + " only", count, w.Seconds(), "evals");
    if (bytes == 1) std::puts("");
  }
  {
    bench::Stopwatch w;
    int32_t hits = 0;
    for (int32_t i = 0; i < count; ++i) {
      filter.Evaluate(value);
      hits += value.AsLogical();
    }
    bench::Report("evaluate Moscow filter only", count, w.Seconds(), "evals");
    if (hits == -1) std::puts("");
  }
  {
    const int compiles = 100000;
    bench::Stopwatch w;
    for (int i = 0; i < compiles; ++i) filter.Compile(filter_text);
    bench::Report("compile the Moscow filter", compiles, w.Seconds(), "compiles");
  }
  std::filesystem::remove(dir + "/Pyx.DBF");
  return 0;
}
