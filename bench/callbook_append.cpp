// The append step of the callbook workload alone, for profiling the record
// write path without the rest of callbook_bench's set-up (which copies the
// table and index afresh, and would dominate a profile).
//
//   callbook_append DIR NEW.DBF [shared|exclusive] [N] [INDEX...]
//
// DIR holds Pyx.DBF and its index files (default PYX.CDX; a copy: they are
// changed); the cards of NEW.DBF are appended N times in all (default
// 10 000), exclusive or, with "shared", under the append lock with a record
// lock per card.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/dbf_handler.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: callbook_append DIR NEW.DBF [shared|exclusive] [N] [INDEX...]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool shared = argc > 3 && std::string(argv[3]) == "shared";
  const int n = argc > 4 ? std::atoi(argv[4]) : 10000;
  std::vector<std::string> cards;
  {
    tessera::KTO_dBHandler src(argv[2], false, false);
    for (int32_t r = 1; r <= src.RecordCount(); ++r) {
      src.GotoRecord(r);
      cards.emplace_back(src.RecordBuffer(), static_cast<size_t>(src.RecordLength()));
    }
  }
  if (cards.empty()) return 1;
  tessera::KTO_dBHandler table(dir + "/Pyx.DBF", shared, true);
  if (argc > 5)
    for (int i = 5; i < argc; ++i) table.OpenIndexFile(argv[i]);
  else
    table.OpenIndexFile("PYX.CDX");
  table.SelectMasterTag("CALL", false);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    const std::string& rec = cards[static_cast<size_t>(i) % cards.size()];
    if (shared && !table.LockAppend()) return 1;
    std::memcpy(table.RecordBuffer(), rec.data(), rec.size());
    table.AppendRecord();
    if (shared) {
      // An open holds one lock range at a time: the append lock goes
      // before the new card's record lock is taken (and let go).
      table.UnlockTable();
      if (!table.LockRecord()) return 1;
      table.UnlockTable();
    }
  }
  table.Flush();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("time append %.1f ms %d\n", s * 1e3, n);
  return 0;
}
