// The tessera and pyx-sample programs, run as a user runs them.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "engine/dbf_create.h"
#include "engine/dbf_fields.h"
#include "engine/dbf_handler.h"
#include "engine/text_helpers.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "support/fixtures.h"
#include "support/run_command.h"
#include "support/sha256.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using testing_support::TempDir;

using testing_support::Lines;
using testing_support::RunCommand;
using RunResult = testing_support::CommandResult;

std::string Tessera(const std::string& args) { return std::string(TESSERA_BIN) + " " + args; }

// The "values" strings of one dump line (a flat array of JSON strings with
// only hex digits inside, as --raw prints them).
std::vector<std::string> RawValues(const std::string& line) {
  std::vector<std::string> out;
  size_t p = line.find("\"values\":[");
  if (p == std::string::npos) return out;
  p += 10;
  while (p < line.size() && line[p] == '"') {
    const size_t end = line.find('"', p + 1);
    out.push_back(line.substr(p + 1, end - p - 1));
    p = end + 2;
  }
  return out;
}

TEST(TesseraCli, InfoAndRawDumpOfEveryFixtureTableMatchExpected) {
  for (const std::string c : {"callbook", "cdx-types", "ntx", "memo-dbt", "memo-fpt", "vfp"}) {
    for (const auto& table : testing_support::ReadExpected(c)) {
      const std::string path = testing_support::FixturePath(c + "/" + table.items.at("table"));
      SCOPED_TRACE(path);
      const RunResult info = RunCommand(Tessera("info '" + path + "'"));
      ASSERT_EQ(info.status, 0) << info.out;
      EXPECT_NE(info.out.find("Records:        " + table.items.at("reccount") + "\n"), std::string::npos);
      const RunResult dump = RunCommand(Tessera("dump --raw '" + path + "'"));
      ASSERT_EQ(dump.status, 0);
      const auto lines = Lines(dump.out);
      ASSERT_EQ(lines.size(), table.records.size() + 1);
      EXPECT_NE(lines[0].find("\"records\":" + table.items.at("reccount")), std::string::npos);
      for (size_t r = 0; r < table.records.size(); ++r) {
        const auto& want = table.records[r];
        const auto got = RawValues(lines[r + 1]);
        ASSERT_EQ(got.size(), want.values.size());
        EXPECT_NE(lines[r + 1].find(std::string("\"deleted\":") + (want.deleted ? "true" : "false")), std::string::npos);
        for (size_t f = 0; f < got.size(); ++f) {
          const char type = table.fields[f].type;
          const std::string bytes = testing_support::FromHex(got[f]);
          if (type == 'C') {
            std::string trimmed = bytes;
            while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
            EXPECT_EQ(trimmed.empty() ? "-" : got[f].substr(0, trimmed.size() * 2), want.values[f]);
          } else if (type == 'M') {
            // length:block:sha256:...: the dump shows the memo's bytes.
            const std::string& w = want.values[f];
            const size_t c1 = w.find(':'), c2 = w.find(':', c1 + 1), c3 = w.find(':', c2 + 1);
            EXPECT_EQ(bytes.size(), std::stoul(w.substr(0, c1)));
            EXPECT_EQ(testing_support::Sha256Hex(bytes), w.substr(c2 + 1, c3 - c2 - 1));
          }
        }
        if (::testing::Test::HasFailure()) return;
      }
      // The display form runs through every field type too.
      EXPECT_EQ(RunCommand(Tessera("dump '" + path + "' > /dev/null")).status, 0);
    }
  }
}

