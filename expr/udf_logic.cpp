// BETWEEN, DESCEND, EMPTY and IIF.
#include <cstring>

#include "expr/builtin_functions.h"
#include "expr/udf_support.h"

namespace tessera {

namespace {

// <0, 0, >0 of two argument values under the first one's type: numbers
// and dates numerically, logicals false before true, everything else as
// texts byte by byte (a text before every longer text that begins with it).
int CompareValues(uint8_t type, const TktExpValue& a, const TktExpValue& b) {
  if (InNumericFamily(type)) {
    const double x = a.AsReal(), y = b.AsReal();
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (type == kExpLogical) return static_cast<int>(a.AsLogical()) - static_cast<int>(b.AsLogical());
  const std::string x = a.IsText() ? std::string() : a.AsText();
  const std::string y = b.IsText() ? std::string() : b.AsText();
  const std::string_view sx = a.IsText() ? std::string_view(a.Text()) : std::string_view(x);
  const std::string_view sy = b.IsText() ? std::string_view(b.Text()) : std::string_view(y);
  const int c = sx.compare(sy);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

bool TktUDFBetween::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpLogical;
  TktExpValue& x = call.Scratch(0);
  TktExpValue& low = call.Scratch(1);
  const uint8_t x_type = call.RequireArg(0, x, kExpAny);
  call.RequireArg(1, low, x_type);
  call.RequireArg(2, value, x_type);
  const bool inside = CompareValues(x_type, low, x) <= 0 && CompareValues(x_type, x, value) <= 0;
  value.SetLogical(inside);
  return true;
}

bool TktUDFDescend::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = call.GetArg(0, value, kExpAny);
  switch (type) {
    case kExpDate: {
      const double day = value.AsReal();
      if (!udf::IsBlankDate(day)) value.SetReal(5231808.0 - day);
      else value.SetReal(day);
      break;
    }
    case kExpNumber: {
      const double x = value.AsReal();
      value.SetReal(x == 0 ? 0.0 : -x);
      break;
    }
    case kExpText: {
      // (256 - b) mod 256 reverses the order of any two texts of one length
      // that hold no zero byte; the length stays.
      value.ConvertToText();
      std::string& t = value.MutableText();
      for (char& c : t) c = static_cast<char>((256 - static_cast<unsigned char>(c)) & 0xFF);
      break;
    }
    case kExpLogical:
      value.SetLogical(!value.AsLogical());
      break;
    default:
      value.SetLogical(false);
      break;
  }
  return true;
}

bool TktUDFEmpty::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  const uint8_t arg_type = call.GetArg(0, value, kExpAny);
  type = kExpLogical;
  bool empty = false;
  switch (arg_type) {
    case kExpDate: {
      const double day = value.AsReal();
      empty = udf::IsBlankDate(day) || day == 0;
      break;
    }
    case kExpNumber:
      empty = value.AsReal() == 0;
      break;
    case kExpText: {
      const std::string t = value.IsText() ? std::string() : value.AsText();
      const std::string& s = value.IsText() ? value.Text() : t;
      empty = s.find_first_not_of(' ') == std::string::npos;
      break;
    }
    case kExpLogical:
      empty = !value.AsLogical();
      break;
    default:
      break;
  }
  value.SetLogical(empty);
  return true;
}

bool TktUDFIIF::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  call.RequireArg(0, value, kExpLogical);
  const bool condition = value.AsLogical();
  // Only the chosen branch is evaluated; the result keeps its type.
  type = call.GetArg(condition ? 1 : 2, value, kExpAny);
  return true;
}

}  // namespace tessera
