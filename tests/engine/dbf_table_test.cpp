// The table file: opening and checking, record navigation, appends and
// rewrites with the header kept current.
#include "engine/dbf_table.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "platform/text_convert.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using tessera::KTO_dBaseDBF;
using tessera::KTO_dBaseFld;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

class TableTest : public ::testing::Test {
 protected:
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "Small.dbf";

  void Fill(int n) {
    testing_support::MakeSmallTable(path_);
    KTO_dBaseFld t(path_, false, true);
    for (int i = 1; i <= n; ++i) {
      t.BlankRecord();
      t.PutText("NAME", "N" + std::to_string(i));
      t.AppendRecord();
    }
  }
  std::string ErrorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(TableTest, OpensUnderAnyCaseAndAddsTheExtension) {
  Fill(1);
  KTO_dBaseDBF t(dir_ / "SMALL", true, false);
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(t.FileName().substr(t.FileName().size() - 10), "/SMALL.DBF");
  EXPECT_EQ(t.RecordLength(), 19);
  EXPECT_EQ(t.HeaderLength(), 32 + 64 + 1);
  EXPECT_EQ(t.Field(2).offset, 11u);
}

TEST_F(TableTest, MissingTableIsFileNotFound) {
  const std::string msg = ErrorOf([&] { KTO_dBaseDBF t(dir_ / "none.dbf", true, false); });
  EXPECT_EQ(msg.rfind("File not found - /", 0), 0u) << msg;
  EXPECT_NE(msg.find("NONE.DBF"), std::string::npos);
}

TEST_F(TableTest, RefusesUnknownVersionsAndBrokenHeaders) {
  Fill(2);
  const std::string good = ReadFileBytes(path_);
  auto reopen_error = [&](std::string bytes) {
    WriteFileBytes(path_, bytes);
    return ErrorOf([&] { KTO_dBaseDBF t(path_, true, false); });
  };
  std::string b = good;
  b[0] = 0x05;
  EXPECT_EQ(reopen_error(b).rfind("dBase DBF file header invalid - ", 0), 0u);
  b = good;
  b[8] = static_cast<char>(0xFF);  // header longer than the file
  b[9] = static_cast<char>(0x7F);
  EXPECT_NE(reopen_error(b).find("header invalid"), std::string::npos);
  b = good;
  b[10] = 5;  // record shorter than its fields
  b[11] = 0;
  EXPECT_NE(reopen_error(b).find("header invalid"), std::string::npos);
  b = good;
  b[10] = static_cast<char>(b[10] - 2);  // two bytes short of its fields
  EXPECT_NE(reopen_error(b).find("header invalid"), std::string::npos);
  EXPECT_NE(reopen_error(good.substr(0, 20)).find("header invalid"), std::string::npos);
  EXPECT_NE(reopen_error("").find("header invalid"), std::string::npos);
  b = good;
  b[15] = 1;  // enciphered
  WriteFileBytes(path_, b);
  EXPECT_THROW(KTO_dBaseDBF(path_, true, false), tessera::ETesseraEncryption);
  WriteFileBytes(path_, good);
  EXPECT_NO_THROW(KTO_dBaseDBF(path_, true, false));
}

TEST_F(TableTest, RecordCountComesFromTheFileSize) {
  Fill(12);
  std::string b = ReadFileBytes(path_);
  b[4] = 10;  // the header says 10
  b.pop_back();  // drop the 0x1A
  b += std::string(7, 'x');  // and a partly written 13th record
  WriteFileBytes(path_, b);
  KTO_dBaseFld t(path_, true, false);
  EXPECT_EQ(t.RecordCount(), 12);
  t.GotoRecord(12);
  EXPECT_EQ(t.GetText("NAME"), "N12");
  t.GotoRecord(tessera::kMoveNext);
  EXPECT_TRUE(t.Eof());
}

TEST_F(TableTest, NavigationAtBothEnds) {
  Fill(3);
  KTO_dBaseFld t(path_, true, false);
  t.GotoRecord(tessera::kMoveLast);
  EXPECT_EQ(t.CurrentRecord(), 3);
  t.GotoRecord(tessera::kMoveNext);
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.GetText("NAME"), "N3");  // buffer kept
  EXPECT_THROW(t.GotoRecord(5), tessera::ETesseraError);
  t.GotoRecord(4);  // one past the last: end of file, no error
  EXPECT_TRUE(t.Eof());
  t.GotoRecord(tessera::kMoveFirst);
  t.GotoRecord(tessera::kMovePrior);
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.CurrentRecord(), 1);
  EXPECT_EQ(t.GetText("NAME"), "N1");
  EXPECT_EQ(ErrorOf([&] { t.GotoRecord(-9); }).rfind("dBase record request beyond EOF - ", 0), 0u);
  t.GotoRecord(2);
  t.GotoRecord(tessera::kMoveCurrent);
  EXPECT_EQ(t.GetText("NAME"), "N2");
}

