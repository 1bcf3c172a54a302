// The compound index reader and checker: the callbook fixture table with
// any bytes as its .CDX. Opening, walking every tag both ways, seeking and
// checking either work or fail with an engine error.
#include <cstdint>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/index_tag.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  static const std::string table = [] {
    const std::string t = fuzz_support::Scratch("C.DBF");
    fuzz_support::CopyFixture(std::string(PYX_FIXTURES) + "/callbook/Pyx.DBF", t);
    return t;
  }();
  const std::string index = fuzz_support::Scratch("C.CDX");
  fuzz_support::PutFile(index, data, size);
  try {
    tessera::KTO_dBHandler t(table, true, false);
    tessera::KTobjCDXFile file(&t, index, false, false, true, false);
    if (!file.Opened()) return 0;
    for (size_t i = 0; i < file.TagCount(); ++i) {
      tessera::KTobjIndexTag* tag = file.TagAt(i);
      try {
        tag->ResetTree(0);
        int steps = 0;
        for (int32_t r = tag->CurrentKey().Reference; r != 0 && steps < 5000; r = tag->Navigate(-1)) ++steps;
        tag->Navigate(-4);
        for (int back = 0; back < 50 && tag->Navigate(-2) != 0; ++back) {
        }
        tessera::KTobjIndexKeyData key(256);
        key.SetText("UA");
        key.Reference = -1;
        tag->Seek(key);
        tag->ReleaseTree();
      } catch (const tessera::ETesseraError&) {
      } catch (const tessera::ETesseraExpression&) {
      }
    }
    (void)file.NeedsRebuild();
    (void)tessera::CheckCdxFile(file);
  } catch (const std::exception&) {
  }
  return 0;
}
