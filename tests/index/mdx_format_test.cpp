// The multiple-index file layout: a new file's header, packed numbers,
// descending and date tags, empty tables, the tag table's name order, the
// production-index flag, replacing and deleting tags, Reindex and the
// header rewritten on close; and the handler and its searches on an MDX.
#include <gtest/gtest.h>

#include <algorithm>

#include "cdx_test_util.h"
#include "engine/dbf_date.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "platform/text_convert.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using tessera::KTO_dBHandler;
using tessera::KTobjMDXFile;
using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::TempDir;

std::string Hex(const std::string& b) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : b) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::vector<int32_t> Order(tessera::KTobjIndexTag& tag) {
  std::vector<int32_t> out;
  for (const auto& [r, k] : testing_support::AllKeys(tag)) out.push_back(r);
  return out;
}

class MdxFormatTest : public ::testing::Test {
 protected:
  // A table with a number, a date and a name per record.
  void MakeTable(const std::vector<std::tuple<std::string, double, int32_t>>& rows) {
    tessera::CreateTable(dbf_, 0x03, {{"NAME", 'C', 10, 0}, {"NUM", 'N', 10, 2}, {"DAY", 'D', 8, 0}});
    KTO_dBHandler t(dbf_, true, true);
    for (const auto& [name, num, day] : rows) {
      t.BlankRecord();
      t.PutText("NAME", name);
      t.PutNumber("NUM", num);
      t.PutDate("DAY", day);
      t.AppendRecord();
    }
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_ = dir_ / "t.dbf";
  std::string mdx_ = dir_ / "t.mdx";
};

TEST_F(MdxFormatTest, NewFileLayout) {
  MakeTable({});
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.Opened());
    EXPECT_EQ(f.TagCount(), 0u);
  }
  const std::string b = FileBytes(mdx_);
  ASSERT_EQ(b.size(), 2048u);
  EXPECT_EQ(b[0], 2);
  const plat::CivilDate today = plat::Today();
  EXPECT_EQ(static_cast<int>(b[1]), today.year % 100);
  EXPECT_EQ(static_cast<int>(b[2]), today.month);
  EXPECT_EQ(static_cast<int>(b[3]), today.day);
  EXPECT_EQ(b.substr(4, 16), std::string("T") + std::string(15, '\0'));
  EXPECT_EQ(Le16(b, 20), 2u);
  EXPECT_EQ(Le16(b, 22), 1024u);
  EXPECT_EQ(b[24], 1);
  EXPECT_EQ(b[25], 48);
  EXPECT_EQ(b[26], 32);
  EXPECT_EQ(Le16(b, 28), 0u);
  EXPECT_EQ(Le32(b, 32), 4u);
  EXPECT_EQ(b.substr(44, 3), b.substr(1, 3));
  EXPECT_EQ(b.substr(512), std::string(1536, '\0'));
}

// A bulk build of three levels whose nodes go out in runs of several: every
// leaf entry holds its record's name padded with blanks to the key length,
// and the tree checks clean and lists the names in order.
TEST_F(MdxFormatTest, BulkBuildPadsShortKeysWithBlanks) {
  std::vector<std::tuple<std::string, double, int32_t>> rows;
  std::vector<std::string> names;
  for (int n = 0; n < 5000; ++n) {
    // One to ten characters: most keys are shorter than the key.
    const std::string name = std::string(1 + (n * 7) % 10, static_cast<char>('A' + (n * 13) % 26)) +
                             std::to_string(n % 97);
    names.push_back(name.substr(0, 10));
    rows.emplace_back(name, n, 2451545 + n);
  }
  MakeTable(rows);
  uint32_t first = 0, last = 0;
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    auto* tag = static_cast<tessera::KTobjMDXTag*>(f.FindTag("NAME"));
    ASSERT_NE(tag, nullptr);
    EXPECT_TRUE(tessera::CheckMdxFile(f).empty());
    std::vector<std::string> listed, sorted = names;
    for (int32_t r : Order(*tag)) listed.push_back(names[static_cast<size_t>(r - 1)]);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listed, sorted);
    first = tag->FirstNodePage();
    last = tag->LastNodePage();
  }
  const std::string b = FileBytes(mdx_);
  int leaves = 0, interior = 0;
  for (uint32_t page = first; page <= last; page += 2) {
    const size_t at = static_cast<size_t>(page) * 512;
    ASSERT_LE(at + 1024, b.size());
    const uint32_t n = Le32(b, at);
    ASSERT_LE(n, 63u);
    if (Le32(b, at + 8 + n * 16) != 0) {
      ++interior;
      continue;
    }
    ++leaves;
    for (uint32_t i = 0; i < n; ++i) {
      const size_t e = at + 8 + i * 16;
      const uint32_t record = Le32(b, e);
      ASSERT_GE(record, 1u);
      ASSERT_LE(record, names.size());
      const std::string& name = names[record - 1];
      EXPECT_EQ(b.substr(e + 4, 10), name + std::string(10 - name.size(), ' ')) << "record " << record;
    }
  }
  EXPECT_GE(leaves, 80);
  EXPECT_GE(interior, 3);  // two interior levels
}

