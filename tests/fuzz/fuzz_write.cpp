// Writes into damaged index files: the small typed table of fuzz_tables.h
// with an index the engine built on it (the first byte chooses CDX, MDX,
// NTX or NDX), damaged where the fuzzer's bytes say, then an append and an
// edit through it. A write either succeeds or fails with an engine error
// and leaves the table and the index file byte for byte as they were
// before it; a difference, or any other exception, is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"
#include "fuzz_tables.h"

namespace {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& bytes) {
  fuzz_support::PutFile(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// A table with one index file, as the engine wrote them.
struct Pair {
  std::string dbf;
  std::string index;
  std::string ext;
};

Pair Build(const std::string& ext) {
  const std::string dir = fuzz_support::Scratch("good" + ext.substr(1));
  std::filesystem::create_directories(dir);
  const std::string dbf = dir + "/W.DBF";
  const std::string index = dir + "/W" + ext;
  fuzz_tables::MakeIndexTable(dbf);
  tessera::KTO_dBHandler t(dbf, false, true);
  if (ext == ".CDX" || ext == ".MDX") {
    for (const auto& s : fuzz_tables::WriteTags())
      t.CreateIndexTag(index, s.tag, s.key, s.condition, s.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys,
                       s.descending ? 1 : 0);
  } else {
    // The compound key: long keys, so that the tree has interior pages.
    t.CreateIndexTag(index, "", "UPPER(CODE) + DTOS(BORN) + STR(QTY, 5)", "", tessera::kDuplicateKeys, 0);
  }
  return {Bytes(dbf), Bytes(index), ext};
}

const Pair& Good(int kind) {
  static const Pair pairs[4] = {Build(".CDX"), Build(".MDX"), Build(".NTX"), Build(".NDX")};
  return pairs[kind];
}

// The table and index bytes before a write must be the bytes after it
// when it failed.
void ExpectUnchanged(const std::string& dbf, const std::string& index, const std::string& dbf_before,
                     const std::string& index_before, const char* what) {
  const bool table_same = Bytes(dbf) == dbf_before;
  const bool index_same = Bytes(index) == index_before;
  if (table_same && index_same) return;
  std::fprintf(stderr, "finding: a failed %s changed the %s\n", what,
               table_same ? "index file" : index_same ? "table" : "table and the index file");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fuzz_support::StartEngine();
  const Pair& good = Good(data[0] % 4);
  const uint8_t name_byte = data[1];
  const std::string dbf = fuzz_support::Scratch("W.DBF");
  const std::string index = fuzz_support::Scratch("W" + good.ext);
  // Patches of (3-byte offset, 1-byte length, bytes).
  std::string damaged = good.index;
  for (size_t i = 2; i + 4 <= size;) {
    const size_t at = (static_cast<size_t>(data[i]) | static_cast<size_t>(data[i + 1]) << 8 |
                       static_cast<size_t>(data[i + 2]) << 16) % damaged.size();
    const size_t n = data[i + 3] % 16;
    i += 4;
    for (size_t k = 0; k < n && i < size && at + k < damaged.size(); ++k) damaged[at + k] = static_cast<char>(data[i++]);
  }
  Put(dbf, good.dbf);
  Put(index, damaged);
  bool opened = false, changed = false;
  fuzz_support::EngineErrorsOnly([&] {
    tessera::KTO_dBHandler t(dbf, true, true);
    if (t.OpenIndexFile(index) != 0) return;
    opened = true;
    std::string dbf_before = good.dbf, index_before = damaged;
    // Each write in turn; a failure must leave the bytes as they were.
    auto attempt = [&](const char* what, auto&& write) {
      try {
        write();
      } catch (const tessera::ETesseraError&) {
        ExpectUnchanged(dbf, index, dbf_before, index_before, what);
        return;
      } catch (const tessera::ETesseraExpression&) {
        ExpectUnchanged(dbf, index, dbf_before, index_before, what);
        return;
      }
      changed = true;
      dbf_before = Bytes(dbf);
      index_before = Bytes(index);
    };
    attempt("append", [&] {
      t.BlankRecord();
      t.PutText("NAME", std::string(1 + name_byte % 5, static_cast<char>('A' + name_byte % 26)));
      t.PutText("CODE", std::string(1, static_cast<char>('A' + name_byte % 7)) + "1");
      t.PutNumber("QTY", name_byte);
      t.PutRaw("ACTIVE", "T");
      t.AppendRecord();
    });
    attempt("edit", [&] {
      const int32_t r = 1 + name_byte % fuzz_tables::kIndexRecords;
      t.GotoRecord(r);
      t.PutText("NAME", "ZZ" + std::to_string(name_byte));
      t.PutText("CODE", "Q" + std::to_string(name_byte % 10));
      t.PutNumber("AMOUNT", -name_byte);
      t.WriteRecord(r);
    });
  });
  // Nothing went through: closing the files must not have written either.
  if (opened && !changed) ExpectUnchanged(dbf, index, good.dbf, damaged, "append and edit (after closing)");
  return 0;
}
