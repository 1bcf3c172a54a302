// tessera seek / list / locate: the table in the order of a tag, key
// searches and searches by field values, as the callbook does them.
#include <cstdio>
#include <iostream>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/index_tag.h"
#include "platform/codepage.h"
#include "tools/tessera/command.h"
#include "tools/tessera/record_json.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {
namespace {

using tessera::KTO_dBHandler;

void Print(const std::string& line) {
  const std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

// Opens the table read-only; deleted records hidden unless --deleted.
std::unique_ptr<KTO_dBHandler> OpenTable(const std::string& name, const ArgParser& p) {
  auto table = std::make_unique<KTO_dBHandler>(name, true, false);
  ApplyCodePage(*table);
  table->SetUseDeleted(p.Has("--deleted"));
  return table;
}

std::string Position(KTO_dBHandler& table) {
  return "\"eof\":" + std::string(table.Eof() ? "true" : "false") + ",\"recno\":" +
         std::to_string(table.CurrentRecord()) + ",\"values\":" + ValuesJson(table, false);
}

int Seek(const Args& args) {
  ArgParser p(args, {"--exact", "--no-nearest", "--deleted"}, {});
  p.Expect(4, 4);
  auto table = OpenTable(p.Positional()[0], p);
  table->OpenIndexFile(p.Positional()[1]);
  table->SelectMasterTag(p.Positional()[2], false);
  const tessera::KTobjIndexTag& tag = *table->MasterTag();
  // The key the tag's expression gives with the value in its first field,
  // searched as the callbook searches.
  // A date-time key is searched by the text itself (a date and a time,
  // which the tag reads as its keys are stored).
  const std::string value = FromUtf8(*table, p.Positional()[3]);
  const std::string key = tag.KeyType() == 'T' ? value : table->BuildSearchKey({value}, tag.KeyExpression());
  table->ExactKeyOnly = p.Has("--exact");
  table->StayNearest = !p.Has("--no-nearest");
  const bool found = table->SeekKeyText(key);
  Print("{\"found\":" + std::string(found ? "true" : "false") + "," + Position(*table) + "}");
  return 0;
}

int List(const Args& args) {
  ArgParser p(args, {"--deleted"}, {"--index", "--tag", "--filter"});
  p.Expect(1, 1);
  auto table = OpenTable(p.Positional()[0], p);
  if (const std::string* index = p.Value("--index")) table->OpenIndexFile(*index);
  if (const std::string* tag = p.Value("--tag")) {
    if (p.Value("--index") == nullptr) throw UsageError{"--tag needs --index"};
    table->SelectMasterTag(*tag, false);
  }
  if (const std::string* filter = p.Value("--filter")) {
    table->SetFilterExpression(FromUtf8(*table, *filter), false, false);
    table->SetFilterActive(true);
  }
  WarnOfMissingMemoFile(*table, p.Positional()[0]);
  Print(HeaderJson(*table));
  // Each record is written as soon as it is read: one that cannot be read
  // ends the command with everything before it out.
  for (table->GotoRecord(tessera::kMoveFirst); !table->Eof() && !table->Bof(); table->GotoRecord(tessera::kMoveNext))
    Print(RecordJson(*table, false));
  return 0;
}

int Locate(const Args& args) {
  ArgParser p(args, {"--partial", "--ci", "--deleted"}, {"--index", "--tag"});
  p.Expect(2);
  auto table = OpenTable(p.Positional()[0], p);
  if (const std::string* index = p.Value("--index")) table->OpenIndexFile(*index);
  if (const std::string* tag = p.Value("--tag")) table->SelectMasterTag(*tag, false);
  std::string names;
  std::vector<tessera::FieldValue> values;
  for (size_t i = 1; i < p.Positional().size(); ++i) {
    const std::string& item = p.Positional()[i];
    const size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError{"expected NAME=VALUE, got '" + item + "'"};
    if (!names.empty()) names += ';';
    names.append(item, 0, eq);
    values.emplace_back(FromUtf8(*table, item.substr(eq + 1)));
  }
  const bool found = table->LocateValues(names, values, p.Has("--partial"), p.Has("--ci"));
  Print("{\"found\":" + std::string(found ? "true" : "false") + "," + Position(*table) + "}");
  return 0;
}

TESSERA_COMMAND("seek", "seek TABLE INDEX TAG VALUE [--exact] [--no-nearest] [--deleted]",
                "Search a tag for the key VALUE gives and print the record reached as JSON.",
                "The key is built from VALUE with the tag's key expression (VALUE goes into the first field\n"
                "the expression reads); a date-time tag takes VALUE as \"YYYYMMDD hh:mm:ss\". A stored key that begins with it matches unless --exact; a failed\n"
                "search stays on the next greater key unless --no-nearest. Deleted records are skipped\n"
                "unless --deleted. Output: {\"found\":BOOL,\"eof\":BOOL,\"recno\":N,\"values\":[...]}.",
                Seek);
TESSERA_COMMAND("list", "list TABLE [--index INDEX --tag TAG] [--filter EXPR] [--deleted]",
                "Print the records in a tag's order (or record order) as dump does.",
                "Deleted records are left out unless --deleted; --filter keeps the records for which the\n"
                "expression is true. Records are written as they are read: one that cannot be read ends\n"
                "the command (status 1) after every record before it was printed.",
                List);
TESSERA_COMMAND("locate", "locate TABLE NAME=VALUE... [--partial] [--ci] [--index INDEX [--tag TAG]]",
                "Find the first record whose fields hold the values; print it as seek does.",
                "--partial lets the last value match the beginning of its field, --ci ignores letter case.\n"
                "With an index and a tag, a tag whose key starts with the named fields is searched;\n"
                "otherwise the table is read in record order.",
                Locate);

}  // namespace
}  // namespace tessera_tool
