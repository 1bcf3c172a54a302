#include "weblookup/form1.h"

#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <algorithm>
#include <cstdio>

#include "weblookup/layout.h"

namespace callscope {

const QString Form1::kLinkFailureText =
    QStringLiteral("Sorrel is not loaded. Please start Sorrel and run this program again.");
const QString Form1::kLinkTopic = QStringLiteral("Sorrel|QSO");

Form1::Form1(const CallbookHosts& hosts, QWidget* parent)
    : QWidget(parent),
      LabelCall(QStringLiteral("Call:"), this),
      Callsign(QStringLiteral("Text1"), this),
      CommandSearch(QStringLiteral("Search"), this),
      CommandBack(QStringLiteral("Back"), this),
      CommandForward(QStringLiteral("Forward"), this),
      LabelStatus(this),
      TextCommand(QStringLiteral("Command"), this),
      TextDXCC(QStringLiteral("DXCC"), this),
      WebBrowser(this),
      LabelLink(this),
      hosts_(hosts) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("WWW callbook lookup"));
  LabelCall.setObjectName(QStringLiteral("LabelCall"));
  Callsign.setObjectName(QStringLiteral("Callsign"));
  CommandSearch.setObjectName(QStringLiteral("CommandSearch"));
  CommandBack.setObjectName(QStringLiteral("CommandBack"));
  CommandForward.setObjectName(QStringLiteral("CommandForward"));
  LabelStatus.setObjectName(QStringLiteral("LabelStatus"));
  TextCommand.setObjectName(QStringLiteral("TextCommand"));
  TextDXCC.setObjectName(QStringLiteral("TextDXCC"));
  WebBrowser.setObjectName(QStringLiteral("WebBrowser"));
  LabelLink.setObjectName(QStringLiteral("LabelLink"));

  // The caption names the box for screen readers too.
  LabelCall.setBuddy(&Callsign);
  // The carriers are out of sight; keep the Tab key out of them too.
  TextCommand.setFocusPolicy(Qt::NoFocus);
  TextDXCC.setFocusPolicy(Qt::NoFocus);

  // Positions before the first resize, for a window of the initial size;
  // the resize then moves what it moves and leaves the rest.
  const int w = kInitialWidth, h = kInitialHeight;
  Place(WebBrowser, 50, 50, w - 200, h - 1280);
  Place(LabelCall, 120, h - 900, 500, 255);
  Place(Callsign, 700, h - 1000, 1800, 375);
  Place(CommandSearch, 2600, h - 1000, 1000, 375);
  Place(LabelStatus, 3700, h - 900, 5600, 255);
  Place(LabelLink, 3700, h - 900, w - 2600 - 3700, 255);
  Place(CommandBack, w - 2500, h - 1000, 900, 375);
  Place(CommandForward, w - 1500, h - 1000, 900, 375);
  Place(TextCommand, 120, h + 1000, 1500, 375);
  Place(TextDXCC, 1700, h + 1000, 1500, 375);
  resize(XPixels(w), YPixels(h));

  connect(&TextCommand, &LinkedTextBox::Change, this, &Form1::TextCommandChange);
  connect(&CommandSearch, &QPushButton::clicked, this, &Form1::CommandSearchClick);
  connect(&Callsign, &QLineEdit::returnPressed, this, &Form1::CommandSearchClick);
  connect(&CommandBack, &QPushButton::clicked, this, &Form1::CommandBackClick);
  connect(&CommandForward, &QPushButton::clicked, this, &Form1::CommandForwardClick);
  connect(&WebBrowser, &EmbeddedBrowser::DocumentComplete, this, &Form1::WebBrowserDocumentComplete);
  // Only the operator's own edits raise textEdited; a host's value arrives
  // through the link (or WsjtxDxCallChosen) and is the host's again.
  connect(&Callsign, &QLineEdit::textEdited, this, [this] { typedByHand_ = true; });
  connect(&Callsign.Link(), &DdeClientLink::DataArrived, this, [this] { typedByHand_ = false; });
}

