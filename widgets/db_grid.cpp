#include "widgets/db_grid.h"

#include <QAbstractTableModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTableView>
#include <QWheelEvent>

#include "dbkit/data_link.h"
#include "dbkit/data_set.h"
#include "dbkit/data_source.h"
#include "dbkit/db_messages.h"
#include "dbkit/field.h"
#include "widgets/ansi_text.h"

namespace widgets {

// The grid's window on the dataset: as many buffered rows as fit.
class DbGrid::Link : public dbkit::DataLink {
 public:
  explicit Link(DbGrid& grid) : grid_(grid) {}

 protected:
  void ActiveChanged() override { grid_.OnActiveChanged(); }
  void DataSetChanged() override { grid_.Refresh(); }
  void DataSetScrolled(int) override { grid_.Refresh(); }
  void LayoutChanged() override { grid_.OnActiveChanged(); }
  void RecordChanged(dbkit::Field*) override { grid_.Refresh(); }
  void EditingChanged() override { grid_.Refresh(); }

 private:
  DbGrid& grid_;
};

// Rows are the link's buffered records; cells are read on demand.
class DbGrid::Model : public QAbstractTableModel {
 public:
  explicit Model(DbGrid& grid) : QAbstractTableModel(&grid), grid_(grid) {}

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : rows_; }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(grid_.shown_.size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::DisplayRole) return grid_.CellText(index.row(), index.column());
    if (role == Qt::TextAlignmentRole) {
      const dbkit::Field* f = grid_.ColumnField(index.column());
      const bool number = f != nullptr && (f->DataType() == dbkit::FieldType::kInteger ||
                                           f->DataType() == dbkit::FieldType::kSmallInt ||
                                           f->DataType() == dbkit::FieldType::kFloat);
      return QVariant::fromValue(Qt::Alignment(number ? Qt::AlignRight | Qt::AlignVCenter
                                                      : Qt::AlignLeft | Qt::AlignVCenter));
    }
    return {};
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return grid_.ColumnTitle(section);
    return {};
  }
  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
  }

  void Reset(int rows) {
    beginResetModel();
    rows_ = rows;
    columns_ = static_cast<int>(grid_.shown_.size());
    endResetModel();
  }

  // Brings the model to the link's rows and columns: a reset when their
  // number changed, else a repaint of every cell.
  void Update(int rows) {
    const int columns = static_cast<int>(grid_.shown_.size());
    if (rows != rows_ || columns != columns_) {
      beginResetModel();
      rows_ = rows;
      columns_ = columns;
      endResetModel();
    } else if (rows > 0 && columns > 0) {
      emit dataChanged(index(0, 0), index(rows - 1, columns - 1));
    }
  }

 private:
  DbGrid& grid_;
  int rows_ = 0;
  int columns_ = 0;
};

DbGrid::DbGrid(QWidget* parent)
    : QWidget(parent), link_(std::make_unique<Link>(*this)), view_(new QTableView(this)), bar_(new QScrollBar(Qt::Vertical, this)) {
  model_ = new Model(*this);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(view_);
  layout->addWidget(bar_);
  view_->setModel(model_);
  view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view_->verticalHeader()->hide();
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectItems);
  view_->setTabKeyNavigation(true);
  view_->horizontalHeader()->setSectionsClickable(true);
  view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  view_->horizontalHeader()->setHighlightSections(false);
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->installEventFilter(this);
  view_->viewport()->installEventFilter(this);
  setFocusProxy(view_);
  confirm_ = [this](const QString& q) { return AskConfirmation(this, q); };
  connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, &DbGrid::titleClicked);
  connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) {
            if (current.isValid()) OnCurrentChanged(current.row(), current.column());
          });
  connect(bar_, &QScrollBar::actionTriggered, this, &DbGrid::OnScrollAction);
  UpdateScrollBar();
}

DbGrid::~DbGrid() { link_.reset(); }

void DbGrid::SetDataSource(dbkit::DataSource* source) {
  link_->SetDataSource(source);
  UpdateRowCount();
  OnActiveChanged();
}

dbkit::DataSource* DbGrid::DataSource() const { return link_->GetDataSource(); }

