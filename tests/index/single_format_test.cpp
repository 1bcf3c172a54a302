// The byte layout of NTX and NDX files this engine writes: sizes fixed by
// the key, stored key forms, the shape of bulk-built trees, descending and
// FOR tags, the version counter, ClearIndex, and keys too long to store.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "cdx_test_util.h"
#include "engine/dbf_create.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "support/temp_dir.h"

namespace {

using testing_support::FileBytes;
using testing_support::Le16;
using testing_support::Le32;
using testing_support::TempDir;
using tessera::KTobjNDXFile;
using tessera::KTobjNTXFile;
using tessera::KTobjNTXTag;

class SingleFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(dir_ / "t.dbf", 0x03,
                         {{"NAME", 'C', 10, 0}, {"FLAG", 'C', 1, 0}, {"NUM", 'N', 6, 1}, {"BORN", 'D', 0, 0},
                          {"OK", 'L', 0, 0}});
    table_ = std::make_unique<tessera::KTO_dBHandler>(dir_ / "t.dbf", true, true);
  }
  void Add(const std::string& name, double num, int32_t born, bool ok = true) {
    table_->BlankRecord();
    table_->PutText("NAME", name);
    table_->PutText("FLAG", name.substr(0, 1));
    table_->PutNumber("NUM", num);
    table_->PutDate("BORN", born);
    table_->PutLogical("OK", ok);
    table_->AppendRecord();
  }
  std::vector<int32_t> Order(tessera::KTobjIndexTag& tag) {
    std::vector<int32_t> out;
    for (const auto& [r, k] : testing_support::AllKeys(tag)) out.push_back(r);
    tag.ReleaseTree();
    return out;
  }
  template <class File>
  void ExpectSound(File& f, std::vector<std::string> (*check)(File&)) {
    for (const auto& fault : check(f)) ADD_FAILURE() << fault;
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::unique_ptr<tessera::KTO_dBHandler> table_;
};

TEST_F(SingleFormat, NtxSizesFollowTheKey) {
  Add("A", 1, 0);
  const std::string path = dir_ / "a.ntx";
  {
    KTobjNTXFile f(table_.get(), path, true, true, false, true);
    ASSERT_TRUE(f.CreateTag("A", "NAME", false, true, ""));
    EXPECT_EQ(f.Tag()->EntrySize(), 18);
    EXPECT_EQ(f.Tag()->MaxKeys(), 50);
  }
  std::string h = FileBytes(path);
  EXPECT_EQ(Le16(h, 0), 6);
  EXPECT_EQ(Le16(h, 12), 18);
  EXPECT_EQ(Le16(h, 14), 10);
  EXPECT_EQ(Le16(h, 18), 50);
  EXPECT_EQ(Le16(h, 20), 25);
  EXPECT_EQ(std::string(h.data() + 22), "NAME");
  {
    KTobjNTXFile f(table_.get(), path, true, true, false, true);
    ASSERT_TRUE(f.CreateTag("A", "BORN", false, true, ""));
    EXPECT_EQ(f.Tag()->MaxKeys(), 54);
    EXPECT_EQ(f.Tag()->KeyType(), 'D');
    ASSERT_TRUE(f.CreateTag("A", "NUM*2", false, true, ""));
    EXPECT_EQ(f.Tag()->KeyLength(), 18);
    EXPECT_EQ(f.Tag()->Decimals(), 4);
    EXPECT_EQ(f.Tag()->MaxKeys(), 34);
    ASSERT_TRUE(f.CreateTag("A", "NUM", false, true, ""));
    EXPECT_EQ(f.Tag()->KeyLength(), 6);
    EXPECT_EQ(f.Tag()->Decimals(), 1);
  }
  h = FileBytes(path);
  EXPECT_EQ(Le16(h, 14), 6);
  EXPECT_EQ(Le16(h, 16), 1);
  // The file was replaced as a whole: header and one leaf.
  EXPECT_EQ(h.size(), 2048u);
}

