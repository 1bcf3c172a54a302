// Datagrams as WSJT-X sends them, built field by field in the order of the
// protocol's message reference with Qt's own QDataStream, in the stream
// version of each schema (Qt 5.2 for schema 2, Qt 5.4 for 3); and a sender
// that plays a WSJT-X program towards a listener.
#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QUdpSocket>

#include "weblookup/wsjtx_datagram.h"

namespace wsjtx_test {

// One datagram, its header written on construction, then fields in order.
// FieldEnds() has the datagram's length after the header and after each
// field, the places where a datagram may end cleanly.
class Datagram {
 public:
  Datagram(quint32 schema, quint32 type, const QByteArray& id, quint32 magic = callscope::wsjtx::kMagic)
      : version_(schema == 2 ? QDataStream::Qt_5_2 : QDataStream::Qt_5_4) {
    *this << magic << schema << type << id;
    ends_ = {bytes_.size()};
  }

  template <class T>
  Datagram& operator<<(const T& field) {
    QDataStream out(&bytes_, QIODevice::WriteOnly | QIODevice::Append);
    out.setVersion(version_);
    out << field;
    ends_ << bytes_.size();
    return *this;
  }
  // utf8 text
  Datagram& operator<<(const char* text) { return *this << QByteArray(text); }

  QByteArray Bytes() const { return bytes_; }
  QList<qsizetype> FieldEnds() const { return ends_; }

 private:
  QDataStream::Version version_;
  QByteArray bytes_;
  QList<qsizetype> ends_;
};

// A Status as WSJT-X 2.6 sends it: every documented field.
inline Datagram Status(const QByteArray& id, const QByteArray& dxCall, quint32 schema = 3) {
  Datagram d(schema, 1, id);
  d << quint64(14074000) << "FT8" << dxCall << "-12" << "FT8" << true << false << true << quint32(1500)
    << quint32(1200) << "UA3ABC" << "KO85" << "JO62" << false << "" << false << quint8(0) << quint32(0xFFFFFFFF)
    << quint32(15) << "Default" << "DL1ABC UA3ABC KO85";
  return d;
}

inline Datagram Heartbeat(const QByteArray& id) {
  Datagram d(3, 0, id);
  d << quint32(3) << "2.6.1" << "";
  return d;
}

inline Datagram Close(const QByteArray& id) { return Datagram(3, 6, id); }

// Sends datagrams to a listener's address and port; for a multicast group,
// through the loopback interface, where the programs send by default.
class Sender {
 public:
  Sender(const QHostAddress& to, quint16 port) : to_(to), port_(port) {
    if (to.isMulticast()) {
      socket_.bind(QHostAddress::AnyIPv4, 0);
      for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces())
        if (iface.flags().testFlag(QNetworkInterface::IsLoopBack)) socket_.setMulticastInterface(iface);
      socket_.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 1);
    }
  }
  bool Send(const QByteArray& bytes) { return socket_.writeDatagram(bytes, to_, port_) == bytes.size(); }
  bool Send(const Datagram& d) { return Send(d.Bytes()); }

 private:
  QUdpSocket socket_;
  QHostAddress to_;
  quint16 port_;
};

}  // namespace wsjtx_test
