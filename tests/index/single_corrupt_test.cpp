// NTX and NDX files are untrusted input: page offsets off the grid or
// beyond the end, key counts above a page's capacity, sizes that do not
// fit, slots outside the page and child chains that loop are reported as a
// corrupt index (2112 with the file name), never followed, and nothing is
// written into such a file.
#include <gtest/gtest.h>


#include "corrupt_index_fixture.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::PutFileBytes;
using testing_support::PutLe16;
using testing_support::PutLe32;

class SingleCorrupt : public testing_support::CorruptIndexTest {
 protected:
  void Build(const std::string& index) {
    index_ = dir_ / index;
    CreateNames(10, 3000, 8, 5);
    KTO_dBHandler t(dbf_, true, true);
    t.CreateIndexTag(index_, "", "NAME", "", tessera::kDuplicateKeys, 0);
    good_ = FileBytes(index_);
  }
  // A write whose key goes into the damaged part (the first leaf) fails as
  // corrupt and leaves the index file as it was.
  void ExpectNoWrite(const std::string& bytes, const char* what) {
    PutFileBytes(index_, bytes);
    std::string msg;
    try {
      KTO_dBHandler t(dbf_, true, true);
      ASSERT_EQ(t.OpenIndexFile(index_), 0) << what;
      t.BlankRecord();
      t.PutText("NAME", "AAAAAAAA");
      t.AppendRecord();
    } catch (const tessera::ETesseraError& e) {
      msg = e.what();
    }
    EXPECT_EQ(msg.rfind("Tessera Error 2112: the index file is damaged or is not an index file (/", 0), 0u) << what << ": " << msg;
    EXPECT_TRUE(FileBytes(index_) == bytes) << what;
  }
};

TEST_F(SingleCorrupt, Ntx) {
  Build("m.ntx");
  upper_name_ = "M.NTX";
  ASSERT_EQ(ReadAll(good_), "");
  const size_t root = Le32(good_, 4);
  ASSERT_NE(Le32(good_, root + Le16(good_, root + 2)), 0u) << "the root should be an interior page";
  const size_t slot0 = root + Le16(good_, root + 2);
  const size_t leaf = Le32(good_, slot0);
  std::string b = good_;
  PutLe32(b, 4, static_cast<uint32_t>(root + 100));
  ExpectCorrupt(b, "root off the page grid");
  b = good_;
  PutLe32(b, 4, static_cast<uint32_t>(good_.size() + 1024));
  ExpectCorrupt(b, "root beyond the end");
  b = good_;
  PutLe16(b, 12, 19);
  ExpectCorrupt(b, "entry size not key length + 8");
  b = good_;
  PutLe16(b, 18, 200);
  ExpectCorrupt(b, "more keys than a page holds");
  b = good_;
  PutLe16(b, 14, 600);
  PutLe16(b, 12, 608);
  ExpectCorrupt(b, "key length beyond the page");
  b = good_;
  PutLe16(b, 0, 0x55);
  ExpectCorrupt(b, "signature");
  b = good_;
  PutLe32(b, slot0, 777);
  ExpectCorrupt(b, "child off the grid");
  b = good_;
  PutLe32(b, slot0, static_cast<uint32_t>(good_.size() + 4096));
  ExpectCorrupt(b, "child beyond the end");
  b = good_;
  PutLe32(b, slot0, static_cast<uint32_t>(root));
  ExpectCorrupt(b, "child loop");
  b = good_;
  PutLe16(b, root, 51);
  ExpectCorrupt(b, "root key count above capacity");
  b = good_;
  PutLe16(b, leaf, 60);
  ExpectCorrupt(b, "leaf key count above capacity");
  b = good_;
  PutLe16(b, leaf + 2 + 2 * 3, 1020);
  ExpectCorrupt(b, "slot outside the page");
  b = good_;
  b.resize(b.size() - 512);
  ExpectCorrupt(b, "file cut short");
  b = good_;
  b.resize(700);
  ExpectCorrupt(b, "header cut short");

  // Nothing is written into a damaged file.
  b = good_;
  PutLe16(b, leaf, 60);
  ExpectNoWrite(b, "leaf key count");
  b = good_;
  PutLe32(b, slot0, static_cast<uint32_t>(root));
  ExpectNoWrite(b, "child loop");

  // The check reports the damage instead of failing.
  b = good_;
  PutLe32(b, slot0, static_cast<uint32_t>(root));
  PutFileBytes(index_, b);
  KTO_dBHandler t(dbf_, true, false);
  tessera::KTobjNTXFile f(&t, index_, false, false, true, false);
  ASSERT_TRUE(f.Opened());
  const auto faults = tessera::CheckNtxFile(f);
  ASSERT_FALSE(faults.empty());
  EXPECT_NE(faults[0].find("loops"), std::string::npos) << faults[0];
}

