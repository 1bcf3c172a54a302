#include "tools/tessera/record_json.h"

#include <cstdio>

#include "platform/codepage.h"
#include "tools/tessera/command.h"

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
    out += "{\"name\":" + JsonString(plat::OemToUtf8(f.FullName())) + ",\"type\":" +
           JsonString(plat::OemToUtf8(std::string(1, f.type))) + ",\"width\":" + std::to_string(f.Width()) +
           ",\"decimals\":" + std::to_string(f.Decimals()) + "}";
  }
  return out + "]}";
}

std::string ValuesJson(tessera::KTO_dBaseFld& table, bool raw) {
  std::string out = "[";
  for (int i = 1; i <= table.FieldCount(); ++i) {
    if (i > 1) out += ",";
    const tessera::DbfField& f = table.Field(i);
    if (table.IsMemoField(f)) {
      const std::string memo = table.MemoText(i);
      out += raw ? JsonString(Hex(memo)) : JsonString(plat::OemToUtf8(memo));
    } else if (raw) {
      const char* p = table.RecordBuffer() + f.offset;
      out += JsonString(Hex(std::string_view(p, static_cast<size_t>(f.Width()))));
    } else {
      out += JsonString(plat::OemToUtf8(table.GetTextN(i)));
    }
  }
  return out + "]";
}

std::string RecordJson(tessera::KTO_dBaseFld& table, bool raw) {
  return "{\"recno\":" + std::to_string(table.CurrentRecord()) + ",\"deleted\":" +
         (table.IsDeleted() ? "true" : "false") + ",\"values\":" + ValuesJson(table, raw) + "}";
}

std::unique_ptr<tessera::KTO_dBaseFld> OpenForReading(const std::string& name) {
  return std::make_unique<tessera::KTO_dBaseFld>(name, true, false);
}

}  // namespace tessera_tool
