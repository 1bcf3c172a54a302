// A CallbookView that records every request as one line of text
// ("Show Gauge", "Gauge 9", "Menu MenuRed off", ...), keeps what a window
// would show after them (State), and performs navigator buttons on the
// controller's dataset the way the window's navigator does, answering the
// delete question as told. It can be told to fail at its n-th request, as
// a window that cannot do what it is asked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/callbook_controller.h"
#include "app/callbook_tables.h"
#include "app/callbook_view.h"
#include "dataset/tessera_data_set.h"

namespace pyx_test {

class RecordingView : public pyx::CallbookView {
 public:
  explicit RecordingView(pyx::CallbookController& controller) : controller_(controller) {
    controller_.SetView(this);
    for (const char* c : {"Gauge", "Wait", "EditVvod", "ButtonEnter", "DBGridPYX"}) shown_[c] = false;
    for (const char* m : {"MenuRed", "MenuFind", "MenuView", "ViewTablica", "ViewStandart"}) menus_[m] = true;
    for (std::string_view e : pyx::kCardEdits) writable_[std::string(e)] = false;
  }
  ~RecordingView() override { controller_.SetView(nullptr); }

  std::vector<std::string> calls;
  bool confirm_delete = true;
  // The answers Ask gives, in order; when they run out, the last button.
  std::vector<int> answers;
  // The questions asked and the notes shown, in order.
  std::vector<std::string> asked;
  std::vector<std::string> messages;
  // What ChooseFolder answers.
  std::string folder;
  int processed = 0;  // ProcessMessages calls
  // Runs inside ProcessMessages, as an event the toolkit handles then.
  std::function<void()> on_process;
  // The request (counted from 0 since FailAt) that raises; -1: none.
  void FailAt(int n) {
    fail_at_ = n;
    requests_ = 0;
  }
  bool Failed() const { return fail_at_ >= 0 && requests_ > fail_at_; }

  // Calls recorded since the last Take, which forgets them.
  std::vector<std::string> Take() {
    std::vector<std::string> out;
    out.swap(calls);
    return out;
  }
  // The values given to the gauge, in order.
  std::vector<int> GaugeValues() const {
    std::vector<int> out;
    for (const std::string& c : calls)
      if (c.rfind("Gauge ", 0) == 0) out.push_back(std::stoi(c.substr(6)));
    return out;
  }

  // What the window shows: the controls and menus the controller switches,
  // the card edits (all read-only "ro", all writable "rw", else "mixed"),
  // the navigator's buttons. Focus and texts are not part of it.
  std::string State() const {
    std::string s;
    for (const auto& [c, on] : shown_) s += c + (on ? "+ " : "- ");
    for (const auto& [m, on] : menus_) s += m + (on ? "+ " : "- ");
    int rw = 0;
    for (const auto& [e, w] : writable_) rw += w ? 1 : 0;
    s += rw == 0 ? "edits:ro " : rw == static_cast<int>(writable_.size()) ? "edits:rw " : "edits:mixed ";
    s += "buttons:" + std::to_string(buttons_);
    return s;
  }
  // State() of the window in each of the four modes.
  static std::string StateOf(pyx::CallbookController::Mode mode) {
    using M = pyx::CallbookController::Mode;
    const bool grid = mode == M::kTable, search = mode == M::kSearch, edit = mode == M::kEditing;
    const bool card = mode == M::kCardView;
    auto on = [](bool b) { return b ? "+ " : "- "; };
    std::string s;
    s += std::string("ButtonEnter") + on(search) + "DBGridPYX" + on(grid) + "EditVvod" + on(search) + "Gauge- Wait- ";
    s += std::string("MenuFind") + on(card) + "MenuRed" + on(card) + "MenuView" + on(card || grid) + "ViewStandart" +
         on(grid) + "ViewTablica" + on(!grid);
    s += edit ? "edits:rw buttons:384" : "edits:ro buttons:511";
    return s;
  }
  const std::string& Text(const std::string& control) { return texts_[control]; }

