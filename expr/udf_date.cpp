// The date functions. Dates are reals holding day numbers; CTOD("") gives
// the blank-date marker, which the others read as "no date".
#include "engine/dbf_date.h"
#include "expr/builtin_functions.h"
#include "expr/udf_support.h"
#include "platform/text_convert.h"

namespace tessera {

using udf::IsBlankDate;
using udf::NumberArg;
using udf::TextArg;

bool TktUDFCTOD::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpDate;
  const std::string& t = TextArg(call, 0, value);
  if (t.empty()) {
    value.SetReal(kBlankDateMarker);
    return true;
  }
  int32_t day = 0;
  try {
    day = EngineDate().ParseDate(t);
  } catch (const plat::ConvertError& e) {
    throw ETesseraExpression(e.what());
  }
  value.SetReal(day);
  return true;
}

bool TktUDFDate::Execute(TktExpFunction&, TktExpValue& value, uint8_t& type) {
  type = kExpDate;
  value.SetWhole(EngineDate().Today());
  return true;
}

bool TktUDFDOW::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  const double day = NumberArg(call, 0, value, kExpDate);
  value.SetWhole(IsBlankDate(day) ? 0 : EngineDate().DayOfWeekOf(TruncToInt32(day)));
  return true;
}

bool TktUDFDTOC::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  const double day = NumberArg(call, 0, value, kExpDate);
  if (IsBlankDate(day)) {
    value.SetText(EngineDate().DisplayText(0));
    return true;
  }
  const bool storage = udf::OptionalWhole(call, 1, value, 0) == 1;
  const int32_t whole = TruncToInt32(day);
  value.SetText(storage ? EngineDate().StorageText(whole) : EngineDate().DisplayText(whole));
  return true;
}

bool TktUDFDTOS::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  const double day = NumberArg(call, 0, value, kExpDate);
  value.SetText(IsBlankDate(day) ? std::string(8, ' ') : EngineDate().StorageText(TruncToInt32(day)));
  return true;
}

}  // namespace tessera
