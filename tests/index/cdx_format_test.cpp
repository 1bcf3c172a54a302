// The compound index format as this engine writes it, and the tag
// operations on it: layout, key forms, splits, builds, seeks and ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <unistd.h>

#include "cdx_test_util.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTobjCDXFile;
using tessera::KTobjCDXTag;
using tessera::KTobjIndexKeyData;
using tessera::KTO_dBHandler;
using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::TempDir;

class CdxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(dbf_, 0x03, {{"NAME", 'C', 10, 0}, {"NUM", 'N', 10, 2}, {"BORN", 'D', 0, 0}, {"OK", 'L', 0, 0}});
    table_ = std::make_unique<KTO_dBHandler>(dbf_, true, true);
  }
  void Add(const std::string& name, double num = 0, bool ok = true) {
    table_->BlankRecord();
    table_->PutText("NAME", name);
    table_->PutNumber("NUM", num);
    table_->PutLogical("OK", ok);
    table_->AppendRecord();
  }
  std::unique_ptr<KTobjCDXFile> Open(bool create = true) {
    auto f = std::make_unique<KTobjCDXFile>(table_.get(), cdx_, false, create, true, true);
    EXPECT_TRUE(f->Opened());
    return f;
  }
  // Creates the index with one tag and opens it through the table, so that
  // writes keep it current.
  tessera::KTobjIndexTag& Indexed(const std::string& tag, const std::string& expr, bool ascending = true) {
    {
      auto f = Open();
      EXPECT_TRUE(f->CreateTag(tag, expr, false, ascending, ""));
    }
    EXPECT_EQ(table_->OpenIndexFile(cdx_), 0);
    return *table_->FindTag(tag);
  }
  KTobjIndexKeyData Key(const std::string& text, int32_t recno = -1) {
    KTobjIndexKeyData k;
    k.SetText(text);
    k.Reference = recno;
    return k;
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_ = dir_ / "t.dbf";
  std::string cdx_ = dir_ / "t.cdx";
  std::unique_ptr<KTO_dBHandler> table_;
};

TEST_F(CdxTest, NewFileIsTheDirectoryAndOneEmptyRootLeaf) {
  { auto f = Open(); }
  const std::string b = FileBytes(cdx_);
  ASSERT_EQ(b.size(), 1536u);
  EXPECT_EQ(Le32(b, 0), 1024u);              // root of the directory
  EXPECT_EQ(Le16(b, 12), 10u);               // key length
  EXPECT_EQ(static_cast<uint8_t>(b[14]), 0xE0);
  EXPECT_EQ(b[15], 1);
  const size_t leaf = 1024;
  EXPECT_EQ(Le16(b, leaf), 3u);              // root leaf
  EXPECT_EQ(Le16(b, leaf + 2), 0u);
  EXPECT_EQ(Le32(b, leaf + 4), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(b, leaf + 8), 0xFFFFFFFFu);
  EXPECT_EQ(Le16(b, leaf + 12), 488u);
  EXPECT_EQ(Le32(b, leaf + 14), 0xFFFFu);
  EXPECT_EQ(static_cast<uint8_t>(b[leaf + 18]), 15);
  EXPECT_EQ(static_cast<uint8_t>(b[leaf + 19]), 15);
  EXPECT_EQ(b[leaf + 20], 16);
  EXPECT_EQ(b[leaf + 21], 4);
  EXPECT_EQ(b[leaf + 22], 4);
  EXPECT_EQ(b[leaf + 23], 3);
  // A compound index named like the table marks the table's header.
  EXPECT_EQ(FileBytes(dbf_)[28] & 1, 1);
}

