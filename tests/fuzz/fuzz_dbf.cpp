// The table reader: any bytes as a .DBF file either open and read every
// record and field, or fail with an engine error; any other exception is a
// finding.
#include <cstdint>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  const std::string path = fuzz_support::Scratch("F.DBF");
  fuzz_support::PutFile(path, data, size);
  fuzz_support::EngineErrorsOnly([&] {
    // Shared opens read records one call each, exclusive ones from the
    // mapped file: the input's length picks one, so that both are tried.
    tessera::KTO_dBHandler t(path, size % 2 == 0, false);
    // A header may claim any count; the reads past the file's records are
    // what the reader must refuse, a few of them are enough.
    const int32_t count = t.RecordCount() < 300 ? t.RecordCount() : 300;
    for (int32_t r = 1; r <= count; ++r) {
      t.GotoRecord(r);
      for (int f = 1; f <= t.FieldCount(); ++f) {
        if (t.IsMemoField(t.Field(f))) continue;
        (void)t.GetRawN(f);
        (void)t.GetTextN(f);
      }
    }
    t.GotoRecord(tessera::kMoveFirst);
    while (!t.Eof() && t.CurrentRecord() < 50) t.Skip(1);
  });
  return 0;
}