dbkit::DataSet* DbGrid::DataSet() const { return link_->Active() ? link_->GetDataSet() : nullptr; }

void DbGrid::SetColumns(std::vector<GridColumn> columns) {
  columns_ = std::move(columns);
  OnActiveChanged();
}

QString DbGrid::ColumnTitle(int column) const {
  if (column < 0 || column >= static_cast<int>(shown_.size())) return {};
  const GridColumn& c = shown_[static_cast<size_t>(column)];
  if (!c.title.isEmpty()) return c.title;
  if (const dbkit::Field* f = ColumnField(column)) return AnsiToQString(f->DisplayName());
  return AnsiToQString(c.field_name);
}

void DbGrid::SetShowTitles(bool value) { view_->horizontalHeader()->setVisible(value); }

int DbGrid::VisibleRows() const { return link_->BufferCount(); }
int DbGrid::RowCount() const { return link_->RecordCount(); }
int DbGrid::CurrentRow() const { return link_->ActiveRecord(); }

dbkit::Field* DbGrid::ColumnField(int column) const {
  dbkit::DataSet* ds = DataSet();
  if (ds == nullptr || column < 0 || column >= static_cast<int>(shown_.size())) return nullptr;
  return ds->FindField(shown_[static_cast<size_t>(column)].field_name);
}

QString DbGrid::CellText(int row, int column) const {
  dbkit::Field* f = ColumnField(column);
  if (f == nullptr || row < 0 || row >= link_->RecordCount()) return {};
  dbkit::ActiveRecordScope scope(*link_, row);
  try {
    return AnsiToQString(f->DisplayText());
  } catch (const std::exception&) {
    return {};
  }
}

void DbGrid::OnActiveChanged() {
  shown_ = columns_;
  if (shown_.empty()) {
    if (dbkit::DataSet* ds = DataSet())
      for (int i = 0; i < ds->FieldCount(); ++i)
        if (ds->Fields(i)->Visible()) shown_.push_back(GridColumn{ds->Fields(i)->FieldName(), {}, -1});
  }
  model_->Reset(link_->RecordCount());  // the columns may be new
  ApplyColumnWidths();
  SyncCurrent();
  UpdateScrollBar();
}

void DbGrid::ApplyColumnWidths() {
  const int char_width = view_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  for (int c = 0; c < static_cast<int>(shown_.size()); ++c) {
    int width = shown_[static_cast<size_t>(c)].width;
    if (width < 0) {
      const dbkit::Field* f = ColumnField(c);
      const int chars = std::max(f != nullptr ? f->DisplayWidth() : 10, static_cast<int>(ColumnTitle(c).size()));
      width = std::min(chars, 40) * char_width + 12;
    }
    view_->setColumnWidth(c, width);
  }
}

void DbGrid::Refresh() {
  model_->Update(link_->RecordCount());
  SyncCurrent();
  UpdateScrollBar();
}

void DbGrid::SyncCurrent() {
  if (link_->RecordCount() == 0 || shown_.empty()) return;
  const int column = std::clamp(current_column_, 0, static_cast<int>(shown_.size()) - 1);
  syncing_ = true;
  view_->setCurrentIndex(model_->index(link_->ActiveRecord(), column));
  syncing_ = false;
}

void DbGrid::UpdateRowCount() {
  const int row_height = std::max(1, view_->verticalHeader()->defaultSectionSize());
  const int rows = std::max(1, view_->viewport()->height() / row_height);
  if (rows == link_->BufferCount()) return;
  link_->SetBufferCount(rows);
  Refresh();
}

void DbGrid::UpdateScrollBar() {
  const QSignalBlocker block(bar_);
  dbkit::DataSet* ds = DataSet();
  if (ds == nullptr) {
    bar_->setRange(0, 0);
    return;
  }
  try {
    const int count = ds->IsSequenced() ? ds->RecordCount() : -1;
    if (count > 0) {
      // The bar stands for the record numbers.
      bar_->setRange(1, count);
      bar_->setPageStep(std::max(1, link_->BufferCount()));
      bar_->setValue(std::clamp(ds->RecNo(), 1, count));
      return;
    }
  } catch (const std::exception&) {
    // A count the dataset cannot give: fall back to the three positions.
  }
  // Top, somewhere in between, bottom.
  bar_->setRange(0, 2);
  bar_->setPageStep(1);
  bar_->setValue(ds->Bof() ? 0 : (ds->Eof() ? 2 : 1));
}

