// The country (DXCC entity) of a callsign, by its prefix, from a country
// file in the format of cty.dat, the file that Debian's hamradio-files
// package installs and that most logging programs read.
//
// cty.dat is a list of entities, each ended by ';':
//
//   European Russia:  16:  29:  EU:   53.65:   -41.37:    -4.0:  UA:
//       R,U,=R0BM/6,=R25EMW(17)[19],...;
//
// eight ':'-ended header fields (name, CQ zone, ITU zone, continent,
// latitude, longitude, UTC offset, primary prefix), then the entity's
// prefixes separated by ','. A prefix written "=CALL" is one whole
// callsign. Any prefix may carry overrides in brackets, (CQ zone)
// [ITU zone] <lat/long> {continent} ~UTC offset~, which are dropped here.
// A primary prefix marked '*' is an entity of the WAE list only, not of
// DXCC (Sicily "*IT9", European Turkey "*TA1"); its calls belong to their
// DXCC entity (Italy, Turkey) and the '*' entities are left out.
#pragma once

#include <QHash>
#include <QString>
#include <stdexcept>
#include <string>

#include "weblookup/callbooks.h"

namespace callscope {

// Raised when a country file cannot be read or holds no entity.
class CountryFileError : public std::runtime_error {
 public:
  explicit CountryFileError(const std::string& what) : std::runtime_error(what) {}
};

class CountryPrefixes {
 public:
  // Reads the country file at the path; throws CountryFileError.
  static CountryPrefixes Load(const QString& path);
  // Reads the text of a country file; throws CountryFileError when no
  // entity is in it. Records that do not have the eight header fields are
  // skipped.
  static CountryPrefixes Parse(const QByteArray& text);

  // The primary prefix of the callsign's entity ("UA", "UA2", "UA9",
  // "VE", "K", ...), or empty when nothing matches. Case and surrounding
  // blanks do not matter, nor the "<...>" WSJT-X puts around some calls.
  //
  // A whole-call entry of the file wins; else the longest prefix of the
  // file that begins the call. Portable forms are read as logging programs
  // read them:
  //   UA3XX/P, /M, /MM, /AM, /QRP, ...   the suffix is dropped (so a
  //                                      maritime or aeronautical mobile
  //                                      station counts for its home
  //                                      entity, whose callbook has it)
  //   EA8/UA3XX, UA3XX/EA8               the shorter part is the prefix
  //   UA3XX/9, RA3XX/0                   a one-digit suffix replaces the
  //                                      call's area digit, and the
  //                                      prefix it makes (UA9, RA0) is
  //                                      looked up
  QString PrimaryPrefix(const QString& callsign) const;

  int EntityCount() const { return entities_; }

 private:
  QString Longest(const QString& text) const;

  QHash<QString, QString> calls_;     // whole callsign -> primary prefix
  QHash<QString, QString> prefixes_;  // prefix -> primary prefix
  qsizetype longest_ = 0;             // length of the longest prefix
  int entities_ = 0;
};

// Where the country file is: the CountryFile key of section [Prefixes] in
// callscope.conf when set (whether or not the file exists, so that a wrong
// setting shows), else hamradio-files/cty.dat in the first data directory
// of $XDG_DATA_DIRS (default /usr/local/share:/usr/share) that has it.
// Empty when there is none.
QString FindCountryFile(const QString& configPath = CallscopeConfigPath());

}  // namespace callscope
