// The table handler over a pyx-sample callbook with its eleven tags:
// searches, ordered navigation with deleted records hidden and shown,
// filters, locating by values, key ranges, and writes that keep every tag
// consistent.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "cdx_test_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::TempDir;

constexpr int kCards = 3000;

// One callbook, built once for all tests of the suite and copied for each;
// every test runs on a shared open and on an exclusive one (where moves
// leave a record's bytes unread until something needs them).
class HandlerTest : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() {
    tessera::EngineScope engine;
    master_dir_ = std::make_unique<TempDir>();
    pyx_sample::WriteSampleTable(master_dir_->path(), kCards, 5, true);
    KTO_dBHandler t(master_dir_->path() + "/Pyx.DBF", false, true);
    for (const auto& tag : pyx_sample::kCallbookTags) t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  static void TearDownTestSuite() { master_dir_.reset(); }

  void SetUp() override {
    for (const char* f : {"Pyx.DBF", "PYX.CDX"})
      std::filesystem::copy_file(master_dir_->path() + "/" + f, dir_ / f);
    table_ = std::make_unique<KTO_dBHandler>(dir_ / "Pyx.DBF", GetParam(), true);
    ASSERT_EQ(table_->OpenIndexFile("PYX.CDX"), 0);
  }

  // Field values of all records, by record number (index 0 unused), as
  // the file holds them (read past the table, which may hold the file
  // exclusively).
  std::vector<std::vector<std::string>> Records() {
    std::vector<std::vector<std::string>> out(1);
    std::ifstream in(dir_ / "Pyx.DBF", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t length = static_cast<size_t>(table_->RecordLength());
    const size_t count = (bytes.size() - static_cast<size_t>(table_->HeaderLength())) / length;
    for (size_t r = 0; r < count; ++r) {
      const std::string rec = bytes.substr(static_cast<size_t>(table_->HeaderLength()) + r * length, length);
      std::vector<std::string> v;
      for (int f = 1; f <= 13; ++f) {
        std::string text = rec.substr(table_->Field(f).offset, static_cast<size_t>(table_->Field(f).Width()));
        v.push_back(text.substr(0, text.find('\0')));
      }
      v.push_back(rec[0] == '*' ? "*" : " ");
      out.push_back(v);
    }
    return out;
  }
  // The record order of a tag as the records say it must be.
  std::vector<int32_t> ExpectedOrder(const std::string& expr, bool with_deleted) {
    auto recs = Records();
    std::vector<std::pair<std::string, int32_t>> keys;
    static const std::map<std::string, int> kField = {{"CALL_", 0}, {"FAM_", 1}, {"IM_", 2},   {"OTCH_", 3},
                                                      {"IND_", 4},  {"REG_", 5}, {"GOR_", 6},  {"ULIC_", 7},
                                                      {"TEL_", 8},  {"PRIM_", 9}, {"STRANA_", 10}, {"EMAIL_", 11},
                                                      {"URL_", 12}};
    for (int32_t r = 1; r < static_cast<int32_t>(recs.size()); ++r) {
      if (!with_deleted && recs[static_cast<size_t>(r)][13] == "*") continue;
      std::string key;
      size_t start = 0;
      while (start <= expr.size()) {
        const size_t plus = expr.find('+', start);
        key += recs[static_cast<size_t>(r)][static_cast<size_t>(kField.at(expr.substr(start, plus - start)))];
        if (plus == std::string::npos) break;
        start = plus + 1;
      }
      while (!key.empty() && key.back() == ' ') key.pop_back();
      keys.emplace_back(key, r);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<int32_t> out;
    for (const auto& k : keys) out.push_back(k.second);
    return out;
  }
  std::vector<int32_t> Walk(bool backwards = false) {
    std::vector<int32_t> out;
    table_->GotoRecord(backwards ? tessera::kMoveLast : tessera::kMoveFirst);
    while (!table_->Eof() && !table_->Bof()) {
      out.push_back(table_->CurrentRecord());
      table_->GotoRecord(backwards ? tessera::kMovePrior : tessera::kMoveNext);
    }
    if (backwards) std::reverse(out.begin(), out.end());
    return out;
  }
  void ExpectIndexSound() {
    const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(table_->IndexFile(1)));
    for (const auto& f : faults) ADD_FAILURE() << f;
  }
  std::string Key(const char* tag, const std::string& utf8) {
    return table_->BuildSearchKey({plat::Utf8ToOem(utf8)}, table_->FindTag(tag)->KeyExpression());
  }

  static std::unique_ptr<TempDir> master_dir_;
  tessera::EngineScope engine_;
  TempDir dir_;
  std::unique_ptr<KTO_dBHandler> table_;
};
std::unique_ptr<TempDir> HandlerTest::master_dir_;

TEST_P(HandlerTest, SearchesInEveryTag) {
  table_->StayNearest = true;
  auto recs = Records();
  for (const auto& tag : pyx_sample::kCallbookTags) {
    SCOPED_TRACE(tag.name);
    table_->SelectMasterTag(tag.name, false);
    const auto order = ExpectedOrder(tag.expression, true);
    // An exact value: the key of a record in the middle of the order.
    const int32_t middle = order[order.size() / 2];
    table_->GotoRecord(middle);
    const std::string field = std::string(tag.expression).substr(0, std::string(tag.expression).find('+'));
    const std::string value = tessera::TrimRightText(table_->GetText(field));
    const std::string key = table_->BuildSearchKey({value}, table_->MasterTag()->KeyExpression());
    table_->ExactKeyOnly = false;
    ASSERT_TRUE(table_->SeekKeyText(key));
    EXPECT_EQ(tessera::TrimRightText(table_->GetText(field)), value);
    // The first record of the order with that leading value is reached.
    table_->GotoRecord(tessera::kMovePrior);
    if (!table_->Bof()) {
      EXPECT_NE(tessera::TrimRightText(table_->GetText(field)), value);
    }
    // A value beyond the last key: the last record in tag order, end of file.
    EXPECT_FALSE(table_->SeekKeyText("\xFF\xFF\xFF"));
    EXPECT_TRUE(table_->Eof());
    EXPECT_EQ(table_->CurrentRecord(), order.back());
    // The empty text: the first record (found when its key is blank).
    table_->SeekKeyText("");
    EXPECT_FALSE(table_->Eof());
    EXPECT_EQ(table_->CurrentRecord(), order.front());
  }
  // A prefix and a value between two keys, in the CALL order.
  table_->SelectMasterTag("CALL", false);
  ASSERT_TRUE(table_->SeekKeyText("QZ6Z"));
  EXPECT_EQ(table_->GetText("CALL_"), "QZ6ZZZ");
  table_->ExactKeyOnly = true;
  EXPECT_FALSE(table_->SeekKeyText("QZ6Z"));  // lands there, but not found
  EXPECT_EQ(table_->GetText("CALL_"), "QZ6ZZZ");
  table_->StayNearest = false;
  EXPECT_FALSE(table_->SeekKeyText("QZ6Z"));
  EXPECT_TRUE(table_->Eof());
  // A surname prefix lands on the first matching card in the FIO order.
  table_->SelectMasterTag("FIO", false);
  table_->ExactKeyOnly = false;
  table_->StayNearest = true;
  ASSERT_TRUE(table_->SeekKeyText(Key("FIO", "Иван")));
  const auto fio = ExpectedOrder("FAM_+IM_+OTCH_", true);
  for (int32_t r : fio) {
    if (recs[static_cast<size_t>(r)][1].compare(0, 8, plat::Utf8ToOem("Иван")) == 0) {
      EXPECT_EQ(table_->CurrentRecord(), r);
      break;
    }
  }
}

TEST_P(HandlerTest, NavigationInEveryOrderWithDeletedRecordsHiddenAndShown) {
  std::mt19937 rng(1);
  for (int i = 0; i < 200; ++i) {
    table_->GotoRecord(static_cast<int32_t>(1 + rng() % kCards));
    table_->MarkDeleted();
  }
  for (const auto& tag : pyx_sample::kCallbookTags) {
    SCOPED_TRACE(tag.name);
    table_->SelectMasterTag(tag.name, false);
    for (bool hidden : {false, true}) {
      table_->SetUseDeleted(!hidden);
      const auto want = ExpectedOrder(tag.expression, !hidden);
      EXPECT_EQ(Walk(), want);
      EXPECT_EQ(Walk(true), want);
    }
  }
  // Record-number order.
  table_->SelectMasterTag("", false);
  table_->SetUseDeleted(false);
  auto recs = Records();
  std::vector<int32_t> live;
  for (int32_t r = 1; r <= kCards; ++r)
    if (recs[static_cast<size_t>(r)][13] != "*") live.push_back(r);
  EXPECT_EQ(Walk(), live);
  EXPECT_EQ(Walk(true), live);
}

// Moves in tag order leave the record's bytes on disk until something
// reads them; whatever reads them (fields, the deletion mark, the saved
// record that key upkeep evaluates the old keys on, an edit and its
// write) must see the record moved to, also between edits, searches,
// appends and deletions that change the tree the moves step through.
TEST_P(HandlerTest, MovesMixedWithReadsEditsAndSearches) {
  std::mt19937 rng(7);
  pyx_sample::CardGenerator gen(5);
  table_->SelectMasterTag("CALL", false);
  table_->SetUseDeleted(true);
  auto order = ExpectedOrder("CALL_", true);
  auto recs = Records();
  auto at = [&](int32_t r) { return static_cast<size_t>(std::find(order.begin(), order.end(), r) - order.begin()); };
  auto same_as_file = [&](const char* what) {
    SCOPED_TRACE(what);
    const auto& want = recs[static_cast<size_t>(table_->CurrentRecord())];
    ASSERT_EQ(table_->GetRawN(2), want[1]);
    EXPECT_EQ(table_->IsDeleted(), want[13] == "*");
    EXPECT_EQ(table_->SavedRecord().substr(table_->Field(1).offset, 10).substr(0, want[0].size()), want[0]);
    EXPECT_EQ(std::string(table_->RecordBuffer() + table_->Field(13).offset, 40).substr(0, want[12].size()), want[12]);
  };
  table_->GotoRecord(tessera::kMoveFirst);
  size_t pos = 0;
  for (int i = 0; i < 400; ++i) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 5) {
      const int n = static_cast<int>(rng() % 7) - 3;
      table_->Skip(n);
      pos = static_cast<size_t>(std::clamp<int64_t>(static_cast<int64_t>(pos) + n, 0, static_cast<int64_t>(order.size()) - 1));
      ASSERT_EQ(table_->CurrentRecord(), order[pos]) << "step " << i << " by " << n;
      if (op < 3) same_as_file("after a skip");
    } else if (op == 5) {
      const int32_t r = order[rng() % order.size()];
      std::string call = recs[static_cast<size_t>(r)][0];
      while (!call.empty() && call.back() == ' ') call.pop_back();
      ASSERT_TRUE(table_->SeekKeyText(call));
      pos = at(table_->CurrentRecord());
      ASSERT_LT(pos, order.size());
      same_as_file("after a search");
    } else if (op <= 7) {
      // An edit of the record reached by the last move: the write must
      // take its bytes, and the tag its old key from them.
      const auto card = gen.Make(i, 1000);
      const int f = op == 6 ? 1 : 2;  // CALL_ moves the record in the order
      table_->PutTextN(f, plat::Utf8ToOem(card[static_cast<size_t>(f - 1)]));
      table_->WriteRecord(table_->CurrentRecord());
      order = ExpectedOrder("CALL_", true);
      recs = Records();
      pos = at(table_->CurrentRecord());
      same_as_file("after an edit");
    } else if (op == 8) {
      if (table_->IsDeleted()) table_->MarkRecalled();
      else table_->MarkDeleted();
      recs = Records();
      same_as_file("after a deletion mark");
    } else {
      const auto card = gen.Make(i, 1000);
      table_->BlankRecord();
      for (int f = 0; f < 13; ++f) table_->PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table_->AppendRecord();
      order = ExpectedOrder("CALL_", true);
      recs = Records();
      table_->GotoRecord(table_->CurrentRecord());
      pos = at(table_->CurrentRecord());
      same_as_file("after an append");
    }
  }
  ExpectIndexSound();
  EXPECT_EQ(Walk(), order);
  EXPECT_EQ(Walk(true), order);
  // With deleted records hidden only their marks are read on the way.
  table_->SetUseDeleted(false);
  EXPECT_EQ(Walk(), ExpectedOrder("CALL_", false));
}

