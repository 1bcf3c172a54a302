// Sorrel's "QSO" topic as it appears on the session bus: the object "/QSO"
// with the interface "dde.Topic", whose string properties are the items
// Call, Command and DxccPrefix. Every value set, by this program or by a
// client's Properties.Set, is announced with PropertiesChanged, even when it
// equals the old value: a client reads each announcement as a push.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QsoTopic : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "dde.Topic")
  Q_PROPERTY(QString Call READ Call WRITE SetCall)
  Q_PROPERTY(QString Command READ Command WRITE SetCommand)
  Q_PROPERTY(QString DxccPrefix READ DxccPrefix WRITE SetDxccPrefix)

 public:
  explicit QsoTopic(const QDBusConnection& bus) : bus_(bus) {}

  static constexpr char kBusName[] = "dde.Sorrel";
  static constexpr char kPath[] = "/QSO";
  static constexpr char kInterface[] = "dde.Topic";

  QString Call() const { return call_; }
  QString Command() const { return command_; }
  QString DxccPrefix() const { return dxccPrefix_; }
  void SetCall(const QString& v) { Publish("Call", call_, v); }
  void SetCommand(const QString& v) { Publish("Command", command_, v); }
  void SetDxccPrefix(const QString& v) { Publish("DxccPrefix", dxccPrefix_, v); }

  // Sets an item by its name, whatever its letter case ("call" is "Call").
  // False for a name that is not one of the three items.
  bool SetItem(const QString& name, const QString& value);
  static bool IsItem(const QString& name);

 private:
  void Publish(const char* item, QString& slot, const QString& value);

  QDBusConnection bus_;
  QString call_;
  QString command_;
  QString dxccPrefix_;
};
