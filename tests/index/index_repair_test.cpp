// The rebuild of a whole index file from its own tag definitions and the
// quick check by key counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/index_repair.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

struct Definition {
  std::string name, key, for_expr;
  bool unique, descending;
  int64_t keys;
  bool operator==(const Definition&) const = default;
};

std::vector<Definition> Definitions(tessera::KTobjIndexFile& file) {
  std::vector<Definition> out;
  for (size_t i = 0; i < file.TagCount(); ++i) {
    tessera::KTobjIndexTag& t = *file.TagAt(i);
    int64_t keys = 0;
    t.ResetTree(0);
    for (int32_t r = t.CurrentKey().Reference; r != 0; r = t.Navigate(-1)) ++keys;
    t.ReleaseTree();
    out.push_back({t.Name(), t.KeyExpression(), t.ForExpression(), t.Unique(), t.Descending(), keys});
  }
  return out;
}

void Poke(const std::string& path, std::streamoff at, std::string_view bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class IndexRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pyx_sample::WriteSampleTable(dir_.path(), 300, 9, true);
    tessera::KTO_dBHandler t(dbf_, false, true);
    t.CreateIndexTag("PYX.CDX", "CALL", "CALL_", "", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag("PYX.CDX", "FAMD", "UPPER(FAM_)", "", tessera::kDuplicateKeys, 1);
    t.CreateIndexTag("PYX.CDX", "UCALL", "CALL_", "", tessera::kUniqueKeys, 0);
    t.CreateIndexTag("PYX.CDX", "MOSCOW", "FAM_", "'МОСК' $ UPPER(GOR_)", tessera::kDuplicateKeys, 0);
  }
  tessera::EngineScope engine_;
  testing_support::TempDir dir_;
  std::string dbf_ = dir_ / "Pyx.DBF", cdx_ = dir_ / "PYX.CDX";
};

TEST_F(IndexRepairTest, ReindexKeepsEveryDefinitionAndClearsTheMarkAndTheDamage) {
  tessera::KTO_dBHandler table(dbf_, true, false);
  std::vector<Definition> before;
  {
    tessera::KTobjCDXFile f(&table, cdx_, false, false, true, false);
    before = Definitions(f);
    EXPECT_TRUE(tessera::QuickCheckIndexFile(table, f).empty());
  }
  ASSERT_EQ(before.size(), 4u);
  // A stopped writer's mark.
  Poke(cdx_, tessera::KTobjCDXFile::kPendingMarkOffset, "TSRWRITE");
  {
    tessera::KTobjCDXFile f(&table, cdx_, false, false, true, false);
    const auto quick = tessera::QuickCheckIndexFile(table, f);
    ASSERT_EQ(quick.size(), 1u);
    EXPECT_NE(quick[0].find("did not finish"), std::string::npos) << quick[0];
  }
  EXPECT_EQ(tessera::ReindexIndexFile(table, cdx_), 4u);
  tessera::KTobjCDXFile f(&table, cdx_, false, false, true, false);
  EXPECT_FALSE(f.NeedsRebuild());
  EXPECT_EQ(Definitions(f), before);
  EXPECT_TRUE(tessera::CheckCdxFile(f).empty());
  EXPECT_FALSE(std::filesystem::exists(cdx_ + ".NEW"));
}

TEST_F(IndexRepairTest, QuickCheckCountsKeysAgainstRecordsButSkipsForAndUnique) {
  {
    // Two cards the index never saw (written without it).
    tessera::KTO_dBHandler t(dbf_, false, true);
    for (int i = 0; i < 2; ++i) {
      t.BlankRecord();
      t.PutText("CALL_", "QZ9ZZ" + std::to_string(i));
      t.AppendRecord();
    }
  }
  tessera::KTO_dBHandler table(dbf_, true, false);
  {
    tessera::KTobjCDXFile f(&table, cdx_, false, false, true, false);
    const auto quick = tessera::QuickCheckIndexFile(table, f);
    ASSERT_EQ(quick.size(), 2u);
    EXPECT_EQ(quick[0], "tag CALL: 300 keys for 302 records");
    EXPECT_EQ(quick[1], "tag FAMD: 300 keys for 302 records");
  }
  tessera::ReindexIndexFile(table, "PYX.CDX");  // found in the table's folder
  tessera::KTobjCDXFile f(&table, cdx_, false, false, true, false);
  EXPECT_TRUE(tessera::QuickCheckIndexFile(table, f).empty());
  EXPECT_TRUE(tessera::CheckCdxFile(f).empty());
}

TEST_F(IndexRepairTest, QuickCheckCountsTheKeysStillHeldInMemory) {
  // Under exclusive use the nodes that appends changed wait in memory
  // until the flush: the count takes them, not the file's older leaves.
  tessera::KTO_dBHandler t(dbf_, false, true);
  ASSERT_EQ(t.OpenIndexFile("PYX.CDX"), 0);
  for (int i = 0; i < 40; ++i) {
    t.BlankRecord();
    t.PutText("CALL_", "QZ8ZZ" + std::to_string(i));
    t.AppendRecord();
  }
  tessera::KTobjIndexFile* f = nullptr;
  for (int slot = 1; slot <= tessera::KTO_dBHandler::kIndexSlots && f == nullptr; ++slot) f = t.IndexFile(slot);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->HoldsBlocks());
  // (The write mark this writer keeps on is reported as well.)
  for (const std::string& fault : tessera::QuickCheckIndexFile(t, *f))
    EXPECT_EQ(fault.find("keys for"), std::string::npos) << fault;
}

TEST_F(IndexRepairTest, LostDefinitionsAndMissingFilesAreNamedAndNothingChanges) {
  tessera::KTO_dBHandler table(dbf_, true, false);
  Poke(cdx_, 0, "\xff\xff\xff\x7f");  // the directory's root far past the end
  std::ifstream in(cdx_, std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(in)), {});
  try {
    tessera::ReindexIndexFile(table, cdx_);
    FAIL() << "rebuilt a file without definitions";
  } catch (const tessera::ETesseraError& e) {
    EXPECT_NE(std::string(e.what()).find("the tag definitions are lost"), std::string::npos) << e.what();
  }
  std::ifstream again(cdx_, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), image);
  EXPECT_THROW(tessera::ReindexIndexFile(table, dir_ / "NONE.CDX"), tessera::ETesseraError);
  tessera::KTobjCDXFile f(&table, cdx_, false, false, true, false);
  EXPECT_FALSE(tessera::QuickCheckIndexFile(table, f).empty());
}

}  // namespace
