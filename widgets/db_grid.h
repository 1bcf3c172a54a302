// DbGrid: a table of the records of a data source's dataset, one row per
// record in the dataset's current order. The grid shows only the rows that
// fit: its data link asks the dataset for that many buffered records, and
// scrolling moves the dataset (never loading the whole table). Selecting a
// row makes its record the current one; moving the dataset moves the
// selection. Cells are not edited in place. Ctrl+Delete deletes the
// current record after a confirmation question.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "widgets/ui_hooks.h"

class QScrollBar;
class QTableView;

namespace dbkit {
class DataSource;
class DataSet;
class Field;
}  // namespace dbkit

namespace widgets {

struct GridColumn {
  std::string field_name;
  QString title;   // empty: the field's display name
  int width = -1;  // pixels; -1: from the field's display width
};

class DbGrid : public QWidget {
  Q_OBJECT

 public:
  explicit DbGrid(QWidget* parent = nullptr);
  ~DbGrid() override;

  void SetDataSource(dbkit::DataSource* source);
  dbkit::DataSource* DataSource() const;
  // The columns; with none, every visible field of the open dataset gets one.
  void SetColumns(std::vector<GridColumn> columns);
  const std::vector<GridColumn>& Columns() const { return columns_; }
  // Title of a column as shown.
  QString ColumnTitle(int column) const;

  void SetShowTitles(bool value);
  // Whether Ctrl+Delete asks first (it does unless told otherwise), and who
  // answers.
  void SetConfirmDelete(bool value) { confirm_delete_ = value; }
  void SetConfirmation(ConfirmFunction confirm) { confirm_ = std::move(confirm); }
  // Leaving the grid cancels an insert nothing was typed into.
  void SetCancelOnExit(bool value) { cancel_on_exit_ = value; }

  // Rows that fit (the data link's buffer count) and rows that hold
  // records.
  int VisibleRows() const;
  int RowCount() const;
  // Row of the current record.
  int CurrentRow() const;
  QString CellText(int row, int column) const;
  // Makes the record of a row the current one.
  void SelectRow(int row);
  // Deletes the current record after the confirmation question.
  void DeleteCurrent();

  QTableView* View() const { return view_; }
  QScrollBar* ScrollBar() const { return bar_; }

 signals:
  // A click on a column title.
  void titleClicked(int column);
  // A key pressed in the grid, before the grid acts on it.
  void keyDown(int key, Qt::KeyboardModifiers modifiers);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Link;
  class Model;
  friend class Link;
  friend class Model;

  dbkit::DataSet* DataSet() const;
  dbkit::Field* ColumnField(int column) const;
  void OnActiveChanged();
  void Refresh();
  void SyncCurrent();
  void UpdateRowCount();
  void UpdateScrollBar();
  void OnScrollAction(int action);
  void OnCurrentChanged(int row, int column);
  bool HandleKey(int key, Qt::KeyboardModifiers modifiers);
  // Runs a dataset action, reporting a failure instead of raising it.
  template <typename F>
  void Act(F&& action);
  void ApplyColumnWidths();

  std::unique_ptr<Link> link_;
  Model* model_;
  QTableView* view_;
  QScrollBar* bar_;
  std::vector<GridColumn> columns_;
  std::vector<GridColumn> shown_;  // columns_ or the default ones
  ConfirmFunction confirm_;
  bool confirm_delete_ = true;
  bool cancel_on_exit_ = true;
  bool syncing_ = false;
  int current_column_ = 0;
};

}  // namespace widgets
