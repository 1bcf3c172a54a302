// NTX and NDX files this engine writes — bulk built, then after random
// appends, key changes and FOR flips, with unique, descending and FOR tags —
// read by Debian's Perl XBase (XBase::Index) in the same order as this
// engine's own navigation.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "support/run_command.h"
#include "support/temp_dir.h"

namespace {

std::string RunCommand(const std::string& command) { return testing_support::RunChecked(command); }

std::vector<int32_t> PerlOrder(const std::string& file, const char* type) {
  const std::string out =
      RunCommand("/usr/bin/perl " PYX_INTEROP_DIR "/read_xbase_index.pl '" + file + "' " + type + " 2>&1");
  std::vector<int32_t> order;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) order.push_back(std::stoi(line));
  return order;
}

std::vector<int32_t> OurOrder(tessera::KTobjIndexTag& tag) {
  std::vector<int32_t> order;
  tag.ResetTree(0);
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) order.push_back(r);
  tag.ReleaseTree();
  return order;
}

// Perl XBase knows only the signature of NTX files without a FOR
// condition; it is given a copy with that signature (the pages are the
// same).
std::string WithoutForSignature(const std::string& path) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  std::string bytes;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) bytes.append(buf, n);
  std::fclose(in);
  bytes[0] = 6;
  const std::string copy = path + ".sig6.ntx";
  std::FILE* out = std::fopen(copy.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
  return copy;
}

struct Case {
  const char* file;
  const char* expr;
  const char* cond;
  bool unique;
  bool descending;
  const char* type;
};

TEST(SingleInterop, PerlXBaseReadsOurNtxAndNdxFilesInOurOrder) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "inter.dbf";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 12, 0}, {"NUM", 'N', 10, 2}, {"OK", 'L', 0, 0}});
  tessera::KTO_dBHandler table(dbf, true, true);
  std::mt19937 rng(1313);
  auto name = [&] {
    std::string n;
    const int len = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < len; ++i) n += static_cast<char>('A' + rng() % 6);
    return n;
  };
  auto number = [&] { return (static_cast<double>(rng() % 200001) - 100000) / 4.0; };
  table.LockTable();
  for (int i = 0; i < 3000; ++i) {
    table.BlankRecord();
    table.PutText("NAME", name());
    table.PutNumber("NUM", number());
    table.PutLogical("OK", rng() % 2 == 0);
    table.AppendRecord();
  }
  table.UnlockTable();
  const std::vector<Case> cases = {
      {"NAME.NTX", "NAME", "", false, false, "char"},   {"NUM.NTX", "NUM", "", false, false, "num"},
      {"NAMED.NTX", "NAME", "", false, true, "char"},   {"UNAME.NTX", "NAME", "", true, false, "char"},
      {"FOK.NTX", "NAME", "OK", false, false, "char"},  {"NAME.NDX", "NAME", "", false, false, "char"},
      {"NUM.NDX", "NUM", "", false, false, "num"},      {"UNAME.NDX", "NAME", "", true, false, "char"},
  };
  std::string list;
  for (const Case& c : cases) {
    table.CreateIndexTag(dir / c.file, "", c.expr, c.cond, c.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys,
                         c.descending ? 1 : 0);
    list += (list.empty() ? "" : ",") + std::string(c.file);
  }
  auto compare = [&](const char* when) {
    SCOPED_TRACE(when);
    ASSERT_EQ(table.OpenIndexList(list, ""), 0);
    std::vector<std::vector<int32_t>> ours;
    for (size_t i = 0; i < cases.size(); ++i) {
      tessera::KTobjIndexFile* f = table.IndexFile(static_cast<int>(i + 1));
      const auto faults = std::string(cases[i].file).find(".NTX") != std::string::npos
                              ? tessera::CheckNtxFile(*static_cast<tessera::KTobjNTXFile*>(f))
                              : tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(f));
      for (const auto& fault : faults) ADD_FAILURE() << cases[i].file << ": " << fault;
      ours.push_back(OurOrder(*f->TagAt(0)));
    }
    table.CloseIndexFiles();
    for (size_t i = 0; i < cases.size(); ++i) {
      std::string path = dir / cases[i].file;
      if (*cases[i].cond != 0) path = WithoutForSignature(path);
      EXPECT_EQ(PerlOrder(path, cases[i].type), ours[i]) << cases[i].file;
      EXPECT_GT(ours[i].size(), 500u) << cases[i].file;
    }
  };
  compare("bulk built");
  ASSERT_EQ(table.OpenIndexList(list, ""), 0);
  for (int op = 0; op < 2000; ++op) {
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
  table.CloseIndexFiles();
  compare("after random writes");
}

// Open for exclusive use, the table's writes leave their blocks held in
// memory until the close: what the close writes is read by Perl XBase in
// the order this engine walks.
TEST(SingleInterop, PerlXBaseReadsOurNdxFilesAfterWritesHeldUntilTheClose) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "held.dbf";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 12, 0}, {"NUM", 'N', 10, 2}});
  tessera::KTO_dBHandler table(dbf, false, true);
  std::mt19937 rng(2626);
  auto name = [&] {
    std::string n;
    const int len = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < len; ++i) n += static_cast<char>('A' + rng() % 9);
    return n;
  };
  auto fill = [&] {
    table.BlankRecord();
    table.PutText("NAME", name());
    table.PutNumber("NUM", (static_cast<double>(rng() % 200001) - 100000) / 4.0);
  };
  for (int i = 0; i < 2000; ++i) {
    fill();
    table.AppendRecord();
  }
  const std::vector<Case> cases = {{"NAME.NDX", "NAME", "", false, false, "char"},
                                   {"NUM.NDX", "NUM", "", false, false, "num"}};
  for (const Case& c : cases) table.CreateIndexTag(dir / c.file, "", c.expr, "", tessera::kDuplicateKeys, 0);
  ASSERT_EQ(table.OpenIndexList("NAME.NDX,NUM.NDX", ""), 0);
  for (int op = 0; op < 1500; ++op) {
    if (rng() % 3 == 0) {
      const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount()));
      table.GotoRecord(r);
      table.PutText("NAME", name());
      table.WriteRecord(r);
    } else {
      fill();
      table.AppendRecord();
    }
  }
  std::vector<std::vector<int32_t>> ours;
  for (size_t i = 0; i < cases.size(); ++i) ours.push_back(OurOrder(*table.IndexFile(static_cast<int>(i + 1))->TagAt(0)));
  table.CloseIndexFiles();
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(PerlOrder(dir / cases[i].file, cases[i].type), ours[i]) << cases[i].file;
    EXPECT_EQ(ours[i].size(), static_cast<size_t>(table.RecordCount())) << cases[i].file;
  }
  ASSERT_EQ(table.OpenIndexList("NAME.NDX,NUM.NDX", ""), 0);
  for (int i = 1; i <= 2; ++i)
    for (const auto& f : tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(table.IndexFile(i))))
      ADD_FAILURE() << f;
}

}  // namespace
