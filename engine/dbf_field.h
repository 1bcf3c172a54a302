// One field of a table: its descriptor as read from the header, with the
// offset and number the engine computes when the table is opened.
#pragma once

#include <cstdint>
#include <string>

namespace tessera {

// Descriptor byte 18 of a Visual FoxPro table.
enum FoxFieldFlag : uint8_t {
  kFoxSystem = 0x01,         // hidden system field (_NullFlags)
  kFoxNullable = 0x02,       // the field may hold .NULL.
  kFoxBinary = 0x04,         // NOCPTRANS: bytes, never translated between code pages
  kFoxAutoIncrement = 0x08,  // with 0x04: the table numbers new records in it
};

struct DbfField {
  // Up to 10 characters (dBase II, III, IV, FoxPro) or 31 (dBase 7),
  // NUL-terminated.
  char name[33] = {};
  char type = 'C';      // type letter
  uint32_t offset = 0;  // first byte in the record (byte 0 is the deletion mark)
  uint8_t length = 0;   // width; for C the low byte of the width
  uint8_t decimals = 0; // decimals; for C the high byte of the width
  uint8_t flags = 0;    // Visual FoxPro: descriptor byte 18 (FoxFieldFlag); 0 in other tables
  uint16_t number = 0;  // 1-based position
  // Visual FoxPro: the field's bits in the _NullFlags field (bit n is bit
  // n % 8 of its byte n / 8), -1 for none. A nullable field has a null
  // bit; a V or Q field has a length bit, set when the value is shorter
  // than the field and its length is in the field's last byte. A field
  // with both has the length bit first.
  int16_t null_bit = -1;
  int16_t length_bit = -1;
  // Where the descriptor lies in the file (the autoincrement counter of a
  // Visual FoxPro field is rewritten there).
  uint32_t descriptor_at = 0;
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
  bool IsSystem() const { return (flags & kFoxSystem) != 0; }
  bool IsNullable() const { return (flags & kFoxNullable) != 0; }
  bool IsAutoIncrement() const { return (flags & kFoxAutoIncrement) != 0; }
  // Bytes that no code page applies to: Q, and C, V and M with NOCPTRANS
  // (on I, T, Y and B fields the flag means nothing more than binary).
  bool IsBinaryText() const {
    return type == 'Q' || ((flags & kFoxBinary) != 0 && (type == 'C' || type == 'V' || type == 'M'));
  }
};

}  // namespace tessera
