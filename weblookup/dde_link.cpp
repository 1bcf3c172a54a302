#include "weblookup/dde_link.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QRegularExpression>

namespace callscope {

namespace {

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// A bus name element: no leading digit; short enough that the whole name
// stays within the bus's 255 characters.
bool IsNameElement(const QString& s) {
  static const QRegularExpression re("^[A-Za-z_-][A-Za-z0-9_-]*$");
  return s.size() <= 200 && re.match(s).hasMatch();
}

// Pushed values are strings; a publisher that sends another basic type
// (a number, say) is shown its text rather than refused.
QString ValueText(const QVariant& value) {
  QVariant v = value;
  if (v.userType() == qMetaTypeId<QDBusVariant>()) v = v.value<QDBusVariant>().variant();
  return v.toString();
}

}  // namespace

QString DdeBusName(const QString& application) {
  if (!IsNameElement(application)) return {};
  return QStringLiteral("dde.") + application;
}

QString DdeObjectPath(const QString& topic) {
  static const QRegularExpression re("^[A-Za-z0-9_]+$");
  if (topic.size() > 200 || !re.match(topic).hasMatch()) return {};
  return QStringLiteral("/") + topic;
}

DdeClientLink::DdeClientLink(QObject* parent) : DdeClientLink(QDBusConnection::sessionBus(), parent) {}

DdeClientLink::DdeClientLink(const QDBusConnection& bus, QObject* parent) : QObject(parent), bus_(bus) {}

DdeClientLink::~DdeClientLink() { Close(); }

void DdeClientLink::SetLinkItem(const QString& item) {
  if (item == item_) return;
  Close();
  item_ = item;
}

void DdeClientLink::SetLinkTopic(const QString& topic) {
  if (topic == topic_) return;
  Close();
  topic_ = topic;
}

void DdeClientLink::SetLinkMode(LinkMode mode) {
  if (mode == mode_) return;
  if (mode == LinkMode::None) {
    Close();
    return;
  }
  Open();
}

void DdeClientLink::Open() {
  const qsizetype bar = topic_.indexOf(QLatin1Char('|'));
  if (bar < 0) throw DdeLinkError("Link topic \"" + topic_.toStdString() + "\" names no application");
  const QString service = DdeBusName(topic_.left(bar));
  const QString path = DdeObjectPath(topic_.mid(bar + 1));
  if (service.isEmpty() || path.isEmpty())
    throw DdeLinkError("Link topic \"" + topic_.toStdString() + "\" cannot be reached on the bus");
  if (item_.isEmpty()) throw DdeLinkError("Link has no item");
  if (!bus_.isConnected())
    throw DdeLinkError("No session bus: " + bus_.lastError().message().toStdString());

  // Subscribe before reading, so that a change made in between is not lost.
  if (!bus_.connect(service, path, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                    QStringList{QString::fromLatin1(kDdeTopicInterface)}, QStringLiteral("sa{sv}as"), this,
                    SLOT(OnPropertiesChanged(QString, QVariantMap, QStringList))))
    throw DdeLinkError("Cannot listen to " + service.toStdString() + ": " +
                       bus_.lastError().message().toStdString());

  QDBusMessage get = QDBusMessage::createMethodCall(service, path, kPropertiesInterface, QStringLiteral("Get"));
  get << QString::fromLatin1(kDdeTopicInterface) << item_;
  get.setAutoStartService(false);  // the server is a running program, never started for us
  const QDBusMessage reply = bus_.call(get, QDBus::Block, kAnswerTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    bus_.disconnect(service, path, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                    QStringList{QString::fromLatin1(kDdeTopicInterface)}, QStringLiteral("sa{sv}as"), this,
                    SLOT(OnPropertiesChanged(QString, QVariantMap, QStringList)));
    throw DdeLinkError("No answer from " + service.toStdString() + " " + path.toStdString() + " for item \"" +
                       item_.toStdString() + "\": " + reply.errorMessage().toStdString());
  }
  service_ = service;
  path_ = path;
  mode_ = LinkMode::Automatic;
  emit DataArrived(ValueText(reply.arguments().at(0)));
}

void DdeClientLink::Close() {
  if (mode_ == LinkMode::None) return;
  bus_.disconnect(service_, path_, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                  QStringList{QString::fromLatin1(kDdeTopicInterface)}, QStringLiteral("sa{sv}as"), this,
                  SLOT(OnPropertiesChanged(QString, QVariantMap, QStringList)));
  mode_ = LinkMode::None;
  service_.clear();
  path_.clear();
}

void DdeClientLink::OnPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated) {
  if (mode_ != LinkMode::Automatic || interface != QLatin1String(kDdeTopicInterface)) return;
  const auto it = changed.constFind(item_);
  if (it != changed.constEnd()) {
    emit DataArrived(ValueText(it.value()));
  } else if (invalidated.contains(item_)) {
    Refetch();
  }
}

// A server that only says "Call changed" is asked for the value; the answer
// is delivered when it comes, without holding up the window.
void DdeClientLink::Refetch() {
  QDBusMessage get = QDBusMessage::createMethodCall(service_, path_, kPropertiesInterface, QStringLiteral("Get"));
  get << QString::fromLatin1(kDdeTopicInterface) << item_;
  get.setAutoStartService(false);
  bus_.callWithCallback(get, this, SLOT(OnRefetched(QDBusVariant)), SLOT(OnRefetchFailed(QDBusError)), kAnswerTimeoutMs);
}

void DdeClientLink::OnRefetched(const QDBusVariant& value) {
  if (mode_ == LinkMode::Automatic) emit DataArrived(ValueText(value.variant()));
}

}  // namespace callscope
