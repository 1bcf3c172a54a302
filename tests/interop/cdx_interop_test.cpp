// Compound indexes this engine writes — bulk built, then after thousands of
// random appends, key changes and FOR flips on a table with duplicates —
// read by Debian's Perl XBase (index_dump) in the same order as this
// engine's own navigation.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "support/run_command.h"
#include "support/temp_dir.h"

namespace {

std::string RunCommand(const std::string& command) { return testing_support::RunChecked(command); }

// Record numbers in the order index_dump lists them (the last field of a
// line).
std::vector<int32_t> PerlOrder(const std::string& cdx, const std::string& tag, const char* type) {
  const std::string out = RunCommand("/usr/bin/index_dump --type=" + std::string(type) + " '" + cdx + "' " + tag + " 2>&1");
  std::vector<int32_t> order;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t sp = line.find_last_of(' ');
    order.push_back(std::stoi(line.substr(sp == std::string::npos ? 0 : sp + 1)));
  }
  return order;
}

std::vector<int32_t> OurOrder(tessera::KTobjIndexTag& tag) {
  std::vector<int32_t> order;
  tag.ResetTree(0);
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) order.push_back(r);
  tag.ReleaseTree();
  return order;
}

TEST(CdxInterop, PerlXBaseReadsOurIndexesInOurOrder) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "inter.dbf", cdx = dir / "inter.cdx";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 12, 0}, {"NUM", 'N', 10, 2}, {"OK", 'L', 0, 0}});
  tessera::KTO_dBHandler table(dbf, true, true);
  std::mt19937 rng(42);
  auto name = [&] {
    std::string n;
    const int len = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < len; ++i) n += static_cast<char>('A' + rng() % 6);
    return n;
  };
  auto number = [&] { return (static_cast<double>(rng() % 200001) - 100000) / 4.0; };
  // Most records first, then the index, then the rest through it.
  table.LockTable();
  for (int i = 0; i < 4000; ++i) {
    table.BlankRecord();
    table.PutText("NAME", name());
    table.PutNumber("NUM", number());
    table.PutLogical("OK", rng() % 2 == 0);
    table.AppendRecord();
  }
  table.UnlockTable();
  {
    tessera::KTobjCDXFile f(&table, cdx, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("NUM", "NUM", false, true, ""));
    ASSERT_TRUE(f.CreateTag("NAMEOK", "NAME", false, true, "OK"));
  }
  ASSERT_EQ(table.OpenIndexFile(cdx), 0);
  for (int op = 0; op < 3000; ++op) {
    const unsigned what = rng() % 4;
    if (what == 0) {
      table.BlankRecord();
      table.PutText("NAME", name());
      table.PutNumber("NUM", number());
      table.PutLogical("OK", rng() % 2 == 0);
      table.AppendRecord();
    } else {
      const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount()));
      table.GotoRecord(r);
      if (what == 1) table.PutText("NAME", name());
      else if (what == 2) table.PutNumber("NUM", number());
      else table.PutLogical("OK", !table.GetLogical("OK"));
      table.WriteRecord(r);
    }
  }
  const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(table.IndexFile(1)));
  for (const auto& f : faults) ADD_FAILURE() << f;
  const auto name_order = OurOrder(*table.FindTag("NAME"));
  const auto num_order = OurOrder(*table.FindTag("NUM"));
  const auto for_order = OurOrder(*table.FindTag("NAMEOK"));
  table.CloseIndexFiles();
  EXPECT_EQ(PerlOrder(cdx, "NAME", "char"), name_order);
  EXPECT_EQ(PerlOrder(cdx, "NUM", "num"), num_order);
  EXPECT_EQ(PerlOrder(cdx, "NAMEOK", "char"), for_order);
  EXPECT_GT(name_order.size(), 4000u);
}

}  // namespace
