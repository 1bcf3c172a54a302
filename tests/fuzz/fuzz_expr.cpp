// The expression compiler and evaluator: any text, compiled against the
// callbook table's names and evaluated on one of its records, compiles and
// evaluates or fails with ETesseraExpression (or an engine error); any
// other exception is a finding.
#include <cstdint>
#include <string>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/variant.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  fuzz_support::StartEngine();
  static tessera::KTO_dBHandler* table = [] {
    const std::string t = fuzz_support::Scratch("E.DBF");
    fuzz_support::CopyFixture(std::string(PYX_FIXTURES) + "/callbook/Pyx.DBF", t);
    auto* h = new tessera::KTO_dBHandler(t, true, false);  // lives for the process
    h->GotoRecord(1);
    return h;
  }();
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzz_support::EngineErrorsOnly([&] {
    tessera::TktExpHandler e(table->NameResolver(), false, text);
    if (!e.HasTree()) return;
    (void)e.ExprText();
    tessera::TktExpValue v;
    e.Evaluate(v);
    tessera::TktVariant out;
    e.EvaluateTo(out);
    (void)out.AsText();
  });
  return 0;
}
