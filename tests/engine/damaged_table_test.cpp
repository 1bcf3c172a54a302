// Tables and memo files are untrusted input: randomly damaged copies of
// fixture tables either read or fail with an engine error; they never
// crash, hang or make the engine read outside what the files hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "engine/dbf_create.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

// Reads every field of every record the way dump does.
void ReadEverything(const std::string& path) {
  tessera::KTO_dBaseFld t(path, true, false);
  for (int32_t r = 1; r <= t.RecordCount(); ++r) {
    t.GotoRecord(r);
    for (int f = 1; f <= t.FieldCount(); ++f) {
      if (t.IsMemoField(t.Field(f))) t.MemoText(f);
      else t.GetTextN(f);
    }
  }
}

void Damage(const std::string& case_dir, const std::string& table, const std::string& memo, uint32_t seed) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string src = testing_support::FixturePath(case_dir);
  const std::string good_table = ReadFileBytes(src + "/" + table);
  const std::string good_memo = memo.empty() ? std::string() : ReadFileBytes(src + "/" + memo);
  std::mt19937 rng(seed);
  for (int round = 0; round < 120; ++round) {
    std::string t = good_table, m = good_memo;
    const int hits = 1 + static_cast<int>(rng() % 6);
    for (int h = 0; h < hits; ++h) {
      // Mostly the header and descriptors, sometimes records and the memo.
      const unsigned where = rng() % 4;
      if (where == 0 && !m.empty()) m[rng() % std::min<size_t>(m.size(), 2048)] = static_cast<char>(rng());
      else if (where == 1 && !m.empty()) m[rng() % m.size()] = static_cast<char>(rng());
      else if (where == 2) t[rng() % t.size()] = static_cast<char>(rng());
      else t[rng() % std::min<size_t>(t.size(), 600)] = static_cast<char>(rng());
    }
    if (rng() % 8 == 0) t.resize(rng() % t.size());
    if (!m.empty() && rng() % 8 == 0) m.resize(rng() % m.size());
    WriteFileBytes(dir / table, t);
    if (!memo.empty()) WriteFileBytes(dir / memo, m);
    try {
      ReadEverything(dir / table);
    } catch (const tessera::ETesseraError&) {
    } catch (const tessera::ETesseraEncryption&) {
    }
  }
}

TEST(DamagedTables, DBase3TableWithMemo) { Damage("memo-dbt", "MEMO.DBF", "MEMO.DBT", 1); }
TEST(DamagedTables, FoxProMemos) { Damage("memo-fpt", "FPTFLEX.DBF", "FPTFLEX.FPT", 2); }
TEST(DamagedTables, VisualFoxProTable) { Damage("vfp", "VFP.DBF", "VFP.FPT", 3); }
TEST(DamagedTables, PlainTable) { Damage("cdx-types", "TYPES.DBF", "", 4); }

// A date field whose stored text is no date reads as the engine's error
// for a field of the wrong type, naming the field, by value and as text alike (found by fuzzing: the text
// read let the platform's conversion error through).
TEST(DamagedTables, DateFieldThatIsNoDate) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string path = dir / "d.dbf";
  tessera::CreateTable(path, 0x03, {{"NAME", 'C', 4, 0}, {"BORN", 'D', 0, 0}});
  {
    tessera::KTO_dBaseFld t(path, true, true);
    t.BlankRecord();
    t.PutRaw("BORN", "20:90715");
    t.AppendRecord();
  }
  tessera::KTO_dBaseFld t(path, true, false);
  t.GotoRecord(1);
  for (int as_text = 0; as_text < 2; ++as_text) {
    try {
      if (as_text) t.GetTextN(2);
      else t.GetDateN(2);
      ADD_FAILURE() << "no error";
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find("field is of incorrect type"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("BORN"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
