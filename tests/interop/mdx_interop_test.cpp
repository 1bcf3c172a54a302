// Multiple indexes this engine writes — the callbook's eleven tags bulk
// built over pyx-sample cards, and a typed table with character, number,
// date and logical tags (unique, descending, FOR) after thousands of random
// appends, key changes and deletions — pass the structural check and are
// read by Debian's Perl XBase (index_dump) in the same order as this
// engine's own navigation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "engine/dbf_create.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "platform/codepage.h"
#include "support/run_command.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

std::string RunCommand(const std::string& command) { return testing_support::RunChecked(command); }

// Record numbers in the order index_dump lists them (the last field of a
// line).
std::vector<int32_t> PerlOrder(const std::string& mdx, const std::string& tag, const char* type) {
  const std::string out =
      RunCommand("/usr/bin/index_dump --type=" + std::string(type) + " '" + mdx + "' " + tag + " 2>&1");
  std::vector<int32_t> order;
  if (std::string(type) == "date") {
    // Date keys are printed as their 8 raw bytes (which may hold a line
    // feed), a blank and the record number.
    for (size_t at = 0; at + 10 <= out.size();) {
      size_t end = out.find('\n', at + 9);
      if (out[at + 8] != ' ' || end == std::string::npos) {
        ADD_FAILURE() << "index_dump " << tag << ": unexpected output at byte " << at;
        break;
      }
      order.push_back(std::stoi(out.substr(at + 9, end - at - 9)));
      at = end + 1;
    }
    return order;
  }
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t sp = line.find_last_of(" \t");
    const std::string last = line.substr(sp == std::string::npos ? 0 : sp + 1);
    if (last.empty() || last.find_first_not_of("0123456789") != std::string::npos) {
      ADD_FAILURE() << "index_dump " << tag << ": " << line;
      break;
    }
    order.push_back(std::stoi(last));
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

// Takes every callbook tag's record order from the open table, closes its
// index files (writing what they held) and expects Perl XBase to read each
// tag of `mdx` in that order, `keys` keys each.
void ExpectPerlReadsOurOrders(tessera::KTO_dBHandler& table, const std::string& mdx, size_t keys) {
  std::vector<std::vector<int32_t>> ours;
  for (const auto& t : pyx_sample::kCallbookTags) ours.push_back(OurOrder(*table.FindTag(t.name)));
  table.CloseIndexFiles();
  size_t i = 0;
  for (const auto& t : pyx_sample::kCallbookTags) {
    EXPECT_EQ(PerlOrder(mdx, t.name, "char"), ours[i]) << t.name;
    EXPECT_EQ(ours[i].size(), keys) << t.name;
    ++i;
  }
}

TEST(MdxInterop, PerlXBaseReadsTheCallbookTagsInOurOrder) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "Pyx.DBF", mdx = dir / "PYX.MDX";
  pyx_sample::WriteSampleTable(dir.path(), 3000, 7, true);
  tessera::KTO_dBHandler table(dbf, true, true);
  for (const auto& t : pyx_sample::kCallbookTags) table.CreateIndexTag("PYX.MDX", t.name, t.expression, "", tessera::kDuplicateKeys, 0);
  EXPECT_TRUE(table.StructuralIndex());
  ASSERT_EQ(table.OpenIndexFile("PYX.MDX"), 0);
  auto* file = static_cast<tessera::KTobjMDXFile*>(table.IndexFile(1));
  ASSERT_EQ(file->TagCount(), 11u);
  for (const auto& f : tessera::CheckMdxFile(*file)) ADD_FAILURE() << f;
  ExpectPerlReadsOurOrders(table, mdx, 3000);
}

// Open for exclusive use, the table's writes leave their blocks held in
// memory until the close: what the close writes is read by Perl XBase in
// the order this engine walks.
TEST(MdxInterop, PerlXBaseReadsTheCallbookTagsAfterAppendsHeldUntilTheClose) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "Pyx.DBF", mdx = dir / "PYX.MDX";
  pyx_sample::WriteSampleTable(dir.path(), 2000, 5, true);
  {
    tessera::KTO_dBHandler table(dbf, false, true);
    for (const auto& t : pyx_sample::kCallbookTags)
      table.CreateIndexTag("PYX.MDX", t.name, t.expression, "", tessera::kDuplicateKeys, 0);
  }
  tessera::KTO_dBHandler table(dbf, false, true);
  ASSERT_EQ(table.OpenIndexFile("PYX.MDX"), 0);
  pyx_sample::CardGenerator cards(77);
  for (int i = 0; i < 700; ++i) {
    const auto card = cards.Make(i, 100000);
    table.BlankRecord();
    for (int f = 0; f < pyx_sample::kFieldCount; ++f)
      table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
    table.AppendRecord();
  }
  ExpectPerlReadsOurOrders(table, mdx, 2700);
  ASSERT_EQ(table.OpenIndexFile("PYX.MDX"), 0);
  for (const auto& f : tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(table.IndexFile(1))))
    ADD_FAILURE() << f;
}

