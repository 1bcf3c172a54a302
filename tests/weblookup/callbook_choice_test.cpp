// The callbook choice, the query pages and status texts, the host override
// file and the resize layout: everything of the lookup window that is plain
// computation.
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "weblookup/callbooks.h"
#include "weblookup/embedded_browser.h"
#include "weblookup/layout.h"

using namespace callscope;
Q_DECLARE_METATYPE(callscope::Callbook)

namespace {

void WriteFile(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}

}  // namespace

class CallbookChoiceTest : public QObject {
  Q_OBJECT
 private slots:
  void choiceByPrefix_data() {
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<Callbook>("book");
    QTest::newRow("VE") << "VE" << Callbook::Canadian;
    QTest::newRow("VE3") << "VE3" << Callbook::General;
    QTest::newRow("UA") << "UA" << Callbook::Russian;
    QTest::newRow("UA2") << "UA2" << Callbook::Russian;
    QTest::newRow("UA9") << "UA9" << Callbook::Russian;
    QTest::newRow("UA3") << "UA3" << Callbook::General;
    QTest::newRow("empty") << "" << Callbook::General;
    QTest::newRow("lower ve") << "ve" << Callbook::General;
    QTest::newRow("lower ua") << "ua" << Callbook::General;
    QTest::newRow("padded UA") << " UA" << Callbook::General;
    QTest::newRow("UA90") << "UA90" << Callbook::General;
  }
  void choiceByPrefix() {
    QFETCH(QString, prefix);
    QFETCH(Callbook, book);
    QCOMPARE(ChooseCallbook(prefix), book);
  }

  void pagesAndStatus_data() {
    QTest::addColumn<Callbook>("book");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("status");
    QTest::newRow("general") << Callbook::General << "K1ABC" << "http://www.qrz.com/callsign/K1ABC"
                             << "Looking for K1ABC in QRZ database...";
    QTest::newRow("canadian") << Callbook::Canadian << "VE3XYZ"
                              << "http://www.rac.ca/cgi-bin/cgiwrap/rac/callbook?QueryText=VE3XYZ"
                                 "&QueryType=call&perpage=25"
                              << "Looking for VE3XYZ in Canadian database...";
    QTest::newRow("russian") << Callbook::Russian << "UA3ABC" << "www.qrz.ru/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"
                             << "Looking for UA3ABC in Russian database...";
    // An empty callsign still makes a page: the bare query.
    QTest::newRow("general empty") << Callbook::General << "" << "http://www.qrz.com/callsign/"
                                   << "Looking for  in QRZ database...";
    QTest::newRow("canadian empty") << Callbook::Canadian << ""
                                    << "http://www.rac.ca/cgi-bin/cgiwrap/rac/callbook?QueryText="
                                       "&QueryType=call&perpage=25"
                                    << "Looking for  in Canadian database...";
    QTest::newRow("russian empty") << Callbook::Russian << "" << "www.qrz.ru/CGI-BIN/FCS.EXE/runquery?CallSign="
                                   << "Looking for  in Russian database...";
    // The callsign goes in as typed: no trimming, no escaping.
    QTest::newRow("as typed") << Callbook::Russian << " ua3abc/p " << "www.qrz.ru/CGI-BIN/FCS.EXE/runquery?CallSign= ua3abc/p "
                              << "Looking for  ua3abc/p  in Russian database...";
  }
  void pagesAndStatus() {
    QFETCH(Callbook, book);
    QFETCH(QString, call);
    QFETCH(QString, url);
    QFETCH(QString, status);
    const CallbookHosts hosts;
    QCOMPARE(LookupUrl(book, hosts.For(book), call), url);
    QCOMPARE(LookupStatus(book, call), status);
  }

  // The Russian page has no scheme; the browser must take it as http, with
  // a port when the host has one (an "ip:port" must not read as a scheme).
  void addressWithoutScheme() {
    QCOMPARE(EmbeddedBrowser::AddressUrl("www.qrz.ru/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"),
             QUrl("http://www.qrz.ru/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"));
    const QUrl local = EmbeddedBrowser::AddressUrl("127.0.0.1:8080/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC");
    QCOMPARE(local.scheme(), QString("http"));
    QCOMPARE(local.port(), 8080);
    QCOMPARE(local.path(), QString("/CGI-BIN/FCS.EXE/runquery"));
    QCOMPARE(local.query(), QString("CallSign=UA3ABC"));
    const QUrl named = EmbeddedBrowser::AddressUrl("localhost:8080/x");
    QCOMPARE(named.scheme(), QString("http"));
    QCOMPARE(named.host(), QString("localhost"));
    QCOMPARE(EmbeddedBrowser::AddressUrl("http://www.qrz.com/callsign/K1ABC"), QUrl("http://www.qrz.com/callsign/K1ABC"));
    QCOMPARE(EmbeddedBrowser::AddressUrl("about:blank"), QUrl("about:blank"));
  }

