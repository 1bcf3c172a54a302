// tessera info TABLE
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "platform/text_codepage.h"
#include "tools/tessera/command.h"
#include "tools/tessera/record_json.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {
namespace {

// Characters of a UTF-8 text (for padding columns).
size_t Characters(const std::string& utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string PadRight(const std::string& utf8, size_t width) {
  const size_t n = Characters(utf8);
  return n >= width ? utf8 : utf8 + std::string(width - n, ' ');
}

// What a Visual FoxPro field's flags say, for info's last column.
std::string FieldNotes(const tessera::DbfField& f) {
  std::string notes;
  auto add = [&](const char* note) { notes += notes.empty() ? note : std::string(", ") + note; };
  if (f.IsSystem()) add("system");
  if (f.IsNullable()) add("nullable");
  if (f.IsAutoIncrement()) add("autoincrement");
  if (f.IsBinaryText()) add("binary");
  return notes;
}

std::string CodePageLine(const tessera::KTO_dBaseDBF& table) {
  char mark[48];
  const uint8_t m = table.CodePageMark();
  if (m != 0 && plat::CodePageOfLanguageDriver(m) == 0) std::snprintf(mark, sizeof mark, "mark 0x%02X, not a known one", m);
  else if (m != 0) std::snprintf(mark, sizeof mark, "mark 0x%02X", m);
  else if (table.IsDBase7() && !CodePageOverridden() && table.TextCodePage() != plat::kCodePageOem)
    std::snprintf(mark, sizeof mark, "the language driver's name");
  else std::snprintf(mark, sizeof mark, "no mark");
  const int cp = table.TextCodePage();
  std::string name;
  try {
    name = plat::TextCodePage::Get(cp).Name();
  } catch (const plat::CodePageError&) {
    name = std::to_string(cp) + ", which this system cannot convert";
  }
  return name + " (" + (CodePageOverridden() ? "--codepage; " : "") + mark + ")";
}

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
  std::printf("Code page:      %s\n", CodePageLine(*table).c_str());
  if (!table->ContainerLink().empty()) std::printf("Container:      %s\n", table->ContainerLink().c_str());
  std::printf("Fields:         %d\n", table->FieldCount());
  // The name column is as wide as the longest name; a table whose database
  // container gives long names also shows the short names its descriptors
  // keep; Visual FoxPro's field flags close the line.
  size_t name_width = 10;
  bool long_names = false;
  for (const tessera::DbfField& f : table->Fields()) {
    name_width = std::max(name_width, Characters(ToUtf8(*table, f.FullName())));
    long_names = long_names || !f.long_name.empty();
  }
  std::string head = "  #  " + PadRight("Name", name_width) + "  Type  Width  Dec";
  if (long_names) head += "  " + PadRight("Stored as", 10);
  std::printf("%s\n", head.c_str());
  for (int i = 1; i <= table->FieldCount(); ++i) {
    const tessera::DbfField& f = table->Field(i);
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "  %-4s %6d %4d", ToUtf8(*table, std::string(1, f.type)).c_str(), f.Width(),
                  f.Decimals());
    char number[16];
    std::snprintf(number, sizeof number, "%3d  ", i);
    std::string line = number + PadRight(ToUtf8(*table, f.FullName()), name_width) + numbers;
    if (long_names) line += "  " + PadRight(ToUtf8(*table, f.Name()), 10);
    const std::string notes = FieldNotes(f);
    if (!notes.empty()) line += "  " + notes;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  // What was read other than the format says, and why the table is not
  // written.
  for (const std::string& warning : table->HeaderWarnings())
    std::printf("Warning:        %s\n", ToUtf8(*table, warning).c_str());
  if (!table->ContainerProblem().empty())
    std::printf("Warning:        %s: the fields' short names serve\n", table->ContainerProblem().c_str());
  if (table->MemoFileMissing())
    std::printf("Warning:        the memo file %s is missing\n", ShownMemoFileName(*table, given).c_str());
  if (!table->ReadOnlyReason().empty()) std::printf("Read only:      %s\n", table->ReadOnlyReason().c_str());
  return 0;
}

TESSERA_COMMAND("info", "info TABLE", "Show a table's version, record count, header, last update and fields.",
                "Also the code page of its texts (from the header's language-driver mark, CP866 without one,\n"
                "or --codepage), the database container of a Visual FoxPro table (whose long field names\n"
                "are shown, the descriptors' short names beside them) and Visual FoxPro's field flags.\n"
                "\"Warning:\" lines name what was read other than the format says (no 0x0D after the field\n"
                "descriptors, a field of width 0, a record length one byte short of the fields), a database\n"
                "container that gives no names, a missing memo file; \"Read only:\" says why the table is\n"
                "not written (dBase II and 7, the dBase IV SQL tables, FoxBASE's 0xFB, an unclear layout).",
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

// The field values of the current record, as dump's JSON holds them (a
// field without a value is empty).
void AppendCsvRecord(std::string& out, tessera::KTO_dBaseFld& table, bool raw) {
  for (int i = 1; i <= table.FieldCount(); ++i) {
    if (i > 1) out += ',';
    AppendCsvField(out, ShownValue(table, i, raw).value_or(std::string()));
  }
  out += "\r\n";
}

void Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

int Dump(const Args& args) {
  ArgParser p(args, {"--raw", "--csv"}, {});
  p.Expect(1, 1);
  const bool raw = p.Has("--raw");
  const bool csv = p.Has("--csv");
  auto table = OpenForReading(p.Positional()[0]);
  WarnOfMissingMemoFile(*table, p.Positional()[0]);
  std::string out;
  if (csv) {
    for (int i = 1; i <= table->FieldCount(); ++i) {
      if (i > 1) out += ',';
      AppendCsvField(out, ToUtf8(*table, table->Field(i).FullName()));
    }
    out += "\r\n";
  } else {
    out = HeaderJson(*table) + "\n";
  }
  Write(out);
  // Each record is written as soon as it is read: a record that cannot be
  // read (a damaged memo) ends the command with everything before it out.
  const int32_t count = table->RecordCount();
  for (int32_t r = 1; r <= count; ++r) {
    table->GotoRecord(r);
    out.clear();
    if (csv) AppendCsvRecord(out, *table, raw);
    else out = RecordJson(*table, raw) + "\n";
    Write(out);
  }
  return 0;
}

TESSERA_COMMAND("dump", "dump [--raw] [--csv] TABLE", "Print a table as JSON Lines: a header object, then one object per record.",
                "Each record is {\"recno\":N,\"deleted\":BOOL,\"values\":[...]} with the fields' display texts\n"
                "(memo fields: the memo's contents) converted from the table's code page to UTF-8;\n"
                "null for a field without a value (Visual FoxPro's .NULL., a blank number, date or\n"
                "logical); the hex of the bytes of binary values (varbinary, blob, general and picture\n"
                "memos). Date-times show the second nearest to the stored milliseconds. With --raw\n"
                "the hex of the fields' raw bytes (of the memo bytes for memo fields).\n"
                "With --csv the same values as CSV (RFC 4180: CRLF line ends, fields with a comma,\n"
                "quote or line break quoted) in UTF-8: a header row of field names, then one row\n"
                "per record, deleted records included; a field without a value is empty.\n"
                "Records are written as they are read: a record that cannot be read ends the command\n"
                "(status 1) after every record before it was printed.",
                Dump);

}  // namespace
}  // namespace tessera_tool