TEST_P(HandlerTest, SkipsAndEnds) {
  table_->SelectMasterTag("", false);
  table_->GotoRecord(kCards - 1);
  table_->Skip(5);
  EXPECT_TRUE(table_->Eof());
  EXPECT_EQ(table_->CurrentRecord(), kCards);
  table_->GotoRecord(2);
  table_->Skip(-5);
  EXPECT_TRUE(table_->Bof());
  EXPECT_EQ(table_->CurrentRecord(), 1);
  table_->SelectMasterTag("CALL", false);
  const auto order = ExpectedOrder("CALL_", true);
  table_->GotoRecord(order[10]);
  table_->Skip(3);
  EXPECT_EQ(table_->CurrentRecord(), order[13]);
  table_->Skip(-13);
  EXPECT_EQ(table_->CurrentRecord(), order[0]);
  EXPECT_FALSE(table_->Bof());
  table_->Skip(-1);
  EXPECT_TRUE(table_->Bof());
  EXPECT_EQ(table_->CurrentRecord(), order[0]);
}

TEST_P(HandlerTest, SearchSkipsDeletedRecordsWhenHidden) {
  table_->SelectMasterTag("CALL", false);
  ASSERT_TRUE(table_->SeekKeyText("QZ6ZZZ"));
  table_->MarkDeleted();
  table_->SetUseDeleted(false);
  table_->StayNearest = true;
  table_->ExactKeyOnly = false;
  const auto order = ExpectedOrder("CALL_", false);
  EXPECT_FALSE(table_->SeekKeyText("QZ6ZZZ"));
  EXPECT_NE(table_->GetText("CALL_"), "QZ6ZZZ");
  const auto all = ExpectedOrder("CALL_", true);
  const auto qz = std::find(all.begin(), all.end(), 1001);
  ASSERT_NE(qz, all.end());
  EXPECT_EQ(table_->CurrentRecord(), *(qz + 1));
}

