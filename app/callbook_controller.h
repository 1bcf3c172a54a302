// CallbookController: the callbook program's own logic, free of any
// windowing toolkit. It owns the one dataset, TablePYX, on the callbook
// table "Pyx.DBF" and its compound index "PYX.CDX" in the current
// directory, and each of its operations is the handler of one event of the
// main window, under that handler's name. It acts on the window only
// through CallbookView and on the data only through TablePYX.
//
// Modes. The controller keeps no mode of its own: the mode is what the
// view shows (EditVvod or DBGridPYX visible, card edits writable) and
// which menu groups are enabled:
//   card view    MenuRed, MenuFind, MenuView on; ViewTablica on, ViewStandart off
//   search input MenuRed, MenuFind, MenuView off
//   table view   MenuRed, MenuFind off; MenuView on; ViewTablica off, ViewStandart on
//   editing      MenuRed, MenuFind, MenuView off; navigator shows post and cancel
//
// Errors. Nothing is caught here: a failure of the dataset stops the
// operation where it happened and reaches the window's error report.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "app/callbook_tables.h"
#include "app/callbook_view.h"

namespace tessera {
class TTesseraDataSet;
}

namespace pyx {

class CallbookController {
 public:
  // Makes TablePYX with its fixed properties: TableName "Pyx.DBF", shared,
  // default lock protocol, texts translated between OEM and ANSI, deleted
  // cards hidden, no automatic flush, user id 0. The dataset stays closed
  // until FormActivate.
  CallbookController();
  ~CallbookController();
  CallbookController(const CallbookController&) = delete;
  CallbookController& operator=(const CallbookController&) = delete;

  // The view is not owned; it must outlive every call that follows.
  void SetView(CallbookView* view) { view_ = view; }
  tessera::TTesseraDataSet& TablePYX() { return *table_; }
  // How long an index build goes at most between two repaints (40 ms
  // unless told otherwise).
  void SetRepaintInterval(std::chrono::milliseconds interval) { repaint_interval_ = interval; }
  // Set once the start-up has run (also when it ended for want of the
  // table).
  bool Started() const { return started_; }

  // ----- window -----
  // First activation: check the table, build the index when missing or
  // rebuild it when it fails the quick check (saying why in the status
  // line, "StatusLine"), open, show QZ6ZZZ in callsign order. Later
  // activations do nothing.
  void FormActivate();

  // ----- menu "Редактирование" -----
  void MenuRedReindClick();
  void MenuRedExitClick();
  void MenuRedNewClick();
  void MenuRedEditClick();
  void MenuRedDelClick();

  // ----- menu "Поиск": enter the search input mode -----
  void MenuFindCallClick() { EnterSearch(kFindCall); }
  void MenuFindFIOFClick() { EnterSearch(kFindFIOF); }
  void MenuFindFIOIClick() { EnterSearch(kFindFIOI); }
  void MenuFindFIOOClick() { EnterSearch(kFindFIOO); }
  void MenuFindIndClick() { EnterSearch(kFindInd); }
  void MenuFindRegClick() { EnterSearch(kFindReg); }
  void MenuFindGorClick() { EnterSearch(kFindGor); }
  void MenuFindTelClick() { EnterSearch(kFindTel); }
  void MenuFindStrClick() { EnterSearch(kFindStr); }
  void MenuFindEmailClick() { EnterSearch(kFindEmail); }
  void MenuFindURLClick() { EnterSearch(kFindURL); }

  // ----- search input -----
  // Enter: search for `text` (the search input's text, UTF-8) in the
  // master tag and go back to the card view.
  void ButtonEnterClick(std::string_view text);
  // A key in the search input (Windows virtual-key code): Escape leaves
  // the search input without searching; other keys are the input's.
  void EditVvodKeyDown(int key);

  // ----- menu "Вид" and the grid -----
  void ViewTablicaClick();
  void ViewStandartClick();
  // Escape in the grid goes back to the card view; other keys are the
  // grid's.
  void DBGridPYXKeyDown(int key);
  // A click on the title of the column showing `field` (compared exactly).
  void DBGridPYXTitleClick(std::string_view field);

  // ----- navigator -----
  // After the navigator performed button `button`'s action.
  void DBNavigatorClick(int button);

 private:
  void EnterSearch(const SearchChoice& choice);
  void LeaveSearch();
  void ShowWaitAndGauge();
  // The quick check of "PYX.CDX" against the table: empty when it passes,
  // else the status text saying why it is rebuilt.
  std::string_view QuickCheckIndex();
  void BuildIndexTags();
  void ShowHomeCard();
  void SetCardEditsWritable(bool writable);
  void SetEditGroups(bool enabled);
  // TablePYX's status reports during index builds: lets the window repaint
  // now and then, without slowing the build by asking on every record.
  void OnStatus(int32_t stat1, int32_t stat2, int32_t stat3);

  std::unique_ptr<tessera::TTesseraDataSet> table_;
  CallbookView* view_ = nullptr;
  bool started_ = false;
  uint32_t reports_ = 0;
  std::chrono::milliseconds repaint_interval_{40};
  std::chrono::steady_clock::time_point last_repaint_;
};

}  // namespace pyx
