// A walk over a tag reads the next leaf before it reaches it, so that the
// records the table fetches ahead of the walk reach past a leaf's end (the
// compound, multiple and NDX formats). That leaf is a hint and a read
// saved, never a position: the walk must still go key by key, and what
// RecordAhead names must be the record that many keys further on (or 0,
// "not known") — forward, backward, turning at and around leaf ends, and
// after a write changed the leaves the walk had read ahead; RecordsAhead
// names the same records in one call. NTX tags name records inside their
// leaf only, which must be right as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/index_tag.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::TempDir;

// Records in key order (NAME, then record number, as the tag orders equal
// keys).
std::vector<int32_t> KeyOrder(const std::vector<std::string>& names) {
  std::vector<int32_t> order(names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i + 1);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return names[static_cast<size_t>(a - 1)] < names[static_cast<size_t>(b - 1)];
  });
  return order;
}

class WalkAhead : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    tessera::CreateTable(dir_ / "t.dbf", 0x03, {{"NAME", 'C', 12, 0}, {"NUM", 'N', 6, 0}});
    std::mt19937 rng(7);
    table_ = std::make_unique<KTO_dBHandler>(dir_ / "t.dbf", false, true);
    // Few letters: runs of equal keys, some across leaf ends.
    for (int i = 0; i < 1500; ++i) Append(Name(rng));
    const std::string ext = GetParam();
    const std::string file = dir_ / ("name" + ext);
    const bool multiple = ext == ".cdx" || ext == ".mdx";
    table_->CreateIndexTag(file, multiple ? "NAME" : "", "NAME", "", tessera::kDuplicateKeys, 0);
    ASSERT_EQ(table_->OpenIndexFile(file), 0);
    table_->SelectMasterTag(table_->TagByNumber(1)->Name(), false);
  }
  // Whether the format's walks see past a leaf's end.
  static bool SeesPastLeaves() { return std::string(GetParam()) != ".ntx"; }

  static std::string Name(std::mt19937& rng) {
    std::string n;
    const int length = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < length; ++k) n += static_cast<char>('A' + rng() % 3);
    return n;
  }
  void Append(const std::string& name) {
    table_->BlankRecord();
    table_->PutText("NAME", name);
    table_->PutNumber("NUM", static_cast<double>(names_.size() + 1));
    table_->AppendRecord();
    names_.push_back(name);
  }

  // At key position `at` of `order`, after a step in direction `forward`:
  // the table stands on that record, and every record the tag names ahead
  // is the one that many keys further on that way.
  void ExpectAt(const std::vector<int32_t>& order, long at, bool forward) {
    ASSERT_EQ(table_->CurrentRecord(), order[static_cast<size_t>(at)]) << "position " << at;
    ASSERT_EQ(table_->GetText("NAME"), names_[static_cast<size_t>(order[static_cast<size_t>(at)] - 1)]);
    for (int n = 1; n <= 40; ++n) {
      const int32_t ahead = table_->MasterTag()->RecordAhead(n);
      if (ahead == 0) continue;
      const long want = forward ? at + n : at - n;
      ASSERT_TRUE(want >= 0 && want < static_cast<long>(order.size())) << "position " << at << ", " << n << " ahead";
      ASSERT_EQ(ahead, order[static_cast<size_t>(want)]) << "position " << at << ", " << n << " ahead";
    }
    // The batch a walk asks for names the same records, the step's leaf
    // and the one past its end alike.
    std::vector<int32_t> batch(40, -1);
    table_->MasterTag()->RecordsAhead(40, batch.data());
    for (int n = 1; n <= 40; ++n)
      ASSERT_EQ(batch[static_cast<size_t>(n - 1)], table_->MasterTag()->RecordAhead(n))
          << "position " << at << ", " << n << " ahead";
  }

  TempDir dir_;
  std::unique_ptr<KTO_dBHandler> table_;
  std::vector<std::string> names_;
};

TEST_P(WalkAhead, WalksBothWaysSeeingPastLeafEnds) {
  const std::vector<int32_t> order = KeyOrder(names_);
  const long last = static_cast<long>(order.size()) - 1;
  // Forward, reading a field at every step (the walk that fetches ahead).
  long at = 0;
  int known = 0;
  table_->GotoRecord(tessera::kMoveFirst);
  for (;; ++at) {
    ASSERT_FALSE(table_->Eof());
    ExpectAt(order, at, true);
    // After the first step the records as far ahead as the table fetches
    // are known at every key, the first ones of the next leaf included
    // (the bulk-built leaves are full, longer than that distance).
    if (at >= 1 && SeesPastLeaves())
      for (int n = 1; n <= 20 && at + n <= last; ++n) {
        ASSERT_NE(table_->MasterTag()->RecordAhead(n), 0) << "position " << at << ", " << n << " ahead";
        ++known;
      }
    table_->Skip(1);
    if (at == last) break;
  }
  EXPECT_TRUE(table_->Eof());
  if (SeesPastLeaves()) {
    EXPECT_GT(known, 20000);
  }
  // Backward from the last key.
  table_->GotoRecord(tessera::kMoveLast);
  for (at = last;; --at) {
    ASSERT_FALSE(table_->Bof());
    ExpectAt(order, at, false);
    table_->Skip(-1);
    if (at == 0) break;
  }
  EXPECT_TRUE(table_->Bof());
}

TEST_P(WalkAhead, TurnsAnywhereKeepTheOrder) {
  const std::vector<int32_t> order = KeyOrder(names_);
  const long last = static_cast<long>(order.size()) - 1;
  std::mt19937 rng(11);
  long at = 0;
  table_->GotoRecord(tessera::kMoveFirst);
  // Runs of steps of random length and direction: turns fall on and next
  // to leaf ends, with the leaf ahead decoded for the other direction.
  for (int run = 0; run < 300; ++run) {
    const bool forward = rng() % 2 == 0;
    const int steps = 1 + static_cast<int>(rng() % 60);
    for (int s = 0; s < steps; ++s) {
      if (forward ? at == last : at == 0) break;
      table_->Skip(forward ? 1 : -1);
      at += forward ? 1 : -1;
      ExpectAt(order, at, forward);
    }
  }
}

TEST_P(WalkAhead, WritesDuringTheWalkAreSeen) {
  std::vector<int32_t> order = KeyOrder(names_);
  std::mt19937 rng(5);
  long at = 0;
  table_->GotoRecord(tessera::kMoveFirst);
  // Every 37 keys a new card goes into the tag (often into the leaf the
  // walk decoded ahead, splitting it); the walk goes on from where it was.
  for (int writes = 0; writes < 25; ++writes) {
    for (int s = 0; s < 37; ++s) {
      table_->Skip(1);
      ++at;
      ExpectAt(order, at, true);
    }
    const int32_t here = table_->CurrentRecord();
    Append(Name(rng));
    order = KeyOrder(names_);
    table_->GotoRecord(here);
    at = std::find(order.begin(), order.end(), here) - order.begin();
    ExpectAt(order, at, true);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, WalkAhead, ::testing::Values(".cdx", ".mdx", ".ndx", ".ntx"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param + 1); });

}  // namespace
