// The lookup window following WSJT-X over UDP, against a web server on
// 127.0.0.1: DX calls looked up in the callbook of their country, a
// repeated one not, the status line through Close and a lost heartbeat;
// callsigns typed by hand under Sorrel and without a country file; and the
// start without Sorrel that offers to listen for WSJT-X.
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

#include "callscope_test_support.h"
#include "weblookup/form1.h"
#include "wsjtx_test_datagrams.h"

using namespace callscope;
using callscope_test::PageServer;
using callscope_test::SorrelOnBus;
using callscope_test::SorrelSim;

Q_DECLARE_METATYPE(callscope::wsjtx::DecodeError)

namespace {

const char kCountries[] =
    "Fed. Rep. of Germany:  14:  28:  EU:   51.00:   -10.00:    -1.0:  DL:\n    DA,DB,DC,DD,DJ,DK,DL,DM;\n"
    "European Russia:       16:  29:  EU:   53.65:   -41.37:    -4.0:  UA:\n    R,U;\n"
    "Asiatic Russia:        17:  30:  AS:   55.88:   -84.08:    -7.0:  UA9:\n    R0,R8,R9,UA0,UA8,UA9;\n"
    "Canada:                05:  09:  NA:   44.35:    78.75:     5.0:  VE:\n    VA,VE,VO,VY;\n"
    "United States:         05:  08:  NA:   37.60:    91.87:     5.0:  K:\n    AA,K,N,W;\n";

std::shared_ptr<const CountryPrefixes> Countries() {
  static const auto table = std::make_shared<const CountryPrefixes>(CountryPrefixes::Parse(kCountries));
  return table;
}

HostLinkChoice Link(HostLinkKind kind, const char* address = "127.0.0.1", quint16 port = 0) {
  HostLinkChoice c;
  c.kind = kind;
  c.udp.address = QHostAddress(QString::fromLatin1(address));
  c.udp.port = port;
  return c;
}

// Answers the message box of the given name, when it comes, with the
// button of the given text, and remembers what the box said.
class BoxAnswer {
 public:
  BoxAnswer(const QString& name, const QString& button) {
    QObject::connect(&poll_, &QTimer::timeout, [this, name, button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || box->objectName() != name) return;
      ++seen;
      text = box->text();
      informative = box->informativeText();
      for (QAbstractButton* b : box->buttons()) {
        const QString label = b->text().remove(u'&');
        buttons << label;
        if (label == button) b->click();
      }
    });
    poll_.start(20);
    // Never leave the test hanging on a box nobody closes.
    giveUp_.setSingleShot(true);
    QObject::connect(&giveUp_, &QTimer::timeout, [] {
      if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    giveUp_.start(60000);
  }

  int seen = 0;
  QString text, informative;
  QStringList buttons;

 private:
  QTimer poll_, giveUp_;
};

}  // namespace

class CallscopeWsjtxTest : public QObject {
  Q_OBJECT

  PageServer server_;
  QTemporaryDir config_;

  CallbookHosts LocalHosts() const {
    CallbookHosts h;
    h.general = h.canadian = h.russian = server_.Host();
    return h;
  }
  QUrl Local(const QString& target) const { return QUrl(QStringLiteral("http://") + server_.Host() + target); }

  static void Type(Form1& form, const QString& call) {
    form.Callsign.selectAll();
    QTest::keyClicks(&form.Callsign, call);
    QTest::keyClick(&form.Callsign, Qt::Key_Return);
  }

