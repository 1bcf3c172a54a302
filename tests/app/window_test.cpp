// The callbook window on the offscreen platform, over a copy of the
// fixture callbook: every control of the form by name, the menus and
// their shortcuts, and the window's events reaching the controller.
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

#include "app/callbook_controller.h"
#include "app/engine_error_texts.h"
#include "app/form_pyx.h"
#include "engine/errors.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/field.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"
#include "widgets/db_edit.h"
#include "widgets/db_grid.h"
#include "widgets/db_navigator.h"
#include "widgets/gauge.h"
#include "widgets/ui_hooks.h"

namespace {

namespace fs = std::filesystem;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_dir_ = fs::current_path();
    for (const char* f : {"Pyx.DBF", "PYX.CDX"})
      fs::copy_file(std::string(PYX_FIXTURES) + "/callbook/" + f, dir_ / f);
    fs::current_path(dir_.path());
    widgets::SetErrorReporter([this](QWidget*, const QString& m) { errors_ << m; });
    controller_ = std::make_unique<pyx::CallbookController>();
    form_ = std::make_unique<pyx::TFormPYX>(*controller_);
  }
  void TearDown() override {
    form_.reset();
    controller_.reset();
    widgets::SetErrorReporter({});
    fs::current_path(old_dir_);
  }
  void ShowAndStart() {
    form_->show();
    QApplication::setActiveWindow(form_.get());
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller_->Started(); }, 5000));
    QApplication::processEvents();
  }
  template <typename T = QWidget>
  T* W(const char* name) {
    T* w = form_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QAction* A(const char* name) { return W<QAction>(name); }
  QString Card(const char* field) {
    return QString::fromStdString(plat::AnsiToUtf8(controller_->TablePYX().FieldByName(field)->AsString()));
  }
  void Key(int key) {
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : form_.get(),
                    static_cast<Qt::Key>(key));
  }

  testing_support::TempDir dir_;
  fs::path old_dir_;
  QStringList errors_;
  std::unique_ptr<pyx::CallbookController> controller_;
  std::unique_ptr<pyx::TFormPYX> form_;
};

struct ControlSpec {
  const char* name;
  const char* parent;
  int x, y, w, h;  // w, h 0: sized to its text
  const char* text;  // caption or hint
  int font_px;
  bool visible;
};

const ControlSpec kControls[] = {
    {"LabelVer", "ClientArea", 588, 420, 0, 0, "Версия 1.0 beta", 11, true},
    {"PanelCall", "ClientArea", 16, 8, 657, 65, nullptr, 11, true},
    {"LabelFind", "PanelCall", 24, 8, 0, 0, "", 11, true},
    {"Gauge", "PanelCall", 480, 16, 169, 25, nullptr, 11, false},
    {"DBEditCall", "PanelCall", 208, 8, 265, 45, "Позывной", 32, true},
    {"EditVvod", "PanelCall", 24, 24, 169, 32, nullptr, 21, false},
    {"PanelFIO", "ClientArea", 16, 80, 657, 113, nullptr, 11, true},
    {"LabelFamily", "PanelFIO", 80, 8, 0, 0, "Фамилия", 17, true},
    {"LabelName", "PanelFIO", 80, 40, 0, 0, "Имя", 17, true},
    {"LabelOtch", "PanelFIO", 80, 72, 0, 0, "Отчество", 17, true},
    {"DBEditFamily", "PanelFIO", 192, 8, 377, 28, "Фамилия", 16, true},
    {"DBEditName", "PanelFIO", 192, 40, 377, 28, "Имя", 16, true},
    {"DBEditOtch", "PanelFIO", 192, 72, 377, 28, "Отчество", 16, true},
    {"Wait", "PanelFIO", 216, 40, 241, 49, "Минуточку, индексирую ...", 16, false},
    {"PanelReg", "ClientArea", 16, 200, 657, 89, nullptr, 11, true},
    {"LabelReg", "PanelReg", 16, 8, 0, 0, "Регион", 11, true},
    {"LabelGor", "PanelReg", 16, 32, 0, 0, "Город", 11, true},
    {"LabelUlica", "PanelReg", 16, 56, 0, 0, "Улица, дом", 11, true},
    {"LabelTel", "PanelReg", 472, 32, 0, 0, "Телефон", 11, true},
    {"LabelInd", "PanelReg", 472, 8, 0, 0, "Индекс", 11, true},
    {"DBEditReg", "PanelReg", 80, 8, 305, 21, "Название региона", 11, true},
    {"DBEditGor", "PanelReg", 80, 32, 305, 21, "Название населенного пункта", 11, true},
    {"DBEditUlica", "PanelReg", 80, 56, 409, 21, "Улица, дом, корпус, квартира", 11, true},
    {"DBEditStrana", "PanelReg", 528, 56, 121, 21, "Название страны", 11, true},
    {"DBEditInd", "PanelReg", 528, 8, 65, 21, "Индекс населенного пункта", 11, true},
    {"DBEditTel", "PanelReg", 528, 32, 113, 21, "Номер телефона", 11, true},
    {"PanelPrim", "ClientArea", 16, 296, 657, 89, nullptr, 11, true},
    {"LabelEmail", "PanelPrim", 8, 8, 0, 0, "E-mail", 11, true},
    {"LabelURL", "PanelPrim", 8, 32, 0, 0, "URL", 11, true},
    {"LabelPrim", "PanelPrim", 320, 56, 0, 0, "Примечания", 11, true},
    {"DBEditEmail", "PanelPrim", 64, 8, 585, 21, "Адрес электронной почты в Интернете", 11, true},
    {"DBEditURL", "PanelPrim", 64, 32, 585, 21, "Адрес сайта в Интернете", 11, true},
    {"DBEditPrim", "PanelPrim", 392, 56, 257, 21, "Примечания", 11, true},
    {"DBNavigator", "ClientArea", 16, 392, 657, 25, nullptr, 11, true},
    {"ButtonEnter", "ClientArea", 40, 120, 33, 9, nullptr, 11, false},
};

