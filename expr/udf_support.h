// Helpers the built-in functions share (internal to expr/).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "engine/errors.h"
#include "engine/messages.h"
#include "expr/exp_nodes.h"
#include "expr/exp_value.h"

namespace tessera::udf {

[[noreturn]] inline void ValueRequired(const char* what) {
  throw ETesseraExpression(msg::Format(msg::kValueRequired, {what}));
}

// A required text argument, converted to text in `value`.
inline std::string& TextArg(TktExpFunction& call, int index, TktExpValue& value) {
  call.RequireArg(index, value, kExpText);
  value.ConvertToText();
  return value.MutableText();
}

// A required number (or date) argument.
inline double NumberArg(TktExpFunction& call, int index, TktExpValue& value, uint8_t required = kExpNumber) {
  call.RequireArg(index, value, required);
  return value.AsReal();
}

// An optional argument that counts only when it is a number; `fallback`
// otherwise.
inline int32_t OptionalWhole(TktExpFunction& call, int index, TktExpValue& value, int32_t fallback) {
  return call.GetArg(index, value, kExpAny) == kExpNumber ? TruncToInt32(value.AsReal()) : fallback;
}

inline bool IsBlankDate(double day) { return day >= kBlankDateMarker; }

// A text result of `length` bytes built by the function `what` may not
// outgrow kMaxExpTextLength.
inline void CheckLength(double length, std::string_view what) {
  if (length > static_cast<double>(kMaxExpTextLength)) RaiseTextTooLong(what, length);
}

}  // namespace tessera::udf
