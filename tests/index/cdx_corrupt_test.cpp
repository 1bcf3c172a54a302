// Index files are untrusted input: damage of every kind is reported as a
// corrupt index (2112 with the file name), never followed, and nothing more
// is written into such a file.
#include <gtest/gtest.h>

#include <random>

#include "corrupt_index_fixture.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::Be32;
using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::PutBe32;
using testing_support::PutFileBytes;
using testing_support::PutLe16;
using testing_support::PutLe32;

class CdxCorruptTest : public testing_support::CorruptIndexTest {
 protected:
  void SetUp() override {
    index_ = dir_ / "m.cdx";
    upper_name_ = "M.CDX";
    CreateNames(20, 4000, 12, 11);
    {
      KTO_dBHandler t(dbf_, true, true);
      tessera::KTobjCDXFile f(&t, index_, false, true, true, true);
      ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
      header_ = static_cast<size_t>(f.FindTag("NAME")->HeaderOffset());
    }
    good_ = FileBytes(index_);
    root_ = Le32(good_, header_);
    ASSERT_LT(Le16(good_, root_), 2u) << "the tag should have interior nodes";
    first_child_ = Be32(good_, root_ + 12 + 20 + 4);
  }

  size_t header_ = 0, root_ = 0, first_child_ = 0;
};

TEST_F(CdxCorruptTest, TheUndamagedFileReads) { EXPECT_EQ(ReadAll(good_), ""); }

TEST_F(CdxCorruptTest, TagHeaderDamage) {
  std::string b = good_;
  PutLe32(b, header_, static_cast<uint32_t>(root_ + 100));  // not a multiple of 512
  ExpectCorrupt(b, "root offset off the block grid");
  b = good_;
  PutLe32(b, header_, static_cast<uint32_t>(good_.size() + 4096));
  ExpectCorrupt(b, "root offset beyond the end");
  b = good_;
  b[header_ + 12] = static_cast<char>(241);
  b[header_ + 13] = 0;
  ExpectCorrupt(b, "key length 241");
  b = good_;
  PutLe32(b, 0, 0);  // the directory's root
  ExpectCorrupt(b, "directory root 0");
}

TEST_F(CdxCorruptTest, NodeDamage) {
  std::string b = good_;
  b[root_ + 2] = static_cast<char>(200);  // more keys than an interior node holds
  ExpectCorrupt(b, "interior key count");
  b = good_;
  PutBe32(b, root_ + 12 + 20 + 4, static_cast<uint32_t>(root_));  // the root is its own child
  ExpectCorrupt(b, "child loop");
  b = good_;
  PutBe32(b, root_ + 12 + 20 + 4, 777);
  ExpectCorrupt(b, "child offset off the block grid");
  b = good_;
  PutBe32(b, root_ + 12 + 20 + 4, static_cast<uint32_t>(good_.size() + 512));
  ExpectCorrupt(b, "child beyond the end");
  // The first leaf below the root.
  size_t leaf = first_child_;
  while (Le16(good_, leaf) < 2) leaf = Be32(good_, leaf + 12 + 20 + 4);
  b = good_;
  b[leaf + 12] = static_cast<char>(b[leaf + 12] + 1);  // free bytes that do not add up
  ExpectCorrupt(b, "leaf free bytes");
  b = good_;
  b[leaf + 2] = static_cast<char>(250);  // entries beyond the leaf's area
  ExpectCorrupt(b, "leaf key count");
  b = good_;
  b[leaf + 23] = 1;  // one byte per entry cannot hold the counts
  ExpectCorrupt(b, "leaf entry size");
  b = good_;
  b[leaf + 23] = 0;
  ExpectCorrupt(b, "leaf entries of no bytes");
  b = good_;
  b[leaf] = 9;  // attributes
  ExpectCorrupt(b, "node attributes");
  b = good_;
  b[leaf] = 8;  // a bit no writer sets
  ExpectCorrupt(b, "node attribute bit 3");
}

// Visual FoxPro sets bit 2 of the attributes (4 to 7) besides root and
// leaf: such nodes are read by the other two bits, and written to.
TEST_F(CdxCorruptTest, AttributeBitTwoIsRead) {
  std::string b = good_;
  for (size_t node = 1024; node + 512 <= b.size(); node += 512) {
    const uint16_t a = static_cast<uint16_t>(Le16(b, node));
    // Nodes of the tag (its header's two blocks are not nodes).
    if (node == header_ || node == header_ + 512 || a > 3) continue;
    PutLe16(b, node, a | 4u);
  }
  EXPECT_EQ(ReadAll(b), "");
  PutFileBytes(index_, b);
  KTO_dBHandler t(dbf_, true, true);
  ASSERT_EQ(t.OpenIndexFile(index_), 0);
  for (int i = 0; i < 200; ++i) {
    t.BlankRecord();
    t.PutText("NAME", "N" + std::to_string(i * 31 % 200));
    t.AppendRecord();
  }
  for (const auto& f : tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)))) ADD_FAILURE() << f;
}

TEST_F(CdxCorruptTest, SiblingLoopsAreFoundByTheCheck) {
  size_t leaf = first_child_;
  while (Le16(good_, leaf) < 2) leaf = Be32(good_, leaf + 12 + 20 + 4);
  std::string b = good_;
  PutLe32(b, leaf + 8, static_cast<uint32_t>(leaf));  // right sibling: itself
  PutFileBytes(index_, b);
  KTO_dBHandler t(dbf_, true, false);
  ASSERT_EQ(t.OpenIndexFile(index_), 0);
  const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)));
  ASSERT_FALSE(faults.empty());
  EXPECT_NE(faults[0].find("right sibling"), std::string::npos) << faults[0];
}

TEST_F(CdxCorruptTest, NothingIsWrittenIntoADamagedFile) {
  size_t leaf = first_child_;
  while (Le16(good_, leaf) < 2) leaf = Be32(good_, leaf + 12 + 20 + 4);
  std::string b = good_;
  b[leaf + 12] = static_cast<char>(b[leaf + 12] + 1);
  PutFileBytes(index_, b);
  const std::string dbf = FileBytes(dbf_);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(index_), 0);
    t.BlankRecord();
    t.PutText("NAME", "A");  // lands in the damaged first leaf
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    EXPECT_EQ(t.RecordCount(), 4000);  // refused before the record was written
  }
  EXPECT_EQ(FileBytes(index_), b);
  EXPECT_EQ(FileBytes(dbf_), dbf);
}

// Random damage anywhere: every reading either works or stops with an
// engine error; it never crashes or hangs.
TEST_F(CdxCorruptTest, RandomDamageNeverCrashes) {
  std::mt19937 rng(99);
  for (int round = 0; round < 150; ++round) {
    std::string b = good_;
    const int hits = 1 + static_cast<int>(rng() % 8);
    for (int h = 0; h < hits; ++h) b[rng() % b.size()] = static_cast<char>(rng());
    PutFileBytes(index_, b);
    try {
      KTO_dBHandler t(dbf_, true, false);
      t.OpenIndexFile(index_);
      if (tessera::KTobjIndexTag* tag = t.FindTag("NAME")) testing_support::AllKeys(*tag);
      tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)));
    } catch (const tessera::ETesseraError&) {
    } catch (const tessera::ETesseraExpression&) {
      // a damaged key expression
    }
  }
}

}  // namespace
