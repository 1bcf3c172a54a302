// The number functions: rounding to whole numbers, MOD, STR and VAL.
#include <algorithm>
#include <cmath>
#include <limits>

#include "expr/builtin_functions.h"
#include "expr/udf_support.h"
#include "platform/text_convert.h"

namespace tessera {

using udf::NumberArg;
using udf::TextArg;

namespace {

// Truncation toward zero to 64 bits, sticking at the ends of the range.
int64_t TruncToInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (value <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace

// CEILING and FLOOR work on the whole real, so values beyond the 32-bit
// range keep their magnitude.
bool TktUDFCeiling::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const double x = NumberArg(call, 0, value);
  const double whole = std::trunc(x);
  value.SetReal(x - whole > 0 ? whole + 1 : whole);
  return true;
}

bool TktUDFFloor::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const double x = NumberArg(call, 0, value);
  const double whole = std::trunc(x);
  value.SetReal(x - whole < 0 ? whole - 1 : whole);
  return true;
}

bool TktUDFInt::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  value.SetReal(std::trunc(NumberArg(call, 0, value)));
  return true;
}

bool TktUDFMod::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const int64_t a = TruncToInt64(NumberArg(call, 0, value));
  const int64_t b = TruncToInt64(NumberArg(call, 1, value));
  if (b == 0) throw ETesseraExpression("Division by zero");
  // The remainder takes the sign of a; -1 is answered directly because
  // INT64_MIN % -1 traps on the processor.
  value.SetReal(b == -1 ? 0.0 : static_cast<double>(a % b));
  return true;
}

bool TktUDFStr::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  const double x = NumberArg(call, 0, value);
  int32_t width = 0;
  int32_t decimals = 0;
  if (call.GetArg(1, value, kExpAny) == kExpNumber) {
    width = TruncToInt32(value.AsReal());
    decimals = std::max(0, udf::OptionalWhole(call, 2, value, 0));
  } else {
    const TktExpUserLink* link = call.LinkOf();
    width = link != nullptr && link->DefaultWidth > 0 ? link->DefaultWidth : 10;
  }
  udf::CheckLength(width, Name());
  std::string& out = value.MutableText();
  // A number with more decimals than the width cannot fit.
  std::string written = decimals < width ? plat::FormatFixed(x, decimals) : std::string();
  if (written.empty() || written.size() > static_cast<size_t>(std::max(width, 0))) {
    out.assign(static_cast<size_t>(std::max(width, 0)), '*');
    return true;
  }
  const size_t pad = static_cast<size_t>(width) - written.size();
  out.assign(pad, ZeroFill() ? '0' : ' ');
  out += written;
  return true;
}

bool TktUDFVal::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const std::string& t = TextArg(call, 0, value);
  double v = 0;
  if (t.empty() || !plat::TryTextToFloat(t, &v)) v = 0;
  value.SetReal(v);
  return true;
}

}  // namespace tessera
