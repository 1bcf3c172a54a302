#include "weblookup/country_prefixes.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <algorithm>

namespace callscope {

namespace {

// cty.dat is about a third of a megabyte; a file many times that is not a
// country file, and is refused rather than read into memory.
constexpr qint64 kMaxCountryFileSize = 16 * 1024 * 1024;

// Suffixes that say how or where a station operates, not which entity it
// is in: portable, mobile, maritime and aeronautical mobile, low power,
// alternative location, lighthouse, beacon, rover.
bool IsOperatingSuffix(const QString& s) {
  static const QStringList kSuffixes = {"P", "M", "MM", "AM", "QRP", "QRPP", "A", "B", "LH", "BCN", "LGT", "R"};
  return kSuffixes.contains(s);
}

bool IsCallChar(QChar c) { return (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'/'; }

// One prefix of the list, its overrides dropped: "UA9(17)[30]" is "UA9".
QString StripOverrides(const QString& token) {
  QString out;
  QChar closer;
  for (const QChar c : token) {
    if (!closer.isNull()) {
      if (c == closer) closer = QChar();
      continue;
    }
    switch (c.unicode()) {
      case u'(': closer = u')'; break;
      case u'[': closer = u']'; break;
      case u'<': closer = u'>'; break;
      case u'{': closer = u'}'; break;
      case u'~': closer = u'~'; break;
      default:
        if (!c.isSpace()) out += c.toUpper();
    }
  }
  return out;
}

// The prefix a station signs under with a one-digit area suffix: its
// call's prefix with the area digit (the last digit) replaced, UA3XX/9 ->
// UA9. The letters after the digit are left out: in the home call they may
// name a region (UA9X is Komi, in European Russia), but the suffix says
// only which area the station is in now.
QString AreaPrefix(const QString& call, QChar digit) {
  for (qsizetype i = call.size() - 1; i >= 0; --i) {
    if (call[i].isDigit()) return call.left(i) + digit;
  }
  return call + digit;
}

}  // namespace

CountryPrefixes CountryPrefixes::Load(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw CountryFileError("cannot read " + path.toStdString() + ": " + f.errorString().toStdString());
  if (f.size() > kMaxCountryFileSize) throw CountryFileError(path.toStdString() + " is too large for a country file");
  const QByteArray text = f.read(kMaxCountryFileSize + 1);
  try {
    return Parse(text);
  } catch (const CountryFileError& e) {
    throw CountryFileError(path.toStdString() + ": " + e.what());
  }
}

CountryPrefixes CountryPrefixes::Parse(const QByteArray& text) {
  CountryPrefixes table;
  // The file is ASCII; Latin-1 reads any byte without failing.
  const QStringList records = QString::fromLatin1(text).split(u';');
  for (const QString& record : records) {
    // Eight header fields, each ended by ':', then the prefix list.
    qsizetype at = 0;
    QString primary;
    bool complete = true;
    for (int field = 0; field < 8; ++field) {
      const qsizetype colon = record.indexOf(u':', at);
      if (colon < 0) {
        complete = false;
        break;
      }
      if (field == 7) primary = record.mid(at, colon - at).trimmed();
      at = colon + 1;
    }
    if (!complete || primary.isEmpty() || primary.startsWith(u'*')) continue;
    bool any = false;
    for (const QString& raw : record.mid(at).split(u',')) {
      QString token = StripOverrides(raw);
      const bool whole = token.startsWith(u'=');
      if (whole) token.remove(0, 1);
      if (token.isEmpty() || !std::all_of(token.begin(), token.end(), IsCallChar)) continue;
      QHash<QString, QString>& map = whole ? table.calls_ : table.prefixes_;
      if (!map.contains(token)) map.insert(token, primary);  // the first entity to claim it keeps it
      if (!whole) table.longest_ = std::max(table.longest_, token.size());
      any = true;
    }
    if (any) ++table.entities_;
  }
  if (table.entities_ == 0) throw CountryFileError("no country entity in the file");
  return table;
}

QString CountryPrefixes::Longest(const QString& text) const {
  for (qsizetype n = std::min(text.size(), longest_); n > 0; --n) {
    const auto it = prefixes_.constFind(text.left(n));
    if (it != prefixes_.constEnd()) return it.value();
  }
  return {};
}

QString CountryPrefixes::PrimaryPrefix(const QString& callsign) const {
  QString call = callsign.trimmed().toUpper();
  if (call.startsWith(u'<') && call.endsWith(u'>')) call = call.mid(1, call.size() - 2).trimmed();
  if (call.isEmpty()) return {};
  if (const auto it = calls_.constFind(call); it != calls_.constEnd()) return it.value();

  QStringList parts = call.split(u'/', Qt::SkipEmptyParts);
  while (parts.size() > 1 && IsOperatingSuffix(parts.last())) parts.removeLast();
  if (parts.isEmpty()) return {};
  const QString base = parts.join(u'/');
  if (const auto it = calls_.constFind(base); it != calls_.constEnd()) return it.value();
  if (parts.size() == 1) return Longest(base);

  const QString& first = parts[0];
  const QString& second = parts[1];
  if (second.size() == 1 && second[0].isDigit()) return Longest(AreaPrefix(first, second[0]));
  // The shorter part is the prefix the station works under; when it names
  // no entity (an unknown suffix), the other part still may.
  const bool secondShorter = second.size() < first.size();
  const QString found = Longest(secondShorter ? second : first);
  return found.isEmpty() ? Longest(secondShorter ? first : second) : found;
}

QString FindCountryFile(const QString& configPath) {
  if (QFileInfo::exists(configPath)) {
    const QSettings conf(configPath, QSettings::IniFormat);
    const QString configured = conf.value(QStringLiteral("Prefixes/CountryFile")).toString().trimmed();
    if (!configured.isEmpty()) return configured;
  }
  QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
  if (dirs.isEmpty()) dirs = QStringLiteral("/usr/local/share:/usr/share");
  for (const QString& dir : dirs.split(u':', Qt::SkipEmptyParts)) {
    const QString path = dir + QStringLiteral("/hamradio-files/cty.dat");
    if (QFileInfo::exists(path)) return path;
  }
  return {};
}

}  // namespace callscope
