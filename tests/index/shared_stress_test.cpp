// Several processes share one callbook and its eleven-tag compound index,
// each appending and editing cards at the same time. Afterwards every tag
// must agree with the records and no record may be lost.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

constexpr int kProcesses = 4;
constexpr int kOperations = 500;
constexpr int kStartCards = 500;

// What process p does at step i; the parent replays the same choices.
struct Step {
  bool append;
  uint32_t pick;
  uint32_t field;
};
Step NextStep(std::mt19937& rng) {
  Step s;
  s.append = rng() % 2 == 0;
  s.pick = rng();
  s.field = rng();
  return s;
}

std::string Marker(int process, int step) { return "P" + std::to_string(process) + "-" + std::to_string(step); }

int Worker(const std::string& dbf, int process) {
  tessera::EngineScope engine;
  tessera::KTO_dBHandler table(dbf, true, true);
  table.OpenIndexFile("PYX.CDX");
  table.SelectMasterTag("CALL", false);
  std::mt19937 rng(1000 + process);
  pyx_sample::CardGenerator cards(77 + process);
  for (int i = 0; i < kOperations; ++i) {
    const Step s = NextStep(rng);
    const auto card = cards.Make(i, kOperations);
    if (s.append) {
      table.BlankRecord();
      for (int f = 0; f < pyx_sample::kFieldCount; ++f)
        table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table.PutText("PRIM_", Marker(process, i));
      table.AppendRecord();
    } else {
      table.RefreshHeader();
      const int32_t r = static_cast<int32_t>(1 + s.pick % static_cast<uint32_t>(table.RecordCount()));
      table.GotoRecord(r);
      if (!table.LockRecord()) continue;  // another process is editing it
      table.GotoRecord(r);                // the record as it is now
      // Any field but the remarks, which carry the appends' markers.
      int field = static_cast<int>(s.field % 12);
      if (field >= 9) ++field;
      table.PutTextN(field + 1, plat::Utf8ToOem(card[static_cast<size_t>(field)]));
      table.WriteRecord(r);
      table.UnlockTable();
    }
  }
  return 0;
}

TEST(SharedStress, FourProcessesAppendAndEditOverElevenTags) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  pyx_sample::WriteSampleTable(dir.path(), kStartCards, 3, true);
  const std::string dbf = dir / "Pyx.DBF";
  {
    tessera::KTO_dBHandler t(dbf, false, true);
        for (const auto& tag : pyx_sample::kCallbookTags) t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int status = 1;
      try {
        status = Worker(dbf, p);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "process %d: %s\n", p, e.what());
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  // Every append is there exactly once.
  std::map<std::string, int> expected;
  for (int p = 0; p < kProcesses; ++p) {
    std::mt19937 rng(1000 + p);
    for (int i = 0; i < kOperations; ++i)
      if (NextStep(rng).append) expected[Marker(p, i)] = 0;
  }
  tessera::KTO_dBHandler table(dbf, true, false);
  ASSERT_EQ(table.RecordCount(), kStartCards + static_cast<int32_t>(expected.size()));
  for (int32_t r = 1; r <= table.RecordCount(); ++r) {
    table.GotoRecord(r);
    const std::string remark = table.GetText("PRIM_");
    if (auto it = expected.find(remark); it != expected.end()) ++it->second;
  }
  for (const auto& [marker, count] : expected) EXPECT_EQ(count, 1) << marker;
  // And every tag agrees with the records.
  ASSERT_EQ(table.OpenIndexFile("PYX.CDX"), 0);
  const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(table.IndexFile(1)));
  for (const auto& f : faults) ADD_FAILURE() << f;
}

}  // namespace
