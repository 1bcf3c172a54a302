// Changing the callbook through the dataset: edit, post, cancel, insert,
// append, delete and undelete keep all eleven tags consistent (what
// `tessera check` verifies); texts typed in the window code page land in
// the table's code page; a record another process has locked cannot be
// edited.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "dataset_test_util.h"
#include "dbkit/db_error.h"
#include "engine/text_helpers.h"

namespace dataset_test {
namespace {

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyFixture("callbook", dir_.path()); }
  std::string Table() { return dir_ / "Pyx.DBF"; }
  TempDir dir_;
  tessera::EngineScope engine_;
};

TEST_F(EditTest, EditAndPostKeepsEveryTagCurrent) {
  {
    CallbookDataSet c(dir_.path(), "CALL", 25);
    c.ds.Open();
    c.ds.SeekValues({"QZ6ZZZ"});
    ASSERT_EQ(c.Call(), "QZ6ZZZ");
    c.ds.Edit();
    EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kEdit);
    c.ds.FieldByName("CALL_")->SetAsString("QZ6ZZA");
    c.ds.FieldByName("FAM_")->SetAsString(Ansi("Щукин"));
    c.ds.FieldByName("GOR_")->SetAsString(Ansi("Нижний Новгород"));
    EXPECT_TRUE(c.ds.Modified());
    c.ds.Post();
    EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kBrowse);
    EXPECT_EQ(c.ds.RecNo(), 1001);
    EXPECT_EQ(c.ds.FieldByName("FAM_")->AsString(), Ansi("Щукин"));
    // Found again through the tags that changed.
    c.ds.SeekValues({"QZ6ZZZ"});
    EXPECT_NE(c.ds.RecNo(), 1001);
    c.ds.SeekValues({"QZ6ZZA"});
    EXPECT_EQ(c.ds.RecNo(), 1001);
    c.ds.SetIndexName("FIO");
    c.ds.SeekValues({Ansi("Щукин")});
    EXPECT_EQ(c.ds.FieldByName("FAM_")->AsString(), Ansi("Щукин"));
  }
  // Stored in the table's code page, blank-filled to the field's width.
  EXPECT_EQ(StoredRaw(Table(), 1001, "FAM_"), plat::Utf8ToOem("Щукин") + std::string(15, ' '));
  EXPECT_EQ(StoredRaw(Table(), 1001, "CALL_"), "QZ6ZZA    ");
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

