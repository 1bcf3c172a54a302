// Listens for WSJT-X and JTDX on UDP (their "UDP Server" setting) and
// follows the DX call their operators choose.
//
// Several programs may send to the same port (two instances of WSJT-X for
// two radios, or WSJT-X and JTDX); each is known by the id in its
// datagrams and keeps its own last DX call, so that two programs that
// repeat their Status messages in turn do not make Callscope look one
// station and then the other up again every few seconds.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "weblookup/host_link.h"
#include "weblookup/wsjtx_datagram.h"

namespace callscope {

// Raised when the port cannot be listened on; the text says why.
class WsjtxListenError : public std::runtime_error {
 public:
  explicit WsjtxListenError(const std::string& what) : std::runtime_error(what) {}
};

// The DX call of a Status as Callscope uses it: blanks trimmed, upper
// case, the "<...>" of a hashed call removed; empty when the operator has
// none. Nothing when the field holds anything but letters, digits and '/'
// or is longer than any callsign (20 characters): it arrives from the
// network and ends up in a web address.
std::optional<QString> CleanDxCall(const std::string& field);

class WsjtxListener : public QObject {
  Q_OBJECT
 public:
  // The interval at which the programs send a Heartbeat.
  static constexpr std::chrono::milliseconds kHeartbeatInterval{15000};
  // Programs followed at once; past this the one heard from least recently
  // is forgotten, so that datagrams under made-up ids cannot grow the list.
  static constexpr size_t kMaxPrograms = 16;

  explicit WsjtxListener(const UdpEndpoint& endpoint, QObject* parent = nullptr);
  ~WsjtxListener() override;

  // Binds the port, shared with other listeners on this machine, and joins
  // a multicast group on every interface that takes it. Port 0 asks the
  // system for a free one, which Endpoint() then names. Throws
  // WsjtxListenError.
  void Start();

  const UdpEndpoint& Endpoint() const { return endpoint_; }
  // A program has been heard from and has neither closed nor gone quiet.
  bool Active() const { return !programs_.empty(); }
  size_t ProgramCount() const { return programs_.size(); }
  // The DX call of the latest Status that changed one (empty when that
  // program cleared its DX call); empty while not Active.
  QString DxCall() const { return dxCall_; }

  // A program that sends nothing for three intervals is taken as gone.
  // Tests shorten the interval and move the clock (milliseconds, steady)
  // themselves, then run CheckHeartbeats.
  void SetHeartbeatInterval(std::chrono::milliseconds interval);
  void SetClock(std::function<qint64()> nowMs);
  void CheckHeartbeats();

  // Takes one datagram as if it had arrived on the socket.
  void Receive(const QByteArray& datagram);

 signals:
  // A program's Status carries a DX call that is new for that program and
  // not empty.
  void DxCallChosen(const QString& call);
  // Active() or DxCall() changed.
  void StateChanged();
  // After every datagram, taken or refused.
  void DatagramRead(wsjtx::DecodeError error);

 private:
  struct Program {
    QString dxCall;
    qint64 heardMs = 0;
  };

  void ReadPending();
  void Take(const wsjtx::Message& message);
  void Forget(std::map<std::string, Program>::iterator program);

  UdpEndpoint endpoint_;
  QUdpSocket socket_;
  QTimer watch_;
  std::chrono::milliseconds interval_ = kHeartbeatInterval;
  std::function<qint64()> now_;
  std::map<std::string, Program> programs_;  // by id
  QString dxCall_;
};

}  // namespace callscope
