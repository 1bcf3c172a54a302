// The memo readers: the memo table of fuzz_tables.h, of the kind chosen at
// build time (dBase III .DBT, dBase IV .DBT, FoxPro .FPT, Visual FoxPro
// .FPT with binary pointers and a blob field), whose records
// point at the blocks the engine wrote and at assorted others, read with
// any bytes as its memo file. Every memo is read or fails with an engine
// error; any other exception is a finding.
#include <cstdint>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"
#include "fuzz_tables.h"

#ifndef MEMO_VERSION
#define MEMO_VERSION 0x83
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  static const std::string table = [] {
    const std::string t = fuzz_support::Scratch("M.DBF");
    fuzz_tables::MakeMemoTable(t, MEMO_VERSION);
    return t;
  }();
  fuzz_support::PutFile(fuzz_support::Scratch(std::string("M") + fuzz_tables::MemoExtension(MEMO_VERSION)), data, size);
  fuzz_support::EngineErrorsOnly([&] {
    tessera::KTO_dBHandler t(table, false, false);
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
      t.GotoRecord(r);
      for (int f = 2; f <= t.FieldCount(); ++f) {
        if (!t.IsMemoField(t.Field(f))) continue;
        fuzz_support::EngineErrorsOnly([&] {
          (void)t.MemoSize(f);
          (void)t.MemoText(f);
        });
      }
    }
  });
  return 0;
}