TEST_F(TableTest, EmptyTableSetsBothEnds) {
  Fill(0);
  KTO_dBaseFld t(path_, true, false);
  t.GotoRecord(tessera::kMoveFirst);
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.Bof());
}

TEST_F(TableTest, AppendEndsTheFileWithTheMarkAndStampsTheHeader) {
  Fill(2);
  const std::string b = ReadFileBytes(path_);
  ASSERT_EQ(b.size(), 97u + 2 * 19 + 1);
  EXPECT_EQ(static_cast<uint8_t>(b.back()), 0x1A);
  EXPECT_EQ(b[4], 2);
  const plat::CivilDate today = plat::Today();
  // dBase counts the year from 1900 (other programs read 26 as 1926).
  EXPECT_EQ(static_cast<uint8_t>(b[1]), today.year - 1900);
  EXPECT_EQ(b[2], today.month);
  EXPECT_EQ(b[3], today.day);
  uint32_t stamp;
  std::memcpy(&stamp, b.data() + 16, 4);
  EXPECT_NE(stamp, 0u);
  EXPECT_LT(stamp, 24u * 64 * 64 * 1024);

  // A rewrite keeps the size and rewrites the header too.
  {
    KTO_dBaseFld t(path_, true, true);
    t.GotoRecord(1);
    t.PutText("CITY", "Тула");
    t.WriteRecord(1);
  }
  const std::string after = ReadFileBytes(path_);
  EXPECT_EQ(after.size(), b.size());
  EXPECT_EQ(after[4], 2);
  EXPECT_EQ(after.substr(97 + 11, 8), std::string("Тула").substr(0, 8));
}

TEST_F(TableTest, WriteBeyondTheEndAppends) {
  Fill(1);
  KTO_dBaseFld t(path_, true, true);
  t.BlankRecord();
  t.PutText("NAME", "X");
  t.WriteRecord(7);
  EXPECT_EQ(t.RecordCount(), 2);
  EXPECT_EQ(t.CurrentRecord(), 2);
}

TEST_F(TableTest, TableLockDefersTheHeader) {
  Fill(0);
  KTO_dBaseFld t(path_, true, true);
  ASSERT_TRUE(t.LockTable());
  for (int i = 0; i < 3; ++i) {
    t.BlankRecord();
    t.AppendRecord();
  }
  EXPECT_EQ(ReadFileBytes(path_)[4], 0);  // not yet written
  EXPECT_TRUE(t.UnlockTable());
  EXPECT_EQ(ReadFileBytes(path_)[4], 3);
}

TEST_F(TableTest, SecondOpenSeesAppendsOfTheFirst) {
  Fill(1);
  KTO_dBaseFld a(path_, true, true);
  KTO_dBaseFld b(path_, true, false);
  a.BlankRecord();
  a.PutText("NAME", "NEW");
  a.AppendRecord();
  b.GotoRecord(2);  // beyond b's count: refreshed from the file size
  EXPECT_EQ(b.GetText("NAME"), "NEW");
  EXPECT_TRUE(b.ChangedByOther());
}

TEST_F(TableTest, ExclusiveOpenKeepsOthersOut) {
  Fill(1);
  KTO_dBaseDBF a(path_, false, true);
  const std::string msg = ErrorOf([&] { KTO_dBaseDBF b(path_, true, false); });
  EXPECT_EQ(msg.rfind("File access denied - ", 0), 0u) << msg;
}

