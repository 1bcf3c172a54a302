// One field of a table: its descriptor as read from the header, with the
// offset and number the engine computes when the table is opened.
#pragma once

#include <cstdint>
#include <string>

namespace tessera {

struct DbfField {
  char name[11] = {};   // up to 10 characters, NUL-terminated
  char type = 'C';      // type letter
  uint32_t offset = 0;  // first byte in the record (byte 0 is the deletion mark)
  uint8_t length = 0;   // width; for C the low byte of the width
  uint8_t decimals = 0; // decimals; for C the high byte of the width
  uint8_t flags = 0;    // descriptor byte 18 (FoxPro field flags), kept
  uint16_t number = 0;  // 1-based position
  // The field's long name from the table's Visual FoxPro database
  // container (the descriptor keeps at most 10 characters of it); empty
  // when the table has no container or it could not be read.
  std::string long_name;

  // Width in bytes: a C field is length + 256 * decimals wide.
  int Width() const { return type == 'C' ? length + 256 * decimals : length; }
  int Decimals() const { return type == 'C' ? 0 : decimals; }
  // The name as the descriptor stores it.
  std::string Name() const { return std::string(name); }
  // The name users know the field by: the long name when there is one.
  std::string FullName() const { return long_name.empty() ? Name() : long_name; }
};

}  // namespace tessera
