// A table's rename takes its memo file and its index files of the same name
// along, or moves nothing; it never replaces a file that is there, and a
// failure says what failed. Creating a tag with the GENERAL collation is
// refused before anything is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "shared_index_util.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::TempDir;
namespace fs = std::filesystem;

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A table with a memo field (NOTES.DBF and NOTES.DBT) and a compound index
// NOTES.CDX over its name field, three records.
void MakeNotes(const std::string& dir) {
  tessera::CreateTable(dir + "/NOTES.DBF", 0x83, {{"NAME", 'C', 10}, {"TEXT", 'M'}});
  KTO_dBHandler t(dir + "/NOTES.DBF", false, true);
  for (const char* name : {"ONE", "TWO", "THREE"}) {
    t.BlankRecord();
    t.PutText("NAME", name);
    int32_t size = 5;
    t.MemoWrite(2, "hello", &size);
    t.AppendRecord();
  }
  t.CreateIndexTag("NOTES.CDX", "NAME", "NAME", "", tessera::kDuplicateKeys, 0);
}

class TableRenameTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeNotes(dir_.path()); }
  std::unique_ptr<KTO_dBHandler> Open(bool with_index = true) {
    auto t = std::make_unique<KTO_dBHandler>(dir_ / "NOTES.DBF", true, true);
    if (with_index) {
      EXPECT_EQ(t->OpenIndexFile("NOTES.CDX"), 0);
    }
    return t;
  }
  // The table is still whole under its old name and takes a write.
  void ExpectUsableUnderOldName(KTO_dBHandler& t) {
    EXPECT_TRUE(fs::exists(dir_ / "NOTES.DBF"));
    EXPECT_TRUE(fs::exists(dir_ / "NOTES.DBT"));
    EXPECT_TRUE(fs::exists(dir_ / "NOTES.CDX"));
    t.GotoRecord(2);
    t.PutText("NAME", "TWICE");
    EXPECT_NO_THROW(t.WriteRecord(2));
    EXPECT_EQ(t.MemoText(2), "hello");
  }

  tessera::EngineScope engine_;
  TempDir dir_;
};

TEST_F(TableRenameTest, MovesTheMemoAndTheIndexAlong) {
  auto t = Open();
  ASSERT_TRUE(t->Rename(dir_ / "Letters"));
  // Names are found without regard to letter case, as the engine finds them.
  for (const char* gone : {"NOTES.DBF", "NOTES.DBT", "NOTES.CDX"}) EXPECT_FALSE(plat::FileExists(dir_ / gone)) << gone;
  for (const char* moved : {"Letters.DBF", "Letters.DBT", "Letters.CDX"})
    EXPECT_TRUE(plat::FileExists(dir_ / moved)) << moved;
  t->GotoRecord(3);
  EXPECT_EQ(t->MemoText(2), "hello");
  t->SelectMasterTag("NAME", false);
  EXPECT_TRUE(t->SeekKeyText("THREE"));
}

// The production index follows even when the table was opened without it:
// other programs look for it by the table's name.
TEST_F(TableRenameTest, MovesTheProductionIndexThatIsNotOpen) {
  auto t = Open(false);
  ASSERT_TRUE(t->Rename(dir_ / "Letters"));
  EXPECT_TRUE(fs::exists(dir_ / "Letters.CDX"));
  EXPECT_FALSE(fs::exists(dir_ / "NOTES.CDX"));
}

// Renaming onto a file that exists is refused, naming it, and destroys
// nothing: not the file, not the table, its memo or its index.
TEST_F(TableRenameTest, OntoAnExistingFileIsRefused) {
  for (const char* existing : {"Letters.DBF", "Letters.DBT", "Letters.CDX"}) {
    SCOPED_TRACE(existing);
    std::ofstream(dir_ / existing) << "keep me";
    auto t = Open();
    try {
      t->Rename(dir_ / "Letters");
      ADD_FAILURE() << "renamed onto " << existing;
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find("already exists"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(plat::UpperName(existing)), std::string::npos) << e.what();
    }
    EXPECT_EQ(Contents(dir_ / existing), "keep me");
    ExpectUsableUnderOldName(*t);
    t.reset();
    fs::remove(dir_ / existing);
  }
}

// A rename the system refuses is reported with its words (the reopen under
// the old name used to clear the error, so nothing was said).
TEST_F(TableRenameTest, FailureIsReportedWithWords) {
  auto t = Open();
  try {
    t->Rename(dir_ / "no-such-folder/Letters");
    ADD_FAILURE() << "renamed into a folder that does not exist";
  } catch (const tessera::ETesseraError& e) {
    // The system's words, then the file and where it was to go.
    EXPECT_NE(std::string(e.what()).find(" not found - " + plat::UpperName(dir_ / "NOTES.DBF") + " -> " +
                                         plat::UpperName(dir_ / "no-such-folder/Letters.DBF")),
              std::string::npos)
        << e.what();
  }
  ExpectUsableUnderOldName(*t);
}

// The GENERAL collation (sort orders 7 and 8) is refused before any file is
// made or changed, whatever the kind of index.
TEST(GeneralCollation, RefusedBeforeAnythingIsWritten) {
  tessera::EngineScope engine;
  TempDir dir;
  shared_index::MakeCallbook(dir.path(), shared_index::Kind::kCdx, 20);
  const std::string before = Contents(dir / "PYX.CDX");
  KTO_dBHandler t(dir / "Pyx.DBF", false, true);
  for (const char* file : {"PYX.CDX", "NEW.CDX", "PYX.MDX", "CALL.NTX", "CALL.NDX"}) {
    for (int order : {7, 8}) {
      SCOPED_TRACE(std::string(file) + " " + std::to_string(order));
      try {
        t.CreateIndexTag(file, "GEN", "CALL_", "", tessera::kDuplicateKeys, order);
        ADD_FAILURE() << "a tag was built";
      } catch (const tessera::ETesseraError& e) {
        EXPECT_NE(std::string(e.what()).find("GENERAL"), std::string::npos) << e.what();
      }
    }
  }
  EXPECT_EQ(Contents(dir / "PYX.CDX"), before);
  for (const char* none : {"NEW.CDX", "PYX.MDX", "CALL.NTX", "CALL.NDX"}) EXPECT_FALSE(fs::exists(dir / none)) << none;
}

}  // namespace
