// The index readers and their checkers (the format chosen at build time:
// INDEX_FORMAT 1 NTX, 2 NDX, 3 MDX, 4 CDX): the small typed
// table of fuzz_tables.h with any bytes as its index file, opened through
// the table. Walking every tag both ways, seeking each key type, moving the
// table in the tag's order and checking the file either work or fail with
// an engine error; any other exception is a finding.
#include <cstdint>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"
#include "fuzz_tables.h"
#include "index/index_file.h"
#include "index/index_tag.h"

#if INDEX_FORMAT == 1
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#define INDEX_NAME "I.NTX"
using IndexFileType = tessera::KTobjNTXFile;
#define CHECK_INDEX tessera::CheckNtxFile
#elif INDEX_FORMAT == 2
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#define INDEX_NAME "I.NDX"
using IndexFileType = tessera::KTobjNDXFile;
#define CHECK_INDEX tessera::CheckNdxFile
#elif INDEX_FORMAT == 3
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#define INDEX_NAME "I.MDX"
using IndexFileType = tessera::KTobjMDXFile;
#define CHECK_INDEX tessera::CheckMdxFile
#else
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#define INDEX_NAME "I.CDX"
using IndexFileType = tessera::KTobjCDXFile;
#define CHECK_INDEX tessera::CheckCdxFile
#endif

namespace {

void WalkTag(tessera::KTobjIndexTag* tag) {
  tag->ResetTree(0);
  int steps = 0;
  for (int32_t r = tag->CurrentKey().Reference; r != 0 && steps < 2000; r = tag->Navigate(-1)) ++steps;
  tag->Navigate(tessera::kMoveLast);
  for (int back = 0; back < 40 && tag->Navigate(-2) != 0; ++back) {
  }
  tessera::KTobjIndexKeyData key(256);
  switch (tag->KeyType()) {
    case 'N':
      key.SetNumber(-1234.5);
      break;
    case 'D':
      key.SetDayNumber(2451545);
      break;
    default:
      key.SetText("SM");
  }
  key.Reference = -1;
  tag->Seek(key);
  tag->Navigate(-1);
  tag->ReleaseTree();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  static const std::string table = [] {
    const std::string t = fuzz_support::Scratch("I.DBF");
    fuzz_tables::MakeIndexTable(t);
    return t;
  }();
  const std::string index = fuzz_support::Scratch(INDEX_NAME);
  fuzz_support::PutFile(index, data, size);
  fuzz_support::EngineErrorsOnly([&] {
    // Opened exclusively, as one user works on a callbook; fuzz_dbf tries
    // shared opens too.
    tessera::KTO_dBHandler t(table, false, false);
    if (t.OpenIndexFile(index) != 0) return;
    auto* file = dynamic_cast<IndexFileType*>(t.IndexFile(1));
    if (file == nullptr) __builtin_trap();
    for (size_t i = 0; i < file->TagCount(); ++i) {
      tessera::KTobjIndexTag* tag = file->TagAt(i);
      fuzz_support::EngineErrorsOnly([&] { WalkTag(tag); });
      fuzz_support::EngineErrorsOnly([&] {
        t.SelectMasterTag(tag->Name(), false);
        t.GotoRecord(tessera::kMoveFirst);
        for (int k = 0; k < 20 && !t.Eof(); ++k) t.Skip(1);
        t.SeekKeyText("B");
        t.Skip(-3);
        t.GotoRecord(tessera::kMoveLast);
        t.GotoRecord(77);
        t.Skip(1);
      });
    }
    // The checker walks the records itself; in record order, so that each
    // move does not also look the record up in a tag.
    fuzz_support::EngineErrorsOnly([&] { t.SelectMasterTag("", false); });
    fuzz_support::EngineErrorsOnly([&] { (void)file->NeedsRebuild(); });
    (void)CHECK_INDEX(*file);
  });
  return 0;
}
