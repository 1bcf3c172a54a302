#include "app/form_pyx.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHeaderView>
#include <QTableView>
#include <QKeyEvent>
#include <QLabel>
#include <QStatusBar>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QTimer>
#include <QToolButton>
#include <QValidator>
#include <algorithm>

#include "app/callbook_controller.h"
#include "app/callbook_tables.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/data_source.h"
#include "widgets/ansi_text.h"
#include "widgets/db_edit.h"
#include "widgets/db_grid.h"
#include "widgets/db_navigator.h"
#include "widgets/gauge.h"
#include "widgets/ui_hooks.h"

namespace pyx {

namespace {

QString Utf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Font of the form's default family at a height in pixels (the form's
// negative heights).
QFont SansFont(int pixels) {
  QFont f(TFormPYX::SansFamily());
  f.setPixelSize(pixels);
  return f;
}

// The search input forces capitals, as the card edits do, and takes only
// what the window code page can hold.
class UpperValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& /*pos*/) const override {
    input = input.toUpper();
    for (QChar c : input)
      if (!widgets::IsAnsiChar(c)) return Invalid;
    return Acceptable;
  }
};

// A raised panel with the button-face colour of the form.
QFrame* MakePanel(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* p = new QFrame(parent);
  p->setObjectName(QString::fromLatin1(name));
  p->setFrameStyle(QFrame::Panel | QFrame::Raised);
  p->setLineWidth(1);
  p->setGeometry(x, y, w, h);
  // Opaque, so that a control sent behind it is hidden.
  p->setAutoFillBackground(true);
  return p;
}

QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y, const QString& text, int font_px = 11) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setFont(SansFont(font_px));
  l->move(x, y);
  l->adjustSize();
  return l;
}

void SetTextColour(QWidget* w, const QColor& c) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, c);
  p.setColor(QPalette::Text, c);
  w->setPalette(p);
}

// Windows virtual-key code of a key event: letters and digits as their
// capitals, the control keys the controller knows by number.
int VirtualKey(const QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Escape: return kVkEscape;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Tab: return 9;
    case Qt::Key_Backspace: return 8;
    default: break;
  }
  const int k = e->key();
  if ((k >= Qt::Key_0 && k <= Qt::Key_9) || (k >= Qt::Key_A && k <= Qt::Key_Z)) return k;
  if (k >= Qt::Key_F1 && k <= Qt::Key_F12) return 0x70 + (k - Qt::Key_F1);
  return 0;
}

struct CardEditSpec {
  const char* name;
  const char* panel;
  int x, y, w, h;
  const char* field;
  const char* hint;
  int font_px;
};

constexpr CardEditSpec kCardEditSpecs[] = {
    {"DBEditCall", "PanelCall", 208, 8, 265, 45, "CALL_", "Позывной", 32},
    {"DBEditFamily", "PanelFIO", 192, 8, 377, 28, "FAM_", "Фамилия", 16},
    {"DBEditName", "PanelFIO", 192, 40, 377, 28, "IM_", "Имя", 16},
    {"DBEditOtch", "PanelFIO", 192, 72, 377, 28, "OTCH_", "Отчество", 16},
    {"DBEditReg", "PanelReg", 80, 8, 305, 21, "REG_", "Название региона", 11},
    {"DBEditGor", "PanelReg", 80, 32, 305, 21, "GOR_", "Название населенного пункта", 11},
    {"DBEditUlica", "PanelReg", 80, 56, 409, 21, "ULIC_", "Улица, дом, корпус, квартира", 11},
    {"DBEditStrana", "PanelReg", 528, 56, 121, 21, "STRANA_", "Название страны", 11},
    {"DBEditInd", "PanelReg", 528, 8, 65, 21, "IND_", "Индекс населенного пункта", 11},
    {"DBEditTel", "PanelReg", 528, 32, 113, 21, "TEL_", "Номер телефона", 11},
    {"DBEditEmail", "PanelPrim", 64, 8, 585, 21, "EMAIL_", "Адрес электронной почты в Интернете", 11},
    {"DBEditURL", "PanelPrim", 64, 32, 585, 21, "URL_", "Адрес сайта в Интернете", 11},
    {"DBEditPrim", "PanelPrim", 392, 56, 257, 21, "PRIM_", "Примечания", 11},
};