TEST_F(TableTest, TruncateOfASharedFileNeedsTheWholeFileLocked) {
  Fill(2);
  KTO_dBaseDBF t(path_, true, true);
  EXPECT_THROW(t.Truncate(97), tessera::ETesseraError);
  EXPECT_EQ(t.LastError(), 5);
  ASSERT_TRUE(t.LockAllBytes());
  EXPECT_NO_THROW(t.Truncate(97 + 19));
  t.UnlockTable();
  KTO_dBaseDBF readonly(path_, true, false);
  EXPECT_THROW(readonly.Truncate(97), tessera::ETesseraError);
}

TEST_F(TableTest, CreateTableRefusesBadFieldListsAndExistingFiles) {
  using tessera::CreateTable;
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {}), tessera::ETesseraError);
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {{"1BAD", 'C', 5, 0}}), tessera::ETesseraError);
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {{"TOOLONGNAME", 'C', 5, 0}}), tessera::ETesseraError);
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {{"A", 'C', 5, 0}, {"a", 'C', 5, 0}}), tessera::ETesseraError);
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {{"A", 'N', 30, 0}}), tessera::ETesseraError);
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {{"A", 'M', 0, 0}}), tessera::ETesseraError);  // no memo file
  EXPECT_THROW(CreateTable(dir_ / "a", 0x04, {{"A", 'C', 5, 0}}), tessera::ETesseraError);
  EXPECT_THROW(CreateTable(dir_ / "a", 0x03, {{"A", 'C', 40000, 0}, {"B", 'C', 40000, 0}}), tessera::ETesseraError);
  CreateTable(dir_ / "a", 0x03, {{"A", 'C', 5, 0}});
  const std::string msg = ErrorOf([&] { CreateTable(dir_ / "a", 0x03, {{"A", 'C', 5, 0}}); });
  EXPECT_EQ(msg.rfind("File already exists - ", 0), 0u) << msg;
}

TEST_F(TableTest, CreatesEveryVersionWithItsMemoFile) {
  using tessera::CreateTable;
  const std::vector<tessera::FieldSpec> memo_fields = {{"NAME", 'C', 300, 0}, {"NOTE", 'M', 0, 0}};
  CreateTable(dir_ / "d3.dbf", 0x83, memo_fields);
  CreateTable(dir_ / "d4.dbf", 0x8B, memo_fields);
  CreateTable(dir_ / "fp.dbf", 0xF5, memo_fields);
  CreateTable(dir_ / "vf.dbf", 0x30,
              {{"ID", 'I', 0, 0}, {"AT", 'T', 0, 0}, {"PRICE", 'Y', 0, 0}, {"R", 'B', 0, 2}, {"NOTE", 'M', 0, 0}});
  EXPECT_EQ(ReadFileBytes(dir_ / "d3.dbt").size(), 512u);
  EXPECT_EQ(ReadFileBytes(dir_ / "d4.dbt").size(), 512u);
  EXPECT_EQ(ReadFileBytes(dir_ / "fp.fpt").size(), 512u);
  EXPECT_EQ(ReadFileBytes(dir_ / "vf.fpt").size(), 512u);
  KTO_dBaseFld vf(dir_ / "vf.dbf", true, false);
  EXPECT_EQ(vf.HeaderLength(), 32 + 5 * 32 + 1 + 263);
  EXPECT_TRUE(vf.HasMemo());
  EXPECT_EQ(vf.RecordLength(), 1 + 4 + 8 + 8 + 8 + 4);
  KTO_dBaseFld wide(dir_ / "d3.dbf", true, false);
  EXPECT_EQ(wide.FieldWidth(1), 300);
  EXPECT_EQ(wide.Field(1).length, 44);
  EXPECT_EQ(wide.Field(1).decimals, 1);
}

}  // namespace

namespace {

// Visual FoxPro writes the year modulo 100; the engine does the same in its
// tables so that FoxPro and its readers see the right year.
TEST(TableHeaderDate, FoxProTablesKeepTheYearModulo100) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  tessera::CreateTable(dir / "V.DBF", 0x30, {{"A", 'C', 5, 0}});
  {
    tessera::KTO_dBaseFld t(dir / "V.DBF", true, true);
    t.BlankRecord();
    t.PutTextN(1, "x");
    t.AppendRecord();
  }
  std::ifstream in(dir / "V.DBF", std::ios::binary);
  char h[4] = {};
  in.read(h, 4);
  EXPECT_EQ(static_cast<uint8_t>(h[1]), plat::Today().year % 100);
}

}  // namespace