TEST_P(HandlerTest, MasterTagSelection) {
  EXPECT_EQ(table_->SelectMasterTag("call", false), 1);
  EXPECT_EQ(table_->MasterTagName(), "CALL");
  try {
    table_->SelectMasterTag("nosuch", false);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_STREQ(e.what(), "Cannot find index tag nosuch");
  }
  EXPECT_EQ(table_->MasterTagName(), "CALL");
  // Keeping the position keeps the record.
  table_->GotoRecord(1001);
  table_->SelectMasterTag("FIO", true);
  EXPECT_EQ(table_->CurrentRecord(), 1001);
  table_->SelectMasterTag("", true);
  EXPECT_EQ(table_->CurrentRecord(), 1001);
  EXPECT_EQ(table_->TagByNumber(3)->Name(), "FIO");  // tags in directory (name) order
  EXPECT_EQ(table_->TagByNumber(12), nullptr);
  EXPECT_EQ(table_->OpenIndexFile("PYX.CDX"), -1);
  EXPECT_EQ(table_->FindIndexFile("pyx.cdx"), 1);
  std::filesystem::copy_file(dir_ / "PYX.CDX", dir_ / "OTHER.NTX");
  try {
    table_->OpenIndexFile("OTHER.NTX");
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    // A compound index under an NTX name is a damaged NTX file.
    EXPECT_NE(std::string(e.what()).find("2112"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("OTHER.NTX"), std::string::npos) << e.what();
  }
  try {
    table_->OpenIndexFile("PYX");
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_NE(std::string(e.what()).find("File not found - /"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("/PYX.NDX"), std::string::npos) << e.what();
  }
}

TEST_P(HandlerTest, FiltersAreEvaluatedOnceIntoASet) {
  try {
    table_->SetFilterExpression("CALL_", false, false);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_STREQ(e.what(), "Filter expression must return boolean result");
  }
  table_->SetFilterExpression(plat::Utf8ToOem("(STRANA_ = 'Россия') .AND. (.NOT. DELETED())"), false, false);
  table_->SetFilterActive(true);
  EXPECT_TRUE(table_->FilterActive());
  auto recs = Records();
  std::vector<int32_t> want;
  const std::string russia = plat::Utf8ToOem("Россия");
  for (int32_t r = 1; r <= kCards; ++r)
    if (tessera::TrimRightText(recs[static_cast<size_t>(r)][10]) == russia) want.push_back(r);
  EXPECT_EQ(Walk(), want);
  EXPECT_EQ(Walk(true), want);
  // In a tag's order too.
  table_->SelectMasterTag("CALL", false);
  std::vector<int32_t> in_order;
  for (int32_t r : ExpectedOrder("CALL_", true))
    if (std::binary_search(want.begin(), want.end(), r)) in_order.push_back(r);
  EXPECT_EQ(Walk(), in_order);
  // A write keeps the set current.
  table_->GotoRecord(want[0]);
  table_->PutText("STRANA_", "X");
  table_->WriteRecord(want[0]);
  EXPECT_FALSE(table_->InFilter(want[0]));
  table_->SetFilterActive(false);
  EXPECT_EQ(static_cast<int>(Walk().size()), kCards);
}

TEST_P(HandlerTest, LocateGivesTheSameRecordWithAndWithoutATag) {
  auto recs = Records();
  std::mt19937 rng(9);
  for (int i = 0; i < 30; ++i) {
    const auto& card = recs[static_cast<size_t>(1 + rng() % kCards)];
    const std::string fam = tessera::TrimRightText(card[1]), im = tessera::TrimRightText(card[2]);
    for (bool partial : {false, true}) {
      const std::string last = partial ? im.substr(0, 2) : im;
      table_->SelectMasterTag("CALL", false);  // FIO qualifies: searched through it
      const bool a = table_->LocateValues("FAM_;IM_", {fam, last}, partial, false);
      const int32_t with_tag = table_->CurrentRecord();
      table_->SelectMasterTag("", false);  // no master: scanned
      const bool b = table_->LocateValues("FAM_;IM_", {fam, last}, partial, false);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(with_tag, table_->CurrentRecord());
    }
  }
  EXPECT_FALSE(table_->LocateValues("CALL_", {std::string("NO SUCH")}, false, false));
  EXPECT_TRUE(table_->LocateValues("CALL_", {std::string("qz6zzz")}, false, true));
  EXPECT_EQ(table_->CurrentRecord(), 1001);
}

TEST_P(HandlerTest, KeyRanges) {
  table_->SelectMasterTag("CALL", false);
  ASSERT_TRUE(table_->SetKeyRange("UA", "UA", true, true, true));
  const auto all = ExpectedOrder("CALL_", true);
  std::vector<int32_t> want;
  auto recs = Records();
  for (int32_t r : all)
    if (recs[static_cast<size_t>(r)][0].compare(0, 2, "UA") == 0) want.push_back(r);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(Walk(), want);
  EXPECT_EQ(Walk(true), want);
  table_->ClearKeyRange();
  EXPECT_EQ(Walk().size(), all.size());
  table_->SelectMasterTag("", false);
  EXPECT_FALSE(table_->SetKeyRange("A", "B", true, true, true));
}

TEST_P(HandlerTest, EveryWriteKeepsAllElevenTagsConsistent) {
  std::mt19937 rng(4);
  pyx_sample::CardGenerator gen(99);
  table_->SelectMasterTag("FIO", false);
  for (int i = 0; i < 300; ++i) {
    if (i % 3 == 0) {
      const auto card = gen.Make(i, 1000);
      table_->BlankRecord();
      for (int f = 0; f < 13; ++f) table_->PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table_->AppendRecord();
    } else {
      const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table_->RecordCount()));
      table_->GotoRecord(r);
      const auto card = gen.Make(i, 1000);
      const int f = static_cast<int>(rng() % 13);
      table_->PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table_->WriteRecord(r);
      EXPECT_EQ(table_->CurrentRecord(), r);
      EXPECT_FALSE(table_->Eof());
    }
  }
  ExpectIndexSound();
  EXPECT_EQ(Walk(), ExpectedOrder("FAM_+IM_+OTCH_", true));
}

