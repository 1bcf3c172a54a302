// Fictional callbook cards for demos, tests and benchmarks: Russian-style
// names, towns, regions and streets in Cyrillic, plausible callsigns,
// addresses on example domains. Deterministic for a seed; no real person's
// data.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/dbf_create.h"

namespace pyx_sample {

constexpr int kFieldCount = 13;

// The callbook's fields, in table order: CALL_ 10, FAM_ 20, IM_ 15, OTCH_ 20,
// IND_ 6, REG_ 30, GOR_ 25, ULIC_ 40, TEL_ 15, PRIM_ 40, STRANA_ 20,
// EMAIL_ 40, URL_ 40 (all character; header length 449).
const std::vector<tessera::FieldSpec>& CallbookFields();

// The callbook's eleven index tags, in the order it creates them.
struct TagDef {
  const char* name;
  const char* expression;
};
inline constexpr TagDef kCallbookTags[] = {
    {"FIO", "FAM_+IM_+OTCH_"}, {"IM", "IM_+FAM_+OTCH_"}, {"OTCH", "OTCH_+FAM_+IM_"}, {"CALL", "CALL_"},
    {"REG", "REG_"},           {"GOR", "GOR_"},          {"STRANA", "STRANA_"},     {"IND", "IND_"},
    {"TEL", "TEL_"},           {"EMAIL", "EMAIL_"},      {"URL", "URL_"},
};

// One card; texts in UTF-8, each within its field's width in characters.
using Card = std::array<std::string, kFieldCount>;

class CardGenerator {
 public:
  explicit CardGenerator(uint64_t seed);
  // Card `index` (0-based) of a table of `total` cards; the card at index
  // min(1000, total - 1) is always QZ6ZZZ.
  Card Make(int64_t index, int64_t total);

 private:
  uint64_t Next();
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
  bool Chance(int percent) { return Below(100) < percent; }

  uint64_t state_;
};

// How the texts of the cards are stored.
enum class Letters {
  kAsWritten,  // "Павлов": mixed case, for tests of the engine's texts
  kCapitals,   // "ПАВЛОВ": as the callbook window stores and searches them
};

// Writes DIR/Pyx.DBF with `cards` cards, making DIR (and its parents) when
// it is missing. Refuses to replace an existing table unless `overwrite`.
void WriteSampleTable(const std::string& dir, int64_t cards, uint64_t seed, bool overwrite,
                      Letters letters = Letters::kAsWritten);

}  // namespace pyx_sample