TEST_F(MdxFormatTest, PackedNumbers) {
  EXPECT_EQ(Hex(tessera::EncodeMdxNumber(123.45)), "371912345000000000000000");
  EXPECT_EQ(Hex(tessera::EncodeMdxNumber(-1)), "358910000000000000000000");
  EXPECT_EQ(Hex(tessera::EncodeMdxNumber(0)), "340100000000000000000000");
  EXPECT_EQ(Hex(tessera::EncodeMdxNumber(0.05)), "330950" + std::string(18, '0'));
  // Above fifteen digits before the point: fifteen 9s.
  EXPECT_EQ(tessera::DecodeMdxNumber(reinterpret_cast<const uint8_t*>(tessera::EncodeMdxNumber(1e20).data())),
            999999999999999.0);
  for (double v : {123.45, -1.0, 0.0, 0.05, -0.001, 1e15 - 1, 3.14159265358979, -98765.4321, 1e-40}) {
    const std::string p = tessera::EncodeMdxNumber(v);
    ASSERT_EQ(p.size(), 12u);
    EXPECT_DOUBLE_EQ(tessera::DecodeMdxNumber(reinterpret_cast<const uint8_t*>(p.data())), v) << v;
  }
  // Sixteen significant digits keep fifteen.
  const std::string p = tessera::EncodeMdxNumber(1234567890.123456);
  EXPECT_EQ(tessera::DecodeMdxNumber(reinterpret_cast<const uint8_t*>(p.data())), 1234567890.12346);
}

TEST_F(MdxFormatTest, DescendingTagsStoreGreatestFirst) {
  std::vector<std::tuple<std::string, double, int32_t>> rows;
  double greatest = -1e9, least = 1e9;
  for (int i = 0; i < 300; ++i) {
    const double v = (i * 7919) % 1000 - 500.5;
    greatest = std::max(greatest, v);
    least = std::min(least, v);
    rows.emplace_back("N" + std::to_string(i % 37), v, 0);
  }
  MakeTable(rows);
  KTO_dBHandler t(dbf_, true, true);
  {
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("DNUM", "NUM", false, false, ""));
    ASSERT_TRUE(f.CreateTag("DNAME", "NAME", false, false, ""));
  }
  ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
  tessera::KTobjIndexTag& tag = *t.FindTag("DNUM");
  EXPECT_TRUE(tag.Descending());
  tag.ResetTree(2);
  const int32_t top = tag.Navigate(-3);
  t.GotoRecord(top);
  EXPECT_EQ(t.GetNumber("NUM"), greatest);
  const int32_t bottom = tag.Navigate(-4);
  t.GotoRecord(bottom);
  EXPECT_EQ(t.GetNumber("NUM"), least);
  // The leaves hold the keys greatest first, as stored.
  const std::string b = FileBytes(mdx_);
  const size_t header = static_cast<size_t>(tag.HeaderOffset()) * 512;
  EXPECT_EQ(b[header + 8] & 0x08, 0x08);
  size_t node = static_cast<size_t>(Le32(b, header)) * 512;
  for (uint32_t n = Le32(b, node); Le32(b, node + 8 + n * 16) != 0; n = Le32(b, node))
    node = static_cast<size_t>(Le32(b, node + 8)) * 512;
  EXPECT_EQ(Le16(b, header + 18), 16u);
  EXPECT_EQ(b.substr(node + 12, 12), tessera::EncodeMdxNumber(greatest));
  // Changes keep the order; a new greatest key comes first.
  t.GotoRecord(5);
  t.PutNumber("NUM", 9999);
  t.WriteRecord(5);
  EXPECT_EQ(tag.Navigate(-3), 5);
  std::vector<double> seen;
  for (int32_t r = tag.Navigate(-3); r != 0; r = tag.Navigate(-1)) {
    t.GotoRecord(r);
    seen.push_back(t.GetNumber("NUM"));
  }
  ASSERT_EQ(seen.size(), 300u);
  EXPECT_TRUE(std::is_sorted(seen.rbegin(), seen.rend()));
  for (const auto& f : tessera::CheckMdxFile(*static_cast<KTobjMDXFile*>(t.IndexFile(1)))) ADD_FAILURE() << f;
}

