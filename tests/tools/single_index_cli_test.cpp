// tessera on NTX and NDX files, run as a user runs it: the fixture NTX
// files list their expected keys and pass the check; files built for a
// sample callbook pass the check, are read by Perl XBase in the same order,
// are searched, listed and kept current by the write commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/codepage.h"
#include "support/fixtures.h"
#include "support/run_command.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

using testing_support::Lines;
using RunResult = testing_support::CommandResult;

RunResult Shell(const std::string& command) { return testing_support::RunCommand(command); }

std::string Tessera(const std::string& args) { return std::string(TESSERA_BIN) + " " + args; }

TEST(TesseraSingleIndex, FixtureNtxFilesListTheirExpectedKeys) {
  const auto table = testing_support::ReadExpected("ntx").at(0);
  const std::string dbf = testing_support::FixturePath("ntx/NTXT.DBF");
  for (const auto& order : table.orders) {
    const std::string tag = order.items.at("tag");
    const std::string ntx = testing_support::FixturePath("ntx/" + order.items.at("bag"));
    const RunResult r = Shell(Tessera("keys '" + dbf + "' '" + ntx + "' " + tag));
    ASSERT_EQ(r.status, 0) << tag;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), order.keys.size()) << tag;
    const bool text = order.items.at("key_type") == "C";
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string recno = lines[i].substr(0, lines[i].find('\t'));
      ASSERT_EQ(recno, std::to_string(order.keys[i].recno)) << tag << " line " << i;
      if (text) {
        ASSERT_EQ(lines[i], recno + "\t" + plat::OemToUtf8(testing_support::FromHex(order.keys[i].key))) << tag << " line " << i;
      }
    }
    const RunResult check = Shell(Tessera("check '" + dbf + "' '" + ntx + "'"));
    // NAMEFOR's "ACTIVE .AND. QTY > 0" too, in the usual precedence.
    EXPECT_EQ(check.out, "1 tags sound\n") << tag;
  }
  const RunResult tags = Shell(Tessera("tags '" + testing_support::FixturePath("ntx/NAMEDESC.NTX") + "'"));
  EXPECT_NE(tags.out.find("NAMEDESC    C     20      no    yes   3000"), std::string::npos) << tags.out;
}

TEST(TesseraSingleIndex, BuiltForASampleCallbookSoundReadByPerlAndKeptCurrent) {
  TempDir dir;
  ASSERT_EQ(Shell(std::string(PYX_SAMPLE_BIN) + " --cards 3000 " + dir.path()).status, 0);
  const std::string dbf = dir / "Pyx.DBF";
  std::string list;
  for (const char* ext : {"NTX", "NDX"}) {
    for (const auto& [tag, expr] : {std::pair{"CALL", "CALL_"}, std::pair{"FIO", "FAM_+IM_+OTCH_"}}) {
      const std::string file = dir / (std::string(tag) + "." + ext);
      list += (list.empty() ? "" : ",") + file;
      const RunResult r = Shell(Tessera("index '" + dbf + "' '" + file + "' " + tag + " " + expr + " --progress 2>&1"));
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_NE(r.out.find("writing 100%"), std::string::npos) << r.out;
      EXPECT_EQ(Shell(Tessera("check '" + dbf + "' '" + file + "'")).out, "1 tags sound\n") << file;
      const auto ours = Lines(Shell(Tessera("keys '" + dbf + "' '" + file + "' " + tag)).out);
      const auto perl = Lines(Shell("/usr/bin/perl " PYX_SOURCE_DIR "/tests/interop/read_xbase_index.pl '" + file + "' char").out);
      ASSERT_EQ(ours.size(), 3000u);
      ASSERT_EQ(perl.size(), ours.size()) << file;
      for (size_t i = 0; i < ours.size(); ++i) ASSERT_EQ(ours[i].substr(0, ours[i].find('\t')), perl[i]) << file << " " << i;
      const RunResult seek = Shell(Tessera("seek '" + dbf + "' '" + file + "' " + tag + " " + (std::string(tag) == "CALL" ? "QZ6ZZZ" : "ТЕСТОВ")));
      EXPECT_NE(seek.out.find("\"found\":true,\"eof\":false,\"recno\":1001"), std::string::npos) << file << seek.out;
    }
  }
  // The write commands keep all four files current.
  const RunResult add = Shell(Tessera("append '" + dbf + "' CALL_=000000 FAM_=Аааа --index '" + list + "'"));
  ASSERT_EQ(add.status, 0) << add.out;
  ASSERT_EQ(Shell(Tessera("set '" + dbf + "' 1001 CALL_=ZZ9ZZZ --index '" + list + "'")).status, 0);
  ASSERT_EQ(Shell(Tessera("delete '" + dbf + "' 5 --index '" + list + "'")).status, 0);
  for (const char* f : {"CALL.NTX", "FIO.NTX", "CALL.NDX", "FIO.NDX"})
    EXPECT_EQ(Shell(Tessera("check '" + dbf + "' '" + dir / f + "'")).out, "1 tags sound\n") << f;
  for (const char* f : {"CALL.NTX", "CALL.NDX"}) {
    const auto rows = Lines(Shell(Tessera("list '" + dbf + "' --index '" + dir / f + "' --tag CALL")).out);
    ASSERT_GT(rows.size(), 2u);
    EXPECT_NE(rows[1].find("\"000000\""), std::string::npos) << f << rows[1];
    EXPECT_NE(rows.back().find("\"ZZ9ZZZ\""), std::string::npos) << f << rows.back();
  }
  // A damaged file fails the check and is reported with its name.
  {
    std::FILE* f = std::fopen((dir / "CALL.NTX").c_str(), "r+b");
    std::fseek(f, 4, SEEK_SET);
    std::fputc(7, f);  // the root off the page grid
    std::fclose(f);
  }
  const RunResult bad = Shell(Tessera("check '" + dbf + "' '" + dir / "CALL.NTX" + "' 2>&1"));
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("2112"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find("CALL.NTX"), std::string::npos) << bad.out;
}

}  // namespace