// Under exclusive use the index blocks are held in memory and the write
// mark stays on until the changes are finished: the tags read what was
// written all along, a flush takes the mark off, and so does the close.
TEST_P(HandlerTest, ExclusiveSessionKeepsTheTagsAndEndsUnmarked) {
  if (GetParam()) GTEST_SKIP() << "the session opens the files for itself alone";
  table_.reset();
  table_ = std::make_unique<KTO_dBHandler>(dir_ / "Pyx.DBF", false, true);
  ASSERT_EQ(table_->OpenIndexFile("PYX.CDX"), 0);
  auto* cdx = static_cast<tessera::KTobjCDXFile*>(table_->IndexFile(1));
  std::mt19937 rng(11);
  pyx_sample::CardGenerator gen(17);
  table_->SelectMasterTag("OTCH", false);
  for (int i = 0; i < 400; ++i) {
    const auto card = gen.Make(i, 1000);
    if (i % 2 == 0) {
      table_->BlankRecord();
      for (int f = 0; f < 13; ++f) table_->PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table_->AppendRecord();
    } else {
      const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table_->RecordCount()));
      table_->GotoRecord(r);
      const int f = static_cast<int>(rng() % 13);
      table_->PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
      table_->WriteRecord(r);
    }
    if (i == 200) {
      EXPECT_TRUE(cdx->ReadPendingMark());
      table_->Flush();
      EXPECT_FALSE(cdx->ReadPendingMark());
    }
  }
  EXPECT_TRUE(cdx->ReadPendingMark());
  ExpectIndexSound();
  const auto live = Walk();
  // The file is the table's alone until it is closed.
  table_.reset();
  {
    KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
    tessera::KTobjCDXFile index(&t, dir_ / "PYX.CDX", false, false, true, false);
    ASSERT_TRUE(index.Opened());
    EXPECT_FALSE(index.NeedsRebuild());
    const auto faults = tessera::CheckCdxFile(index);
    for (const auto& f : faults) ADD_FAILURE() << f;
  }
  table_ = std::make_unique<KTO_dBHandler>(dir_ / "Pyx.DBF", true, true);
  ASSERT_EQ(table_->OpenIndexFile("PYX.CDX"), 0);
  table_->SelectMasterTag("OTCH", false);
  EXPECT_EQ(live, ExpectedOrder("OTCH_+FAM_+IM_", true));
  EXPECT_EQ(Walk(), live);
}

