// Several tags built side by side (CreateIndexTags into a compound or a
// multiple index: the next tags' keys gathered on other threads while a
// tag is packed) give the file that one CreateIndexTag per tag gives, byte
// for byte, with threads and without, and report their progress as those
// calls do. A definition that
// cannot be built changes nothing; a failure while building (a key that
// cannot be evaluated, a full disk, a user giving up) keeps the tags built
// before it, adds nothing half-built and leaves a file that checks clean.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/key_sort.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "platform/write_faults.h"
#include "support/build_support.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using tessera::IndexTagDefinition;
using tessera::KTO_dBHandler;
using tessera::TktSort;
using testing_support::FileBytes;
using testing_support::ReportingTable;
using Settings = testing_support::SortSettings;

// Enough records for many chunks of the pass and several runs per sort.
constexpr int64_t kCards = 20000;

// The callbook's eleven tags, and tags with a FOR condition, unique keys,
// descending order, numeric and date-like keys and the record's number
// and deletion mark in the key (read through the gathering thread's view
// of the record).
std::vector<IndexTagDefinition> TagsToBuild() {
  std::vector<IndexTagDefinition> tags;
  for (const auto& t : pyx_sample::kCallbookTags) tags.push_back({t.name, t.expression, "", tessera::kDuplicateKeys, 0});
  tags.push_back({"THIRDS", "CALL_", "(MOD(RECNO(), 3) = 1) .AND. .NOT. DELETED()", tessera::kDuplicateKeys, 0});
  tags.push_back({"USTRANA", "STRANA_", "", tessera::kUniqueKeys, 0});
  tags.push_back({"DGOR", "GOR_", "", tessera::kDuplicateKeys, 1});
  tags.push_back({"NUMBERED", "RECNO()", "", tessera::kDuplicateKeys, 0});
  tags.push_back({"MARKED", "IIF(DELETED(), \"D\", \"L\") + GOR_", "", tessera::kDuplicateKeys, 0});
  return tags;
}

class CreateTags : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { master_.Make(kCards); }
  static void TearDownTestSuite() { master_.Drop(); }
  void SetUp() override {
    master_.CopyTo(Table());
  }
  std::string Table() const { return dir_.path() + "/Pyx.DBF"; }
  std::string Path(const char* file) const { return dir_.path() + "/" + file; }

  // The tags one CreateIndexTag each.
  void BuildOneByOne(const std::string& index, const std::vector<IndexTagDefinition>& tags) {
    KTO_dBHandler t(Table(), false, true);
    for (const auto& d : tags) t.CreateIndexTag(index, d.name, d.key_expr, d.for_expr, d.uniqueness, d.sort_order);
  }
  // Problems the file's check finds ("does not open" when it does not).
  std::vector<std::string> Check(const std::string& index) {
    KTO_dBHandler t(Table(), true, false);
    tessera::KTobjCDXFile f(&t, index, false, false, true, false);
    if (!f.Opened()) return {"does not open"};
    return tessera::CheckCdxFile(f);
  }
  // The same for a multiple index.
  std::vector<std::string> CheckMdx(const std::string& index) {
    KTO_dBHandler t(Table(), true, false);
    tessera::KTobjMDXFile f(&t, index, false, false, true, false);
    if (!f.Opened()) return {"does not open"};
    return tessera::CheckMdxFile(f);
  }
  std::set<std::string> MdxTagNames(const std::string& index) {
    KTO_dBHandler t(Table(), true, false);
    tessera::KTobjMDXFile f(&t, index, false, false, true, false);
    std::set<std::string> names;
    for (size_t i = 0; i < f.TagCount(); ++i) names.insert(f.TagAt(i)->Name());
    return names;
  }
  // The names of the file's tags, in the directory's (alphabetical) order.
  std::set<std::string> TagNames(const std::string& index) {
    KTO_dBHandler t(Table(), true, false);
    tessera::KTobjCDXFile f(&t, index, false, false, true, false);
    std::set<std::string> names;
    for (size_t i = 0; i < f.TagCount(); ++i) names.insert(f.TagAt(i)->Name());
    return names;
  }

  tessera::EngineScope engine_;
  testing_support::TempDir dir_;
  static testing_support::MasterTable master_;
};

