// The WSJT-X listener: which DX calls it follows, from one program and from
// several, when a program counts as gone (on a clock the test moves), the
// bound on programs followed, the socket on 127.0.0.1 and on a multicast
// group shared by two listeners, and the link settings of the command line
// and callscope.conf.
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "weblookup/host_link.h"
#include "weblookup/wsjtx_listener.h"
#include "wsjtx_test_datagrams.h"

using namespace callscope;
using wsjtx_test::Datagram;

Q_DECLARE_METATYPE(callscope::wsjtx::DecodeError)

namespace {

UdpEndpoint Loopback(quint16 port = 0) {
  UdpEndpoint e;
  e.address = QHostAddress::LocalHost;
  e.port = port;
  return e;
}

QStringList Calls(const QSignalSpy& spy) {
  QStringList out;
  for (const QList<QVariant>& args : spy) out << args.at(0).toString();
  return out;
}

}  // namespace

class WsjtxListenerTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    qRegisterMetaType<wsjtx::DecodeError>();
  }

  void cleanDxCall_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("call");
    QTest::newRow("plain") << QByteArray("DL1ABC") << true << "DL1ABC";
    QTest::newRow("lower case, blanks") << QByteArray(" ua9abc ") << true << "UA9ABC";
    QTest::newRow("portable") << QByteArray("EA8/UA3XX/P") << true << "EA8/UA3XX/P";
    QTest::newRow("hashed") << QByteArray("<PJ4/K1ABC>") << true << "PJ4/K1ABC";
    QTest::newRow("empty") << QByteArray() << true << "";
    QTest::newRow("blank") << QByteArray("   ") << true << "";
    QTest::newRow("twenty characters") << QByteArray(20, 'A') << true << QString(20, 'A');
    QTest::newRow("twenty-one") << QByteArray(21, 'A') << false << "";
    QTest::newRow("query") << QByteArray("DL1ABC?q=1") << false << "";
    QTest::newRow("path") << QByteArray("../admin") << false << "";
    QTest::newRow("fragment") << QByteArray("DL1ABC#x") << false << "";
    QTest::newRow("inner blank") << QByteArray("DL1 ABC") << false << "";
    QTest::newRow("Cyrillic") << QByteArray("Д1ABC") << false << "";
    QTest::newRow("zero byte") << QByteArray("DL1\0ABC", 7) << false << "";
    QTest::newRow("not UTF-8") << QByteArray("DL1\xff") << false << "";
  }
  void cleanDxCall() {
    QFETCH(QByteArray, field);
    QFETCH(bool, usable);
    QFETCH(QString, call);
    const std::optional<QString> clean = CleanDxCall(field.toStdString());
    QCOMPARE(clean.has_value(), usable);
    if (usable) QCOMPARE(*clean, call);
  }

  // A DX call is followed when it is new for its program and not empty;
  // one that is not a callsign changes nothing.
  void followsNewDxCalls() {
    WsjtxListener l(Loopback());
    QSignalSpy chosen(&l, &WsjtxListener::DxCallChosen);
    QSignalSpy state(&l, &WsjtxListener::StateChanged);
    QVERIFY(!l.Active());
    l.Receive(wsjtx_test::Heartbeat("WSJT-X").Bytes());
    QVERIFY(l.Active());
    QCOMPARE(l.DxCall(), QString());
    QCOMPARE(state.count(), 1);
    for (const char* call : {"DL1ABC", "DL1ABC", "dl1abc", "UA9ABC", "UA9ABC", "DL1ABC?x", "", "", "UA9ABC"})
      l.Receive(wsjtx_test::Status("WSJT-X", call).Bytes());
    QCOMPARE(Calls(chosen), QStringList({"DL1ABC", "UA9ABC", "UA9ABC"}));
    QCOMPARE(l.DxCall(), QString("UA9ABC"));
    // A Status of an older sender, a QSO logged and other messages of the
    // program's change nothing.
    Datagram oldest(2, 1, "WSJT-X");
    oldest << quint64(7074000) << "JT65" << "UA9ABC";
    l.Receive(oldest.Bytes());
    l.Receive((Datagram(3, 5, "WSJT-X") << qint64(2460432) << quint32(0) << quint8(1) << "UA9ABC").Bytes());
    l.Receive(Datagram(3, 3, "WSJT-X").Bytes());
    QCOMPARE(chosen.count(), 3);
  }

  // Two programs repeating their own DX calls in turn are each followed
  // once; the link goes idle when the last of them closes.
  void severalPrograms() {
    WsjtxListener l(Loopback());
    QSignalSpy chosen(&l, &WsjtxListener::DxCallChosen);
    for (int round = 0; round < 3; ++round) {
      l.Receive(wsjtx_test::Status("WSJT-X", "DL1ABC").Bytes());
      l.Receive(wsjtx_test::Status("JTDX", "UA9ABC").Bytes());
    }
    QCOMPARE(Calls(chosen), QStringList({"DL1ABC", "UA9ABC"}));
    QCOMPARE(l.ProgramCount(), size_t(2));
    l.Receive(wsjtx_test::Close("WSJT-X").Bytes());
    QVERIFY(l.Active());
    QCOMPARE(l.DxCall(), QString("UA9ABC"));
    l.Receive(wsjtx_test::Close("WSJT-X").Bytes());  // again: nothing to close
    l.Receive(wsjtx_test::Close("MSHV").Bytes());    // never heard of
    QVERIFY(l.Active());
    l.Receive(wsjtx_test::Close("JTDX").Bytes());
    QVERIFY(!l.Active());
    QCOMPARE(l.DxCall(), QString());
    // A program that comes back is followed afresh, its old call too.
    l.Receive(wsjtx_test::Status("JTDX", "UA9ABC").Bytes());
    QCOMPARE(Calls(chosen), QStringList({"DL1ABC", "UA9ABC", "UA9ABC"}));
  }

  // Commands a server sends to a program, types not known and refused
  // datagrams are no sign of any program.
  void onlyProgramsCount() {
    WsjtxListener l(Loopback());
    QSignalSpy read(&l, &WsjtxListener::DatagramRead);
    l.Receive(Datagram(3, 7, "WSJT-X").Bytes());                             // Replay
    l.Receive((Datagram(3, 8, "WSJT-X") << true).Bytes());                   // Halt Tx
    l.Receive((Datagram(3, 42, "WSJT-X") << "DL1ABC").Bytes());              // unknown
    l.Receive((Datagram(4, 1, "WSJT-X") << quint64(0) << "FT8" << "DL1ABC").Bytes());  // schema 4
    l.Receive(wsjtx_test::Status("WSJT-X", "DL1ABC").Bytes().chopped(1));
    QVERIFY(!l.Active());
    QCOMPARE(read.count(), 5);
    QCOMPARE(read.at(3).at(0).value<wsjtx::DecodeError>(), wsjtx::DecodeError::UnknownSchema);
    QCOMPARE(read.at(4).at(0).value<wsjtx::DecodeError>(), wsjtx::DecodeError::Truncated);
    l.Receive((Datagram(3, 2, "WSJT-X") << true).Bytes());  // a Decode: the program is there
    QVERIFY(l.Active());
  }

  // A program not heard from for more than three heartbeat intervals is
  // gone; any datagram of its own keeps it.
  void heartbeatLoss() {
    WsjtxListener l(Loopback());
    qint64 now = 1000000;
    l.SetClock([&] { return now; });
    l.SetHeartbeatInterval(std::chrono::milliseconds(15000));
    QSignalSpy state(&l, &WsjtxListener::StateChanged);
    l.Receive(wsjtx_test::Status("WSJT-X", "DL1ABC").Bytes());
    l.Receive(wsjtx_test::Heartbeat("JTDX").Bytes());
    QCOMPARE(state.count(), 1);
    now += 30000;
    l.Receive(wsjtx_test::Heartbeat("JTDX").Bytes());
    now += 15000;  // WSJT-X: exactly three intervals
    l.CheckHeartbeats();
    QCOMPARE(l.ProgramCount(), size_t(2));
    now += 1;
    l.CheckHeartbeats();
    QCOMPARE(l.ProgramCount(), size_t(1));  // WSJT-X is gone, JTDX still there
    QVERIFY(l.Active());
    QCOMPARE(l.DxCall(), QString("DL1ABC"));
    now += 30000;
    l.CheckHeartbeats();
    QVERIFY(!l.Active());
    QCOMPARE(l.DxCall(), QString());
    QCOMPARE(state.count(), 2);
  }

  // The listener's own timer drops a quiet program (an interval short
  // enough for a test; how soon it happens is not asserted).
  void heartbeatTimer() {
    WsjtxListener l(Loopback());
    l.SetHeartbeatInterval(std::chrono::milliseconds(20));
    l.Receive(wsjtx_test::Heartbeat("WSJT-X").Bytes());
    QTRY_VERIFY_WITH_TIMEOUT(!l.Active(), 30000);
  }

  // Datagrams under ever new ids cannot grow the list of programs: the one
  // heard from least recently goes.
  void programsBounded() {
    WsjtxListener l(Loopback());
    qint64 now = 0;
    l.SetClock([&] { return now; });
    l.Receive(wsjtx_test::Status("WSJT-X", "DL1ABC").Bytes());
    for (int i = 0; i < 1000; ++i) {
      ++now;
      if (i % 10 == 0) l.Receive(wsjtx_test::Heartbeat("WSJT-X").Bytes());  // heard from all along
      l.Receive(wsjtx_test::Heartbeat("id" + QByteArray::number(i)).Bytes());
    }
    QCOMPARE(l.ProgramCount(), WsjtxListener::kMaxPrograms);
    QSignalSpy chosen(&l, &WsjtxListener::DxCallChosen);
    l.Receive(wsjtx_test::Status("WSJT-X", "DL1ABC").Bytes());  // still known: not new
    QCOMPARE(chosen.count(), 0);
  }

  // Over the socket on 127.0.0.1: hostile and oversized datagrams are
  // dropped, the Status after them is followed.
  void overTheSocket() {
    WsjtxListener l(Loopback());
    l.Start();
    QVERIFY(l.Endpoint().port != 0);
    QSignalSpy chosen(&l, &WsjtxListener::DxCallChosen);
    QSignalSpy read(&l, &WsjtxListener::DatagramRead);
    wsjtx_test::Sender s(QHostAddress::LocalHost, l.Endpoint().port);
    QVERIFY(s.Send(QByteArray(20000, '\xad')));
    QVERIFY(s.Send(QByteArray("garbage")));
    QVERIFY(s.Send(wsjtx_test::Status("WSJT-X", "UA9ABC").Bytes().left(40)));
    QVERIFY(s.Send(wsjtx_test::Status("WSJT-X", "UA9ABC")));
    QVERIFY(chosen.wait(30000));
    QCOMPARE(Calls(chosen), QStringList({"UA9ABC"}));
    QTRY_COMPARE_WITH_TIMEOUT(read.count(), 4, 30000);
    QCOMPARE(read.at(0).at(0).value<wsjtx::DecodeError>(), wsjtx::DecodeError::Oversized);
    QCOMPARE(read.at(1).at(0).value<wsjtx::DecodeError>(), wsjtx::DecodeError::NotWsjtx);
    QCOMPARE(read.at(2).at(0).value<wsjtx::DecodeError>(), wsjtx::DecodeError::Truncated);
  }

  // Two listeners on one multicast group and port both follow the program.
  void sharedMulticastGroup() {
    UdpEndpoint group;
    group.address = QHostAddress("239.255.18.37");
    group.port = 0;
    WsjtxListener first(group);
    first.Start();
    group.port = first.Endpoint().port;
    WsjtxListener second(group);
    second.Start();
    QSignalSpy one(&first, &WsjtxListener::DxCallChosen);
    QSignalSpy two(&second, &WsjtxListener::DxCallChosen);
    wsjtx_test::Sender s(group.address, group.port);
    QVERIFY(s.Send(wsjtx_test::Status("WSJT-X", "VE3XYZ")));
    QTRY_COMPARE_WITH_TIMEOUT(one.count(), 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(two.count(), 1, 30000);
    QCOMPARE(Calls(two), QStringList({"VE3XYZ"}));
  }

  // A unicast port is shared with other listeners too; one that a program
  // holds for itself, or an address not of this machine, is refused with
  // the reason.
  void listenFailures() {
    WsjtxListener first(Loopback());
    first.Start();
    WsjtxListener second(Loopback(first.Endpoint().port));
    second.Start();

    QUdpSocket exclusive;
    QVERIFY(exclusive.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
    WsjtxListener taken(Loopback(exclusive.localPort()));
    QVERIFY_THROWS_EXCEPTION(WsjtxListenError, taken.Start());
    UdpEndpoint elsewhere;
    elsewhere.address = QHostAddress("192.0.2.123");  // documentation network, never this machine's
    WsjtxListener away(elsewhere);
    try {
      away.Start();
      QFAIL("bound an address that is not this machine's");
    } catch (const WsjtxListenError& e) {
      QVERIFY2(QString(e.what()).startsWith("cannot listen on 192.0.2.123:2237: "), e.what());
    }
  }

  void endpoints_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("endpoint");  // empty: refused
    QTest::newRow("port") << "2237" << "127.0.0.1:2237";
    QTest::newRow("group") << "224.0.0.73:2237" << "224.0.0.73:2237";
    QTest::newRow("unicast") << "127.0.0.1:2238" << "127.0.0.1:2238";
    QTest::newRow("any") << "0.0.0.0:2237" << "0.0.0.0:2237";
    QTest::newRow("IPv6") << "[ff02::1]:2237" << "[ff02::1]:2237";
    QTest::newRow("highest port") << "65535" << "127.0.0.1:65535";
    QTest::newRow("port 0") << "0" << "";
    QTest::newRow("port too high") << "65536" << "";
    QTest::newRow("signed port") << "+2237" << "";
    QTest::newRow("name") << "localhost:2237" << "";
    QTest::newRow("bare IPv6") << "ff02::1:2237" << "";
    QTest::newRow("no port") << "224.0.0.73:" << "";
    QTest::newRow("no address") << ":2237" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("bad address") << "224.0.0.999:2237" << "";
  }
  void endpoints() {
    QFETCH(QString, text);
    QFETCH(QString, endpoint);
    const std::optional<UdpEndpoint> e = ParseUdpEndpoint(text);
    QCOMPARE(e ? e->Text() : QString(), endpoint);
  }

  // callscope.conf chooses, the command line overrides.
  void linkSettings() {
    // A file of its own for each case: QSettings caches a file by its
    // name, and a rewrite within the same tick may go unseen.
    int files = 0;
    const auto conf = [&](const QByteArray& text) {
      const QString path = dir_.filePath(QString("link%1.conf").arg(++files));
      QFile f(path);
      if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size()) qFatal("cannot write");
      return path;
    };
    QCOMPARE(LoadHostLink(dir_.filePath("missing.conf")).kind, HostLinkKind::Automatic);
    QCOMPARE(LoadHostLink(conf("[Hosts]\nGeneral=example.org\n")).kind, HostLinkKind::Automatic);
    HostLinkChoice c = LoadHostLink(conf("[WSJT-X]\nPort=2238\n"));
    QCOMPARE(c.kind, HostLinkKind::Wsjtx);
    QCOMPARE(c.udp.Text(), QString("127.0.0.1:2238"));
    QCOMPARE(LoadHostLink(conf("[WSJT-X]\nAddress=239.255.0.1\n")).udp.Text(), QString("239.255.0.1:2237"));
    QCOMPARE(LoadHostLink(conf("[Link]\nHost=Sorrel\n[WSJT-X]\nPort=2238\n")).kind, HostLinkKind::Sorrel);
    QCOMPARE(LoadHostLink(conf("[Link]\nHost=wsjt-x\n")).kind, HostLinkKind::Wsjtx);
    for (const QByteArray bad : {"[Link]\nHost=Logger\n", "[WSJT-X]\nPort=99999\n", "[WSJT-X]\nAddress=radio\n"})
      QVERIFY_THROWS_EXCEPTION(HostLinkError, LoadHostLink(conf(bad)));

    QStringList args{"-platform", "offscreen", "--udp", "224.0.0.73:2237", "--x"};
    c = ApplyLinkArguments(HostLinkChoice{HostLinkKind::Sorrel, {}}, args);
    QCOMPARE(c.kind, HostLinkKind::Wsjtx);
    QCOMPARE(c.udp.Text(), QString("224.0.0.73:2237"));
    QCOMPARE(args, QStringList({"-platform", "offscreen", "--x"}));
    args = {"--udp=2240", "--sorrel"};
    QCOMPARE(ApplyLinkArguments(HostLinkChoice{HostLinkKind::Automatic, {}}, args).kind, HostLinkKind::Sorrel);
    for (const QStringList& bad : {QStringList{"--udp"}, QStringList{"--udp", "x"}, QStringList{"--udp="}}) {
      args = bad;
      QVERIFY_THROWS_EXCEPTION(HostLinkError, ApplyLinkArguments(HostLinkChoice{}, args));
    }
  }
};

QTEST_GUILESS_MAIN(WsjtxListenerTest)
#include "wsjtx_listener_test.moc"
