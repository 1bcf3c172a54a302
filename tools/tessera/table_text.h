// Texts of a table in the tool's UTF-8 and back. A table's texts are in
// its code page (the header's language-driver mark, CP866 without one);
// --codepage, an option of every command, names another for every table
// the command opens.
#pragma once

#include <string>
#include <string_view>

#include "engine/dbf_table.h"

namespace tessera_tool {

// The code page --codepage named (0: none); set once by main.
void SetCodePageOverride(int number);
// Whether --codepage named one, and which (0: none).
bool CodePageOverridden();
int CodePageOverride();
// Gives `table` the code page --codepage named, if any.
void ApplyCodePage(tessera::KTO_dBaseDBF& table);

// Raise plat::CodePageError when the system cannot convert the table's
// code page.
std::string ToUtf8(const tessera::KTO_dBaseDBF& table, std::string_view text);
std::string FromUtf8(const tessera::KTO_dBaseDBF& table, std::string_view text);

}  // namespace tessera_tool