// Exclusive use holds index blocks back, reads them through a mapping of
// the file and writes them out together with the file's own bytes between
// them; shared use writes every block at once. The same writes must leave
// the same index either way.
TEST_P(HandlerTest, ExclusiveAndSharedWritesLeaveTheSameIndex) {
  if (GetParam()) GTEST_SKIP() << "runs both kinds of use itself";
  table_.reset();
  std::string images[2];
  for (int shared = 0; shared < 2; ++shared) {
    const std::filesystem::path dir = std::filesystem::path(dir_.path()) / (shared != 0 ? "shared" : "exclusive");
    std::filesystem::create_directory(dir);
    for (const char* f : {"Pyx.DBF", "PYX.CDX"}) std::filesystem::copy_file(master_dir_->path() + "/" + f, dir / f);
    {
      KTO_dBHandler t((dir / "Pyx.DBF").string(), shared != 0, true);
      ASSERT_EQ(t.OpenIndexFile("PYX.CDX"), 0);
      t.SelectMasterTag("CALL", false);
      std::mt19937 rng(23);
      pyx_sample::CardGenerator gen(31);
      for (int i = 0; i < 600; ++i) {
        const auto card = gen.Make(i, 5000);
        if (i % 4 != 3) {
          t.BlankRecord();
          for (int f = 0; f < 13; ++f) t.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
          t.AppendRecord();
        } else {
          const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(t.RecordCount()));
          t.GotoRecord(r);
          const int f = static_cast<int>(rng() % 13);
          t.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
          t.WriteRecord(r);
        }
        if (i == 250) t.Flush();
      }
    }
    images[shared] = testing_support::FileBytes((dir / "PYX.CDX").string());
  }
  ASSERT_EQ(images[0].size(), images[1].size());
  for (size_t block = 0; block * 512 < images[0].size(); ++block)
    EXPECT_EQ(images[0].compare(block * 512, 512, images[1], block * 512, 512), 0) << "block " << block;
}

