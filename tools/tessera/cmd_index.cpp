// tessera tags / keys / index / check: index files (CDX, MDX, NTX, NDX).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/settings.h"
#include "engine/text_helpers.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/index_repair.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "platform/path.h"
#include "platform/text_codepage.h"
#include "tools/tessera/command.h"
#include "tools/tessera/progress.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {
namespace {

using tessera::KTobjCDXFile;
using tessera::KTobjIndexFile;
using tessera::KTobjMDXFile;
using tessera::KTobjNDXFile;
using tessera::KTobjNTXFile;
using tessera::KTobjIndexTag;
using tessera::KTO_dBHandler;

bool IsMultipleIndex(const std::string& name) {
  return plat::UpperName(tessera::ExtensionOf(name)) == ".MDX";
}

// The kind of an index file by its extension (a compound index without
// one).
std::string KindOf(const std::string& name) {
  return plat::UpperName(tessera::ExtensionOf(tessera::DefaultExtension(name, ".CDX")));
}

// A compound index, or a multiple or single-tag index by its extension,
// locked where the table's other users lock it.
std::unique_ptr<KTobjIndexFile> MakeIndex(KTO_dBHandler* table, const std::string& full, bool create, bool shared,
                                          bool writable) {
  return tessera::MakeIndexFile(table, full, create, shared, writable);
}

std::unique_ptr<KTobjIndexFile> OpenIndex(KTO_dBHandler* table, const std::string& name, bool writable) {
  auto file = MakeIndex(table, plat::FullPath(name), false, table != nullptr && table->IsShared(), writable);
  if (!file->Opened()) {
    const std::string full = plat::UpperName(plat::FullPath(tessera::DefaultExtension(name, ".CDX")));
    tessera::ReportEngineError(plat::FileExists(full) ? int32_t{tessera::kCodeIndexHeader} : int32_t{2}, tessera::kNoSubCode, full);
  }
  return file;
}

// Holds the index file's lock shared while the file is read whole (a
// listing, a check), so that no writer of any program is half-way through
// it meanwhile; what was read before the lock is read again.
class ReadLock {
 public:
  explicit ReadLock(KTobjIndexFile& file) : file_(file) {
    file_.LockIndexFileShared();
    file_.ChangedByOther();
  }
  ~ReadLock() { file_.UnlockIndexFile(); }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  KTobjIndexFile& file_;
};

KTobjIndexTag& TagOf(KTobjIndexFile& file, const std::string& name) {
  KTobjIndexTag* tag = file.FindTag(name);
  if (tag == nullptr) throw tessera::ETesseraError("Cannot find index tag " + name);
  return *tag;
}

// Character keys as text in the table's code page, other keys as the hex
// of their stored bytes.
std::string KeyText(const tessera::KTO_dBaseDBF& table, const KTobjIndexTag& tag, const tessera::KTobjIndexKeyData& key) {
  // A Visual FoxPro key of nullable fields: ".NULL." or the value's key.
  bool null = false;
  const std::string_view value = tag.KeyValueBytes(key, &null);
  if (null) return ".NULL.";
  if (tag.KeyType() == 'C') return ToUtf8(table, tessera::TrimRightText(value));
  // Multiple-index keys are numbers in memory: shown as numbers, dates as
  // yyyymmdd (nothing for an empty date).
  if (key.kind() == tessera::VariantKind::kNumeric && tag.KeyType() == 'D') {
    const double day = key.AsNumber();
    return day >= 1 && day < 1e9 ? tessera::EngineDate().StorageText(static_cast<int32_t>(day)) : std::string();
  }
  if (key.kind() == tessera::VariantKind::kNumeric) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", key.AsNumber());
    return buf;
  }
  // Visual FoxPro's date-times: "yyyymmdd hh:mm:ss.fff" (nothing for an
  // empty one), as seek takes them.
  if (tag.KeyType() == 'T') {
    const double number = tessera::DecodeCdxNumber(value);
    if (!(number >= 1 && number < 1e9)) return std::string();
    const auto day = static_cast<int32_t>(number);
    const auto ms = static_cast<int64_t>(std::llround((number - day) * 86400000.0));
    char buf[32];
    std::snprintf(buf, sizeof buf, " %02lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
                  static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                  static_cast<long long>(ms % 1000));
    return tessera::EngineDate().StorageText(day) + buf;
  }
  return Hex(value);
}

int64_t CountKeys(KTobjIndexTag& tag) {
  int64_t n = 0;
  tag.ResetTree(0);
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) ++n;
  tag.ReleaseTree();
  return n;
}

