// Which fields of a Visual FoxPro record are null. A null is not stored in
// the field (which holds blanks) but in the hidden system field _NullFlags
// (type '0'): one bit per field whose descriptor flags allow nulls (0x02),
// and, in front of a varchar or varbinary field's null bit, one saying
// whether its last byte holds its length; the bits are numbered in field
// order from the lowest bit of the first byte on.
#pragma once

namespace tessera {

class KTO_dBaseFld;
struct DbfField;

// The field's descriptor lets it hold a null (and the table keeps the
// bits to say so).
bool FieldNullable(const KTO_dBaseFld& table, int number);
// Whether field `number` is null in the current record buffer.
bool FieldIsNull(const KTO_dBaseFld& table, int number);
// Makes field `number` null (or not) in the current record buffer; false
// when it cannot be null. (The field's own bytes are left as they are.)
bool SetFieldNull(KTO_dBaseFld& table, int number, bool null);

}  // namespace tessera
