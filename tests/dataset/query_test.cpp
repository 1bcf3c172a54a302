// Narrowing and searching the callbook: filters by expression and by
// OnFilterRecord, key ranges, Locate and Lookup with and without a tag that
// serves the search, master/detail over two tables, and the busy state of
// an index build with its status reports.
#include <algorithm>

#include "dataset_test_util.h"
#include "dbkit/db_error.h"
#include "engine/dbf_create.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"

namespace dataset_test {
namespace {

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyFixture("callbook", dir_.path()); }

  // Visible records whose field satisfies `pred` (OEM value), record order.
  template <typename Pred>
  std::vector<int32_t> Where(const std::string& field, Pred pred) {
    tessera::KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
    std::vector<int32_t> out;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
      t.GotoRecord(r);
      if (!t.IsDeleted() && pred(tessera::TrimRightText(t.GetRaw(field)))) out.push_back(r);
    }
    return out;
  }
  static std::vector<int32_t> Walk(tessera::TTesseraDataSet& ds) {
    std::vector<int32_t> out;
    for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.RecNo());
    return out;
  }

  TempDir dir_;
  tessera::EngineScope engine_;
};

TEST_F(QueryTest, FilterExpressionNarrowsTheRows) {
  CallbookDataSet c(dir_.path(), "", 25);
  // With partial comparison a "*" stands for any text.
  c.ds.SetFilterText("CALL_ = 'UA*'");
  c.ds.SetFiltered(true);
  c.ds.Open();
  const auto ua = Where("CALL_", [](const std::string& v) { return v.compare(0, 2, "UA") == 0; });
  ASSERT_FALSE(ua.empty());
  EXPECT_EQ(Walk(c.ds), ua);
  EXPECT_FALSE(c.ds.IsSequenced());
  // Whole values only: the "*" is a character like any other.
  c.ds.SetFilterOptions(dbkit::kFoNoPartialCompare);
  EXPECT_TRUE(Walk(c.ds).empty());
  c.ds.SetFilterOptions(0);
  // A literal in the window's code page matches the table's texts.
  c.ds.SetFilterText(Ansi("STRANA_ = 'Россия'"));
  const auto ru = Where("STRANA_", [](const std::string& v) { return v == plat::Utf8ToOem("Россия"); });
  ASSERT_FALSE(ru.empty());
  EXPECT_EQ(Walk(c.ds), ru);
  // Case-insensitive.
  c.ds.SetFilterText(Ansi("STRANA_ = 'РОССИЯ'"));
  EXPECT_TRUE(Walk(c.ds).empty());
  c.ds.SetFilterOptions(dbkit::kFoCaseInsensitive);
  EXPECT_EQ(Walk(c.ds), ru);
  c.ds.SetFiltered(false);
  EXPECT_EQ(Walk(c.ds).size(), 2993u);
}

TEST_F(QueryTest, AFilterThatIsNotLogicalIsRefused) {
  CallbookDataSet c(dir_.path(), "CALL", 25);
  c.ds.Open();
  c.ds.SetFilterText("CALL_");
  try {
    c.ds.SetFiltered(true);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_STREQ(e.what(), "Filter expression must return boolean result");
  }
  EXPECT_FALSE(c.ds.Filtered());
  EXPECT_EQ(Walk(c.ds).size(), 2993u);
  // While filtered, a bad text leaves the old filter in force.
  c.ds.SetFilterText("CALL_ = 'R'");
  c.ds.SetFiltered(true);
  const size_t r_count = Walk(c.ds).size();
  EXPECT_THROW(c.ds.SetFilterText("LEN(CALL_)"), tessera::ETesseraError);
  EXPECT_EQ(c.ds.Filter(), "CALL_ = 'R'");
  EXPECT_EQ(Walk(c.ds).size(), r_count);
  EXPECT_THROW(c.ds.SetFilterText("CALL_ = "), tessera::ETesseraExpression);
  EXPECT_EQ(Walk(c.ds).size(), r_count);
}

