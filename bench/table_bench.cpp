// Table file throughput: append N callbook records under one table lock,
// then read them all in record order, beside the same work done with plain
// pwrite/pread of the same bytes (the physical floor).
//
//   table_bench [--records N] [--dir DIR]
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"

int main(int argc, char** argv) {
  long long records = 1000000;
  std::string dir = std::filesystem::temp_directory_path() / "pyx-table-bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--records") records = std::atoll(argv[i + 1]);
    if (std::string(argv[i]) == "--dir") dir = argv[i + 1];
  }
  std::filesystem::create_directories(dir);
  tessera::EngineScope engine;

  // The cards are made first so that only the table work is timed.
  pyx_sample::CardGenerator gen(1);
  std::vector<std::array<std::string, pyx_sample::kFieldCount>> cards;
  const int kDistinct = 4096;
  for (int i = 0; i < kDistinct; ++i) {
    auto c = gen.Make(i, kDistinct);
    for (auto& f : c) f = plat::Utf8ToOem(f);
    cards.push_back(c);
  }

  const std::string path = dir + "/Pyx.DBF";
  tessera::CreateTable(path, 0x03, pyx_sample::CallbookFields(), {0, true});
  std::string image;  // the bytes the engine wrote, for the floor run
  {
    tessera::KTO_dBaseFld t(path, false, true);
    bench::Stopwatch w;
    t.LockTable();
    for (long long i = 0; i < records; ++i) {
      const auto& c = cards[static_cast<size_t>(i % kDistinct)];
      t.BlankRecord();
      for (int f = 0; f < pyx_sample::kFieldCount; ++f) t.PutTextN(f + 1, c[static_cast<size_t>(f)]);
      t.AppendRecord();
    }
    t.UnlockTable();
    bench::Report("engine: append under one table lock", static_cast<double>(records), w.Seconds());
  }
  {
    tessera::KTO_dBaseFld t(path, true, false);
    bench::Stopwatch w;
    size_t bytes = 0;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
      t.GotoRecord(r);
      bytes += static_cast<size_t>(t.RecordBuffer()[1]);
    }
    bench::Report("engine: read every record in record order", t.RecordCount(), w.Seconds());
    if (bytes == 1) std::puts("");
    image.assign(t.RecordBuffer(), static_cast<size_t>(t.RecordLength()));
  }

  // The floor: the same number of record-sized pwrite and pread calls.
  const std::string floor_path = dir + "/floor.bin";
  const int fd = ::open(floor_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  const size_t reclen = image.size();
  {
    bench::Stopwatch w;
    for (long long i = 0; i < records; ++i)
      if (::pwrite(fd, image.data(), reclen, static_cast<off_t>(449 + i * static_cast<long long>(reclen))) < 0) return 1;
    bench::Report("floor: pwrite of the same records", static_cast<double>(records), w.Seconds());
  }
  {
    std::vector<char> buf(reclen);
    bench::Stopwatch w;
    for (long long i = 0; i < records; ++i)
      if (::pread(fd, buf.data(), reclen, static_cast<off_t>(449 + i * static_cast<long long>(reclen))) < 0) return 1;
    bench::Report("floor: pread of the same records", static_cast<double>(records), w.Seconds());
  }
  ::close(fd);
  std::filesystem::remove(floor_path);
  std::filesystem::remove(path);
  return 0;
}