TEST_F(SingleFormat, NtxNumbersAndDatesAsText) {
  EXPECT_EQ(KTobjNTXTag::EncodeNumber(12.5, 6, 1), "0012.5");
  EXPECT_EQ(KTobjNTXTag::EncodeNumber(-12.5, 6, 1), std::string(",,+*.'"));
  EXPECT_LT(KTobjNTXTag::EncodeNumber(-12.5, 6, 1), KTobjNTXTag::EncodeNumber(-2, 6, 1));
  EXPECT_LT(KTobjNTXTag::EncodeNumber(-2, 6, 1), KTobjNTXTag::EncodeNumber(0, 6, 1));
  EXPECT_LT(KTobjNTXTag::EncodeNumber(0, 6, 1), KTobjNTXTag::EncodeNumber(0.5, 6, 1));
  EXPECT_EQ(KTobjNTXTag::DecodeNumber(",,+*.'"), -12.5);
  EXPECT_GT(KTobjNTXTag::EncodeNumber(123456, 6, 1).size(), 6u);  // does not fit
  const int32_t day = tessera::EngineDate().DayNumberOf(2024, 2, 29);
  Add("A", -12.5, day);
  Add("B", -2, 0);
  Add("C", 0, day - 1);
  Add("D", 12.5, day + 1);
  KTobjNTXFile f(table_.get(), dir_ / "n.ntx", true, true, false, true);
  ASSERT_TRUE(f.CreateTag("N", "NUM", false, true, ""));
  EXPECT_EQ(Order(*f.Tag()), (std::vector<int32_t>{1, 2, 3, 4}));
  const auto keys = testing_support::AllKeys(*f.Tag());
  EXPECT_EQ(keys[3].second, "0012.5");
  f.Tag()->ReleaseTree();
  ASSERT_TRUE(f.CreateTag("N", "BORN", false, true, ""));
  // No date is "00000000", before every date.
  const auto dates = testing_support::AllKeys(*f.Tag());
  EXPECT_EQ(dates[0], (std::pair<int32_t, std::string>{2, "00000000"}));
  EXPECT_EQ(dates[2], (std::pair<int32_t, std::string>{1, "20240229"}));
  f.Tag()->ReleaseTree();
  // Seeks with the values themselves.
  table_->GotoRecord(1);
  tessera::KTobjIndexKeyData key;
  key.SetDayNumber(day);
  key.Reference = -1;
  EXPECT_EQ(f.Tag()->Seek(key), 1);
  ExpectSound(f, tessera::CheckNtxFile);
}

TEST_F(SingleFormat, NtxBulkBuildSpreadsKeysEvenly) {
  table_->LockTable();
  for (int i = 0; i < 100; ++i) Add(std::string(1, static_cast<char>('A' + i / 26)) + std::to_string(100 + i), i, 0);
  table_->UnlockTable();
  const std::string path = dir_ / "e.ntx";
  {
    KTobjNTXFile f(table_.get(), path, true, true, false, true);
    ASSERT_TRUE(f.CreateTag("E", "NAME", false, true, ""));
    ExpectSound(f, tessera::CheckNtxFile);
  }
  const std::string b = FileBytes(path);
  const uint32_t root = Le32(b, 4);
  ASSERT_EQ(Le16(b, root), 2);  // two keys between three leaves
  std::vector<int> counts;
  const int base = 2 + 2 * 51;
  for (int i = 0; i <= 2; ++i) {
    const uint32_t slot = root + Le16(b, root + 2 + 2 * i);
    EXPECT_EQ(slot, root + base + i * 18u);
    const uint32_t child = Le32(b, slot);
    ASSERT_NE(child, 0u);
    counts.push_back(Le16(b, child));
    if (i < 2) {
      EXPECT_EQ(Le32(b, slot + 4), 35u + 35u * i);  // records 35 and 70 sit in the root
    }
  }
  EXPECT_EQ(counts, (std::vector<int>{34, 34, 30}));
}

