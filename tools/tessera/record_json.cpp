#include "tools/tessera/record_json.h"

#include <cstdio>

#include "engine/text_helpers.h"
#include "tools/tessera/command.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {

std::string HeaderJson(tessera::KTO_dBaseFld& table) {
  char version[8];
  std::snprintf(version, sizeof version, "0x%02X", table.Version());
  std::string out = "{\"version\":\"" + std::string(version) + "\",\"records\":" +
                    std::to_string(table.RecordCount()) + ",\"header_length\":" +
                    std::to_string(table.HeaderLength()) + ",\"record_length\":" +
                    std::to_string(table.RecordLength()) + ",\"fields\":[";
  for (int i = 1; i <= table.FieldCount(); ++i) {
    const tessera::DbfField& f = table.Field(i);
    if (i > 1) out += ",";
    out += "{\"name\":" + JsonString(ToUtf8(table, f.FullName())) + ",\"type\":" +
           JsonString(ToUtf8(table, std::string(1, f.type))) + ",\"width\":" + std::to_string(f.Width()) +
           ",\"decimals\":" + std::to_string(f.Decimals()) + "}";
  }
  return out + "]}";
}

std::optional<std::string> ShownValue(tessera::KTO_dBaseFld& table, int number, bool raw) {
  const tessera::DbfField& f = table.Field(number);
  if (table.IsMemoField(f)) {
    // A table copied without its memo file still shows its other fields.
    if (table.MemoFileMissing()) return std::nullopt;
    if (table.IsNull(number)) return raw ? std::optional<std::string>(Hex(table.MemoText(number))) : std::nullopt;
    const std::string memo = table.MemoText(number);
    // Text memos in the table's code page; OLE objects, pictures, blobs
    // and dBase binary memos are bytes.
    const bool text = f.type == 'M';
    return raw || !text ? Hex(memo) : ToUtf8(table, memo);
  }
  if (raw) return Hex(std::string_view(table.RecordBytes() + f.offset, static_cast<size_t>(f.Width())));
  if (!table.HasValue(number)) return std::nullopt;
  // Varbinary values and the _NullFlags bits are bytes.
  if (f.type == 'Q' || f.type == '0') return Hex(table.ValueBytes(number));
  return ToUtf8(table, table.GetTextN(number));
}

std::string ValuesJson(tessera::KTO_dBaseFld& table, bool raw) {
  std::string out = "[";
  for (int i = 1; i <= table.FieldCount(); ++i) {
    if (i > 1) out += ",";
    const std::optional<std::string> value = ShownValue(table, i, raw);
    out += value ? JsonString(*value) : "null";
  }
  return out + "]";
}

std::string RecordJson(tessera::KTO_dBaseFld& table, bool raw) {
  return "{\"recno\":" + std::to_string(table.CurrentRecord()) + ",\"deleted\":" +
         (table.IsDeleted() ? "true" : "false") + ",\"values\":" + ValuesJson(table, raw) + "}";
}

std::unique_ptr<tessera::KTO_dBaseFld> OpenForReading(const std::string& name) {
  auto table = std::make_unique<tessera::KTO_dBaseFld>(name, true, false);
  ApplyCodePage(*table);
  return table;
}

std::string ShownMemoFileName(const tessera::KTO_dBaseDBF& table, const std::string& given_name) {
  // The table's name as the user gave it, with the memo file's extension.
  const std::string given = tessera::DefaultExtension(given_name, ".DBF");
  const std::string memo = table.MemoFileName();
  return given.substr(0, given.size() - tessera::ExtensionOf(given).size()) +
         std::string(tessera::ExtensionOf(memo));
}

void WarnOfMissingMemoFile(const tessera::KTO_dBaseDBF& table, const std::string& given_name) {
  if (table.MemoFileMissing())
    std::fprintf(stderr, "tessera: the memo file %s is missing: memo fields are shown as null\n",
                 ShownMemoFileName(table, given_name).c_str());
}

}  // namespace tessera_tool
