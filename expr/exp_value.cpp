#include "expr/exp_value.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/settings.h"
#include "platform/text_convert.h"

namespace tessera {

int32_t TruncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

std::string TktExpValue::AsText() const {
  switch (kind_) {
    case Kind::kText:
      return text_;
    case Kind::kWhole:
      return std::to_string(whole_);
    case Kind::kReal:
      return plat::FloatToText(real_);
    case Kind::kLogical:
      return logical_ ? "T" : "F";
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return std::string();
}

double TktExpValue::AsReal() const {
  switch (kind_) {
    case Kind::kReal:
      return real_;
    case Kind::kWhole:
      return whole_;
    case Kind::kLogical:
      return logical_ ? 1 : 0;
    case Kind::kText: {
      if (text_.find_first_not_of(' ') == std::string::npos) return 0;
      double v = 0;
      if (!plat::TryTextToFloat(text_, &v)) throw ETesseraExpression(msg::Format(msg::kValueRequired, {"number"}));
      return v;
    }
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return 0;
}

bool TktExpValue::AsLogical() const {
  switch (kind_) {
    case Kind::kLogical:
      return logical_;
    case Kind::kReal:
      return TruncToInt32(real_) != 0;
    case Kind::kWhole:
      return whole_ != 0;
    case Kind::kText:
      return !text_.empty() && IsLogicalTrueChar(text_[0]);
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return false;
}

void TktExpValue::ConvertToText() {
  if (kind_ == Kind::kText) return;
  std::string t = AsText();
  text_.swap(t);
  kind_ = Kind::kText;
}

}  // namespace tessera

namespace tessera {

void RaiseTextTooLong(std::string_view what, double length) {
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%.0f", length);
  throw ETesseraExpression(msg::Format(msg::kTextTooLong, {what, bytes}));
}

}  // namespace tessera