const char* const kNavigatorHints[] = {
    "Первая запись",       "Предыдущая запись",    "Следующая запись", "Последняя запись",
    "Вставить запись",     "Удалить запись",       "Редактировать запись", "Записать изменения",
    "Не записывать изменения", "Вернуться к прежней записи", " ",
};

struct ColumnSpec {
  const char* field;
  const char* title;
};
constexpr ColumnSpec kGridColumns[] = {
    {"CALL_", "Позывной"}, {"FAM_", "Фамилия"}, {"IM_", "Имя"},
    {"OTCH_", "Отчество"}, {"IND_", "Индекс"}, {"REG_", "Регион"},
    {"GOR_", "Город"},     {"ULIC_", "Улица, дом, корпус, квартира"}, {"TEL_", "Телефон"},
    {"PRIM_", "Примечания"}, {"STRANA_", "Страна"}, {"EMAIL_", "E-Mail"},
    {"URL_", "URL"},
};

}  // namespace

// The condensed cut comes closest to the narrow bitmap face the form was
// laid out with; plain DejaVu Sans overflows the labels.
QString TFormPYX::SansFamily() { return QStringLiteral("DejaVu Sans Condensed"); }

TFormPYX::TFormPYX(CallbookController& controller, QWidget* parent)
    : QMainWindow(parent), controller_(controller), source_(std::make_unique<dbkit::DataSource>()) {
  setObjectName(QStringLiteral("FormPYX"));
  source_->SetDataSet(&controller_.TablePYX());
  setWindowTitle(QStringLiteral(" Программа PYX  by  QZ6ZZZ"));
  setFont(SansFont(11));
  // The face colour of buttons for the whole form.
  QPalette p = palette();
  p.setColor(QPalette::Window, p.color(QPalette::Button));
  setPalette(p);

  BuildMenus();
  BuildControls();
  controller_.SetView(this);

  // The status line below the client area: the menu items' status tips and
  // the controller's notes ("StatusLine", e.g. why the index was rebuilt).
  auto* status = new QLabel(statusBar());
  status->setObjectName(QStringLiteral("StatusLine"));
  // A note longer than the line is cut at the window's edge instead of
  // widening the window; its tooltip holds the whole of it.
  status->setMinimumWidth(1);
  status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  statusBar()->addWidget(status, 1);
  // The desktop session ending is a close too: a card being edited is
  // asked about while the session manager lets the program ask, and posted
  // when it does not.
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
    if (!controller_.Started()) return;
    const bool may_ask = manager.allowsInteraction();
    const bool may_close = MayClose(may_ask);
    if (may_ask) manager.release();
    if (!may_close) manager.cancel();
  });
  resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

TFormPYX::~TFormPYX() {
  controller_.SetView(nullptr);
  // The controls' links go before the source they are attached to.
  delete takeCentralWidget();
}

