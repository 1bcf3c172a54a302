// Opening and closing a dataset on the fixture callbook: the defaults of a
// new dataset, table and folder names, the field definitions, the index
// files and their tags, and the properties that reach an open table.
#include <unistd.h>

#include <fstream>

#include "dataset/alias_list.h"
#include "dataset/dbf_object.h"
#include "dataset_test_util.h"
#include "dbkit/db_error.h"
#include "engine/errors.h"

namespace dataset_test {
namespace {

using tessera::TTesseraDataSet;

class OpenTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyFixture("callbook", dir_.path()); }
  TempDir dir_;
  tessera::EngineScope engine_;
};

TEST_F(OpenTest, NewDataSetHasTheDefaults) {
  TTesseraDataSet ds;
  EXPECT_EQ(ds.About(), "Tessera Version 6.737 (08 Feb 01)");
  ds.SetAbout("something else");
  EXPECT_EQ(ds.About(), "Tessera Version 6.737 (08 Feb 01)");
  EXPECT_FALSE(ds.Active());
  EXPECT_TRUE(ds.AutoCalcFields());
  EXPECT_FALSE(ds.AutoFlush());
  EXPECT_EQ(ds.DatabaseName(), "");
  EXPECT_EQ(ds.EncryptionKey(), "");
  EXPECT_FALSE(ds.ExactCount());
  EXPECT_FALSE(ds.Exclusive());
  EXPECT_EQ(ds.Filter(), "");
  EXPECT_FALSE(ds.Filtered());
  EXPECT_EQ(ds.GetFilterOptions(), 0u);
  EXPECT_EQ(ds.IndexFiles().Count(), 0);
  EXPECT_EQ(ds.IndexName(), "");
  EXPECT_EQ(ds.LockProtocol(), tessera::kDefaultLock);
  EXPECT_EQ(ds.MasterFields(), "");
  EXPECT_EQ(ds.MasterSource(), nullptr);
  EXPECT_FALSE(ds.ReadOnly());
  EXPECT_EQ(ds.TableName(), "");
  EXPECT_TRUE(ds.TranslateASCII());
  EXPECT_FALSE(ds.UseDeleted());
  EXPECT_EQ(ds.UserID(), 0);
  EXPECT_EQ(ds.TagCount(), 0);
  EXPECT_EQ(ds.TagName(1), "");
  EXPECT_THROW(ds.RecordCount(), dbkit::DatabaseError);
}

TEST_F(OpenTest, TableNameGetsItsExtensionAndMissingTablesAreNamed) {
  TTesseraDataSet ds;
  try {
    ds.Open();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Table name missing");
  }
  ds.SetDatabaseName(dir_.path());
  ds.SetTableName("Pyx");
  ds.Open();
  EXPECT_EQ(ds.TableName(), "Pyx.DBF");
  EXPECT_EQ(ds.RecordCount(), 3000);
  EXPECT_EQ(ds.FieldCount(), 13);
  ds.Close();
  ds.SetTableName("NOPE");
  try {
    ds.Open();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot find file " + dir_.path() + "/NOPE.DBF");
  }
  EXPECT_FALSE(ds.Active());
}

TEST_F(OpenTest, DatabaseNameIsUpperCasedAndBecomesAnAlias) {
  TTesseraDataSet ds;
  ds.SetDatabaseName(dir_.path() + "/");
  EXPECT_EQ(ds.DatabaseName(), plat::UpperName(dir_.path()));
  ASSERT_TRUE(tessera::TAliasList::Instance().Find(dir_.path()).has_value());
  EXPECT_EQ(ds.TableDirectory(), plat::UpperName(dir_.path()) + "/");
  ds.SetTableName("pyx.dbf");
  ds.Open();
  EXPECT_TRUE(ds.Active());
  EXPECT_THROW(ds.SetDatabaseName("/elsewhere"), dbkit::DatabaseError);
  EXPECT_THROW(ds.SetTableName("other"), dbkit::DatabaseError);
  ds.Close();

  ds.SetDatabaseName("default directory");
  EXPECT_EQ(ds.DatabaseName(), "default directory");
  EXPECT_EQ(ds.TableDirectory(), tessera::ProgramDirectory());
  EXPECT_EQ(tessera::ProgramDirectory(), std::string(PYX_BINARY_DIR) + "/tests/dataset/");

  // No folder: the current directory.
  ds.SetDatabaseName("");
  EXPECT_EQ(ds.TableDirectory(), "");
  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(dir_.path());
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 3000);
  ds.Close();
  std::filesystem::current_path(cwd);
}

