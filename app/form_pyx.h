// TFormPYX: the callbook's one window. It holds the card view (four panels
// of card edits), the full-window grid of the table view, the search
// input, the record navigator, the gauge and wait panel of index builds,
// and the menu bar. It adds no logic: every event goes to the controller
// operation of the same name, and the controller acts back through the
// CallbookView operations, by control name.
//
// Layout. Positions and sizes are fixed in pixels at 96 dpi, relative to
// each control's parent; Qt's device-independent pixels scale them by the
// screen's device-pixel ratio. "MS Sans Serif" maps to DejaVu Sans, which
// holds the Cyrillic letters; font heights are kept in pixels.
//
// Names. Each control's Qt object name is its name in the form (DBEditCall,
// EditVvod, DBGridPYX, ...); each menu item is a QAction of that name, and
// each submenu both a QMenu and its menu action of that name. Card edits,
// the search input and the navigator's buttons carry their hints as their
// accessible names, so a screen reader can find them.
//
// Errors. A failure of a controller operation is reported through the
// controls' standard error report (widgets::ReportError) at the event
// that caused it; the controller has put the window back into a
// consistent mode by then.
//
// Closing. The close button, F10 (in every mode) and the desktop session
// ending all go through closeEvent, which lets the controller ask about a
// card being edited.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/callbook_view.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace dbkit {
class DataSource;
}
namespace widgets {
class DbEdit;
class DbGrid;
class DbNavigator;
class Gauge;
}  // namespace widgets

namespace pyx {

class CallbookController;

class TFormPYX : public QMainWindow, public CallbookView {
  Q_OBJECT

 public:
  // The window binds its data-aware controls to the controller's dataset
  // and itself to the controller as its view. The controller must outlive
  // the window.
  explicit TFormPYX(CallbookController& controller, QWidget* parent = nullptr);
  ~TFormPYX() override;

  // Size of the client area below the menu bar, at 96 dpi.
  static constexpr int kClientWidth = 690;
  static constexpr int kClientHeight = 434;
  // The family "MS Sans Serif" stands for.
  static QString SansFamily();

  dbkit::DataSource& DataSourcePYX() { return *source_; }
  widgets::DbNavigator* Navigator() const { return navigator_; }
  widgets::DbGrid* Grid() const { return grid_; }

  // ----- CallbookView -----
  void Show(std::string_view control) override;
  void Hide(std::string_view control) override;
  void BringToFront(std::string_view control) override;
  void SendToBack(std::string_view control) override;
  void ProcessMessages() override;
  void SetText(std::string_view control, std::string_view text) override;
  void SetHint(std::string_view control, std::string_view hint) override;
  void SetFocus(std::string_view control) override;
  void SetMenuEnabled(std::string_view item, bool enabled) override;
  void SetReadOnly(std::string_view edit, bool read_only) override;
  void SetTabStop(std::string_view edit, bool tab_stop) override;
  void SetColour(std::string_view edit, uint32_t colour) override;
  void SetNavigatorButtons(uint32_t mask) override;
  void SetNavigatorWidth(int width) override;
  void PressNavigatorButton(int button) override;
  void SetGaugeProgress(int progress) override;
  void RepaintWait() override;
  void Close() override;
  int Ask(std::string_view question, const std::vector<std::string_view>& buttons) override;
  void ShowMessage(std::string_view text) override;
  std::string ChooseFolder(std::string_view title) override;

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Closing while a card is being edited or added asks first (the
  // controller's FormCloseQuery), just after the request; the window stays
  // when the user goes back to the card or the card cannot be posted.
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void BuildMenus();
  QWidget* Control(std::string_view name) const;
  widgets::DbEdit* CardEdit(std::string_view name) const;
  // Runs a controller operation at an event boundary, reporting a failure.
  void Run(const std::function<void()>& operation);
  // A menu item that runs `handler` when chosen and its menus are enabled.
  QAction* AddItem(QMenu* menu, const char* name, const QString& caption, int key,
                   void (CallbookController::*handler)());
  void StartUp();
  // The items of "Редактирование" that change cards are enabled as the
  // navigator's buttons for the same actions are (a read-only callbook, an
  // empty one).
  void FollowNavigator();
  // Asks the controller whether the window may close (the question when a
  // card is being edited); a close request that came while the answer was
  // being handled is asked again.
  bool MayClose(bool may_ask);

  CallbookController& controller_;
  std::unique_ptr<dbkit::DataSource> source_;
  QWidget* client_ = nullptr;
  widgets::DbGrid* grid_ = nullptr;
  widgets::DbNavigator* navigator_ = nullptr;
  widgets::Gauge* gauge_ = nullptr;
  QLabel* wait_ = nullptr;
  QLineEdit* edit_vvod_ = nullptr;
  QPushButton* button_enter_ = nullptr;
  bool asking_ = false;          // a close request is being asked about
  bool close_again_ = false;     // another came once the question had gone
  bool close_answered_ = false;  // the question allowed this close
};

}  // namespace pyx
