// The WSJT-X datagram reader against datagrams built field by field as the
// protocol's message reference lays them out, with Qt's own QDataStream in
// the stream version of each schema (Qt 5.2 for schema 2, Qt 5.4 for 3):
// every message type, senders old and new, cuts at every byte, and
// datagrams made to mislead.
#include <QColor>
#include <QDataStream>
#include <QDateTime>
#include <QTest>
#include <QTimeZone>

#include "weblookup/wsjtx_datagram.h"
#include "wsjtx_test_datagrams.h"

using namespace callscope::wsjtx;
using wsjtx_test::Datagram;
Q_DECLARE_METATYPE(callscope::wsjtx::DecodeError)

namespace {

DecodeResult Decode(const QByteArray& bytes) {
  return DecodeDatagram(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()));
}

QByteArray Hex(const char* hex) { return QByteArray::fromHex(hex); }

Datagram FullStatus(quint32 schema, const char* dxCall = "DL1ABC") {
  return wsjtx_test::Status("WSJT-X", dxCall, schema);
}

Datagram FullQsoLogged(quint32 schema, const QDateTime& off, const QDateTime& on) {
  Datagram d(schema, 5, "JTDX");
  d << off << "UA9ABC" << "MO06" << quint64(14075500) << "FT8" << "-10" << "-15" << "100" << "tnx" << "Ivan"
    << on << "R3ABC" << "UA3ABC" << "KO85" << "" << "" << "";
  return d;
}

}  // namespace

class WsjtxDatagramTest : public QObject {
  Q_OBJECT
 private slots:
  // The header byte by byte, as the reference lays it out, so that the
  // rest of the file may rely on QDataStream writing the same.
  void headerBytes() {
    const QByteArray bytes = Hex(
        "adbccbda"      // magic
        "00000002"      // schema 2
        "00000006"      // type 6, Close
        "00000004"      // id: four bytes
        "4a544458");    // "JTDX"
    const DecodeResult r = Decode(bytes);
    QVERIFY(r.ok());
    QCOMPARE(r.message.schema, 2u);
    QCOMPARE(r.message.type, 6u);
    QCOMPARE(r.message.id, std::string("JTDX"));
    QVERIFY(std::holds_alternative<Close>(r.message.body));
    QCOMPARE(Datagram(2, 6, "JTDX").Bytes(), bytes);
    // A null id (length 0xFFFFFFFF) reads as empty.
    const DecodeResult null = Decode(Hex("adbccbda0000000300000006ffffffff"));
    QVERIFY(null.ok());
    QCOMPARE(null.message.id, std::string());
  }

  void heartbeat_data() {
    QTest::addColumn<quint32>("schema");
    QTest::newRow("schema 2") << 2u;
    QTest::newRow("schema 3") << 3u;
  }
  void heartbeat() {
    QFETCH(quint32, schema);
    Datagram full(schema, 0, "WSJT-X");
    full << quint32(3) << "2.6.1" << "a1b2c3";
    DecodeResult r = Decode(full.Bytes());
    QVERIFY(r.ok());
    QCOMPARE(r.message.schema, schema);
    const auto* h = std::get_if<Heartbeat>(&r.message.body);
    QVERIFY(h);
    QCOMPARE(h->maxSchema, 3u);
    QCOMPARE(h->version, std::string("2.6.1"));
    QCOMPARE(h->revision, std::string("a1b2c3"));
    // A sender older than schema 3 has no maximum schema: it is 2.
    r = Decode(Datagram(schema, 0, "WSJT-X").Bytes());
    QVERIFY(r.ok());
    QCOMPARE(std::get<Heartbeat>(r.message.body).maxSchema, 2u);
  }

  void statusEveryField_data() { heartbeat_data(); }
  void statusEveryField() {
    QFETCH(quint32, schema);
    const DecodeResult r = Decode(FullStatus(schema).Bytes());
    QVERIFY(r.ok());
    QCOMPARE(r.message.id, std::string("WSJT-X"));
    const auto* s = std::get_if<Status>(&r.message.body);
    QVERIFY(s);
    QCOMPARE(s->dialFrequencyHz, quint64(14074000));
    QCOMPARE(s->mode, std::string("FT8"));
    QCOMPARE(s->dxCall, std::string("DL1ABC"));
    QCOMPARE(s->report, std::string("-12"));
    QCOMPARE(s->txMode, std::string("FT8"));
    QCOMPARE(s->txEnabled, true);
    QCOMPARE(s->transmitting, false);
    QCOMPARE(s->decoding, true);
    QCOMPARE(s->rxDf, 1500u);
    QCOMPARE(s->txDf, 1200u);
    QCOMPARE(s->deCall, std::string("UA3ABC"));
    QCOMPARE(s->deGrid, std::string("KO85"));
    QCOMPARE(s->dxGrid, std::string("JO62"));
    QCOMPARE(s->txWatchdog, false);
    QCOMPARE(s->subMode, std::string());
    QCOMPARE(s->fastMode, false);
    QCOMPARE(s->specialOperationMode, quint8(0));
    QCOMPARE(s->frequencyTolerance, 0xFFFFFFFFu);
    QCOMPARE(s->trPeriod, 15u);
    QCOMPARE(s->configurationName, std::string("Default"));
    QCOMPARE(s->txMessage, std::string("DL1ABC UA3ABC KO85"));
  }