TEST_F(MdxFormatTest, EmptyDatesSortAfterEveryDate) {
  const int32_t d = tessera::EngineDate().DayNumberOf(2024, 5, 1);
  MakeTable({{"A", 1, d + 3}, {"B", 2, 0}, {"C", 3, d}, {"D", 4, 0}, {"E", 5, d + 400000}});
  KTO_dBHandler t(dbf_, true, true);
  {
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("DAY", "DAY", false, true, ""));
    EXPECT_EQ(f.FindTag("DAY")->KeyType(), 'D');
    EXPECT_EQ(f.FindTag("DAY")->KeyLength(), 8);
  }
  ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
  tessera::KTobjIndexTag& tag = *t.FindTag("DAY");
  const auto order = Order(tag);
  ASSERT_EQ(order.size(), 5u);
  EXPECT_EQ((std::vector<int32_t>{order[0], order[1], order[2]}), (std::vector<int32_t>{3, 1, 5}));
  EXPECT_TRUE((order[3] == 2 && order[4] == 4) || (order[3] == 4 && order[4] == 2));
  // An empty date appended later goes to the end too; seeks find dates.
  t.BlankRecord();
  t.PutText("NAME", "F");
  t.AppendRecord();
  EXPECT_EQ(Order(tag).size(), 6u);
  EXPECT_NE(Order(tag)[0], 6);
  tessera::KTobjIndexKeyData key;
  key.SetDayNumber(d + 3);
  key.Reference = -1;
  EXPECT_EQ(tag.Seek(key), 1);
}

TEST_F(MdxFormatTest, AnEmptyTableGivesEachTagAnEmptyRoot) {
  MakeTable({});
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("NUM", "NUM", true, false, ""));
    ASSERT_TRUE(f.CreateTag("DAY", "DAY", false, true, "NUM > 0"));
  }
  const std::string b = FileBytes(mdx_);
  EXPECT_EQ(b.size(), 2048u + 6 * 1024);
  for (int k = 1; k <= 3; ++k) {
    const size_t header = static_cast<size_t>(Le32(b, 512 + 32 * k)) * 512;
    const size_t root = static_cast<size_t>(Le32(b, header)) * 512;
    EXPECT_EQ(root, header + 1024);
    EXPECT_EQ(Le32(b, root), 0u);   // no keys
    EXPECT_EQ(Le32(b, root + 8), 0u);  // a leaf
  }
  // Records appended through the index reach every tag.
  KTO_dBHandler t(dbf_, true, true);
  ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
  for (int i = 0; i < 120; ++i) {
    t.BlankRecord();
    t.PutText("NAME", "R" + std::to_string(i % 50));
    t.PutNumber("NUM", i % 40 - 10);
    t.AppendRecord();
  }
  EXPECT_EQ(Order(*t.FindTag("NAME")).size(), 120u);
  EXPECT_EQ(Order(*t.FindTag("NUM")).size(), 40u);  // unique
  EXPECT_EQ(Order(*t.FindTag("DAY")).size(), 87u);  // NUM 1 .. 29
  for (const auto& f : tessera::CheckMdxFile(*static_cast<KTobjMDXFile*>(t.IndexFile(1)))) ADD_FAILURE() << f;
}