TEST_P(HandlerTest, BuildingTags) {
  try {
    table_->CreateIndexTag("PYX.CDX", "", "CALL_", "", tessera::kDuplicateKeys, 0);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_STREQ(e.what(), "Tessera Error 5117, SubCode 5114: an index tag needs a name (Tag Field is Empty)");
  }
  // A single-tag file needs no tag name: its tag is named after it.
  table_->CreateIndexTag("X.NTX", "", "CALL_", "", tessera::kDuplicateKeys, 0);
  table_->CreateIndexTag("Y.NDX", "", "CALL_", "", tessera::kDuplicateKeys, 0);
  ASSERT_EQ(table_->OpenIndexList("X.NTX Y.NDX", "Y"), 0);
  ASSERT_NE(table_->FindTag("X"), nullptr);
  EXPECT_EQ(table_->MasterTagName(), "Y");
  EXPECT_TRUE(table_->SeekKeyText("QZ6ZZZ"));
  EXPECT_EQ(table_->CurrentRecord(), 1001);
  table_->CloseIndexFiles();
  ASSERT_EQ(table_->OpenIndexFile("PYX.CDX"), 0);
  table_->SelectMasterTag("CALL", false);
  table_->CreateIndexTag("PYX.CDX", "PREFIX", "LEFT(CALL_,2)", "STRANA_ = 'X'", tessera::kUniqueKeys, 1);
  // No index file is left open; the table is in record-number order.
  EXPECT_FALSE(table_->HasIndexFile());
  EXPECT_EQ(table_->MasterTag(), nullptr);
  ASSERT_EQ(table_->OpenIndexFile("PYX.CDX"), 0);
  tessera::KTobjIndexTag* tag = table_->FindTag("PREFIX");
  ASSERT_NE(tag, nullptr);
  EXPECT_TRUE(tag->Unique());
  EXPECT_TRUE(tag->Descending());
  EXPECT_EQ(tag->ForExpression(), "STRANA_ = 'X'");
  EXPECT_EQ(testing_support::AllKeys(*tag).size(), 0u);
  ExpectIndexSound();
}