TEST_F(WindowTest, EveryControlHasItsParentPlaceTextFontAndVisibility) {
  ShowAndStart();
  EXPECT_EQ(form_->windowTitle(), QStringLiteral(" Программа PYX  by  QZ6ZZZ"));
  for (const ControlSpec& s : kControls) {
    SCOPED_TRACE(s.name);
    QWidget* w = W(s.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(s.parent));
    EXPECT_EQ(w->pos(), QPoint(s.x, s.y));
    if (s.w != 0) {
      EXPECT_EQ(w->size(), QSize(s.w, s.h));
    }
    EXPECT_EQ(w->font().pixelSize(), s.font_px);
    EXPECT_EQ(w->font().family(), pyx::TFormPYX::SansFamily());
    EXPECT_EQ(w->isVisibleTo(form_.get()), s.visible);
    if (s.text == nullptr) continue;
    const QString text = QString::fromUtf8(s.text);
    if (auto* l = qobject_cast<QLabel*>(w)) {
      EXPECT_EQ(l->text(), text);
    } else {
      EXPECT_EQ(w->toolTip(), text);
      EXPECT_EQ(w->accessibleName(), text);
      auto* e = qobject_cast<widgets::DbEdit*>(w);
      ASSERT_NE(e, nullptr);
      EXPECT_TRUE(e->ReadOnly());
      EXPECT_FALSE(e->TabStop());
      EXPECT_EQ(e->GetCharCase(), widgets::DbEdit::CharCase::kUpper);
    }
  }
  // The country has no caption of its own.
  for (QLabel* l : W("PanelReg")->findChildren<QLabel*>()) EXPECT_NE(l->text(), QStringLiteral("Страна"));
  EXPECT_FALSE(W("DBGridPYX")->isVisibleTo(form_.get()));
  EXPECT_EQ(W("DBGridPYX")->geometry(), W("ClientArea")->rect());
  EXPECT_EQ(W<widgets::Gauge>("Gauge")->Progress(), 1);
  EXPECT_TRUE(W<QPushButton>("ButtonEnter")->isDefault());
  // The card of QZ6ZZZ is shown.
  EXPECT_EQ(W<QLineEdit>("DBEditCall")->text(), QStringLiteral("QZ6ZZZ"));
}