int Tags(const Args& args) {
  ArgParser p(args, {}, {});
  p.Expect(1, 1);
  const std::string index = p.Positional()[0];
  // The table beside the index (same name) lets the key types be learned.
  std::unique_ptr<KTO_dBHandler> table;
  const std::string dbf = plat::FullPath(tessera::DefaultExtension(index, ".CDX"));
  // (A database container's index, .DCX, is the container's, .DBC.)
  const std::string ext = plat::UpperName(tessera::ExtensionOf(dbf));
  const std::string guess = dbf.substr(0, dbf.size() - ext.size()) + (ext == ".DCX" ? ".DBC" : ".DBF");
  if (plat::FileExists(guess)) {
    table = std::make_unique<KTO_dBHandler>(guess, true, false);
    ApplyCodePage(*table);
  }
  // Expressions in the table's code page; without a table, in the one
  // --codepage names, else the callbook's.
  const plat::TextCodePage& page = plat::TextCodePage::Get(
      table ? table->TextCodePage() : CodePageOverridden() ? CodePageOverride() : plat::kCodePageOem);
  auto file = OpenIndex(table.get(), index, false);
  ReadLock lock(*file);
  std::printf("%-10s  %-4s  %-6s  %-4s  %-4s  %-8s  %s | %s\n", "tag", "type", "length", "uniq", "desc", "keys",
              "key expression", "FOR expression");
  for (size_t i = 0; i < file->TagCount(); ++i) {
    KTobjIndexTag& t = *file->TagAt(i);
    std::printf("%-10s  %-4c  %-6d  %-4s  %-4s  %-8lld  %s | %s\n", t.Name().c_str(), t.KeyType(), t.KeyLength(),
                t.Unique() ? "yes" : "no", t.Descending() ? "yes" : "no", static_cast<long long>(CountKeys(t)),
                page.ToUtf8(t.KeyExpression()).c_str(), page.ToUtf8(t.ForExpression()).c_str());
  }
  // Tags this engine walks and searches but cannot keep current.
  for (size_t i = 0; i < file->TagCount(); ++i)
    if (const std::string& why = file->TagAt(i)->Unusable(); !why.empty() && table != nullptr)
      std::printf("tag %s is read only: %s\n", file->TagAt(i)->Name().c_str(), page.ToUtf8(why).c_str());
  return 0;
}

int Keys(const Args& args) {
  ArgParser p(args, {}, {});
  p.Expect(3, 3);
  KTO_dBHandler table(p.Positional()[0], true, false);
  ApplyCodePage(table);
  auto file = OpenIndex(&table, p.Positional()[1], false);
  ReadLock lock(*file);
  KTobjIndexTag& tag = TagOf(*file, p.Positional()[2]);
  tag.ResetTree(0);
  std::string out;
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) {
    out += std::to_string(r) + "\t" + KeyText(table, tag, tag.CurrentKey()) + "\n";
    if (out.size() > 1 << 16) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  tag.ReleaseTree();
  return 0;
}

int Index(const Args& args) {
  ArgParser p(args, {"--unique", "--descending"}, {"--for"});
  p.Expect(4, 4);
  const std::string& name = p.Positional()[1];
  RequireWritableIndexKind(name);
  ProgressLine progress("index " + p.Positional()[2]);
  ProgressTable table(p.Positional()[0], true, true, progress);
  ApplyCodePage(table);
  const std::string full = plat::FullPath(tessera::DefaultExtension(name, ".CDX"));
  auto made = MakeIndex(&table, full, true, true, true);
  KTobjIndexFile& file = *made;
  if (!file.Opened()) tessera::ReportEngineError(tessera::kCodeIndexHeader, tessera::kNoSubCode, plat::UpperName(full));
  file.LockIndexFile();
  // Literals in the expressions are texts of the table.
  const std::string for_expr = p.Value("--for") ? FromUtf8(table, *p.Value("--for")) : std::string();
  const bool ok = file.CreateTag(p.Positional()[2], FromUtf8(table, p.Positional()[3]), p.Has("--unique"),
                                 !p.Has("--descending"), for_expr);
  file.UnlockIndexFile();
  if (!ok) throw tessera::ETesseraError("The key expression cannot be evaluated");
  return 0;
}

// check --quick: the write-in-progress mark and one key per record in every
// tag that keeps one; no record is read.
// A table read leniently (its header other than its format says) is
// checked as it was read; check says so first.
void PrintHeaderWarnings(const tessera::KTO_dBaseDBF& table) {
  for (const std::string& w : table.HeaderWarnings()) std::printf("warning: the table: %s\n", w.c_str());
}

int QuickCheck(const std::string& table_name, const std::string& index) {
  KTO_dBHandler table(table_name, true, false);
  ApplyCodePage(table);
  PrintHeaderWarnings(table);
  auto file = OpenIndex(&table, index, false);
  const auto faults = tessera::QuickCheckIndexFile(table, *file);
  for (const auto& f : faults) std::printf("%s\n", ToUtf8(table, f).c_str());
  if (faults.empty()) std::printf("%zu tags: key counts match the table\n", file->TagCount());
  return faults.empty() ? 0 : 1;
}

