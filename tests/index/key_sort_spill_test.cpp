// Sorted runs moved to the work file change nothing but where they wait:
// a sort whose runs go to the file, all or from some point on, and one
// whose file runs are first merged in groups (several levels of them),
// deliver what a sort kept in memory delivers, with the worker threads and
// without, and a tag built either way is the same file. A work file that
// cannot be made or written ends the sort (and the tag's build) with an
// error that says so, leaving the index file as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/key_sort.h"
#include "platform/write_faults.h"
#include "sort_test_util.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using sort_test::Drain;
using sort_test::Out;
using sort_test::Text;
using testing_support::FileBytes;
using testing_support::TempDir;
using tessera::TktSort;

// Sets the spill settings (and the worker threads) for one scope.
struct Spill {
  Spill(size_t run_memory, size_t merge_runs, bool threads = true, std::string directory = "") {
    TktSort::SpillSettings s;
    s.run_memory = run_memory;
    s.merge_runs = merge_runs;
    s.directory = std::move(directory);
    TktSort::SetSpillSettings(s);
    TktSort::SetWorkerThreads(threads);
  }
  ~Spill() {
    TktSort::SetSpillSettings(saved);
    TktSort::SetWorkerThreads(true);
  }
  TktSort::SpillSettings saved = TktSort::CurrentSpillSettings();
};

// Long shared stretches, many equal values, the same key for the same
// record added twice far apart (so in different runs), lengths around the
// 16 bytes compared as integers.
void AddKeys(TktSort& sort, int32_t count) { sort_test::AddPrefixedKeys(sort, count, 11, 2000, 7919, 40000); }

struct Result {
  std::vector<Out> out;
  size_t runs = 0;
  size_t spilled = 0;
  size_t peak_memory = 0;  // while adding, at each run made
};

Result SortWith(bool ascending, bool unique, int32_t keys) {
  Result r;
  TktSort sort(40, nullptr, ascending, unique);
  size_t runs_seen = 0;
  sort_test::AddPrefixedKeys(sort, keys, 11, 2000, 7919, 40000, [&] {
    if (sort.RunCount() != runs_seen) {
      runs_seen = sort.RunCount();
      r.peak_memory = std::max(r.peak_memory, sort.MemoryBytes());
    }
  });
  r.runs = sort.RunCount();
  EXPECT_TRUE(sort.HasMoreKeys());
  r.spilled = sort.SpilledRunCount();
  r.out = Drain(sort);
  EXPECT_EQ(sort.MemoryBytes(), 0u);
  return r;
}

void ExpectSame(const std::vector<Out>& a, const std::vector<Out>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].bytes, b[i].bytes) << what << " at " << i;
    ASSERT_EQ(a[i].recno, b[i].recno) << what << " at " << i;
    ASSERT_EQ(a[i].kind, b[i].kind) << what << " at " << i;
  }
}

TEST(KeySortSpill, RunsInTheFileDeliverWhatRunsInMemoryDeliver) {
  constexpr int32_t kKeys = 200000;
  for (bool ascending : {true, false}) {
    for (bool unique : {false, true}) {
      Result memory;
      {
        Spill settings(size_t{1} << 30, 512);
        memory = SortWith(ascending, unique, kKeys);
      }
      ASSERT_GE(memory.runs, 8u);
      EXPECT_EQ(memory.spilled, 0u);
      for (bool threads : {true, false}) {
        // From the third run on, into the file.
        {
          Spill settings(memory.peak_memory / 4, 512, threads);
          const Result r = SortWith(ascending, unique, kKeys);
          EXPECT_GT(r.spilled, 0u);
          EXPECT_LT(r.spilled, r.runs);
          // What stays in memory stays near the bound: the pool and the
          // runs being sorted come on top.
          EXPECT_LT(r.peak_memory, memory.peak_memory / 4 + 3 * 1310720u);
          ExpectSame(memory.out, r.out, "part in the file");
        }
        // Every run into the file, read two or three at a time: groups of
        // runs are merged in the file, and merged runs merged again.
        for (size_t merge_runs : {2u, 3u}) {
          Spill settings(0, merge_runs, threads);
          const Result r = SortWith(ascending, unique, kKeys);
          EXPECT_LE(r.spilled, merge_runs);
          ExpectSame(memory.out, r.out, "all in the file");
        }
      }
    }
  }
}

TEST(KeySortSpill, NumbersDatesAndKeysTheLengthOfTheEntryLimit) {
  // Keys of every kind and of the longest encoded length (240 + 4 bytes),
  // so that entries straddle the read buffer's edges.
  auto fill = [](TktSort& sort, int kind) {
    for (int32_t r = 1; r <= 30000; ++r) {
      const uint32_t n = static_cast<uint32_t>(r) * 2654435761u;
      if (kind == 0) sort.AddKey(sort_test::Number(static_cast<double>(static_cast<int32_t>(n)) / 7.0), r);
      else if (kind == 1) sort.AddKey(sort_test::Day(static_cast<int32_t>(n % 3000000)), r);
      else sort.AddKey(Text(std::string(218 + n % 20, static_cast<char>('A' + n % 3)) + std::to_string(n % 97)), r);
    }
  };
  for (int kind = 0; kind < 3; ++kind) {
    std::vector<Out> memory, file;
    {
      Spill settings(size_t{1} << 30, 512);
      TktSort sort(240, nullptr, true, false);
      fill(sort, kind);
      memory = Drain(sort);
    }
    {
      Spill settings(0, 2, false);
      TktSort sort(240, nullptr, true, false);
      fill(sort, kind);
      EXPECT_TRUE(sort.HasMoreKeys());
      EXPECT_GT(sort.SpilledRunCount(), 0u);
      file = Drain(sort);
    }
    ExpectSame(memory, file, "kind");
  }
}

