// Writes into damaged files: the callbook fixture table with a damaged
// copy of its index (the fuzzer's bytes say where and what to overwrite),
// then an append and an edit through it. A write that fails leaves the
// table exactly as it was.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "fuzz_support.h"

namespace {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::StartEngine();
  static const std::string good_dbf = Bytes(std::string(PYX_FIXTURES) + "/callbook/Pyx.DBF");
  static const std::string good_cdx = Bytes(std::string(PYX_FIXTURES) + "/callbook/PYX.CDX");
  const std::string dbf = fuzz_support::Scratch("W.DBF");
  const std::string cdx = fuzz_support::Scratch("W.CDX");
  // Patches of (3-byte offset, 1-byte length, bytes).
  std::string damaged = good_cdx;
  for (size_t i = 0; i + 4 <= size;) {
    const size_t at = (static_cast<size_t>(data[i]) | static_cast<size_t>(data[i + 1]) << 8 |
                       static_cast<size_t>(data[i + 2]) << 16) % damaged.size();
    const size_t n = data[i + 3] % 16;
    i += 4;
    for (size_t k = 0; k < n && i < size && at + k < damaged.size(); ++k) damaged[at + k] = static_cast<char>(data[i++]);
  }
  fuzz_support::PutFile(dbf, reinterpret_cast<const uint8_t*>(good_dbf.data()), good_dbf.size());
  fuzz_support::PutFile(cdx, reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size());
  bool failed = false;
  try {
    tessera::KTO_dBHandler t(dbf, true, true);
    if (t.OpenIndexFile(cdx) != 0) return 0;
    try {
      t.BlankRecord();
      t.PutTextN(1, size > 0 ? std::string(1, static_cast<char>('A' + data[0] % 26)) + "Q1" : "QQ1");
      t.AppendRecord();
    } catch (const tessera::ETesseraError&) {
      failed = true;
    }
    if (!failed) return 0;
    try {
      t.GotoRecord(2);
      t.PutTextN(1, "ZZ9");
      t.WriteRecord(2);
      return 0;
    } catch (const tessera::ETesseraError&) {
    }
  } catch (const std::exception&) {
    return 0;
  }
  // Both writes failed: the table must be as it was.
  if (Bytes(dbf) != good_dbf) __builtin_trap();
  return 0;
}
