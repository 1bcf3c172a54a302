// The lookup window against a sorrel-sim on the test's private session bus
// and a web server on 127.0.0.1: links and pushes, the LOOKUP command, the
// start-up failure, the callbook choice through the Search button, page
// loads and their completion, history, and the layout on resize.
#include <QAbstractButton>
#include <QScopeGuard>
#include <QThread>
#include <QDBusMessage>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

#include "callscope_test_support.h"
#include "weblookup/dde_link.h"
#include "weblookup/form1.h"
#include "weblookup/layout.h"

using namespace callscope;

// A publisher written against the bus mapping alone, as another logging
// program would be: it owns "dde.Tester" and serves "/QSO" on a connection
// of its own.
class TesterTopic : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "dde.Topic")
  Q_PROPERTY(QString Call READ Call)
 public:
  QString call = "UA3ABC";
  QString Call() const { return call; }
};

namespace {

void Announce(QDBusConnection bus, const QString& interface, const QVariantMap& changed,
              const QStringList& invalidated) {
  QDBusMessage m = QDBusMessage::createSignal("/QSO", "org.freedesktop.DBus.Properties", "PropertiesChanged");
  m << interface << changed << invalidated;
  bus.send(m);
}

}  // namespace

using callscope_test::PageServer;
using callscope_test::SorrelOnBus;
using callscope_test::SorrelSim;

class CallscopeWindowTest : public QObject {
  Q_OBJECT

  PageServer server_;
  QTemporaryDir config_;
  std::unique_ptr<Form1> searchForm_;  // shared by the Search-button rows

  CallbookHosts LocalHosts() const {
    CallbookHosts h;
    h.general = h.canadian = h.russian = server_.Host();
    return h;
  }
  QString Local(const QString& target) const { return QStringLiteral("http://") + server_.Host() + target; }

  // Lets every push sent so far arrive: pushes come in order, so once a
  // marker sent last has landed, all before it have too.
  static bool Settle(SorrelSim& sim, Form1& form, const QString& marker) {
    sim.Push("DxccPrefix=" + marker.toUtf8());
    return QTest::qWaitFor([&] { return form.TextDXCC.text() == marker; }, 10000);
  }

