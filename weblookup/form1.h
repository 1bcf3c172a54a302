// The Callscope window, "WWW callbook lookup": follows the host logging
// program (Sorrel) through three linked text boxes and shows the page of one
// of three web callbooks for the callsign being worked.
//
// The controls are members, parented to the window, and carry the names the
// window's code uses for them. Positions and sizes are worked out in twips
// (1440 to the inch) and converted with the screen's logical resolution.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QUrl>
#include <QWidget>

#include "weblookup/callbooks.h"
#include "weblookup/embedded_browser.h"
#include "weblookup/linked_text_box.h"

namespace callscope {

class Form1 : public QWidget {
  Q_OBJECT
 public:
  explicit Form1(const CallbookHosts& hosts = LoadCallbookHosts(), QWidget* parent = nullptr);

  // The window's initialise step: links the three boxes to Sorrel's items
  // (topic "Sorrel|QSO", automatic mode). When a link cannot be set up it
  // shows kLinkFailureText in a message box with an OK button and returns
  // false once the box is dismissed; the program then ends.
  bool FormInitialize();

  // Event handlers.
  void TextCommandChange();   // "LOOKUP", exactly, runs the search
  void CommandSearchClick();  // picks the callbook and looks up
  void CommandBackClick();    // history back, errors ignored
  void CommandForwardClick(); // history forward, errors ignored
  void FormResize();          // lays the controls out (layout.h)
  void WebBrowserDocumentComplete(const QUrl& url);  // clears the status

  // Looks the callsign up in one callbook: status text first, then the
  // browser goes online and to the query page. A failure on the way ends
  // the lookup quietly, leaving the status as it was set.
  void Lookup(Callbook book);

  const CallbookHosts& Hosts() const { return hosts_; }

  static const QString kLinkFailureText;
  static const QString kLinkTopic;  // "Sorrel|QSO"
  // The window's size when it first opens, in twips.
  static constexpr int kInitialWidth = 12000;
  static constexpr int kInitialHeight = 9000;

  QLabel LabelCall;
  LinkedTextBox Callsign;
  QPushButton CommandSearch;
  QPushButton CommandBack;
  QPushButton CommandForward;
  QLabel LabelStatus;
  LinkedTextBox TextCommand;  // data carrier: placed below the window's edge
  LinkedTextBox TextDXCC;     // data carrier: placed below the window's edge
  EmbeddedBrowser WebBrowser;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Place(QWidget& control, int left, int top, int width, int height);
  int XPixels(int twips) const;
  int YPixels(int twips) const;

  CallbookHosts hosts_;
};

}  // namespace callscope