TEST_F(WindowTest, GridColumnsAndNavigatorHints) {
  ShowAndStart();
  auto* grid = W<widgets::DbGrid>("DBGridPYX");
  const QStringList titles = {"Позывной", "Фамилия", "Имя",     "Отчество", "Индекс", "Регион", "Город",
                              "Улица, дом, корпус, квартира", "Телефон", "Примечания", "Страна", "E-Mail", "URL"};
  const std::vector<std::string> fields = {"CALL_", "FAM_", "IM_",  "OTCH_",   "IND_",   "REG_", "GOR_",
                                           "ULIC_", "TEL_", "PRIM_", "STRANA_", "EMAIL_", "URL_"};
  ASSERT_EQ(grid->Columns().size(), 13u);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(grid->Columns()[static_cast<size_t>(i)].field_name, fields[static_cast<size_t>(i)]);
    EXPECT_EQ(grid->ColumnTitle(i), titles[i]);
  }
  auto* nav = W<widgets::DbNavigator>("DBNavigator");
  EXPECT_EQ(nav->VisibleButtons(), 511u);
  const QStringList hints = {"Первая запись",   "Предыдущая запись",       "Следующая запись",
                             "Последняя запись", "Вставить запись",         "Удалить запись",
                             "Редактировать запись", "Записать изменения", "Не записывать изменения",
                             "Вернуться к прежней записи", " "};
  EXPECT_EQ(nav->Hints(), hints);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(nav->ButtonAt(i)->accessibleName(), hints[i]);
  EXPECT_FALSE(nav->ButtonAt(9)->isVisibleTo(form_.get()));
}

TEST_F(WindowTest, MenusCaptionsAndShortcuts) {
  struct Item {
    const char* name;
    const char* caption;
    int key;
  };
  const Item items[] = {
      {"MenuRed", "Редактирование", 0},  {"MenuRedNew", "Новый", Qt::Key_F6},
      {"MenuRedEdit", "Изменение", Qt::Key_F4}, {"MenuRedDel", "Удалить", Qt::Key_F8},
      {"MenuRedReind", "Переиндексация", 0}, {"MenuRedExit", "Выход", Qt::Key_F10},
      {"MenuFind", "Поиск", 0},            {"MenuFindCall", "Позывной", Qt::Key_F7},
      {"MenuFindFIO", "ФИО", 0},           {"MenuFindFIOF", "Фамилия", 0},
      {"MenuFindFIOI", "Имя", 0},          {"MenuFindFIOO", "Отчество", 0},
      {"MenuFindFIOFIO", "Ф+И+О", 0},      {"MenuFindInd", "Индекс", 0},
      {"MenuFindReg", "Регион", 0},        {"MenuFindGor", "Город", 0},
      {"MenuFindTel", "Телефон", 0},       {"MenuFindStr", "Страна", 0},
      {"MenuFindEmail", "E-mail", 0},      {"MenuFindURL", "URL", 0},
      {"MenuView", "Вид", 0},              {"ViewStandart", "Поиск", Qt::Key_F2},
      {"ViewTablica", "Таблица", Qt::Key_F3}, {"MenuHelp", "Помощь", 0},
  };
  for (const Item& i : items) {
    QAction* a = A(i.name);
    ASSERT_NE(a, nullptr) << i.name;
    EXPECT_EQ(a->text(), QString::fromUtf8(i.caption)) << i.name;
    EXPECT_EQ(a->shortcut(), i.key != 0 ? QKeySequence(i.key) : QKeySequence()) << i.name;
  }
  QList<QAction*> top = form_->menuBar()->actions();
  ASSERT_EQ(top.size(), 4);
  EXPECT_EQ(top[0]->objectName(), "MenuRed");
  EXPECT_EQ(top[3]->objectName(), "MenuHelp");
  EXPECT_TRUE(W<QMenu>("MenuHelp")->actions().isEmpty());
  EXPECT_TRUE(A("MenuREDTire")->isSeparator());
  EXPECT_EQ(A("MenuView")->statusTip(), QStringLiteral("Табличный режим  F5"));
  EXPECT_EQ(A("MenuRedNew")->statusTip(), QStringLiteral("Ввод новой карточки"));
}

TEST_F(WindowTest, FioFioAndHelpDoNothing) {
  ShowAndStart();
  const QString before = Card("CALL_");
  A("MenuFindFIOFIO")->trigger();
  A("MenuHelp")->trigger();
  QApplication::processEvents();
  EXPECT_FALSE(W("EditVvod")->isVisibleTo(form_.get()));
  EXPECT_TRUE(A("MenuRed")->isEnabled());
  EXPECT_EQ(Card("CALL_"), before);
  EXPECT_EQ(controller_->TablePYX().IndexName(), "CALL");
}