bool Form1::FormInitialize() {
  switch (link_.kind) {
    case HostLinkKind::Wsjtx: return ListenForWsjtx();
    case HostLinkKind::Automatic: return LinkSorrel(true);
    case HostLinkKind::Sorrel: break;
  }
  return LinkSorrel(false);
}

bool Form1::LinkSorrel(bool offerWsjtx) {
  // The prefix and the callsign are linked before the command, so that a
  // "LOOKUP" already standing in Sorrel when the window opens looks up the
  // current station in the right callbook.
  LinkedTextBox* const boxes[] = {&TextDXCC, &Callsign, &TextCommand};
  const QString items[] = {QStringLiteral("DxccPrefix"), QStringLiteral("Call"), QStringLiteral("Command")};
  try {
    for (int i = 0; i < 3; ++i) {
      boxes[i]->SetLinkItem(items[i]);
      boxes[i]->SetLinkTopic(kLinkTopic);
      boxes[i]->SetLinkMode(LinkMode::Automatic);
    }
  } catch (const DdeLinkError& e) {
    std::fprintf(stderr, "callscope: %s\n", e.what());
    if (!offerWsjtx) {
      QMessageBox box(QMessageBox::Warning, QStringLiteral("Callscope"), kLinkFailureText, QMessageBox::Ok);
      box.setObjectName(QStringLiteral("LinkFailure"));
      box.exec();
      return false;
    }
    // Links opened before the one that failed would go on feeding the
    // boxes from a Sorrel that is only partly there.
    for (LinkedTextBox* box : boxes) box->SetLinkMode(LinkMode::None);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Callscope"), QStringLiteral("Sorrel is not loaded."),
                    QMessageBox::NoButton);
    box.setObjectName(QStringLiteral("SorrelMissing"));
    box.setInformativeText(QStringLiteral("Callscope can listen for WSJT-X or JTDX on %1 instead (in their "
                                          "settings: Reporting, UDP Server).")
                               .arg(link_.udp.Text()));
    QPushButton* listen = box.addButton(QStringLiteral("Listen for WSJT-X"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Close);
    box.setDefaultButton(listen);
    box.exec();
    if (box.clickedButton() != listen) return false;
    return ListenForWsjtx();
  }
  sorrelLinked_ = true;
  UpdateStatusLine();
  return true;
}

bool Form1::ListenForWsjtx() {
  auto listener = std::make_unique<WsjtxListener>(link_.udp);
  try {
    listener->Start();
  } catch (const WsjtxListenError& e) {
    std::fprintf(stderr, "callscope: %s\n", e.what());
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Callscope"),
                    QStringLiteral("Callscope cannot listen for WSJT-X."), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ListenFailure"));
    box.setInformativeText(QString::fromStdString(e.what()));
    box.exec();
    return false;
  }
  wsjtx_ = std::move(listener);
  connect(wsjtx_.get(), &WsjtxListener::DxCallChosen, this, &Form1::WsjtxDxCallChosen);
  connect(wsjtx_.get(), &WsjtxListener::StateChanged, this, &Form1::UpdateStatusLine);
  UpdateStatusLine();
  return true;
}

void Form1::WsjtxDxCallChosen(const QString& call) {
  typedByHand_ = false;
  lastWithoutTable_ = !countries_;
  Callsign.setText(call);
  TextDXCC.setText(countries_ ? countries_->PrimaryPrefix(call) : QString());
  Lookup(ChooseCallbook(TextDXCC.text()));
}

void Form1::TextCommandChange() {
  if (TextCommand.text() == QLatin1String("LOOKUP")) CommandSearchClick();
}

void Form1::CommandSearchClick() {
  // The host's prefix belongs to the host's callsign; one the operator
  // typed gets its own from the country table. WSJT-X's prefixes came
  // from the table too.
  lastWithoutTable_ = (typedByHand_ || wsjtx_) && !countries_;
  if (!typedByHand_) {
    Lookup(ChooseCallbook(TextDXCC.text()));
    return;
  }
  Lookup(ChooseCallbook(countries_ ? countries_->PrimaryPrefix(Callsign.text()) : QString()));
}