 private slots:
  void initTestCase() {
    QVERIFY(server_.Listening());
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());  // never the user's own hosts
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "the test needs its own session bus (dbus-run-session)");
    QVERIFY(!SorrelOnBus());
  }

  void cleanupTestCase() { searchForm_.reset(); }

  // With no Sorrel on the bus the window says so in a message box with an
  // OK button only, and reports the failure so that the program ends.
  void failureMessageWithoutSorrel() {
    Form1 form(LocalHosts());
    QString text;
    QMessageBox::StandardButtons buttons;
    int seen = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      ++seen;
      text = box->text();
      buttons = box->standardButtons();
      box->button(QMessageBox::Ok)->click();
    });
    poll.start(20);
    QTimer giveUp;  // never leave the test hanging on a box nobody closes
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, this, [] {
      if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    giveUp.start(20000);

    QVERIFY(!form.FormInitialize());
    QCOMPARE(seen, 1);
    QCOMPARE(text, QString("Sorrel is not loaded. Please start Sorrel and run this program again."));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(form.Callsign.text(), QString("Text1"));
    QCOMPARE(form.TextCommand.text(), QString("Command"));
    QCOMPARE(form.TextDXCC.text(), QString("DXCC"));
  }

  void linkSetupFailures() {
    const auto opens = [](DdeClientLink& link, const QString& item, const QString& topic) {
      link.SetLinkItem(item);
      link.SetLinkTopic(topic);
      try {
        link.SetLinkMode(LinkMode::Automatic);
      } catch (const DdeLinkError&) {
        return link.Mode() == LinkMode::None ? 0 : -1;
      }
      return 1;
    };
    // No bus at all.
    const QDBusConnection noBus = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nobus");
    DdeClientLink offBus(noBus, nullptr);
    QCOMPARE(opens(offBus, "Call", "Sorrel|QSO"), 0);
    // Malformed topics never reach the bus.
    DdeClientLink link;
    QCOMPARE(opens(link, "Call", "SorrelQSO"), 0);
    QCOMPARE(opens(link, "Call", "Sorrel|Q SO"), 0);
    QCOMPARE(opens(link, "Call", "Sor.rel|QSO"), 0);
    QCOMPARE(opens(link, "", "Sorrel|QSO"), 0);

    SorrelSim sim;
    QVERIFY(sim.Start({"Call=UA3ABC"}));
    QCOMPARE(opens(link, "Frequency", "Sorrel|QSO"), 0);  // an item Sorrel does not publish
    QCOMPARE(opens(link, "Call", "Sorrel|Log"), 0);       // a topic it does not have
    QCOMPARE(opens(link, "Call", "Logger|QSO"), 0);       // an application not running
    QSignalSpy data(&link, &DdeClientLink::DataArrived);
    QCOMPARE(opens(link, "Call", "Sorrel|QSO"), 1);
    QCOMPARE(data.count(), 1);
    QCOMPARE(data.at(0).at(0).toString(), QString("UA3ABC"));
    // Changing the topic closes the link; nothing arrives afterwards.
    link.SetLinkTopic("Sorrel|Other");
    QCOMPARE(link.Mode(), LinkMode::None);
    sim.Push("Call=RA9XYZ");
    QTest::qWait(300);
    QCOMPARE(data.count(), 1);
  }

  // Announcements are taken from the owner of the application's name only;
  // an item announced as invalidated is read back; other value types show
  // as text; other interfaces are not items.
  void linkFollowsTheBusMapping() {
    QDBusConnection publisher = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "publisher");
    QDBusConnection stranger = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "stranger");
    // The link's first read blocks this thread, so the publisher answers
    // from a thread of its own.
    QThread serving;
    TesterTopic topic;
    topic.moveToThread(&serving);
    serving.start();
    const auto stop = qScopeGuard([&] {
      serving.quit();
      serving.wait();
    });
    QVERIFY(publisher.registerObject("/QSO", &topic, QDBusConnection::ExportAllProperties));
    QVERIFY(publisher.registerService("dde.Tester"));

    DdeClientLink link;
    QSignalSpy data(&link, &DdeClientLink::DataArrived);
    link.SetLinkItem("Call");
    link.SetLinkTopic("Tester|QSO");
    link.SetLinkMode(LinkMode::Automatic);
    QCOMPARE(data.count(), 1);
    QCOMPARE(data.at(0).at(0).toString(), QString("UA3ABC"));

    Announce(stranger, "dde.Topic", {{"Call", "SPOOF"}}, {});                 // not the owner
    Announce(publisher, "other.Interface", {{"Call", "OTHER"}}, {});          // not an item
    Announce(publisher, "dde.Topic", {{"Command", "LOOKUP"}}, {});            // another item
    QMetaObject::invokeMethod(&topic, [&] { topic.call = "RA9XYZ"; }, Qt::BlockingQueuedConnection);
    Announce(publisher, "dde.Topic", {}, {"Call"});                           // read back
    QTRY_COMPARE(data.count(), 2);
    QCOMPARE(data.at(1).at(0).toString(), QString("RA9XYZ"));
    Announce(publisher, "dde.Topic", {{"Call", QVariant::fromValue(14025)}}, {});
    QTRY_COMPARE(data.count(), 3);
    QCOMPARE(data.at(2).at(0).toString(), QString("14025"));
    QTest::qWait(200);
    QCOMPARE(data.count(), 3);

    link.SetLinkMode(LinkMode::None);
    Announce(publisher, "dde.Topic", {{"Call", "CLOSED"}}, {});
    QTest::qWait(200);
    QCOMPARE(data.count(), 3);
    publisher.unregisterService("dde.Tester");
    QDBusConnection::disconnectFromBus("publisher");
    QDBusConnection::disconnectFromBus("stranger");
  }

  // Every push lands in its box and raises the box's change event, a push
  // of the value already shown included.
  void pushesReachTheirBoxes() {
    SorrelSim sim;
    QVERIFY(sim.Start({"Call=UA3ABC", "DxccPrefix=UA9", "Command=READY"}));
    Form1 form(LocalHosts());
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    QSignalSpy callChanges(&form.Callsign, &LinkedTextBox::Change);
    QVERIFY(form.FormInitialize());
    // The values standing when the links opened.
    QCOMPARE(form.Callsign.text(), QString("UA3ABC"));
    QCOMPARE(form.TextDXCC.text(), QString("UA9"));
    QCOMPARE(form.TextCommand.text(), QString("READY"));
    QCOMPARE(callChanges.count(), 1);

    sim.Push("Call=RA9XYZ");
    QTRY_COMPARE(form.Callsign.text(), QString("RA9XYZ"));
    sim.Push("DxccPrefix=UA2");
    QTRY_COMPARE(form.TextDXCC.text(), QString("UA2"));
    sim.Push("Command=CLEAR");
    QTRY_COMPARE(form.TextCommand.text(), QString("CLEAR"));
    QCOMPARE(callChanges.count(), 2);

    sim.Push("Call=RA9XYZ");  // same value again
    QVERIFY(Settle(sim, form, "M1"));
    QCOMPARE(callChanges.count(), 3);
    QCOMPARE(form.Callsign.text(), QString("RA9XYZ"));

    sim.Push("Call=");  // an empty item empties the box
    QTRY_COMPARE(form.Callsign.text(), QString());
    sim.Push("call=Ю1ЖЗ");  // item names in any case; text is UTF-8
    QTRY_COMPARE(form.Callsign.text(), QString("Ю1ЖЗ"));
    QCOMPARE(navigations.count(), 0);
  }

  // Only "LOOKUP", exactly, starts a lookup; each push of it starts one.
  void lookupOnlyOnExactCommand() {
    SorrelSim sim;
    QVERIFY(sim.Start({"Call=UA3ABC", "DxccPrefix=UA"}));
    Form1 form(LocalHosts());
    QVERIFY(form.FormInitialize());
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    for (const char* near : {"lookup", "Lookup", "LOOKUP ", " LOOKUP", "LOOKUPS", "LOOK", ""})
      sim.Push(QByteArray("Command=") + near);
    QVERIFY(Settle(sim, form, "UA"));
    QCOMPARE(navigations.count(), 0);

    sim.Push("Command=LOOKUP");
    QTRY_COMPARE(navigations.count(), 1);
    QCOMPARE(navigations.at(0).at(0).toUrl(), QUrl(Local("/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC")));
    sim.Push("Command=LOOKUP");
    QTRY_COMPARE(navigations.count(), 2);
    sim.Push("Call=VE3XYZ");
    sim.Push("DxccPrefix=VE");
    sim.Push("Command=LOOKUP");
    QTRY_COMPARE(navigations.count(), 3);
    QCOMPARE(navigations.at(2).at(0).toUrl(),
             QUrl(Local("/cgi-bin/cgiwrap/rac/callbook?QueryText=VE3XYZ&QueryType=call&perpage=25")));
    QTRY_VERIFY(server_.Pages().contains("/cgi-bin/cgiwrap/rac/callbook?QueryText=VE3XYZ&QueryType=call&perpage=25"));
  }

  // A "LOOKUP" already standing when the window opens looks up the current
  // station, in the callbook of its current prefix.
  void standingLookupAtStart() {
    SorrelSim sim;
    QVERIFY(sim.Start({"Call=UA9AA", "DxccPrefix=UA9", "Command=LOOKUP"}));
    Form1 form(LocalHosts());
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    QVERIFY(form.FormInitialize());
    QCOMPARE(navigations.count(), 1);
    QCOMPARE(navigations.at(0).at(0).toUrl(), QUrl(Local("/CGI-BIN/FCS.EXE/runquery?CallSign=UA9AA")));
  }

  void searchButtonChoosesCallbook_data() {
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("status");
    const QString canadian = "/cgi-bin/cgiwrap/rac/callbook?QueryText=%1&QueryType=call&perpage=25";
    QTest::newRow("VE") << "VE" << "VE3XYZ" << canadian.arg("VE3XYZ") << "Looking for VE3XYZ in Canadian database...";
    QTest::newRow("VE3") << "VE3" << "VE3XYZ" << "/callsign/VE3XYZ" << "Looking for VE3XYZ in QRZ database...";
    QTest::newRow("UA") << "UA" << "UA3ABC" << "/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"
                        << "Looking for UA3ABC in Russian database...";
    QTest::newRow("UA2") << "UA2" << "UA2FF" << "/CGI-BIN/FCS.EXE/runquery?CallSign=UA2FF"
                         << "Looking for UA2FF in Russian database...";
    QTest::newRow("UA9") << "UA9" << "UA9AA" << "/CGI-BIN/FCS.EXE/runquery?CallSign=UA9AA"
                         << "Looking for UA9AA in Russian database...";
    QTest::newRow("UA3") << "UA3" << "UA3ABC" << "/callsign/UA3ABC" << "Looking for UA3ABC in QRZ database...";
    QTest::newRow("empty prefix") << "" << "K1ABC" << "/callsign/K1ABC" << "Looking for K1ABC in QRZ database...";
    QTest::newRow("empty call") << "UA" << "" << "/CGI-BIN/FCS.EXE/runquery?CallSign="
                                << "Looking for  in Russian database...";
    QTest::newRow("empty call VE") << "VE" << "" << canadian.arg("") << "Looking for  in Canadian database...";
  }
  void searchButtonChoosesCallbook() {
    QFETCH(QString, prefix);
    QFETCH(QString, call);
    QFETCH(QString, target);
    QFETCH(QString, status);
    if (!searchForm_) searchForm_ = std::make_unique<Form1>(LocalHosts());
    Form1& form = *searchForm_;
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    form.TextDXCC.setText(prefix);
    form.Callsign.setText(call);
    form.CommandSearch.click();
    QCOMPARE(form.LabelStatus.text(), status);  // set before the page is asked for
    QCOMPARE(navigations.count(), 1);
    QCOMPARE(navigations.at(0).at(0).toUrl(), QUrl(Local(target)));
    QTRY_VERIFY(server_.Pages().contains(target));
    QTRY_COMPARE(form.LabelStatus.text(), QString());  // the page completed
  }

  // History: Back and Forward walk the pages looked up, each completed
  // page clears the status; with no history both do nothing, quietly.
  void history() {
    Form1 form(LocalHosts());
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    QSignalSpy completions(&form.WebBrowser, &EmbeddedBrowser::DocumentComplete);
    form.LabelStatus.setText("idle");
    form.CommandBack.click();
    form.CommandForward.click();
    QTest::qWait(300);
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(navigations.count(), 0);
    QCOMPARE(completions.count(), 0);
    QCOMPARE(form.LabelStatus.text(), QString("idle"));

    form.TextDXCC.setText("W");
    form.Callsign.setText("K1AAA");
    form.CommandSearch.click();
    QTRY_COMPARE(completions.count(), 1);
    form.Callsign.setText("K1BBB");
    form.CommandSearch.click();
    QTRY_COMPARE(completions.count(), 2);
    QCOMPARE(form.WebBrowser.url(), QUrl(Local("/callsign/K1BBB")));

    form.LabelStatus.setText("before back");
    form.CommandBack.click();
    QTRY_COMPARE(form.WebBrowser.url(), QUrl(Local("/callsign/K1AAA")));
    QTRY_COMPARE(form.LabelStatus.text(), QString());
    form.CommandForward.click();
    QTRY_COMPARE(form.WebBrowser.url(), QUrl(Local("/callsign/K1BBB")));
    form.CommandForward.click();  // nothing further: stays, no error
    QTest::qWait(200);
    QCOMPARE(form.WebBrowser.url(), QUrl(Local("/callsign/K1BBB")));
    QCOMPARE(navigations.count(), 2);
  }

  // Offline, the browser asks the network for nothing; a lookup puts it
  // back online first.
  void lookupGoesOnline() {
    Form1 form(LocalHosts());
    QSignalSpy completions(&form.WebBrowser, &EmbeddedBrowser::DocumentComplete);
    form.WebBrowser.SetOffline(true);
    form.WebBrowser.Navigate(Local("/offline-probe"));
    QTRY_COMPARE(completions.count(), 1);
    QTest::qWait(200);
    QVERIFY(!server_.Pages().contains("/offline-probe"));
    form.TextDXCC.setText("UA");
    form.Callsign.setText("UA1ONLINE");
    form.CommandSearch.click();
    QVERIFY(!form.WebBrowser.Offline());
    QTRY_VERIFY(server_.Pages().contains("/CGI-BIN/FCS.EXE/runquery?CallSign=UA1ONLINE"));
  }

  // The resize lays the controls out by the window's outer size in twips,
  // and leaves everything alone below 1281 x 2500 twips.
  void layoutOnResize() {
    Form1 form(LocalHosts());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const double dx = form.logicalDpiX(), dy = form.logicalDpiY();
    const QSize frame = form.frameGeometry().size() - form.size();
    const auto resizeOuter = [&](int w, int h) {
      form.resize(w - frame.width(), h - frame.height());
      QTRY_COMPARE(form.frameGeometry().size(), QSize(w, h));
    };
    const auto x = [&](int twips) { return TwipsToPixels(twips, dx); };
    const auto y = [&](int twips) { return TwipsToPixels(twips, dy); };
    const auto snapshot = [&] {
      QList<QRect> g;
      for (QWidget* w : std::initializer_list<QWidget*>{&form.WebBrowser, &form.LabelCall, &form.Callsign,
                                                        &form.CommandSearch, &form.LabelStatus, &form.CommandBack,
                                                        &form.CommandForward, &form.TextCommand, &form.TextDXCC})
        g << w->geometry();
      return g;
    };

    // Largest outer sizes still under the thresholds, and one pixel more.
    int hBelow = 1, wBelow = 1;
    while (PixelsToTwips(hBelow + 1, dy) < 1281) ++hBelow;
    while (PixelsToTwips(wBelow + 1, dx) < 2500) ++wBelow;
    const int big = 700;

    resizeOuter(big + 100, big);
    const QList<QRect> laidOut = snapshot();
    const QRect labelCall = form.LabelCall.geometry();
    resizeOuter(big + 100, hBelow);
    QCOMPARE(snapshot(), laidOut);
    resizeOuter(wBelow, big);
    QCOMPARE(snapshot(), laidOut);
    resizeOuter(wBelow, hBelow);
    QCOMPARE(snapshot(), laidOut);

    for (const QSize outer : {QSize(wBelow + 1, hBelow + 1), QSize(big + 100, big), QSize(1000, 640)}) {
      resizeOuter(outer.width(), outer.height());
      const int W = PixelsToTwips(outer.width(), dx), H = PixelsToTwips(outer.height(), dy);
      QCOMPARE(form.WebBrowser.geometry(), QRect(x(50), y(50), x(W - 200), y(H - 1280)));
      QCOMPARE(form.LabelCall.y(), y(H - 900));
      QCOMPARE(form.Callsign.y(), y(H - 1000));
      QCOMPARE(form.CommandSearch.y(), y(H - 1000));
      QCOMPARE(form.LabelStatus.y(), y(H - 900));
      QCOMPARE(form.CommandBack.pos(), QPoint(x(W - 2500), y(H - 1000)));
      QCOMPARE(form.CommandForward.pos(), QPoint(x(W - 1500), y(H - 1000)));
      QCOMPARE(form.TextCommand.y(), y(H + 1000));
      QCOMPARE(form.TextDXCC.y(), y(H + 1000));
      // What the resize does not set keeps its value.
      QCOMPARE(form.LabelCall.x(), labelCall.x());
      QCOMPARE(form.LabelCall.size(), labelCall.size());
      // The data carriers are out of sight, below the window.
      QVERIFY(form.TextCommand.y() >= form.height());
      QVERIFY(form.TextDXCC.y() >= form.height());
    }
  }
};

CALLSCOPE_TEST_MAIN(CallscopeWindowTest)
#include "callscope_window_test.moc"