  // Older senders stop earlier, newer ones add fields at the end: both
  // are read, and what follows the known fields is ignored.
  void statusOfOlderAndNewerSenders() {
    Datagram oldest(2, 1, "WSJT-X");  // up to the DX call, as the first versions sent
    oldest << quint64(7074000) << "JT65" << "UA9ABC";
    DecodeResult r = Decode(oldest.Bytes());
    QVERIFY(r.ok());
    QCOMPARE(std::get<Status>(r.message.body).dxCall, std::string("UA9ABC"));
    QCOMPARE(std::get<Status>(r.message.body).report, std::string());
    QCOMPARE(std::get<Status>(r.message.body).trPeriod, 0xFFFFFFFFu);

    Datagram v20(3, 1, "JTDX");  // up to the special operation mode
    v20 << quint64(7074000) << "FT8" << "VE3XYZ" << "" << "FT8" << false << false << false << quint32(1000)
        << quint32(1000) << "UA3ABC" << "KO85" << "" << false << "" << false << quint8(5);
    r = Decode(v20.Bytes());
    QVERIFY(r.ok());
    QCOMPARE(std::get<Status>(r.message.body).dxCall, std::string("VE3XYZ"));
    QCOMPARE(std::get<Status>(r.message.body).specialOperationMode, quint8(5));

    QByteArray newer = FullStatus(3).Bytes();
    newer += Hex("0000000568656c6c6f01020304");  // fields added after the reference was written
    r = Decode(newer);
    QVERIFY(r.ok());
    QCOMPARE(std::get<Status>(r.message.body).txMessage, std::string("DL1ABC UA3ABC KO85"));
  }

  // A Status cut at any byte: read when the cut falls at the end of a
  // field from the DX call on, refused everywhere else.
  void statusCutAnywhere() {
    const Datagram d = FullStatus(3);
    const QByteArray full = d.Bytes();
    const QList<qsizetype> ends = d.FieldEnds();
    const qsizetype dxCallEnd = ends.at(3);  // header, frequency, mode, DX call
    for (qsizetype n = 0; n < full.size(); ++n) {
      const DecodeResult r = Decode(full.left(n));
      const bool clean = n >= dxCallEnd && ends.contains(n);
      QVERIFY2(r.ok() == clean, qPrintable(QString("cut at %1: %2").arg(n).arg(DecodeErrorName(r.error))));
      if (clean) {
        QCOMPARE(std::get<Status>(r.message.body).dxCall, std::string("DL1ABC"));
      } else {
        QCOMPARE(r.error, n < 4 ? DecodeError::NotWsjtx : DecodeError::Truncated);
      }
    }
  }

  void qsoLogged_data() { heartbeat_data(); }
  void qsoLogged() {
    QFETCH(quint32, schema);
    const QDateTime off(QDate(2024, 5, 1), QTime(12, 34, 56, 789), Qt::UTC);
    const QDateTime on(QDate(2024, 5, 1), QTime(12, 33, 0), Qt::OffsetFromUTC, 10800);
    const DecodeResult r = Decode(FullQsoLogged(schema, off, on).Bytes());
    QVERIFY(r.ok());
    const auto* q = std::get_if<QsoLogged>(&r.message.body);
    QVERIFY(q);
    QCOMPARE(q->timeOff, (DateTime{QDate(2024, 5, 1).toJulianDay(), 45296789, 1, 0}));
    QCOMPARE(q->dxCall, std::string("UA9ABC"));
    QCOMPARE(q->dxGrid, std::string("MO06"));
    QCOMPARE(q->txFrequencyHz, quint64(14075500));
    QCOMPARE(q->mode, std::string("FT8"));
    QCOMPARE(q->reportSent, std::string("-10"));
    QCOMPARE(q->reportReceived, std::string("-15"));
    QCOMPARE(q->txPower, std::string("100"));
    QCOMPARE(q->comments, std::string("tnx"));
    QCOMPARE(q->name, std::string("Ivan"));
    QCOMPARE(q->timeOn, (DateTime{QDate(2024, 5, 1).toJulianDay(), 45180000, 2, 10800}));
    QCOMPARE(q->operatorCall, std::string("R3ABC"));
    QCOMPARE(q->myCall, std::string("UA3ABC"));
    QCOMPARE(q->myGrid, std::string("KO85"));
    QCOMPARE(q->propagationMode, std::string());

    // A time in a named zone carries the zone's own encoding, of a length
    // the reader cannot know: refused, not guessed at.
    const QTimeZone msk("UTC+03:00 MSK", 10800, "Moscow", "MSK");
    const QDateTime zoned(QDate(2024, 5, 1), QTime(12, 0), msk);
    QVERIFY(zoned.timeSpec() == Qt::TimeZone);
    QCOMPARE(Decode(FullQsoLogged(schema, zoned, on).Bytes()).error, DecodeError::Unsupported);
  }

