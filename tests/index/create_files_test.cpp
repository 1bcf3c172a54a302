// Several single-tag files built side by side (CreateIndexFiles into NDX or
// NTX files: the next files' keys gathered on other threads while a file is
// packed) give, file for file, the bytes one CreateIndexTag per file gives,
// with threads and without, and report their progress as those calls do. A
// definition that cannot be built changes nothing; a failure while building
// (a key that cannot be evaluated, a full disk, a user giving up) keeps the
// files built before it, leaves nothing half-built and every file there
// checks clean.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/key_sort.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "platform/write_faults.h"
#include "support/build_support.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

namespace fs = std::filesystem;
using tessera::IndexFileDefinition;
using tessera::IndexTagDefinition;
using tessera::KTO_dBHandler;
using tessera::TktSort;
using testing_support::FileBytes;
using testing_support::ReportingTable;
using Settings = testing_support::SortSettings;

// Enough records for many chunks of the pass and several runs per sort.
constexpr int64_t kCards = 20000;


// The kind of file: ".NDX" or ".NTX".
class CreateFiles : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { master_.Make(kCards); }
  static void TearDownTestSuite() { master_.Drop(); }
  void SetUp() override {
    master_.CopyTo(Table());
    for (const char* d : {"one", "side"}) fs::create_directory(dir_.path() + "/" + d);
  }
  bool Ntx() const { return GetParam() == ".NTX"; }
  std::string Table() const { return dir_.path() + "/Pyx.DBF"; }
  // File `name` of the kind in the folder `folder`.
  std::string Path(const std::string& folder, const std::string& name) const {
    return dir_.path() + "/" + folder + "/" + name + GetParam();
  }

  // The callbook's eleven tags, and tags with unique keys, the record's
  // number and deletion mark in the key (read through the gathering
  // thread's view of the record); for NTX also a FOR condition and a
  // descending order (an NDX file keeps neither).
  std::vector<IndexTagDefinition> TagsToBuild() const {
    std::vector<IndexTagDefinition> tags;
    for (const auto& t : pyx_sample::kCallbookTags)
      tags.push_back({t.name, t.expression, "", tessera::kDuplicateKeys, 0});
    tags.push_back({"USTRANA", "STRANA_", "", tessera::kUniqueKeys, 0});
    tags.push_back({"NUMBERED", "RECNO()", "", tessera::kDuplicateKeys, 0});
    tags.push_back({"MARKED", "IIF(DELETED(), \"D\", \"L\") + GOR_", "", tessera::kDuplicateKeys, 0});
    if (Ntx()) {
      tags.push_back({"THIRDS", "CALL_", "(MOD(RECNO(), 3) = 1) .AND. .NOT. DELETED()", tessera::kDuplicateKeys, 0});
      tags.push_back({"DGOR", "GOR_", "", tessera::kDuplicateKeys, 1});
    }
    return tags;
  }
  // One file per tag, named after it, in `folder`.
  std::vector<IndexFileDefinition> Files(const std::string& folder, const std::vector<IndexTagDefinition>& tags) const {
    std::vector<IndexFileDefinition> files;
    for (const auto& t : tags) files.push_back({Path(folder, t.name), t});
    return files;
  }
  // The files one CreateIndexTag each; their bytes.
  std::vector<std::string> BuildOneByOne(const std::vector<IndexFileDefinition>& files) {
    {
      KTO_dBHandler t(Table(), false, true);
      for (const auto& f : files)
        t.CreateIndexTag(f.file_name, f.tag.name, f.tag.key_expr, f.tag.for_expr, f.tag.uniqueness, f.tag.sort_order);
    }
    std::vector<std::string> bytes;
    for (const auto& f : files) bytes.push_back(FileBytes(f.file_name));
    return bytes;
  }
  // Each file a tag of its own before the build (to be replaced).
  void Prepare(const std::vector<IndexFileDefinition>& files) {
    KTO_dBHandler t(Table(), false, true);
    for (const auto& f : files) t.CreateIndexTag(f.file_name, "", "UPPER(EMAIL_)", "", tessera::kDuplicateKeys, 0);
  }
  // Problems the file's check finds ("does not open" when it does not).
  std::vector<std::string> Check(const std::string& path) {
    KTO_dBHandler t(Table(), true, false);
    if (Ntx()) {
      tessera::KTobjNTXFile f(&t, path, false, false, true, false);
      if (!f.Opened()) return {"does not open"};
      return tessera::CheckNtxFile(f);
    }
    tessera::KTobjNDXFile f(&t, path, false, false, true, false);
    if (!f.Opened()) return {"does not open"};
    return tessera::CheckNdxFile(f);
  }

  tessera::EngineScope engine_;
  testing_support::TempDir dir_;
  static testing_support::MasterTable master_;
};