TEST_F(MdxFormatTest, TagTableInNameOrder) {
  MakeTable({{"A", 1, 0}, {"B", 2, 0}});
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    for (const char* name : {"zeta", "ALPHA", "Mid", "beta"}) ASSERT_TRUE(f.CreateTag(name, "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("mid", "NUM", false, true, ""));  // replaces MID
  }
  std::string b = FileBytes(mdx_);
  EXPECT_EQ(Le16(b, 28), 4u);
  const char* names[] = {"ALPHA", "BETA", "MID", "ZETA"};
  for (int k = 1; k <= 4; ++k) {
    const size_t e = 512 + 32 * static_cast<size_t>(k);
    EXPECT_EQ(std::string(b.c_str() + e + 4), names[k - 1]);
    EXPECT_EQ(b[e + 17], k);
    EXPECT_EQ(b[e + 19], 2);
    EXPECT_EQ(b[e + 20], k == 3 ? 'N' : 'C');
  }
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, false, true, true);
    ASSERT_EQ(f.TagCount(), 4u);
    EXPECT_EQ(f.TagAt(2)->KeyExpression(), "NUM");
    EXPECT_TRUE(f.DeleteTag("beta"));
    EXPECT_FALSE(f.DeleteTag("beta"));
    ASSERT_TRUE(f.CreateTag("AAA", "NAME", false, true, ""));
  }
  b = FileBytes(mdx_);
  EXPECT_EQ(Le16(b, 28), 4u);
  EXPECT_EQ(std::string(b.c_str() + 544 + 4), "AAA");
  EXPECT_EQ(std::string(b.c_str() + 576 + 4), "ALPHA");
  EXPECT_EQ(std::string(b.c_str() + 608 + 4), "MID");
  EXPECT_EQ(std::string(b.c_str() + 640 + 4), "ZETA");
  EXPECT_EQ(b[672 + 4], 0);
}

TEST_F(MdxFormatTest, AtMostFortySevenTags) {
  MakeTable({{"A", 1, 0}});
  KTO_dBHandler t(dbf_, true, true);
  KTobjMDXFile f(&t, mdx_, false, true, true, true);
  for (int i = 0; i < 47; ++i) ASSERT_TRUE(f.CreateTag("T" + std::to_string(i), "NAME", false, true, ""));
  EXPECT_THROW(f.CreateTag("ONEMORE", "NAME", false, true, ""), tessera::ETesseraError);
  EXPECT_TRUE(f.CreateTag("T5", "NUM", false, true, ""));  // replacing still works
  EXPECT_EQ(f.TagCount(), 47u);
  EXPECT_THROW(f.CreateTag("ELEVENCHARS", "NAME", false, true, ""), tessera::ETesseraError);
}

TEST_F(MdxFormatTest, ProductionIndexFlag) {
  MakeTable({{"A", 1, 0}});
  {
    KTO_dBHandler t(dbf_, true, true);
    t.CreateIndexTag("OTHER.MDX", "NAME", "NAME", "", tessera::kDuplicateKeys, 0);
    EXPECT_FALSE(t.StructuralIndex());
    t.CreateIndexTag("T.MDX", "NAME", "NAME", "", tessera::kDuplicateKeys, 0);
    EXPECT_TRUE(t.StructuralIndex());
  }
  EXPECT_EQ(FileBytes(dbf_)[28] & 1, 1);
  EXPECT_THROW(KTO_dBHandler(dbf_, true, true).CreateIndexTag("T.MDX", "", "NAME", "", 1, 0), tessera::ETesseraError);
}

TEST_F(MdxFormatTest, ReindexCutsTheFileBackAndRebuilds) {
  std::vector<std::tuple<std::string, double, int32_t>> rows;
  for (int i = 0; i < 500; ++i) rows.emplace_back("K" + std::to_string(i * 37 % 500), i, 0);
  MakeTable(rows);
  KTO_dBHandler t(dbf_, true, true);
  {
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));  // the old blocks stay
    ASSERT_TRUE(f.CreateTag("NUM", "NUM", false, false, "NUM > 100"));
  }
  const size_t before = FileBytes(mdx_).size();
  std::vector<int32_t> name_order, num_order;
  {
    KTobjMDXFile f(&t, mdx_, false, false, true, true);
    name_order = Order(*f.FindTag("NAME"));
    num_order = Order(*f.FindTag("NUM"));
    f.Reindex();
    EXPECT_EQ(Order(*f.FindTag("NAME")), name_order);
    EXPECT_EQ(Order(*f.FindTag("NUM")), num_order);
    for (const auto& fault : tessera::CheckMdxFile(f)) ADD_FAILURE() << fault;
  }
  const std::string b = FileBytes(mdx_);
  EXPECT_LT(b.size(), before);
  EXPECT_EQ(Le32(b, 32), b.size() / 512);  // the next free page
  EXPECT_EQ(Le32(b, 544), 4u);            // the first tag's header follows the file header
  {
    // Deleting the last tag leaves the bare header.
    KTobjMDXFile f(&t, mdx_, false, false, true, true);
    EXPECT_TRUE(f.DeleteTag("NAME"));
    EXPECT_TRUE(f.DeleteTag("NUM"));
  }
  EXPECT_EQ(FileBytes(mdx_).size(), 2048u);
}