void TFormPYX::BuildControls() {
  client_ = new QWidget(this);
  client_->setObjectName(QStringLiteral("ClientArea"));
  client_->setMinimumSize(kClientWidth, kClientHeight);
  setCentralWidget(client_);
  client_->installEventFilter(this);

  auto* ver = MakeLabel(client_, "LabelVer", 588, 420, QStringLiteral("Версия 1.0 beta"));
  ver->resize(std::max(79, ver->width()), 13);
  SetTextColour(ver, QColor(0x00, 0xFF, 0x00));

  QFrame* call = MakePanel(client_, "PanelCall", 16, 8, 657, 65);
  QFrame* fio = MakePanel(client_, "PanelFIO", 16, 80, 657, 113);
  QFrame* reg = MakePanel(client_, "PanelReg", 16, 200, 657, 89);
  QFrame* prim = MakePanel(client_, "PanelPrim", 16, 296, 657, 89);
  for (QFrame* panel : {call, fio, reg, prim}) panel->setFocusPolicy(Qt::TabFocus);

  auto* find = MakeLabel(call, "LabelFind", 24, 8, QString());
  SetTextColour(find, Qt::red);

  gauge_ = new widgets::Gauge(call);
  gauge_->setObjectName(QStringLiteral("Gauge"));
  gauge_->setGeometry(480, 16, 169, 25);
  gauge_->SetBackColor(palette().color(QPalette::Button));
  gauge_->SetForeColor(Qt::blue);
  gauge_->SetProgress(1);
  gauge_->hide();

  MakeLabel(fio, "LabelFamily", 80, 8, QStringLiteral("Фамилия"), 17);
  MakeLabel(fio, "LabelName", 80, 40, QStringLiteral("Имя"), 17);
  MakeLabel(fio, "LabelOtch", 80, 72, QStringLiteral("Отчество"), 17);
  MakeLabel(reg, "LabelReg", 16, 8, QStringLiteral("Регион"));
  MakeLabel(reg, "LabelGor", 16, 32, QStringLiteral("Город"));
  MakeLabel(reg, "LabelUlica", 16, 56, QStringLiteral("Улица, дом"));
  MakeLabel(reg, "LabelTel", 472, 32, QStringLiteral("Телефон"));
  MakeLabel(reg, "LabelInd", 472, 8, QStringLiteral("Индекс"));
  MakeLabel(prim, "LabelEmail", 8, 8, QStringLiteral("E-mail"));
  MakeLabel(prim, "LabelURL", 8, 32, QStringLiteral("URL"));
  MakeLabel(prim, "LabelPrim", 320, 56, QStringLiteral("Примечания"));

  for (const CardEditSpec& s : kCardEditSpecs) {
    QWidget* panel = client_->findChild<QWidget*>(QString::fromLatin1(s.panel));
    auto* e = new widgets::DbEdit(panel);
    e->setObjectName(QString::fromLatin1(s.name));
    e->setGeometry(s.x, s.y, s.w, s.h);
    e->setFont(SansFont(s.font_px));
    e->SetDataSource(source_.get());
    e->SetDataField(s.field);
    e->SetCharCase(widgets::DbEdit::CharCase::kUpper);
    e->SetReadOnly(true);
    e->SetTabStop(false);
    e->SetSystemColour(widgets::DbEdit::kButtonFaceColour);
    e->setToolTip(QString::fromUtf8(s.hint));
    e->setAccessibleName(QString::fromUtf8(s.hint));
  }
  // The country has no room for a caption of its own beside the street:
  // an empty field names itself.
  CardEdit("DBEditStrana")->setPlaceholderText(QStringLiteral("Страна"));

  edit_vvod_ = new QLineEdit(call);
  edit_vvod_->setObjectName(QStringLiteral("EditVvod"));
  edit_vvod_->setGeometry(24, 24, 169, 32);
  edit_vvod_->setFont(SansFont(21));
  edit_vvod_->setValidator(new UpperValidator(edit_vvod_));
  edit_vvod_->installEventFilter(this);
  edit_vvod_->hide();

  wait_ = new QLabel(QStringLiteral("Минуточку, индексирую ..."), fio);
  wait_->setObjectName(QStringLiteral("Wait"));
  wait_->setGeometry(216, 40, 241, 49);
  wait_->setFrameStyle(QFrame::Panel | QFrame::Raised);
  wait_->setAlignment(Qt::AlignCenter);
  wait_->setFont(SansFont(16));
  wait_->setAutoFillBackground(true);
  {
    QPalette wp = wait_->palette();
    wp.setColor(QPalette::Window, Qt::red);
    wp.setColor(QPalette::WindowText, Qt::white);
    wait_->setPalette(wp);
  }
  wait_->hide();

  navigator_ = new widgets::DbNavigator(client_);
  navigator_->setObjectName(QStringLiteral("DBNavigator"));
  navigator_->setGeometry(16, 392, 657, 25);
  navigator_->SetDataSource(source_.get());
  navigator_->SetVisibleButtons(kBrowseButtons);
  navigator_->setFocusPolicy(Qt::TabFocus);
  {
    QStringList hints;
    for (const char* h : kNavigatorHints) hints << QString::fromUtf8(h);
    navigator_->SetHints(hints);
    navigator_->SetShowHint(true);
    for (int i = 0; i < widgets::DbNavigator::kButtonCount; ++i) {
      navigator_->ButtonAt(i)->setObjectName(QStringLiteral("DBNavigatorButton%1").arg(i));
      navigator_->ButtonAt(i)->setAccessibleName(hints[i]);
    }
  }
  connect(navigator_, &widgets::DbNavigator::clicked, this,
          [this](int button) { Run([&] { controller_.DBNavigatorClick(button); }); });
  connect(navigator_, &widgets::DbNavigator::buttonsUpdated, this, [this] { FollowNavigator(); });
  FollowNavigator();

  button_enter_ = new QPushButton(client_);
  button_enter_->setObjectName(QStringLiteral("ButtonEnter"));
  button_enter_->setGeometry(40, 120, 33, 9);
  button_enter_->setDefault(true);
  button_enter_->installEventFilter(this);
  button_enter_->hide();
  connect(button_enter_, &QPushButton::clicked, this,
          [this] { Run([&] { controller_.ButtonEnterClick(edit_vvod_->text().toUtf8().toStdString()); }); });
  // Enter in the search input presses the window's default button, as long
  // as it is shown (behind the panels).
  connect(edit_vvod_, &QLineEdit::returnPressed, this, [this] {
    if (button_enter_->isVisible() && button_enter_->isEnabled()) button_enter_->click();
  });

  grid_ = new widgets::DbGrid(client_);
  grid_->setObjectName(QStringLiteral("DBGridPYX"));
  grid_->setGeometry(client_->rect());
  {
    std::vector<widgets::GridColumn> columns;
    for (const ColumnSpec& c : kGridColumns) columns.push_back({c.field, QString::fromUtf8(c.title), -1});
    grid_->SetColumns(std::move(columns));
  }
  grid_->SetShowTitles(true);
  grid_->SetConfirmDelete(true);
  grid_->SetCancelOnExit(true);
  grid_->setFont(SansFont(11));
  // Rows as high as the form's grid rows: the font and a few pixels.
  grid_->View()->verticalHeader()->setDefaultSectionSize(17);
  grid_->View()->horizontalHeader()->setFont(SansFont(11));
  grid_->SetDataSource(source_.get());
  grid_->hide();
  connect(grid_, &widgets::DbGrid::keyDown, this, [this](int key, Qt::KeyboardModifiers) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    const int vk = VirtualKey(&e);
    Run([&] { controller_.DBGridPYXKeyDown(vk); });
  });
  connect(grid_, &widgets::DbGrid::titleClicked, this, [this](int column) {
    if (column < 0 || column >= static_cast<int>(grid_->Columns().size())) return;
    const std::string field = grid_->Columns()[static_cast<size_t>(column)].field_name;
    Run([&] { controller_.DBGridPYXTitleClick(field); });
  });

  // Tab order: the four panels, each followed by its card edits in the
  // order they are read (down the left column of the address, then down
  // the right one), the navigator, the default button, the grid. Read-only
  // card edits take no tab stop, so in the card view Tab goes from panel
  // to panel.
  {
    std::vector<QWidget*> chain;
    auto edits_of = [&](QWidget* panel) {
      chain.push_back(panel);
      for (std::string_view name : kCardEdits)
        if (QWidget* e = CardEdit(name); e != nullptr && e->parentWidget() == panel) chain.push_back(e);
    };
    for (QFrame* panel : {call, fio, reg, prim}) edits_of(panel);
    chain.insert(chain.end(), {navigator_, button_enter_, grid_});
    for (size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
  }
  call->setFocus();
}