TEST_F(WindowTest, F7SearchTypesCapitalsAndEnterFindsTheCard) {
  ShowAndStart();
  EXPECT_FALSE(A("ViewStandart")->isEnabled());
  QTest::keyClick(form_.get(), Qt::Key_F7);
  auto* input = W<QLineEdit>("EditVvod");
  ASSERT_TRUE(input->isVisibleTo(form_.get()));
  EXPECT_EQ(W<QLabel>("LabelFind")->text(), QStringLiteral("Поиск по позывному"));
  EXPECT_EQ(input->accessibleName(), QStringLiteral("Поиск по позывному"));
  EXPECT_FALSE(A("MenuRed")->isEnabled());
  // The default button is up, behind the opaque panel it lies in.
  auto* enter = W<QPushButton>("ButtonEnter");
  EXPECT_TRUE(enter->isVisibleTo(form_.get()));
  const QObjectList& stack = W("ClientArea")->children();
  EXPECT_LT(stack.indexOf(enter), stack.indexOf(W("PanelFIO")));
  EXPECT_TRUE(W("PanelFIO")->autoFillBackground());
  // While the search input is up, the other shortcuts do nothing.
  QTest::keyClick(input, Qt::Key_F3);
  EXPECT_FALSE(W("DBGridPYX")->isVisibleTo(form_.get()));
  QTest::keyClicks(input, QStringLiteral("ua1"));
  EXPECT_EQ(input->text(), QStringLiteral("UA1"));
  QTest::keyClick(input, Qt::Key_Return);
  EXPECT_FALSE(input->isVisibleTo(form_.get()));
  EXPECT_TRUE(Card("CALL_").startsWith(QStringLiteral("UA1"))) << Card("CALL_").toStdString();
  EXPECT_TRUE(W<QLineEdit>("DBEditCall")->text().startsWith(QStringLiteral("UA1")));
  EXPECT_TRUE(A("MenuRed")->isEnabled());
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join('\n').toStdString();

  // Escape leaves without a search.
  const QString shown = Card("CALL_");
  QTest::keyClick(form_.get(), Qt::Key_F7);
  QTest::keyClicks(input, QStringLiteral("qz"));
  QTest::keyClick(input, Qt::Key_Escape);
  EXPECT_FALSE(input->isVisibleTo(form_.get()));
  EXPECT_EQ(Card("CALL_"), shown);
}

TEST_F(WindowTest, TableViewShortcutsAndEditingCapitals) {
  ShowAndStart();
  QTest::keyClick(form_.get(), Qt::Key_F3);
  auto* grid = W<widgets::DbGrid>("DBGridPYX");
  EXPECT_TRUE(grid->isVisibleTo(form_.get()));
  EXPECT_FALSE(A("MenuRed")->isEnabled());
  EXPECT_TRUE(A("ViewStandart")->isEnabled());
  EXPECT_GT(grid->RowCount(), 5);
  QTest::keyClick(grid->View(), Qt::Key_Escape);
  EXPECT_FALSE(grid->isVisibleTo(form_.get()));
  EXPECT_TRUE(A("MenuRed")->isEnabled());
  // F2 from the grid, also when a column title chose the order.
  QTest::keyClick(form_.get(), Qt::Key_F3);
  ASSERT_TRUE(grid->isVisibleTo(form_.get()));
  emit grid->View()->horizontalHeader()->sectionClicked(1);
  EXPECT_EQ(controller_->TablePYX().IndexName(), "FIO");
  emit grid->View()->horizontalHeader()->sectionClicked(7);
  EXPECT_EQ(controller_->TablePYX().IndexName(), "FIO");
  QTest::keyClick(grid->View(), Qt::Key_F2);
  EXPECT_FALSE(grid->isVisibleTo(form_.get()));
  EXPECT_FALSE(A("ViewStandart")->isEnabled());

  // F4 edits the card: the edits open, only post and cancel are offered.
  QTest::keyClick(form_.get(), Qt::Key_F4);
  auto* nav = W<widgets::DbNavigator>("DBNavigator");
  EXPECT_EQ(nav->VisibleButtons(), 384u);
  auto* prim = W<widgets::DbEdit>("DBEditPrim");
  EXPECT_FALSE(prim->ReadOnly());
  prim->setFocus();
  prim->selectAll();
  // QTest types Latin letters only; Cyrillic ones come as key events with
  // their text, as a keyboard layout sends them.
  for (QChar ch : QStringLiteral("тест")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(prim, &press);
  }
  EXPECT_EQ(prim->text(), QStringLiteral("ТЕСТ"));
  // Every card edit forces capitals.
  for (const char* name : {"DBEditCall", "DBEditFamily", "DBEditName", "DBEditOtch", "DBEditReg", "DBEditGor",
                           "DBEditUlica", "DBEditInd", "DBEditTel", "DBEditStrana", "DBEditEmail", "DBEditURL"}) {
    auto* e = W<widgets::DbEdit>(name);
    e->setFocus();
    e->selectAll();  // a full field takes no more letters
    QTest::keyClicks(e, QStringLiteral("qz"));
    EXPECT_EQ(e->text(), QStringLiteral("QZ")) << name;
  }
  nav->ButtonAt(widgets::DbNavigator::kCancel)->click();
  EXPECT_EQ(nav->VisibleButtons(), 511u);
  EXPECT_EQ(nav->width(), 657);
  EXPECT_TRUE(prim->ReadOnly());
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join('\n').toStdString();
}

