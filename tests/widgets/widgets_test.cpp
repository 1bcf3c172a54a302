// The data-aware controls under the offscreen platform: typing into the
// edit, the grid's rows, titles and scrolling, the navigator's buttons and
// notifications, the gauge, and the demo window where they work together.
#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "demo_window.h"
#include "dbkit/db_error.h"
#include "platform/codepage.h"
#include "widgets/ansi_text.h"
#include "widgets/ui_hooks.h"

using widgets::DbNavigator;

namespace {

// Types text key by key; letters outside ASCII go as key events that carry
// only their text, as a keyboard layout produces them.
void Type(QWidget* widget, const QString& text) {
  for (QChar c : text) {
    if (c.unicode() < 0x80) {
      QTest::keyClick(widget, c.toLatin1());
    } else {
      QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
      QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }
}

}  // namespace

class WidgetsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<DemoWindow> win_;
  QStringList errors_;

  testing_support::MemoryDataSet& ds() { return win_->Data(); }
  int Id() { return ds().FieldByName("ID")->AsInteger(); }

 private slots:
  void init() {
    errors_.clear();
    widgets::SetErrorReporter([this](QWidget*, const QString& message) { errors_ << message; });
    win_ = std::make_unique<DemoWindow>(5000);
    win_->show();
    QVERIFY(QTest::qWaitForWindowExposed(win_.get()));
    ds().Open();
  }
  void cleanup() {
    win_.reset();
    widgets::SetErrorReporter(nullptr);
  }

  // ------------------------------------------------------------------ edit

  void editShowsTheCurrentRecord() {
    auto* edit = win_->Edit();
    QCOMPARE(edit->text(), QStringLiteral("NAME00001"));
    QCOMPARE(edit->maxLength(), 20);
    ds().Next();
    QCOMPARE(edit->text(), QStringLiteral("NAME00002"));
    ds().Close();
    QCOMPARE(edit->text(), QString());
    QVERIFY(edit->Field() == nullptr);
  }

  void typingInEditStateStoresCapitals() {
    auto* edit = win_->Edit();
    ds().Edit();
    edit->selectAll();
    Type(edit, QStringLiteral("qz6zzz"));
    QCOMPARE(edit->text(), QStringLiteral("QZ6ZZZ"));
    edit->end(false);
    Type(edit, QStringLiteral(" ёжик"));
    QCOMPARE(edit->text(), QStringLiteral("QZ6ZZZ ЁЖИК"));
    ds().Post();
    QCOMPARE(ds().StoredName(1), plat::Utf8ToAnsi("QZ6ZZZ ЁЖИК"));
    QCOMPARE(edit->text(), QStringLiteral("QZ6ZZZ ЁЖИК"));
    // A character the window code page cannot hold is refused.
    ds().Edit();
    edit->end(false);
    Type(edit, QStringLiteral("\u4E2D"));
    QCOMPARE(edit->text(), QStringLiteral("QZ6ZZZ ЁЖИК"));
    ds().Cancel();
  }

  void typingIntoABrowsingDataSetStartsAnEdit() {
    auto* edit = win_->Edit();
    edit->end(false);
    Type(edit, QStringLiteral("x"));
    QCOMPARE(ds().State(), dbkit::DataSetState::kEdit);
    QCOMPARE(edit->text(), QStringLiteral("NAME00001X"));
    // Escape drops the typed text.
    QTest::keyClick(edit, Qt::Key_Escape);
    QCOMPARE(edit->text(), QStringLiteral("NAME00001"));
    ds().Cancel();
    // Without AutoEdit the key is refused.
    win_->Source().SetAutoEdit(false);
    Type(edit, QStringLiteral("y"));
    QCOMPARE(ds().State(), dbkit::DataSetState::kBrowse);
    QCOMPARE(edit->text(), QStringLiteral("NAME00001"));
    // An edit refused by the dataset is reported and changes nothing.
    win_->Source().SetAutoEdit(true);
    ds().SetLockedByOther(1);
    Type(edit, QStringLiteral("z"));
    QCOMPARE(errors_, QStringList{QStringLiteral("Record is locked by another user")});
    QCOMPARE(edit->text(), QStringLiteral("NAME00001"));
  }

