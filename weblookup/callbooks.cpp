#include "weblookup/callbooks.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace callscope {

Callbook ChooseCallbook(const QString& dxccPrefix) {
  if (dxccPrefix == QLatin1String("VE")) return Callbook::Canadian;
  if (dxccPrefix == QLatin1String("UA9") || dxccPrefix == QLatin1String("UA2") || dxccPrefix == QLatin1String("UA"))
    return Callbook::Russian;
  return Callbook::General;
}

const QString& CallbookHosts::For(Callbook book) const {
  switch (book) {
    case Callbook::Canadian: return canadian;
    case Callbook::Russian: return russian;
    case Callbook::General: break;
  }
  return general;
}

QString LookupUrl(Callbook book, const QString& host, const QString& callsign) {
  switch (book) {
    case Callbook::Canadian:
      return QStringLiteral("http://") + host + QStringLiteral("/cgi-bin/cgiwrap/rac/callbook?QueryText=") + callsign +
             QStringLiteral("&QueryType=call&perpage=25");
    case Callbook::Russian:
      return host + QStringLiteral("/CGI-BIN/FCS.EXE/runquery?CallSign=") + callsign;
    case Callbook::General: break;
  }
  return QStringLiteral("http://") + host + QStringLiteral("/callsign/") + callsign;
}

QString CallbookName(Callbook book) {
  switch (book) {
    case Callbook::Canadian: return QStringLiteral("Canadian database");
    case Callbook::Russian: return QStringLiteral("Russian database");
    case Callbook::General: break;
  }
  return QStringLiteral("QRZ database");
}

QString LookupStatus(Callbook book, const QString& callsign) {
  return QStringLiteral("Looking for ") + callsign + QStringLiteral(" in ") + CallbookName(book) +
         QStringLiteral("...");
}

QString ConfigDirectory() {
  const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return xdg;
  return QDir::homePath() + QStringLiteral("/.config");
}

QString CallscopeConfigPath() { return ConfigDirectory() + QStringLiteral("/callscope.conf"); }

namespace {

QString CleanHost(QString host) {
  host = host.trimmed();
  if (host.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) host.remove(0, 7);
  while (host.endsWith(QLatin1Char('/'))) host.chop(1);
  return host;
}

void Override(const QSettings& conf, const char* key, QString& host) {
  const QString value = CleanHost(conf.value(QLatin1String(key)).toString());
  if (!value.isEmpty()) host = value;
}

}  // namespace

CallbookHosts LoadCallbookHosts(const QString& configPath) {
  CallbookHosts hosts;
  if (!QFileInfo::exists(configPath)) return hosts;
  QSettings conf(configPath, QSettings::IniFormat);
  conf.beginGroup(QStringLiteral("Hosts"));
  Override(conf, "General", hosts.general);
  Override(conf, "Canadian", hosts.canadian);
  Override(conf, "Russian", hosts.russian);
  return hosts;
}

}  // namespace callscope