void Form1::Lookup(Callbook book) {
  lastBook_ = book;
  try {
    const QString callsign = Callsign.text();
    LabelStatus.setText(LookupStatus(book, callsign));
    UpdateStatusLine();
    const QString url = LookupUrl(book, hosts_.For(book), callsign);
    WebBrowser.SetOffline(false);
    WebBrowser.Navigate(url);
  } catch (const std::exception&) {
    // Ignored: the window stays usable and the status says what was tried.
  }
}

void Form1::CommandBackClick() {
  try {
    WebBrowser.GoBack();
  } catch (const std::exception&) {
  }
}

void Form1::CommandForwardClick() {
  try {
    WebBrowser.GoForward();
  } catch (const std::exception&) {
  }
}

void Form1::WebBrowserDocumentComplete(const QUrl&) {
  LabelStatus.clear();
  UpdateStatusLine();
}

QString Form1::LinkState() const {
  if (sorrelLinked_) return QStringLiteral("Sorrel");
  if (!wsjtx_) return {};
  QString state = wsjtx_->DxCall();
  if (!wsjtx_->Active()) {
    state = QStringLiteral("idle");
  } else if (state.isEmpty()) {
    state = QStringLiteral("no DX call");
  }
  return QStringLiteral("WSJT-X %1 \u2014 %2").arg(wsjtx_->Endpoint().Text(), state);
}

void Form1::UpdateStatusLine() {
  QStringList parts;
  if (const QString link = LinkState(); !link.isEmpty()) parts << link;
  if (lastBook_) {
    QString book = CallbookName(*lastBook_);
    if (lastWithoutTable_) book += QStringLiteral(" (no country file)");
    parts << book;
  }
  LabelLink.setText(parts.join(QStringLiteral(" \u00b7 ")));
  LabelLink.setVisible(LabelStatus.text().isEmpty());
}

void Form1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FormResize();
}

void Form1::FormResize() {
  // The outer size, frame and title bar included, as the layout counts it.
  const QSize outer = frameGeometry().size();
  const int w = PixelsToTwips(outer.width(), logicalDpiX());
  const int h = PixelsToTwips(outer.height(), logicalDpiY());
  const std::optional<ResizeLayout> l = ComputeResizeLayout(w, h);
  if (!l) return;
  const auto setTop = [this](QWidget& c, int top) { c.move(c.x(), YPixels(top)); };
  WebBrowser.setGeometry(XPixels(l->browserLeft), YPixels(l->browserTop), XPixels(l->browserWidth),
                         YPixels(l->browserHeight));
  setTop(LabelCall, l->labelCallTop);
  setTop(Callsign, l->callsignTop);
  setTop(CommandSearch, l->searchTop);
  setTop(LabelStatus, l->statusTop);
  // The status line reaches to the history buttons.
  const int linkWidth = std::max(0, XPixels(l->backLeft - 100) - LabelStatus.x());
  LabelLink.setGeometry(LabelStatus.x(), YPixels(l->statusTop), linkWidth, LabelStatus.height());
  CommandBack.move(XPixels(l->backLeft), YPixels(l->backTop));
  CommandForward.move(XPixels(l->forwardLeft), YPixels(l->forwardTop));
  setTop(TextCommand, l->commandTop);
  setTop(TextDXCC, l->dxccTop);
}

void Form1::Place(QWidget& control, int left, int top, int width, int height) {
  control.setGeometry(XPixels(left), YPixels(top), XPixels(width), YPixels(height));
}

int Form1::XPixels(int twips) const { return TwipsToPixels(twips, logicalDpiX()); }
int Form1::YPixels(int twips) const { return TwipsToPixels(twips, logicalDpiY()); }

}  // namespace callscope