testing_support::MasterTable CreateTags::master_;

// A compound and a multiple index: tags packed in the order given on the
// build's thread, the bytes those of one CreateIndexTag per tag.
TEST_F(CreateTags, SideBySideIsTheFileOneTagAtATimeGives) {
  const auto tags = TagsToBuild();
  for (const std::string ext : {".CDX", ".MDX"}) {
    // Into a new file and into one that holds a tag of its own and one of
    // the names built again (replaced). Runs kept in memory, and runs
    // going to the work file from the first (the sorts alive at once share
    // the bound).
    for (bool existing : {false, true}) {
      SCOPED_TRACE(ext + (existing ? ", existing file" : ", new file"));
      auto prepare = [&](const std::string& index) {
        if (!existing) return;
        KTO_dBHandler t(Table(), false, true);
        t.CreateIndexTag(index, "OWN", "UPPER(EMAIL_)", "", tessera::kDuplicateKeys, 0);
        t.CreateIndexTag(index, "CALL", "GOR_ + CALL_", "", tessera::kDuplicateKeys, 0);
      };
      const std::string one = Path(("ONE" + ext).c_str()), side = Path(("SIDE" + ext).c_str());
      prepare(one);
      BuildOneByOne(one, tags);
      const std::string expected = FileBytes(one);
      for (bool threads : {true, false}) {
        for (size_t run_memory : {size_t{64} << 20, size_t{0}}) {
          SCOPED_TRACE(std::string(threads ? "threads" : "no threads") + (run_memory == 0 ? ", spilled" : ""));
          Settings settings(threads, run_memory);
          prepare(side);
          std::vector<size_t> built;
          {
            KTO_dBHandler t(Table(), false, true);
            t.GotoRecord(5000);
            t.CreateIndexTags(side, tags, [&](size_t k) { built.push_back(k); });
            // As after CreateIndexTag: no index open, the record where it was.
            EXPECT_FALSE(t.HasIndexFile());
            EXPECT_EQ(t.CurrentRecord(), 5000);
          }
          EXPECT_TRUE(FileBytes(side) == expected);
          ASSERT_EQ(built.size(), tags.size());
          for (size_t k = 0; k < built.size(); ++k) EXPECT_EQ(built[k], k);
          std::filesystem::remove(side);
        }
      }
      EXPECT_EQ(ext == ".CDX" ? Check(one) : CheckMdx(one), std::vector<std::string>{});
      std::filesystem::remove(one);
    }
  }
}

// A multiple index: a bad definition changes nothing; a key failing midway
// keeps the tags before it, the one it met not added, the file clean.
TEST_F(CreateTags, MultipleIndexFailuresKeepTheTagsBuilt) {
  BuildOneByOne(Path("PYX.MDX"), {{"OWN", "CALL_", "", tessera::kDuplicateKeys, 0}});
  const std::string before = FileBytes(Path("PYX.MDX"));
  auto tags = TagsToBuild();
  tags.resize(11);
  tags[4].key_expr = "NO_SUCH_FIELD";
  for (bool threads : {true, false}) {
    Settings settings(threads, size_t{64} << 20);
    KTO_dBHandler t(Table(), false, true);
    EXPECT_THROW(t.CreateIndexTags(Path("PYX.MDX"), tags), std::runtime_error);
  }
  EXPECT_TRUE(FileBytes(Path("PYX.MDX")) == before);
  tags[4].key_expr = "CALL_ + STR(1 / (12000 - RECNO()), 12, 6)";
  std::string message[2];
  for (int threads = 0; threads < 2; ++threads) {
    Settings settings(threads != 0, size_t{64} << 20);
    const std::string index = Path(threads != 0 ? "T.MDX" : "S.MDX");
    {
      KTO_dBHandler t(Table(), false, true);
      message[threads] = testing_support::FailureOf([&] { t.CreateIndexTags(index, tags); });
      t.GotoRecord(77);
      EXPECT_EQ(t.CurrentRecord(), 77);
    }
    EXPECT_EQ(MdxTagNames(index), (std::set<std::string>{"FIO", "IM", "OTCH", "CALL"}));
    EXPECT_EQ(CheckMdx(index), std::vector<std::string>{});
  }
  EXPECT_FALSE(message[0].empty());
  EXPECT_EQ(message[0], message[1]);
}