TEST_F(OpenTest, CallbookFieldsAreStringsOfTheirWidths) {
  TTesseraDataSet ds;
  ds.SetDatabaseName(dir_.path());
  ds.SetTableName("Pyx.DBF");
  ds.Open();
  const int widths[] = {10, 20, 15, 20, 6, 30, 25, 40, 15, 40, 20, 40, 40};
  ASSERT_EQ(ds.GetFieldDefs().Count(), 13);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(ds.GetFieldDefs()[i].type, dbkit::FieldType::kString);
    EXPECT_EQ(ds.GetFieldDefs()[i].size, widths[i]);
    EXPECT_EQ(ds.Fields(i)->FieldNo(), i + 1);
  }
  EXPECT_EQ(ds.Fields(0)->FieldName(), "CALL_");
  EXPECT_EQ(ds.BookmarkSize(), 11);
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 0);
}

TEST_F(OpenTest, IndexFilesOpenWithTheTableAndNameTheirTags) {
  CallbookDataSet c(dir_.path(), "CALL");
  c.ds.Open();
  EXPECT_EQ(c.ds.TagCount(), 11);
  // A compound file's directory holds its tags in name order.
  const char* names[] = {"CALL", "EMAIL", "FIO", "GOR", "IM", "IND", "OTCH", "REG", "STRANA", "TEL", "URL"};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(c.ds.TagName(i + 1), names[i]);
  EXPECT_EQ(c.ds.TagName(12), "");
  EXPECT_EQ(c.ds.TagName(0), "");
  EXPECT_EQ(c.ds.TagExpression(3), "FAM_+IM_+OTCH_");
  EXPECT_EQ(c.ds.TagExpression(99), "");
  const dbkit::IndexDefs& defs = c.ds.IndexDefs();
  ASSERT_EQ(defs.Count(), 11);
  EXPECT_EQ(defs[2].fields, "FAM_;IM_;OTCH_");
  EXPECT_EQ(defs[0].name, "CALL");
  EXPECT_EQ(defs[0].fields, "CALL_");
  // The first card in callsign order.
  EXPECT_EQ(c.ds.RecNo(), c.ds.Table()->CurrentRecord());
  EXPECT_FALSE(c.ds.IsSequenced());
  c.ds.SeekValues({"QZ6ZZZ"});
  EXPECT_EQ(c.Call(), "QZ6ZZZ");
  EXPECT_EQ(c.ds.RecNo(), 1001);
}

TEST_F(OpenTest, IndexFileListChangesReopenTheFiles) {
  CallbookDataSet c(dir_.path(), "CALL");
  c.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  // The same file twice.
  try {
    c.ds.IndexFiles().Add("pyx.cdx");
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Index file " + dir_.path() + "/PYX.CDX already open");
  }
  c.ds.IndexFiles().Delete(1);
  // Reselected, keeping the card.
  EXPECT_EQ(c.ds.IndexName(), "CALL");
  EXPECT_EQ(c.Call(), "QZ6ZZZ");
  // An empty list: record order, no master tag.
  c.ds.IndexFiles().Clear();
  EXPECT_EQ(c.ds.IndexName(), "");
  EXPECT_EQ(c.ds.TagCount(), 0);
  EXPECT_TRUE(c.ds.IsSequenced());
  EXPECT_TRUE(c.ds.Active());
  try {
    c.ds.SeekValues({"QZ6ZZZ"});
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "No index is assigned for Find operation");
  }
  try {
    c.ds.IndexFiles().Add("MISSING.CDX");
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot find file " + dir_.path() + "/MISSING.CDX");
  }
  // A closed dataset is opened to check the list and closed again.
  c.ds.Close();
  c.ds.IndexFiles().Clear();
  c.ds.IndexFiles().Add("PYX.CDX");
  EXPECT_FALSE(c.ds.Active());
  EXPECT_THROW(c.ds.IndexFiles().Add("PYX.CDX"), dbkit::DatabaseError);
  EXPECT_FALSE(c.ds.Active());
}

