// The dataset base's state machine, buffer window and event order, run
// against the in-memory dataset (which fills the record-buffer contract the
// way the table adapter does).
#include <gtest/gtest.h>

#include <memory>

#include "dbkit/data_source.h"
#include "dbkit/db_error.h"
#include "dbkit/field_types.h"
#include "platform/codepage.h"
#include "recording.h"
#include "support/memory_data_set.h"

namespace {

using dbkit::DataSetState;
using dbkit_test::Log;
using dbkit_test::RecordingLink;
using testing_support::MemoryDataSet;

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override { ds.Open(); }
  int Id() { return ds.FieldByName("ID")->AsInteger(); }
  std::string Name() { return ds.FieldByName("NAME")->AsString(); }
  void Record() {
    dbkit_test::RecordEvents(ds, events);
    events.clear();
  }

  Log events;  // outlives the dataset, whose closing still logs
  MemoryDataSet ds{3000};
};

TEST_F(DataSetTest, OpenAndCloseRunTheirEventsAndManageFieldsAndBuffers) {
  ds.Close();
  Record();
  ds.Open();
  EXPECT_EQ(events, (Log{"BeforeOpen", "AfterOpen", "AfterScroll"}));
  EXPECT_EQ(ds.State(), DataSetState::kBrowse);
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_TRUE(ds.DefaultFields());
  ASSERT_EQ(ds.FieldCount(), 8);
  EXPECT_EQ(ds.Fields(1)->FieldNo(), 2);
  EXPECT_EQ(Name(), "NAME00001");
  EXPECT_EQ(ds.HeldBuffers(), 1);  // nobody asked for more rows
  EXPECT_THROW(ds.CheckInactive(), dbkit::DatabaseError);

  events.clear();
  ds.Close();
  EXPECT_EQ(events, (Log{"BeforeClose", "AfterClose"}));
  EXPECT_EQ(ds.State(), DataSetState::kInactive);
  EXPECT_EQ(ds.FieldCount(), 0);  // default fields go with the cursor
  EXPECT_EQ(ds.HeldBuffers(), 0);
  try {
    ds.First();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on a closed dataset");
  }
}

TEST_F(DataSetTest, AFailedOpenLeavesTheDataSetClosed) {
  ds.Close();
  // A persistent field whose type does not match the record's.
  ds.AddField(std::make_unique<dbkit::IntegerField>("NAME"));
  Record();
  EXPECT_THROW(ds.Open(), dbkit::DatabaseError);
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(events, (Log{"BeforeOpen"}));
  EXPECT_EQ(ds.HeldBuffers(), 0);
}

TEST_F(DataSetTest, NavigatesBothWaysAndStopsAtTheEnds) {
  ds.Next();
  ds.Next();
  ds.Next();
  EXPECT_EQ(Id(), 4);
  ds.Last();
  EXPECT_EQ(Id(), 3000);
  EXPECT_TRUE(ds.Eof());
  Record();
  EXPECT_EQ(ds.MoveBy(1), 0);
  EXPECT_TRUE(events.empty()) << "nothing moves, nothing scrolls";
  ds.Prior();
  EXPECT_EQ(Id(), 2999);
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(events, (Log{"BeforeScroll", "AfterScroll"}));
  ds.First();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.MoveBy(-3), 0);
  EXPECT_EQ(Id(), 1);
}

TEST_F(DataSetTest, MoveByCrossesTheBufferWindowReadingOnlyWhatItNeeds) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink grid(log, 20);
  grid.SetDataSource(&src);
  EXPECT_EQ(ds.HeldBuffers(), 20);
  ds.ResetReadCount();

  EXPECT_EQ(ds.MoveBy(25), 25);
  EXPECT_EQ(Id(), 26);
  EXPECT_EQ(grid.ActiveRecord(), 19);
  EXPECT_EQ(grid.RecordCount(), 20);
  EXPECT_LE(ds.ReadCount(), 10);  // the five rows past the window

  EXPECT_EQ(ds.MoveBy(-30), -25);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(Id(), 1);
  EXPECT_EQ(grid.ActiveRecord(), 0);

  EXPECT_EQ(ds.MoveBy(5000), 2999);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Id(), 3000);
  // Rows in the window keep following the data: the row above is 2999.
  {
    dbkit::ActiveRecordScope row(grid, grid.ActiveRecord() - 1);
    EXPECT_EQ(Id(), 2999);
  }
  EXPECT_EQ(Id(), 3000);
}