TEST_F(WindowTest, MissingIndexIsBuiltBehindTheWaitPanel) {
  form_.reset();
  controller_.reset();
  fs::remove(dir_ / "PYX.CDX");
  controller_ = std::make_unique<pyx::CallbookController>();
  form_ = std::make_unique<pyx::TFormPYX>(*controller_);
  ShowAndStart();
  EXPECT_TRUE(fs::exists(dir_ / "PYX.CDX"));
  EXPECT_FALSE(W("Wait")->isVisibleTo(form_.get()));
  EXPECT_FALSE(W("Gauge")->isVisibleTo(form_.get()));
  EXPECT_EQ(W<widgets::Gauge>("Gauge")->Progress(), 100);
  EXPECT_EQ(W<QLineEdit>("DBEditCall")->text(), QStringLiteral("QZ6ZZZ"));
}

// Answers the next question box by the button with `text`, once it is up;
// the box's text goes to `*question`.
void AnswerNextBox(const QString& text, QString* question) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, text, question] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    *question = box->text();
    for (QAbstractButton* b : box->buttons()) {
      if (b->text() == text) {
        timer->stop();
        timer->deleteLater();
        b->click();
        return;
      }
    }
  });
  timer->start();
}

// Tab goes through a card's fields as they are read: the name block, then
// down the left column of the address, then down the right one.
TEST_F(WindowTest, TabFollowsTheCardInEditing) {
  ShowAndStart();
  QTest::keyClick(form_.get(), Qt::Key_F4);
  ASSERT_FALSE(W<widgets::DbEdit>("DBEditCall")->ReadOnly());
  const char* const order[] = {"DBEditCall", "DBEditFamily", "DBEditName", "DBEditOtch", "DBEditReg",
                               "DBEditGor",  "DBEditUlica",  "DBEditInd",  "DBEditTel",  "DBEditStrana",
                               "DBEditEmail", "DBEditURL",   "DBEditPrim"};
  W("DBEditCall")->setFocus();
  for (size_t i = 1; i < std::size(order); ++i) {
    QWidget* next = W(order[i - 1])->nextInFocusChain();
    while (next != nullptr && !(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->objectName(), QString::fromLatin1(order[i])) << "after " << order[i - 1];
  }
  // The country names itself when empty; its hint is its accessible name.
  auto* strana = W<widgets::DbEdit>("DBEditStrana");
  EXPECT_EQ(strana->placeholderText(), QStringLiteral("Страна"));
  EXPECT_EQ(strana->accessibleName(), QStringLiteral("Название страны"));
  W<widgets::DbNavigator>("DBNavigator")->ButtonAt(widgets::DbNavigator::kCancel)->click();
}

// The items that change cards follow the navigator: off for a callbook
// that may only be read, and F8 then asks nothing.
TEST_F(WindowTest, EditItemsFollowTheNavigator) {
  ShowAndStart();
  for (const char* item : {"MenuRedNew", "MenuRedEdit", "MenuRedDel"}) EXPECT_TRUE(A(item)->isEnabled()) << item;
  form_.reset();
  controller_ = std::make_unique<pyx::CallbookController>();
  controller_->TablePYX().SetReadOnly(true);
  form_ = std::make_unique<pyx::TFormPYX>(*controller_);
  ShowAndStart();
  for (const char* item : {"MenuRedNew", "MenuRedEdit", "MenuRedDel"}) EXPECT_FALSE(A(item)->isEnabled()) << item;
  EXPECT_TRUE(A("MenuRedReind")->isEnabled());
  QTest::keyClick(form_.get(), Qt::Key_F8);
  QTest::keyClick(form_.get(), Qt::Key_F4);
  QApplication::processEvents();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(W<widgets::DbEdit>("DBEditCall")->ReadOnly());
  EXPECT_EQ(W<QLabel>("StatusLine")->text().toStdString().find("только для чтения") != std::string::npos, true);
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join('\n').toStdString();
}

// Closing the window in the middle of an edit asks; Отмена keeps the
// window and the card, Нет drops the change and closes.
TEST_F(WindowTest, ClosingDuringAnEditAsks) {
  ShowAndStart();
  QTest::keyClick(form_.get(), Qt::Key_F4);
  auto* tel = W<widgets::DbEdit>("DBEditTel");
  tel->setFocus();
  tel->selectAll();
  QTest::keyClicks(tel, QStringLiteral("5550000"));
  // The question comes just after the request, which the window refuses.
  QString question;
  AnswerNextBox(QStringLiteral("Отмена"), &question);
  EXPECT_FALSE(form_->close());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !question.isEmpty() && QApplication::activeModalWidget() == nullptr; },
                              30000));
  EXPECT_EQ(question, QStringLiteral("Сохранить изменения?"));
  EXPECT_TRUE(form_->isVisible());
  EXPECT_EQ(controller_->TablePYX().State(), dbkit::DataSetState::kEdit);
  EXPECT_EQ(tel->text(), QStringLiteral("5550000"));
  // F10 reaches the question in the editing mode too (the offscreen
  // platform does not give the window back its activation after a box).
  QApplication::setActiveWindow(form_.get());
  question.clear();
  AnswerNextBox(QStringLiteral("Отмена"), &question);
  QTest::keyClick(form_.get(), Qt::Key_F10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !question.isEmpty() && QApplication::activeModalWidget() == nullptr; },
                              30000));
  EXPECT_EQ(question, QStringLiteral("Сохранить изменения?"));
  EXPECT_TRUE(form_->isVisible());
  EXPECT_EQ(controller_->TablePYX().State(), dbkit::DataSetState::kEdit);

  // A close request that comes once the box has gone, while its answer is
  // still being handled (a window manager's request read in the same turn
  // of the box's event loop), is asked again, not dropped or taken as
  // granted.
  bool second_closed = true;
  bool second_made = false;
  auto* cancel_then_close = new QTimer(form_.get());
  cancel_then_close->setInterval(10);
  QObject::connect(cancel_then_close, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    cancel_then_close->stop();
    for (QAbstractButton* b : box->buttons())
      if (b->text() == QStringLiteral("Отмена")) b->click();
    second_closed = form_->close();
    second_made = true;
  });
  cancel_then_close->start();
  EXPECT_FALSE(form_->close());
  ASSERT_TRUE(QTest::qWaitFor([&] { return second_made; }, 30000));
  EXPECT_FALSE(second_closed);
  EXPECT_TRUE(form_->isVisible());
  question.clear();
  AnswerNextBox(QStringLiteral("Нет"), &question);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->isVisible(); }, 30000));
  EXPECT_EQ(question, QStringLiteral("Сохранить изменения?"));
  EXPECT_EQ(controller_->TablePYX().State(), dbkit::DataSetState::kBrowse);
  EXPECT_NE(Card("TEL_"), QStringLiteral("5550000"));
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join('\n').toStdString();
}

// The engine's failures as the program words them: files spelled as on
// disk, a file held by another program said to be in use.
TEST_F(WindowTest, EngineFailuresNameFilesAsOnDiskAndSayWhenInUse) {
  const std::string real = dir_.path() + "/PYX.CDX";
  std::string upper = real;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  try {
    pyx::CallbookEngineError(32, 1107, upper);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()), "File " + real + " is in use by another program");
  }
  try {
    pyx::CallbookEngineError(112, 1102, upper);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()), "Tessera Error 112, SubCode 1102: there is not enough space on the disk (" +
                                         real + ")");
  }
  EXPECT_EQ(pyx::WithPathAsOnDisk(upper + ": a write through it did not finish"),
            real + ": a write through it did not finish");
  EXPECT_EQ(pyx::WithPathAsOnDisk("Tag Field is Empty"), "Tag Field is Empty");
  // A file that is not there keeps the name it was given.
  EXPECT_EQ(pyx::WithPathAsOnDisk(dir_.path() + "/NEW.CDX"), dir_.path() + "/NEW.CDX");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  tessera::EngineScope engine;
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