TEST(TesseraCli, ChangedCardsReadBackInCp866) {
  TempDir dir;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 50 " + dir.path()).status, 0);
  const std::string table = dir / "Pyx.DBF";
  ASSERT_EQ(RunCommand(Tessera("set '" + table + "' 7 GOR_=Новосибирск FAM_=Щукин")).status, 0);
  const RunResult added = RunCommand(Tessera("append '" + table + "' CALL_=UA0ZZZ IM_=Ёжик"));
  ASSERT_EQ(added.status, 0);
  EXPECT_EQ(added.out, "51\n");
  ASSERT_EQ(RunCommand(Tessera("delete '" + table + "' 3")).status, 0);
  tessera::EngineScope engine;
  tessera::KTO_dBaseFld t(table, true, false);
  t.GotoRecord(7);
  EXPECT_EQ(t.GetText("GOR_"), plat::Utf8ToOem("Новосибирск"));
  EXPECT_EQ(t.GetText("FAM_"), plat::Utf8ToOem("Щукин"));
  t.GotoRecord(51);
  EXPECT_EQ(t.GetText("CALL_"), "UA0ZZZ");
  EXPECT_EQ(t.GetText("IM_"), plat::Utf8ToOem("Ёжик"));
  t.GotoRecord(3);
  EXPECT_TRUE(t.IsDeleted());
  ASSERT_EQ(RunCommand(Tessera("recall '" + table + "' 3")).status, 0);
  t.GotoRecord(3);
  EXPECT_FALSE(t.IsDeleted());
  const RunResult dump = RunCommand(Tessera("dump '" + table + "'"));
  EXPECT_NE(dump.out.find("{\"recno\":7,\"deleted\":false,\"values\":[\""), std::string::npos);
  EXPECT_NE(dump.out.find("\"Щукин\""), std::string::npos);
}