TEST_F(SingleFormat, NtxDescendingStoresKeysDescending) {
  for (const char* n : {"B", "A", "C", "B"}) Add(n, 0, 0);
  const std::string path = dir_ / "d.ntx";
  KTobjNTXFile f(table_.get(), path, true, true, true, true);
  ASSERT_TRUE(f.CreateTag("D", "NAME", false, false, ""));
  EXPECT_TRUE(f.Tag()->Descending());
  // Greatest first; equal keys by record, as other programs build them.
  EXPECT_EQ(Order(*f.Tag()), (std::vector<int32_t>{3, 1, 4, 2}));
  f.Tag()->ResetTree(2);
  EXPECT_EQ(f.Tag()->Navigate(-3), 3);
  EXPECT_EQ(f.Tag()->Navigate(-4), 2);
  f.Tag()->ReleaseTree();
  f.Disk()->Close();
  const std::string b = FileBytes(path);
  EXPECT_EQ(b[280], 1);
  const uint32_t root = Le32(b, 4);
  EXPECT_EQ(b[root + Le16(b, root + 2) + 8], 'C');
  // An insert keeps the order; a later equal key goes after the others.
  ASSERT_EQ(table_->OpenIndexFile(path), 0);
  Add("B", 0, 0);
  Add("D", 0, 0);
  auto* g = static_cast<KTobjNTXFile*>(table_->IndexFile(1));
  EXPECT_EQ(Order(*g->Tag()), (std::vector<int32_t>{6, 3, 1, 4, 5, 2}));
  ExpectSound(*g, tessera::CheckNtxFile);
}

TEST_F(SingleFormat, NtxForConditionNoRecordMeets) {
  Add("A", 1, 0, false);
  Add("B", 2, 0, false);
  const std::string path = dir_ / "f.ntx";
  KTobjNTXFile f(table_.get(), path, true, true, false, true);
  ASSERT_TRUE(f.CreateTag("F", "NAME", false, true, "OK"));
  EXPECT_EQ(Le16(FileBytes(path), 0), 7);
  EXPECT_EQ(std::string(FileBytes(path).data() + 282), "OK");
  EXPECT_TRUE(Order(*f.Tag()).empty());
  tessera::KTobjIndexKeyData key;
  key.SetText("A");
  key.Reference = -1;
  EXPECT_EQ(f.Tag()->Seek(key), 0);
  EXPECT_TRUE(f.Tag()->Eof());
  ExpectSound(f, tessera::CheckNtxFile);
}

TEST_F(SingleFormat, NtxVersionCounterTellsOtherProcesses) {
  for (const char* n : {"A", "B", "C"}) Add(n, 0, 0);
  const std::string path = dir_ / "v.ntx";
  { KTobjNTXFile f(table_.get(), path, true, true, false, true); ASSERT_TRUE(f.CreateTag("V", "NAME", false, true, "")); }
  EXPECT_EQ(Le16(FileBytes(path), 2), 1);
  ASSERT_EQ(table_->OpenIndexFile(path), 0);
  tessera::KTO_dBHandler other(dir_ / "t.dbf", true, true);
  ASSERT_EQ(other.OpenIndexFile(path), 0);
  auto* mine = static_cast<KTobjNTXFile*>(table_->IndexFile(1));
  EXPECT_FALSE(mine->ChangedByOther());
  other.GotoRecord(2);
  other.PutText("NAME", "Z");
  other.WriteRecord(2);
  EXPECT_EQ(Le16(FileBytes(path), 2), 2);
  EXPECT_TRUE(mine->ChangedByOther());
  EXPECT_FALSE(mine->ChangedByOther());  // the counter was re-read
  table_->SelectMasterTag("V", false);
  EXPECT_TRUE(table_->SeekKeyText("Z"));
  EXPECT_EQ(table_->CurrentRecord(), 2);
  // From 32 767 the counter goes back to 1.
  mine->SetVersionCounter(32767);
  mine->Tag()->MarkHeaderDirty();
  mine->Tag()->WriteTagHeader();
  table_->GotoRecord(1);
  table_->PutText("NAME", "Y");
  table_->WriteRecord(1);
  EXPECT_EQ(Le16(FileBytes(path), 2), 1);
  ExpectSound(*mine, tessera::CheckNtxFile);
}

