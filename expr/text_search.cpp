#include "expr/text_search.h"

#include <cstring>
#include <vector>

namespace tessera {

size_t FindBytes(std::string_view text, std::string_view needle, size_t from) {
  if (needle.empty() || from > text.size() || text.size() - from < needle.size()) return std::string_view::npos;
  // glibc's memmem is the two-way algorithm: linear in both lengths.
  const void* hit = ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  if (hit == nullptr) return std::string_view::npos;
  return static_cast<size_t>(static_cast<const char*>(hit) - text.data());
}

int NthOccurrence(std::string_view text, std::string_view needle, int n) {
  if (n <= 0 || needle.empty() || needle.size() > text.size()) return 0;
  // Knuth-Morris-Pratt: every occurrence, overlapping ones included, in one
  // pass over the text.
  const size_t m = needle.size();
  std::vector<size_t> fail(m, 0);
  for (size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && needle[i] != needle[k]) k = fail[k - 1];
    if (needle[i] == needle[k]) ++k;
    fail[i] = k;
  }
  int found = 0;
  size_t last = 0;
  for (size_t i = 0, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != needle[k]) k = fail[k - 1];
    if (text[i] == needle[k]) ++k;
    if (k == m) {
      last = i + 1 - m;
      if (++found == n) break;
      k = fail[k - 1];
    }
  }
  return found == 0 ? 0 : static_cast<int>(last + 1);
}

}  // namespace tessera