TEST_F(QueryTest, OnFilterRecordSeesTheRecordBeingTested) {
  CallbookDataSet c(dir_.path(), "CALL", 25);
  int calls = 0;
  c.ds.OnFilterRecord = [&](dbkit::DataSet& ds, bool& accept) {
    ++calls;
    EXPECT_EQ(ds.State(), dbkit::DataSetState::kFilter);
    accept = ds.FieldByName("CALL_")->AsString().rfind("RA", 0) == 0;
  };
  c.ds.Open();
  EXPECT_EQ(calls, 0);  // not filtered yet
  c.ds.SetFiltered(true);
  const auto ra = Where("CALL_", [](const std::string& v) { return v.compare(0, 2, "RA") == 0; });
  std::vector<int32_t> seen = Walk(c.ds);
  EXPECT_GT(calls, 0);
  for (int32_t r : seen) EXPECT_TRUE(std::find(ra.begin(), ra.end(), r) != ra.end()) << r;
  EXPECT_EQ(seen.size(), ra.size());
  c.ds.SetExactCount(true);
  EXPECT_EQ(c.ds.RecordCount(), static_cast<int>(ra.size()));
  // A search lands on an accepted card.
  c.ds.SeekValues({"QZ"});
  EXPECT_EQ(c.Call().substr(0, 2), "RA");
}

TEST_F(QueryTest, KeyRangesLimitTheMasterTag) {
  CallbookDataSet c(dir_.path(), "CALL", 25);
  c.ds.Open();
  const auto ua = Where("CALL_", [](const std::string& v) { return v.compare(0, 2, "UA") == 0; });
  c.ds.ApplyKeyRangeWith("UA", "UA", true, true, true);
  std::vector<int32_t> seen = Walk(c.ds);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, ua);
  // Whole keys, both ends included.
  c.ds.SeekValues({"QZ6ZZZ"});
  c.ds.ApplyKeyRange("QZ6ZZZ", "QZ6ZZZ");
  EXPECT_EQ(Walk(c.ds), std::vector<int32_t>{1001});
  c.ds.CancelKeyRange();
  EXPECT_EQ(Walk(c.ds).size(), 2993u);
  // Without a master tag there is nothing to limit.
  c.ds.SetIndexName("");
  c.ds.ApplyKeyRange("A", "B");
  EXPECT_EQ(Walk(c.ds).size(), 2993u);
}

TEST_F(QueryTest, LocateAndLookupWithAndWithoutATag) {
  for (const char* tag : {"", "CALL"}) {
    SCOPED_TRACE(tag);
    CallbookDataSet c(dir_.path(), tag, 25);
    c.ds.Open();
    c.ds.First();
    const int32_t first = c.ds.RecNo();
    EXPECT_TRUE(c.ds.Locate("CALL_", {"QZ6ZZZ"}, 0));
    EXPECT_EQ(c.ds.RecNo(), 1001);
    EXPECT_FALSE(c.ds.Locate("CALL_", {"QZ6"}, 0));
    EXPECT_EQ(c.ds.RecNo(), 1001);
    c.ds.First();
    EXPECT_TRUE(c.ds.Locate("CALL_", {"qz6"}, dbkit::kLoPartialKey | dbkit::kLoCaseInsensitive));
    EXPECT_EQ(c.Call().substr(0, 3), "QZ6");
    // Two fields, Cyrillic value.
    const std::string fam = c.ds.FieldByName("FAM_")->AsString();
    const std::string call = c.Call();
    c.ds.First();
    EXPECT_TRUE(c.ds.Locate("FAM_;CALL_", {fam, call}, 0));
    EXPECT_EQ(c.ds.FieldByName("FAM_")->AsString(), fam);
    c.ds.First();
    // Lookup answers without moving.
    std::optional<std::vector<dbkit::Value>> v = c.ds.Lookup("CALL_", {"QZ6ZZZ"}, "FAM_;CALL_");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ((*v)[1].ToText(), "QZ6ZZZ");
    EXPECT_EQ(c.ds.RecNo(), first);
    EXPECT_FALSE(c.ds.Lookup("CALL_", {"NOSUCH"}, "FAM_").has_value());
    EXPECT_EQ(c.ds.RecNo(), first);
    c.ds.Next();
    EXPECT_NE(c.ds.RecNo(), first);
    EXPECT_THROW(c.ds.Locate("CALL_;FAM_", {"QZ6ZZZ"}, 0), dbkit::DatabaseError);
    EXPECT_THROW(c.ds.Locate("NOFIELD", {"x"}, 0), dbkit::DatabaseError);
  }
}

