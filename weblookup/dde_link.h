// Client side of a DDE-style conversation, carried over the D-Bus session
// bus.
//
// A DDE client names an application, a topic and an item, and in automatic
// mode the server pushes every new value of the item to it. On the session
// bus the same conversation looks like this:
//
//   application "Sorrel"     -> well-known bus name "dde.Sorrel"
//   topic "QSO"              -> object path "/QSO" owned by that name
//   item "Call"              -> string property "Call" of the interface
//                               "dde.Topic" on that object
//   a push of a new value    -> org.freedesktop.DBus.Properties.PropertiesChanged
//                               from that object, interface "dde.Topic",
//                               the item and its value in the changed map
//                               (or its name in the invalidated list, after
//                               which the link reads the value with Get)
//
// The link follows whichever client owns the bus name, so a server that is
// restarted (or replaced by another program under the same name) keeps
// feeding the link without the client doing anything.
#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <stdexcept>
#include <string>

namespace callscope {

// The interface every topic object implements; its properties are the items.
inline constexpr char kDdeTopicInterface[] = "dde.Topic";

// "dde." + application; empty when the application name cannot be part of a
// bus name (letters, digits, '_' and '-' only, not starting with a digit).
QString DdeBusName(const QString& application);
// "/" + topic; empty when the topic cannot be an object path element
// (letters, digits and '_' only).
QString DdeObjectPath(const QString& topic);

// The modes of a link, numbered as DDE clients number them. Only None and
// Automatic are served: a manual link (the client asks for each value) and
// a notify link (told of changes, asks later) have no user here.
enum class LinkMode { None = 0, Automatic = 1 };

// Raised when a link cannot be set up; the text says why.
class DdeLinkError : public std::runtime_error {
 public:
  explicit DdeLinkError(const std::string& what) : std::runtime_error(what) {}
};

// One hot link to one item. Set the item, then the topic ("Application|Topic"),
// then the mode: switching to Automatic opens the conversation, reads the
// item's current value (delivered through DataArrived like any later push)
// and subscribes to its changes. Changing the item or topic of an open link
// closes it first.
class DdeClientLink : public QObject {
  Q_OBJECT
 public:
  explicit DdeClientLink(QObject* parent = nullptr);
  DdeClientLink(const QDBusConnection& bus, QObject* parent);
  ~DdeClientLink() override;

  QString LinkItem() const { return item_; }
  QString LinkTopic() const { return topic_; }
  LinkMode Mode() const { return mode_; }

  void SetLinkItem(const QString& item);
  void SetLinkTopic(const QString& topic);
  // Throws DdeLinkError when the conversation cannot be opened: no bus, a
  // malformed topic, no server answering for the application and topic, or
  // a server that does not publish the item. The mode stays None then.
  void SetLinkMode(LinkMode mode);

  // How long opening a link waits for the server's answer.
  static constexpr int kAnswerTimeoutMs = 5000;

 signals:
  // A value pushed by the server (or read when the link opened).
  void DataArrived(const QString& value);

 private slots:
  void OnPropertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);
  void OnRefetched(const QDBusVariant& value);
  void OnRefetchFailed(const QDBusError&) {}  // the box keeps its text, as after a lost push

 private:
  void Open();
  void Close();
  void Refetch();

  QDBusConnection bus_;
  QString item_;
  QString topic_;
  LinkMode mode_ = LinkMode::None;
  QString service_;  // bus name and path of the open conversation
  QString path_;
};

}  // namespace callscope
