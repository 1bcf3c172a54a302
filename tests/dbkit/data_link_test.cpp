// Data sources and links: buffer windows of several sizes over one
// dataset, scroll distances, field links, enabling and disabling, and the
// master/detail link.
#include <gtest/gtest.h>

#include "dbkit/data_source.h"
#include "dbkit/db_error.h"
#include "dbkit/field_data_link.h"
#include "dbkit/master_data_link.h"
#include "recording.h"
#include "support/memory_data_set.h"

namespace {

using dbkit::DataSetState;
using dbkit_test::Log;
using dbkit_test::RecordingLink;
using testing_support::MemoryDataSet;

int IdOf(dbkit::DataSet& ds) { return ds.FieldByName("ID")->AsInteger(); }

// IDs of the rows of a link's window, read the way a grid paints them.
std::vector<int> RowIds(dbkit::DataLink& link) {
  std::vector<int> ids;
  for (int r = 0; r < link.RecordCount(); ++r) {
    dbkit::ActiveRecordScope row(link, r);
    ids.push_back(IdOf(*link.GetDataSet()));
  }
  return ids;
}

TEST(GridLink, TwentyRowsScrollOverFiveThousandRecordsWithoutLoadingThem) {
  MemoryDataSet ds(5000);
  dbkit::DataSource src(&ds);
  Log log;
  RecordingLink grid(log, 20);
  grid.SetDataSource(&src);
  ds.Open();
  EXPECT_EQ(log, (Log{"active"}));
  EXPECT_EQ(grid.RecordCount(), 20);
  EXPECT_EQ(RowIds(grid).front(), 1);
  EXPECT_EQ(RowIds(grid).back(), 20);
  ds.ResetReadCount();

  log.clear();
  ds.MoveBy(19);  // within the window
  EXPECT_EQ(log, (Log{"check", "scrolled 0"}));
  EXPECT_EQ(grid.ActiveRecord(), 19);
  log.clear();
  ds.Next();  // one past: the window moves one record on
  EXPECT_EQ(log, (Log{"check", "scrolled 1"}));
  EXPECT_EQ(RowIds(grid).front(), 2);
  log.clear();
  ds.MoveBy(20);  // a page
  EXPECT_EQ(log, (Log{"check", "scrolled 20"}));
  EXPECT_EQ(RowIds(grid).front(), 22);
  EXPECT_EQ(IdOf(ds), 41);
  log.clear();
  ds.MoveBy(-25);  // back above the window
  EXPECT_EQ(log, (Log{"check", "scrolled -6"}));
  EXPECT_EQ(grid.ActiveRecord(), 0);
  EXPECT_EQ(IdOf(ds), 16);

  log.clear();
  ds.Last();
  EXPECT_EQ(log, (Log{"check", "changed"}));
  EXPECT_EQ(RowIds(grid).front(), 4981);
  EXPECT_EQ(grid.ActiveRecord(), 19);
  ds.SetRecNo(2500);
  EXPECT_EQ(IdOf(ds), 2500);
  ds.First();
  EXPECT_EQ(grid.ActiveRecord(), 0);
  EXPECT_LT(ds.ReadCount(), 200) << "only the rows shown are ever read";
  EXPECT_EQ(ds.HeldBuffers(), 20);
}

TEST(GridLink, LinksOfDifferentSizesShareOneWindow) {
  MemoryDataSet ds(100);
  dbkit::DataSource src(&ds);
  Log grid_log, edit_log;
  RecordingLink grid(grid_log, 10);
  RecordingLink edit(edit_log, 1);
  grid.SetDataSource(&src);
  edit.SetDataSource(&src);
  ds.Open();
  EXPECT_EQ(ds.HeldBuffers(), 10);
  ds.MoveBy(15);
  EXPECT_EQ(edit.ActiveRecord(), 0);
  EXPECT_EQ(edit.RecordCount(), 1);
  EXPECT_EQ(grid.ActiveRecord(), 9);
  EXPECT_EQ(RowIds(edit), (std::vector<int>{16}));

  // A bigger window fills with the records that follow, then with those
  // before when there are no more.
  grid.SetBufferCount(30);
  EXPECT_EQ(ds.HeldBuffers(), 30);
  EXPECT_EQ(IdOf(ds), 16);
  EXPECT_EQ(grid.RecordCount(), 30);
  EXPECT_EQ(RowIds(grid).front(), 7);
  EXPECT_EQ(grid.ActiveRecord(), 9);
  // A smaller one keeps the active record.
  grid.SetBufferCount(4);
  EXPECT_EQ(ds.HeldBuffers(), 4);
  EXPECT_EQ(IdOf(ds), 16);
  EXPECT_EQ(grid.ActiveRecord(), 3);
  EXPECT_EQ(RowIds(grid), (std::vector<int>{13, 14, 15, 16}));
  // The window near the end grows backwards.
  ds.Last();
  grid.SetBufferCount(8);
  EXPECT_EQ(RowIds(grid).front(), 93);
  EXPECT_EQ(grid.ActiveRecord(), 7);
  grid.SetDataSource(nullptr);
  EXPECT_EQ(ds.HeldBuffers(), 1);
  EXPECT_EQ(IdOf(ds), 100);
}

TEST(FieldLink, ShowsItsFieldAndHandsBackInput) {
  MemoryDataSet ds(50);
  dbkit::DataSource src(&ds);
  dbkit::FieldDataLink link;
  int shown = 0, editing_changes = 0, stores = 0, focus = 0;
  std::string text;
  link.OnDataChange = [&] {
    ++shown;
    text = link.GetField() != nullptr ? link.GetField()->AsString() : "";
  };
  link.OnEditingChange = [&] { ++editing_changes; };
  link.OnUpdateData = [&] {
    ++stores;
    link.GetField()->SetAsString("TYPED");
  };
  link.OnFocusControl = [&] { ++focus; };
  link.SetFieldName("NAME");
  link.SetDataSource(&src);
  EXPECT_EQ(link.GetField(), nullptr);
  ds.Open();
  ASSERT_NE(link.GetField(), nullptr);
  EXPECT_EQ(text, "NAME00001");
  ds.Next();
  EXPECT_EQ(text, "NAME00002");

  // Changing another field does not disturb the control.
  ds.Edit();
  EXPECT_TRUE(link.FieldEditing());
  EXPECT_EQ(editing_changes, 1);
  const int before = shown;
  ds.FieldByName("CITY")->SetAsString("X");
  EXPECT_EQ(shown, before);
  ds.FieldByName("NAME")->FocusControl();
  EXPECT_EQ(focus, 1);
  ds.Post();
  EXPECT_EQ(stores, 0) << "nothing typed, nothing stored";

  // Typing in browse mode starts an edit (AutoEdit), the post stores it.
  EXPECT_TRUE(link.Edit());
  EXPECT_EQ(ds.State(), DataSetState::kEdit);
  link.Modified();
  ds.Post();
  EXPECT_EQ(stores, 1);
  EXPECT_EQ(ds.StoredName(2), "TYPED");
  EXPECT_EQ(text, "TYPED");
  EXPECT_FALSE(link.IsModified());

  // Escape: drop the input.
  link.Modified();
  link.Reset();
  EXPECT_FALSE(link.IsModified());

  src.SetAutoEdit(false);
  EXPECT_FALSE(link.Edit());
  EXPECT_EQ(ds.State(), DataSetState::kBrowse);
  src.SetAutoEdit(true);
  link.SetReadOnly(true);
  EXPECT_FALSE(link.Edit());
  EXPECT_FALSE(link.CanModify());
  ds.Edit();
  EXPECT_FALSE(link.FieldEditing()) << "a read-only control does not edit";
  ds.Cancel();
  link.SetReadOnly(false);

  ds.Close();
  EXPECT_EQ(link.GetField(), nullptr);
  EXPECT_EQ(text, "");

  // Reopened behind disabled controls: the link finds the new field
  // object, never the destroyed one.
  ds.Open();
  ds.DisableControls();
  ds.Close();
  ds.Open();
  ASSERT_NE(link.GetField(), nullptr);
  EXPECT_EQ(link.GetField(), ds.FieldByName("NAME"));
  ds.EnableControls();
  EXPECT_EQ(text, "NAME00001");
}

TEST(Source, DisablingMakesLinksInactiveAndReportsStates) {
  MemoryDataSet ds(10);
  dbkit::DataSource src(&ds);
  Log log, states;
  RecordingLink link(log);
  link.SetDataSource(&src);
  src.OnStateChange = [&](dbkit::DataSource& s) { states.push_back(dbkit::StateName(s.State())); };
  int data_changes = 0;
  dbkit::Field* last_field = nullptr;
  src.OnDataChange = [&](dbkit::DataSource&, dbkit::Field* f) {
    ++data_changes;
    last_field = f;
  };
  ds.Open();
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("A");
  EXPECT_EQ(last_field, ds.FieldByName("NAME"));
  ds.Post();
  ds.Close();
  EXPECT_EQ(states, (Log{"browse", "edit", "browse", "inactive"}));
  EXPECT_GT(data_changes, 0);

  ds.Open();
  log.clear();
  src.SetEnabled(false);
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(src.State(), DataSetState::kInactive);
  ds.Next();
  EXPECT_EQ(log, (Log{"inactive"}));
  src.SetEnabled(true);
  EXPECT_TRUE(link.Active());
  EXPECT_EQ(link.ActiveRecord(), 0);

  // Moving the source to another dataset passes through inactive.
  MemoryDataSet other(3);
  other.Open();
  log.clear();
  src.SetDataSet(&other);
  EXPECT_EQ(log, (Log{"inactive", "active"}));
  EXPECT_EQ(IdOf(*link.GetDataSet()), 1);
}

// A detail dataset that takes its master values from a source.
class DetailSet : public MemoryDataSet {
 public:
  using MemoryDataSet::MemoryDataSet;
  dbkit::DataSource* GetDataSource() const override { return master; }
  dbkit::DataSource* master = nullptr;
};

TEST(Source, CircularLinksAreRefused) {
  DetailSet a(5), b(5);
  dbkit::DataSource source_a(&a);
  dbkit::DataSource source_b(&b);
  b.master = &source_a;  // b follows a
  // a feeds source_b (through b): a must not take its values from it.
  EXPECT_TRUE(a.IsLinkedTo(&source_b));
  EXPECT_FALSE(b.IsLinkedTo(&source_a));
  EXPECT_TRUE(source_a.IsLinkedTo(&b));
  EXPECT_FALSE(source_b.IsLinkedTo(&a));
  dbkit::DataSource loop;
  a.master = &loop;
  try {
    loop.SetDataSet(&b);  // a -> loop -> b -> source_a -> a
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  EXPECT_EQ(loop.GetDataSet(), nullptr);
}

TEST(MasterLink, TellsTheDetailWhenTheMasterKeyChanges) {
  MemoryDataSet master(20), detail(5);
  dbkit::DataSource src(&master);
  dbkit::MasterDataLink link(&detail);
  int changes = 0, disables = 0;
  link.OnMasterChange = [&] { ++changes; };
  link.OnMasterDisable = [&] { ++disables; };
  link.SetFieldNames("ID");
  link.SetDataSource(&src);
  detail.Open();
  master.Open();
  EXPECT_EQ(changes, 1);
  ASSERT_EQ(link.Fields().size(), 1u);
  master.Next();
  EXPECT_EQ(changes, 2);
  master.Edit();
  const int editing = changes;
  master.FieldByName("NAME")->SetAsString("OTHER");
  EXPECT_EQ(changes, editing) << "not a key field";
  master.FieldByName("ID")->SetAsInteger(77);
  EXPECT_EQ(changes, editing + 1);
  master.Cancel();
  master.Close();
  EXPECT_EQ(disables, 1);
}

}  // namespace