TEST(MdxInterop, PerlXBaseReadsTypedTagsAfterRandomChanges) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "typed.dbf", mdx = dir / "typed.mdx";
  tessera::CreateTable(dbf, 0x03,
                       {{"NAME", 'C', 12, 0}, {"NUM", 'N', 10, 2}, {"DAY", 'D', 8, 0}, {"OK", 'L', 0, 0}});
  tessera::KTO_dBHandler table(dbf, true, true);
  std::mt19937 rng(4242);
  auto name = [&] {
    std::string n;
    const int len = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < len; ++i) n += static_cast<char>('A' + rng() % 6);
    return n;
  };
  auto number = [&] { return (static_cast<double>(rng() % 200001) - 100000) / 4.0; };
  const int32_t base_day = tessera::EngineDate().DayNumberOf(2000, 1, 1);
  // About one date in ten is empty.
  auto day = [&] { return rng() % 10 == 0 ? 0 : base_day + static_cast<int32_t>(rng() % 9000); };
  auto fill = [&] {
    table.BlankRecord();
    table.PutText("NAME", name());
    table.PutNumber("NUM", number());
    table.PutDate("DAY", day());
    table.PutLogical("OK", rng() % 2 == 0);
  };
  table.LockTable();
  for (int i = 0; i < 3000; ++i) {
    fill();
    table.AppendRecord();
  }
  table.UnlockTable();
  struct TagSpec {
    const char* name;
    const char* expr;
    bool unique, ascending;
    const char* for_expr;
    const char* type;
  };
  const TagSpec specs[] = {
      {"NAME", "NAME", false, true, "", "char"},   {"NUM", "NUM", false, true, "", "num"},
      {"DAY", "DAY", false, true, "", "date"},     {"OK", "OK", false, true, "", "char"},
      {"UNAME", "NAME", true, true, "", "char"},   {"DNUM", "NUM", false, false, "", "num"},
      {"DNAME", "NAME", false, false, "", "char"}, {"NAMEOK", "NAME", false, true, "OK", "char"},
      {"UNUM", "NUM", true, true, "NUM > 0", "num"}, {"DDAY", "DAY", false, false, "", "date"},
  };
  {
    tessera::KTobjMDXFile f(&table, mdx, false, true, true, true);
    for (const auto& s : specs) ASSERT_TRUE(f.CreateTag(s.name, s.expr, s.unique, s.ascending, s.for_expr)) << s.name;
  }
  ASSERT_EQ(table.OpenIndexFile(mdx), 0);
  for (int op = 0; op < 3000; ++op) {
    const unsigned what = rng() % 6;
    if (what == 0) {
      fill();
      table.AppendRecord();
      continue;
    }
    const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount()));
    table.GotoRecord(r);
    if (what == 1) table.PutText("NAME", name());
    else if (what == 2) table.PutNumber("NUM", number());
    else if (what == 3) table.PutDate("DAY", day());
    else if (what == 4) table.PutLogical("OK", !table.GetLogical("OK"));
    else table.PutText("NAME", "");  // the key changes to the empty key
    table.WriteRecord(r);
  }
  auto* file = static_cast<tessera::KTobjMDXFile*>(table.IndexFile(1));
  for (const auto& f : tessera::CheckMdxFile(*file)) ADD_FAILURE() << f;
  std::vector<std::vector<int32_t>> ours;
  for (const auto& s : specs) ours.push_back(OurOrder(*table.FindTag(s.name)));
  table.CloseIndexFiles();
  if (const char* keep = std::getenv("PYX_KEEP_MDX")) std::system(("cp " + dir.path() + "/typed.* " + keep).c_str());
  size_t i = 0;
  for (const auto& s : specs) {
    EXPECT_EQ(PerlOrder(mdx, s.name, s.type), ours[i]) << s.name;
    ++i;
  }
  EXPECT_GT(ours[0].size(), 3000u);
}

}  // namespace
