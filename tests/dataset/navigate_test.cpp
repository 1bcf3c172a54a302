// Navigation through the buffer window and key searches on the fixture
// callbook (3000 cards, 7 of them deleted, one blank): record order and
// every one of the eleven tags, forward and back, row by row and page by
// page; SeekValues in each tag; bookmarks.
#include <algorithm>
#include <map>

#include "dataset_test_util.h"
#include "dataset/dataset_messages.h"
#include "dbkit/db_error.h"
#include "engine/text_helpers.h"

namespace dataset_test {
namespace {

using tessera::KTO_dBHandler;

class NavigateTest : public ::testing::Test {
 protected:
  void SetUp() override { CopyFixture("callbook", dir_.path()); }

  // The visible records in a tag's order (record order for ""), as the
  // table handler walks them on a table object of its own.
  std::vector<int32_t> Order(const std::string& tag, bool with_deleted = false) {
    KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
    t.SetUseDeleted(with_deleted);
    EXPECT_EQ(t.OpenIndexFile("PYX.CDX"), 0);
    t.SelectMasterTag(tag, false);
    std::vector<int32_t> out;
    for (t.GotoRecord(tessera::kMoveFirst); !t.Eof() && !t.Bof(); t.GotoRecord(tessera::kMoveNext))
      out.push_back(t.CurrentRecord());
    return out;
  }
  // Raw OEM value of a field of every record (index 0 unused).
  std::vector<std::string> Column(const std::string& field) {
    KTO_dBHandler t(dir_ / "Pyx.DBF", true, false);
    std::vector<std::string> out(1);
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
      t.GotoRecord(r);
      out.push_back(tessera::TrimRightText(t.GetRaw(field)));
    }
    return out;
  }

  TempDir dir_;
  tessera::EngineScope engine_;
};

std::vector<int32_t> WalkForward(tessera::TTesseraDataSet& ds) {
  std::vector<int32_t> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.RecNo());
  return out;
}

std::vector<int32_t> WalkBack(tessera::TTesseraDataSet& ds) {
  std::vector<int32_t> out;
  for (ds.Last(); !ds.Bof(); ds.Prior()) out.push_back(ds.RecNo());
  std::reverse(out.begin(), out.end());
  return out;
}

TEST_F(NavigateTest, RecordOrderSkipsDeletedCardsUnlessTheyAreShown) {
  CallbookDataSet c(dir_.path(), "", 25);
  c.ds.Open();
  EXPECT_TRUE(c.ds.IsSequenced());
  const std::vector<int32_t> expected = Order("");
  ASSERT_EQ(expected.size(), 2993u);
  EXPECT_EQ(WalkForward(c.ds), expected);
  EXPECT_EQ(WalkBack(c.ds), expected);
  EXPECT_EQ(c.ds.RecordCount(), 3000);
  c.ds.SetExactCount(true);
  EXPECT_EQ(c.ds.RecordCount(), 2993);
  c.ds.Close();
  c.ds.SetUseDeleted(true);
  c.ds.Open();
  EXPECT_EQ(WalkForward(c.ds).size(), 3000u);
  EXPECT_EQ(c.ds.RecordCount(), 3000);
}

TEST_F(NavigateTest, EveryTagOrdersTheRowsForwardAndBack) {
  for (const auto& tag : pyx_sample::kCallbookTags) {
    SCOPED_TRACE(tag.name);
    CallbookDataSet c(dir_.path(), tag.name, 25);
    c.ds.Open();
    const std::vector<int32_t> expected = Order(tag.name);
    ASSERT_EQ(expected.size(), 2993u);
    EXPECT_EQ(WalkForward(c.ds), expected);
    EXPECT_EQ(WalkBack(c.ds), expected);
  }
}