TEST_F(SingleFormat, ClearIndexLeavesAnEmptyRoot) {
  for (const char* n : {"A", "B", "C"}) Add(n, 0, 0);
  {
    KTobjNTXFile f(table_.get(), dir_ / "c.ntx", true, true, false, true);
    ASSERT_TRUE(f.CreateTag("C", "NAME", false, true, ""));
    f.ClearIndex();
    EXPECT_TRUE(Order(*f.Tag()).empty());
  }
  std::string b = FileBytes(dir_ / "c.ntx");
  EXPECT_EQ(b.size(), 2048u);
  EXPECT_EQ(Le32(b, 4), 1024u);
  EXPECT_EQ(Le16(b, 1024), 0);
  {
    KTobjNDXFile f(table_.get(), dir_ / "c.ndx", true, true, false, true);
    ASSERT_TRUE(f.CreateTag("C", "NAME", false, true, ""));
    f.ClearIndex();
    tessera::KTobjIndexKeyData key;
    key.SetText("A");
    key.Reference = -1;
    EXPECT_EQ(f.Tag()->Seek(key), 0);
    // Reindex builds it again.
    f.Reindex();
    EXPECT_EQ(Order(*f.Tag()), (std::vector<int32_t>{1, 2, 3}));
  }
  b = FileBytes(dir_ / "c.ndx");
  EXPECT_EQ(Le32(b, 0), 1u);  // rebuilt from block 1
}

TEST_F(SingleFormat, NdxSizesFollowTheKey) {
  Add("A", 1.5, 0);
  const std::string path = dir_ / "s.ndx";
  {
    KTobjNDXFile f(table_.get(), path, true, true, false, true);
    ASSERT_TRUE(f.CreateTag("S", "NAME", false, true, ""));
    EXPECT_EQ(f.Tag()->EntrySize(), 20);
    EXPECT_EQ(f.Tag()->MaxKeys(), 25);
    ASSERT_TRUE(f.CreateTag("S", "FLAG", false, true, ""));
    EXPECT_EQ(f.Tag()->EntrySize(), 12);
    EXPECT_EQ(f.Tag()->MaxKeys(), 42);
    ASSERT_TRUE(f.CreateTag("S", "BORN", false, true, ""));
    EXPECT_EQ(f.Tag()->EntrySize(), 16);
    EXPECT_EQ(f.Tag()->MaxKeys(), 31);
    ASSERT_TRUE(f.CreateTag("S", "NUM", false, true, ""));
  }
  const std::string h = FileBytes(path);
  EXPECT_EQ(Le16(h, 12), 8);
  EXPECT_EQ(Le16(h, 14), 25);
  EXPECT_EQ(Le16(h, 16), 1);
  EXPECT_EQ(Le16(h, 18), 20);
  EXPECT_EQ(std::string(h.data() + 24), "NUM");
  double v = 0;
  std::memcpy(&v, h.data() + 512 + 12, 8);
  EXPECT_EQ(v, 1.5);
  // What the format cannot keep is refused.
  KTobjNDXFile f(table_.get(), path, true, true, false, true);
  EXPECT_THROW(f.CreateTag("S", "NAME", false, false, ""), tessera::ETesseraError);
  EXPECT_THROW(f.CreateTag("S", "NAME", false, true, "OK"), tessera::ETesseraError);
}

