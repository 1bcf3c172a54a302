// The country prefix of a callsign: the country file's format on a small
// file this test writes in it, where the country file is found, and a table
// of callsigns with their DXCC primary prefixes against the cty.dat of
// Debian's hamradio-files package (skipped when it is not installed).
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "weblookup/country_prefixes.h"

using namespace callscope;

namespace {

// Entities shaped as cty.dat has them (prefixes shortened): overrides of
// every kind, whole calls, lines continued, a WAE-only entity, and a
// record that is not one.
const char kCountryFile[] =
    "Fed. Rep. of Germany:     14:  28:  EU:   51.00:   -10.00:    -1.0:  DL:\r\n"
    "    DA,DB,DC,DD,DE,DF,DG,DH,DI,DJ,DK,DL,DM,DN,DO,DP,DQ,DR,=DL50FRANCE(14)[27];\r\n"
    "European Russia:          16:  29:  EU:   53.65:   -41.37:    -4.0:  UA:\r\n"
    "    R,U,=RA9ABC/3,=R7AB/M;\r\n"
    "Kaliningrad:              15:  29:  EU:   54.72:   -20.52:    -3.0:  UA2:\r\n"
    "    R2F,R2K,RA2,UA2,=R2/DK2AI,=UA2FM/MM(13);\r\n"
    "Asiatic Russia:           17:  30:  AS:   55.88:   -84.08:    -7.0:  UA9:\r\n"
    "    R0(19)[33],R8,R9,RA0(19)[33],RA8,RA9,UA0(19)[33],UA8,UA9,\r\n"
    "    =UA3ABC/0(18)[31];\r\n"
    "Canada:                   05:  09:  NA:   44.35:    78.75:     5.0:  VE:\r\n"
    "    CY,VA,VE,VO1(5)[9],VY,=VE2IM(2)[4]{NA}<45.50/73.58>~-5.0~;\r\n"
    "United States of America: 05:  08:  NA:   37.60:    91.87:     5.0:  K:\r\n"
    "    AA,K,N,W,=KP4XX(5)[8],=kh6abc;\r\n"
    "Hawaii:                   31:  61:  OC:   21.12:   157.48:    10.0:  KH6:\r\n"
    "    KH6,KH7;\r\n"
    "Canary Islands:           33:  36:  AF:   28.32:    15.85:     0.0:  EA8:\r\n"
    "    AM8,AN8,EA8,EB8;\r\n"
    "Spain:                    14:  37:  EU:   40.37:     4.88:    -1.0:  EA:\r\n"
    "    AM,AN,AO,EA,EB,EC,ED,EE,EF,EG,EH;\r\n"
    "Sicily:                   15:  28:  EU:   37.50:   -14.00:    -1.0:  *IT9:\r\n"
    "    IB9,ID9,IT9,=IT9XYZ;\r\n"
    "Italy:                    15:  28:  EU:   42.82:   -12.58:    -1.0:  I:\r\n"
    "    I;\r\n"
    "A record without its header fields: XX: YY;\r\n"
    "Odd tokens:  1:  1:  EU:   0.00:   0.00:   0.0:  QQ:\r\n"
    "    QQ#,Q?Q,,  ,qq7;\r\n";

void Write(const QString& path, const QByteArray& text) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  QCOMPARE(f.write(text), text.size());
}

}  // namespace

class CountryPrefixesTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void fileFormat_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("prefix") << "DL1ABC" << "DL";
    QTest::newRow("longest prefix wins") << "UA2FF" << "UA2";
    QTest::newRow("one letter prefix") << "UA3ABC" << "UA";
    QTest::newRow("prefix with overrides") << "RA0AA" << "UA9";
    QTest::newRow("whole call") << "DL50FRANCE" << "DL";
    QTest::newRow("whole call with every override") << "VE2IM" << "VE";
    QTest::newRow("whole call, not as prefix") << "DL50FRANCEX" << "DL";
    QTest::newRow("whole call with a slash") << "R2/DK2AI" << "UA2";
    QTest::newRow("whole call before its rules") << "UA2FM/MM" << "UA2";
    QTest::newRow("whole call before area digit") << "UA3ABC/0" << "UA9";
    QTest::newRow("whole call before stripped suffix") << "R7AB/M" << "UA";
    QTest::newRow("whole call after the suffix goes") << "KP4XX/P" << "K";
    QTest::newRow("whole call written in lower case") << "KH6ABC" << "K";
    QTest::newRow("prefix on a continued line") << "UA9XX" << "UA9";
    QTest::newRow("WAE entity left out") << "IT9ABC" << "I";
    QTest::newRow("WAE whole call left out") << "IT9XYZ" << "I";
    QTest::newRow("lower case") << "ua9abc" << "UA9";
    QTest::newRow("blanks") << "  ve3xyz " << "VE";
    QTest::newRow("hashed call") << "<KH6ABC>" << "K";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("no entity") << "ZZ1ABC" << "";
    QTest::newRow("odd tokens skipped") << "QQ1ABC" << "";
    QTest::newRow("lower-case token kept") << "QQ7ABC" << "QQ";
    QTest::newRow("only slashes") << "///" << "";
    QTest::newRow("portable") << "UA3XX/P" << "UA";
    QTest::newRow("maritime mobile") << "UA9XX/MM" << "UA9";
    QTest::newRow("two suffixes") << "DL1ABC/M/QRP" << "DL";
    QTest::newRow("prefix first") << "EA8/UA3XX" << "EA8";
    QTest::newRow("prefix last") << "UA3XX/EA8" << "EA8";
    QTest::newRow("prefix of letters only") << "K/DL1ABC" << "K";
    QTest::newRow("prefix names nothing") << "DL1ABC/ZZ" << "DL";
    QTest::newRow("area digit") << "UA3XX/9" << "UA9";
    QTest::newRow("area digit back to Europe") << "UA9XX/3" << "UA";
    QTest::newRow("area digit of a Kaliningrad call") << "R2FA/0" << "UA9";
    QTest::newRow("area digit then suffix") << "RA3XX/9/P" << "UA9";
    QTest::newRow("three parts") << "EA8/UA3XX/9" << "EA8";
  }
  void fileFormat() {
    QFETCH(QString, call);
    QFETCH(QString, prefix);
    static const CountryPrefixes table = CountryPrefixes::Parse(kCountryFile);
    QCOMPARE(table.PrimaryPrefix(call), prefix);
  }

  void entitiesCounted() {
    // Twelve records with a header, the WAE one left out.
    QCOMPARE(CountryPrefixes::Parse(kCountryFile).EntityCount(), 11);
  }

  // A country file that is missing, empty, not one, or a directory is
  // refused with the reason; nothing is half-read.
  void unusableFiles() {
    const auto refused = [](const QString& path) {
      try {
        (void)CountryPrefixes::Load(path);
      } catch (const CountryFileError& e) {
        return QString::fromStdString(e.what());
      }
      return QString();
    };
    QVERIFY(refused(dir_.filePath("missing.dat")).startsWith("cannot read"));
    Write(dir_.filePath("empty.dat"), "");
    QVERIFY(refused(dir_.filePath("empty.dat")).contains("no country entity"));
    Write(dir_.filePath("text.dat"), "This is not a country file.\nNor; is: this;\n");
    QVERIFY(refused(dir_.filePath("text.dat")).contains("no country entity"));
    Write(dir_.filePath("binary.dat"), QByteArray(4096, '\xff') + QByteArray(100, ':') + QByteArray("\0;", 2));
    QVERIFY(!refused(dir_.filePath("binary.dat")).isEmpty());
    QVERIFY(!refused(dir_.path()).isEmpty());
    Write(dir_.filePath("cty.dat"), kCountryFile);
    QCOMPARE(CountryPrefixes::Load(dir_.filePath("cty.dat")).PrimaryPrefix("VE3XYZ"), QString("VE"));
  }

  // The configured file, whether it exists or not; else the first data
  // directory that has hamradio-files/cty.dat; else none.
  void whereTheFileIs() {
    const QByteArray saved = qgetenv("XDG_DATA_DIRS");
    const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_DIRS", saved); });
    QDir(dir_.path()).mkpath("one/hamradio-files");
    QDir(dir_.path()).mkpath("two/hamradio-files");
    Write(dir_.filePath("two/hamradio-files/cty.dat"), kCountryFile);
    const QString none = dir_.filePath("no.conf");

    qputenv("XDG_DATA_DIRS", (dir_.filePath("one") + "::" + dir_.filePath("two")).toUtf8());
    QCOMPARE(FindCountryFile(none), dir_.filePath("two/hamradio-files/cty.dat"));
    qputenv("XDG_DATA_DIRS", dir_.filePath("one").toUtf8());
    QCOMPARE(FindCountryFile(none), QString());

    // Two files: QSettings caches a file by its name.
    Write(dir_.filePath("set.conf"), "[Prefixes]\nCountryFile=/nowhere/cty.dat\n");
    QCOMPARE(FindCountryFile(dir_.filePath("set.conf")), QString("/nowhere/cty.dat"));
    Write(dir_.filePath("empty.conf"), "[Prefixes]\nCountryFile=\n");
    QCOMPARE(FindCountryFile(dir_.filePath("empty.conf")), QString());
  }

  // Callsigns with the primary prefixes of their DXCC entities, against
  // the country file loggers use.
  void dxccEntities_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("prefix");
    const char* const rows[][2] = {
        // Russia's three entities, by prefix and area
        {"UA3ABC", "UA"}, {"RA3AA", "UA"}, {"RN1ABC", "UA"}, {"UA1ABC", "UA"}, {"R2FAA", "UA2"},
        {"UA2FF", "UA2"}, {"RA2AB", "UA2"}, {"UA9ABC", "UA9"}, {"RA9CX", "UA9"}, {"UA0ABC", "UA9"},
        {"RA0AA", "UA9"}, {"R8AA", "UA9"},
        // the longest prefix decides: UA9X is Komi, in European Russia
        {"UA9XX", "UA"}, {"RA9FA", "UA"},
        // Canada
        {"VE3XYZ", "VE"}, {"VA3ABC", "VE"}, {"VY2ABC", "VE"}, {"VO1AA", "VE"}, {"VE7ABC", "VE"},
        // elsewhere
        {"K1ABC", "K"}, {"W1AW", "K"}, {"N2XX", "K"}, {"KH6ZZ", "KH6"}, {"KL7ZZ", "KL"}, {"KP4ZZ", "KP4"},
        {"DL1ABC", "DL"}, {"G4ABC", "G"}, {"M0ABC", "G"}, {"GM4ABC", "GM"}, {"F5ABC", "F"}, {"EA3ABC", "EA"},
        {"EA8ABC", "EA8"}, {"JA1ABC", "JA"}, {"VK2ABC", "VK"}, {"ZL1ABC", "ZL"}, {"PY2ABC", "PY"},
        {"LU1ABC", "LU"}, {"ZS6ABC", "ZS"}, {"4X1ABC", "4X"}, {"UR5ABC", "UR"}, {"EU1ABC", "EU"},
        {"UN7ABC", "UN"}, {"4L1ABC", "4L"}, {"OH2ABC", "OH"}, {"OH0ABC", "OH0"}, {"SM5ABC", "SM"},
        {"LA1ABC", "LA"}, {"JW5ABC", "JW"}, {"9A1ABC", "9A"}, {"S51ABC", "S5"}, {"HL1ABC", "HL"},
        {"VU2ABC", "VU"}, {"CE3ABC", "CE"}, {"BY1ABC", "BY"},
        // WAE-only entities count for their DXCC entity
        {"IT9ABC", "I"}, {"IG9ABC", "I"}, {"TA1ABC", "TA"},
        // portable, mobile, maritime and aeronautical mobile
        {"EA8/UA3XX", "EA8"}, {"UA3XX/EA8", "EA8"}, {"KH6/K1ABC", "KH6"}, {"K1ABC/VE3", "VE"},
        {"VE3XYZ/W1", "K"}, {"F/DL1ABC", "F"}, {"GM/DL1ABC", "GM"}, {"UA3XX/P", "UA"}, {"UA3XX/M", "UA"},
        {"UA3XX/MM", "UA"}, {"UA3XX/AM", "UA"}, {"UA9ABC/P", "UA9"}, {"DL1ABC/P", "DL"}, {"VE3XYZ/M", "VE"},
        {"UA2FF/MM", "UA2"},
        // area suffixes of Russian calls
        {"UA3XX/9", "UA9"}, {"RA3ABC/0", "UA9"}, {"UA9XX/1", "UA"}, {"UA3XX/9/P", "UA9"}, {"UA9XX/9", "UA9"},
        {"K1ABC/6", "K"},
    };
    for (const auto& row : rows) QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]);
  }
  void dxccEntities() {
    static const QString path = FindCountryFile(dir_.filePath("none.conf"));
    if (path.isEmpty()) QSKIP("no cty.dat (install the hamradio-files package)");
    static const CountryPrefixes table = CountryPrefixes::Load(path);
    QFETCH(QString, call);
    QFETCH(QString, prefix);
    QCOMPARE(table.PrimaryPrefix(call), prefix);
  }
};

QTEST_GUILESS_MAIN(CountryPrefixesTest)
#include "country_prefixes_test.moc"
