#include "weblookup/wsjtx_listener.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <algorithm>

namespace callscope {

namespace {

constexpr qsizetype kMaxCallLength = 20;

qint64 SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Messages a program sends about itself; the others (Reply, Replay, Halt
// Tx, ...) are commands from a server to the program, and a type number
// this listener does not know says nothing about a program's life.
bool IsFromProgram(uint32_t type) {
  using wsjtx::MessageType;
  switch (static_cast<MessageType>(type)) {
    case MessageType::Heartbeat:
    case MessageType::Status:
    case MessageType::Decode:
    case MessageType::Clear:
    case MessageType::QsoLogged:
    case MessageType::Close:
    case MessageType::WsprDecode:
    case MessageType::LoggedAdif:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<QString> CleanDxCall(const std::string& field) {
  QString call = QString::fromUtf8(field.data(), static_cast<qsizetype>(field.size())).trimmed().toUpper();
  if (call.startsWith(u'<') && call.endsWith(u'>')) call = call.mid(1, call.size() - 2);
  if (call.size() > kMaxCallLength) return std::nullopt;
  const bool plain = std::all_of(call.begin(), call.end(), [](QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'/';
  });
  if (!plain) return std::nullopt;
  return call;
}

WsjtxListener::WsjtxListener(const UdpEndpoint& endpoint, QObject* parent)
    : QObject(parent), endpoint_(endpoint), now_(SteadyMs) {
  connect(&socket_, &QUdpSocket::readyRead, this, &WsjtxListener::ReadPending);
  connect(&watch_, &QTimer::timeout, this, &WsjtxListener::CheckHeartbeats);
  SetHeartbeatInterval(kHeartbeatInterval);
}

WsjtxListener::~WsjtxListener() = default;

void WsjtxListener::Start() {
  const bool group = endpoint_.IsMulticast();
  const bool v6 = endpoint_.address.protocol() == QAbstractSocket::IPv6Protocol;
  // A group's datagrams arrive addressed to the group, so the socket takes
  // any address; a unicast listener binds the address it was given, which
  // for 127.0.0.1 keeps other machines out.
  const QHostAddress bindTo = group ? QHostAddress(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4)
                                    : endpoint_.address;
  if (!socket_.bind(bindTo, endpoint_.port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
    throw WsjtxListenError("cannot listen on " + endpoint_.Text().toStdString() + ": " +
                           socket_.errorString().toStdString());
  if (endpoint_.port == 0) endpoint_.port = socket_.localPort();  // a port of the system's choice
  if (!group) return;
  // The programs send to a group on the interfaces their settings name
  // (the loopback one by default), so the group is joined on each.
  int joined = 0;
  for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
    if (iface.flags().testFlag(QNetworkInterface::IsUp) && socket_.joinMulticastGroup(endpoint_.address, iface))
      ++joined;
  }
  if (joined == 0 && !socket_.joinMulticastGroup(endpoint_.address)) {
    const std::string why = socket_.errorString().toStdString();
    socket_.close();
    throw WsjtxListenError("cannot join the multicast group " + endpoint_.address.toString().toStdString() + ": " +
                           why);
  }
}

void WsjtxListener::SetHeartbeatInterval(std::chrono::milliseconds interval) {
  interval_ = std::max(interval, std::chrono::milliseconds(1));
  // Checked four times an interval: a program is dropped at most a quarter
  // interval after its third missed heartbeat.
  watch_.start(std::max<qint64>(interval_.count() / 4, 1));
}

void WsjtxListener::SetClock(std::function<qint64()> nowMs) { now_ = std::move(nowMs); }

void WsjtxListener::CheckHeartbeats() {
  const qint64 now = now_();
  const qint64 limit = 3 * interval_.count();
  const bool wasActive = Active();
  for (auto it = programs_.begin(); it != programs_.end();) {
    auto next = std::next(it);
    if (now - it->second.heardMs > limit) Forget(it);
    it = next;
  }
  if (Active() != wasActive) emit StateChanged();
}

void WsjtxListener::ReadPending() {
  while (socket_.hasPendingDatagrams()) {
    const qint64 size = socket_.pendingDatagramSize();
    if (size < 0 || static_cast<quint64>(size) > wsjtx::kMaxDatagramSize) {
      socket_.readDatagram(nullptr, 0);  // discards it unread
      emit DatagramRead(wsjtx::DecodeError::Oversized);
      continue;
    }
    Receive(socket_.receiveDatagram(size).data());
  }
}

void WsjtxListener::Receive(const QByteArray& datagram) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.constData());
  const wsjtx::DecodeResult r = wsjtx::DecodeDatagram(bytes, static_cast<size_t>(datagram.size()));
  if (r.ok()) Take(r.message);
  emit DatagramRead(r.error);
}

void WsjtxListener::Take(const wsjtx::Message& message) {
  if (!IsFromProgram(message.type)) return;
  const bool wasActive = Active();
  const QString wasCall = dxCall_;
  auto it = programs_.find(message.id);
  if (std::holds_alternative<wsjtx::Close>(message.body)) {
    if (it != programs_.end()) Forget(it);
  } else {
    if (it == programs_.end()) {
      if (programs_.size() >= kMaxPrograms) {
        Forget(std::min_element(programs_.begin(), programs_.end(), [](const auto& a, const auto& b) {
          return a.second.heardMs < b.second.heardMs;
        }));
      }
      it = programs_.emplace(message.id, Program{}).first;
    }
    it->second.heardMs = now_();
    if (const auto* status = std::get_if<wsjtx::Status>(&message.body)) {
      // A field that is not a callsign leaves everything as it was.
      const std::optional<QString> call = CleanDxCall(status->dxCall);
      if (call && *call != it->second.dxCall) {
        it->second.dxCall = *call;
        dxCall_ = *call;
        if (!call->isEmpty()) emit DxCallChosen(*call);
      }
    }
  }
  if (Active() != wasActive || dxCall_ != wasCall) emit StateChanged();
}

void WsjtxListener::Forget(std::map<std::string, Program>::iterator program) {
  programs_.erase(program);
  if (programs_.empty()) dxCall_.clear();
}

}  // namespace callscope