TEST_F(NavigateTest, PagesOfTheWindowFollowTheTag) {
  CallbookDataSet c(dir_.path(), "FIO", 25);
  c.ds.Open();
  const std::vector<int32_t> expected = Order("FIO");
  c.ds.First();
  size_t at = 0;
  while (true) {
    ASSERT_EQ(c.ds.RecNo(), expected[at]);
    // The window holds the rows around the active one, in order.
    const int active = c.link.ActiveRecord();
    for (int row = 0; row < c.link.RecordCount(); ++row) {
      dbkit::ActiveRecordScope scope(c.link, row);
      ASSERT_EQ(c.ds.RecNo(), expected[at + static_cast<size_t>(row) - static_cast<size_t>(active)]);
    }
    const int moved = c.ds.MoveBy(25);
    at += static_cast<size_t>(moved);
    if (moved < 25) break;
  }
  EXPECT_EQ(at, expected.size() - 1);
  EXPECT_TRUE(c.ds.Eof());
  while (c.ds.MoveBy(-25) != 0) {
  }
  EXPECT_TRUE(c.ds.Bof());
  EXPECT_EQ(c.ds.RecNo(), expected.front());
}

TEST_F(NavigateTest, SeekValuesInEveryTag) {
  std::map<std::string, std::vector<std::string>> columns;
  for (const auto& tag : pyx_sample::kCallbookTags) {
    SCOPED_TRACE(tag.name);
    std::string expr = tag.expression;
    const std::string first_field = expr.substr(0, expr.find('+'));
    if (!columns.count(first_field)) columns[first_field] = Column(first_field);
    const std::vector<std::string>& col = columns[first_field];
    const std::vector<int32_t> order = Order(tag.name);
    CallbookDataSet c(dir_.path(), tag.name, 10);
    c.ds.Open();

    // Exact: the first card in tag order with that value.
    const int32_t sample = order[order.size() / 3];
    const std::string value = col[static_cast<size_t>(sample)];
    c.ds.SeekValues({plat::OemToAnsi(value)});
    const auto first_with = std::find_if(order.begin(), order.end(),
                                         [&](int32_t r) { return col[static_cast<size_t>(r)] == value; });
    EXPECT_EQ(c.ds.RecNo(), *first_with);
    EXPECT_EQ(c.ds.FieldByName(first_field)->AsString(), plat::OemToAnsi(value));

    // A prefix: the first card whose value begins with it.
    const std::string prefix = value.substr(0, 2);
    c.ds.SeekValues({plat::OemToAnsi(prefix)});
    const auto first_prefix = std::find_if(order.begin(), order.end(), [&](int32_t r) {
      return col[static_cast<size_t>(r)].compare(0, prefix.size(), prefix) == 0;
    });
    EXPECT_EQ(c.ds.RecNo(), *first_prefix);

    // Beyond the last key (no-break spaces, the highest byte in the table's
    // code page): the last card in tag order.
    c.ds.SeekValues({"\xA0\xA0\xA0\xA0"});
    EXPECT_EQ(c.ds.RecNo(), order.back());

    // The empty text: the first card.
    c.ds.SeekValues({""});
    EXPECT_EQ(c.ds.RecNo(), order.front());
  }
}

TEST_F(NavigateTest, SeekValuesWithoutTagOrRecords) {
  CallbookDataSet c(dir_.path(), "", 1);
  c.ds.Open();
  try {
    c.ds.SeekValues({"QZ6ZZZ"});
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "No index is assigned for Find operation");
  }
  c.ds.Close();

  // An empty callbook with its tags: nothing happens.
  TempDir empty;
  tessera::CreateTable(empty / "Pyx.DBF", 0x03, pyx_sample::CallbookFields());
  BuildCallbookTags(empty.path());
  CallbookDataSet e(empty.path(), "CALL", 5);
  e.ds.Open();
  EXPECT_TRUE(e.ds.IsEmpty());
  e.ds.SeekValues({"QZ6ZZZ"});
  EXPECT_TRUE(e.ds.IsEmpty());
  EXPECT_TRUE(e.ds.Eof());
  EXPECT_EQ(e.ds.RecNo(), 0);
  EXPECT_EQ(e.ds.RecordCount(), 0);
}