TEST_F(CdxTest, NumericKeyForms) {
  using tessera::EncodeCdxNumber;
  EXPECT_EQ(EncodeCdxNumber(0), std::string("\x80", 1));
  EXPECT_EQ(EncodeCdxNumber(-0.0), std::string("\x80", 1));
  EXPECT_EQ(EncodeCdxNumber(1.0), std::string("\xBF\xF0", 2));
  EXPECT_EQ(EncodeCdxNumber(1.25), std::string("\xBF\xF4", 2));
  EXPECT_EQ(EncodeCdxNumber(-1.0), std::string("\x40\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8));
  EXPECT_EQ(EncodeCdxNumber(-1.25), std::string("\x40\x0B\xFF\xFF\xFF\xFF\xFF\xFF", 8));
  // Stored forms of any numbers sort like the numbers (a shorter form sorts
  // as if padded with zero bytes).
  std::mt19937_64 rng(7);
  std::vector<double> values = {-1e300, -2.5, -1, -1e-300, 0, 1e-300, 1, 1 + 1.0 / (1 << 20), 2.5, 1e300};
  for (int i = 0; i < 2000; ++i) values.push_back(std::ldexp(static_cast<double>(rng() % 2000000) - 1e6, static_cast<int>(rng() % 40) - 20));
  for (size_t i = 0; i < values.size(); ++i)
    for (size_t j = i + 1; j < std::min(values.size(), i + 50); ++j) {
      const std::string a = EncodeCdxNumber(values[i]), b = EncodeCdxNumber(values[j]);
      const int cmp = a < b ? -1 : (a > b ? 1 : 0);
      const int want = values[i] < values[j] ? -1 : (values[i] > values[j] ? 1 : 0);
      ASSERT_EQ(cmp, want) << values[i] << " vs " << values[j];
      EXPECT_EQ(tessera::DecodeCdxNumber(a), values[i] == 0 ? 0 : values[i]);
    }
}

TEST_F(CdxTest, LeafPackingOfTrailingBlanksAndDuplicates) {
  Add("AB");
  Add("AB");
  Add("ABC");
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("NAME", "NAME", false, true, ""));
  const int32_t header = f->FindTag("NAME")->HeaderOffset();
  f.reset();
  const std::string b = FileBytes(cdx_);
  const uint32_t root = Le32(b, static_cast<size_t>(header));
  const size_t leaf = root;
  EXPECT_EQ(Le16(b, leaf), 3u);
  EXPECT_EQ(Le16(b, leaf + 2), 3u);
  // Entries of 3 bytes: record number in the low 16 bits, the duplicate
  // count in bits 16..19 and the trailing count in bits 20..23.
  auto entry = [&](int i) {
    const size_t at = leaf + 24 + 3 * static_cast<size_t>(i);
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16);
  };
  EXPECT_EQ(entry(0) & 0xFFFF, 1u);
  EXPECT_EQ((entry(0) >> 20) & 15, 8u);  // "AB" + 8 blanks: trailing count 8
  EXPECT_EQ((entry(0) >> 16) & 15, 0u);
  EXPECT_EQ((entry(1) >> 16) & 15, 2u);  // equal to the previous: duplicate count 2, no bytes
  EXPECT_EQ((entry(1) >> 20) & 15, 8u);
  EXPECT_EQ((entry(2) >> 16) & 15, 2u);  // "ABC": shares "AB", stores "C"
  EXPECT_EQ(Le16(b, leaf + 12), 488u - 3 * 3 - 2 - 0 - 1);
  EXPECT_EQ(b.substr(leaf + 512 - 3, 3), "CAB");
}

// Keys compare blank-padded, and so they share bytes: a key that goes on
// with blanks after a shorter one shares those blanks too (its duplicate
// count reaches into the shorter key's trailing blanks), and stores only
// what follows them.
TEST_F(CdxTest, BuiltLeavesShareTheBlanksAfterAShorterKey) {
  Add("AB");
  Add("AB  D");
  Add("AB  DE");
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("NAME", "NAME", false, true, ""));
  const int32_t header = f->FindTag("NAME")->HeaderOffset();
  EXPECT_EQ(testing_support::AllKeys(*f->FindTag("NAME")),
            (std::vector<std::pair<int32_t, std::string>>{{1, "AB"}, {2, "AB  D"}, {3, "AB  DE"}}));
  const auto faults = tessera::CheckCdxFile(*f);
  for (const auto& fault : faults) ADD_FAILURE() << fault;
  f.reset();
  const std::string b = FileBytes(cdx_);
  const size_t leaf = Le32(b, static_cast<size_t>(header));
  auto entry = [&](int i) {
    const size_t at = leaf + 24 + 3 * static_cast<size_t>(i);
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16);
  };
  EXPECT_EQ((entry(1) >> 16) & 15, 4u);  // "AB" and its blanks
  EXPECT_EQ((entry(1) >> 20) & 15, 5u);
  EXPECT_EQ((entry(2) >> 16) & 15, 5u);
  EXPECT_EQ(Le16(b, leaf + 12), 488u - 3 * 3 - 2 - 1 - 1);
  EXPECT_EQ(b.substr(leaf + 512 - 4, 4), "EDAB");
  // The tree logic reads and changes such leaves like any other.
  table_.reset();
  table_ = std::make_unique<KTO_dBHandler>(dbf_, true, true);
  ASSERT_EQ(table_->OpenIndexFile(cdx_), 0);
  table_->SelectMasterTag("NAME", false);
  table_->ExactKeyOnly = true;
  EXPECT_TRUE(table_->SeekKeyText("AB  D"));
  EXPECT_EQ(table_->CurrentRecord(), 2);
  Add("AB C");
  table_->GotoRecord(2);
  table_->PutText("NAME", "AA");
  table_->WriteRecord(2);
  EXPECT_EQ(testing_support::AllKeys(*table_->FindTag("NAME")),
            (std::vector<std::pair<int32_t, std::string>>{{2, "AA"}, {1, "AB"}, {3, "AB  DE"}, {4, "AB C"}}));
}

