// Multiple index files are untrusted input: a damaged header, tag header or
// node is reported as a corrupt index (2112 with the file name), never
// followed, and nothing more is written into such a file.
#include <gtest/gtest.h>

#include <random>

#include "corrupt_index_fixture.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::PutFileBytes;
using testing_support::PutLe16;
using testing_support::PutLe32;

class MdxCorruptTest : public testing_support::CorruptIndexTest {
 protected:
  void SetUp() override {
    index_ = dir_ / "m.mdx";
    upper_name_ = "M.MDX";
    CreateNames(20, 4000, 12, 11);
    {
      KTO_dBHandler t(dbf_, true, true);
      tessera::KTobjMDXFile f(&t, index_, false, true, true, true);
      ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
      header_ = static_cast<size_t>(f.FindTag("NAME")->HeaderOffset()) * 512;
    }
    good_ = FileBytes(index_);
    root_ = static_cast<size_t>(Le32(good_, header_)) * 512;
    entry_ = Le16(good_, header_ + 18);
    ASSERT_EQ(entry_, 24u);
    const uint32_t n = Le32(good_, root_);
    ASSERT_NE(Le32(good_, root_ + 8 + n * entry_), 0u) << "the tag should have interior nodes";
    first_child_ = static_cast<size_t>(Le32(good_, root_ + 8)) * 512;
  }
  // The first leaf (following first children down).
  size_t FirstLeaf() const {
    size_t node = root_;
    for (int guard = 0; guard < 10; ++guard) {
      const uint32_t n = Le32(good_, node);
      if (Le32(good_, node + 8 + n * entry_) == 0) return node;
      node = static_cast<size_t>(Le32(good_, node + 8)) * 512;
    }
    return node;
  }

  size_t header_ = 0, root_ = 0, first_child_ = 0, entry_ = 0;
};

TEST_F(MdxCorruptTest, TheUndamagedFileReads) { EXPECT_EQ(ReadAll(good_), ""); }

TEST_F(MdxCorruptTest, FileHeaderDamage) {
  std::string b = good_;
  PutLe16(b, 22, 1000);  // block size in bytes no multiple of 512
  PutLe16(b, 20, 2);
  ExpectCorrupt(b, "block size 1000");
  b = good_;
  PutLe16(b, 22, 0);
  PutLe16(b, 20, 0);
  ExpectCorrupt(b, "block size 0");
  b = good_;
  PutLe16(b, 20, 3);  // pages and bytes disagree
  ExpectCorrupt(b, "block pages 3 for 1024 bytes");
  b = good_;
  PutLe16(b, 28, 49);
  ExpectCorrupt(b, "tag count 49");
  b = good_;
  PutLe16(b, 28, 48);  // entry 48 would lie in the first block after the header
  ExpectCorrupt(b, "tag count 48");
  b = good_;
  PutLe32(b, 544, static_cast<uint32_t>(header_ / 512 + 1));
  ExpectCorrupt(b, "tag header page off the block grid");
  b = good_;
  PutLe32(b, 544, static_cast<uint32_t>(good_.size() / 512 + 2));
  ExpectCorrupt(b, "tag header page beyond the end");
  b = good_;
  PutLe32(b, 544, 2);
  ExpectCorrupt(b, "tag header page inside the file header");
  ExpectCorrupt(good_.substr(0, 1500), "file shorter than its header");
}

TEST_F(MdxCorruptTest, TagHeaderDamage) {
  std::string b = good_;
  PutLe32(b, header_, static_cast<uint32_t>(root_ / 512 + 1));
  ExpectCorrupt(b, "root page off the block grid");
  b = good_;
  PutLe32(b, header_, static_cast<uint32_t>(good_.size() / 512 + 8));
  ExpectCorrupt(b, "root page beyond the end");
  b = good_;
  PutLe16(b, header_ + 12, 241);
  ExpectCorrupt(b, "key length 241");
  b = good_;
  PutLe16(b, header_ + 18, 16);  // entries shorter than key + record number
  ExpectCorrupt(b, "entry length below the key length");
  b = good_;
  PutLe16(b, header_ + 14, 60);  // 60 entries of 24 bytes do not fit 1024 bytes
  ExpectCorrupt(b, "maximum keys beyond the block");
  b = good_;
  PutLe16(b, header_ + 14, 43);  // 8 + 43 x 24 + 4 = 1044
  ExpectCorrupt(b, "maximum keys one beyond the block");
  // dBase's capacity (8 + 42 x 24 + 4 = 1020) and the one this engine
  // wrote before (one less) are read, whatever the nodes hold up to what
  // their blocks take.
  for (uint16_t max : {42, 41, 20}) {
    b = good_;
    PutLe16(b, header_ + 14, max);
    EXPECT_EQ(ReadAll(b), "") << max;
  }
  b = good_;
  b[header_ + 9] = 'X';
  ExpectCorrupt(b, "key type");
  b = good_;
  b[header_ + 24] = 0;
  ExpectCorrupt(b, "no key expression");
}

