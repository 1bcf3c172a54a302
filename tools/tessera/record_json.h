// The JSON forms of table structure and records shared by dump, list and
// seek.
#pragma once

#include <string>

#include "engine/dbf_fields.h"

namespace tessera_tool {

// {"version":"0x03","records":N,"header_length":N,"record_length":N,"fields":[...]}
std::string HeaderJson(tessera::KTO_dBaseFld& table);

// The values of the current record as a JSON array: display texts (memo
// fields: the memo's contents) converted from CP866 to UTF-8, or with `raw`
// the hex of the field's bytes (of a memo's bytes for memo fields).
std::string ValuesJson(tessera::KTO_dBaseFld& table, bool raw);

// {"recno":N,"deleted":BOOL,"values":[...]} for the current record.
std::string RecordJson(tessera::KTO_dBaseFld& table, bool raw);

// Opens a table for reading by a tool (shared, read-only).
std::unique_ptr<tessera::KTO_dBaseFld> OpenForReading(const std::string& name);

}  // namespace tessera_tool