TEST_F(CdxTest, SeeksExactAndPartialAndBetweenKeys) {
  for (const char* n : {"ABB", "ABCD", "ABC", "XYZ"}) Add(n);
  tessera::KTobjIndexTag& tag = Indexed("NAME", "NAME");
  table_->ExactKeyOnly = false;
  EXPECT_EQ(tag.Seek(Key("AB")), 1);      // partial: ABB is the first key beginning with AB
  EXPECT_EQ(tag.Seek(Key("ABC")), 3);     // ABC itself comes before ABCD
  table_->ExactKeyOnly = true;
  EXPECT_EQ(tag.Seek(Key("AB")), 0);
  EXPECT_FALSE(tag.Eof());
  EXPECT_EQ(tag.Navigate(-5), 1);         // standing on the next greater key
  EXPECT_EQ(tag.Seek(Key("ABCC")), 0);
  EXPECT_EQ(tag.Navigate(-5), 2);         // ABCD
  EXPECT_EQ(tag.Seek(Key("ZZZ")), 0);
  EXPECT_TRUE(tag.Eof());
  // Among equal keys the lowest record number comes first.
  Add("ABC");
  tag.ResetTree(0);
  EXPECT_EQ(tag.Seek(Key("ABC")), 3);
  EXPECT_EQ(tag.Navigate(-1), 5);
  EXPECT_EQ(tag.LookupKey(Key("XYZ")), 4);
  EXPECT_EQ(tag.Navigate(-5), 5);         // LookupKey did not move the tag
}

TEST_F(CdxTest, EmptyTagHasBothEnds) {
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("NAME", "NAME", false, true, ""));
  tessera::KTobjIndexTag& tag = *f->FindTag("NAME");
  tag.ResetTree(2);
  EXPECT_EQ(tag.Navigate(-3), 0);
  EXPECT_TRUE(tag.Bof());
  EXPECT_TRUE(tag.Eof());
  EXPECT_EQ(tag.Navigate(-4), 0);
  EXPECT_TRUE(tag.Bof() && tag.Eof());
}

TEST_F(CdxTest, DescendingTagsAreStoredAscendingAndReadBackwards) {
  for (const char* n : {"B", "A", "C", "B"}) Add(n);
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("NAMED", "NAME", false, false, ""));
  tessera::KTobjIndexTag& tag = *f->FindTag("NAMED");
  std::vector<int32_t> order;
  tag.ResetTree(0);
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) order.push_back(r);
  EXPECT_EQ(order, (std::vector<int32_t>{3, 4, 1, 2}));  // equal keys in descending record order
  EXPECT_TRUE(tag.Eof());
  EXPECT_FALSE(tag.Bof());
  EXPECT_EQ(tag.Navigate(-4), 2);
  EXPECT_EQ(tag.Navigate(-2), 1);
  const int32_t header = tag.HeaderOffset();
  f.reset();
  EXPECT_EQ(Le16(FileBytes(cdx_), static_cast<size_t>(header) + 502), 1u);
}

