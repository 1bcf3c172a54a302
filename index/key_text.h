// Search values given as text for date and numeric tags: a date as
// "YYYYMMDD" or in the locale's short form, a number in decimal notation.
// A text that is neither is the caller's mistake and is reported as the
// engine's error 1004 (a value of the wrong type) naming the tag, so that callers see an engine error
// like every other refusal, never the conversion error from below.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessera {

class KTobjIndexTag;

// The day number of `text` (0 for an empty text).
int32_t KeyTextDate(const KTobjIndexTag& tag, std::string_view text);
// A date and time as the number Visual FoxPro's date-time keys store: the
// day number plus the time as a fraction of a day. The date as
// KeyTextDate takes it, then (after a blank or a "T") "hh:mm[:ss[.fff]]";
// or "YYYYMMDDhhmmss". 0 for an empty text.
double KeyTextDateTime(const KTobjIndexTag& tag, std::string_view text);
// The number `text` spells (0 for an empty text).
double KeyTextNumber(const KTobjIndexTag& tag, std::string_view text);

}  // namespace tessera