 private slots:
  void initTestCase() {
    QVERIFY(server_.Listening());
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());  // never the user's own settings
    qRegisterMetaType<wsjtx::DecodeError>();
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "the test needs its own session bus (dbus-run-session)");
    QVERIFY(!SorrelOnBus());
  }

  // WSJT-X's DX calls DL1ABC, UA9ABC, UA9ABC again, then Close: two
  // lookups in the callbooks of their countries, the status line following.
  void followsWsjtx() {
    Form1 form(LocalHosts());
    form.SetHostLink(Link(HostLinkKind::Wsjtx));
    form.SetCountryPrefixes(Countries());
    QVERIFY(form.FormInitialize());
    QVERIFY(form.Wsjtx());
    const QString link = "WSJT-X " + form.Wsjtx()->Endpoint().Text() + " \u2014 ";
    QCOMPARE(form.LinkState(), link + "idle");
    QCOMPARE(form.LabelLink.text(), link + "idle");
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    QSignalSpy read(form.Wsjtx(), &WsjtxListener::DatagramRead);
    wsjtx_test::Sender wsjtx(QHostAddress::LocalHost, form.Wsjtx()->Endpoint().port);

    QVERIFY(wsjtx.Send(wsjtx_test::Status("WSJT-X", "DL1ABC")));
    QVERIFY(navigations.wait(30000));
    QCOMPARE(navigations.at(0).at(0).toUrl(), Local("/callsign/DL1ABC"));
    QCOMPARE(form.Callsign.text(), QString("DL1ABC"));
    QCOMPARE(form.TextDXCC.text(), QString("DL"));
    QCOMPARE(form.LabelStatus.text(), QString("Looking for DL1ABC in QRZ database..."));
    QTRY_VERIFY_WITH_TIMEOUT(server_.Pages().contains("/callsign/DL1ABC"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(form.LabelStatus.text(), QString(), 30000);  // the page came
    QCOMPARE(form.LabelLink.text(), link + "DL1ABC \u00b7 QRZ database");
    QVERIFY(!form.LabelLink.isHidden());

    QVERIFY(wsjtx.Send(wsjtx_test::Status("WSJT-X", "UA9ABC")));
    QTRY_COMPARE_WITH_TIMEOUT(navigations.count(), 2, 30000);
    QCOMPARE(navigations.at(1).at(0).toUrl(), Local("/CGI-BIN/FCS.EXE/runquery?CallSign=UA9ABC"));
    QCOMPARE(form.TextDXCC.text(), QString("UA9"));
    QTRY_COMPARE_WITH_TIMEOUT(form.LabelLink.text(), link + "UA9ABC \u00b7 Russian database", 30000);

    QVERIFY(wsjtx.Send(wsjtx_test::Status("WSJT-X", "UA9ABC")));
    QVERIFY(wsjtx.Send(wsjtx_test::Close("WSJT-X")));
    QTRY_COMPARE_WITH_TIMEOUT(read.count(), 4, 30000);
    QCOMPARE(navigations.count(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(form.LabelStatus.text(), QString(), 30000);
    QCOMPARE(form.LabelLink.text(), link + "idle \u00b7 Russian database");
    QTRY_COMPARE_WITH_TIMEOUT(server_.Pages().count("/CGI-BIN/FCS.EXE/runquery?CallSign=UA9ABC"), 1, 30000);
    QCOMPARE(server_.Pages().count("/callsign/DL1ABC"), 1);
  }

  // No datagram for three heartbeat intervals: idle, on the test's clock.
  void lostHeartbeat() {
    Form1 form(LocalHosts());
    form.SetHostLink(Link(HostLinkKind::Wsjtx));
    QVERIFY(form.FormInitialize());
    WsjtxListener& l = *form.Wsjtx();
    qint64 now = 0;
    l.SetClock([&] { return now; });
    QSignalSpy read(&l, &WsjtxListener::DatagramRead);
    wsjtx_test::Sender jtdx(QHostAddress::LocalHost, l.Endpoint().port);
    QVERIFY(jtdx.Send(wsjtx_test::Status("JTDX", "")));
    QVERIFY(read.wait(30000));
    QCOMPARE(form.LinkState(), "WSJT-X " + l.Endpoint().Text() + " \u2014 no DX call");
    now += 3 * 15000 + 1;
    l.CheckHeartbeats();
    QCOMPARE(form.LabelLink.text(), "WSJT-X " + l.Endpoint().Text() + " \u2014 idle");
  }

  // A callsign typed by hand is looked up in the callbook of its own
  // country, not of the prefix Sorrel sent for its station; Sorrel's next
  // station is Sorrel's again.
  void typedByHandUnderSorrel() {
    SorrelSim sim;
    QVERIFY(sim.Start({"Call=UA3ABC", "DxccPrefix=UA", "Command=READY"}));
    Form1 form(LocalHosts());
    form.SetCountryPrefixes(Countries());
    QVERIFY(form.FormInitialize());
    QCOMPARE(form.LinkState(), QString("Sorrel"));
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    Type(form, "K1ABC");
    QCOMPARE(navigations.count(), 1);
    QCOMPARE(navigations.at(0).at(0).toUrl(), Local("/callsign/K1ABC"));
    QVERIFY(form.LabelLink.isHidden());  // the lookup's progress is shown in its place
    Type(form, "VE3XYZ");
    form.CommandSearch.click();
    QCOMPARE(navigations.count(), 3);
    QCOMPARE(navigations.at(2).at(0).toUrl(),
             Local("/cgi-bin/cgiwrap/rac/callbook?QueryText=VE3XYZ&QueryType=call&perpage=25"));
    QCOMPARE(form.TextDXCC.text(), QString("UA"));  // Sorrel's, untouched

    sim.Push("Call=UA3XYZ");
    sim.Push("Command=LOOKUP");
    QTRY_COMPARE_WITH_TIMEOUT(navigations.count(), 4, 30000);
    QCOMPARE(navigations.at(3).at(0).toUrl(), Local("/CGI-BIN/FCS.EXE/runquery?CallSign=UA3XYZ"));
    QTRY_COMPARE_WITH_TIMEOUT(form.LabelLink.text(), QString("Sorrel \u00b7 Russian database"), 30000);
  }

  // Without a country file a typed callsign gets no prefix: the general
  // callbook, and the status line says why.
  void typedByHandWithoutCountryFile() {
    Form1 form(LocalHosts());
    form.TextDXCC.setText("UA9");
    QSignalSpy navigations(&form.WebBrowser, &EmbeddedBrowser::BeforeNavigate);
    Type(form, "UA9ABC");
    QCOMPARE(navigations.count(), 1);
    QCOMPARE(navigations.at(0).at(0).toUrl(), Local("/callsign/UA9ABC"));
    QTRY_COMPARE_WITH_TIMEOUT(form.LabelLink.text(), QString("QRZ database (no country file)"), 30000);
  }

  // Without Sorrel, the automatic choice offers WSJT-X instead of ending.
  void withoutSorrelOffersWsjtx() {
    QVERIFY(!SorrelOnBus());
    {
      Form1 form(LocalHosts());
      form.SetHostLink(Link(HostLinkKind::Automatic));
      BoxAnswer answer("SorrelMissing", "Listen for WSJT-X");
      QVERIFY(form.FormInitialize());
      QCOMPARE(answer.seen, 1);
      QCOMPARE(answer.text, QString("Sorrel is not loaded."));
      QVERIFY(answer.informative.contains("WSJT-X or JTDX on 127.0.0.1:0"));
      QCOMPARE(answer.buttons.size(), 2);
      QVERIFY(form.Wsjtx());
      QVERIFY(form.LinkState().startsWith("WSJT-X 127.0.0.1:"));
      QCOMPARE(form.Callsign.Link().Mode(), LinkMode::None);
    }
    {
      Form1 form(LocalHosts());
      form.SetHostLink(Link(HostLinkKind::Automatic));
      BoxAnswer answer("SorrelMissing", "Close");
      QVERIFY(!form.FormInitialize());
      QCOMPARE(answer.seen, 1);
      QVERIFY(!form.Wsjtx());
    }
  }

  // A port that cannot be listened on: the reason in a message box, then
  // the program ends.
  void listenFailure() {
    Form1 form(LocalHosts());
    form.SetHostLink(Link(HostLinkKind::Wsjtx, "192.0.2.123", 2237));
    BoxAnswer answer("ListenFailure", "OK");
    QVERIFY(!form.FormInitialize());
    QCOMPARE(answer.seen, 1);
    QCOMPARE(answer.text, QString("Callscope cannot listen for WSJT-X."));
    QVERIFY(answer.informative.startsWith("cannot listen on 192.0.2.123:2237"));
    QVERIFY(!form.Wsjtx());
  }
};

CALLSCOPE_TEST_MAIN(CallscopeWsjtxTest)
#include "callscope_wsjtx_test.moc"