TEST_F(CdxTest, UniqueAndForBuilds) {
  for (const char* n : {"B", "A", "B", "C", "A"}) Add(n, 0, std::string(n) != "C");
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("UNI", "NAME", true, true, ""));
  ASSERT_TRUE(f->CreateTag("FOROK", "NAME", false, true, "OK"));
  auto uni = testing_support::AllKeys(*f->FindTag("UNI"));
  ASSERT_EQ(uni.size(), 3u);
  EXPECT_EQ(uni[0].first, 2);  // the lowest record of each value
  EXPECT_EQ(uni[1].first, 1);
  EXPECT_EQ(uni[2].first, 4);
  auto forok = testing_support::AllKeys(*f->FindTag("FOROK"));
  EXPECT_EQ(forok.size(), 4u);
  for (const auto& k : forok) EXPECT_NE(k.second, "C");
  // A unique tag gives a second record of a value no key; when the first
  // changes its key, the value leaves the tag.
  f.reset();
  ASSERT_EQ(table_->OpenIndexFile(cdx_), 0);
  table_->GotoRecord(2);
  table_->PutText("NAME", "Q");
  table_->WriteRecord(2);
  uni = testing_support::AllKeys(*table_->FindTag("UNI"));
  std::vector<std::string> values;
  for (const auto& k : uni) values.push_back(k.second);
  EXPECT_EQ(values, (std::vector<std::string>{"B", "C", "Q"}));
  // Flipping the FOR condition takes the key out and puts it back.
  table_->GotoRecord(1);
  table_->PutLogical("OK", false);
  table_->WriteRecord(1);
  EXPECT_EQ(testing_support::AllKeys(*table_->FindTag("FOROK")).size(), 3u);
  table_->PutLogical("OK", true);
  table_->WriteRecord(1);
  EXPECT_EQ(testing_support::AllKeys(*table_->FindTag("FOROK")).size(), 4u);
}

TEST_F(CdxTest, ReplacingATagAndRefusingLongNames) {
  Add("B");
  Add("A");
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("T", "NAME", false, true, ""));
  ASSERT_TRUE(f->CreateTag("T", "NAME", false, false, ""));
  EXPECT_EQ(f->TagCount(), 1u);
  EXPECT_TRUE(f->FindTag("t")->Descending());
  EXPECT_THROW(f->CreateTag("ELEVENCHARS", "NAME", false, true, ""), tessera::ETesseraError);
  EXPECT_TRUE(f->DeleteTag("T"));
  EXPECT_EQ(f->TagCount(), 0u);
  f.reset();
  EXPECT_EQ(FileBytes(cdx_).size(), 1536u);  // the last tag gone: the file shrinks to its empty structure
}

TEST_F(CdxTest, SplitsKeepTheRootAndFormOneSiblingChainPerLevel) {
  tessera::KTobjIndexTag& tag = Indexed("NAME", "NAME");
  const int32_t root_before = tag.ReadRootOffset();
  // Random inserts one record at a time: many leaf and interior splits.
  std::mt19937 rng(3);
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) {
    std::string n;
    for (int k = 0; k < 6; ++k) n += static_cast<char>('A' + rng() % 26);
    names.push_back(n);
    Add(n);
  }
  EXPECT_EQ(tag.ReadRootOffset(), root_before);
  auto keys = testing_support::AllKeys(tag);
  ASSERT_EQ(keys.size(), names.size());
  std::vector<std::pair<std::string, int32_t>> want;
  for (size_t i = 0; i < names.size(); ++i) want.emplace_back(names[i], static_cast<int32_t>(i + 1));
  std::sort(want.begin(), want.end());
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(keys[i].first, want[i].second);
  const auto faults = tessera::CheckCdxFile(*static_cast<KTobjCDXFile*>(table_->IndexFile(1)));
  for (const auto& fault : faults) ADD_FAILURE() << fault;
  // Reopening reads the same keys.
  table_->CloseIndexFiles();
  auto f = Open(false);
  EXPECT_EQ(testing_support::AllKeys(*f->FindTag("NAME")), keys);
}

// A leaf whose keys all move elsewhere leaves the tree and the sibling
// chain of its level: readers that walk leaves by their right siblings
// (other xBase programs do) must not meet it.
TEST_F(CdxTest, LeavesEmptiedByEditsLeaveTheSiblingChain) {
  tessera::KTobjIndexTag& tag = Indexed("NAME", "NAME");
  char buf[16];
  for (int i = 0; i < 3000; ++i) {
    std::snprintf(buf, sizeof buf, "M%05d", i);
    Add(buf);
  }
  auto rename = [&](int32_t from, int32_t to, const char* prefix) {
    for (int32_t r = from; r <= to; ++r) {
      table_->GotoRecord(r);
      std::snprintf(buf, sizeof buf, "%s%05d", prefix, r);
      table_->PutText("NAME", buf);
      table_->WriteRecord(r);
    }
    const auto faults = tessera::CheckCdxFile(*static_cast<KTobjCDXFile*>(table_->IndexFile(1)));
    for (const auto& fault : faults) ADD_FAILURE() << prefix << ": " << fault;
  };
  rename(2500, 3000, "A");  // the last leaves empty, keys go to the front
  rename(1, 400, "Z");      // the first leaves empty, keys go to the end
  rename(1200, 1600, "N");  // leaves in the middle
  EXPECT_EQ(testing_support::AllKeys(tag).size(), 3000u);
  table_->CloseIndexFiles();
  auto f = Open(false);
  EXPECT_EQ(testing_support::AllKeys(*f->FindTag("NAME")).size(), 3000u);
}

