#include "index/null_flags.h"

#include "engine/dbf_fields.h"

namespace tessera {
namespace {

// The _NullFlags field: the system field (flag 0x01) of type '0'.
const DbfField* NullFlagsField(const KTO_dBaseFld& table) {
  for (int i = table.FieldCount(); i >= 1; --i) {
    const DbfField& f = table.Field(i);
    if (f.type == '0' && (f.flags & 0x01) != 0) return &f;
  }
  return nullptr;
}

// The number of the null bit of field `number`, -1 without one.
int NullBit(const KTO_dBaseFld& table, int number) {
  int bit = 0;
  for (int i = 1; i <= table.FieldCount(); ++i) {
    const DbfField& f = table.Field(i);
    if ((f.flags & 0x01) != 0) continue;  // system fields have no bits
    if (f.type == 'V' || f.type == 'Q') ++bit;
    if ((f.flags & 0x02) != 0) {
      if (i == number) return bit;
      ++bit;
    }
  }
  return -1;
}

}  // namespace

bool FieldNullable(const KTO_dBaseFld& table, int number) {
  if (number < 1 || number > table.FieldCount()) return false;
  const DbfField* flags = NullFlagsField(table);
  const int bit = NullBit(table, number);
  return flags != nullptr && bit >= 0 && bit / 8 < flags->Width();
}

bool FieldIsNull(const KTO_dBaseFld& table, int number) {
  if (!FieldNullable(table, number)) return false;
  const DbfField& flags = *NullFlagsField(table);
  const int bit = NullBit(table, number);
  const auto byte = static_cast<unsigned char>(table.RecordBytes()[flags.offset + static_cast<uint32_t>(bit / 8)]);
  return (byte >> (bit % 8) & 1) != 0;
}

bool SetFieldNull(KTO_dBaseFld& table, int number, bool null) {
  if (!FieldNullable(table, number)) return false;
  const DbfField& flags = *NullFlagsField(table);
  const int bit = NullBit(table, number);
  std::string bytes(table.RecordBytes() + flags.offset, static_cast<size_t>(flags.Width()));
  auto& byte = reinterpret_cast<unsigned char&>(bytes[static_cast<size_t>(bit / 8)]);
  byte = static_cast<unsigned char>(null ? byte | (1u << (bit % 8)) : byte & ~(1u << (bit % 8)));
  return table.PutRawN(flags.number, bytes);
}

}  // namespace tessera