TEST_F(SingleFormat, NdxBuildsFullLeavesAndEmptyDatesLast) {
  const int32_t day = tessera::EngineDate().DayNumberOf(2000, 1, 1);
  table_->LockTable();
  for (int i = 0; i < 26; ++i) Add("K" + std::to_string(100 + i), i, i % 5 == 0 ? 0 : day + i);
  table_->UnlockTable();
  const std::string path = dir_ / "b.ndx";
  {
    KTobjNDXFile f(table_.get(), path, true, true, false, true);
    ASSERT_TRUE(f.CreateTag("B", "NAME", false, true, ""));
    ExpectSound(f, tessera::CheckNdxFile);
  }
  std::string b = FileBytes(path);
  const uint32_t root = Le32(b, 0);
  ASSERT_EQ(Le16(b, root * 512), 1);
  EXPECT_EQ(Le16(b, Le32(b, root * 512 + 4) * 512), 25);
  EXPECT_EQ(Le16(b, Le32(b, root * 512 + 4 + 20) * 512), 1);
  {
    KTobjNDXFile f(table_.get(), path, true, true, false, true);
    ASSERT_TRUE(f.CreateTag("B", "BORN", false, true, ""));
    const auto order = Order(*f.Tag());
    ASSERT_EQ(order.size(), 26u);
    for (size_t i = 20; i < 26; ++i) EXPECT_EQ((order[i] - 1) % 5, 0) << i;  // the six without a date
    tessera::KTobjIndexKeyData key;
    key.SetDayNumber(0);
    key.Reference = -1;
    table_->ExactKeyOnly = true;
    EXPECT_EQ(f.Tag()->Seek(key), 1);
    ExpectSound(f, tessera::CheckNdxFile);
  }
  b = FileBytes(path);
  double v = 0;
  std::memcpy(&v, b.data() + Le32(b, 0) * 512 + 4 + 25 * 16 + 8, 8);  // the root leaf's last key
  EXPECT_EQ(v, 1e100);
}

TEST_F(SingleFormat, NdxHeaderCountsTheBlocksInUseAfterSplits) {
  const std::string path = dir_ / "g.ndx";
  Add("A", 0, 0);
  table_->CreateIndexTag(path, "", "NAME", "", tessera::kDuplicateKeys, 0);
  ASSERT_EQ(table_->OpenIndexFile(path), 0);
  for (int i = 0; i < 200; ++i) Add("K" + std::to_string(i), 0, 0);
  table_->CloseIndexFiles();
  const std::string b = FileBytes(path);
  // Other programs allocate from this count and read no block beyond it.
  EXPECT_EQ(Le32(b, 4), b.size() / 512);
  EXPECT_GT(b.size(), 8u * 512);
}

