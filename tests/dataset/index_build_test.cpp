// Keeping an index file in good order through the dataset: inspecting it
// without opening it for the dataset, building tags into a new file that
// replaces it only when committed, and edits of records another program
// changed or deleted behind the dataset's back.
#include <fstream>
#include <map>

#include "dataset/dbf_object.h"
#include "dataset/index_file_build.h"
#include "dataset_test_util.h"
#include "dbkit/db_error.h"
#include "platform/file.h"
#include "platform/write_faults.h"

namespace dataset_test {
namespace {

namespace fs = std::filesystem;
using tessera::TIndexFileBuild;
using tessera::TIndexTagDef;

// A tag over every record, duplicates allowed, ascending.
TIndexTagDef Tag(const char* name, const char* expression) { return {name, expression, "", false, false}; }

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

void WriteAt(const std::string& path, int64_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class IndexBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFixture("callbook", dir_.path());
    ds_.SetDatabaseName(dir_.path());
    ds_.SetTableName("Pyx.DBF");
  }
  // The tags of the dataset's open index files: name -> key expression.
  std::map<std::string, std::string> OpenTags() {
    std::map<std::string, std::string> out;
    for (int i = 1; i <= ds_.TagCount(); ++i) out[ds_.TagName(i)] = ds_.TagExpression(i);
    return out;
  }
  void ReopenWithIndex() {
    ds_.Close();
    ds_.IndexFiles().Add("PYX.CDX");
    ds_.Open();
  }

