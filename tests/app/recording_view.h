// A CallbookView that records every request as one line of text
// ("Show Gauge", "Gauge 9", "Menu MenuRed off", ...) and performs
// navigator buttons on the controller's dataset the way the window's
// navigator does, answering the delete question as told.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/callbook_controller.h"
#include "app/callbook_view.h"
#include "dataset/tessera_data_set.h"

namespace pyx_test {

class RecordingView : public pyx::CallbookView {
 public:
  explicit RecordingView(pyx::CallbookController& controller) : controller_(controller) {
    controller_.SetView(this);
  }
  ~RecordingView() override { controller_.SetView(nullptr); }

  std::vector<std::string> calls;
  bool confirm_delete = true;
  int processed = 0;  // ProcessMessages calls
  // Runs inside ProcessMessages, as an event the toolkit handles then.
  std::function<void()> on_process;

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

  void Show(std::string_view c) override { Add("Show", c); }
  void Hide(std::string_view c) override { Add("Hide", c); }
  void BringToFront(std::string_view c) override { Add("Front", c); }
  void SendToBack(std::string_view c) override { Add("Back", c); }
  void ProcessMessages() override {
    ++processed;
    if (on_process) on_process();
  }
  void SetText(std::string_view c, std::string_view t) override { Add("Text", c, t); }
  void SetHint(std::string_view c, std::string_view h) override { Add("Hint", c, h); }
  void SetFocus(std::string_view c) override { Add("Focus", c); }
  void SetMenuEnabled(std::string_view i, bool on) override { Add("Menu", i, on ? "on" : "off"); }
  void SetReadOnly(std::string_view e, bool ro) override { Add("ReadOnly", e, ro ? "on" : "off"); }
  void SetTabStop(std::string_view e, bool ts) override { Add("TabStop", e, ts ? "on" : "off"); }
  void SetColour(std::string_view e, uint32_t c) override { Add("Colour", e, Hex(c)); }
  void SetNavigatorButtons(uint32_t mask) override { calls.push_back("Buttons " + std::to_string(mask)); }
  void SetNavigatorWidth(int w) override { calls.push_back("Width " + std::to_string(w)); }
  void SetGaugeProgress(int p) override { calls.push_back("Gauge " + std::to_string(p)); }
  void RepaintWait() override { calls.push_back("RepaintWait"); }
  void Close() override { calls.push_back("Close"); }

  void PressNavigatorButton(int button) override {
    calls.push_back("Press " + std::to_string(button));
    tessera::TTesseraDataSet& ds = controller_.TablePYX();
    switch (button) {
      case 0: ds.First(); break;
      case 1: ds.Prior(); break;
      case 2: ds.Next(); break;
      case 3: ds.Last(); break;
      case 4: ds.Insert(); break;
      case 5:
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
  void Add(const char* op, std::string_view a, std::string_view b = {}) {
    std::string s = std::string(op) + " " + std::string(a);
    if (!b.empty() || std::string_view(op) == "Text") s += " '" + std::string(b) + "'";
    calls.push_back(std::move(s));
  }
  static std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
  }

  pyx::CallbookController& controller_;
};

}  // namespace pyx_test
