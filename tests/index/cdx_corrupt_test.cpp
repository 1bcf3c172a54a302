// Index files are untrusted input: damage of every kind is reported as a
// corrupt index (2112 with the file name), never followed, and nothing more
// is written into such a file.
#include <gtest/gtest.h>

#include <random>

#include "cdx_test_util.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::PutFileBytes;
using testing_support::TempDir;

class CdxCorruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(dbf_, 0x03, {{"NAME", 'C', 20, 0}});
    {
      KTO_dBHandler t(dbf_, true, true);
      t.LockTable();
      std::mt19937 rng(11);
      for (int i = 0; i < 4000; ++i) {
        t.BlankRecord();
        std::string n;
        for (int k = 0; k < 12; ++k) n += static_cast<char>('A' + rng() % 26);
        t.PutText("NAME", n);
        t.AppendRecord();
      }
      t.UnlockTable();
      tessera::KTobjCDXFile f(&t, cdx_, false, true, true, true);
      ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
      header_ = static_cast<size_t>(f.FindTag("NAME")->HeaderOffset());
    }
    good_ = FileBytes(cdx_);
    root_ = Le32(good_, header_);
    ASSERT_LT(Le16(good_, root_), 2u) << "the tag should have interior nodes";
    first_child_ = BigEndian(good_, root_ + 12 + 20 + 4);
  }
  static size_t BigEndian(const std::string& b, size_t at) {
    return (static_cast<size_t>(static_cast<uint8_t>(b[at])) << 24) | (static_cast<size_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
           (static_cast<size_t>(static_cast<uint8_t>(b[at + 2])) << 8) | static_cast<size_t>(static_cast<uint8_t>(b[at + 3]));
  }
  static void Put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  }
  static void PutBE32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  }
  // Opens the damaged file and reads every key; answers the error text
  // ("" when all went through).
  std::string ReadAll(const std::string& bytes) {
    PutFileBytes(cdx_, bytes);
    try {
      KTO_dBHandler t(dbf_, true, false);
      t.OpenIndexFile(cdx_);
      testing_support::AllKeys(*t.FindTag("NAME"));
    } catch (const tessera::ETesseraError& e) {
      return e.what();
    }
    return "";
  }
  void ExpectCorrupt(const std::string& bytes, const char* what) {
    const std::string msg = ReadAll(bytes);
    EXPECT_EQ(msg.rfind("Tessera Error 2112: the index file is damaged or is not an index file (/", 0), 0u)
        << what << ": " << msg;
    EXPECT_NE(msg.find("M.CDX"), std::string::npos) << what << ": " << msg;
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_ = dir_ / "m.dbf";
  std::string cdx_ = dir_ / "m.cdx";
  std::string good_;
  size_t header_ = 0, root_ = 0, first_child_ = 0;
};

TEST_F(CdxCorruptTest, TheUndamagedFileReads) { EXPECT_EQ(ReadAll(good_), ""); }

TEST_F(CdxCorruptTest, TagHeaderDamage) {
  std::string b = good_;
  Put32(b, header_, static_cast<uint32_t>(root_ + 100));  // not a multiple of 512
  ExpectCorrupt(b, "root offset off the block grid");
  b = good_;
  Put32(b, header_, static_cast<uint32_t>(good_.size() + 4096));
  ExpectCorrupt(b, "root offset beyond the end");
  b = good_;
  b[header_ + 12] = static_cast<char>(241);
  b[header_ + 13] = 0;
  ExpectCorrupt(b, "key length 241");
  b = good_;
  Put32(b, 0, 0);  // the directory's root
  ExpectCorrupt(b, "directory root 0");
}

TEST_F(CdxCorruptTest, NodeDamage) {
  std::string b = good_;
  b[root_ + 2] = static_cast<char>(200);  // more keys than an interior node holds
  ExpectCorrupt(b, "interior key count");
  b = good_;
  PutBE32(b, root_ + 12 + 20 + 4, static_cast<uint32_t>(root_));  // the root is its own child
  ExpectCorrupt(b, "child loop");
  b = good_;
  PutBE32(b, root_ + 12 + 20 + 4, 777);
  ExpectCorrupt(b, "child offset off the block grid");
  b = good_;
  PutBE32(b, root_ + 12 + 20 + 4, static_cast<uint32_t>(good_.size() + 512));
  ExpectCorrupt(b, "child beyond the end");
  // The first leaf below the root.
  size_t leaf = first_child_;
  while (Le16(good_, leaf) < 2) leaf = BigEndian(good_, leaf + 12 + 20 + 4);
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
  b[leaf] = 9;  // attributes
  ExpectCorrupt(b, "node attributes");
}

TEST_F(CdxCorruptTest, SiblingLoopsAreFoundByTheCheck) {
  size_t leaf = first_child_;
  while (Le16(good_, leaf) < 2) leaf = BigEndian(good_, leaf + 12 + 20 + 4);
  std::string b = good_;
  Put32(b, leaf + 8, static_cast<uint32_t>(leaf));  // right sibling: itself
  PutFileBytes(cdx_, b);
  KTO_dBHandler t(dbf_, true, false);
  ASSERT_EQ(t.OpenIndexFile(cdx_), 0);
  const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)));
  ASSERT_FALSE(faults.empty());
  EXPECT_NE(faults[0].find("right sibling"), std::string::npos) << faults[0];
}

TEST_F(CdxCorruptTest, NothingIsWrittenIntoADamagedFile) {
  size_t leaf = first_child_;
  while (Le16(good_, leaf) < 2) leaf = BigEndian(good_, leaf + 12 + 20 + 4);
  std::string b = good_;
  b[leaf + 12] = static_cast<char>(b[leaf + 12] + 1);
  PutFileBytes(cdx_, b);
  const std::string dbf = FileBytes(dbf_);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(cdx_), 0);
    t.BlankRecord();
    t.PutText("NAME", "A");  // lands in the damaged first leaf
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    EXPECT_EQ(t.RecordCount(), 4000);  // refused before the record was written
  }
  EXPECT_EQ(FileBytes(cdx_), b);
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
    PutFileBytes(cdx_, b);
    try {
      KTO_dBHandler t(dbf_, true, false);
      t.OpenIndexFile(cdx_);
      if (tessera::KTobjIndexTag* tag = t.FindTag("NAME")) testing_support::AllKeys(*tag);
      tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)));
    } catch (const tessera::ETesseraError&) {
    } catch (const tessera::ETesseraExpression&) {
      // a damaged key expression
    }
  }
}

}  // namespace