TEST_F(NavigateTest, ChangingTheTagKeepsTheCard) {
  CallbookDataSet c(dir_.path(), "CALL", 25);
  c.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  ASSERT_EQ(c.ds.RecNo(), 1001);
  int scrolls = 0;
  c.ds.AfterScroll = [&](dbkit::DataSet&) { ++scrolls; };
  c.ds.SetIndexName("FIO");
  EXPECT_EQ(c.ds.RecNo(), 1001);
  EXPECT_EQ(scrolls, 1);
  // The rows around it are in the new order.
  const std::vector<int32_t> order = Order("FIO");
  const auto at = std::find(order.begin(), order.end(), 1001);
  c.ds.Next();
  EXPECT_EQ(c.ds.RecNo(), *(at + 1));
  c.ds.SetIndexName("");
  EXPECT_EQ(c.ds.RecNo(), *(at + 1));
  c.ds.Next();
  EXPECT_EQ(c.ds.RecNo(), *(at + 1) + 1);
}

TEST_F(NavigateTest, BookmarksAreRecordNumbersInTenColumns) {
  CallbookDataSet c(dir_.path(), "CALL", 25);
  c.ds.Open();
  c.ds.SeekValues({"QZ6ZZZ"});
  const dbkit::Bookmark mark = c.ds.GetBookmark();
  ASSERT_EQ(mark.size(), 11u);
  EXPECT_EQ(mark, std::string("      1001") + '\0');
  EXPECT_TRUE(c.ds.BookmarkValid(mark));
  c.ds.First();
  EXPECT_NE(c.ds.RecNo(), 1001);
  c.ds.GotoBookmark(mark);
  EXPECT_EQ(c.Call(), "QZ6ZZZ");

  const dbkit::Bookmark low = std::string("         2") + '\0';
  EXPECT_LT(c.ds.CompareBookmarks(low, mark), 0);
  EXPECT_GT(c.ds.CompareBookmarks(mark, low), 0);
  EXPECT_EQ(c.ds.CompareBookmarks(mark, mark), 0);
  EXPECT_EQ(c.ds.CompareBookmarks("", ""), 0);
  EXPECT_LT(c.ds.CompareBookmarks("", mark), 0);
  EXPECT_GT(c.ds.CompareBookmarks(mark, ""), 0);

  // Bookmarks that name no record of the table are refused, never read.
  for (const std::string& bad : {std::string("      abcd") + '\0', std::string("         0") + '\0',
                                 std::string("      3001") + '\0', std::string("        -1") + '\0',
                                 std::string("          ") + '\0', std::string("      1001X")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(c.ds.BookmarkValid(bad));
    try {
      c.ds.GotoBookmark(bad);
      FAIL();
    } catch (const dbkit::DatabaseError& e) {
      EXPECT_STREQ(e.what(), "Bookmark is invalid for table Pyx.DBF");
    }
    EXPECT_EQ(c.Call(), "QZ6ZZZ");
  }
  // A bookmark survives reopening.
  c.ds.Close();
  c.ds.Open();
  c.ds.GotoBookmark(mark);
  EXPECT_EQ(c.ds.RecNo(), 1001);
}

TEST_F(NavigateTest, RecNoMovesDirectly) {
  CallbookDataSet c(dir_.path(), "", 25);
  c.ds.Open();
  c.ds.SetRecNo(1500);
  EXPECT_EQ(c.ds.RecNo(), 1500);
  c.ds.Next();
  EXPECT_EQ(c.ds.RecNo(), 1501);
  EXPECT_THROW(c.ds.SetRecNo(0), dbkit::DatabaseError);
  EXPECT_THROW(c.ds.SetRecNo(3001), dbkit::DatabaseError);
  EXPECT_EQ(c.ds.RecNo(), 1501);
  c.ds.Close();
  EXPECT_THROW(c.ds.RecNo(), dbkit::DatabaseError);
}

// The text names the table after it (the bookmark itself is no text).
TEST(DataSetMessages, BookmarkTextEndsBeforeTheTableName) {
  EXPECT_EQ(std::string(tessera::dsmsg::kInvalidBookmark), "Bookmark is invalid for table ");
}

}  // namespace
}  // namespace dataset_test