TEST_F(MdxCorruptTest, NodeDamage) {
  std::string b = good_;
  PutLe32(b, root_, 500);  // more keys than a node holds
  ExpectCorrupt(b, "interior key count");
  b = good_;
  PutLe32(b, root_ + 8, static_cast<uint32_t>(root_ / 512));  // the root is its own child
  ExpectCorrupt(b, "child loop");
  b = good_;
  PutLe32(b, root_ + 8, static_cast<uint32_t>(root_ / 512 + 1));
  ExpectCorrupt(b, "child page off the block grid");
  b = good_;
  PutLe32(b, root_ + 8, static_cast<uint32_t>(good_.size() / 512 + 2));
  ExpectCorrupt(b, "child beyond the end");
  b = good_;
  PutLe32(b, root_ + 8, 0x7FFFFFFE);
  ExpectCorrupt(b, "child page past any file");
  const size_t leaf = FirstLeaf();
  b = good_;
  PutLe32(b, leaf, 43);  // a leaf of 42 keys at most
  ExpectCorrupt(b, "leaf key count");
  b = good_;
  PutLe32(b, leaf + 8, 0);  // record number 0
  ExpectCorrupt(b, "leaf record 0");
  // A child that leads back to an ancestor further up.
  if (first_child_ != leaf) {
    b = good_;
    PutLe32(b, first_child_ + 8, static_cast<uint32_t>(root_ / 512));
    ExpectCorrupt(b, "grandchild loop");
  }
}

TEST_F(MdxCorruptTest, NothingIsWrittenIntoADamagedFile) {
  std::string b = good_;
  PutLe32(b, FirstLeaf(), 43);
  PutFileBytes(index_, b);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(index_), 0);
    t.BlankRecord();
    t.PutText("NAME", "A");  // lands in the damaged first leaf
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    EXPECT_EQ(t.RecordCount(), 4000);  // refused before the record was written
  }
  EXPECT_EQ(FileBytes(index_), b);
  // A damaged header is not opened, so nothing is written either.
  b = good_;
  PutLe16(b, 28, 49);
  PutFileBytes(index_, b);
  {
    KTO_dBHandler t(dbf_, true, true);
    EXPECT_THROW(t.OpenIndexFile(index_), tessera::ETesseraError);
    EXPECT_THROW(t.CreateIndexTag(index_, "OTHER", "NAME", "", tessera::kDuplicateKeys, 0), tessera::ETesseraError);
  }
  EXPECT_EQ(FileBytes(index_), b);
}

// Random damage anywhere: every reading either works or stops with an
// engine error; it never crashes or hangs.
TEST_F(MdxCorruptTest, RandomDamageNeverCrashes) {
  std::mt19937 rng(99);
  for (int round = 0; round < 60; ++round) {
    std::string b = good_;
    const int hits = 1 + static_cast<int>(rng() % 8);
    for (int h = 0; h < hits; ++h) {
      // Half the hits in the header and the tag's header, where the
      // structure lies.
      const size_t at = rng() % 2 == 0 ? (rng() % 2 == 0 ? rng() % 2048 : header_ + rng() % 1024) : rng() % b.size();
      b[at] = static_cast<char>(rng());
    }
    PutFileBytes(index_, b);
    try {
      KTO_dBHandler t(dbf_, true, false);
      t.OpenIndexFile(index_);
      if (tessera::KTobjIndexTag* tag = t.FindTag("NAME")) testing_support::AllKeys(*tag);
      tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(t.IndexFile(1)));
    } catch (const tessera::ETesseraError&) {
    } catch (const tessera::ETesseraExpression&) {
      // a damaged key expression
    }
  }
}

}  // namespace