QAction* TFormPYX::AddItem(QMenu* menu, const char* name, const QString& caption, int key,
                           void (CallbookController::*handler)()) {
  QAction* a = menu->addAction(caption);
  a->setObjectName(QString::fromLatin1(name));
  if (key != 0) a->setShortcut(QKeySequence(key));
  // A shortcut reaches its item only while every menu above it is
  // enabled, as with the menus of the form.
  addAction(a);
  // "Выход" (F10) is the exception: the program can be left in every
  // mode, and closing asks about a card being edited.
  const bool always = handler == &CallbookController::MenuRedExitClick;
  connect(a, &QAction::triggered, this, [this, a, handler, always] {
    for (QObject* o = a->parent(); o != nullptr && !always; o = o->parent()) {
      if (auto* m = qobject_cast<QMenu*>(o); m != nullptr && !m->menuAction()->isEnabled()) return;
    }
    if (handler != nullptr) Run([&] { (controller_.*handler)(); });
  });
  return a;
}

void TFormPYX::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu"));
  bar->setFont(SansFont(11));
  auto submenu = [](QWidget* parent, const char* name, const QString& caption) {
    auto* m = new QMenu(caption, parent);
    m->setObjectName(QString::fromLatin1(name));
    m->menuAction()->setObjectName(QString::fromLatin1(name));
    return m;
  };
  using C = CallbookController;

  QMenu* red = submenu(bar, "MenuRed", QStringLiteral("Редактирование"));
  bar->addMenu(red);
  QAction* add = AddItem(red, "MenuRedNew", QStringLiteral("Новый"), Qt::Key_F6, &C::MenuRedNewClick);
  add->setStatusTip(QStringLiteral("Ввод новой карточки"));
  add->setToolTip(QStringLiteral("Ввод новой карточки"));
  AddItem(red, "MenuRedEdit", QStringLiteral("Изменение"), Qt::Key_F4, &C::MenuRedEditClick);
  AddItem(red, "MenuRedDel", QStringLiteral("Удалить"), Qt::Key_F8, &C::MenuRedDelClick);
  AddItem(red, "MenuRedReind", QStringLiteral("Переиндексация"), 0, &C::MenuRedReindClick);
  red->addSeparator()->setObjectName(QStringLiteral("MenuREDTire"));
  AddItem(red, "MenuRedExit", QStringLiteral("Выход"), Qt::Key_F10, &C::MenuRedExitClick);

  QMenu* find = submenu(bar, "MenuFind", QStringLiteral("Поиск"));
  bar->addMenu(find);
  AddItem(find, "MenuFindCall", QStringLiteral("Позывной"), Qt::Key_F7, &C::MenuFindCallClick);
  QMenu* fio = submenu(find, "MenuFindFIO", QStringLiteral("ФИО"));
  find->addMenu(fio);
  AddItem(fio, "MenuFindFIOF", QStringLiteral("Фамилия"), 0, &C::MenuFindFIOFClick);
  AddItem(fio, "MenuFindFIOI", QStringLiteral("Имя"), 0, &C::MenuFindFIOIClick);
  AddItem(fio, "MenuFindFIOO", QStringLiteral("Отчество"), 0, &C::MenuFindFIOOClick);
  AddItem(fio, "MenuFindFIOFIO", QStringLiteral("Ф+И+О"), 0, nullptr);
  AddItem(find, "MenuFindInd", QStringLiteral("Индекс"), 0, &C::MenuFindIndClick);
  AddItem(find, "MenuFindReg", QStringLiteral("Регион"), 0, &C::MenuFindRegClick);
  AddItem(find, "MenuFindGor", QStringLiteral("Город"), 0, &C::MenuFindGorClick);
  AddItem(find, "MenuFindTel", QStringLiteral("Телефон"), 0, &C::MenuFindTelClick);
  AddItem(find, "MenuFindStr", QStringLiteral("Страна"), 0, &C::MenuFindStrClick);
  AddItem(find, "MenuFindEmail", QStringLiteral("E-mail"), 0, &C::MenuFindEmailClick);
  AddItem(find, "MenuFindURL", QStringLiteral("URL"), 0, &C::MenuFindURLClick);

  QMenu* view = submenu(bar, "MenuView", QStringLiteral("Вид"));
  bar->addMenu(view);
  view->menuAction()->setStatusTip(QStringLiteral("Табличный режим  F5"));
  view->menuAction()->setToolTip(QStringLiteral("Табличный режим  F5"));
  AddItem(view, "ViewStandart", QStringLiteral("Поиск"), Qt::Key_F2, &C::ViewStandartClick);
  AddItem(view, "ViewTablica", QStringLiteral("Таблица"), Qt::Key_F3, &C::ViewTablicaClick);

  QMenu* help = submenu(bar, "MenuHelp", QStringLiteral("Помощь"));
  bar->addMenu(help);
}

