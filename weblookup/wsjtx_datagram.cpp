#include "weblookup/wsjtx_datagram.h"

#include <type_traits>

namespace callscope::wsjtx {

namespace {

// Reads big-endian fields from the front of what is left of a datagram.
// Every read either takes the whole field or nothing (and returns false).
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}

  bool AtEnd() const { return left_ == 0; }

  bool Read(uint8_t& v) {
    if (left_ < 1) return false;
    v = *p_;
    Skip(1);
    return true;
  }
  // bool: one byte; Qt takes any nonzero value as true.
  bool Read(bool& v) {
    uint8_t b;
    if (!Read(b)) return false;
    v = b != 0;
    return true;
  }
  bool Read(uint32_t& v) {
    uint64_t w;
    if (!Unsigned(4, w)) return false;
    v = static_cast<uint32_t>(w);
    return true;
  }
  bool Read(int32_t& v) {
    uint32_t u;
    if (!Read(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool Read(uint64_t& v) { return Unsigned(8, v); }
  bool Read(int64_t& v) {
    uint64_t u;
    if (!Read(u)) return false;
    v = static_cast<int64_t>(u);
    return true;
  }
  // utf8: quint32 length, then the bytes; 0xFFFFFFFF is a null text. A
  // length past the end is a truncated field, checked before anything is
  // allocated for it.
  bool Read(std::string& v) {
    uint32_t length;
    if (!Read(length)) return false;
    if (length == 0xFFFFFFFF) {
      v.clear();
      return true;
    }
    if (length > left_) return false;
    v.assign(reinterpret_cast<const char*>(p_), length);
    Skip(length);
    return true;
  }

  // QDateTime: qint64 Julian day, quint32 milliseconds since midnight,
  // quint8 kind of time (0 local, 1 UTC, 2 offset from UTC, 3 in a named
  // zone), then for kind 2 a qint32 offset in seconds. Kind 3 carries the
  // zone's own encoding, whose length cannot be known here; no sender
  // uses it.
  enum class Outcome { Read, Short, Unsupported };
  Outcome Read(DateTime& v) {
    if (!Read(v.julianDay) || !Read(v.msecsSinceMidnight) || !Read(v.timeKind)) return Outcome::Short;
    if (v.timeKind == 2) return Read(v.offsetSeconds) ? Outcome::Read : Outcome::Short;
    if (v.timeKind > 2) return Outcome::Unsupported;
    v.offsetSeconds = 0;
    return Outcome::Read;
  }

 private:
  bool Unsigned(size_t bytes, uint64_t& v) {
    if (left_ < bytes) return false;
    v = 0;
    for (size_t i = 0; i < bytes; ++i) v = (v << 8) | p_[i];
    Skip(bytes);
    return true;
  }
  void Skip(size_t n) {
    p_ += n;
    left_ -= n;
  }

  const uint8_t* p_;
  size_t left_;
};

// The fields of one message body, read in order. The first `required`
// must be there; after them the datagram may end before any field (an
// older sender), and the fields not reached keep their defaults.
class Fields {
 public:
  Fields(Reader& reader, int required) : r_(reader), required_(required) {}

  template <class T>
  Fields& operator()(T& field) {
    if (error_ != DecodeError::None || ended_) return *this;
    if (r_.AtEnd() && read_ >= required_) {
      ended_ = true;
      return *this;
    }
    if constexpr (std::is_same_v<T, DateTime>) {
      switch (r_.Read(field)) {
        case Reader::Outcome::Read: break;
        case Reader::Outcome::Short: error_ = DecodeError::Truncated; break;
        case Reader::Outcome::Unsupported: error_ = DecodeError::Unsupported; break;
      }
    } else if (!r_.Read(field)) {
      error_ = DecodeError::Truncated;
    }
    ++read_;
    return *this;
  }

  DecodeError Error() const { return error_; }

 private:
  Reader& r_;
  const int required_;
  int read_ = 0;
  bool ended_ = false;
  DecodeError error_ = DecodeError::None;
};

}  // namespace

DecodeResult DecodeDatagram(const uint8_t* data, size_t size) {
  DecodeResult out;
  if (size > kMaxDatagramSize) {
    out.error = DecodeError::Oversized;
    return out;
  }
  Reader r(data, size);
  Message& m = out.message;
  uint32_t magic = 0;
  if (!r.Read(magic) || magic != kMagic) {
    out.error = DecodeError::NotWsjtx;
    return out;
  }
  if (!r.Read(m.schema)) {
    out.error = DecodeError::Truncated;
    return out;
  }
  // Schema 1 was Qt 5.0's stream format, which its authors abandoned as
  // broken; a later number would be an encoding this reader does not know.
  // Schemas 2 and 3 encode every field read here alike.
  if (m.schema != 2 && m.schema != 3) {
    out.error = DecodeError::UnknownSchema;
    return out;
  }
  if (!r.Read(m.type) || !r.Read(m.id)) {
    out.error = DecodeError::Truncated;
    return out;
  }

  switch (static_cast<MessageType>(m.type)) {
    case MessageType::Heartbeat: {
      Heartbeat& h = m.body.emplace<Heartbeat>();
      // The maximum schema came with schema 3; without it the sender
      // speaks schema 2 at most.
      out.error = Fields(r, 0)(h.maxSchema)(h.version)(h.revision).Error();
      break;
    }
    case MessageType::Status: {
      Status& s = m.body.emplace<Status>();
      out.error = Fields(r, 3)(s.dialFrequencyHz)(s.mode)(s.dxCall)(s.report)(s.txMode)(s.txEnabled)(
                      s.transmitting)(s.decoding)(s.rxDf)(s.txDf)(s.deCall)(s.deGrid)(s.dxGrid)(s.txWatchdog)(
                      s.subMode)(s.fastMode)(s.specialOperationMode)(s.frequencyTolerance)(s.trPeriod)(
                      s.configurationName)(s.txMessage)
                      .Error();
      break;
    }
    case MessageType::QsoLogged: {
      QsoLogged& q = m.body.emplace<QsoLogged>();
      out.error = Fields(r, 2)(q.timeOff)(q.dxCall)(q.dxGrid)(q.txFrequencyHz)(q.mode)(q.reportSent)(
                      q.reportReceived)(q.txPower)(q.comments)(q.name)(q.timeOn)(q.operatorCall)(q.myCall)(
                      q.myGrid)(q.exchangeSent)(q.exchangeReceived)(q.propagationMode)
                      .Error();
      break;
    }
    case MessageType::Close:
      m.body.emplace<Close>();
      break;
    case MessageType::Clear: {
      Clear& c = m.body.emplace<Clear>();
      out.error = Fields(r, 0)(c.window).Error();
      break;
    }
    default:
      m.body.emplace<Other>();
      break;
  }
  return out;
}

const char* DecodeErrorName(DecodeError error) {
  switch (error) {
    case DecodeError::None: return "none";
    case DecodeError::Oversized: return "oversized";
    case DecodeError::NotWsjtx: return "not a WSJT-X datagram";
    case DecodeError::UnknownSchema: return "unknown schema";
    case DecodeError::Truncated: return "truncated";
    case DecodeError::Unsupported: return "unsupported date-time";
  }
  return "?";
}

}  // namespace callscope::wsjtx
