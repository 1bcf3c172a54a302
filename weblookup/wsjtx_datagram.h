// The datagrams WSJT-X and JTDX send to their "UDP Server", read without Qt
// so that the reader can be fuzzed on its own.
//
// A datagram is one message in Qt's QDataStream encoding, big-endian:
//
//   quint32 magic 0xADBCCBDA
//   quint32 schema            2 (Qt 5.2's stream format) or 3 (Qt 5.4's)
//   quint32 message type      0 Heartbeat, 1 Status, 5 QSO Logged, 6 Close...
//   utf8    id                the sending program's name ("WSJT-X", "JTDX",
//                             "WSJT-X - rig2" for a second instance)
//   ...     the type's fields
//
// "utf8" is a QByteArray: a quint32 length, then that many bytes of UTF-8
// text; the length 0xFFFFFFFF marks a null text (read as empty). A bool is
// one byte, nonzero for true.
//
// Senders add fields to the end of a message over the years without
// changing the schema, and older ones stop earlier; a listener must ignore
// what follows the fields it knows. So each message here has a few fields
// it cannot do without, and may end after any later field, but never in
// the middle of one: a datagram cut inside a field is truncated and
// refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace callscope::wsjtx {

inline constexpr uint32_t kMagic = 0xADBCCBDA;

// The largest datagram read. A Status or a QSO Logged takes a few hundred
// bytes; anything near this is not a message a listener needs.
inline constexpr size_t kMaxDatagramSize = 16384;

enum class MessageType : uint32_t {
  Heartbeat = 0,
  Status = 1,
  Decode = 2,
  Clear = 3,
  Reply = 4,
  QsoLogged = 5,
  Close = 6,
  Replay = 7,
  HaltTx = 8,
  FreeText = 9,
  WsprDecode = 10,
  Location = 11,
  LoggedAdif = 12,
  HighlightCallsign = 13,
  SwitchConfiguration = 14,
  Configure = 15,
  AnnotationInfo = 16,
};

// A QDateTime: the date as a Julian day, the time of day in milliseconds,
// and how the time is meant (0 local, 1 UTC, 2 with an offset from UTC).
struct DateTime {
  int64_t julianDay = 0;
  uint32_t msecsSinceMidnight = 0;
  uint8_t timeKind = 1;
  int32_t offsetSeconds = 0;  // read only for kind 2

  bool operator==(const DateTime&) const = default;
};

// Sent every 15 seconds while the program runs.
struct Heartbeat {
  uint32_t maxSchema = 2;  // absent from senders older than schema 3
  std::string version;
  std::string revision;
};

// Sent whenever the program's state changes: the DX call being worked,
// the frequency, mode, transmitting and decoding, ...
struct Status {
  uint64_t dialFrequencyHz = 0;
  std::string mode;
  std::string dxCall;  // as the operator typed or chose it; may be empty
  // Each field below is absent (left at its default) when the sender
  // stopped before it.
  std::string report;
  std::string txMode;
  bool txEnabled = false;
  bool transmitting = false;
  bool decoding = false;
  uint32_t rxDf = 0;
  uint32_t txDf = 0;
  std::string deCall;
  std::string deGrid;
  std::string dxGrid;
  bool txWatchdog = false;
  std::string subMode;
  bool fastMode = false;
  uint8_t specialOperationMode = 0;
  uint32_t frequencyTolerance = 0xFFFFFFFF;  // the maximum: not applicable
  uint32_t trPeriod = 0xFFFFFFFF;
  std::string configurationName;
  std::string txMessage;
};

// Sent when the operator logs a QSO.
struct QsoLogged {
  DateTime timeOff;
  std::string dxCall;
  // Absent when the sender stopped before them, as for Status.
  std::string dxGrid;
  uint64_t txFrequencyHz = 0;
  std::string mode;
  std::string reportSent;
  std::string reportReceived;
  std::string txPower;
  std::string comments;
  std::string name;
  DateTime timeOn;
  std::string operatorCall;
  std::string myCall;
  std::string myGrid;
  std::string exchangeSent;
  std::string exchangeReceived;
  std::string propagationMode;
};

// Sent when the program shuts down normally.
struct Close {};

// Sent when the band activity window was erased.
struct Clear {
  uint8_t window = 0;  // only in the form a server sends to the program
};

// Any other type, known or not: decodes, replies, commands that servers
// send to the program. Only the header was read.
struct Other {};

using Body = std::variant<Other, Heartbeat, Status, QsoLogged, Close, Clear>;

struct Message {
  uint32_t schema = 0;
  uint32_t type = 0;
  std::string id;
  Body body;
};

enum class DecodeError {
  None,
  Oversized,      // longer than kMaxDatagramSize: not read at all
  NotWsjtx,       // too short for the magic number, or another number
  UnknownSchema,  // a schema other than 2 and 3
  Truncated,      // ends before a field it needs, or inside a field
  Unsupported,    // a date-time with a named time zone, which no sender uses
};

struct DecodeResult {
  DecodeError error = DecodeError::None;
  Message message;  // meaningful only when error is None

  bool ok() const { return error == DecodeError::None; }
};

// Reads one datagram. Never reads outside [data, data + size) and never
// allocates more than the datagram's own size, whatever its length fields
// claim.
DecodeResult DecodeDatagram(const uint8_t* data, size_t size);

// A short English name for an error, for logs and tests.
const char* DecodeErrorName(DecodeError error);

}  // namespace callscope::wsjtx
