#include "qso_topic.h"

#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

bool QsoTopic::SetItem(const QString& name, const QString& value) {
  if (name.compare(QLatin1String("Call"), Qt::CaseInsensitive) == 0) {
    SetCall(value);
  } else if (name.compare(QLatin1String("Command"), Qt::CaseInsensitive) == 0) {
    SetCommand(value);
  } else if (name.compare(QLatin1String("DxccPrefix"), Qt::CaseInsensitive) == 0) {
    SetDxccPrefix(value);
  } else {
    return false;
  }
  return true;
}

bool QsoTopic::IsItem(const QString& name) {
  for (const char* item : {"Call", "Command", "DxccPrefix"}) {
    if (name.compare(QLatin1String(item), Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

void QsoTopic::Publish(const char* item, QString& slot, const QString& value) {
  slot = value;
  QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kPath), QStringLiteral("org.freedesktop.DBus.Properties"),
                                                   QStringLiteral("PropertiesChanged"));
  signal << QString::fromLatin1(kInterface) << QVariantMap{{QString::fromLatin1(item), value}} << QStringList{};
  bus_.send(signal);
}