  void readOnlyEditRefusesInput() {
    auto* edit = win_->Edit();
    edit->SetReadOnly(true);
    ds().Edit();
    QVERIFY(edit->isReadOnly());
    edit->end(false);
    Type(edit, QStringLiteral("abc"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), QStringLiteral("NAME00001"));
    ds().Post();
    QCOMPARE(ds().StoredName(1), std::string("NAME00001"));
    edit->SetReadOnly(false);
    QVERIFY(!edit->isReadOnly());
    // A read-only dataset makes every edit read-only.
    ds().SetReadOnly(true);
    edit->SetDataField("CITY");
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->text(), QStringLiteral("ТВЕРЬ"));  // shown in capitals
    edit->SetCharCase(widgets::DbEdit::CharCase::kNormal);
    QCOMPARE(edit->text(), QStringLiteral("Тверь"));
  }

  void editLooksAsTheCallbookSetsIt() {
    auto* edit = win_->Edit();
    edit->SetTabStop(false);
    QVERIFY(!edit->TabStop());
    QCOMPARE(edit->focusPolicy(), Qt::ClickFocus);
    edit->SetTabStop(true);
    QVERIFY(edit->TabStop());
    edit->SetSystemColour(widgets::DbEdit::kButtonFaceColour);
    QCOMPARE(edit->Background(), QApplication::palette(edit).color(QPalette::Button));
    edit->SetSystemColour(widgets::DbEdit::kWindowColour);
    QCOMPARE(edit->Background(), QApplication::palette(edit).color(QPalette::Base));
    QCOMPARE(edit->toolTip(), QStringLiteral("Имя"));
  }

  void leavingTheEditStoresItsText() {
    auto* edit = win_->Edit();
    win_->activateWindow();
    edit->setFocus();
    ds().Edit();
    edit->selectAll();
    Type(edit, QStringLiteral("left"));
    QCOMPARE(ds().FieldByName("NAME")->AsString(), std::string("NAME00001"));
    win_->Grid()->View()->setFocus();
    QApplication::processEvents();
    QCOMPARE(ds().FieldByName("NAME")->AsString(), std::string("LEFT"));
    ds().Cancel();
  }

  // ------------------------------------------------------------------ grid

  void gridShowsTheRowsThatFit() {
    auto* grid = win_->Grid();
    QVERIFY(grid->VisibleRows() > 3);
    QCOMPARE(grid->RowCount(), grid->VisibleRows());
    QCOMPARE(grid->View()->model()->rowCount(), grid->RowCount());
    QCOMPARE(grid->View()->model()->columnCount(), 4);
    QCOMPARE(ds().HeldBuffers(), grid->VisibleRows());
    QCOMPARE(grid->CellText(0, 0), QStringLiteral("1"));
    QCOMPARE(grid->CellText(2, 1), QStringLiteral("NAME00003"));
    QCOMPARE(grid->CellText(0, 2), QStringLiteral("Тверь"));
    QCOMPARE(grid->ColumnTitle(1), QStringLiteral("Имя"));
    QCOMPARE(grid->ColumnTitle(3), QStringLiteral("AMOUNT"));
    QCOMPARE(grid->View()->model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Город"));
    QCOMPARE(grid->View()->currentIndex().row(), 0);
    // Without columns of its own the grid shows every field.
    grid->SetColumns({});
    QCOMPARE(grid->View()->model()->columnCount(), 8);
    QCOMPARE(grid->CellText(0, 7), QStringLiteral("(memo)"));
  }

  void gridReportsTitleClicksAndKeys() {
    auto* grid = win_->Grid();
    QSignalSpy titles(grid, &widgets::DbGrid::titleClicked);
    QSignalSpy keys(grid, &widgets::DbGrid::keyDown);
    QHeaderView* header = grid->View()->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    QCOMPARE(titles.count(), 1);
    QCOMPARE(titles.at(0).at(0).toInt(), 2);
    QTest::keyClick(grid->View(), Qt::Key_Escape);
    QCOMPARE(keys.count(), 1);
    QCOMPARE(keys.at(0).at(0).toInt(), int(Qt::Key_Escape));
  }

  void gridMovesWithTheDataSetAndTheDataSetWithIt() {
    auto* grid = win_->Grid();
    QTableView* view = grid->View();
    const int rows = grid->VisibleRows();
    ds().ResetReadCount();
    for (int i = 0; i < 30; ++i) QTest::keyClick(view, Qt::Key_Down);
    QCOMPARE(Id(), 31);
    QCOMPARE(grid->CurrentRow(), rows - 1);
    QCOMPARE(view->currentIndex().row(), rows - 1);
    QCOMPARE(grid->CellText(rows - 1, 1), QStringLiteral("NAME00031"));
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(Id(), 5000);
    QTest::keyClick(view, Qt::Key_PageUp);
    QCOMPARE(Id(), 5000 - rows);
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(Id(), 1);
    QVERIFY2(ds().ReadCount() < 400, "the grid reads only the rows it shows");
    QCOMPARE(ds().HeldBuffers(), rows);

    ds().MoveBy(3);
    QCOMPARE(view->currentIndex().row(), 3);
    const QRect cell = view->visualRect(view->model()->index(1, 1));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(Id(), 2);
    // The scroll bar stands for record numbers of a sequenced dataset.
    QCOMPARE(grid->ScrollBar()->maximum(), 5000);
    QCOMPARE(grid->ScrollBar()->value(), 2);
    grid->ScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    QCOMPARE(Id(), 5000);
    grid->ScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(Id(), 4999);
    QCOMPARE(grid->ScrollBar()->value(), 4999);
  }

  void gridFollowsItsHeight() {
    auto* grid = win_->Grid();
    const int before = grid->VisibleRows();
    win_->resize(640, 800);
    QTRY_VERIFY(grid->VisibleRows() > before);
    QCOMPARE(ds().HeldBuffers(), grid->VisibleRows());
    QCOMPARE(grid->RowCount(), grid->VisibleRows());
    ds().Last();
    win_->resize(640, 300);
    QTRY_VERIFY(grid->VisibleRows() < before);
    QCOMPARE(Id(), 5000);
    QCOMPARE(grid->CurrentRow(), grid->VisibleRows() - 1);
  }

  void gridDeletesOnlyAfterTheQuestion() {
    auto* grid = win_->Grid();
    QStringList asked;
    bool answer = false;
    grid->SetConfirmation([&](const QString& q) {
      asked << q;
      return answer;
    });
    ds().MoveBy(4);
    QTest::keyClick(grid->View(), Qt::Key_Delete, Qt::ControlModifier);
    QCOMPARE(asked, QStringList{QStringLiteral("Delete record?")});
    QVERIFY(!ds().IsDeleted(5));
    answer = true;
    QTest::keyClick(grid->View(), Qt::Key_Delete, Qt::ControlModifier);
    QVERIFY(ds().IsDeleted(5));
    QCOMPARE(Id(), 6);
    QCOMPARE(grid->CellText(grid->CurrentRow(), 1), QStringLiteral("NAME00006"));
    // Still no in-place editing.
    QCOMPARE(grid->View()->editTriggers(), QAbstractItemView::NoEditTriggers);
  }

  // ------------------------------------------------------------- navigator

  void navigatorShowsButtonsByMaskWithHints() {
    DbNavigator* nav = win_->Navigator();
    QCOMPARE(nav->VisibleButtons(), DbNavigator::kAllButtons);
    nav->SetVisibleButtons(384);
    for (int i = 0; i < DbNavigator::kButtonCount; ++i)
      QCOMPARE(nav->ButtonAt(i)->isHidden(), i != DbNavigator::kPost && i != DbNavigator::kCancel);
    nav->SetVisibleButtons(511);
    for (int i = 0; i < DbNavigator::kButtonCount; ++i)
      QCOMPARE(nav->ButtonAt(i)->isHidden(), i == DbNavigator::kRefresh);
    QCOMPARE(nav->ButtonAt(DbNavigator::kFirst)->toolTip(), QStringLiteral("Первая запись"));
    QCOMPARE(nav->ButtonAt(DbNavigator::kRefresh)->toolTip(), QStringLiteral("Вернуться к прежней записи"));
    nav->SetShowHint(false);
    QCOMPARE(nav->ButtonAt(DbNavigator::kFirst)->toolTip(), QString());
  }

  void navigatorButtonsFollowTheDataSet() {
    DbNavigator* nav = win_->Navigator();
    auto enabled = [&](int b) { return nav->ButtonAt(b)->isEnabled(); };
    QVERIFY(!enabled(DbNavigator::kFirst) && !enabled(DbNavigator::kPrior));
    QVERIFY(enabled(DbNavigator::kNext) && enabled(DbNavigator::kLast));
    QVERIFY(enabled(DbNavigator::kEdit) && !enabled(DbNavigator::kPost) && !enabled(DbNavigator::kCancel));
    ds().Last();
    QVERIFY(enabled(DbNavigator::kFirst) && !enabled(DbNavigator::kNext));
    ds().Edit();
    QVERIFY(!enabled(DbNavigator::kEdit) && enabled(DbNavigator::kPost) && enabled(DbNavigator::kCancel));
    ds().Cancel();
    ds().Close();
    for (int i = 0; i < DbNavigator::kButtonCount; ++i) QVERIFY(!enabled(i));
  }

  void navigatorActsThenNotifies() {
    DbNavigator* nav = win_->Navigator();
    QList<QPair<int, int>> seen;  // button, record ID at the notification
    QList<dbkit::DataSetState> states;
    connect(nav, &DbNavigator::clicked, this, [&](int button) {
      seen << qMakePair(button, ds().IsEmpty() || ds().FieldByName("ID")->IsNull() ? 0 : Id());
      states << ds().State();
    });
    nav->BtnClick(DbNavigator::kLast);
    nav->BtnClick(DbNavigator::kFirst);
    nav->BtnClick(DbNavigator::kNext);
    QCOMPARE(seen, (QList<QPair<int, int>>{{3, 5000}, {0, 1}, {2, 2}}));

    nav->BtnClick(DbNavigator::kInsert);
    QCOMPARE(states.last(), dbkit::DataSetState::kInsert);
    win_->Edit()->selectAll();
    Type(win_->Edit(), QStringLiteral("new card"));
    nav->BtnClick(DbNavigator::kPost);
    QCOMPARE(states.last(), dbkit::DataSetState::kBrowse);
    QCOMPARE(ds().PhysicalCount(), 5001);
    QCOMPARE(ds().StoredName(5001), std::string("NEW CARD"));

    nav->BtnClick(DbNavigator::kEdit);
    QCOMPARE(states.last(), dbkit::DataSetState::kEdit);
    nav->BtnClick(DbNavigator::kCancel);
    QCOMPARE(states.last(), dbkit::DataSetState::kBrowse);
    QCOMPARE(seen.size(), 7);
    QCOMPARE(seen.at(3).first, int(DbNavigator::kInsert));
    QCOMPARE(seen.at(6).first, int(DbNavigator::kCancel));
  }

  // A dataset that cannot be changed: the change buttons are off, and a
  // delete pressed all the same says so without asking first.
  void navigatorAsksNothingForADeleteThatCannotBeMade() {
    DbNavigator* nav = win_->Navigator();
    QSignalSpy updates(nav, &DbNavigator::buttonsUpdated);
    ds().Close();
    ds().SetReadOnly(true);
    ds().Open();
    QVERIFY(updates.count() > 0);
    for (int b : {DbNavigator::kInsert, DbNavigator::kDelete, DbNavigator::kEdit}) QVERIFY(!nav->ButtonAt(b)->isEnabled());
    int asked = 0;
    nav->SetConfirmation([&](const QString&) { return ++asked > 0; });
    QSignalSpy clicks(nav, &DbNavigator::clicked);
    QVERIFY_THROWS_EXCEPTION(dbkit::DatabaseError, nav->BtnClick(DbNavigator::kDelete));
    QCOMPARE(asked, 0);
    QCOMPARE(clicks.count(), 0);
    QVERIFY(!ds().IsDeleted(1));
    QVERIFY_THROWS_EXCEPTION(dbkit::DatabaseError, ds().Delete());
    QVERIFY(!ds().IsDeleted(1));
  }

  void navigatorDeletesOnlyWhenTheQuestionIsAnsweredYes() {
    DbNavigator* nav = win_->Navigator();
    QSignalSpy clicks(nav, &DbNavigator::clicked);
    bool answer = false;
    int asked = 0;
    nav->SetConfirmation([&](const QString& q) {
      ++asked;
      return q == QStringLiteral("Delete record?") && answer;
    });
    ds().MoveBy(9);
    nav->BtnClick(DbNavigator::kDelete);  // declined: still notifies
    QCOMPARE(asked, 1);
    QVERIFY(!ds().IsDeleted(10));
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(clicks.at(0).at(0).toInt(), int(DbNavigator::kDelete));
    answer = true;
    nav->BtnClick(DbNavigator::kDelete);
    QVERIFY(ds().IsDeleted(10));
    QCOMPARE(Id(), 11);
    QCOMPARE(clicks.count(), 2);
    nav->SetConfirmDelete(false);
    nav->BtnClick(DbNavigator::kDelete);
    QCOMPARE(asked, 2);
    QVERIFY(ds().IsDeleted(11));
  }

  void aRefusedActionRaisesOrIsReportedAndDoesNotNotify() {
    DbNavigator* nav = win_->Navigator();
    QSignalSpy clicks(nav, &DbNavigator::clicked);
    ds().SetLockedByOther(1);
    bool raised = false;
    try {
      nav->BtnClick(DbNavigator::kEdit);
    } catch (const dbkit::DatabaseError& e) {
      raised = QString::fromLatin1(e.what()) == QStringLiteral("Record is locked by another user");
    }
    QVERIFY(raised);
    QCOMPARE(clicks.count(), 0);
    QCOMPARE(ds().State(), dbkit::DataSetState::kBrowse);
    // A real click reports the failure instead.
    QTest::mouseClick(nav->ButtonAt(DbNavigator::kEdit), Qt::LeftButton);
    QCOMPARE(errors_, QStringList{QStringLiteral("Record is locked by another user")});
    QCOMPARE(clicks.count(), 0);
    QTest::mouseClick(nav->ButtonAt(DbNavigator::kNext), Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(Id(), 2);
    nav->BtnClick(42);  // not a button
    QCOMPARE(clicks.count(), 1);
  }

  // ----------------------------------------------------------------- gauge

  void gaugeKeepsItsProgressWithinRange() {
    widgets::Gauge* gauge = win_->Progress();
    gauge->SetProgress(36);
    QCOMPARE(gauge->Progress(), 36);
    gauge->SetProgress(150);
    QCOMPARE(gauge->Progress(), 100);
    gauge->SetProgress(-5);
    QCOMPARE(gauge->Progress(), 0);
    gauge->SetProgress(50);
    gauge->SetForeColor(Qt::blue);
    const QImage image = gauge->grab().toImage();
    QCOMPARE(image.pixelColor(3, image.height() / 2), QColor(Qt::blue));
    QVERIFY(image.pixelColor(image.width() - 3, image.height() / 2) != QColor(Qt::blue));
  }

  // ---------------------------------------------------------- all together

  void demoWindowControlsWorkTogether() {
    DbNavigator* nav = win_->Navigator();
    auto* grid = win_->Grid();
    auto* edit = win_->Edit();
    nav->BtnClick(DbNavigator::kNext);
    QCOMPARE(grid->CurrentRow(), 1);
    QCOMPARE(edit->text(), QStringLiteral("NAME00002"));
    grid->SelectRow(3);
    QCOMPARE(edit->text(), QStringLiteral("NAME00004"));
    nav->BtnClick(DbNavigator::kEdit);
    edit->selectAll();
    Type(edit, QStringLiteral("ua3abc"));
    nav->BtnClick(DbNavigator::kPost);
    QCOMPARE(grid->CellText(grid->CurrentRow(), 1), QStringLiteral("UA3ABC"));
    QCOMPARE(ds().StoredName(4), std::string("UA3ABC"));
    nav->BtnClick(DbNavigator::kLast);
    QCOMPARE(edit->text(), QStringLiteral("NAME05000"));
    QCOMPARE(grid->CellText(grid->CurrentRow(), 0), QStringLiteral("5000"));
    QVERIFY(ds().ReadCount() < 500);
  }
};

QTEST_MAIN(WidgetsTest)
#include "widgets_test.moc"
