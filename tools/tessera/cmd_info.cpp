// tessera info TABLE
#include <cstdio>
#include <iostream>

#include "platform/codepage.h"
#include "tools/tessera/command.h"
#include "tools/tessera/record_json.h"

namespace tessera_tool {
namespace {

const char* VersionName(uint8_t v) {
  switch (v) {
    case 0x03: return "dBase III, no memo";
    case 0x83: return "dBase III with .DBT memo";
    case 0x8B: return "dBase IV with .DBT memo";
    case 0xF5: return "FoxPro with .FPT memo";
    case 0x30: return "Visual FoxPro";
    default: return "unknown";
  }
}

int Info(const Args& args) {
  ArgParser p(args, {}, {});
  p.Expect(1, 1);
  auto table = OpenForReading(p.Positional()[0]);
  const uint8_t* h = table->HeaderImage();
  // The year byte is the year modulo 100 as this engine writes it, or the
  // year - 1900 as other programs do.
  const int yy = h[1];
  const int year = yy >= 100 ? 1900 + yy : (yy < 80 ? 2000 + yy : 1900 + yy);
  char line[128];
  std::printf("Table:          %s\n", table->FileName().c_str());
  std::printf("Version:        0x%02X (%s)\n", table->Version(), VersionName(table->Version()));
  std::printf("Records:        %d\n", table->RecordCount());
  std::printf("Header length:  %d\n", table->HeaderLength());
  std::printf("Record length:  %d\n", table->RecordLength());
  std::printf("Last update:    %04d-%02d-%02d\n", year, h[2], h[3]);
  std::printf("Fields:         %d\n", table->FieldCount());
  std::printf("  #  Name        Type  Width  Dec\n");
  for (int i = 1; i <= table->FieldCount(); ++i) {
    const tessera::DbfField& f = table->Field(i);
    std::snprintf(line, sizeof line, "%3d  %-10s  %-4s %6d %4d", i, plat::OemToUtf8(f.Name()).c_str(),
                  plat::OemToUtf8(std::string(1, f.type)).c_str(), f.Width(), f.Decimals());
    std::printf("%s\n", line);
  }
  return 0;
}

TESSERA_COMMAND("info", "info TABLE", "Show a table's version, record count, header, last update and fields.", "",
                Info);

int Dump(const Args& args) {
  ArgParser p(args, {"--raw"}, {});
  p.Expect(1, 1);
  const bool raw = p.Has("--raw");
  auto table = OpenForReading(p.Positional()[0]);
  std::string out = HeaderJson(*table) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  const int32_t count = table->RecordCount();
  for (int32_t r = 1; r <= count; ++r) {
    table->GotoRecord(r);
    out = RecordJson(*table, raw) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  return 0;
}

TESSERA_COMMAND("dump", "dump [--raw] TABLE", "Print a table as JSON Lines: a header object, then one object per record.",
                "Each record is {\"recno\":N,\"deleted\":BOOL,\"values\":[...]} with the fields' display texts\n"
                "(memo fields: the memo's contents) converted from CP866 to UTF-8; with --raw the hex\n"
                "of the fields' raw bytes (of the memo bytes for memo fields).",
                Dump);

}  // namespace
}  // namespace tessera_tool
