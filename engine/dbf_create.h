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
  char type = 'C';   // C N F D L M B G I T Y; Visual FoxPro 0x32 also V Q W
  int width = 0;     // 0: the type's fixed width (D 8, L 1, memo 10 or 4, ...)
  int decimals = 0;
  // Visual FoxPro (0x30, 0x31, 0x32) only: the field may hold .NULL.; an I
  // field is numbered by the table from 1 in steps of 1.
  bool nullable = false;
  bool autoincrement = false;
};

struct CreateOptions {
  int32_t memo_block_size = 0;  // 0: the memo layout's default (512, or 64 for FoxPro)
  bool overwrite = false;       // replace an existing file instead of failing with 183
};

// Writes `file_name` (".DBF" added when it has no extension): a header for
// version 0x03, 0x83, 0x8B, 0xF5, 0x30, 0x31 or 0x32, the descriptors, 0x0D,
// the 263-byte backlink area of Visual FoxPro tables and the end-of-file
// mark; and an empty memo file of the version's kind when the version has
// one (Visual FoxPro: when a field needs it). A Visual FoxPro table with
// nullable, varchar or varbinary fields gets the _NullFlags field their
// bits need, last.
// Raises ETesseraError for a field list it cannot hold.
void CreateTable(std::string_view file_name, uint8_t version, const std::vector<FieldSpec>& fields,
                 const CreateOptions& options = {});

}  // namespace tessera