TEST_F(SingleFormat, BulkBuildsOfEverySizeAreSound) {
  // Long keys give few entries per node (NDX 7, NTX 14), so that every
  // way a level can end full or nearly full is met.
  tessera::CreateTable(dir_ / "w.dbf", 0x03, {{"NAME", 'C', 55, 0}});
  table_ = std::make_unique<tessera::KTO_dBHandler>(dir_ / "w.dbf", true, true);
  for (int n = 1; n <= 420; ++n) {
    table_->BlankRecord();
    table_->PutText("NAME", "K" + std::to_string(1000 + (n * 7919) % 1000));
    table_->AppendRecord();
    if (n > 120 && n % 7 != 0 && n % 14 != 1) continue;
    SCOPED_TRACE(n);
    {
      KTobjNDXFile f(table_.get(), dir_ / "w.ndx", true, true, false, true);
      ASSERT_TRUE(f.CreateTag("W", "NAME", false, true, ""));
      ASSERT_EQ(f.Tag()->MaxKeys(), 7);
      ASSERT_EQ(Order(*f.Tag()).size(), static_cast<size_t>(n));
      ExpectSound(f, tessera::CheckNdxFile);
    }
    {
      KTobjNTXFile f(table_.get(), dir_ / "w.ntx", true, true, false, true);
      ASSERT_TRUE(f.CreateTag("W", "NAME", false, n % 2 == 0, ""));
      ASSERT_EQ(f.Tag()->MaxKeys(), 14);
      ASSERT_EQ(Order(*f.Tag()).size(), static_cast<size_t>(n));
      ExpectSound(f, tessera::CheckNtxFile);
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST_F(SingleFormat, OpeningNamesTheTagAfterTheFile) {
  Add("A", 1, 0);
  { KTobjNTXFile f(table_.get(), dir_ / "NAME.ntx", true, true, false, true); ASSERT_TRUE(f.CreateTag("x", "NAME", false, true, "")); }
  { KTobjNDXFile f(table_.get(), dir_ / "NUM.ndx", true, true, false, true); ASSERT_TRUE(f.CreateTag("x", "NUM", true, true, "")); }
  KTobjNTXFile ntx(table_.get(), dir_ / "NAME.ntx", false, false, false, false);
  ASSERT_TRUE(ntx.Opened());
  EXPECT_NE(ntx.FindTag("name"), nullptr);
  KTobjNDXFile ndx(table_.get(), dir_ / "NUM.ndx", false, false, false, false);
  ASSERT_TRUE(ndx.Opened());
  ASSERT_NE(ndx.FindTag("NUM"), nullptr);
  EXPECT_TRUE(ndx.Tag()->Unique());
  EXPECT_EQ(ndx.Tag()->KeyType(), 'N');
}

// Every format takes keys of up to 240 bytes; a bulk build of a tag that
// long must not be refused by the sort it uses.
TEST_F(SingleFormat, TagsOfTheLongestKeysAreBuilt) {
  tessera::CreateTable(dir_ / "long.dbf", 0x03, {{"NAME", 'C', 240, 0}});
  table_ = std::make_unique<tessera::KTO_dBHandler>(dir_ / "long.dbf", false, true);
  for (int n = 1; n <= 60; ++n) {
    table_->BlankRecord();
    table_->PutText("NAME", std::string(200, 'M') + std::to_string(1000 + (n * 37) % 60) + std::string(36, 'Z'));
    table_->AppendRecord();
  }
  for (const char* name : {"long.ntx", "long.ndx", "long.mdx"}) {
    SCOPED_TRACE(name);
    const std::string path = dir_ / name;
    table_->CreateIndexTag(path, "NAME", "NAME", "", tessera::kDuplicateKeys, 0);
    ASSERT_EQ(table_->OpenIndexFile(path), 0);
    table_->SelectMasterTag(std::string(name) == "long.mdx" ? "NAME" : "LONG", false);
    int count = 0;
    std::string previous;
    for (table_->GotoRecord(tessera::kMoveFirst); !table_->Eof(); table_->Skip(1)) {
      const std::string key = table_->GetText("NAME");
      EXPECT_LE(previous, key);
      previous = key;
      ++count;
    }
    EXPECT_EQ(count, 60);
    table_->CloseIndexFiles();
  }
}

TEST_F(SingleFormat, AKeyLongerThanTheKeyLengthIsRefused) {
  for (const char* ext : {"ntx", "ndx"}) {
    SCOPED_TRACE(ext);
    tessera::CreateTable(dir_ / (std::string("k") + ext + ".dbf"), 0x03, {{"NAME", 'C', 10, 0}});
    table_ = std::make_unique<tessera::KTO_dBHandler>(dir_ / (std::string("k") + ext + ".dbf"), true, true);
    table_->BlankRecord();
    table_->PutText("NAME", "AB");
    table_->AppendRecord();
    const std::string path = dir_ / (std::string("t.") + ext);
    table_->GotoRecord(1);
    // The key length comes from the current record: 2.
    table_->CreateIndexTag(path, "", "TRIM(NAME)", "", tessera::kDuplicateKeys, 0);
    ASSERT_EQ(table_->OpenIndexFile(path), 0);
    table_->BlankRecord();
    table_->PutText("NAME", "ABCDE");
    try {
      table_->AppendRecord();
      FAIL() << "a 5-character key went into 2-character entries";
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find("is 5 characters long; the tag's keys hold 2"), std::string::npos) << e.what();
    }
    EXPECT_EQ(table_->RecordCount(), 1);  // refused before the record was written
    table_->CloseIndexFiles();
    // A bulk build meets the long key too.
    table_->BlankRecord();
    table_->PutText("NAME", "ABCDE");
    table_->AppendRecord();
    table_->GotoRecord(1);
    EXPECT_THROW(table_->CreateIndexTag(path, "", "TRIM(NAME)", "", tessera::kDuplicateKeys, 0), tessera::ETesseraError);
  }
}

}  // namespace
