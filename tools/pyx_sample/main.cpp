// pyx-sample [--cards N] [--seed S] [--force] DIR
// Writes a new callbook table DIR/Pyx.DBF of fictional cards, stored as the
// callbook window stores cards: in capitals, in CP866.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "engine/engine.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

int Usage(std::ostream& out, int status) {
  out << "usage: pyx-sample [--cards N] [--seed S] [--force] DIR\n"
         "Writes DIR/Pyx.DBF: N fictional callbook cards (default 2000) in capitals and\n"
         "CP866, as the callbook stores them, deterministic for the seed S (default 1);\n"
         "one card is always QZ6ZZZ. DIR is made when it is missing.\n"
         "--force replaces an existing Pyx.DBF.\n";
  return status;
}

bool ParseCount(const char* text, long long* out) {
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long long cards = 2000, seed = 1;
  bool force = false;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage(std::cout, 0);
    if ((a == "--cards" || a == "--seed") && i + 1 < argc) {
      long long v = 0;
      if (!ParseCount(argv[++i], &v)) return Usage(std::cerr, 2);
      (a == "--cards" ? cards : seed) = v;
    } else if (a == "--force") {
      force = true;
    } else if (!a.empty() && a[0] != '-' && dir.empty()) {
      dir = a;
    } else {
      return Usage(std::cerr, 2);
    }
  }
  if (dir.empty()) return Usage(std::cerr, 2);
  try {
    tessera::EngineScope engine;
    pyx_sample::WriteSampleTable(dir, cards, static_cast<uint64_t>(seed), force, pyx_sample::Letters::kCapitals);
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