TEST_F(OpenTest, AnUnknownMasterTagIsTheEnginesError) {
  CallbookDataSet c(dir_.path(), "NOSUCH");
  EXPECT_THROW(c.ds.Open(), tessera::ETesseraError);
  EXPECT_FALSE(c.ds.Active());
  c.ds.SetIndexName("CALL");
  c.ds.Open();
  EXPECT_THROW(c.ds.SetIndexName("NOSUCH"), tessera::ETesseraError);
  EXPECT_EQ(c.ds.IndexName(), "CALL");
}

TEST_F(OpenTest, PropertiesReachTheOpenTable) {
  CallbookDataSet c(dir_.path(), "CALL");
  c.ds.SetAutoFlush(true);
  c.ds.SetUserID(77);
  c.ds.SetLockProtocol(tessera::kClipLock);
  c.ds.Open();
  tessera::DBFObject* t = c.ds.Table();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->AutoFlush());
  EXPECT_EQ(t->UserId(), 77);
  EXPECT_EQ(t->LockProtocol(), tessera::kClipLock);
  EXPECT_FALSE(t->UseDeleted());
  EXPECT_TRUE(t->IsShared());
  c.ds.SetAutoFlush(false);
  c.ds.SetUseDeleted(true);
  c.ds.SetUserID(5);
  c.ds.SetLockProtocol(tessera::kFoxLock);
  EXPECT_FALSE(t->AutoFlush());
  EXPECT_TRUE(t->UseDeleted());
  EXPECT_EQ(t->UserId(), 5);
  EXPECT_EQ(t->LockProtocol(), tessera::kFoxLock);
  EXPECT_THROW(c.ds.SetExclusive(true), dbkit::DatabaseError);
  EXPECT_THROW(c.ds.SetReadOnly(true), dbkit::DatabaseError);
  EXPECT_THROW(c.ds.SetEncryptionKey("k"), dbkit::DatabaseError);
  c.ds.Close();
  EXPECT_EQ(c.ds.Table(), nullptr);
  c.ds.SetExclusive(true);
  c.ds.Open();
  EXPECT_FALSE(c.ds.Table()->IsShared());
}

TEST_F(OpenTest, ReadOnlyTablesCannotBeModified) {
  CallbookDataSet c(dir_.path(), "CALL");
  c.ds.SetReadOnly(true);
  c.ds.Open();
  EXPECT_FALSE(c.ds.CanModify());
  EXPECT_THROW(c.ds.Edit(), dbkit::DatabaseError);
  c.ds.Close();
  c.ds.SetReadOnly(false);
  // A file the user may not write opens read-only.
  std::filesystem::permissions(dir_ / "Pyx.DBF", std::filesystem::perms::owner_read, std::filesystem::perm_options::replace);
  if (::access((dir_ / "Pyx.DBF").c_str(), W_OK) == 0) GTEST_SKIP() << "running as a user who writes anything";
  c.ds.Open();
  EXPECT_FALSE(c.ds.CanModify());
  EXPECT_FALSE(c.ds.Table()->IsWritable());
}

TEST_F(OpenTest, DamagedFilesFailCleanly) {
  // An index file that is no index: the engine's error, the dataset closed.
  {
    std::ofstream(dir_ / "JUNK.CDX") << std::string(1500, 'x');
    CallbookDataSet c(dir_.path(), "CALL");
    c.ds.IndexFiles().Clear();
    c.ds.IndexFiles().Add("JUNK.CDX");
    EXPECT_THROW(c.ds.Open(), std::runtime_error);
    EXPECT_FALSE(c.ds.Active());
    EXPECT_EQ(c.ds.Table(), nullptr);
  }
  // A table cut in the middle of its records: the cards that are there are
  // shown, the cut one is not.
  std::filesystem::resize_file(dir_ / "Pyx.DBF", 449 + 322 * 10 + 100);
  std::filesystem::remove(dir_ / "PYX.CDX");
  tessera::TTesseraDataSet ds;
  ds.SetDatabaseName(dir_.path());
  ds.SetTableName("Pyx.DBF");
  ds.Open();
  int n = 0;
  for (ds.First(); !ds.Eof() && n < 100; ds.Next()) ++n;
  EXPECT_LE(n, 10);
  EXPECT_GE(n, 9);
  ds.Close();
  // A header that is no table header.
  std::ofstream(dir_ / "Pyx.DBF", std::ios::trunc) << std::string(40, '\xff');
  EXPECT_THROW(ds.Open(), std::runtime_error);
  EXPECT_FALSE(ds.Active());
}

}  // namespace
}  // namespace dataset_test