void TFormPYX::Run(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& e) {
    widgets::ReportError(this, e);
  }
}

void TFormPYX::FollowNavigator() {
  using N = widgets::DbNavigator;
  const std::pair<const char*, int> items[] = {{"MenuRedNew", N::kInsert}, {"MenuRedEdit", N::kEdit}, {"MenuRedDel", N::kDelete}};
  for (const auto& [item, button] : items)
    if (auto* a = findChild<QAction*>(QString::fromLatin1(item))) a->setEnabled(navigator_->ButtonAt(button)->isEnabled());
}

void TFormPYX::closeEvent(QCloseEvent* e) {
  if (!controller_.Started() || close_answered_ || (!asking_ && !controller_.CloseAsks())) {
    e->accept();
    return;
  }
  e->ignore();
  if (asking_) {
    // A request while the question is open waits for its answer; one that
    // comes once the box has gone, while the answer is still being handled,
    // is asked again afterwards instead of being dropped.
    if (QApplication::activeModalWidget() == nullptr) close_again_ = true;
    return;
  }
  // The question is asked once this close request has been handled, not
  // inside it: the toolkit takes a second request that comes during its
  // close handling as granted and destroys the window, card and all.
  asking_ = true;
  QTimer::singleShot(0, this, [this] {
    if (MayClose(true)) {
      close_answered_ = true;
      close();
      close_answered_ = false;
    }
  });
}

