// DbNavigator: the row of ten buttons that move through and change a data
// source's dataset: first, prior, next, last, insert, delete, edit, post,
// cancel, refresh. Buttons are enabled as the dataset allows; a bit mask
// chooses which are shown. BtnClick performs a button's action exactly as a
// click does and then emits clicked() with the button's number (delete only
// after a confirmation question; a declined delete still notifies; a failed
// action does not).
#pragma once

#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>

#include "widgets/ui_hooks.h"

class QToolButton;

namespace dbkit {
class DataSource;
}

namespace widgets {

class DbNavigator : public QWidget {
  Q_OBJECT

 public:
  enum Button { kFirst = 0, kPrior, kNext, kLast, kInsert, kDelete, kEdit, kPost, kCancel, kRefresh };
  static constexpr int kButtonCount = 10;
  static constexpr uint32_t kAllButtons = (1u << kButtonCount) - 1;

  explicit DbNavigator(QWidget* parent = nullptr);
  ~DbNavigator() override;

  void SetDataSource(dbkit::DataSource* source);
  dbkit::DataSource* DataSource() const;

  // Bit n shows button n.
  void SetVisibleButtons(uint32_t mask);
  uint32_t VisibleButtons() const { return visible_; }
  // One hint per button in button order; entries past the tenth are kept
  // but unused.
  void SetHints(const QStringList& hints);
  const QStringList& Hints() const { return hints_; }
  void SetShowHint(bool value);
  // Whether delete asks first (it does unless told otherwise), and who
  // answers.
  void SetConfirmDelete(bool value) { confirm_delete_ = value; }
  void SetConfirmation(ConfirmFunction confirm) { confirm_ = std::move(confirm); }

  // Performs the button's action on the dataset as a click would, then
  // emits clicked(button). A failure of the action is raised (and clicked
  // is not emitted); a number outside 0..9 does nothing.
  void BtnClick(int button);

  QToolButton* ButtonAt(int button) const { return buttons_[static_cast<size_t>(button)]; }

 signals:
  void clicked(int button);
  // The buttons' enabled states were worked out afresh (the dataset opened,
  // moved, changed state); a window's menu items can follow them.
  void buttonsUpdated();

 protected:
  void changeEvent(QEvent* event) override;

 private:
  class Link;
  friend class Link;

  void OnPressed(int button);
  void UpdateButtons();
  void ApplyHints();

  std::unique_ptr<Link> link_;
  std::array<QToolButton*, kButtonCount> buttons_{};
  uint32_t visible_ = kAllButtons;
  QStringList hints_;
  bool show_hint_ = true;
  bool confirm_delete_ = true;
  ConfirmFunction confirm_;
};

}  // namespace widgets
