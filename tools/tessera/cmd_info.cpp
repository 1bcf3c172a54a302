// tessera info TABLE
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "platform/codepage.h"
#include "tools/tessera/command.h"
#include "tools/tessera/record_json.h"

namespace tessera_tool {
namespace {

int Info(const Args& args) {
  ArgParser p(args, {}, {});
  p.Expect(1, 1);
  const std::string& given = p.Positional()[0];
  auto table = OpenForReading(given);
  int year = 0, month = 0, day = 0;
  table->LastUpdate(&year, &month, &day);
  std::printf("Table:          %s\n", ShownPath(given, ".DBF").c_str());
  std::printf("Version:        0x%02X (%s)\n", table->Version(), tessera::KTO_dBaseDBF::VersionName(table->Version()));
  std::printf("Records:        %d\n", table->RecordCount());
  std::printf("Header length:  %d\n", table->HeaderLength());
  std::printf("Record length:  %d\n", table->RecordLength());
  if (month >= 1 && month <= 12 && day >= 1 && day <= 31) std::printf("Last update:    %04d-%02d-%02d\n", year, month, day);
  else std::printf("Last update:    none\n");
  if (!table->ContainerLink().empty()) std::printf("Container:      %s\n", table->ContainerLink().c_str());
  std::printf("Fields:         %d\n", table->FieldCount());
  // The name column is as wide as the longest name; a table whose database
  // container gives long names also shows the short names its descriptors
  // keep.
  size_t name_width = 10;
  bool long_names = false;
  for (const tessera::DbfField& f : table->Fields()) {
    name_width = std::max(name_width, plat::OemToUtf8(f.FullName()).size());
    long_names = long_names || !f.long_name.empty();
  }
  const int w = static_cast<int>(name_width);
  std::printf("  #  %-*s  Type  Width  Dec%s\n", w, "Name", long_names ? "  Stored as" : "");
  for (int i = 1; i <= table->FieldCount(); ++i) {
    const tessera::DbfField& f = table->Field(i);
    std::printf("%3d  %-*s  %-4s %6d %4d", i, w, plat::OemToUtf8(f.FullName()).c_str(),
                plat::OemToUtf8(std::string(1, f.type)).c_str(), f.Width(), f.Decimals());
    if (long_names) std::printf("  %s", plat::OemToUtf8(f.Name()).c_str());
    std::printf("\n");
  }
  // What was read other than the format says, and why the table is not
  // written.
  for (const std::string& warning : table->HeaderWarnings()) std::printf("Warning:        %s\n", warning.c_str());
  if (!table->ContainerProblem().empty())
    std::printf("Warning:        %s: the fields' short names serve\n", table->ContainerProblem().c_str());
  if (!table->ReadOnlyReason().empty()) std::printf("Read only:      %s\n", table->ReadOnlyReason().c_str());
  return 0;
}

TESSERA_COMMAND("info", "info TABLE", "Show a table's version, record count, header, last update and fields.", "",
                Info);

// One CSV field (RFC 4180): quoted when it holds a comma, a quote or a line
// break, with its quotes doubled.
void AppendCsvField(std::string& out, std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += value;
    return;
  }
  out += '"';
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// The field values of the current record, as dump's JSON holds them.
void AppendCsvRecord(std::string& out, tessera::KTO_dBaseFld& table, bool raw) {
  for (int i = 1; i <= table.FieldCount(); ++i) {
    if (i > 1) out += ',';
    const tessera::DbfField& f = table.Field(i);
    if (table.IsMemoField(f)) {
      const std::string memo = table.MemoText(i);
      AppendCsvField(out, raw ? Hex(memo) : plat::OemToUtf8(memo));
    } else if (raw) {
      AppendCsvField(out, Hex(std::string_view(table.RecordBuffer() + f.offset, static_cast<size_t>(f.Width()))));
    } else {
      AppendCsvField(out, plat::OemToUtf8(table.GetTextN(i)));
    }
  }
  out += "\r\n";
}

int Dump(const Args& args) {
  ArgParser p(args, {"--raw", "--csv"}, {});
  p.Expect(1, 1);
  const bool raw = p.Has("--raw");
  const bool csv = p.Has("--csv");
  auto table = OpenForReading(p.Positional()[0]);
  std::string out;
  if (csv) {
    for (int i = 1; i <= table->FieldCount(); ++i) {
      if (i > 1) out += ',';
      AppendCsvField(out, plat::OemToUtf8(table->Field(i).FullName()));
    }
    out += "\r\n";
  } else {
    out = HeaderJson(*table) + "\n";
  }
  const int32_t count = table->RecordCount();
  for (int32_t r = 1; r <= count; ++r) {
    table->GotoRecord(r);
    if (csv) AppendCsvRecord(out, *table, raw);
    else out += RecordJson(*table, raw) + "\n";
    if (out.size() > 1 << 16) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

TESSERA_COMMAND("dump", "dump [--raw] [--csv] TABLE", "Print a table as JSON Lines: a header object, then one object per record.",
                "Each record is {\"recno\":N,\"deleted\":BOOL,\"values\":[...]} with the fields' display texts\n"
                "(memo fields: the memo's contents) converted from CP866 to UTF-8; with --raw the hex\n"
                "of the fields' raw bytes (of the memo bytes for memo fields).\n"
                "With --csv the same values as CSV (RFC 4180: CRLF line ends, fields with a comma,\n"
                "quote or line break quoted) in UTF-8: a header row of field names, then one row\n"
                "per record, deleted records included.",
                Dump);

}  // namespace
}  // namespace tessera_tool
