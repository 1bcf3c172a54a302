// Creating a new, empty table from a field list. The engine itself never
// changes the structure of an existing table; this is how tools and tests
// make new ones.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessera {

struct FieldSpec {
  std::string name;  // 1..10 letters, digits or "_", starting with a letter or "_"
  char type = 'C';   // C N F D L M B G I T Y
  int width = 0;     // 0: the type's fixed width (D 8, L 1, memo 10 or 4, ...)
  int decimals = 0;
};

struct CreateOptions {
  int32_t memo_block_size = 0;  // 0: the memo layout's default (512, or 64 for FoxPro)
  bool overwrite = false;       // replace an existing file instead of failing with 183
};

// Writes `file_name` (".DBF" added when it has no extension): a header for
// version 0x03, 0x83, 0x8B, 0xF5 or 0x30, the descriptors, 0x0D, the 263-byte
// area of 0x30 tables and the end-of-file mark; and an empty memo file of
// the version's kind when the version has one (0x30: when a field needs it).
// Raises ETesseraError for a field list it cannot hold.
void CreateTable(std::string_view file_name, uint8_t version, const std::vector<FieldSpec>& fields,
                 const CreateOptions& options = {});

}  // namespace tessera