bool TFormPYX::MayClose(bool may_ask) {
  bool may_close = false;
  asking_ = true;
  close_again_ = false;
  Run([&] { may_close = controller_.FormCloseQuery(may_ask); });
  asking_ = false;
  if (!may_close && close_again_) QTimer::singleShot(0, this, [this] { close(); });
  return may_close;
}

void TFormPYX::StartUp() {
  if (controller_.Started()) return;
  Run([&] { controller_.FormActivate(); });
}

bool TFormPYX::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate && !controller_.Started()) {
    // After the activation has been handled, so the window is on screen.
    QTimer::singleShot(0, this, [this] { StartUp(); });
  }
  return QMainWindow::event(e);
}

void TFormPYX::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  // Without a window manager the window may never be activated: the first
  // showing starts the program then.
  if (!controller_.Started()) QTimer::singleShot(0, this, [this] { StartUp(); });
}

bool TFormPYX::eventFilter(QObject* watched, QEvent* e) {
  if (watched == client_ && e->type() == QEvent::Resize && grid_ != nullptr) {
    grid_->setGeometry(client_->rect());
  } else if ((watched == edit_vvod_ || watched == button_enter_) && e->type() == QEvent::KeyPress) {
    const int vk = VirtualKey(static_cast<QKeyEvent*>(e));
    Run([&] { controller_.EditVvodKeyDown(vk); });
  }
  return QMainWindow::eventFilter(watched, e);
}

QWidget* TFormPYX::Control(std::string_view name) const {
  return findChild<QWidget*>(Utf8(name));
}

widgets::DbEdit* TFormPYX::CardEdit(std::string_view name) const {
  return findChild<widgets::DbEdit*>(Utf8(name));
}

void TFormPYX::Show(std::string_view control) {
  if (QWidget* w = Control(control)) w->show();
}

void TFormPYX::Hide(std::string_view control) {
  if (QWidget* w = Control(control)) w->hide();
}

void TFormPYX::BringToFront(std::string_view control) {
  if (QWidget* w = Control(control)) w->raise();
}