  // Every other type, with its documented fields: read as far as the id
  // and left alone. Unknown and future types too.
  void otherTypes_data() {
    QTest::addColumn<quint32>("schema");
    QTest::addColumn<quint32>("type");
    QTest::addColumn<QByteArray>("datagram");
    const QTime t(12, 0, 15);
    for (quint32 schema : {2u, 3u}) {
      const auto row = [&](const char* name, quint32 type, const Datagram& d) {
        QTest::addRow("%s, schema %u", name, schema) << schema << type << d.Bytes();
      };
      row("Decode", 2, Datagram(schema, 2, "WSJT-X") << true << t << qint32(-7) << 0.2 << quint32(1234) << "~"
                                                      << "CQ DL1ABC JO62" << false << false);
      row("Reply", 4, Datagram(schema, 4, "WSJT-X") << t << qint32(-7) << 0.2 << quint32(1234) << "~"
                                                     << "CQ DL1ABC JO62" << false << quint8(0x02));
      row("Replay", 7, Datagram(schema, 7, "WSJT-X"));
      row("Halt Tx", 8, Datagram(schema, 8, "WSJT-X") << true);
      row("Free Text", 9, Datagram(schema, 9, "WSJT-X") << "TNX 73" << false);
      row("WSPR Decode", 10, Datagram(schema, 10, "WSJT-X") << true << t << qint32(-20) << 0.5 << quint64(14097050)
                                                             << qint32(-1) << "UA9ABC" << "MO06" << qint32(37)
                                                             << false);
      row("Location", 11, Datagram(schema, 11, "WSJT-X") << "KO85ts");
      row("Logged ADIF", 12, Datagram(schema, 12, "WSJT-X") << "<adif_ver:5>3.1.0<EOH><call:6>DL1ABC<EOR>");
      row("Highlight Callsign", 13, Datagram(schema, 13, "WSJT-X") << "DL1ABC" << QColor(Qt::yellow)
                                                                    << QColor(Qt::black) << true);
      row("Switch Configuration", 14, Datagram(schema, 14, "WSJT-X") << "Contest");
      row("Configure", 15, Datagram(schema, 15, "WSJT-X") << "FT4" << quint32(0xFFFFFFFF) << "" << false
                                                           << quint32(0xFFFFFFFF) << quint32(1500) << "DL1ABC"
                                                           << "JO62" << true);
      row("Annotation Info", 16, Datagram(schema, 16, "WSJT-X") << "DL1ABC" << true << quint32(3));
      row("future type", 42, Datagram(schema, 42, "WSJT-X") << quint64(1) << "more");
      row("largest type", 0xFFFFFFFF, Datagram(schema, 0xFFFFFFFF, "WSJT-X"));
    }
  }
  void otherTypes() {
    QFETCH(quint32, schema);
    QFETCH(quint32, type);
    QFETCH(QByteArray, datagram);
    const DecodeResult r = Decode(datagram);
    QVERIFY(r.ok());
    QCOMPARE(r.message.schema, schema);
    QCOMPARE(r.message.type, type);
    QCOMPARE(r.message.id, std::string("WSJT-X"));
    QVERIFY(std::holds_alternative<Other>(r.message.body));
  }

  void closeAndClear() {
    DecodeResult r = Decode(Datagram(3, 3, "WSJT-X").Bytes());
    QVERIFY(r.ok());
    QCOMPARE(std::get<Clear>(r.message.body).window, quint8(0));
    r = Decode((Datagram(3, 3, "WSJT-X") << quint8(2)).Bytes());  // as a server sends it
    QCOMPARE(std::get<Clear>(r.message.body).window, quint8(2));
    r = Decode((Datagram(2, 6, "WSJT-X") << "ignored").Bytes());
    QVERIFY(r.ok());
    QVERIFY(std::holds_alternative<Close>(r.message.body));
  }

