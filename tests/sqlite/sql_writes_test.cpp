// Writes through SQL: every tag of the table's index kept current (the
// index check finds nothing), ROLLBACK and a statement that fails part-way
// take their records back, a column an UPDATE does not set keeps the bytes
// the record holds, a memo is never overwritten before its record is, and
// a record another program holds locked is reported as busy.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "sqlite/sql_test_util.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace {

using sql_test::FileBytes;
using sql_test::Quoted;
using sql_test::Sql;
using testing_support::TempDir;

class SqlWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::EngineStart();
    sql_test::CopyFixture(testing_support::FixturePath("callbook"), dir_.path());
    sql_.Ok("CREATE VIRTUAL TABLE pyx USING tessera(" + Quoted(dir_ / "Pyx.DBF") + ", wait=0)");
  }
  void TearDown() override { tessera::EngineStop(); }

  // The faults the index check finds in PYX.CDX.
  std::vector<std::string> IndexFaults() {
    tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
    t.OpenIndexFile("PYX.CDX");
    return tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)));
  }
  std::vector<std::string> Visible() { return sql_.Rows("SELECT rowid, * FROM pyx ORDER BY rowid"); }

  TempDir dir_;
  Sql sql_;
};

TEST_F(SqlWrites, InsertUpdateDeleteKeepEveryTagCurrent) {
  sql_.Ok("INSERT INTO pyx (call_, fam_, im_, otch_, gor_) VALUES ('ZZ9ZZ', 'Тестов', 'Тест', 'Тестович', 'Уфа')");
  sql_.Ok("UPDATE pyx SET fam_ = 'Ёжиков', call_ = 'ZZ8ZZ' WHERE call_ = 'ZZ9ZZ'");
  sql_.Ok("UPDATE pyx SET tel_ = '123' WHERE gor_ = 'Уфа'");
  sql_.Ok("DELETE FROM pyx WHERE rowid IN (1, 2, 3)");
  // Deleted records are hidden: one is recalled through a table that shows them.
  sql_.Ok("CREATE VIRTUAL TABLE shown USING tessera(" + Quoted(dir_ / "Pyx.DBF") + ", deleted=show)");
  sql_.Ok("UPDATE shown SET _deleted = 0 WHERE rowid = 2");
  EXPECT_EQ(IndexFaults(), std::vector<std::string>{});
  EXPECT_EQ(sql_.One("SELECT rowid, fam_ FROM pyx WHERE call_ = 'ZZ8ZZ'"), "i:3001|t:Ёжиков");
  EXPECT_EQ(sql_.One("SELECT count(*) FROM pyx WHERE fam_ = 'Ёжиков' AND im_ = 'Тест'"), "i:1");
  EXPECT_EQ(sql_.One("SELECT count(*) FROM pyx WHERE rowid <= 3"), "i:1");
  EXPECT_EQ(sql_.One("SELECT group_concat(rowid) FROM pyx WHERE rowid <= 3"), "t:2");
  tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
  t.GotoRecord(1);
  EXPECT_TRUE(t.IsDeleted());
  t.GotoRecord(3001);
  EXPECT_EQ(t.GetRawN(2), "\xF0\xA6\xA8\xAA\xAE\xA2              ");
}

TEST_F(SqlWrites, RollbackTakesBackNewChangedAndDeletedRecords) {
  const auto before = Visible();
  sql_.Ok("BEGIN");
  sql_.Ok("INSERT INTO pyx (call_) VALUES ('ZZ1AA'), ('ZZ1AB')");
  sql_.Ok("UPDATE pyx SET fam_ = 'Другой', call_ = 'ZZ1AC' WHERE rowid BETWEEN 10 AND 12");
  sql_.Ok("DELETE FROM pyx WHERE rowid = 20");
  sql_.Ok("UPDATE pyx SET fam_ = 'Третий' WHERE rowid = 10");  // twice in one transaction
  EXPECT_EQ(sql_.One("SELECT count(*) FROM pyx WHERE call_ LIKE 'ZZ1A%'"), "i:5");
  sql_.Ok("ROLLBACK");
  EXPECT_EQ(Visible(), before);
  EXPECT_EQ(sql_.One("SELECT count(*) FROM pyx WHERE call_ LIKE 'ZZ1A%'"), "i:0");
  EXPECT_EQ(IndexFaults(), std::vector<std::string>{});
  // The new records stay where they were appended, marked deleted.
  sql_.Ok("CREATE VIRTUAL TABLE everything USING tessera(" + Quoted(dir_ / "Pyx.DBF") + ", deleted=only)");
  EXPECT_EQ(sql_.Rows("SELECT rowid, call_ FROM everything WHERE rowid > 3000"),
            (std::vector<std::string>{"i:3001|t:ZZ1AA", "i:3002|t:ZZ1AB"}));
}

