// The key sort's worker threads change nothing but the time: a large sort
// delivers the same keys in the same order with them and without, a tag
// built either way is the same file, and a sort given up half-way (an
// error, a cancelled build) stops its threads without waiting for the
// rest.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/key_sort.h"
#include "sort_test_util.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using sort_test::Drain;
using sort_test::Out;
using sort_test::Text;
using tessera::TktSort;

// Turns the worker threads off for one scope.
struct NoWorkers {
  NoWorkers() { TktSort::SetWorkerThreads(false); }
  ~NoWorkers() { TktSort::SetWorkerThreads(true); }
};

// Keys with long shared stretches, many equal values, values added twice
// for the same record far apart (so in different runs), and lengths
// around the 16 bytes the slots and the merge compare as integers.
void AddKeys(TktSort& sort, int32_t count) { sort_test::AddPrefixedKeys(sort, count, 7, 3000, 9973, 50000); }

std::vector<Out> SortAll(bool ascending, bool unique) {
  TktSort sort(40, nullptr, ascending, unique);
  AddKeys(sort, 300000);
  EXPECT_GE(sort.RunCount(), 4u);
  auto out = Drain(sort);
  EXPECT_EQ(sort.MemoryBytes(), 0u);
  return out;
}

TEST(KeySortThreads, DeliverWhatOneThreadDelivers) {
  for (bool ascending : {true, false}) {
    for (bool unique : {false, true}) {
      const auto threaded = SortAll(ascending, unique);
      std::vector<Out> alone;
      {
        NoWorkers off;
        alone = SortAll(ascending, unique);
      }
      ASSERT_EQ(threaded.size(), alone.size()) << ascending << unique;
      for (size_t i = 0; i < alone.size(); ++i) {
        ASSERT_EQ(threaded[i].bytes, alone[i].bytes) << i;
        ASSERT_EQ(threaded[i].recno, alone[i].recno) << i;
      }
      if (!unique) {
        EXPECT_EQ(alone.size(), 300000u + 300000u / 50000u);
      }
    }
  }
}

TEST(KeySortThreads, AbandonedSortsStopTheirThreads) {
  {
    TktSort sort(40, nullptr, true, false);
    AddKeys(sort, 200000);  // the sorter may be at a half right now
  }
  {
    TktSort sort(40, nullptr, false, false);
    AddKeys(sort, 200000);
    tessera::TktVariant key;
    int32_t recno = 0;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(sort.NextKey(key, recno));
    // The merger is batches ahead: the sort goes with it mid-way.
  }
  SUCCEED();
}

TEST(KeySortThreads, TagBuiltWithThreadsIsTheSameFile) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  pyx_sample::WriteSampleTable(dir.path(), 80000, 3, true);
  std::string files[2];
  for (int threads = 0; threads < 2; ++threads) {
    TktSort::SetWorkerThreads(threads != 0);
    const std::string cdx = dir.path() + (threads != 0 ? "/WITH.CDX" : "/ALONE.CDX");
    {
      tessera::KTO_dBHandler t(dir.path() + "/Pyx.DBF", false, true);
      for (const auto& tag : pyx_sample::kCallbookTags)
        if (std::string(tag.name) == "FIO" || std::string(tag.name) == "STRANA")
          t.CreateIndexTag(cdx, tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
    }
    files[threads] = testing_support::FileBytes(cdx);
  }
  TktSort::SetWorkerThreads(true);
  ASSERT_GT(files[0].size(), 512u * 100);
  EXPECT_TRUE(files[0] == files[1]);
}

// A table whose progress handler gives up the build at a chosen report:
// the first phase's (keys gathered, the sorter busy) or the second's (keys
// packed, the mergers batches ahead).
class CancellingTable : public tessera::KTO_dBHandler {
 public:
  CancellingTable(const std::string& path, int32_t phase, int32_t at)
      : KTO_dBHandler(path, false, true), phase_(phase), at_(at) {}
  void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override {
    if (stat1 == -1) phase_seen_ = stat2;
    if (stat1 > 0 && phase_seen_ == phase_ && stat2 == at_) throw std::runtime_error("cancelled");
    KTO_dBHandler::StatusUpdate(stat1, stat2, stat3);
  }

 private:
  int32_t phase_, at_;
  int32_t phase_seen_ = 0;
};

TEST(KeySortThreads, CancelledBuildsStopTheirThreadsAndLeaveTheTableUsable) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  pyx_sample::WriteSampleTable(dir.path(), 90000, 4, true);
  for (int32_t phase : {1, 2}) {
    CancellingTable t(dir.path() + "/Pyx.DBF", phase, 70000);
    EXPECT_THROW(t.CreateIndexTag(dir.path() + "/CANCEL.CDX", "FIO", "FAM_+IM_+OTCH_", "", tessera::kDuplicateKeys, 0),
                 std::exception)
        << "phase " << phase;
    t.GotoRecord(1001);
    EXPECT_EQ(t.CurrentRecord(), 1001);
  }
}

}  // namespace