TEST_P(HandlerTest, RenameTakesTheIndexAlong) {
  ASSERT_TRUE(table_->Rename(dir_ / "Calls"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Calls.DBF"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Calls.CDX"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "PYX.CDX"));
  table_->SelectMasterTag("CALL", false);
  EXPECT_TRUE(table_->SeekKeyText("QZ6ZZZ"));
}

TEST_P(HandlerTest, RecordOrderReadsThroughTheCacheAndSeesWrites) {
  if (!GetParam()) GTEST_SKIP() << "another open of the files shares them";
  table_->SelectMasterTag("", false);
  ASSERT_TRUE(table_->ReadCacheOn());
  table_->GotoRecord(tessera::kMoveFirst);
  table_->GotoRecord(tessera::kMoveNext);  // record 2, from the cache
  KTO_dBHandler other(dir_ / "Pyx.DBF", true, true);
  other.GotoRecord(3);
  other.PutText("CALL_", "CHANGED");
  other.WriteRecord(3);
  table_->GotoRecord(3);  // by number: read from the file
  EXPECT_EQ(table_->GetText("CALL_"), "CHANGED");
  table_->PutText("CALL_", "MINE");
  table_->WriteRecord(3);
  table_->GotoRecord(tessera::kMoveFirst);
  table_->GotoRecord(tessera::kMoveNext);
  table_->GotoRecord(tessera::kMoveNext);
  EXPECT_EQ(table_->GetText("CALL_"), "MINE");  // the cached copy took the write
}