TEST_F(QueryTest, MasterDetailOverTwoTables) {
  // The master: a table of countries; the detail: the callbook by STRANA.
  tessera::CreateTable(dir_ / "LANDS.DBF", 0x03, {{"NAME", 'C', 20, 0}});
  {
    tessera::KTO_dBHandler t(dir_ / "LANDS.DBF", false, true);
    for (const char* land : {"Россия", "Украина", "Нигде"}) {
      t.BlankRecord();
      t.PutText("NAME", plat::Utf8ToOem(land));
      t.AppendRecord();
    }
  }
  tessera::TTesseraDataSet lands;
  lands.SetDatabaseName(dir_.path());
  lands.SetTableName("LANDS");
  dbkit::DataSource lands_source(&lands);
  lands.Open();

  CallbookDataSet c(dir_.path(), "STRANA", 25);
  c.ds.SetMasterFields("NAME");
  c.ds.SetMasterSource(&lands_source);
  EXPECT_EQ(c.ds.MasterSource(), &lands_source);
  c.ds.Open();
  auto lands_of = [&](const char* land) {
    return Where("STRANA_", [&](const std::string& v) { return v == plat::Utf8ToOem(land); });
  };
  auto sorted = [](std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(Walk(c.ds)), lands_of("Россия"));
  lands.Next();
  EXPECT_EQ(sorted(Walk(c.ds)), lands_of("Украина"));
  lands.Next();
  EXPECT_TRUE(Walk(c.ds).empty());
  EXPECT_TRUE(c.ds.IsEmpty());
  // The master closed: the range goes.
  lands.Close();
  EXPECT_EQ(Walk(c.ds).size(), 2993u);

  // A dataset cannot become its own master, nor its master's master.
  dbkit::DataSource own(&c.ds);
  try {
    c.ds.SetMasterSource(&own);
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  EXPECT_THROW(lands.SetMasterSource(&own), dbkit::DatabaseError);
  lands.SetMasterSource(nullptr);

  // The detail needs a tag, and one whose key has room for the master's
  // fields.
  lands.Open();
  c.ds.Close();
  c.ds.SetIndexName("");
  try {
    c.ds.Open();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Master/Detail relation failed, no index open for Pyx.DBF");
  }
  c.ds.SetIndexName("CALL");
  c.ds.SetMasterFields("NAME;NAME");
  try {
    c.ds.Open();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Master/Detail relation failed, field missmatch for Pyx.DBF");
  }
  c.ds.SetMasterSource(nullptr);
}

TEST_F(QueryTest, AnIndexBuildKeepsTheDataSetBusyAndReportsItsProgress) {
  TempDir fresh;
  CopyFixture("callbook", fresh.path());
  std::filesystem::remove(fresh / "PYX.CDX");
  tessera::TTesseraDataSet ds;
  ds.SetDatabaseName(fresh.path());
  ds.SetTableName("Pyx.DBF");
  ds.Open();
  std::vector<std::array<int32_t, 3>> reports;
  std::string busy_message;
  ds.OnStatus = [&](int32_t a, int32_t b, int32_t c) {
    if (a != 1 && a != 2) reports.push_back({a, b, c});
    if (busy_message.empty()) {
      try {
        ds.First();
      } catch (const dbkit::DatabaseError& e) {
        busy_message = e.what();
      }
    }
  };
  for (const auto& tag : pyx_sample::kCallbookTags) {
    ds.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
    EXPECT_EQ(ds.BusyState(), tessera::kBusyIdle);
    EXPECT_EQ(ds.RecNo(), 1);  // on the first record after each build
  }
  EXPECT_EQ(busy_message, "Table is busy building an index");
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports[0], (std::array<int32_t, 3>{-1, 1, 3000}));
  EXPECT_EQ(reports[1], (std::array<int32_t, 3>{0, 0, 0}));
  EXPECT_EQ(reports[2][0], -1);
  EXPECT_EQ(reports[2][1], 2);
  EXPECT_EQ(CheckCallbookIndex(fresh.path()), std::vector<std::string>{});
  // Reopened with the new index file.
  ds.Close();
  ds.IndexFiles().Add("PYX.CDX");
  ds.SetIndexName("CALL");
  ds.Open();
  EXPECT_EQ(ds.TagCount(), 11);
  ds.SeekValues({"QZ6ZZZ"});
  EXPECT_EQ(ds.RecNo(), 1001);
  // A failed build ends busy too.
  EXPECT_THROW(ds.CreateIndexTag("PYX.CDX", "", "CALL_", "", tessera::kDuplicateKeys, 0), std::exception);
  EXPECT_EQ(ds.BusyState(), tessera::kBusyIdle);
  ds.First();
}

}  // namespace
}  // namespace dataset_test