TEST(TesseraCli, MemosFromFilesAndErrors) {
  TempDir dir;
  const std::string table = dir / "notes.dbf";
  {
    tessera::EngineScope engine;
    tessera::CreateTable(table, 0xF5, {{"NAME", 'C', 10, 0}, {"NOTE", 'M', 0, 0}});
  }
  std::ofstream(dir / "note.bin", std::ios::binary) << std::string("\x01\x02 binary \xff", 11);
  ASSERT_EQ(RunCommand(Tessera("append '" + table + "' NAME=a NOTE=@" + dir / "note.bin")).status, 0);
  ASSERT_EQ(RunCommand(Tessera("append '" + table + "' NAME=b 'NOTE=Привет'")).status, 0);
  const RunResult raw = RunCommand(Tessera("dump --raw '" + table + "'"));
  EXPECT_NE(raw.out.find("\"01022062696e61727920ff\""), std::string::npos) << raw.out;
  const RunResult shown = RunCommand(Tessera("dump '" + table + "'"));
  EXPECT_NE(shown.out.find("\"Привет\""), std::string::npos) << shown.out;

  RunResult r = RunCommand(Tessera("set '" + table + "' 9 NAME=x 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("dBase record request beyond EOF - "), std::string::npos);
  r = RunCommand(Tessera("info '" + dir / "missing.dbf" + "' 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("File not found - /", 0), 0u);
  r = RunCommand(Tessera("set '" + table + "' 1 NAME=@" + dir / "note.bin" + " 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(RunCommand(Tessera("frobnicate 2>/dev/null")).status, 2);
  EXPECT_EQ(RunCommand(Tessera("dump --help")).status, 0);
}

TEST(TesseraCli, LockedRecordsAreRefused) {
  TempDir dir;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 5 " + dir.path()).status, 0);
  const std::string table = dir / "Pyx.DBF";
  tessera::EngineScope engine;
  tessera::KTO_dBaseFld holder(table, true, true);
  holder.GotoRecord(2);
  ASSERT_TRUE(holder.LockRecord());
  RunResult r = RunCommand(Tessera("set '" + table + "' 2 GOR_=x --no-wait 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Record is locked by another user\n");
  EXPECT_EQ(RunCommand(Tessera("set '" + table + "' 3 GOR_=x")).status, 0);  // another record is free
  holder.UnlockTable();
  ASSERT_TRUE(holder.LockAppend());
  r = RunCommand(Tessera("append '" + table + "' CALL_=X --wait 200 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Record is locked by another user\n");
  // A lock let go within the wait is waited for: it is let go once the
  // tool has the table open, whether or not it has tried the lock yet.
  testing_support::BackgroundCommand waiting(Tessera("append '" + table + "' CALL_=Y --wait 120000 2>&1"));
  EXPECT_TRUE(testing_support::WaitUntil([&] { return waiting.HasOpen(table); })) << "the tool never opened the table";
  holder.UnlockTable();
  r = waiting.Finish();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(RunCommand(Tessera("append '" + table + "' CALL_=X")).status, 0);
}

// Four processes append 500 cards each through the callbook's eleven tags
// at once: every append waits its turn, none is lost, the index is sound.
TEST(TesseraCli, FourWritersAppendThroughTheIndexTogether) {
  TempDir dir;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 50 " + dir.path()).status, 0);
  const std::string table = dir / "Pyx.DBF";
  {
    tessera::EngineScope engine;
    tessera::KTO_dBHandler t(table, false, true);
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  constexpr int kWriters = 4, kEach = 500;
  std::string script;
  for (int w = 0; w < kWriters; ++w)
    script += "( i=0; while [ $i -lt " + std::to_string(kEach) + " ]; do " + Tessera("append '" + table + "' CALL_=W" +
              std::to_string(w) + "N$i FAM_=F$i --index '" + (dir / "PYX.CDX") + "'") +
              " >/dev/null || echo FAIL; i=$((i+1)); done ) & ";
  script += "wait\n";
  std::ofstream(dir / "writers.sh") << script;
  const RunResult r = RunCommand("sh '" + (dir / "writers.sh") + "' 2>&1");
  EXPECT_EQ(r.out, "");
  tessera::EngineScope engine;
  tessera::KTO_dBHandler t(table, true, false);
  ASSERT_EQ(t.RecordCount(), 50 + kWriters * kEach);
  std::set<std::string> calls;
  for (int32_t n = 51; n <= t.RecordCount(); ++n) {
    t.GotoRecord(n);
    calls.insert(tessera::TrimRightText(t.GetRawN(1)));
  }
  EXPECT_EQ(calls.size(), static_cast<size_t>(kWriters * kEach));
  const RunResult check = RunCommand(Tessera("check '" + table + "' '" + (dir / "PYX.CDX") + "'"));
  EXPECT_EQ(check.status, 0) << check.out;
}

TEST(PyxSample, DeterministicWithTheControlCard) {
  TempDir a, b;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 1500 --seed 7 " + a.path()).status, 0);
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 1500 --seed 7 " + b.path()).status, 0);
  std::ifstream fa(a / "Pyx.DBF", std::ios::binary), fb(b / "Pyx.DBF", std::ios::binary);
  const std::string ba((std::istreambuf_iterator<char>(fa)), {}), bb((std::istreambuf_iterator<char>(fb)), {});
  EXPECT_EQ(ba.substr(32), bb.substr(32));  // the header carries the time of writing
  EXPECT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " " + a.path() + " 2>/dev/null").status, 1);  // no overwrite
  tessera::EngineScope engine;
  tessera::KTO_dBaseFld t(a / "Pyx.DBF", true, false);
  EXPECT_EQ(t.HeaderLength(), 449);
  EXPECT_EQ(t.RecordLength(), 322);
  t.GotoRecord(1001);
  EXPECT_EQ(t.GetText("CALL_"), "QZ6ZZZ");
}

// The cards are stored as the callbook window stores what is typed: in
// capitals (its searches compare from the first letter as typed, in
// capitals), in CP866. A folder that is not there yet is made.
TEST(PyxSample, WritesCapitalsIntoAFolderItMakes) {
  TempDir dir;
  const std::string folder = dir / "new/callbook";
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 1200 '" + folder + "'").status, 0);
  tessera::EngineScope engine;
  tessera::KTO_dBaseFld t(folder + "/Pyx.DBF", true, false);
  ASSERT_EQ(t.RecordCount(), 1200);
  for (int32_t r = 1; r <= t.RecordCount(); ++r) {
    t.GotoRecord(r);
    for (int f = 1; f <= t.FieldCount(); ++f) {
      const std::string oem = t.GetTextN(f);
      ASSERT_EQ(oem, plat::UpperText(oem)) << "record " << r << " field " << f << ": " << plat::OemToUtf8(oem);
    }
  }
  t.GotoRecord(1001);
  EXPECT_EQ(t.GetText("FAM_"), plat::Utf8ToOem("ТЕСТОВ"));
  EXPECT_EQ(t.GetText("EMAIL_"), "QZ6ZZZ@EXAMPLE.ORG");
}

}  // namespace

namespace {

TEST(TesseraCli, KeysOfTheFixtureCallbookMatchExpected) {
  const auto table = testing_support::ReadExpected("callbook").at(0);
  ASSERT_EQ(table.orders.size(), 11u);
  const std::string dbf = testing_support::FixturePath("callbook/Pyx.DBF");
  const std::string cdx = testing_support::FixturePath("callbook/PYX.CDX");
  for (const auto& order : table.orders) {
    const std::string tag = order.items.at("tag");
    const RunResult r = RunCommand(Tessera("keys '" + dbf + "' '" + cdx + "' " + tag));
    ASSERT_EQ(r.status, 0);
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), order.keys.size()) << tag;
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string want_key = plat::OemToUtf8(testing_support::FromHex(order.keys[i].key));
      ASSERT_EQ(lines[i], std::to_string(order.keys[i].recno) + "\t" + want_key) << tag << " line " << i;
    }
  }
  const RunResult tags = RunCommand(Tessera("tags '" + cdx + "'"));
  EXPECT_EQ(tags.status, 0);
  EXPECT_NE(tags.out.find("FIO         C     55"), std::string::npos) << tags.out;
  EXPECT_EQ(RunCommand(Tessera("check '" + dbf + "' '" + cdx + "'")).status, 0);
}

TEST(TesseraCli, CallbookIndexBuiltForASampleTableIsSoundAndReadByPerl) {
  TempDir dir;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 3000 " + dir.path()).status, 0);
  const std::string dbf = dir / "Pyx.DBF", cdx = dir / "PYX.CDX";
  for (const auto& t : pyx_sample::kCallbookTags) {
    const RunResult r = RunCommand(Tessera("index '" + dbf + "' '" + cdx + "' " + t.name + " " + t.expression + " --progress 2>&1"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("writing 100%"), std::string::npos) << r.out;
  }
  const RunResult check = RunCommand(Tessera("check '" + dbf + "' '" + cdx + "'"));
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out, "11 tags sound\n");
  for (const auto& t : pyx_sample::kCallbookTags) {
    const RunResult ours = RunCommand(Tessera("keys '" + dbf + "' '" + cdx + "' " + t.name));
    const RunResult perl = RunCommand("/usr/bin/index_dump --type=char '" + cdx + "' " + t.name);
    const auto a = Lines(ours.out), b = Lines(perl.out);
    ASSERT_EQ(a.size(), 3000u);
    ASSERT_EQ(a.size(), b.size()) << t.name;
    for (size_t i = 0; i < a.size(); ++i)
      ASSERT_EQ(a[i].substr(0, a[i].find('\t')), b[i].substr(b[i].find_last_of(' ') + 1)) << t.name << " " << i;
  }
  // A table whose index is damaged fails the check with a list of faults.
  {
    std::fstream f(cdx, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1024 + 512 + 12);  // the directory's first leaf: its free bytes
    f.put('\x7F');
  }
  const RunResult bad = RunCommand(Tessera("check '" + dbf + "' '" + cdx + "' 2>&1"));
  EXPECT_EQ(bad.status, 1) << bad.out;
}

}  // namespace

namespace {

TEST(TesseraCli, SeekListAndLocateOnASampleCallbook) {
  TempDir dir;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 2000 " + dir.path()).status, 0);
  const std::string dbf = dir / "Pyx.DBF", cdx = dir / "PYX.CDX";
  ASSERT_EQ(RunCommand(Tessera("index '" + dbf + "' '" + cdx + "' CALL CALL_ 2>/dev/null")).status, 0);
  ASSERT_EQ(RunCommand(Tessera("index '" + dbf + "' '" + cdx + "' FIO FAM_+IM_+OTCH_ 2>/dev/null")).status, 0);
  RunResult r = RunCommand(Tessera("seek '" + dbf + "' '" + cdx + "' CALL QZ6ZZZ"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("{\"found\":true,\"eof\":false,\"recno\":1001,\"values\":[\"QZ6ZZZ\",\"ТЕСТОВ\"", 0), 0u) << r.out;
  r = RunCommand(Tessera("seek '" + dbf + "' '" + cdx + "' CALL QZ6 --exact"));
  EXPECT_EQ(r.out.rfind("{\"found\":false,\"eof\":false,\"recno\":1001,", 0), 0u) << r.out;
  r = RunCommand(Tessera("seek '" + dbf + "' '" + cdx + "' CALL QZ6 --exact --no-nearest"));
  EXPECT_EQ(r.out.rfind("{\"found\":false,\"eof\":true,", 0), 0u) << r.out;
  // A surname prefix lands on the first matching card in the FIO order:
  // the first of the listed FIO order whose surname begins with it.
  r = RunCommand(Tessera("seek '" + dbf + "' '" + cdx + "' FIO ИВАН"));
  EXPECT_NE(r.out.find("\"found\":true"), std::string::npos) << r.out;
  const RunResult list = RunCommand(Tessera("list '" + dbf + "' --index '" + cdx + "' --tag FIO"));
  const auto lines = Lines(list.out);
  ASSERT_EQ(lines.size(), 2001u);
  // The n-th value of a record line (texts without quotes or escapes).
  auto value_at = [](const std::string& line, size_t n) {
    size_t p = line.find("\"values\":[\"");
    if (p == std::string::npos) return std::string();
    p += 11;
    for (size_t i = 0; i < n; ++i) p = line.find("\",\"", p) + 3;
    return line.substr(p, line.find('"', p) - p);
  };
  std::string first_ivanov;
  for (size_t i = 1; i < lines.size() && first_ivanov.empty(); ++i)
    if (value_at(lines[i], 1).rfind("ИВАН", 0) == 0) first_ivanov = lines[i].substr(1, lines[i].find(",\"deleted\"") - 1);
  ASSERT_FALSE(first_ivanov.empty());
  EXPECT_NE(r.out.find(first_ivanov), std::string::npos) << first_ivanov << "\n" << r.out;
  // Locate finds the control card by its fields, through the tag or not.
  r = RunCommand(Tessera("locate '" + dbf + "' FAM_=ТЕСТОВ IM_=ТЕСТ --index '" + cdx + "' --tag CALL"));
  EXPECT_EQ(r.out.rfind("{\"found\":true,\"eof\":false,\"recno\":1001,", 0), 0u) << r.out;
  r = RunCommand(Tessera("locate '" + dbf + "' CALL_=qz6 --partial --ci"));
  EXPECT_EQ(r.out.rfind("{\"found\":true,\"eof\":false,\"recno\":1001,", 0), 0u) << r.out;
  // Writes with --index keep the index current; deleted cards leave the list.
  ASSERT_EQ(RunCommand(Tessera("set '" + dbf + "' 1001 CALL_=AA1AAA --index '" + cdx + "'")).status, 0);
  ASSERT_EQ(RunCommand(Tessera("append '" + dbf + "' CALL_=QZ6ZZZ FAM_=Новый --index '" + cdx + "'")).status, 0);
  ASSERT_EQ(RunCommand(Tessera("delete '" + dbf + "' 5 --index '" + cdx + "'")).status, 0);
  EXPECT_EQ(RunCommand(Tessera("check '" + dbf + "' '" + cdx + "'")).status, 0);
  r = RunCommand(Tessera("seek '" + dbf + "' '" + cdx + "' CALL QZ6ZZZ"));
  EXPECT_EQ(r.out.rfind("{\"found\":true,\"eof\":false,\"recno\":2001,", 0), 0u) << r.out;
  EXPECT_EQ(Lines(RunCommand(Tessera("list '" + dbf + "'")).out).size(), 2001u);
  EXPECT_EQ(Lines(RunCommand(Tessera("list '" + dbf + "' --deleted")).out).size(), 2002u);
  const RunResult filtered = RunCommand(Tessera("list '" + dbf + "' --filter \"LEFT(CALL_,2) = 'AA'\""));
  EXPECT_EQ(Lines(filtered.out).size(), 2u);
  EXPECT_NE(filtered.out.find("\"recno\":1001"), std::string::npos);
  EXPECT_EQ(RunCommand(Tessera("list '" + dbf + "' --filter CALL_ 2>/dev/null")).status, 1);
}

}  // namespace

namespace {

// The done-when of the multiple index: PYX.MDX with the eleven callbook
// tags, built by `tessera index`, passes `tessera check`, is read by Perl
// XBase in the order of `tessera keys`, and is searched and kept current by
// the other commands.
TEST(TesseraCli, MultipleIndexBuiltCheckedSearchedAndReadByPerl) {
  TempDir dir;
  ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 2500 " + dir.path()).status, 0);
  const std::string dbf = dir / "Pyx.DBF", mdx = dir / "PYX.MDX";
  for (const auto& t : pyx_sample::kCallbookTags) {
    const RunResult r = RunCommand(Tessera("index '" + dbf + "' '" + mdx + "' " + t.name + " " + t.expression + " 2>&1"));
    ASSERT_EQ(r.status, 0) << r.out;
  }
  RunResult check = RunCommand(Tessera("check '" + dbf + "' '" + mdx + "'"));
  EXPECT_EQ(check.out, "11 tags sound\n");
  EXPECT_EQ(check.status, 0);
  for (const auto& t : pyx_sample::kCallbookTags) {
    const auto a = Lines(RunCommand(Tessera("keys '" + dbf + "' '" + mdx + "' " + t.name)).out);
    const auto b = Lines(RunCommand("/usr/bin/index_dump --type=char '" + mdx + "' " + t.name).out);
    ASSERT_EQ(a.size(), 2500u);
    ASSERT_EQ(a.size(), b.size()) << t.name;
    for (size_t i = 0; i < a.size(); ++i)
      ASSERT_EQ(a[i].substr(0, a[i].find('\t')), b[i].substr(b[i].find_last_of(' ') + 1)) << t.name << " " << i;
  }
  const RunResult tags = RunCommand(Tessera("tags '" + mdx + "'"));
  EXPECT_NE(tags.out.find("CALL        C     10      no    no    2500"), std::string::npos) << tags.out;
  RunResult r = RunCommand(Tessera("seek '" + dbf + "' '" + mdx + "' CALL QZ6ZZZ"));
  EXPECT_EQ(r.out.rfind("{\"found\":true,\"eof\":false,\"recno\":1001,\"values\":[\"QZ6ZZZ\"", 0), 0u) << r.out;
  EXPECT_EQ(Lines(RunCommand(Tessera("list '" + dbf + "' --index '" + mdx + "' --tag CALL")).out).size(), 2501u);
  r = RunCommand(Tessera("append '" + dbf + "' CALL_=AA0AAA FAM_=Первый --index '" + mdx + "'"));
  EXPECT_EQ(r.status, 0) << r.out;
  r = RunCommand(Tessera("seek '" + dbf + "' '" + mdx + "' FIO Первый"));
  EXPECT_NE(r.out.find("\"found\":true"), std::string::npos) << r.out;
  check = RunCommand(Tessera("check '" + dbf + "' '" + mdx + "'"));
  EXPECT_EQ(check.out, "11 tags sound\n");
  // A damaged file is reported, not followed.
  {
    std::fstream f(mdx, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(22);  // block size in bytes
    f.put('\x07');
  }
  const RunResult bad = RunCommand(Tessera("check '" + dbf + "' '" + mdx + "' 2>&1"));
  EXPECT_NE(bad.status, 0) << bad.out;
  EXPECT_NE(bad.out.find("2112"), std::string::npos) << bad.out;
}

}  // namespace
