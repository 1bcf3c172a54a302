// The table reader: any bytes as a .DBF file either open and read every
// record and field, or fail with an engine error; any other exception is a
// finding. Every layout is reached from its version byte (dBase II's short
// header, dBase 7's long descriptors, Visual FoxPro's _NullFlags, varchar
// lengths and backlink) and the lenient readings of headers.
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
        (void)t.IsNull(f);
        (void)t.HasValue(f);
        (void)t.ValueBytes(f);
        (void)t.GetNumberN(f);
      }
    }
    (void)t.TextCodePage();
    (void)t.HeaderWarnings();
    (void)t.MemoFileMissing();
    t.GotoRecord(tessera::kMoveFirst);
    while (!t.Eof() && t.CurrentRecord() < 50) t.Skip(1);
  });
  return 0;
}
