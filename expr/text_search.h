// Byte-exact text searches for the operators and functions. Both run in
// time linear in the lengths of the texts, whatever they hold, so a hostile
// expression cannot make one evaluation take quadratic time.
#pragma once

#include <cstddef>
#include <string_view>

namespace tessera {

// Offset of the first occurrence of `needle` in `text` at or after `from`;
// npos when there is none or `needle` is empty.
size_t FindBytes(std::string_view text, std::string_view needle, size_t from = 0);

// AT's rule: the 1-based position of the n-th occurrence of `needle` in
// `text`, occurrences allowed to overlap; the position of the last one when
// there are fewer than n; 0 when there is none, n is 0 or less, or `needle`
// is empty.
int NthOccurrence(std::string_view text, std::string_view needle, int n);

}  // namespace tessera
