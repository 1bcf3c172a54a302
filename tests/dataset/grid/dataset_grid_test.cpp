// The callbook's controls over a real table: a grid and an edit bound to a
// TTesseraDataSet on a pyx-sample callbook in callsign order, offscreen.
// The grid shows Cyrillic cards, scrolls through the tag without loading
// the table, follows key searches, and an edit typed in the window stores
// the card in the table's code page.
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "dataset/tessera_data_set.h"
#include "dbkit/data_source.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"
#include "widgets/db_edit.h"
#include "widgets/db_grid.h"
#include "widgets/ui_hooks.h"

namespace {

constexpr int kCards = 20000;

QString FromAnsi(const std::string& ansi) { return QString::fromStdString(plat::AnsiToUtf8(ansi)); }

}  // namespace

class DataSetGridTest : public QObject {
  Q_OBJECT

 private:
  tessera::EngineScope engine_;
  testing_support::TempDir dir_;
  std::unique_ptr<tessera::TTesseraDataSet> ds_;
  std::unique_ptr<dbkit::DataSource> source_;
  std::unique_ptr<QWidget> win_;
  widgets::DbEdit* edit_ = nullptr;
  widgets::DbGrid* grid_ = nullptr;
  QStringList errors_;

  std::string Call() { return ds_->FieldByName("CALL_")->AsString(); }

 private slots:
  void initTestCase() {
    pyx_sample::WriteSampleTable(dir_.path(), kCards, 11, true);
    tessera::KTO_dBHandler t(dir_.path() + "/Pyx.DBF", false, true);
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }

  void init() {
    errors_.clear();
    widgets::SetErrorReporter([this](QWidget*, const QString& message) { errors_ << message; });
    ds_ = std::make_unique<tessera::TTesseraDataSet>();
    ds_->SetDatabaseName(dir_.path());
    ds_->SetTableName("Pyx.DBF");
    ds_->IndexFiles().Add("PYX.CDX");
    source_ = std::make_unique<dbkit::DataSource>(ds_.get());
    win_ = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(win_.get());
    edit_ = new widgets::DbEdit(win_.get());
    edit_->SetDataSource(source_.get());
    edit_->SetDataField("CALL_");
    edit_->SetCharCase(widgets::DbEdit::CharCase::kUpper);
    grid_ = new widgets::DbGrid(win_.get());
    grid_->SetDataSource(source_.get());
    grid_->SetColumns({{"CALL_", QStringLiteral("Позывной"), -1},
                       {"FAM_", QStringLiteral("Фамилия"), -1},
                       {"GOR_", QStringLiteral("Город"), -1}});
    layout->addWidget(edit_);
    layout->addWidget(grid_, 1);
    win_->resize(700, 500);
    win_->show();
    QVERIFY(QTest::qWaitForWindowExposed(win_.get()));
    ds_->Open();
    ds_->SetIndexName("CALL");
  }

  void cleanup() {
    win_.reset();
    source_.reset();
    ds_.reset();
    widgets::SetErrorReporter(nullptr);
  }

  void gridShowsCardsInCallsignOrder() {
    const int rows = grid_->VisibleRows();
    QVERIFY(rows > 5);
    QCOMPARE(grid_->RowCount(), rows);
    QString previous;
    for (int r = 0; r < rows; ++r) {
      const QString call = grid_->CellText(r, 0);
      QVERIFY2(previous <= call, qPrintable(previous + " > " + call));
      previous = call;
    }
    QCOMPARE(grid_->CellText(0, 1), FromAnsi(ds_->FieldByName("FAM_")->AsString()));
    QCOMPARE(edit_->text(), FromAnsi(Call()));
    // Callsign order: the scroll bar does not pretend record numbers.
    QVERIFY(!ds_->IsSequenced());
  }

  void gridScrollsThroughTheTagPageByPage() {
    QTableView* view = grid_->View();
    const int rows = grid_->VisibleRows();
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    const int32_t last = ds_->RecNo();
    QCOMPARE(grid_->CurrentRow(), rows - 1);
    int pages = 0;
    while (!ds_->Bof() && pages < 2 * kCards) {
      QTest::keyClick(view, Qt::Key_PageUp);
      ++pages;
    }
    QVERIFY(pages >= kCards / rows);
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    const QString first = grid_->CellText(0, 0);
    QTest::keyClick(view, Qt::Key_Down);
    QVERIFY(grid_->CellText(1, 0) >= first);
    QVERIFY(ds_->RecNo() != last);
    QVERIFY(errors_.isEmpty());
  }

  void gridFollowsASearch() {
    ds_->SeekValues({"QZ6ZZZ"});
    QCOMPARE(edit_->text(), QStringLiteral("QZ6ZZZ"));
    QCOMPARE(grid_->CellText(grid_->CurrentRow(), 0), QStringLiteral("QZ6ZZZ"));
    ds_->SetIndexName("FIO");
    QCOMPARE(edit_->text(), QStringLiteral("QZ6ZZZ"));
    QCOMPARE(grid_->CellText(grid_->CurrentRow(), 0), QStringLiteral("QZ6ZZZ"));
  }

  void typedCardIsStoredInTheTablesCodePage() {
    ds_->SeekValues({"QZ6ZZZ"});
    const int32_t recno = ds_->RecNo();
    edit_->setFocus();
    ds_->Edit();
    edit_->selectAll();
    QTest::keyClicks(edit_, QStringLiteral("ra9new"));
    ds_->Post();
    QCOMPARE(edit_->text(), QStringLiteral("RA9NEW"));
    ds_->Edit();
    ds_->FieldByName("FAM_")->SetAsString(plat::Utf8ToAnsi("Щукин"));
    ds_->Post();
    QCOMPARE(grid_->CellText(grid_->CurrentRow(), 1), QStringLiteral("Щукин"));
    tessera::KTO_dBHandler t(dir_.path() + "/Pyx.DBF", true, false);
    t.GotoRecord(recno);
    QCOMPARE(t.GetRaw("CALL_"), std::string("RA9NEW    "));
    QCOMPARE(t.GetRaw("FAM_").substr(0, 5), plat::Utf8ToOem("Щукин"));
    // Put back for the other cases.
    ds_->Edit();
    ds_->FieldByName("CALL_")->SetAsString("QZ6ZZZ");
    ds_->Post();
  }
};

QTEST_MAIN(DataSetGridTest)
#include "dataset_grid_test.moc"