testing_support::MasterTable CreateFiles::master_;

// Packed in the order given on the build's thread: each file's bytes those
// of CreateIndexTag alone, complete when `built` hears of it.
TEST_P(CreateFiles, SideBySideIsWhatOneFileAtATimeGives) {
  const auto tags = TagsToBuild();
  const auto one = Files("one", tags), side = Files("side", tags);
  const std::vector<std::string> expected = BuildOneByOne(one);
  for (const auto& f : one) EXPECT_EQ(Check(f.file_name), std::vector<std::string>{}) << f.file_name;
  // New files and files that hold a tag of their own; runs kept in memory
  // and runs going to the work file from the first (the sorts alive at
  // once share the bound).
  for (bool existing : {false, true}) {
    for (bool threads : {true, false}) {
      for (size_t run_memory : {size_t{64} << 20, size_t{0}}) {
        SCOPED_TRACE(std::string(existing ? "existing files, " : "new files, ") + (threads ? "threads" : "no threads") +
                     (run_memory == 0 ? ", spilled" : ""));
        if (existing) Prepare(side);
        Settings settings(threads, run_memory);
        std::vector<size_t> built;
        {
          KTO_dBHandler t(Table(), false, true);
          t.GotoRecord(5000);
          t.CreateIndexFiles(side, [&](size_t k) {
            built.push_back(k);
            EXPECT_TRUE(FileBytes(side[k].file_name) == expected[k]) << side[k].file_name;
          });
          // As after CreateIndexTag: no index open, the record where it was.
          EXPECT_FALSE(t.HasIndexFile());
          EXPECT_EQ(t.CurrentRecord(), 5000);
        }
        ASSERT_EQ(built.size(), side.size());
        for (size_t k = 0; k < side.size(); ++k) {
          EXPECT_EQ(built[k], k);
          EXPECT_TRUE(FileBytes(side[k].file_name) == expected[k]) << side[k].file_name;
        }
        for (const auto& f : side) fs::remove(f.file_name);
      }
    }
  }
}

TEST_P(CreateFiles, ProgressIsReportedAsOneFileAtATimeReportsIt) {
  std::vector<IndexTagDefinition> tags;
  for (const char* name : {"CALL", "FIO", "STRANA"})
    for (const auto& t : pyx_sample::kCallbookTags)
      if (std::string(t.name) == name) tags.push_back({t.name, t.expression, "", tessera::kDuplicateKeys, 0});
  std::vector<std::tuple<int32_t, int32_t, int32_t>> one_by_one;
  {
    ReportingTable t(Table());
    for (const auto& f : Files("one", tags))
      t.CreateIndexTag(f.file_name, f.tag.name, f.tag.key_expr, "", f.tag.uniqueness, 0);
    one_by_one = t.reports;
  }
  ASSERT_GT(one_by_one.size(), size_t{3 * kCards});
  for (bool threads : {true, false}) {
    Settings settings(threads, size_t{64} << 20);
    ReportingTable t(Table());
    t.CreateIndexFiles(Files(threads ? "side" : "one", tags));
    EXPECT_TRUE(t.reports == one_by_one) << threads;
  }
}