TEST(KeySortSpill, AWorkFileThatCannotBeMadeIsAnErrorNamingItsFolder) {
  TempDir dir;
  const std::string missing = dir / "no-such-folder";
  for (bool threads : {true, false}) {
    Spill settings(0, 512, threads, missing);
    TktSort sort(40, nullptr, true, false);
    try {
      AddKeys(sort, 100000);
      sort.HasMoreKeys();
      FAIL() << "no error";
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    // The sort stays an object that can be asked and destroyed.
    tessera::TktVariant key;
    int32_t recno = 0;
    EXPECT_THROW(sort.NextKey(key, recno), tessera::ETesseraError);
  }
}

TEST(KeySortSpill, AFullDiskIsAnErrorWhereverItStrikes) {
  // The calls that write the work file, counted in a sort that succeeds:
  // the disk then fills at the first, a middle one and the last (the last
  // being a merge of runs in the file at retrieval).
  int64_t calls = 0;
  {
    Spill settings(0, 3, false);
    TktSort sort(40, nullptr, true, false);
    plat::ResetWriteCount();
    AddKeys(sort, 60000);
    EXPECT_TRUE(sort.HasMoreKeys());
    calls = plat::WriteCallCount();
  }
  ASSERT_GT(calls, 4);
  for (int64_t at : {int64_t{0}, calls / 2, calls - 1}) {
    Spill settings(0, 3, false);
    TktSort sort(40, nullptr, true, false);
    plat::ArmWriteFault(plat::WriteFault::kDiskFull, at, 112);
    try {
      AddKeys(sort, 60000);
      sort.HasMoreKeys();
      ADD_FAILURE() << "no error at call " << at;
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find("not enough space on the disk"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("key sort work file"), std::string::npos) << e.what();
    }
    plat::DisarmWriteFault();
  }
}

class KeySortSpillBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    pyx_sample::WriteSampleTable(dir_.path(), 30000, 5, true);
  }
  // Builds the callbook's tags into `index`.
  void Build(const std::string& index) {
    tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", false, true);
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag(index, tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  tessera::EngineScope engine_;
  TempDir dir_;
};

TEST_F(KeySortSpillBuild, TagsBuiltThroughTheFileAreTheSameBytes) {
  {
    Spill settings(size_t{1} << 30, 512);
    Build("MEMORY.CDX");
  }
  {
    Spill settings(0, 2);
    Build("SPILLED.CDX");
  }
  {
    Spill settings(0, 2, false);
    Build("ALONE.CDX");
  }
  const std::string memory = FileBytes(dir_ / "MEMORY.CDX");
  EXPECT_EQ(memory, FileBytes(dir_ / "SPILLED.CDX"));
  EXPECT_EQ(memory, FileBytes(dir_ / "ALONE.CDX"));
}

TEST_F(KeySortSpillBuild, ABuildWhoseWorkFileFailsLeavesNoTagBehind) {
  {
    Spill settings(size_t{1} << 30, 512);
    Build("PYX.CDX");
  }
  const std::string before = FileBytes(dir_ / "PYX.CDX");
  {
    Spill settings(0, 512, true, dir_ / "missing");
    tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", false, true);
    EXPECT_THROW(t.CreateIndexTag("PYX.CDX", "EXTRA", "FAM_+CALL_", "", tessera::kDuplicateKeys, 0),
                 tessera::ETesseraError);
    EXPECT_THROW(t.CreateIndexTag("NEW.CDX", "EXTRA", "FAM_+CALL_", "", tessera::kDuplicateKeys, 0),
                 tessera::ETesseraError);
  }
  for (const char* file : {"PYX.CDX", "NEW.CDX"}) {
    tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
    if (!std::filesystem::exists(dir_ / file)) continue;
    tessera::KTobjCDXFile f(&t, dir_ / file, false, false, true, false);
    ASSERT_TRUE(f.Opened()) << file;
    EXPECT_FALSE(f.NeedsRebuild()) << file;
    EXPECT_EQ(tessera::CheckCdxFile(f), std::vector<std::string>{}) << file;
    for (size_t i = 0; i < f.TagCount(); ++i) EXPECT_NE(f.TagAt(i)->Name(), "EXTRA") << file;
  }
  // The eleven tags are untouched, and the tag builds once the folder is there.
  tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", false, true);
  std::filesystem::create_directories(dir_ / "missing");
  Spill settings(0, 512, true, dir_ / "missing");
  t.CreateIndexTag("PYX.CDX", "EXTRA", "FAM_+CALL_", "", tessera::kDuplicateKeys, 0);
  EXPECT_GT(std::filesystem::file_size(dir_ / "PYX.CDX"), before.size());
}

}  // namespace