TEST_F(CreateTags, ProgressIsReportedAsOneTagAtATimeReportsIt) {
  std::vector<IndexTagDefinition> tags;
  for (const char* name : {"CALL", "FIO", "STRANA"})
    for (const auto& t : pyx_sample::kCallbookTags)
      if (std::string(t.name) == name) tags.push_back({t.name, t.expression, "", tessera::kDuplicateKeys, 0});
  std::vector<std::tuple<int32_t, int32_t, int32_t>> one_by_one;
  {
    ReportingTable t(Table());
    for (const auto& d : tags) t.CreateIndexTag(Path("A.CDX"), d.name, d.key_expr, "", d.uniqueness, 0);
    one_by_one = t.reports;
  }
  ASSERT_GT(one_by_one.size(), size_t{3 * kCards});
  for (bool threads : {true, false}) {
    Settings settings(threads, size_t{64} << 20);
    ReportingTable t(Table());
    t.CreateIndexTags(Path(threads ? "B.CDX" : "C.CDX"), tags);
    EXPECT_TRUE(t.reports == one_by_one) << threads;
  }
}

TEST_F(CreateTags, ADefinitionThatCannotBeBuiltChangesNothing) {
  BuildOneByOne(Path("PYX.CDX"), {{"OWN", "CALL_", "", tessera::kDuplicateKeys, 0}});
  const std::string before = FileBytes(Path("PYX.CDX"));
  // The fifth of eleven: a field that does not exist, an expression that
  // does not parse, a key too long, a name too long for the directory.
  for (const char* bad : {"NO_SUCH_FIELD", "FAM_ +* IM_", "REPLICATE(\"X\", 250)", "!NAME"}) {
    SCOPED_TRACE(bad);
    auto tags = TagsToBuild();
    tags.resize(11);
    if (std::string(bad) == "!NAME") tags[4].name = "ELEVENCHARS";
    else tags[4].key_expr = bad;
    for (bool threads : {true, false}) {
      Settings settings(threads, size_t{64} << 20);
      KTO_dBHandler t(Table(), false, true);
      // (An expression that does not compile raises ETesseraExpression.)
      EXPECT_THROW(t.CreateIndexTags(Path("PYX.CDX"), tags), std::runtime_error);
      EXPECT_THROW(t.CreateIndexTags(Path("NEW.CDX"), tags), std::runtime_error);
      t.GotoRecord(1234);
      EXPECT_EQ(t.CurrentRecord(), 1234);
    }
    EXPECT_TRUE(FileBytes(Path("PYX.CDX")) == before);
    // A new file is made empty (as CreateIndexTag would make it) and holds no tag.
    if (std::filesystem::exists(Path("NEW.CDX"))) {
      EXPECT_TRUE(TagNames(Path("NEW.CDX")).empty());
    }
  }
}

// A key that fails from one record on (a division by zero), in the fifth
// tag: the error of that record, the four tags before it built, the fifth
// not added, the file checking clean; with threads as without.
TEST_F(CreateTags, AKeyFailingMidwayKeepsTheTagsBeforeIt) {
  auto tags = TagsToBuild();
  tags.resize(11);
  tags[4].key_expr = "CALL_ + STR(1 / (12000 - RECNO()), 12, 6)";
  std::string message[2];
  for (int threads = 0; threads < 2; ++threads) {
    Settings settings(threads != 0, size_t{64} << 20);
    const std::string index = Path(threads != 0 ? "T.CDX" : "S.CDX");
    {
      KTO_dBHandler t(Table(), false, true);
      message[threads] = testing_support::FailureOf([&] { t.CreateIndexTags(index, tags); });
      t.GotoRecord(77);
      EXPECT_EQ(t.CurrentRecord(), 77);
    }
    EXPECT_EQ(TagNames(index), (std::set<std::string>{"FIO", "IM", "OTCH", "CALL"}));
    EXPECT_EQ(Check(index), std::vector<std::string>{});
  }
  EXPECT_FALSE(message[0].empty());
  EXPECT_EQ(message[0], message[1]);
}

