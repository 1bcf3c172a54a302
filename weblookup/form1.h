// The Callscope window, "WWW callbook lookup": follows the host logging
// program (Sorrel) through three linked text boxes, or WSJT-X and JTDX
// through their UDP datagrams, and shows the page of one of three web
// callbooks for the callsign being worked.
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
#include <memory>
#include <optional>

#include "weblookup/callbooks.h"
#include "weblookup/country_prefixes.h"
#include "weblookup/embedded_browser.h"
#include "weblookup/host_link.h"
#include "weblookup/linked_text_box.h"
#include "weblookup/wsjtx_listener.h"

namespace callscope {

class Form1 : public QWidget {
  Q_OBJECT
 public:
  explicit Form1(const CallbookHosts& hosts = LoadCallbookHosts(), QWidget* parent = nullptr);

  // The host program to follow, set before FormInitialize; Sorrel unless
  // set.
  void SetHostLink(const HostLinkChoice& link) { link_ = link; }
  // The country table that gives a callsign's prefix when no host sent
  // one (WSJT-X, or a callsign typed by hand). Without one the prefix
  // stays empty, the general callbook is used and the status line says
  // "no country file".
  void SetCountryPrefixes(std::shared_ptr<const CountryPrefixes> table) { countries_ = std::move(table); }

  // The window's initialise step. It returns false when the program is to
  // end.
  // - Sorrel: links the three boxes to Sorrel's items (topic "Sorrel|QSO",
  //   automatic mode). When a link cannot be set up it shows
  //   kLinkFailureText in a message box with an OK button and returns
  //   false once the box is dismissed.
  // - WSJT-X: listens on the endpoint; when it cannot, says why in a
  //   message box and returns false.
  // - Automatic: as Sorrel, except that without Sorrel the message box
  //   offers to listen for WSJT-X instead ("Listen for WSJT-X") or to
  //   close.
  bool FormInitialize();

  // Event handlers.
  void TextCommandChange();   // "LOOKUP", exactly, runs the search
  // Picks the callbook by the host's prefix and looks up; for a callsign
  // the operator typed, by the prefix the country table gives it.
  void CommandSearchClick();
  void CommandBackClick();    // history back, errors ignored
  void CommandForwardClick(); // history forward, errors ignored
  void FormResize();          // lays the controls out (layout.h)
  void WebBrowserDocumentComplete(const QUrl& url);  // clears the status

  // Looks the callsign up in one callbook: status text first, then the
  // browser goes online and to the query page. A failure on the way ends
  // the lookup quietly, leaving the status as it was set.
  void Lookup(Callbook book);

  // A new DX call from WSJT-X: it becomes the callsign, its prefix the
  // country prefix, and it is looked up as on "LOOKUP".
  void WsjtxDxCallChosen(const QString& call);

  const CallbookHosts& Hosts() const { return hosts_; }
  // The WSJT-X listener once listening, else null.
  WsjtxListener* Wsjtx() const { return wsjtx_.get(); }
  // What the status line says about the host link: "Sorrel", "WSJT-X
  // 127.0.0.1:2237 — DL1ABC", "WSJT-X 127.0.0.1:2237 — idle"; empty
  // before a link is set up.
  QString LinkState() const;

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
  // The status line: the host link's state and the callbook last chosen.
  // It shares LabelStatus's place and shows while no lookup is under way
  // (LabelStatus empty).
  QLabel LabelLink;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Place(QWidget& control, int left, int top, int width, int height);
  int XPixels(int twips) const;
  int YPixels(int twips) const;

  bool LinkSorrel(bool offerWsjtx);
  bool ListenForWsjtx();
  void UpdateStatusLine();

  CallbookHosts hosts_;
  HostLinkChoice link_;
  std::shared_ptr<const CountryPrefixes> countries_;
  std::unique_ptr<WsjtxListener> wsjtx_;
  bool sorrelLinked_ = false;
  // The operator edited the callsign since a host last set it: its prefix
  // is the country table's, not the host's.
  bool typedByHand_ = false;
  std::optional<Callbook> lastBook_;  // of the latest lookup
  bool lastWithoutTable_ = false;     // its prefix was wanted from a missing table
};

}  // namespace callscope