void TFormPYX::SendToBack(std::string_view control) {
  if (QWidget* w = Control(control)) w->lower();
}

void TFormPYX::ProcessMessages() {
  // Paint and timer events only: a key or click that arrives during an
  // index build waits until the build is over instead of starting another
  // operation in the middle of it.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TFormPYX::SetText(std::string_view control, std::string_view text) {
  QWidget* w = Control(control);
  if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(Utf8(text));
    if (l->objectName() == QStringLiteral("StatusLine"))
      l->setToolTip(l->text());
    else
      l->adjustSize();
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(Utf8(text));
  }
}

void TFormPYX::SetHint(std::string_view control, std::string_view hint) {
  if (QWidget* w = Control(control)) {
    w->setToolTip(Utf8(hint));
    w->setAccessibleName(Utf8(hint));
  }
}

void TFormPYX::SetFocus(std::string_view control) {
  if (QWidget* w = Control(control)) w->setFocus(Qt::OtherFocusReason);
}

void TFormPYX::SetMenuEnabled(std::string_view item, bool enabled) {
  if (auto* a = findChild<QAction*>(Utf8(item))) a->setEnabled(enabled);
}

void TFormPYX::SetReadOnly(std::string_view edit, bool read_only) {
  if (widgets::DbEdit* e = CardEdit(edit)) e->SetReadOnly(read_only);
}

void TFormPYX::SetTabStop(std::string_view edit, bool tab_stop) {
  widgets::DbEdit* e = CardEdit(edit);
  if (e == nullptr) return;
  e->SetTabStop(tab_stop);
  // A panel is a stop of its own only while none of its edits is: when the
  // card is typed in, Tab goes from field to field.
  QWidget* panel = e->parentWidget();
  bool any = false;
  for (auto* sibling : panel->findChildren<widgets::DbEdit*>(Qt::FindDirectChildrenOnly)) any = any || sibling->TabStop();
  panel->setFocusPolicy(any ? Qt::NoFocus : Qt::TabFocus);
}

void TFormPYX::SetColour(std::string_view edit, uint32_t colour) {
  if (widgets::DbEdit* e = CardEdit(edit)) e->SetSystemColour(colour);
}

void TFormPYX::SetNavigatorButtons(uint32_t mask) { navigator_->SetVisibleButtons(mask); }

void TFormPYX::SetNavigatorWidth(int width) { navigator_->resize(width, navigator_->height()); }

void TFormPYX::PressNavigatorButton(int button) { navigator_->BtnClick(button); }

void TFormPYX::SetGaugeProgress(int progress) { gauge_->SetProgress(progress); }

void TFormPYX::RepaintWait() { wait_->repaint(); }

void TFormPYX::Close() { close(); }

int TFormPYX::Ask(std::string_view question, const std::vector<std::string_view>& buttons) {
  QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(), Utf8(question), QMessageBox::NoButton,
                  this);
  std::vector<QPushButton*> added;
  for (size_t i = 0; i < buttons.size(); ++i) {
    const QMessageBox::ButtonRole role = i == 0 ? QMessageBox::AcceptRole
                                         : i + 1 == buttons.size() ? QMessageBox::RejectRole
                                                                   : QMessageBox::DestructiveRole;
    added.push_back(box.addButton(Utf8(buttons[i]), role));
  }
  if (!added.empty()) {
    box.setDefaultButton(added.front());
    box.setEscapeButton(added.back());
  }
  box.exec();
  for (size_t i = 0; i < added.size(); ++i)
    if (box.clickedButton() == added[i]) return static_cast<int>(i);
  return static_cast<int>(buttons.size()) - 1;
}

void TFormPYX::ShowMessage(std::string_view text) {
  QMessageBox::information(this, QApplication::applicationDisplayName(), Utf8(text));
}

std::string TFormPYX::ChooseFolder(std::string_view title) {
  return QFileDialog::getExistingDirectory(this, Utf8(title), QDir::homePath()).toStdString();
}

}  // namespace pyx