  TempDir dir_;
  tessera::EngineScope engine_;
  tessera::TTesseraDataSet ds_;
};

TEST_F(IndexBuildTest, InspectTellsTagsInterruptedWritesAndMissingCards) {
  ds_.Open();
  tessera::TIndexFileReport r = ds_.InspectIndexFile("PYX.CDX");
  EXPECT_TRUE(r.readable);
  EXPECT_FALSE(r.interrupted);
  EXPECT_TRUE(r.faults.empty());
  ASSERT_EQ(r.tags.size(), 11u);
  std::map<std::string, std::string> tags;
  for (const TIndexTagDef& t : r.tags) {
    tags[t.name] = t.key_expression;
    EXPECT_TRUE(t.for_expression.empty() && !t.unique && !t.descending) << t.name;
  }
  EXPECT_EQ(tags["FIO"], "FAM_+IM_+OTCH_");
  EXPECT_EQ(tags["URL"], "URL_");
  // Inspecting opens nothing for the dataset.
  EXPECT_EQ(ds_.TagCount(), 0);

  // A card appended by a program that did not keep the index.
  ds_.Close();
  {
    tessera::KTO_dBaseFld t(dir_ / "Pyx.DBF", false, true);
    t.BlankRecord();
    t.PutText("CALL_", "QZ1AAA");
    t.AppendRecord();
  }
  ds_.Open();
  r = ds_.InspectIndexFile("PYX.CDX");
  EXPECT_TRUE(r.readable);
  EXPECT_EQ(r.faults.size(), 11u);
  EXPECT_NE(r.faults[0].find("3000 keys for 3001 records"), std::string::npos) << r.faults[0];

  // The mark of a writer that was stopped.
  WriteAt(dir_ / "PYX.CDX", 16, "TSRWRITE");
  r = ds_.InspectIndexFile("PYX.CDX");
  EXPECT_TRUE(r.interrupted);
  EXPECT_EQ(r.tags.size(), 11u);

  // A tag directory that cannot be read: no definitions.
  WriteAt(dir_ / "PYX.CDX", 0, "\xff\xff\xff\x7f");
  r = ds_.InspectIndexFile("PYX.CDX");
  EXPECT_FALSE(r.readable);
  EXPECT_TRUE(r.tags.empty());

  try {
    ds_.InspectIndexFile("NONE.CDX");
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot find file " + dir_.path() + "/NONE.CDX");
  }
}

TEST_F(IndexBuildTest, TheIndexIsReplacedOnlyWhenTheBuildIsCommitted) {
  ds_.Open();
  const std::string before = ReadFile(dir_ / "PYX.CDX");
  const std::vector<std::string> files = FilesIn(dir_.path());
  {
    TIndexFileBuild build(ds_, "PYX.CDX", false);
    build.CreateTag(Tag("CALL", "CALL_"));
    EXPECT_TRUE(fs::exists(build.BuildPath()));
    EXPECT_EQ(ReadFile(dir_ / "PYX.CDX"), before);
  }  // given up
  EXPECT_EQ(FilesIn(dir_.path()), files);
  EXPECT_EQ(ReadFile(dir_ / "PYX.CDX"), before);
  {
    TIndexFileBuild build(ds_, "PYX.CDX", false);
    build.CreateTag(Tag("CALL", "CALL_"));
    build.CreateTag({"ZIP", "IND_", "", false, true});
    EXPECT_TRUE(build.Commit());
  }
  EXPECT_EQ(FilesIn(dir_.path()), files);
  ReopenWithIndex();
  EXPECT_EQ(OpenTags(), (std::map<std::string, std::string>{{"CALL", "CALL_"}, {"ZIP", "IND_"}}));
  ds_.SetIndexName("CALL");
  ds_.SeekValues({"QZ6ZZZ"});
  EXPECT_EQ(ds_.RecNo(), 1001);
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

TEST_F(IndexBuildTest, ABuildFromTheCurrentFileKeepsItsOtherTags) {
  ds_.Open();
  {
    TIndexFileBuild build(ds_, "PYX.CDX", true);
    build.CreateTag(Tag("FIO", "FAM_"));  // replaces the copy's FIO
    build.CreateTag(Tag("ZIP", "IND_+GOR_"));
    EXPECT_TRUE(build.Commit());
  }
  ReopenWithIndex();
  const std::map<std::string, std::string> tags = OpenTags();
  EXPECT_EQ(tags.size(), 12u);
  EXPECT_EQ(tags.at("FIO"), "FAM_");
  EXPECT_EQ(tags.at("ZIP"), "IND_+GOR_");
  EXPECT_EQ(tags.at("CALL"), "CALL_");
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

TEST_F(IndexBuildTest, AFullDiskLeavesTheIndexAsItWasAndNoNewFile) {
  ds_.Open();
  const std::string before = ReadFile(dir_ / "PYX.CDX");
  const std::vector<std::string> files = FilesIn(dir_.path());
  std::vector<TIndexTagDef> tags;
  for (const auto& t : pyx_sample::kCallbookTags) tags.push_back(Tag(t.name, t.expression));
  for (bool together : {false, true}) {
    for (bool from_current : {false, true}) {
      for (int64_t write : {int64_t{0}, int64_t{2}, int64_t{30}}) {
        SCOPED_TRACE(std::to_string(write) + (from_current ? " from the current file" : "") +
                     (together ? ", the tags side by side" : ""));
        plat::ArmWriteFault(plat::WriteFault::kDiskFull, write, 112);
        try {
          TIndexFileBuild build(ds_, "PYX.CDX", from_current);
          if (together) {
            build.CreateTags(tags, {});
          } else {
            for (const TIndexTagDef& t : tags) build.CreateTag(t);
          }
          build.Commit();
          ADD_FAILURE() << "built on a full disk";
        } catch (const std::exception& e) {
          // The index the user knows is named, not the new file.
          EXPECT_NE(std::string(e.what()).find("112"), std::string::npos) << e.what();
          EXPECT_NE(std::string(e.what()).find("/PYX.CDX)"), std::string::npos) << e.what();
          EXPECT_EQ(std::string(e.what()).find(".new-"), std::string::npos) << e.what();
        }
        plat::DisarmWriteFault();
        EXPECT_EQ(FilesIn(dir_.path()), files);
        EXPECT_EQ(ReadFile(dir_ / "PYX.CDX"), before);
        EXPECT_TRUE(ds_.Active());
      }
    }
  }
}

TEST_F(IndexBuildTest, TagsBuiltSideBySideAreTheFileOneTagAtATimeGives) {
  ds_.Open();
  std::vector<TIndexTagDef> tags;
  for (const auto& t : pyx_sample::kCallbookTags) tags.push_back(Tag(t.name, t.expression));
  tags.push_back({"DZIP", "IND_", "", false, true});
  tags.push_back({"UCITY", "GOR_", "", true, false});
  std::string bytes[2];
  for (int together = 0; together < 2; ++together) {
    std::vector<size_t> built;
    {
      TIndexFileBuild build(ds_, "PYX.CDX", false);
      if (together != 0) {
        build.CreateTags(tags, [&](size_t k) { built.push_back(k); });
      } else {
        for (const TIndexTagDef& t : tags) build.CreateTag(t);
      }
      EXPECT_TRUE(build.Commit());
    }
    if (together != 0) {
      ASSERT_EQ(built.size(), tags.size());
      for (size_t k = 0; k < built.size(); ++k) EXPECT_EQ(built[k], k);
    }
    bytes[together] = ReadFile(dir_ / "PYX.CDX");
    EXPECT_TRUE(ds_.Active());
  }
  EXPECT_TRUE(bytes[0] == bytes[1]);
  ReopenWithIndex();
  EXPECT_EQ(OpenTags().size(), tags.size());
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

TEST_F(IndexBuildTest, AnIndexAnotherProgramHasOpenIsNotReplaced) {
  ds_.Open();
  plat::FileHandle other = plat::FileHandle::Open(dir_ / "PYX.CDX", false, true);
  ASSERT_TRUE(other.valid());
  try {
    TIndexFileBuild build(ds_, "PYX.CDX", false);
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "File " + dir_.path() + "/PYX.CDX is in use by another program");
  }
  other.Close();
  // While the build holds it, another program cannot open it.
  TIndexFileBuild build(ds_, "PYX.CDX", false);
  EXPECT_FALSE(plat::FileHandle::Open(dir_ / "PYX.CDX", false, true).valid());
}

// Two programs building the first index at once: the one that finishes
// second keeps the other's file (which may already be in use) and drops
// its own.
TEST_F(IndexBuildTest, AFirstBuildKeepsAnIndexAnotherProgramFinishedMeanwhile) {
  fs::rename(dir_ / "PYX.CDX", dir_ / "theirs.cdx");
  ds_.Open();
  TIndexFileBuild build(ds_, "PYX.CDX", false);
  build.CreateTag(Tag("CALL", "CALL_"));
  fs::copy_file(dir_ / "theirs.cdx", dir_ / "PYX.CDX");
  EXPECT_FALSE(build.Commit());
  EXPECT_EQ(ReadFile(dir_ / "PYX.CDX"), ReadFile(dir_ / "theirs.cdx"));
  EXPECT_FALSE(fs::exists(build.BuildPath()));
}

TEST_F(IndexBuildTest, ExpressionsCompareWithoutCaseAndBlanks) {
  using tessera::CanonicalExpression;
  EXPECT_EQ(CanonicalExpression("fam_ + im_ + otch_"), "FAM_+IM_+OTCH_");
  EXPECT_EQ(CanonicalExpression("UPPER( call_ )"), "UPPER(CALL_)");
  // Quoted texts keep their blanks and letters.
  EXPECT_EQ(CanonicalExpression("gor_ = 'Нижний Новгород'"), "GOR_='Нижний Новгород'");
  EXPECT_EQ(CanonicalExpression("\"a b\"+x"), "\"a b\"+X");
  EXPECT_NE(CanonicalExpression("FAM_+IM_"), CanonicalExpression("IM_+FAM_"));
}

// Another program that writes without the record lock (a crashed editor's
// file, a tool of its own) deletes or changes a card: the dataset's edit
// and post find out on disk and do not write into a deleted record.
class EditBehindTheBackTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyFixture("callbook", dir_.path()); }
  int64_t Offset(tessera::TTesseraDataSet& ds, int32_t recno) { return ds.Table()->RecordOffset(recno); }
  TempDir dir_;
  tessera::EngineScope engine_;
};

TEST_F(EditBehindTheBackTest, AnEditOfADeletedCardIsRefusedAndMovesOn) {
  CallbookDataSet c(dir_.path(), "CALL", 5);
  c.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  ASSERT_EQ(c.ds.RecNo(), 1001);
  const std::string table = ReadFile(dir_ / "Pyx.DBF");
  WriteAt(dir_ / "Pyx.DBF", Offset(c.ds, 1001), "*");
  try {
    c.ds.Edit();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record was deleted by another user");
  }
  EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kBrowse);
  EXPECT_NE(c.ds.RecNo(), 1001);
  EXPECT_NE(c.Call(), "QZ6ZZZ");
  // Unlocked: the next card can be edited, and the deleted one is as it was.
  c.ds.Edit();
  c.ds.Cancel();
  std::string now = ReadFile(dir_ / "Pyx.DBF");
  now[static_cast<size_t>(Offset(c.ds, 1001))] = ' ';
  EXPECT_EQ(now, table);
}