TEST_F(EditTest, OtherXBaseToolsReadTheTypedCyrillicText) {
  {
    CallbookDataSet c(dir_.path(), "CALL");
    c.ds.Open();
    c.ds.SeekValues({"QZ6ZZZ"});
    c.ds.Edit();
    c.ds.FieldByName("FAM_")->SetAsString(Ansi("Щукин"));
    c.ds.Post();
  }
  // Debian's reader belongs to Debian's interpreter.
  if (std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3-dbfread missing";
  const std::string cmd = "/usr/bin/python3 -c \"import dbfread,sys; t=dbfread.DBF(sys.argv[1], encoding='cp866'); "
                          "r=[x for i,x in enumerate(t) if i==1000][0]; sys.stdout.write(r['FAM_'])\" " +
                          Table();
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char out[256] = {};
  const size_t n = std::fread(out, 1, sizeof out - 1, p);
  ::pclose(p);
  EXPECT_EQ(std::string(out, n), "Щукин");
}

TEST_F(EditTest, CancelLeavesTheCardAndReleasesItsLock) {
  CallbookDataSet c(dir_.path(), "CALL");
  CallbookDataSet other(dir_.path(), "CALL");
  c.ds.Open();
  other.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  other.ds.SeekValues({"QZ6ZZZ"});
  c.ds.Edit();
  c.ds.FieldByName("CALL_")->SetAsString("XX1XX");
  // A second dataset (its own open file, its own locks) is refused.
  try {
    other.ds.Edit();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record is locked by another user");
  }
  EXPECT_EQ(other.ds.State(), dbkit::DataSetState::kBrowse);
  c.ds.Cancel();
  EXPECT_EQ(c.Call(), "QZ6ZZZ");
  EXPECT_EQ(StoredRaw(Table(), 1001, "CALL_"), "QZ6ZZZ    ");
  other.ds.Edit();
  EXPECT_EQ(other.ds.State(), dbkit::DataSetState::kEdit);
  other.ds.Cancel();
}

TEST_F(EditTest, EditSeesAnotherUsersChange) {
  CallbookDataSet c(dir_.path(), "CALL");
  CallbookDataSet other(dir_.path(), "CALL");
  c.ds.Open();
  other.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  other.ds.SeekValues({"QZ6ZZZ"});
  other.ds.Edit();
  other.ds.FieldByName("TEL_")->SetAsString("555-0100");
  other.ds.Post();
  c.ds.Edit();
  EXPECT_EQ(c.ds.FieldByName("TEL_")->AsString(), "555-0100");
  c.ds.FieldByName("PRIM_")->SetAsString("note");
  c.ds.Post();
  EXPECT_EQ(StoredRaw(Table(), 1001, "TEL_"), "555-0100       ");
  EXPECT_EQ(tessera::TrimRightText(StoredRaw(Table(), 1001, "PRIM_")), "note");
}

TEST_F(EditTest, ARecordLockedByAnotherProcessCannotBeEdited) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The other program: the callbook with its index, record 1001 locked.
    int code = 1;
    try {
      tessera::KTO_dBHandler t(Table(), true, true);
      t.OpenIndexFile("PYX.CDX");
      t.GotoRecord(1001);
      if (t.LockRecord()) code = 0;
      char b = static_cast<char>(code);
      if (::write(ready[1], &b, 1) != 1) code = 1;
      // Held until the test lets go.
      if (::read(release[0], &b, 1) != 1) code = 1;
    } catch (...) {
      code = 1;
    }
    ::_exit(code);
  }
  char b = 1;
  ASSERT_EQ(::read(ready[0], &b, 1), 1);
  ASSERT_EQ(b, 0);
  {
    CallbookDataSet c(dir_.path(), "CALL");
    c.ds.Open();
    c.ds.SeekValues({"QZ6ZZZ"});
    try {
      c.ds.Edit();
      ADD_FAILURE() << "edit of a locked record";
    } catch (const dbkit::DatabaseError& e) {
      EXPECT_STREQ(e.what(), "Record is locked by another user");
    }
    EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kBrowse);
    EXPECT_EQ(c.Call(), "QZ6ZZZ");
    // Its neighbour is free.
    c.ds.Next();
    c.ds.Edit();
    c.ds.Cancel();
    // Deleting the locked card is refused as well.
    c.ds.SeekValues({"QZ6ZZZ"});
    EXPECT_THROW(c.ds.Delete(), dbkit::DatabaseError);
    EXPECT_EQ(StoredRaw(Table(), 1001, "CALL_"), "QZ6ZZZ    ");
    b = 0;
    ASSERT_EQ(::write(release[1], &b, 1), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Once the other program has let go, the edit goes through.
    c.ds.Edit();
    EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kEdit);
    c.ds.Cancel();
  }
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST_F(EditTest, InsertAndAppendAddCardsToEveryTag) {
  {
    CallbookDataSet c(dir_.path(), "CALL", 25);
    c.ds.Open();
    c.ds.SeekValues({"R"});
    c.ds.Insert();
    EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kInsert);
    EXPECT_TRUE(c.ds.FieldByName("CALL_")->IsNull());
    c.ds.FieldByName("CALL_")->SetAsString("RA0NEW");
    c.ds.FieldByName("FAM_")->SetAsString(Ansi("Ёлкин"));
    c.ds.Post();
    EXPECT_EQ(c.ds.RecNo(), 3001);
    EXPECT_EQ(c.Call(), "RA0NEW");
    c.ds.Append();
    c.ds.FieldByName("CALL_")->SetAsString("RA0NEX");
    c.ds.Post();
    EXPECT_EQ(c.ds.RecNo(), 3002);
    EXPECT_EQ(c.ds.RecordCount(), 3002);
    // An insert given up adds nothing.
    c.ds.Append();
    c.ds.FieldByName("CALL_")->SetAsString("RA0NEY");
    c.ds.Cancel();
    EXPECT_EQ(c.ds.RecordCount(), 3002);
    c.ds.AppendRecord({"RA0NEZ", Ansi("Жуков")});
    EXPECT_EQ(c.ds.RecordCount(), 3003);
    c.ds.SeekValues({"RA0NE"});
    EXPECT_EQ(c.Call(), "RA0NEW");
    c.ds.Next();
    EXPECT_EQ(c.Call(), "RA0NEX");
    c.ds.Next();
    EXPECT_EQ(c.Call(), "RA0NEZ");
    c.ds.SetIndexName("FIO");
    c.ds.SeekValues({Ansi("Ёлкин")});
    EXPECT_EQ(c.ds.RecNo(), 3001);
  }
  EXPECT_EQ(StoredRaw(Table(), 3001, "FAM_"), plat::Utf8ToOem("Ёлкин") + std::string(15, ' '));
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

