// The table reader: any bytes as a .DBF file either open and read every
// record and field, or fail with an engine error.
#include <cstdint>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  const std::string path = fuzz_support::Scratch("F.DBF");
  fuzz_support::PutFile(path, data, size);
  try {
    tessera::KTO_dBHandler t(path, true, false);
    const int32_t count = t.RecordCount() < 2000 ? t.RecordCount() : 2000;
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
  } catch (const std::exception&) {
  }
  return 0;
}