// The fifth of eleven cannot be built: nothing is written, files that were
// there keep their bytes, and no file is made.
TEST_P(CreateFiles, ADefinitionThatCannotBeBuiltChangesNothing) {
  auto good = TagsToBuild();
  good.resize(11);
  const auto old_files = Files("one", good);
  Prepare(old_files);
  std::vector<std::string> before;
  for (const auto& f : old_files) before.push_back(FileBytes(f.file_name));
  std::vector<std::string> bad_cases = {"NO_SUCH_FIELD", "FAM_ +* IM_", "REPLICATE(\"X\", 250)", "twice", "CDX"};
  if (!Ntx()) bad_cases.insert(bad_cases.end(), {"descending", "FOR"});
  for (const std::string& bad : bad_cases) {
    SCOPED_TRACE(bad);
    for (const std::string folder : {"one", "side"}) {
      auto files = Files(folder, good);
      if (bad == "twice") files[4].file_name = files[1].file_name;
      else if (bad == "CDX") files[4].file_name = dir_.path() + "/" + folder + "/PYX.CDX";
      else if (bad == "descending") files[4].tag.sort_order = 1;
      else if (bad == "FOR") files[4].tag.for_expr = ".NOT. DELETED()";
      else files[4].tag.key_expr = bad;
      for (bool threads : {true, false}) {
        Settings settings(threads, size_t{64} << 20);
        KTO_dBHandler t(Table(), false, true);
        // (An expression that does not compile raises ETesseraExpression.)
        EXPECT_THROW(t.CreateIndexFiles(files), std::runtime_error);
        t.GotoRecord(1234);
        EXPECT_EQ(t.CurrentRecord(), 1234);
      }
    }
    for (size_t k = 0; k < old_files.size(); ++k) EXPECT_TRUE(FileBytes(old_files[k].file_name) == before[k]) << k;
    EXPECT_TRUE(fs::is_empty(dir_.path() + "/side"));
  }
}

// A key that fails from one record on (a division by zero), in the fifth
// file: the error of that record, the four files before it built; the
// failure comes while its keys are gathered, before its old tag is taken
// away, so it and the ones after it are as they were (a new one not
// there); with threads as without.
TEST_P(CreateFiles, AKeyFailingMidwayKeepsTheFilesBeforeIt) {
  auto tags = TagsToBuild();
  tags.resize(11);
  const std::vector<std::string> expected = BuildOneByOne(Files("one", tags));
  tags[4].key_expr = "CALL_ + STR(1 / (12000 - RECNO()), 12, 6)";
  std::string message[2];
  for (int threads = 0; threads < 2; ++threads) {
    Settings settings(threads != 0, size_t{64} << 20);
    for (bool existing : {false, true}) {
      SCOPED_TRACE(std::string(existing ? "existing files, " : "new files, ") + (threads ? "threads" : "no threads"));
      const auto files = Files("side", tags);
      if (existing) Prepare(files);
      std::vector<std::string> before;
      for (const auto& f : files) before.push_back(existing ? FileBytes(f.file_name) : "");
      {
        KTO_dBHandler t(Table(), false, true);
        message[threads] = testing_support::FailureOf([&] { t.CreateIndexFiles(files); });
        t.GotoRecord(77);
        EXPECT_EQ(t.CurrentRecord(), 77);
      }
      for (size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].file_name);
        if (k < 4) {
          EXPECT_TRUE(FileBytes(files[k].file_name) == expected[k]);
          EXPECT_EQ(Check(files[k].file_name), std::vector<std::string>{});
        } else if (!existing) {
          EXPECT_FALSE(fs::exists(files[k].file_name));
        } else {
          EXPECT_TRUE(FileBytes(files[k].file_name) == before[k]);
        }
        fs::remove(files[k].file_name);
      }
    }
  }
  EXPECT_FALSE(message[0].empty());
  EXPECT_EQ(message[0], message[1]);
}