template <typename F>
void DbGrid::Act(F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    ReportError(this, e);
  }
}

void DbGrid::OnScrollAction(int action) {
  dbkit::DataSet* ds = DataSet();
  if (ds == nullptr) return;
  const int page = std::max(1, link_->BufferCount());
  Act([&] {
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd: ds->Next(); break;
      case QAbstractSlider::SliderSingleStepSub: ds->Prior(); break;
      case QAbstractSlider::SliderPageStepAdd: ds->MoveBy(page); break;
      case QAbstractSlider::SliderPageStepSub: ds->MoveBy(-page); break;
      case QAbstractSlider::SliderToMinimum: ds->First(); break;
      case QAbstractSlider::SliderToMaximum: ds->Last(); break;
      case QAbstractSlider::SliderMove:
        if (ds->IsSequenced() && bar_->minimum() == 1)
          ds->SetRecNo(bar_->sliderPosition());
        else if (bar_->sliderPosition() == 0)
          ds->First();
        else if (bar_->sliderPosition() == 2)
          ds->Last();
        break;
      default: break;
    }
  });
  UpdateScrollBar();
  bar_->setSliderPosition(bar_->value());
}

void DbGrid::OnCurrentChanged(int row, int column) {
  current_column_ = column;
  if (syncing_) return;
  SelectRow(row);
}

void DbGrid::SelectRow(int row) {
  dbkit::DataSet* ds = DataSet();
  if (ds == nullptr || row < 0 || row >= link_->RecordCount()) return;
  const int distance = row - link_->ActiveRecord();
  if (distance != 0) Act([&] { ds->MoveBy(distance); });
  SyncCurrent();
}

void DbGrid::DeleteCurrent() {
  dbkit::DataSet* ds = DataSet();
  if (ds == nullptr || ds->IsEmpty() || !ds->CanModify()) return;
  if (confirm_delete_ && !(confirm_ && confirm_(QString::fromLatin1(dbkit::msg::kDeleteRecordQuestion)))) return;
  Act([&] { ds->Delete(); });
}

bool DbGrid::HandleKey(int key, Qt::KeyboardModifiers modifiers) {
  dbkit::DataSet* ds = DataSet();
  if (ds == nullptr) return false;
  const bool ctrl = (modifiers & Qt::ControlModifier) != 0;
  const int page = std::max(1, link_->BufferCount());
  switch (key) {
    case Qt::Key_Up: Act([&] { ds->Prior(); }); return true;
    case Qt::Key_Down: Act([&] { ds->Next(); }); return true;
    case Qt::Key_PageUp: Act([&] { ds->MoveBy(-page); }); return true;
    case Qt::Key_PageDown: Act([&] { ds->MoveBy(page); }); return true;
    case Qt::Key_Home:
      if (!ctrl) return false;
      Act([&] { ds->First(); });
      return true;
    case Qt::Key_End:
      if (!ctrl) return false;
      Act([&] { ds->Last(); });
      return true;
    case Qt::Key_Delete:
      if (!ctrl) return false;
      DeleteCurrent();
      return true;
    default: return false;
  }
}

bool DbGrid::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    emit keyDown(key->key(), key->modifiers());
    return HandleKey(key->key(), key->modifiers());
  }
  if (watched == view_ && event->type() == QEvent::FocusOut && cancel_on_exit_) {
    dbkit::DataSet* ds = DataSet();
    if (ds != nullptr && ds->State() == dbkit::DataSetState::kInsert && !ds->Modified()) Act([&] { ds->Cancel(); });
  }
  if (watched == view_->viewport()) {
    if (event->type() == QEvent::Resize) UpdateRowCount();
    if (event->type() == QEvent::Wheel) {
      auto* wheel = static_cast<QWheelEvent*>(event);
      const int steps = wheel->angleDelta().y() / 120;
      dbkit::DataSet* ds = DataSet();
      if (ds != nullptr && steps != 0) Act([&] { ds->MoveBy(-steps); });
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace widgets