int Check(const Args& args) {
  ArgParser p(args, {"--quick"}, {});
  p.Expect(2, 2);
  if (p.Has("--quick")) return QuickCheck(p.Positional()[0], p.Positional()[1]);
  ProgressLine progress("check");
  ProgressTable table(p.Positional()[0], true, false, progress);
  ApplyCodePage(table);
  PrintHeaderWarnings(table);
  auto file = OpenIndex(&table, p.Positional()[1], false);
  ReadLock lock(*file);
  // The records as they are now that no writer is half-way.
  table.RefreshHeader();
  const std::string kind = KindOf(p.Positional()[1]);
  // Each tag's keys are compared with every record's.
  table.ExpectReads(static_cast<int64_t>(file->TagCount()) * table.RecordCount());
  auto faults = kind == ".NTX"   ? tessera::CheckNtxFile(static_cast<KTobjNTXFile&>(*file))
                      : kind == ".NDX" ? tessera::CheckNdxFile(static_cast<KTobjNDXFile&>(*file))
                      : IsMultipleIndex(file->FullName()) ? tessera::CheckMdxFile(*static_cast<KTobjMDXFile*>(file.get()))
                                       : tessera::CheckCdxFile(*static_cast<KTobjCDXFile*>(file.get()));
  if (file->NeedsRebuild())
    faults.insert(faults.begin(), "index file " + file->FullName() +
                                      ": a write through it did not finish (the writer was stopped); it needs a rebuild");
  progress.Finish();
  // Faults name keys and expressions: texts of the table.
  for (const auto& f : faults) std::printf("%s\n", ToUtf8(table, f).c_str());
  if (faults.empty()) std::printf("%zu tags sound\n", file->TagCount());
  return faults.empty() ? 0 : 1;
}

TESSERA_COMMAND("tags", "tags INDEX", "List the tags of an index file (CDX, MDX, NTX or NDX): name, key type and length, options, key count, expressions.",
                "The table of the same name beside the index, when there is one, tells the key types\n"
                "and the code page of the expressions (else --codepage's, or CP866).",
                Tags);
TESSERA_COMMAND("keys", "keys TABLE INDEX TAG", "Print a tag's keys in tag order: record number, a tab, the key.",
                "Character keys are shown in UTF-8 (from the table's code page, or --codepage's)\n"
                "without trailing blanks; other keys as the hex of their stored bytes (numbers and\n"
                "dates: the big-endian double with its sign bit turned);\n"
                "in a multiple index (.MDX) numbers as numbers and dates as yyyymmdd; NTX: the key\n"
                "text; NDX: the little-endian double. Visual FoxPro's keys: integers as their 4 bytes\n"
                "(big-endian, sign bit turned), date-times as \"yyyymmdd hh:mm:ss.fff\"; keys of nullable\n"
                "fields without their leading marker byte, or .NULL.",
                Keys);
TESSERA_COMMAND("index", "index TABLE INDEX TAG EXPR [--for EXPR] [--unique] [--descending]",
                "Build (or replace) one tag of a compound index (or, named .MDX, a multiple index) from every record.",
                "Shows its progress on a terminal (see --progress). An NTX or NDX file holds one tag,\n"
                "named after the file, and is replaced as a whole (TAG is not used; an NDX tag is always\n"
                "ascending and keeps no FOR condition).",
                Index);
int Reindex(const Args& args) {
  ArgParser p(args, {"--no-wait"}, {"--wait"});
  p.Expect(2, 2);
  const std::string& name = p.Positional()[1];
  RequireWritableIndexKind(name);
  ProgressLine progress("reindex " + name);
  ProgressTable table(p.Positional()[0], true, false, progress);
  int wait = tessera::kLockWaitTotal;
  if (p.Has("--no-wait")) wait = 0;
  if (const std::string* ms = p.Value("--wait")) {
    const long long n = ParseInteger(*ms, "--wait");
    if (n < 0) throw UsageError{"--wait takes a number of milliseconds"};
    wait = static_cast<int>(std::min<long long>(n, 24LL * 3600 * 1000));
  }
  table.SetLockWait(wait);
  const size_t tags = tessera::ReindexIndexFile(table, plat::FullPath(name));
  progress.Finish();
  std::printf("%zu tags rebuilt\n", tags);
  return 0;
}

TESSERA_COMMAND("check", "check TABLE INDEX [--quick]",
                "Check every tag: tree structure, key order and that the keys are the records' keys.",
                "Exit status 0 when sound; 1 with one line per fault otherwise. --quick reads no\n"
                "records: it looks for the mark of a write that did not finish and counts the keys\n"
                "of every tag without FOR condition or UNIQUE against the record count.",
                Check);
TESSERA_COMMAND("reindex", "reindex TABLE INDEX [--wait MS | --no-wait]",
                "Rebuild every tag of an index file from the table, keeping each tag's definition.",
                "Names, key and FOR expressions, unique and descending are read from the file, so a\n"
                "file that check finds damaged, or whose writer was stopped half-way, is repaired.\n"
                "The file is rebuilt in place, under a lock that keeps every other program out of it\n"
                "meanwhile: programs that have it open go on with it and find the new tags. While\n"
                "another program holds a lock in it for longer than 5000 ms (--wait MS; --no-wait tries\n"
                "once) the rebuild is refused with \"INDEX is in use by another program\" and nothing is\n"
                "changed. Shows its progress on a terminal (see --progress).",
                Reindex);

}  // namespace
}  // namespace tessera_tool