TEST_F(MdxFormatTest, TheHeaderDateIsRewrittenWhenDirty) {
  MakeTable({{"A", 1, 0}});
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
  }
  std::string b = FileBytes(mdx_);
  b[1] = 99;
  b[2] = 1;
  b[3] = 1;
  testing_support::PutFileBytes(mdx_, b);
  {
    // Reading leaves the header alone.
    KTO_dBHandler t(dbf_, true, false);
    ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
    Order(*t.FindTag("NAME"));
  }
  EXPECT_EQ(FileBytes(mdx_), b);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
    for (int i = 0; i < 100; ++i) {  // enough to split the root
      t.BlankRecord();
      t.PutText("NAME", "X" + std::to_string(i));
      t.AppendRecord();
    }
  }
  b = FileBytes(mdx_);
  EXPECT_EQ(static_cast<int>(b[1]), plat::Today().year % 100);
  EXPECT_EQ(Le32(b, 32), b.size() / 512);
}

TEST_F(MdxFormatTest, CallbookTagsThroughTheHandler) {
  pyx_sample::WriteSampleTable(dir_.path(), 2000, 3, true);
  KTO_dBHandler t(dir_ / "Pyx.DBF", true, true);
  for (const auto& tag : pyx_sample::kCallbookTags)
    t.CreateIndexTag("PYX.MDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  ASSERT_EQ(t.OpenIndexList("PYX.MDX", "CALL"), 0);
  ASSERT_NE(t.MasterTag(), nullptr);
  EXPECT_EQ(t.IndexFile(1)->TagCount(), 11u);
  EXPECT_TRUE(t.SeekKeyText("QZ6ZZZ"));
  EXPECT_EQ(tessera::TrimRightText(t.GetText("CALL_")), "QZ6ZZZ");
  for (const auto& f : tessera::CheckMdxFile(*static_cast<KTobjMDXFile*>(t.IndexFile(1)))) ADD_FAILURE() << f;
}

}  // namespace

namespace {

uint32_t Get32(const std::string& b, size_t at) { return testing_support::Le32(b, at); }
void Set32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// The same file with 2048-byte blocks (four pages), as another program may
// write it: every block moved to its place on the wider grid and every page
// number in the header, the tag headers and the nodes moved with it.
std::string WidenBlocks(const std::string& in) {
  auto moved = [](uint32_t page) { return page < 4 ? page : 4 + (page - 4) * 2; };
  std::string out(2048 + (in.size() - 2048) * 2, '\0');
  out.replace(0, 2048, in.substr(0, 2048));
  for (size_t page = 4; page * 512 < in.size(); page += 2)
    out.replace(moved(static_cast<uint32_t>(page)) * 512, 1024, in.substr(page * 512, 1024));
  out[20] = 4;
  out[22] = 0;
  out[23] = 8;
  Set32(out, 32, moved(Get32(in, 32)));
  for (uint32_t k = 1; k <= Le16(in, 28); ++k) {
    const size_t e = 512 + 32 * k;
    const uint32_t header = Get32(in, e);
    Set32(out, e, moved(header));
    const size_t h = moved(header) * 512;
    const uint32_t entry = Le16(in, header * 512 + 18);
    for (size_t at : {size_t{0}, size_t{248}, size_t{252}}) Set32(out, h + at, moved(Get32(in, header * 512 + at)));
    std::vector<uint32_t> nodes{Get32(in, header * 512)};
    while (!nodes.empty()) {
      const uint32_t node = nodes.back();
      nodes.pop_back();
      const size_t o = moved(node) * 512;
      Set32(out, o + 4, moved(Get32(in, node * 512 + 4)));
      const uint32_t n = Get32(in, node * 512);
      if (Get32(in, node * 512 + 8 + n * entry) == 0) continue;  // a leaf
      for (uint32_t i = 0; i <= n; ++i) {
        const uint32_t child = Get32(in, node * 512 + 8 + i * entry);
        Set32(out, o + 8 + i * entry, moved(child));
        nodes.push_back(child);
      }
    }
  }
  return out;
}

}  // namespace

