// Helpers shared by the key sort tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/variant.h"
#include "index/key_sort.h"

namespace sort_test {

struct Out {
  tessera::VariantKind kind;
  std::string bytes;  // the delivered value's bytes
  int32_t recno;
};

// Every key the sort delivers, in order.
inline std::vector<Out> Drain(tessera::TktSort& sort) {
  std::vector<Out> out;
  tessera::TktVariant key;
  int32_t recno = 0;
  while (sort.NextKey(key, recno)) out.push_back({key.kind(), std::string(key.bytes()), recno});
  return out;
}

inline tessera::TktVariant Text(std::string_view s) {
  tessera::TktVariant v;
  v.SetText(s);
  return v;
}
// Keys sharing long prefixes, their lengths around the 16 bytes the sort
// compares as integers, drawn from a fixed sequence (`seed`) with `tails`
// different endings, one per record 1 .. count. Every `again`-th record adds
// its key a second time (delivered once), every `far`-th adds it for record
// r / 2 as well, so that repeats fall in different runs. `after` is called
// after each record's keys.
inline void AddPrefixedKeys(tessera::TktSort& sort, int32_t count, uint64_t seed, uint32_t tails, int32_t again,
                            int32_t far, const std::function<void()>& after = {}) {
  uint64_t s = seed;
  for (int32_t r = 1; r <= count; ++r) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    const auto n = static_cast<uint32_t>(s >> 33);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*sKEY%05u", static_cast<int>(n % 14), "SAME-PREFIX-LONG", (n >> 8) % tails);
    sort.AddKey(Text(buf), r);
    if (r % again == 0) sort.AddKey(Text(buf), r);
    if (r % far == 0) sort.AddKey(Text(buf), r / 2);
    if (after) after();
  }
}
inline tessera::TktVariant Number(double d) {
  tessera::TktVariant v;
  v.SetNumber(d);
  return v;
}
inline tessera::TktVariant Day(int32_t d) {
  tessera::TktVariant v;
  v.SetDayNumber(d);
  return v;
}
inline tessera::TktVariant Bytes(std::string_view s) {
  tessera::TktVariant v;
  v.SetBytes(s.data(), static_cast<int32_t>(s.size()));
  return v;
}

inline std::vector<int32_t> Recnos(const std::vector<Out>& out) {
  std::vector<int32_t> r;
  for (const auto& o : out) r.push_back(o.recno);
  return r;
}

// Adds distinct binary keys (0xFF followed by a counter) that sort after
// the test's own keys until the sort has written `runs` runs.
inline int32_t FillUntilRuns(tessera::TktSort& sort, size_t runs, int32_t first_recno) {
  int32_t r = first_recno;
  while (sort.RunCount() < runs) {
    const uint32_t n = static_cast<uint32_t>(r);
    const char b[4] = {'\xFF', static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
    tessera::TktVariant v = Bytes(std::string_view(b, 4));
    sort.AddKey(v, r++);
  }
  return r;
}

}  // namespace sort_test