// The disk fills at a write of the build's (the index files' or the sorts'
// work files', on whichever thread): an error that says so, the files built
// before it kept, none half-built: every file left opens and checks clean.
TEST_P(CreateFiles, AFullDiskLeavesOnlyFilesThatCheckClean) {
  auto tags = TagsToBuild();
  tags.resize(5);
  const auto files = Files("side", tags);
  const std::vector<std::string> expected = BuildOneByOne(Files("one", tags));
  Settings settings(true, 0);  // every run to a work file
  int64_t calls = 0;
  {
    KTO_dBHandler t(Table(), false, true);
    plat::ResetWriteCount();
    t.CreateIndexFiles(files);
    calls = plat::WriteCallCount();
  }
  for (const auto& f : files) fs::remove(f.file_name);
  ASSERT_GT(calls, 20);
  for (int64_t at : {int64_t{0}, int64_t{1}, calls / 5, calls / 2, calls * 9 / 10, calls - 1}) {
    SCOPED_TRACE(std::to_string(at) + " of " + std::to_string(calls));
    bool failed = false;
    {
      KTO_dBHandler t(Table(), false, true);
      plat::ArmWriteFault(plat::WriteFault::kDiskFull, at, 112);
      try {
        t.CreateIndexFiles(files);
      } catch (const tessera::ETesseraError& e) {
        failed = true;
        EXPECT_NE(std::string(e.what()).find("not enough space on the disk"), std::string::npos) << e.what();
      }
      plat::DisarmWriteFault();
      t.GotoRecord(99);
      EXPECT_EQ(t.CurrentRecord(), 99);
    }
    // The files before the one the disk filled in, each whole; none after.
    size_t present = 0;
    while (present < files.size() && fs::exists(files[present].file_name)) ++present;
    EXPECT_TRUE(failed || present == files.size());
    for (size_t k = 0; k < files.size(); ++k) {
      if (k >= present) {
        EXPECT_FALSE(fs::exists(files[k].file_name)) << k;
        continue;
      }
      EXPECT_TRUE(FileBytes(files[k].file_name) == expected[k]) << k;
      EXPECT_EQ(Check(files[k].file_name), std::vector<std::string>{});
      fs::remove(files[k].file_name);
    }
  }
}

TEST_P(CreateFiles, AUserGivingUpStopsTheBuild) {
  auto tags = TagsToBuild();
  tags.resize(5);
  const auto files = Files("side", tags);
  // In the third file's pass over the table, and while it is packed.
  for (int32_t phase : {1, 2}) {
    for (bool threads : {true, false}) {
      SCOPED_TRACE(std::to_string(phase) + (threads ? ", threads" : ""));
      Settings settings(threads, size_t{64} << 20);
      {
        ReportingTable t(Table(), 3, phase, 15000);
        EXPECT_THROW(t.CreateIndexFiles(files), std::runtime_error);
        t.GotoRecord(1001);
        EXPECT_EQ(t.CurrentRecord(), 1001);
      }
      for (size_t k = 0; k < files.size(); ++k) {
        EXPECT_EQ(fs::exists(files[k].file_name), k < 2) << k;
        if (k < 2) {
          EXPECT_EQ(Check(files[k].file_name), std::vector<std::string>{});
        }
        fs::remove(files[k].file_name);
      }
    }
  }
}

// A table without records: every file its empty tree, as alone.
TEST_P(CreateFiles, AnEmptyTableGivesTheFilesOneAtATimeGives) {
  pyx_sample::WriteSampleTable(dir_.path(), 0, 13, true);
  auto tags = TagsToBuild();
  tags.resize(3);
  const std::vector<std::string> expected = BuildOneByOne(Files("one", tags));
  const auto side = Files("side", tags);
  {
    ReportingTable t(Table());
    t.CreateIndexFiles(side);
    EXPECT_TRUE(t.reports.empty());
  }
  for (size_t k = 0; k < side.size(); ++k) EXPECT_TRUE(FileBytes(side[k].file_name) == expected[k]) << k;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CreateFiles, ::testing::Values(".NDX", ".NTX"),
                         [](const auto& info) { return info.param.substr(1); });

}  // namespace
