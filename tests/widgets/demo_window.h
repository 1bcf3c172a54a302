// A small window of the tests: an edit, a grid and a navigator over one
// in-memory dataset, bound through one data source, the way the callbook
// window binds its controls.
#pragma once

#include <QWidget>
#include <memory>

#include "dbkit/data_source.h"
#include "support/memory_data_set.h"
#include "widgets/db_edit.h"
#include "widgets/db_grid.h"
#include "widgets/db_navigator.h"
#include "widgets/gauge.h"

class DemoWindow : public QWidget {
 public:
  explicit DemoWindow(int records);
  ~DemoWindow() override;

  testing_support::MemoryDataSet& Data() { return data_; }
  dbkit::DataSource& Source() { return source_; }
  widgets::DbEdit* Edit() const { return edit_; }
  widgets::DbGrid* Grid() const { return grid_; }
  widgets::DbNavigator* Navigator() const { return navigator_; }
  widgets::Gauge* Progress() const { return gauge_; }

 private:
  testing_support::MemoryDataSet data_;
  dbkit::DataSource source_;
  widgets::DbEdit* edit_;
  widgets::DbGrid* grid_;
  widgets::DbNavigator* navigator_;
  widgets::Gauge* gauge_;
};
