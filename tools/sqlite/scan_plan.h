// ScanPlan: the way through a table xBestIndex chose and xFilter follows,
// carried between them as the index number (the tag's number, 0 for
// record order) and the index text, which EXPLAIN QUERY PLAN shows:
//
//   "CALL ="         the tag CALL, one argument: an equality
//   "FIO ~ desc"     the tag FIO, a LIKE prefix, walked backwards
//   "recno >< desc"  record order between two record numbers, backwards
//
// One letter per argument, in argument order:
//   tags:         "=" equal   ">" at least   "<" at most
//                 "~" LIKE prefix   "*" GLOB prefix
//   record order: "=" the record   ">" above   "]" at least
//                 "<" below   "[" at most
// A tag's bounds are taken as inclusive; SQLite checks every row against
// the constraints itself, so the rows at the ends are sorted out there.
#pragma once

#include <string>

namespace tessera_sql {

struct ScanPlan {
  int tag = 0;  // tag number over the table's index files; 0: record order
  std::string name = "recno";
  std::string ops;
  bool descending = false;

  std::string Text() const { return name + " " + ops + (descending ? " desc" : ""); }
  static ScanPlan Parse(int number, const char* text) {
    ScanPlan p;
    p.tag = number;
    const std::string t = text == nullptr ? std::string() : std::string(text);
    const size_t a = t.find(' ');
    p.name = t.substr(0, a);
    if (a != std::string::npos) {
      const size_t b = t.find(' ', a + 1);
      p.ops = t.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
      p.descending = b != std::string::npos && t.compare(b + 1, std::string::npos, "desc") == 0;
    }
    return p;
  }
};

}  // namespace tessera_sql
