// Blanks around texts, and lists of names written as one text.
//
// A list of names is how field lists, tag lists and the variables an
// expression reads pass between the engine, the dataset and the tools:
// "NAME; CITY;ZIP", the names separated by ";" with blanks around them
// of no account.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plat {

// The text without the given characters at its end / at both ends (by
// default blanks only; field bytes of other programs may end in NULs too).
std::string_view TrimRightOf(std::string_view text, std::string_view chars = " ");
std::string_view TrimOf(std::string_view text, std::string_view chars = " ");

// The names of a ";"-list, each without blanks around it. Empty names
// are dropped, unless `keep_empty` (where a name's place in the list
// counts: the n-th name goes with the n-th value).
std::vector<std::string> SplitNameList(std::string_view list, bool keep_empty = false);

}  // namespace plat