  // Datagrams that are not what they claim: each refused for its reason,
  // none read past its end (the address sanitizer build checks that).
  void hostile_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<DecodeError>("error");
    QTest::newRow("empty") << QByteArray() << DecodeError::NotWsjtx;
    QTest::newRow("three bytes of magic") << Hex("adbccb") << DecodeError::NotWsjtx;
    QTest::newRow("other magic") << Hex("adbccbdb000000030000000100000000") << DecodeError::NotWsjtx;
    QTest::newRow("magic, little-endian") << Hex("dacbbcad030000000100000000000000") << DecodeError::NotWsjtx;
    QTest::newRow("text") << QByteArray("<call:6>DL1ABC<eor>") << DecodeError::NotWsjtx;
    QTest::newRow("schema cut") << Hex("adbccbda0000") << DecodeError::Truncated;
    QTest::newRow("schema 0") << Datagram(0, 1, "WSJT-X").Bytes() << DecodeError::UnknownSchema;
    QTest::newRow("schema 1") << Datagram(1, 1, "WSJT-X").Bytes() << DecodeError::UnknownSchema;
    QTest::newRow("schema 4") << Datagram(4, 1, "WSJT-X").Bytes() << DecodeError::UnknownSchema;
    QTest::newRow("schema max") << Datagram(0xFFFFFFFF, 1, "WSJT-X").Bytes() << DecodeError::UnknownSchema;
    QTest::newRow("no type") << Hex("adbccbda00000003") << DecodeError::Truncated;
    QTest::newRow("no id") << Hex("adbccbda0000000300000001") << DecodeError::Truncated;
    QTest::newRow("id longer than the datagram") << Hex("adbccbda0000000300000006fffffffe41") << DecodeError::Truncated;
    QTest::newRow("id one byte short") << Hex("adbccbda00000003000000060000000557534a54") << DecodeError::Truncated;
    QByteArray hugeCall = (Datagram(3, 1, "WSJT-X") << quint64(14074000) << "FT8").Bytes();
    hugeCall += Hex("7fffffff") + QByteArray(64, 'A');
    QTest::newRow("DX call of 2 GiB") << hugeCall << DecodeError::Truncated;
    QByteArray status = FullStatus(3).Bytes();
    QTest::newRow("status, last byte missing") << status.left(status.size() - 1) << DecodeError::Truncated;
    QByteArray big = status + QByteArray(static_cast<qsizetype>(kMaxDatagramSize) - status.size() + 1, '\0');
    QTest::newRow("one byte over the limit") << big << DecodeError::Oversized;
    QTest::newRow("date-time of no known kind") << (Datagram(3, 5, "WSJT-X") << qint64(2460432) << quint32(0) << quint8(7)
                                                                      << "UA9ABC")
                                                .Bytes()
                                         << DecodeError::Unsupported;
    QTest::newRow("offset date-time cut") << (Datagram(3, 5, "WSJT-X") << qint64(2460432) << quint32(0) << quint8(2)
                                                                       << quint16(0))
                                                 .Bytes()
                                          << DecodeError::Truncated;
  }
  void hostile() {
    QFETCH(QByteArray, datagram);
    QFETCH(DecodeError, error);
    const DecodeResult r = Decode(datagram);
    QCOMPARE(DecodeErrorName(r.error), DecodeErrorName(error));
  }

  // Datagrams at the limit are read; padding after the known fields is
  // extra data, ignored. Null texts read as empty.
  void limitsAndNulls() {
    const QByteArray status = FullStatus(2, "UA9ABC").Bytes();
    const QByteArray padded = status + QByteArray(static_cast<qsizetype>(kMaxDatagramSize) - status.size(), '\x55');
    DecodeResult r = Decode(padded);
    QVERIFY(r.ok());
    QCOMPARE(std::get<Status>(r.message.body).dxCall, std::string("UA9ABC"));

    Datagram nulls(3, 1, QByteArray());
    nulls << quint64(0) << QByteArray() << QByteArray() << QByteArray();
    r = Decode(nulls.Bytes());
    QVERIFY(r.ok());
    QCOMPARE(r.message.id, std::string());
    QCOMPARE(std::get<Status>(r.message.body).dxCall, std::string());
    QCOMPARE(std::get<Status>(r.message.body).report, std::string());

    // Bytes that are not UTF-8, or a zero byte, stay as they came: what a
    // call may hold is for the listener to judge.
    Datagram odd(3, 1, "WSJT-X");
    odd << quint64(0) << "FT8" << QByteArray("DL\0\xff", 4);
    r = Decode(odd.Bytes());
    QVERIFY(r.ok());
    QCOMPARE(std::get<Status>(r.message.body).dxCall, std::string("DL\0\xff", 4));
  }
};

QTEST_GUILESS_MAIN(WsjtxDatagramTest)
#include "wsjtx_datagram_test.moc"
