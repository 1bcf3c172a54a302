#include "weblookup/host_link.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace callscope {

QString UdpEndpoint::Text() const {
  const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                           ? QStringLiteral("[%1]").arg(address.toString())
                           : address.toString();
  return host + QLatin1Char(':') + QString::number(port);
}

namespace {

std::optional<quint16> ParsePort(const QString& text) {
  static const QRegularExpression digits("^[0-9]{1,5}$");
  if (!digits.match(text).hasMatch()) return std::nullopt;
  const int port = text.toInt();
  if (port < 1 || port > 65535) return std::nullopt;
  return static_cast<quint16>(port);
}

std::optional<QHostAddress> ParseAddress(QString text) {
  if (text.startsWith(u'[') && text.endsWith(u']')) text = text.mid(1, text.size() - 2);
  QHostAddress address;
  if (text.isEmpty() || !address.setAddress(text)) return std::nullopt;
  return address;
}

}  // namespace

std::optional<UdpEndpoint> ParseUdpEndpoint(const QString& text) {
  UdpEndpoint endpoint;
  const qsizetype colon = text.lastIndexOf(u':');
  if (colon >= 0) {
    // "::1:2237" would be ambiguous: an IPv6 address takes brackets.
    const QString host = text.left(colon);
    if (host.contains(u':') && !host.startsWith(u'[')) return std::nullopt;
    const std::optional<QHostAddress> address = ParseAddress(host);
    if (!address) return std::nullopt;
    endpoint.address = *address;
  }
  const std::optional<quint16> port = ParsePort(text.mid(colon + 1));
  if (!port) return std::nullopt;
  endpoint.port = *port;
  return endpoint;
}

HostLinkChoice LoadHostLink(const QString& configPath) {
  HostLinkChoice choice;
  choice.kind = HostLinkKind::Automatic;
  if (!QFileInfo::exists(configPath)) return choice;
  const QSettings conf(configPath, QSettings::IniFormat);
  const QString where = QStringLiteral(" in ") + configPath;

  const QString address = conf.value(QStringLiteral("WSJT-X/Address")).toString().trimmed();
  const QString port = conf.value(QStringLiteral("WSJT-X/Port")).toString().trimmed();
  if (!address.isEmpty()) {
    const std::optional<QHostAddress> a = ParseAddress(address);
    if (!a) throw HostLinkError(("[WSJT-X] Address=" + address + where + " is not an IP address").toStdString());
    choice.udp.address = *a;
  }
  if (!port.isEmpty()) {
    const std::optional<quint16> p = ParsePort(port);
    if (!p) throw HostLinkError(("[WSJT-X] Port=" + port + where + " is not a port number").toStdString());
    choice.udp.port = *p;
  }
  if (!address.isEmpty() || !port.isEmpty()) choice.kind = HostLinkKind::Wsjtx;

  const QString host = conf.value(QStringLiteral("Link/Host")).toString().trimmed();
  if (host.compare(QLatin1String("Sorrel"), Qt::CaseInsensitive) == 0) {
    choice.kind = HostLinkKind::Sorrel;
  } else if (host.compare(QLatin1String("WSJT-X"), Qt::CaseInsensitive) == 0) {
    choice.kind = HostLinkKind::Wsjtx;
  } else if (!host.isEmpty()) {
    throw HostLinkError(("[Link] Host=" + host + where + " is neither Sorrel nor WSJT-X").toStdString());
  }
  return choice;
}

HostLinkChoice ApplyLinkArguments(HostLinkChoice choice, QStringList& arguments) {
  QStringList rest;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if (a == QLatin1String("--sorrel")) {
      choice.kind = HostLinkKind::Sorrel;
      continue;
    }
    QString endpointText;
    if (a == QLatin1String("--udp")) {
      if (i + 1 >= arguments.size()) throw HostLinkError("--udp needs [GROUP:]PORT");
      endpointText = arguments[++i];
    } else if (a.startsWith(QLatin1String("--udp="))) {
      endpointText = a.mid(6);
    } else {
      rest << a;
      continue;
    }
    const std::optional<UdpEndpoint> endpoint = ParseUdpEndpoint(endpointText);
    if (!endpoint)
      throw HostLinkError(
          ("--udp " + endpointText + ": expected [GROUP:]PORT, such as 2237 or 224.0.0.73:2237").toStdString());
    choice.kind = HostLinkKind::Wsjtx;
    choice.udp = *endpoint;
  }
  arguments = rest;
  return choice;
}

}  // namespace callscope
