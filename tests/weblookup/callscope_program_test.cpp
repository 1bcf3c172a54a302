// The callscope and sorrel-sim programs together, as a user runs them: an
// interactive Sorrel stand-in, Callscope following it with its hosts moved
// to a local web server by callscope.conf, then a one-shot
// "sorrel-sim Call=UA3ABC DxccPrefix=UA Command=LOOKUP" that takes the bus
// name over and makes Callscope ask the Russian host for the station.
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "callscope_test_support.h"

using callscope_test::PageServer;
using callscope_test::SorrelOnBus;
using callscope_test::SorrelSim;

class CallscopeProgramTest : public QObject {
  Q_OBJECT

  PageServer server_;
  QTemporaryDir config_;

  bool WriteConfig(const QByteArray& text) {
    QFile f(config_.filePath("callscope.conf"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(text) == text.size();
  }

  void StartCallscope(QProcess& callscope) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config_.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    callscope.setProcessEnvironment(env);
    callscope.setProgram(CALLSCOPE_PATH);
    callscope.setProcessChannelMode(QProcess::ForwardedOutputChannel);  // keep its log out of the way
    callscope.start();
    QVERIFY(callscope.waitForStarted(10000));
  }

  static void End(QProcess& p) {
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(10000)) {
      p.kill();
      p.waitForFinished(5000);
    }
  }

 private slots:
  void initTestCase() {
    QVERIFY(server_.Listening());
    QVERIFY(config_.isValid());
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "the test needs its own session bus (dbus-run-session)");
    QVERIFY(!SorrelOnBus());
  }

  void followsSorrelToTheRussianHost() {
    const QByteArray host = server_.Host().toUtf8();
    QVERIFY(WriteConfig("[Hosts]\nGeneral=" + host + "\nCanadian=" + host + "\nRussian=" + host + "\n"));

    // The first Sorrel has a lookup standing: Callscope's first page shows
    // that it is up and linked.
    SorrelSim first;
    QVERIFY(first.Start({"Call=K1ABC", "DxccPrefix=K", "Command=LOOKUP"}));
    QProcess callscope;
    StartCallscope(callscope);
    QTRY_VERIFY_WITH_TIMEOUT(server_.Pages().contains("/callsign/K1ABC"), 30000);

    // The one-shot command line, its input at an end at once.
    QProcess oneShot;
    oneShot.setProgram(SORREL_SIM_PATH);
    oneShot.setArguments({"Call=UA3ABC", "DxccPrefix=UA", "Command=LOOKUP"});
    oneShot.setProcessChannelMode(QProcess::ForwardedChannels);
    oneShot.start();
    QVERIFY(oneShot.waitForStarted(10000));
    oneShot.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(server_.Pages().contains("/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(oneShot.state(), QProcess::NotRunning, 10000);
    QCOMPARE(oneShot.exitCode(), 0);
    // The first Sorrel gave the name up and ended; Callscope runs on.
    QTRY_COMPARE_WITH_TIMEOUT(first.Process().state(), QProcess::NotRunning, 10000);
    QCOMPARE(callscope.state(), QProcess::Running);
    QCOMPARE(server_.Pages(),
             QStringList({"/callsign/K1ABC", "/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"}));

    // With no Sorrel at all for a while, Callscope waits; a Sorrel started
    // later is followed like the first.
    QTRY_VERIFY(!SorrelOnBus());
    SorrelSim later;
    QVERIFY(later.Start({}));
    later.Push("Call=UA9XX");
    later.Push("DxccPrefix=UA9");
    later.Push("Command=LOOKUP");
    QTRY_VERIFY_WITH_TIMEOUT(server_.Pages().contains("/CGI-BIN/FCS.EXE/runquery?CallSign=UA9XX"), 30000);
    QCOMPARE(callscope.state(), QProcess::Running);
    End(callscope);
  }

  // A mistyped --udp is refused before any window, with what was expected.
  void callscopeRejectsBadEndpoints() {
    for (const QStringList& args : {QStringList{"--udp"}, QStringList{"--udp", "localhost:2237"},
                                    QStringList{"--udp=70000"}}) {
      QProcess p;
      p.setProgram(CALLSCOPE_PATH);
      p.setArguments(args);
      p.start();
      QVERIFY(p.waitForFinished(30000));
      QCOMPARE(p.exitCode(), 2);
      QVERIFY2(p.readAllStandardError().contains("[GROUP:]PORT"), qPrintable(args.join(' ')));
    }
  }

  // sorrel-sim refuses a mistyped command line before publishing anything.
  void simulatorRejectsBadArguments() {
    QProcess sim;
    sim.setProgram(SORREL_SIM_PATH);
    sim.setArguments({"Call=UA3ABC", "Frequency=14025"});
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardError().contains("Frequency=14025"));
    QVERIFY(!SorrelOnBus());
  }
};

CALLSCOPE_TEST_MAIN(CallscopeProgramTest)
#include "callscope_program_test.moc"
