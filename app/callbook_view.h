// CallbookView: what the callbook controller may do to its window, and
// nothing more. The controller knows the window's controls only by name
// ("DBEditCall", "EditVvod", "MenuRed", ...); texts are UTF-8. A view that
// is asked about a name it does not have ignores the request, so a
// recording fake can stand in for the real window in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pyx {

class CallbookView {
 public:
  virtual ~CallbookView() = default;

  // Visibility and stacking of a control among its siblings.
  virtual void Show(std::string_view control) = 0;
  virtual void Hide(std::string_view control) = 0;
  virtual void BringToFront(std::string_view control) = 0;
  virtual void SendToBack(std::string_view control) = 0;
  // Lets the toolkit handle the events waiting for it (paint events at
  // least), so the window does not look frozen during a long operation.
  virtual void ProcessMessages() = 0;

  // The text of a label or an edit (empty text clears it).
  virtual void SetText(std::string_view control, std::string_view text) = 0;
  // The hint of an edit (its tool tip and accessible name).
  virtual void SetHint(std::string_view control, std::string_view hint) = 0;
  virtual void SetFocus(std::string_view control) = 0;
  // Enables or disables a menu item or a whole submenu; the items of a
  // disabled submenu cannot be chosen, their shortcuts included.
  virtual void SetMenuEnabled(std::string_view item, bool enabled) = 0;

  // Card edits.
  virtual void SetReadOnly(std::string_view edit, bool read_only) = 0;
  virtual void SetTabStop(std::string_view edit, bool tab_stop) = 0;
  // A system colour by its Windows number: 0x80000005 window,
  // 0x8000000F button face.
  virtual void SetColour(std::string_view edit, uint32_t colour) = 0;

  // The record navigator: bit n of `mask` shows button n (0 first ... 9
  // refresh); its width in pixels at 96 dpi.
  virtual void SetNavigatorButtons(uint32_t mask) = 0;
  virtual void SetNavigatorWidth(int width) = 0;
  // Performs a navigator button's action exactly as a click does; when
  // the action succeeds (a declined delete included) the view then calls
  // the controller's DBNavigatorClick with the button. A failed action
  // raises and does not notify.
  virtual void PressNavigatorButton(int button) = 0;

  // The gauge's progress, 0 to 100.
  virtual void SetGaugeProgress(int progress) = 0;
  // Paints the wait panel at once, without waiting for the event loop.
  virtual void RepaintWait() = 0;
  // Asks the window to close, which ends the program once it has closed.
  virtual void Close() = 0;

  // A question in a box over the window with one button per entry of
  // `buttons`, left to right; answers the number of the button chosen.
  // Closing the box without choosing (Escape, its close button) chooses
  // the last one, which is therefore the one that changes nothing.
  virtual int Ask(std::string_view question, const std::vector<std::string_view>& buttons) = 0;
  // A note in a box over the window, with an OK button.
  virtual void ShowMessage(std::string_view text) = 0;
  // Lets the user pick a folder; empty when they chose none.
  virtual std::string ChooseFolder(std::string_view title) = 0;
};

}  // namespace pyx
