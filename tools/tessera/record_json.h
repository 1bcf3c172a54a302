// The JSON forms of table structure and records shared by dump, list and
// seek.
#pragma once

#include <optional>
#include <string>

#include "engine/dbf_fields.h"

namespace tessera_tool {

// {"version":"0x03","records":N,"header_length":N,"record_length":N,"fields":[...]}
std::string HeaderJson(tessera::KTO_dBaseFld& table);

// A field of the current record as the tool shows it, in UTF-8: the
// display text (memo fields: the memo's contents); the hex of the bytes of
// binary values (varbinary, blob, general and picture memos, _NullFlags);
// nothing (nullopt) for a field that holds no value (.NULL., a blank
// number, date or logical). With `raw`, always the hex of the field's
// bytes (of a memo's bytes for memo fields).
std::optional<std::string> ShownValue(tessera::KTO_dBaseFld& table, int number, bool raw);

// The values of the current record as a JSON array of ShownValue (null
// for no value).
std::string ValuesJson(tessera::KTO_dBaseFld& table, bool raw);

// {"recno":N,"deleted":BOOL,"values":[...]} for the current record.
std::string RecordJson(tessera::KTO_dBaseFld& table, bool raw);

// Says on standard error that the table's memo file is missing (its memo
// fields are then shown as null), when it is.
// `given_name` is the table as the user named it.
void WarnOfMissingMemoFile(const tessera::KTO_dBaseDBF& table, const std::string& given_name);
// The memo file's name spelled as the user spelled the table's.
std::string ShownMemoFileName(const tessera::KTO_dBaseDBF& table, const std::string& given_name);

// Opens a table for reading by a tool (shared, read-only), in the code
// page --codepage names.
std::unique_ptr<tessera::KTO_dBaseFld> OpenForReading(const std::string& name);

}  // namespace tessera_tool
