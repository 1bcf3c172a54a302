// CallbookController: the callbook program's own logic, free of any
// windowing toolkit. It owns the one dataset, TablePYX, on the callbook
// table "Pyx.DBF" and its compound index "PYX.CDX" in the current
// directory, and each of its operations is the handler of one event of the
// main window, under that handler's name. It acts on the window only
// through CallbookView and on the data only through TablePYX (the index
// file's checks and builds included: nothing here reads an engine or index
// object directly).
//
// Modes. What the window shows in each mode (the controller keeps the mode
// it last put the window in, so that it can put it back):
//   card view    MenuRed, MenuFind, MenuView on; ViewTablica on, ViewStandart off
//   search input MenuRed, MenuFind, MenuView off; EditVvod shown
//   table view   MenuRed, MenuFind off; MenuView on; ViewTablica off, ViewStandart on
//   editing      MenuRed, MenuFind, MenuView off; card edits writable;
//                navigator shows post and cancel
//
// Errors. When an operation fails part-way (an index that cannot be built
// on a full disk, a tag that is missing, a card another program holds) the
// window is put back into one consistent mode — the one it was in, or
// editing while the dataset still edits a card — with the wait panel and
// gauge hidden, and the failure is then passed on for the window to show,
// once. The index is never left half-built: builds go into a new file that
// replaces "PYX.CDX" only when it is complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/callbook_tables.h"
#include "app/callbook_view.h"

namespace tessera {
class TTesseraDataSet;
struct TIndexTagDef;
}

namespace pyx {

class CallbookController {
 public:
  enum class Mode { kNotStarted, kCardView, kSearch, kTable, kEditing };

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
  Mode CurrentMode() const { return mode_; }
  // What the status line says now.
  const std::string& Status() const { return status_; }

  // ----- window -----
  // First activation: find the table (asking for its folder when it is
  // missing), make sure "PYX.CDX" holds the eleven tags and agrees with
  // the table (building what is missing, saying what was done in the
  // status line), open, show QZ6ZZZ in callsign order. Later activations
  // do nothing.
  void FormActivate();
  // The window is asked to close (its close button, F10, the session
  // ending). While a card is being edited or added the user is asked
  // whether to keep it: Да posts it, Нет drops it, Отмена goes back to the
  // card. Answers whether the window may close; a post that fails raises
  // and the window stays. With `may_ask` false (a session ending that
  // allows no questions) the card is posted without asking.
  bool FormCloseQuery(bool may_ask = true);
  // FormCloseQuery would ask now: a card is being edited or added.
  bool CloseAsks() const;

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
  class ModeGuard;
  // What the start-up or a rebuild found wrong with "PYX.CDX", and so what
  // it builds.
  struct IndexPlan;

  void EnterSearch(const SearchChoice& choice);
  void LeaveSearch();
  void ShowWaitAndGauge();
  // Puts the whole window into `mode`, whatever it showed before.
  void ApplyMode(Mode mode);
  // After a failure: the window in `before` (or editing while the dataset
  // edits), the wait panel and gauge down. Never raises.
  void RestoreWindow(Mode before);
  // Finds "Pyx.DBF", asking for its folder while it is missing; false when
  // the user gave up (the window is then closing).
  bool FindTable();
  // Opens TablePYX on the table alone (no index file).
  void OpenTableAlone();
  // Opens TablePYX with "PYX.CDX" when it is there and holds the eleven
  // tags, else on the table alone; shows QZ6ZZZ when the index is open.
  // Answers whether the index is open.
  bool OpenWithIndexIfUsable();
  IndexPlan PlanIndex();
  // Builds `tags` into a new index file (a copy of the current one when
  // `keep_current`) and puts it in place of "PYX.CDX", with the wait panel
  // and the gauge.
  void BuildIndex(const std::vector<tessera::TIndexTagDef>& tags, bool keep_current);
  void ShowHomeCard();
  void SetCardEditsWritable(bool writable);
  void SetEditGroups(bool enabled);
  // The status line: the index's note, then the table's.
  void SetStatus(std::string index_note);
  // TablePYX's status reports during index builds: lets the window repaint
  // now and then, without slowing the build by asking on every record.
  void OnStatus(int32_t stat1, int32_t stat2, int32_t stat3);

  std::unique_ptr<tessera::TTesseraDataSet> table_;
  CallbookView* view_ = nullptr;
  bool started_ = false;
  Mode mode_ = Mode::kNotStarted;
  std::string status_;
  std::string index_note_;  // the index's part of the status line
  uint32_t reports_ = 0;
  std::chrono::milliseconds repaint_interval_{40};
  std::chrono::steady_clock::time_point last_repaint_;
};

}  // namespace pyx