// Signatures of other Clipper versions: 3 (Summer '87) and a temporary
// index (bit 3) are read; a temporary index covers part of the records and
// refuses writes; Clipper's free-page list (header bytes 8 to 11) is kept
// when the header is written.
TEST_F(SingleCorrupt, NtxSignaturesAndFreeList) {
  Build("m.ntx");
  upper_name_ = "M.NTX";
  std::string b = good_;
  PutLe16(b, 0, 3);
  EXPECT_EQ(ReadAll(b), "");
  b = good_;
  PutLe16(b, 0, 5);
  ExpectCorrupt(b, "signature 5");
  b = good_;
  PutLe16(b, 0, 0x0E);
  PutFileBytes(index_, b);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(index_), 0);
    EXPECT_NE(t.TagByNumber(1)->Unusable().find("temporary"), std::string::npos);
    EXPECT_EQ(testing_support::AllKeys(*t.TagByNumber(1)).size(), 3000u);
    t.BlankRecord();
    t.PutText("NAME", "ZZ");
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    EXPECT_EQ(t.RecordCount(), 3000);
  }
  EXPECT_TRUE(FileBytes(index_) == b);
  // A free page named in the header (the root's own page stands in for
  // one here) is still named after writes.
  b = good_;
  const uint32_t root = Le32(good_, 4);
  PutLe32(b, 8, root);
  PutFileBytes(index_, b);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(index_), 0);
    t.BlankRecord();
    t.PutText("NAME", "ZZ");
    t.AppendRecord();
  }
  b = FileBytes(index_);
  EXPECT_EQ(Le16(b, 0), 6u);
  EXPECT_EQ(Le32(b, 8), root);
}

TEST_F(SingleCorrupt, Ndx) {
  Build("m.ndx");
  upper_name_ = "M.NDX";
  ASSERT_EQ(ReadAll(good_), "");
  const size_t root = Le32(good_, 0) * 512;
  ASSERT_NE(Le32(good_, root + 4), 0u) << "the root should be an interior node";
  const size_t leaf = Le32(good_, root + 4) * 512;
  std::string b = good_;
  PutLe32(b, 0, static_cast<uint32_t>(good_.size() / 512 + 3));
  ExpectCorrupt(b, "root beyond the end");
  b = good_;
  PutLe32(b, 0, 0);
  ExpectCorrupt(b, "root in the header");
  b = good_;
  PutLe16(b, 14, 40);
  ExpectCorrupt(b, "more keys than a block holds");
  b = good_;
  PutLe16(b, 18, 0xFFF0);
  ExpectCorrupt(b, "negative entry size");
  b = good_;
  PutLe16(b, 12, 300);
  ExpectCorrupt(b, "key length");
  b = good_;
  PutLe32(b, root + 4, static_cast<uint32_t>(good_.size() / 512 + 10));
  ExpectCorrupt(b, "child beyond the end");
  b = good_;
  PutLe32(b, root + 4, static_cast<uint32_t>(root / 512));
  ExpectCorrupt(b, "child loop");
  b = good_;
  PutLe16(b, root, 26);
  ExpectCorrupt(b, "interior count above capacity");
  b = good_;
  PutLe16(b, leaf, 26);
  ExpectCorrupt(b, "leaf count above capacity");
  b = good_;
  PutLe32(b, leaf, 0x00010001);
  ExpectCorrupt(b, "32-bit count");

  b = good_;
  PutLe16(b, leaf, 26);
  ExpectNoWrite(b, "leaf count");

  b = good_;
  PutLe32(b, root + 4, static_cast<uint32_t>(root / 512));
  PutFileBytes(index_, b);
  KTO_dBHandler t(dbf_, true, false);
  tessera::KTobjNDXFile f(&t, index_, false, false, true, false);
  ASSERT_TRUE(f.Opened());
  const auto faults = tessera::CheckNdxFile(f);
  ASSERT_FALSE(faults.empty());
  EXPECT_NE(faults[0].find("loops"), std::string::npos) << faults[0];
}

}  // namespace