TEST_F(EditTest, DeleteMovesOnAndUndeleteBringsTheCardBack) {
  {
    CallbookDataSet c(dir_.path(), "CALL", 25);
    c.ds.Open();
    c.ds.SeekValues({"QZ6ZZZ"});
    c.ds.Next();
    const int32_t next = c.ds.RecNo();
    c.ds.Prior();
    c.ds.Delete();
    EXPECT_EQ(c.ds.RecNo(), next);
    c.ds.SeekValues({"QZ6ZZZ"});
    EXPECT_NE(c.Call(), "QZ6ZZZ");

    // The last card in callsign order: the new last card is shown.
    c.ds.Last();
    const int32_t last = c.ds.RecNo();
    c.ds.Prior();
    const int32_t before_last = c.ds.RecNo();
    c.ds.Last();
    c.ds.Delete();
    EXPECT_EQ(c.ds.RecNo(), before_last);
    c.ds.Next();
    EXPECT_TRUE(c.ds.Eof());

    // Shown again with deleted cards visible, and recalled.
    c.ds.SetUseDeleted(true);
    c.ds.Refresh();
    c.ds.SeekValues({"QZ6ZZZ"});
    ASSERT_EQ(c.ds.RecNo(), 1001);
    c.ds.Undelete();
    c.ds.SetRecNo(last);
    c.ds.Undelete();
    c.ds.SetUseDeleted(false);
    c.ds.SeekValues({"QZ6ZZZ"});
    EXPECT_EQ(c.ds.RecNo(), 1001);
    c.ds.Last();
    EXPECT_EQ(c.ds.RecNo(), last);
  }
  EXPECT_EQ(StoredRaw(Table(), 1001, "CALL_"), "QZ6ZZZ    ");
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

TEST_F(EditTest, FieldsRefuseChangesOutsideAnEdit) {
  CallbookDataSet c(dir_.path(), "CALL");
  c.ds.Open();
  try {
    c.ds.FieldByName("CALL_")->SetAsString("X");
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
  }
  c.ds.FieldByName("CALL_")->SetReadOnly(true);
  c.ds.Edit();
  try {
    c.ds.FieldByName("CALL_")->SetAsString("X");
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'CALL_' cannot be modified");
  }
  // Too long for the field.
  EXPECT_THROW(c.ds.FieldByName("IND_")->SetAsString("1234567"), dbkit::DatabaseError);
  c.ds.Cancel();
  // A blank field reads as no value; trailing blanks are not part of it.
  c.ds.SetIndexName("");
  c.ds.SetRecNo(601);
  EXPECT_TRUE(c.ds.FieldByName("CALL_")->IsNull());
  EXPECT_EQ(c.ds.FieldByName("FAM_")->AsString(), "");
}

}  // namespace
}  // namespace dataset_test