TEST_F(DataSetTest, NextReachesARecordAddedAfterTheWindowFilled) {
  // The window is not full (three records, ten rows), so the dataset knows
  // it holds the last record; another user then appends one.
  MemoryDataSet small(3);
  Log log;
  dbkit::DataSource src(&small);
  RecordingLink grid(log, 10);
  grid.SetDataSource(&src);
  small.Open();
  small.Last();
  small.AppendBehind(4, "LATE");
  small.MoveBy(-1);
  EXPECT_EQ(small.MoveBy(2), 2);
  EXPECT_EQ(small.FieldByName("NAME")->AsString(), "LATE");
  EXPECT_EQ(grid.ActiveRecord(), 3);
  EXPECT_EQ(grid.RecordCount(), 4);
}

TEST_F(DataSetTest, EditThenCancelOrPost) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink link(log);
  link.SetDataSource(&src);
  ds.MoveBy(4);
  Record();
  log.clear();

  ds.Edit();
  EXPECT_EQ(ds.State(), DataSetState::kEdit);
  EXPECT_TRUE(ds.HoldsEditLock());
  ds.FieldByName("NAME")->SetAsString("CHANGED");
  EXPECT_TRUE(ds.Modified());
  EXPECT_EQ(Name(), "CHANGED");
  ds.Cancel();
  EXPECT_EQ(events, (Log{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel"}));
  EXPECT_EQ(ds.StoredName(5), "NAME00005");
  EXPECT_EQ(Name(), "NAME00005");
  EXPECT_FALSE(ds.HoldsEditLock());

  events.clear();
  log.clear();
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("CHANGED");
  ds.Post();
  EXPECT_EQ(events, (Log{"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost"}));
  EXPECT_EQ(log, (Log{"check", "editing", "record *", "record NAME", "update", "check", "browsing", "changed"}));
  EXPECT_EQ(ds.StoredName(5), "CHANGED");
  EXPECT_EQ(Id(), 5);
  EXPECT_EQ(ds.State(), DataSetState::kBrowse);
  EXPECT_FALSE(ds.Modified());
  EXPECT_THROW(ds.Post(), dbkit::DatabaseError);  // not editing
}

TEST_F(DataSetTest, LeavingAnEditPostsChangesAndCancelsAnUnchangedOne) {
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("MOVED ON");
  Record();
  ds.Next();
  EXPECT_EQ(events, (Log{"BeforePost", "AfterPost", "BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(ds.StoredName(1), "MOVED ON");
  ds.Edit();
  events.clear();
  ds.Next();
  EXPECT_EQ(events, (Log{"BeforeCancel", "AfterCancel", "BeforeScroll", "AfterScroll"}));
}

TEST_F(DataSetTest, InsertBuildsTheRowInPlaceAndPostAppendsIt) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink grid(log, 5);
  grid.SetDataSource(&src);
  ds.MoveBy(9);
  ds.MoveBy(-2);  // record 8, in the middle of the window
  Record();

  ds.Insert();
  EXPECT_EQ(events, (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(ds.State(), DataSetState::kInsert);
  EXPECT_TRUE(ds.FieldByName("ID")->IsNull());
  {
    // The record it was inserted before shows right below it.
    dbkit::ActiveRecordScope row(grid, grid.ActiveRecord() + 1);
    EXPECT_EQ(Id(), 8);
  }
  ds.Cancel();
  EXPECT_EQ(Id(), 8);
  EXPECT_EQ(ds.PhysicalCount(), 3000);

  ds.Insert();
  ds.FieldByName("ID")->SetAsInteger(9999);
  ds.FieldByName("NAME")->SetAsString("NEW");
  ds.Post();
  EXPECT_EQ(ds.PhysicalCount(), 3001);
  EXPECT_EQ(ds.ActiveRecNo(), 3001);
  EXPECT_EQ(Name(), "NEW");
  ds.Next();
  EXPECT_TRUE(ds.Eof());  // the new record is the last one
  ds.Prior();
  EXPECT_EQ(Id(), 3000);
}

TEST_F(DataSetTest, AppendShowsTheNewRowAfterTheLastRecords) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink grid(log, 5);
  grid.SetDataSource(&src);
  ds.Append();
  EXPECT_EQ(ds.State(), DataSetState::kInsert);
  EXPECT_EQ(grid.ActiveRecord(), 4);
  {
    dbkit::ActiveRecordScope row(grid, 3);
    EXPECT_EQ(Id(), 3000);
  }
  ds.FieldByName("NAME")->SetAsString("APPENDED");
  ds.Post();
  EXPECT_EQ(ds.ActiveRecNo(), 3001);
  ds.First();
  ds.Last();
  EXPECT_EQ(Name(), "APPENDED");
}

TEST_F(DataSetTest, DeleteMovesToTheNextRecordOrBackFromTheEnd) {
  ds.MoveBy(49);
  Record();
  ds.Delete();
  EXPECT_EQ(events, (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
  EXPECT_TRUE(ds.IsDeleted(50));
  EXPECT_EQ(Id(), 51);
  EXPECT_EQ(ds.RecordCount(), 2999);
  ds.Prior();
  EXPECT_EQ(Id(), 49);

  ds.Last();
  ds.Delete();
  EXPECT_EQ(Id(), 2999);
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Id(), 2999);

  MemoryDataSet small(2);
  small.Open();
  small.Delete();
  small.Delete();
  EXPECT_TRUE(small.IsEmpty());
  try {
    small.Delete();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
  }
}

TEST_F(DataSetTest, EditingAnEmptyDataSetInserts) {
  MemoryDataSet empty(0);
  empty.Open();
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_TRUE(empty.Bof() && empty.Eof());
  empty.Edit();
  EXPECT_EQ(empty.State(), DataSetState::kInsert);
  empty.FieldByName("NAME")->SetAsString("FIRST");
  empty.Post();
  EXPECT_FALSE(empty.IsEmpty());
  EXPECT_EQ(empty.StoredName(1), "FIRST");
  empty.Insert();
  empty.Cancel();
  EXPECT_EQ(empty.FieldByName("NAME")->AsString(), "FIRST");
}

TEST_F(DataSetTest, BookmarksReturnToTheirRecord) {
  ds.MoveBy(122);
  const dbkit::Bookmark here = ds.GetBookmark();
  ASSERT_EQ(here.size(), 4u);
  ds.Last();
  const dbkit::Bookmark last = ds.GetBookmark();
  EXPECT_LT(ds.CompareBookmarks(here, last), 0);
  EXPECT_EQ(ds.CompareBookmarks(dbkit::Bookmark(), dbkit::Bookmark()), 0);
  EXPECT_LT(ds.CompareBookmarks(dbkit::Bookmark(), here), 0);
  Record();
  ds.GotoBookmark(here);
  EXPECT_EQ(Id(), 123);
  EXPECT_EQ(events, (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_TRUE(ds.BookmarkValid(here));

  ds.Delete();
  EXPECT_FALSE(ds.BookmarkValid(here));
  const int before = Id();
  EXPECT_THROW(ds.GotoBookmark(here), dbkit::DatabaseError);
  EXPECT_EQ(Id(), before);
  EXPECT_THROW(ds.GotoBookmark("xy"), dbkit::DatabaseError);
  ds.Insert();
  EXPECT_TRUE(ds.GetBookmark().empty());  // a new row has no record yet
  ds.Cancel();
}

TEST_F(DataSetTest, ResyncKeepsTheActiveRowOrCentresIt) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink grid(log, 9);
  grid.SetDataSource(&src);
  ds.MoveBy(100);
  EXPECT_EQ(grid.ActiveRecord(), 8);
  log.clear();
  // A search puts the cursor on a record and resynchronises around it.
  ds.SeekTo(150, 0);
  EXPECT_EQ(grid.ActiveRecord(), 8);
  EXPECT_EQ(Id(), 150);
  EXPECT_EQ(log, (Log{"check", "changed"}));
  ds.SeekTo(150, dbkit::kRmCenter);
  EXPECT_EQ(grid.ActiveRecord(), 4);
  EXPECT_EQ(Id(), 150);
  ds.SeekTo(2, 0);  // not enough records before it to keep the row
  EXPECT_EQ(grid.ActiveRecord(), 1);
  EXPECT_EQ(grid.RecordCount(), 9);
  ds.SeekTo(2999, dbkit::kRmCenter);  // nor after it
  EXPECT_EQ(grid.ActiveRecord(), 7);
  EXPECT_EQ(Id(), 2999);
  ds.ResetReadCount();
  ds.Refresh();
  EXPECT_EQ(Id(), 2999);
  EXPECT_EQ(grid.ActiveRecord(), 7);
  EXPECT_GT(ds.ReadCount(), 0);
  EXPECT_LE(ds.ReadCount(), 20);
}

TEST_F(DataSetTest, DisableControlsHoldsNotificationsUntilTheLastEnable) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink link(log, 3);
  link.SetDataSource(&src);
  Record();
  log.clear();

  ds.DisableControls();
  ds.DisableControls();
  EXPECT_TRUE(ds.ControlsDisabled());
  ds.MoveBy(5);
  ds.Edit();
  ds.Cancel();
  ds.Last();
  ds.EnableControls();
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(events.empty()) << "dataset events still run";
  ds.EnableControls();
  EXPECT_FALSE(ds.ControlsDisabled());
  EXPECT_EQ(log, (Log{"changed"}));

  log.clear();
  ds.DisableControls();
  ds.Close();
  ds.EnableControls();
  EXPECT_EQ(log, (Log{"inactive"}));
  ds.EnableControls();  // unbalanced: ignored
  EXPECT_FALSE(ds.ControlsDisabled());
}

TEST_F(DataSetTest, ErrorEventsFailAbortOrRetry) {
  ds.SetLockedByOther(1);
  try {
    ds.Edit();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record is locked by another user");
  }
  EXPECT_EQ(ds.State(), DataSetState::kBrowse);

  ds.OnEditError = [](dbkit::DataSet&, const std::exception&, dbkit::DataAction& action) {
    action = dbkit::DataAction::kAbort;
  };
  EXPECT_THROW(ds.Edit(), dbkit::AbortError);
  EXPECT_EQ(ds.State(), DataSetState::kBrowse);

  int calls = 0;
  ds.OnEditError = [&](dbkit::DataSet&, const std::exception&, dbkit::DataAction& action) {
    ++calls;
    ds.SetLockedByOther(0);  // the other user lets go
    action = dbkit::DataAction::kRetry;
  };
  ds.Edit();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ds.State(), DataSetState::kEdit);
  // Closing drops the edit and its lock.
  ds.Close();
  EXPECT_FALSE(ds.HoldsEditLock());
}

TEST_F(DataSetTest, ReadOnlyDataSetsAndRequiredFieldsRefuseChanges) {
  ds.SetReadOnly(true);
  EXPECT_THROW(ds.Edit(), dbkit::DatabaseError);
  EXPECT_THROW(ds.Insert(), dbkit::DatabaseError);
  EXPECT_FALSE(ds.FieldByName("NAME")->CanModify());
  ds.SetReadOnly(false);

  ds.FieldByName("NAME")->SetRequired(true);
  ds.Insert();
  try {
    ds.Post();
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'NAME' must have a value");
  }
  EXPECT_EQ(ds.State(), DataSetState::kInsert);
  ds.Cancel();
  EXPECT_EQ(ds.PhysicalCount(), 3000);

  ds.FieldByName("CITY")->SetReadOnly(true);
  ds.Edit();
  EXPECT_THROW(ds.FieldByName("CITY")->SetAsString("X"), dbkit::DatabaseError);
  ds.Cancel();
  EXPECT_THROW(ds.FieldByName("NAME")->SetAsString("X"), dbkit::DatabaseError);  // browsing
}

TEST_F(DataSetTest, AppendRecordAndInsertRecordStoreWholeRecords) {
  Record();
  ds.AppendRecord({5000, "VALUES", dbkit::Value(), 2.5});
  EXPECT_EQ(events, (Log{"BeforeInsert", "BeforeScroll", "BeforePost", "AfterPost", "AfterScroll"}));
  EXPECT_EQ(ds.PhysicalCount(), 3001);
  EXPECT_EQ(Name(), "VALUES");
  EXPECT_DOUBLE_EQ(ds.FieldByName("AMOUNT")->AsFloat(), 2.5);
  EXPECT_TRUE(ds.FieldByName("CITY")->IsNull());
  ds.First();
  EXPECT_THROW(ds.InsertRecord({"not a number"}), dbkit::DatabaseError);
  EXPECT_EQ(ds.State(), DataSetState::kBrowse);
  EXPECT_EQ(ds.PhysicalCount(), 3001);
  EXPECT_EQ(Id(), 1);
}

TEST_F(DataSetTest, FilterRecordHidesRejectedRecords) {
  ds.OnFilterRecord = [](dbkit::DataSet& d, bool& accept) { accept = d.FieldByName("ACTIVE")->AsBoolean(); };
  ds.SetFiltered(true);
  EXPECT_FALSE(ds.IsSequenced());
  EXPECT_EQ(Id(), 2);
  ds.Next();
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(ds.RecordCount(), 1500);
  ds.Last();
  EXPECT_EQ(Id(), 3000);
  ds.SetFiltered(false);
  EXPECT_EQ(ds.RecordCount(), 3000);
}

TEST_F(DataSetTest, LocateMovesAndLookupDoesNot) {
  Record();
  EXPECT_TRUE(ds.Locate("NAME", {"name00077"}, dbkit::kLoCaseInsensitive));
  EXPECT_EQ(Id(), 77);
  EXPECT_EQ(events, (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_FALSE(ds.Locate("NAME", {"name00077"}, 0));
  EXPECT_TRUE(ds.Locate("NAME", {"NAME0123"}, dbkit::kLoPartialKey));
  EXPECT_EQ(Id(), 1230);
  EXPECT_TRUE(ds.Locate("CITY;ACTIVE", {plat::Utf8ToAnsi("Пермь"), true}, 0));
  EXPECT_EQ(Id(), 4);
  events.clear();
  EXPECT_FALSE(ds.Locate("ID", {4000}, 0));
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(Id(), 4);
  ds.Next();
  EXPECT_EQ(Id(), 5) << "the cursor went back to the shown rows";
  EXPECT_THROW(ds.Locate("NOSUCH", {1}, 0), dbkit::DatabaseError);
  EXPECT_THROW(ds.Locate("ID;NAME", {1}, 0), dbkit::DatabaseError);

  auto found = ds.Lookup("ID", {42}, "NAME;AMOUNT");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ((*found)[0].ToText(), "NAME00042");
  EXPECT_DOUBLE_EQ((*found)[1].ToFloat(), 63.0);
  EXPECT_EQ(Id(), 5);
  EXPECT_FALSE(ds.Lookup("ID", {-1}, "NAME").has_value());
  ds.Next();
  EXPECT_EQ(Id(), 6);
}

TEST_F(DataSetTest, CalculatedFieldsFollowTheRecordAndItsEdits) {
  ds.Close();
  ds.AddField(std::make_unique<dbkit::IntegerField>("ID"));
  ds.AddField(std::make_unique<dbkit::StringField>("NAME", 20));
  auto twice = std::make_unique<dbkit::IntegerField>("TWICE");
  twice->SetKind(dbkit::FieldKind::kCalculated);
  ds.AddField(std::move(twice));
  int calcs = 0;
  ds.OnCalcFields = [&](dbkit::DataSet& d) {
    ++calcs;
    EXPECT_EQ(d.State(), DataSetState::kCalcFields);
    if (!d.FieldByName("ID")->IsNull()) d.FieldByName("TWICE")->SetAsInteger(d.FieldByName("ID")->AsInteger() * 2);
  };
  ds.Open();
  EXPECT_FALSE(ds.DefaultFields());
  EXPECT_EQ(ds.FieldCount(), 3);
  EXPECT_EQ(ds.FieldByName("TWICE")->FieldNo(), -1);
  EXPECT_EQ(ds.CalcFieldsSize(), 5);
  EXPECT_EQ(ds.FieldByName("TWICE")->AsInteger(), 2);
  ds.MoveBy(20);
  EXPECT_EQ(ds.FieldByName("TWICE")->AsInteger(), 42);
  EXPECT_GT(calcs, 0);
  ds.Edit();
  ds.FieldByName("ID")->SetAsInteger(100);
  EXPECT_EQ(ds.FieldByName("TWICE")->AsInteger(), 200);
  EXPECT_FALSE(ds.FieldByName("TWICE")->CanModify());
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("TWICE")->AsInteger(), 42);
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 3) << "persistent fields stay";
}

TEST_F(DataSetTest, SetRecNoJumpsInASequencedDataSet) {
  Log log;
  dbkit::DataSource src(&ds);
  RecordingLink grid(log, 20);
  grid.SetDataSource(&src);
  EXPECT_TRUE(ds.IsSequenced());
  ds.ResetReadCount();
  ds.SetRecNo(2500);
  EXPECT_EQ(Id(), 2500);
  EXPECT_EQ(ds.RecNo(), 2500);
  EXPECT_LE(ds.ReadCount(), 25);
}

TEST(DataSetLifetime, ControlsAndSourcesOutliveOrPrecedeTheirDataSet) {
  Log log;
  auto ds = std::make_unique<MemoryDataSet>(10);
  auto src = std::make_unique<dbkit::DataSource>(ds.get());
  RecordingLink link(log, 4);
  link.SetDataSource(src.get());
  ds->Open();
  EXPECT_TRUE(link.Active());
  ds.reset();  // the dataset goes first
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(src->GetDataSet(), nullptr);
  src.reset();  // then the source
  EXPECT_EQ(link.GetDataSource(), nullptr);

  MemoryDataSet other(10);
  {
    dbkit::DataSource s(&other);
    RecordingLink l(log, 7);
    l.SetDataSource(&s);
    other.Open();
    EXPECT_EQ(other.HeldBuffers(), 7);
  }
  other.Last();  // no links left: one buffer is enough again
  EXPECT_EQ(other.FieldByName("ID")->AsInteger(), 10);
}

}  // namespace
