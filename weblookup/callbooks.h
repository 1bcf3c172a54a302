// The three web callbooks Callscope can show, the rule that picks one for a
// station, and the query page and status text of each.
#pragma once

#include <QString>

namespace callscope {

enum class Callbook { General, Canadian, Russian };

// By the station's country prefix, compared exactly (case-sensitive):
// "VE" is Canadian; "UA", "UA2" and "UA9" are Russian; anything else,
// "VE3", "UA3" and the empty prefix included, goes to the general callbook.
Callbook ChooseCallbook(const QString& dxccPrefix);

// Where each callbook lives: a host name, optionally with ":port".
struct CallbookHosts {
  QString general = QStringLiteral("www.qrz.com");
  QString canadian = QStringLiteral("www.rac.ca");
  QString russian = QStringLiteral("www.qrz.ru");

  const QString& For(Callbook book) const;
};

// The query page for a callsign, which is appended as typed (no escaping
// or trimming), so an empty callsign gives the bare query:
//   General   "http://" host "/callsign/" CALL
//   Canadian  "http://" host "/cgi-bin/cgiwrap/rac/callbook?QueryText=" CALL
//             "&QueryType=call&perpage=25"
//   Russian   host "/CGI-BIN/FCS.EXE/runquery?CallSign=" CALL   (no scheme:
//             the browser takes it as http)
QString LookupUrl(Callbook book, const QString& host, const QString& callsign);

// "QRZ database", "Canadian database" or "Russian database".
QString CallbookName(Callbook book);

// "Looking for " CALL, then " in QRZ database...", " in Canadian
// database..." or " in Russian database...".
QString LookupStatus(Callbook book, const QString& callsign);

// The user's configuration directory: $XDG_CONFIG_HOME when set (and
// absolute), else ~/.config.
QString ConfigDirectory();

// "callscope.conf" in the configuration directory.
QString CallscopeConfigPath();

// The default hosts, each replaced by the one named in the [Hosts] section
// of the given file (keys General, Canadian, Russian) when it is there and
// not empty. A missing or unreadable file leaves the defaults. A value may
// be written with "http://" in front or "/" behind; both are dropped since
// the page patterns supply them.
CallbookHosts LoadCallbookHosts(const QString& configPath = CallscopeConfigPath());

}  // namespace callscope