TEST_P(HandlerTest, IndexLockThatStaysRefusedRaises) {
  if (!GetParam()) GTEST_SKIP() << "another open of the files shares them";
  tessera::KTobjCDXFile holder(nullptr, dir_ / "PYX.CDX", false, false, true, true);
  table_->GotoRecord(1);
  table_->PutText("CALL_", "X");
  // Reads wait for the writer too: the record is read before it locks.
  ASSERT_TRUE(holder.LockIndexFile());
  table_->SetLockWait(300);
  try {
    table_->WriteRecord(1);  // the index lock is retried for the lock wait
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error 33 in Lock of /", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find("PYX.CDX"), std::string::npos);
  }
  holder.UnlockIndexFile();
  KTO_dBHandler check(dir_ / "Pyx.DBF", true, false);
  check.GotoRecord(1);
  EXPECT_NE(check.GetText("CALL_"), "X");  // nothing was written
}

// A search stands on the card it found without reading it under exclusive
// use: what is read, edited and written afterwards is still that card's,
// the old keys taken from its stored bytes.
TEST_P(HandlerTest, TheCardASearchFoundIsReadAndEditedWhole) {
  const auto recs = Records();
  table_->SelectMasterTag("CALL", false);
  table_->ExactKeyOnly = true;
  const int32_t r = kCards / 3;
  const std::string call = tessera::TrimRightText(recs[static_cast<size_t>(r)][0]);
  ASSERT_TRUE(table_->SeekKeyText(call));
  const int32_t found = table_->CurrentRecord();
  EXPECT_EQ(tessera::TrimRightText(table_->GetText("CALL_")), call);
  // Straight after another search, the edit comes first.
  ASSERT_TRUE(table_->SeekKeyText(call));
  table_->PutText("CALL_", "QZ0EDIT");
  table_->WriteRecord(found);
  EXPECT_FALSE(table_->SeekKeyText(call) && table_->CurrentRecord() == found);
  ASSERT_TRUE(table_->SeekKeyText("QZ0EDIT"));
  EXPECT_EQ(table_->CurrentRecord(), found);
  const auto after = Records();
  for (int f = 1; f < 14; ++f) EXPECT_EQ(after[static_cast<size_t>(found)][static_cast<size_t>(f)], recs[static_cast<size_t>(found)][static_cast<size_t>(f)]) << f;
  ExpectIndexSound();
}

INSTANTIATE_TEST_SUITE_P(SharedAndExclusive, HandlerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Shared" : "Exclusive"; });

}  // namespace