TEST_F(MdxFormatTest, OtherBlockSizesAreReadAndWritten) {
  std::vector<std::tuple<std::string, double, int32_t>> rows;
  for (int i = 0; i < 2000; ++i) rows.emplace_back("K" + std::to_string(i * 7919 % 2000), i % 300 - 150.25, 0);
  MakeTable(rows);
  std::vector<int32_t> name_order, num_order;
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("NUM", "NUM", false, false, ""));
    name_order = Order(*f.FindTag("NAME"));
    num_order = Order(*f.FindTag("NUM"));
  }
  testing_support::PutFileBytes(mdx_, WidenBlocks(FileBytes(mdx_)));
  KTO_dBHandler t(dbf_, true, true);
  ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
  auto* f = static_cast<KTobjMDXFile*>(t.IndexFile(1));
  EXPECT_EQ(f->BlockBytes(), 2048);
  EXPECT_EQ(Order(*t.FindTag("NAME")), name_order);
  EXPECT_EQ(Order(*t.FindTag("NUM")), num_order);
  // Changes go into blocks of the file's own size.
  const size_t before = FileBytes(mdx_).size();
  for (int i = 0; i < 400; ++i) {
    t.BlankRecord();
    t.PutText("NAME", "N" + std::to_string(i));
    t.PutNumber("NUM", i);
    t.AppendRecord();
  }
  EXPECT_EQ(Order(*t.FindTag("NAME")).size(), 2400u);
  for (const auto& fault : tessera::CheckMdxFile(*f)) ADD_FAILURE() << fault;
  const size_t after = FileBytes(mdx_).size();
  EXPECT_GT(after, before);
  EXPECT_EQ((after - 2048) % 2048, 0u);
}

// New tags hold as many keys per node as dBase puts in them: the node
// header, the keys and the number field after the last fill the block.
// Files this engine wrote before hold one key fewer per node and say so in
// their tag headers: they are read, and written, by what they say.
TEST_F(MdxFormatTest, NodeCapacityIsDBasesAndOlderFilesKeepTheirs) {
  std::vector<std::tuple<std::string, double, int32_t>> rows;
  for (int i = 0; i < 3000; ++i) rows.emplace_back("K" + std::to_string(i * 7919 % 3000), i % 500 - 250.5, 0);
  MakeTable(rows);
  size_t header = 0;
  {
    KTO_dBHandler t(dbf_, true, true);
    KTobjMDXFile f(&t, mdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("NUM", "NUM", false, true, ""));
    header = static_cast<size_t>(f.FindTag("NAME")->HeaderOffset()) * 512;
  }
  std::string b = FileBytes(mdx_);
  // NAME: C(10), entries of 16 bytes: (1024 - 12) / 16 = 63 keys, as in
  // the tag headers dBase writes; NUM: 12-byte packed keys, entries of 16.
  EXPECT_EQ(Le16(b, header + 18), 16u);
  EXPECT_EQ(Le16(b, header + 14), 63u);
  // The older capacity, (1024 - 8) / 16 - 1 = 62, in the header of a file
  // whose nodes already hold 63 keys: read as it is, and written to by it.
  testing_support::PutLe16(b, header + 14, 62);
  testing_support::PutFileBytes(mdx_, b);
  const std::vector<int32_t> before = [&] {
    KTO_dBHandler t(dbf_, true, false);
    KTobjMDXFile f(&t, mdx_, false, false, false, false);
    return Order(*f.FindTag("NAME"));
  }();
  EXPECT_EQ(before.size(), 3000u);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(mdx_), 0);
    for (int i = 0; i < 300; ++i) {
      t.BlankRecord();
      t.PutText("NAME", "N" + std::to_string(i * 37 % 300));
      t.PutNumber("NUM", i);
      t.AppendRecord();
    }
    for (const auto& fault : tessera::CheckMdxFile(*static_cast<KTobjMDXFile*>(t.IndexFile(1)))) ADD_FAILURE() << fault;
  }
  b = FileBytes(mdx_);
  EXPECT_EQ(Le16(b, header + 14), 62u) << "the file's own capacity is kept";
  KTO_dBHandler t(dbf_, true, false);
  KTobjMDXFile f(&t, mdx_, false, false, false, false);
  EXPECT_EQ(Order(*f.FindTag("NAME")).size(), 3300u);
  for (const auto& fault : tessera::CheckMdxFile(f)) ADD_FAILURE() << fault;
}
