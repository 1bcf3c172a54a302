#include "demo_window.h"

#include <QVBoxLayout>

DemoWindow::DemoWindow(int records) : data_(records), source_(&data_) {
  auto* layout = new QVBoxLayout(this);
  edit_ = new widgets::DbEdit(this);
  edit_->SetDataSource(&source_);
  edit_->SetDataField("NAME");
  edit_->SetCharCase(widgets::DbEdit::CharCase::kUpper);
  edit_->setToolTip(QStringLiteral("Имя"));
  grid_ = new widgets::DbGrid(this);
  grid_->SetDataSource(&source_);
  grid_->SetColumns({{"ID", QStringLiteral("Номер"), -1},
                     {"NAME", QStringLiteral("Имя"), -1},
                     {"CITY", QStringLiteral("Город"), -1},
                     {"AMOUNT", QString(), -1}});
  navigator_ = new widgets::DbNavigator(this);
  navigator_->SetDataSource(&source_);
  navigator_->SetHints({QStringLiteral("Первая запись"), QStringLiteral("Предыдущая запись"),
                        QStringLiteral("Следующая запись"), QStringLiteral("Последняя запись"),
                        QStringLiteral("Вставить запись"), QStringLiteral("Удалить запись"),
                        QStringLiteral("Редактировать запись"), QStringLiteral("Записать изменения"),
                        QStringLiteral("Не записывать изменения"), QStringLiteral("Вернуться к прежней записи"),
                        QStringLiteral(" ")});
  gauge_ = new widgets::Gauge(this);
  layout->addWidget(edit_);
  layout->addWidget(grid_, 1);
  layout->addWidget(navigator_);
  layout->addWidget(gauge_);
  resize(640, 480);
}

// The source goes before the dataset (members, in reverse order), and the
// controls, owned by the window, last: they see the source leave.
DemoWindow::~DemoWindow() = default;