TEST_F(EditBehindTheBackTest, AnEditOfAChangedCardStartsFromItAndSaysSo) {
  CallbookDataSet c(dir_.path(), "CALL", 5);
  c.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  c.ds.Edit();
  EXPECT_FALSE(c.ds.RecordChangedByOther());
  c.ds.Cancel();
  // TEL_ begins at byte 1 + 10+20+15+20+6+30+25+40 of the record.
  WriteAt(dir_ / "Pyx.DBF", Offset(c.ds, 1001) + 167, "999");
  c.ds.Edit();
  EXPECT_TRUE(c.ds.RecordChangedByOther());
  EXPECT_EQ(c.ds.FieldByName("TEL_")->AsString().substr(0, 3), "999");
  c.ds.Post();
  EXPECT_EQ(StoredRaw(dir_ / "Pyx.DBF", 1001, "TEL_").substr(0, 3), "999");
}

TEST_F(EditBehindTheBackTest, APostNeverWritesIntoADeletedRecord) {
  CallbookDataSet c(dir_.path(), "CALL", 5);
  c.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  c.ds.Edit();
  c.ds.FieldByName("PRIM_")->SetAsString("LOST?");
  WriteAt(dir_ / "Pyx.DBF", Offset(c.ds, 1001), "*");
  const std::string table = ReadFile(dir_ / "Pyx.DBF");
  try {
    c.ds.Post();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record was deleted by another user");
  }
  // The typing is still there to be copied elsewhere; nothing was written.
  EXPECT_EQ(c.ds.State(), dbkit::DataSetState::kEdit);
  EXPECT_EQ(c.ds.FieldByName("PRIM_")->AsString(), "LOST?");
  EXPECT_EQ(ReadFile(dir_ / "Pyx.DBF"), table);
  c.ds.Cancel();
  EXPECT_EQ(CheckCallbookIndex(dir_.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace dataset_test