TEST_F(CdxTest, BuiltTreesArePackedFull) {
  std::mt19937 rng(5);
  for (int i = 0; i < 5000; ++i) Add(std::to_string(rng() % 100000000), static_cast<double>(rng() % 10000) - 5000);
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("NAME", "NAME", false, true, ""));
  ASSERT_TRUE(f->CreateTag("NUM", "NUM", false, true, ""));
  const auto faults = tessera::CheckCdxFile(*f);
  for (const auto& fault : faults) ADD_FAILURE() << fault;
  // Walk the leaves of NAME along their sibling chain: every leaf but the
  // last is full (free below 2 * (E + L + 8)).
  auto* tag = static_cast<KTobjCDXTag*>(f->FindTag("NAME"));
  const int32_t header = tag->HeaderOffset();
  f.reset();
  const std::string b = FileBytes(cdx_);
  auto be32 = [&](size_t at) {
    return (static_cast<size_t>(static_cast<uint8_t>(b[at])) << 24) | (static_cast<size_t>(static_cast<uint8_t>(b[at + 1])) << 16) |
           (static_cast<size_t>(static_cast<uint8_t>(b[at + 2])) << 8) | static_cast<size_t>(static_cast<uint8_t>(b[at + 3]));
  };
  size_t node = Le32(b, static_cast<size_t>(header));
  while (Le16(b, node) < 2) node = be32(node + 12 + 10 + 4);  // first child
  int leaves = 0;
  while (true) {
    ++leaves;
    const int32_t right = static_cast<int32_t>(Le32(b, node + 8));
    const int E = b[node + 23];
    if (right == -1) break;
    EXPECT_LT(Le16(b, node + 12), 2 * (E + 10 + 8)) << "leaf at " << node;
    node = static_cast<size_t>(right);
  }
  EXPECT_GT(leaves, 10);
}

TEST_F(CdxTest, KeyRangesKeepTheKeysBetweenTheBounds) {
  for (const char* n : {"AA", "ABA", "ABB", "ABZ", "AC", "B"}) Add(n);
  auto f = Open();
  ASSERT_TRUE(f->CreateTag("NAME", "NAME", false, true, ""));
  tessera::KTobjIndexTag& tag = *f->FindTag("NAME");
  tag.ResetTree(0);
  tessera::TktVariant ab;
  ab.SetText("AB");
  ASSERT_TRUE(tag.SetRange(&ab, true, true, true, &ab));
  EXPECT_FALSE(tag.SetRange(&ab, true, true, true, &ab));  // unchanged
  std::vector<int32_t> seen;
  for (int32_t r = tag.Navigate(-3); r != 0; r = tag.Navigate(-1)) seen.push_back(r);
  EXPECT_EQ(seen, (std::vector<int32_t>{2, 3, 4}));
  EXPECT_TRUE(tag.Eof());
  EXPECT_EQ(tag.Navigate(-4), 4);
  EXPECT_EQ(tag.RangePosition(), 0);
  table_->ExactKeyOnly = false;
  EXPECT_EQ(tag.Seek(Key("AC")), 0);  // outside the range
  EXPECT_TRUE(tag.SetRange(nullptr, false, false, false, nullptr));
  EXPECT_FALSE(tag.HasRange());
  EXPECT_EQ(tag.Navigate(-3), 1);
}

TEST_F(CdxTest, OpeningMissingOrForeignIndexFilesIsReported) {
  try {
    table_->OpenIndexFile(cdx_);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("File not found - /", 0), 0u) << e.what();
  }
  testing_support::PutFileBytes(cdx_, std::string(2048, 'x'));
  try {
    table_->OpenIndexFile(cdx_);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Tessera Error 2112: the index file is damaged or is not an index file (/", 0), 0u)
        << e.what();
  }
  ::unlink(cdx_.c_str());
  { auto f = Open(); }
  EXPECT_EQ(table_->OpenIndexFile(cdx_), 0);
  EXPECT_EQ(table_->OpenIndexFile(cdx_), -1);  // open already
  EXPECT_TRUE(table_->HasIndexFile());
}

}  // namespace
