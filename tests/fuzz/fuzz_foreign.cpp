// Index files of other programs over their own tables: the key forms of
// Visual FoxPro (integers, date-times, nullable fields behind a marker),
// the layouts of dBase IV, Clipper and FoxPro, expressions in their
// dialects. The input is a table and an index file together:
//   byte 0        the index format: 0 CDX, 1 MDX, 2 NDX, 3 NTX (modulo 4)
//   bytes 1..4    the table's length n, little-endian
//   bytes 5..     the table (n bytes), then the index file
// Both are read as the engine reads them; the tags are walked, searched and
// checked, and a record is appended and one changed through the file. Any
// of it may fail with an engine error; anything else is a finding.
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/index_file.h"
#include "index/index_tag.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"

namespace {

const char* const kExtensions[] = {".CDX", ".MDX", ".NDX", ".NTX"};

void Check(tessera::KTobjIndexFile& file, int format) {
  switch (format) {
    case 0: (void)tessera::CheckCdxFile(static_cast<tessera::KTobjCDXFile&>(file)); break;
    case 1: (void)tessera::CheckMdxFile(static_cast<tessera::KTobjMDXFile&>(file)); break;
    case 2: (void)tessera::CheckNdxFile(static_cast<tessera::KTobjNDXFile&>(file)); break;
    default: (void)tessera::CheckNtxFile(static_cast<tessera::KTobjNTXFile&>(file)); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  if (size < 5) return 0;
  const int format = data[0] % 4;
  uint32_t table_size = 0;
  std::memcpy(&table_size, data + 1, 4);
  if (table_size > size - 5) return 0;
  const std::string table = fuzz_support::Scratch("F.DBF");
  const std::string index = fuzz_support::Scratch(std::string("F") + kExtensions[format]);
  fuzz_support::PutFile(table, data + 5, table_size);
  fuzz_support::PutFile(index, data + 5 + table_size, size - 5 - table_size);
  fuzz_support::EngineErrorsOnly([&] {
    tessera::KTO_dBHandler t(table, false, true);
    if (t.OpenIndexFile(index) != 0) return;
    tessera::KTobjIndexFile* file = t.IndexFile(1);
    for (size_t i = 0; i < file->TagCount(); ++i) {
      tessera::KTobjIndexTag* tag = file->TagAt(i);
      fuzz_support::EngineErrorsOnly([&] {
        tag->ResetTree(0);
        int steps = 0;
        for (int32_t r = tag->CurrentKey().Reference; r != 0 && steps < 2000; r = tag->Navigate(-1)) ++steps;
        for (int back = 0; back < 40 && tag->Navigate(-2) != 0; ++back) {
        }
        bool null = false;
        (void)tag->KeyValueBytes(tag->CurrentKey(), &null);
        tag->ReleaseTree();
      });
      fuzz_support::EngineErrorsOnly([&] {
        // Searches as the tool makes them: the key text the tag reads.
        t.SelectMasterTag(tag->Name(), false);
        for (const char* text : {"5", "A", "20240131 12:30:00", ""}) {
          t.ExactKeyOnly = text[0] == '5';
          t.SeekKeyText(text);
        }
        t.GotoRecord(tessera::kMoveFirst);
        for (int k = 0; k < 10 && !t.Eof(); ++k) t.Skip(1);
      });
    }
    fuzz_support::EngineErrorsOnly([&] { t.SelectMasterTag("", false); });
    fuzz_support::EngineErrorsOnly([&] { Check(*file, format); });
    if (t.RecordCount() == 0) return;
    // Writes through the file: a copy of record 1, then record 1 changed
    // (its first field's bytes turned round).
    fuzz_support::EngineErrorsOnly([&] {
      t.GotoRecord(1);
      const std::string record(t.RecordBytes(), static_cast<size_t>(t.RecordLength()));
      t.BlankRecord();
      std::memcpy(t.RecordBuffer(), record.data(), record.size());
      t.RecordBuffer()[0] = ' ';
      t.AppendRecord();
    });
    fuzz_support::EngineErrorsOnly([&] {
      t.GotoRecord(1);
      if (t.FieldCount() < 1) return;
      std::string raw = t.GetRawN(1);
      for (char& c : raw) c = static_cast<char>(~c);
      t.PutRawN(1, raw);
      t.WriteRecord(1);
    });
    fuzz_support::EngineErrorsOnly([&] { Check(*file, format); });
  });
  return 0;
}