TEST_F(SqlWrites, AStatementThatFailsPartWayLeavesNoneOfItsRows) {
  const auto before = Visible();
  sql_.Ok("CREATE TABLE incoming(call_ TEXT)");
  sql_.Ok("INSERT INTO incoming VALUES ('ZZ2AA'), ('ZZ2AB'), ('FAR TOO LONG A CALL'), ('ZZ2AD')");
  std::string error;
  EXPECT_EQ(sql_.Exec("INSERT INTO pyx (call_) SELECT call_ FROM incoming ORDER BY rowid", &error), SQLITE_ERROR);
  EXPECT_NE(error.find("field CALL_ is 19 characters long"), std::string::npos) << error;
  EXPECT_EQ(Visible(), before);
  // Inside a transaction the statement goes alone; what came before stays.
  const auto calls = sql_.Rows("SELECT call_ FROM pyx WHERE rowid IN (5, 6)");
  sql_.Ok("BEGIN");
  sql_.Ok("INSERT INTO pyx (call_) VALUES ('ZZ3AA')");
  EXPECT_EQ(sql_.Exec("UPDATE pyx SET call_ = call_ || 'XXXXX' WHERE rowid IN (5, 6)", &error), SQLITE_ERROR);
  sql_.Ok("COMMIT");
  EXPECT_EQ(sql_.One("SELECT count(*) FROM pyx WHERE call_ = 'ZZ3AA'"), "i:1");
  EXPECT_EQ(sql_.Rows("SELECT call_ FROM pyx WHERE rowid IN (5, 6)"), calls);
  EXPECT_EQ(IndexFaults(), std::vector<std::string>{});
}

TEST_F(SqlWrites, AnUpdateKeepsTheBytesOfTheColumnsItDoesNotSet) {
  TempDir d;
  const std::string dbf = d / "K.DBF";
  tessera::CreateTable(dbf, 0x83, {{"NAME", 'C', 8}, {"AMOUNT", 'N', 8, 2}, {"NOTE", 'M'}});
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE k USING tessera(" + Quoted(dbf) + ")");
  sql.Ok("INSERT INTO k VALUES ('a', 1, 'first memo')");
  {
    // Another program's spelling of the number, which the module would
    // write as "    1.00".
    tessera::KTO_dBHandler t(dbf, true, true);
    t.GotoRecord(1);
    t.PutRawN(2, "1.0");
    t.WriteRecord(1);
  }
  sql.Ok("UPDATE k SET name = 'b'");
  tessera::KTO_dBHandler t(dbf, true, false);
  t.GotoRecord(1);
  EXPECT_EQ(t.GetRawN(2), "     1.0");
  const int32_t block = t.MemoBlock(3);
  // A changed memo goes to new blocks; the old stays for the record until
  // the record itself is written (and for ROLLBACK).
  sql.Ok("UPDATE k SET note = 'second memo, longer than the first one'");
  t.GotoRecord(1);
  EXPECT_NE(t.MemoBlock(3), block);
  EXPECT_EQ(t.MemoText(3), "second memo, longer than the first one");
  sql.Ok("BEGIN; UPDATE k SET note = 'third'; ROLLBACK");
  t.GotoRecord(1);
  EXPECT_EQ(t.MemoText(3), "second memo, longer than the first one");
}