// Two neighbouring tags failing, the later one from an earlier record (a
// thread that reads the table once for several tags meets the later
// tag's error first): the error is the earlier tag's, as one tag at a time
// meets it, and every tag before it is built. Each neighbouring pair in
// turn, so that some pair shares a pass whatever the passes hold.
TEST_F(CreateTags, TheFirstFailingTagDecidesWhenSeveralFail) {
  for (size_t failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    auto tags = TagsToBuild();
    tags.resize(6);
    tags[failing].key_expr = "CALL_ + STR(1 / (15000 - RECNO()), 12, 6)";
    tags[failing + 1].key_expr = "CALL_ + STR(MOD(RECNO(), 100 - RECNO()), 12)";
    std::set<std::string> before;
    for (size_t k = 0; k < failing; ++k) before.insert(tags[k].name);
    std::string message[2];
    for (int threads = 0; threads < 2; ++threads) {
      Settings settings(threads != 0, size_t{64} << 20);
      const std::string index = Path(threads != 0 ? "T.CDX" : "S.CDX");
      {
        KTO_dBHandler t(Table(), false, true);
        message[threads] = testing_support::FailureOf([&] { t.CreateIndexTags(index, tags); });
      }
      EXPECT_EQ(TagNames(index), before);
      EXPECT_EQ(Check(index), std::vector<std::string>{});
      std::filesystem::remove(index);
    }
    EXPECT_NE(message[0].find("Floating point division by zero"), std::string::npos) << message[0];
    EXPECT_EQ(message[0], message[1]);
  }
}

// The disk fills at a call of the build's (the index's writes or the work
// files' of the sorts, on whichever thread): an error that says so, the
// tags built before it kept, nothing half-built, a file that checks clean.
TEST_F(CreateTags, AFullDiskLeavesAFileThatChecksClean) {
  auto tags = TagsToBuild();
  tags.resize(6);
  Settings settings(true, 0);  // every run to a work file
  // Into a file that holds a tag already.
  auto prepare = [&] { BuildOneByOne(Path("FULL.CDX"), {{"OWN", "CALL_", "", tessera::kDuplicateKeys, 0}}); };
  int64_t calls = 0;
  {
    prepare();
    KTO_dBHandler t(Table(), false, true);
    plat::ResetWriteCount();
    t.CreateIndexTags(Path("FULL.CDX"), tags);
    calls = plat::WriteCallCount();
  }
  std::filesystem::remove(Path("FULL.CDX"));
  ASSERT_GT(calls, 20);
  for (int64_t at : {int64_t{0}, calls / 5, calls / 2, calls * 9 / 10}) {
    SCOPED_TRACE(at);
    prepare();
    {
      KTO_dBHandler t(Table(), false, true);
      plat::ArmWriteFault(plat::WriteFault::kDiskFull, at, 112);
      try {
        t.CreateIndexTags(Path("FULL.CDX"), tags);
        ADD_FAILURE() << "no error";
      } catch (const tessera::ETesseraError& e) {
        EXPECT_NE(std::string(e.what()).find("not enough space on the disk"), std::string::npos) << e.what();
      }
      plat::DisarmWriteFault();
      t.GotoRecord(99);
      EXPECT_EQ(t.CurrentRecord(), 99);
    }
    // OWN and the tags before the one the disk filled in.
    const auto names = TagNames(Path("FULL.CDX"));
    std::set<std::string> expected{"OWN"};
    for (size_t k = 0; k < tags.size() && expected.size() < names.size(); ++k) expected.insert(tags[k].name);
    EXPECT_LT(names.size(), tags.size() + 1);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(Check(Path("FULL.CDX")), std::vector<std::string>{});
    std::filesystem::remove(Path("FULL.CDX"));
  }
}