  void Show(std::string_view c) override {
    Add("Show", c);
    shown_[std::string(c)] = true;
  }
  void Hide(std::string_view c) override {
    Add("Hide", c);
    shown_[std::string(c)] = false;
  }
  void BringToFront(std::string_view c) override { Add("Front", c); }
  void SendToBack(std::string_view c) override { Add("Back", c); }
  void ProcessMessages() override {
    ++processed;
    if (on_process) on_process();
  }
  void SetText(std::string_view c, std::string_view t) override {
    Add("Text", c, t);
    texts_[std::string(c)] = std::string(t);
  }
  void SetHint(std::string_view c, std::string_view h) override { Add("Hint", c, h); }
  void SetFocus(std::string_view c) override { Add("Focus", c); }
  void SetMenuEnabled(std::string_view i, bool on) override {
    Add("Menu", i, on ? "on" : "off");
    menus_[std::string(i)] = on;
  }
  void SetReadOnly(std::string_view e, bool ro) override {
    Add("ReadOnly", e, ro ? "on" : "off");
    writable_[std::string(e)] = !ro;
  }
  void SetTabStop(std::string_view e, bool ts) override { Add("TabStop", e, ts ? "on" : "off"); }
  void SetColour(std::string_view e, uint32_t c) override { Add("Colour", e, Hex(c)); }
  void SetNavigatorButtons(uint32_t mask) override {
    Line("Buttons " + std::to_string(mask));
    buttons_ = mask;
  }
  void SetNavigatorWidth(int w) override { Line("Width " + std::to_string(w)); }
  void SetGaugeProgress(int p) override { Line("Gauge " + std::to_string(p)); }
  void RepaintWait() override { Line("RepaintWait"); }
  void Close() override { Line("Close"); }
  int Ask(std::string_view question, const std::vector<std::string_view>& buttons) override {
    std::string line = "Ask";
    for (std::string_view b : buttons) line += " [" + std::string(b) + "]";
    Line(line);
    asked.emplace_back(question);
    if (answers.empty()) return static_cast<int>(buttons.size()) - 1;
    const int a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  void ShowMessage(std::string_view text) override {
    Line("Message");
    messages.emplace_back(text);
  }
  std::string ChooseFolder(std::string_view /*title*/) override {
    Line("ChooseFolder");
    return folder;
  }

  void PressNavigatorButton(int button) override {
    Line("Press " + std::to_string(button));
    tessera::TTesseraDataSet& ds = controller_.TablePYX();
    switch (button) {
      case 0: ds.First(); break;
      case 1: ds.Prior(); break;
      case 2: ds.Next(); break;
      case 3: ds.Last(); break;
      case 4: ds.Insert(); break;
      case 5:
        if (!ds.CanModify()) throw std::runtime_error("Cannot modify a read-only dataset");
        if (confirm_delete) ds.Delete();
        break;
      case 6: ds.Edit(); break;
      case 7: ds.Post(); break;
      case 8: ds.Cancel(); break;
      case 9: ds.Refresh(); break;
      default: return;
    }
    controller_.DBNavigatorClick(button);
  }

 private:
  void Line(std::string line) {
    if (fail_at_ >= 0 && requests_++ == fail_at_) throw std::runtime_error("the window failed at: " + line);
    calls.push_back(std::move(line));
  }
  void Add(const char* op, std::string_view a, std::string_view b = {}) {
    std::string s = std::string(op) + " " + std::string(a);
    if (!b.empty() || std::string_view(op) == "Text") s += " '" + std::string(b) + "'";
    Line(std::move(s));
  }
  static std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
  }

  pyx::CallbookController& controller_;
  std::map<std::string, bool> shown_, menus_, writable_;
  std::map<std::string, std::string> texts_;
  uint32_t buttons_ = pyx::kBrowseButtons;
  int fail_at_ = -1;
  int requests_ = 0;
};

}  // namespace pyx_test