  void configDirectory() {
    const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("XDG_CONFIG_HOME", "/tmp/xdg-here");
    QCOMPARE(CallscopeConfigPath(), QString("/tmp/xdg-here/callscope.conf"));
    qputenv("XDG_CONFIG_HOME", "");
    qputenv("HOME", "/tmp/home-here");
    QCOMPARE(CallscopeConfigPath(), QString("/tmp/home-here/.config/callscope.conf"));
    qputenv("XDG_CONFIG_HOME", "relative/dir");  // not absolute: ignored, as XDG says
    QCOMPARE(CallscopeConfigPath(), QString("/tmp/home-here/.config/callscope.conf"));
    qputenv("XDG_CONFIG_HOME", savedXdg);
    qputenv("HOME", savedHome);
  }

  void hostOverride() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString conf = dir.filePath("callscope.conf");

    const CallbookHosts defaults = LoadCallbookHosts(conf);  // no file yet
    QCOMPARE(defaults.general, QString("www.qrz.com"));
    QCOMPARE(defaults.canadian, QString("www.rac.ca"));
    QCOMPARE(defaults.russian, QString("www.qrz.ru"));

    WriteFile(conf, "[Hosts]\nGeneral=127.0.0.1:8001\nCanadian=http://127.0.0.1:8002/\nRussian=127.0.0.1:8003\n");
    CallbookHosts h = LoadCallbookHosts(conf);
    QCOMPARE(h.general, QString("127.0.0.1:8001"));
    QCOMPARE(h.canadian, QString("127.0.0.1:8002"));
    QCOMPARE(h.russian, QString("127.0.0.1:8003"));
    QCOMPARE(LookupUrl(Callbook::Russian, h.russian, "UA3ABC"),
             QString("127.0.0.1:8003/CGI-BIN/FCS.EXE/runquery?CallSign=UA3ABC"));

    // Only the keys present (and not empty) replace a default; other
    // sections are not read.
    WriteFile(conf, "[Other]\nRussian=elsewhere\n[Hosts]\nRussian=cb.example.ru\nGeneral=\n");
    h = LoadCallbookHosts(conf);
    QCOMPARE(h.general, QString("www.qrz.com"));
    QCOMPARE(h.canadian, QString("www.rac.ca"));
    QCOMPARE(h.russian, QString("cb.example.ru"));

    // A file that is not an INI file leaves the defaults.
    WriteFile(conf, QByteArray("\x00\x01\xff garbage [[[ =\n", 20));
    h = LoadCallbookHosts(conf);
    QCOMPARE(h.russian, QString("www.qrz.ru"));

    // Found through XDG_CONFIG_HOME by default.
    WriteFile(conf, "[Hosts]\nGeneral=127.0.0.1:9\n");
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    QCOMPARE(LoadCallbookHosts().general, QString("127.0.0.1:9"));
    qputenv("XDG_CONFIG_HOME", saved);
  }

  void layoutThresholds() {
    // Nothing moves below 1281 twips of height or 2500 of width.
    QVERIFY(!ComputeResizeLayout(2500, 1280));
    QVERIFY(!ComputeResizeLayout(2499, 1281));
    QVERIFY(!ComputeResizeLayout(2499, 9000));
    QVERIFY(!ComputeResizeLayout(0, 0));
    QVERIFY(!ComputeResizeLayout(-5000, 9000));

    std::optional<ResizeLayout> l = ComputeResizeLayout(2500, 1281);
    QVERIFY(l);
    QCOMPARE(l->browserHeight, 1);
    QCOMPARE(l->browserWidth, 2300);
    QCOMPARE(l->backLeft, 0);
    QCOMPARE(l->forwardLeft, 1000);

    l = ComputeResizeLayout(12000, 9000);
    QVERIFY(l);
    QCOMPARE(l->browserTop, 50);
    QCOMPARE(l->browserHeight, 7720);
    QCOMPARE(l->browserLeft, 50);
    QCOMPARE(l->browserWidth, 11800);
    QCOMPARE(l->labelCallTop, 8100);
    QCOMPARE(l->callsignTop, 8000);
    QCOMPARE(l->searchTop, 8000);
    QCOMPARE(l->statusTop, 8100);
    QCOMPARE(l->backTop, 8000);
    QCOMPARE(l->backLeft, 9500);
    QCOMPARE(l->forwardTop, 8000);
    QCOMPARE(l->forwardLeft, 10500);
    QCOMPARE(l->commandTop, 10000);
    QCOMPARE(l->dxccTop, 10000);
  }

  void twipConversions() {
    QCOMPARE(TwipsToPixels(1440, 96), 96);
    QCOMPARE(TwipsToPixels(15, 96), 1);
    QCOMPARE(TwipsToPixels(1280, 96), 85);  // 85.33
    QCOMPARE(TwipsToPixels(1440, 120), 120);
    QCOMPARE(PixelsToTwips(96, 96), 1440);
    QCOMPARE(PixelsToTwips(86, 96), 1290);
    QCOMPARE(PixelsToTwips(100, 144), 1000);
  }
};

QTEST_APPLESS_MAIN(CallbookChoiceTest)
#include "callbook_choice_test.moc"
