// The memo readers: a table of the memo kind chosen at build time (dBase
// III .DBT, dBase IV .DBT, FoxPro .FPT) whose records point at assorted
// blocks, read with any bytes as its memo file. Every memo is read or
// fails with an engine error.
#include <cstdint>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"

#ifndef MEMO_VERSION
#define MEMO_VERSION 0x83
#endif

namespace {

const char* MemoName() { return MEMO_VERSION == 0xF5 ? "M.FPT" : "M.DBT"; }

void MakeTable() {
  static bool made = false;
  if (made) return;
  made = true;
  const std::string path = fuzz_support::Scratch("M.DBF");
  tessera::CreateTable(path, MEMO_VERSION, {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 0, 0}}, {0, true});
  tessera::KTO_dBHandler t(path, false, true);
  // Block numbers written straight into the memo field's text.
  for (int block : {1, 2, 3, 5, 8, 13, 40, 1000, 70000}) {
    t.BlankRecord();
    t.PutTextN(1, "R" + std::to_string(block));
    const std::string n = std::to_string(block);
    t.PutRawN(2, std::string(10 - n.size(), ' ') + n);
    t.AppendRecord();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  try {
    MakeTable();
  } catch (const std::exception&) {
    return 0;
  }
  fuzz_support::PutFile(fuzz_support::Scratch(MemoName()), data, size);
  try {
    tessera::KTO_dBHandler t(fuzz_support::Scratch("M.DBF"), true, false);
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
      t.GotoRecord(r);
      try {
        (void)t.MemoSize(2);
        (void)t.MemoText(2);
      } catch (const tessera::ETesseraError&) {
      }
    }
  } catch (const std::exception&) {
  }
  return 0;
}