TEST_F(SqlWrites, ARecordAnotherProgramHoldsIsBusy) {
  tessera::KTO_dBHandler other(dir_ / "Pyx.DBF", true, true);
  other.OpenIndexFile("PYX.CDX");
  other.GotoRecord(7);
  ASSERT_TRUE(other.LockRecord());
  const auto before = Visible();
  std::string error;
  EXPECT_EQ(sql_.Exec("UPDATE pyx SET tel_ = '1' WHERE rowid = 7", &error), SQLITE_BUSY);
  EXPECT_EQ(error, "Record is locked by another user");
  EXPECT_EQ(sql_.Exec("DELETE FROM pyx WHERE rowid = 7", &error), SQLITE_BUSY);
  sql_.Ok("UPDATE pyx SET tel_ = '1' WHERE rowid = 8");  // the others are free
  other.UnlockTable();
  sql_.Ok("UPDATE pyx SET tel_ = '1' WHERE rowid = 7");
  EXPECT_EQ(sql_.Rows("SELECT tel_ FROM pyx WHERE rowid IN (7, 8)"), (std::vector<std::string>{"t:1", "t:1"}));
  (void)before;
  // The append region too.
  ASSERT_TRUE(other.LockAppend());
  EXPECT_EQ(sql_.Exec("INSERT INTO pyx (call_) VALUES ('ZZ4AA')", &error), SQLITE_BUSY);
  other.UnlockTable();
  sql_.Ok("INSERT INTO pyx (call_) VALUES ('ZZ4AA')");
  EXPECT_EQ(IndexFaults(), std::vector<std::string>{});
}

TEST_F(SqlWrites, TriggersAndViewsOfADatabaseCannotReachTheFiles) {
  sql_.Ok("CREATE TABLE other(x)");
  sql_.Ok("CREATE TRIGGER wipe AFTER INSERT ON other BEGIN DELETE FROM pyx; END");
  sql_.Ok("CREATE VIEW cards AS SELECT * FROM pyx");
  const auto before = Visible();
  std::string error;
  EXPECT_EQ(sql_.Exec("INSERT INTO other VALUES (1)", &error), SQLITE_ERROR);
  EXPECT_NE(error.find("unsafe use of virtual table"), std::string::npos) << error;
  EXPECT_EQ(sql_.Exec("SELECT count(*) FROM cards", &error), SQLITE_ERROR);
  EXPECT_EQ(Visible(), before);
}

TEST_F(SqlWrites, ATableWhoseOwnIndexCannotBeOpenedIsReadButNotWritten) {
  {
    // PYX.CDX torn: its header block is overwritten.
    std::fstream cdx(dir_ / "PYX.CDX", std::ios::in | std::ios::out | std::ios::binary);
    const std::string garbage(512, '\x7F');
    cdx.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  const std::string table_before = FileBytes(dir_ / "Pyx.DBF");
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE p USING tessera(" + Quoted(dir_ / "Pyx.DBF") + ")");
  EXPECT_EQ(sql.One("SELECT count(*) FROM p WHERE call_ = 'RW9VN'"), "i:2");
  EXPECT_NE(sql.Plan("SELECT * FROM p WHERE call_ = 'RW9VN'").find("INDEX 0:recno"), std::string::npos);
  std::string error;
  EXPECT_EQ(sql.Exec("UPDATE p SET tel_ = '1' WHERE rowid = 1", &error), SQLITE_ERROR);
  EXPECT_NE(error.find("Pyx.DBF cannot be written: its index could not be opened"), std::string::npos) << error;
  EXPECT_NE(error.find("PYX.CDX"), std::string::npos) << error;
  EXPECT_EQ(FileBytes(dir_ / "Pyx.DBF"), table_before);
}

TEST_F(SqlWrites, ReadOnlyFilesAreReadAndRefuseWrites) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes to read-only files";
  std::filesystem::permissions(dir_ / "Pyx.DBF", std::filesystem::perms::owner_read);
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE r USING tessera(" + Quoted(dir_ / "Pyx.DBF") + ")");
  EXPECT_EQ(sql.One("SELECT count(*) FROM r"), "i:2993");
  std::string error;
  EXPECT_EQ(sql.Exec("DELETE FROM r WHERE rowid = 1", &error), SQLITE_ERROR);
  EXPECT_NE(error.find("cannot be written: the file is read-only"), std::string::npos) << error;
}

}  // namespace