// A disk that fills while a new index file gets its first structure: the
// disk's reason, and no file left behind that would read as damaged.
// A disk that fills at any write of a build into a new index file: the
// disk's reason, and either no file or one that opens and checks clean
// with the tags built before; never a file that reads as damaged (the
// first of a compound file's two directory writes failing left one).
TEST_F(CreateTags, AFullDiskAtANewFileLeavesNoDamagedFile) {
  const std::vector<IndexTagDefinition> two{{"CALL", "CALL_", "", tessera::kDuplicateKeys, 0},
                                            {"GOR", "GOR_", "", tessera::kDuplicateKeys, 0}};
  for (const char* name : {"NEWFULL.CDX", "NEWFULL.MDX", "NEWFULL.NTX"}) {
    // (Two tags into one single-tag file replace each other: NTX takes one.)
    for (bool many : {false, true}) {
      if (many && std::string(name).find(".NTX") != std::string::npos) continue;
      auto build = [&](KTO_dBHandler& t) {
        if (many)
          t.CreateIndexTags(Path(name), two);
        else
          t.CreateIndexTag(Path(name), "CALL", "CALL_", "", tessera::kDuplicateKeys, 0);
      };
      int64_t calls = 0;
      {
        KTO_dBHandler t(Table(), false, true);
        plat::ResetWriteCount();
        build(t);
        calls = plat::WriteCallCount();
      }
      std::filesystem::remove(Path(name));
      // The first writes (the file's structure), a few through the build,
      // and the last ones (at the close).
      std::set<int64_t> points;
      for (int64_t k = 0; k < 8; ++k) {
        points.insert(std::min(k, calls - 1));
        points.insert(calls * k / 8);
        points.insert(std::max<int64_t>(0, calls - 1 - k));
      }
      for (int64_t at : points) {
        SCOPED_TRACE(std::string(name) + (many ? " side by side, write " : " one tag, write ") +
                     std::to_string(at) + " of " + std::to_string(calls));
        bool failed = false;
        {
          KTO_dBHandler t(Table(), false, true);
          plat::ArmWriteFault(plat::WriteFault::kDiskFull, at, 112);
          try {
            build(t);
          } catch (const tessera::ETesseraError& e) {
            failed = true;
            EXPECT_NE(std::string(e.what()).find("not enough space on the disk"), std::string::npos) << e.what();
          }
          plat::DisarmWriteFault();
        }
        // The last writes at the close may repeat what is in the file
        // already; a build that says it succeeded has made its file.
        EXPECT_TRUE(failed || std::filesystem::exists(Path(name)));
        if (std::filesystem::exists(Path(name))) {
          {
            KTO_dBHandler t(Table(), false, true);
            EXPECT_NO_THROW(t.OpenIndexFile(Path(name)));
          }
          if (std::string(name).find(".CDX") != std::string::npos) {
            EXPECT_EQ(Check(Path(name)), std::vector<std::string>{});
          }
          std::filesystem::remove(Path(name));
        }
      }
    }
  }
}

TEST_F(CreateTags, AUserGivingUpStopsTheBuild) {
  auto tags = TagsToBuild();
  tags.resize(5);
  // In the third tag's pass over the table, and while it is packed.
  for (int32_t phase : {1, 2}) {
    for (bool threads : {true, false}) {
      Settings settings(threads, size_t{64} << 20);
      const std::string index = Path("GIVEUP.CDX");
      {
        ReportingTable t(Table(), 3, phase, 15000);
        EXPECT_THROW(t.CreateIndexTags(index, tags), std::runtime_error);
        t.GotoRecord(1001);
        EXPECT_EQ(t.CurrentRecord(), 1001);
      }
      EXPECT_EQ(TagNames(index), (std::set<std::string>{"FIO", "IM"}));
      EXPECT_EQ(Check(index), std::vector<std::string>{});
      std::filesystem::remove(index);
    }
  }
}

}  // namespace
