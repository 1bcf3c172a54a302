// Evaluating an operator node. The right operand is evaluated first, into
// the node's own value; the left operand second, into the caller's value,
// which then receives the result. The right operand's type decides the
// result type, so arithmetic on a date and a number takes the type of its
// right side.
#include <cmath>

#include "engine/errors.h"
#include "engine/messages.h"
#include "expr/exp_nodes.h"
#include "expr/text_search.h"
#include "platform/codepage.h"

namespace tessera {

namespace {

// Whether a comparison operator holds for a three-way result c (negative:
// the left side is less).
bool ComparisonHolds(uint8_t code, int c) {
  switch (code) {
    case kOpEqual:
    case kOpExactlyEqual:
      return c == 0;
    case kOpNotEqual:
      return c != 0;
    case kOpGreater:
      return c > 0;
    case kOpLess:
      return c < 0;
    case kOpGreaterEqual:
      return c >= 0;
    default:
      return c <= 0;
  }
}

}  // namespace

const char* OperatorText(uint8_t code) {
  switch (code) {
    case kOpEqual:
      return "=";
    case kOpNotEqual:
      return "#";
    case kOpGreater:
      return ">";
    case kOpLess:
      return "<";
    case kOpGreaterEqual:
      return ">=";
    case kOpLessEqual:
      return "<=";
    case kOpInString:
      return "in string";
    case kOpExactlyEqual:
      return "exactly equal";
    case kOpPlus:
      return "+";
    case kOpMinus:
      return "-";
    case kOpTimes:
      return "*";
    case kOpDivide:
      return "/";
    case kOpPower:
      return "^";
    case kOpAnd:
      return ".AND.";
    case kOpOr:
      return ".OR.";
    case kOpNot:
      return ".NOT.";
    default:
      return "";
  }
}

std::string TktExpOperator::OwnText() const { return OperatorText(code_); }

namespace {

[[noreturn]] void ValueRequired(const char* what) {
  throw ETesseraExpression(msg::Format(msg::kValueRequired, {what}));
}

bool IsComparison(uint8_t code) { return code >= kOpEqual && code <= kOpExactlyEqual; }

constexpr const char* kCannotCompare = "Operands without a value cannot be compared";

std::string_view TrimTrailingBlanks(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Beyond this exponent "^" stops multiplying one step at a time (which
// would take seconds for 1.0000001^2000000000) and asks pow instead.
constexpr int32_t kPowerStepLimit = 1024;

}  // namespace

void TktExpOperator::Evaluate(TktExpValue& value, uint8_t& type) {
  if (!right_ || (!left_ && code_ != kOpNot))
    throw ETesseraExpression(msg::Format(msg::kTargetMissing, {OwnText()}));
  uint8_t right_type = kExpNoValue;
  right_->Evaluate(right_value_, right_type);
  uint8_t left_type = right_type;
  if (left_) left_->Evaluate(value, left_type);
  uint8_t result = right_type;
  if (left_type != right_type && !(InNumericFamily(left_type) && InNumericFamily(right_type)) && code_ != kOpNot)
    throw ETesseraExpression(msg::kSidesDoNotMatch);

  if (result == kExpLogical) {
    EvaluateLogical(left_ ? value.AsLogical() : false, right_value_.AsLogical(), value);
  } else if (InNumericFamily(result)) {
    if (code_ == kOpInString || code_ == kOpAnd || code_ == kOpOr || code_ == kOpNot) ValueRequired("assigned");
    EvaluateNumeric(value.AsReal(), right_value_.AsReal(), value);
  } else if (result == kExpText) {
    EvaluateText(value, right_value_);
  } else if (IsComparison(code_) && code_ != kOpInString) {
    // A comparison must answer: fields of a type the engine does not
    // interpret compare as their stored bytes; operands that produced no
    // value cannot be compared at all.
    if (result != kExpRawField) throw ETesseraExpression(kCannotCompare);
    CompareRaw(value, right_value_);
  }
  // Any other operator on those types computes nothing: the value stays as
  // the left operand left it.
  if (IsComparison(code_) || code_ == kOpAnd || code_ == kOpOr || code_ == kOpNot) result = kExpLogical;
  type = result_type_ = result;
}

void TktExpOperator::EvaluateLogical(bool left, bool right, TktExpValue& value) {
  switch (code_) {
    case kOpEqual:
    case kOpExactlyEqual:
      value.SetLogical(left == right);
      return;
    case kOpNotEqual:
      value.SetLogical(left != right);
      return;
    case kOpAnd:
      value.SetLogical(left && right);
      return;
    case kOpOr:
      value.SetLogical(left || right);
      return;
    case kOpNot:
      value.SetLogical(!right);
      return;
    case kOpPlus:
    case kOpMinus:
    case kOpTimes:
    case kOpDivide:
    case kOpPower:
      ValueRequired("number");
    default:
      ValueRequired("assigned");
  }
}

void TktExpOperator::EvaluateNumeric(double left, double right, TktExpValue& value) {
  const double d = left - right;
  double r = 0;
  switch (code_) {
    case kOpEqual:
    case kOpExactlyEqual:
      value.SetLogical(d == 0);
      return;
    case kOpNotEqual:
      value.SetLogical(d != 0);
      return;
    case kOpGreater:
      value.SetLogical(d > 0);
      return;
    case kOpLess:
      value.SetLogical(d < 0);
      return;
    case kOpGreaterEqual:
      value.SetLogical(d >= 0);
      return;
    case kOpLessEqual:
      value.SetLogical(d <= 0);
      return;
    case kOpPlus:
      r = left + right;
      break;
    case kOpMinus:
      r = d;
      break;
    case kOpTimes:
      r = left * right;
      break;
    case kOpDivide:
      if (right == 0) throw ETesseraExpression("Floating point division by zero");
      r = left / right;
      break;
    case kOpPower: {
      // The left value multiplied by itself n - 1 times: n <= 1 gives the
      // left value unchanged (5^0 is 5).
      const int32_t n = TruncToInt32(right);
      r = left;
      if (n > kPowerStepLimit) {
        r = std::pow(left, static_cast<double>(n));
      } else {
        for (int32_t i = 1; i < n && std::isfinite(r); ++i) r *= left;
      }
      break;
    }
    default:
      ValueRequired("assigned");
  }
  // The processor would raise here; a silent infinity would only turn into
  // NaN further on.
  if (!std::isfinite(r)) throw ETesseraExpression("Floating point overflow");
  value.SetReal(r);
}

void TktExpOperator::EvaluateText(TktExpValue& left, const TktExpValue& right) {
  if (IsComparison(code_) && code_ != kOpInString && code_ != kOpExactlyEqual) {
    left.SetLogical(ComparisonHolds(code_, CompareText(left, right)));
    return;
  }
  const std::string_view r = right.IsText() ? std::string_view(right.Text()) : std::string_view();
  switch (code_) {
    case kOpExactlyEqual: {
      // Exact bytes and length: trailing blanks count and the right text
      // holds no wildcards.
      const std::string l = left.IsText() ? std::string() : left.AsText();
      left.SetLogical((left.IsText() ? std::string_view(left.Text()) : std::string_view(l)) == r);
      return;
    }
    case kOpInString: {
      // Exact bytes, no trimming, letter case counts; the empty text is in
      // no text.
      const std::string l = left.AsText();
      left.SetLogical(FindBytes(r, l) != std::string_view::npos);
      return;
    }
    case kOpPlus: {
      // Trailing blanks are kept: a key built from fields is as wide as
      // the fields together.
      if (!left.IsText()) left.ConvertToText();
      std::string& l = left.MutableText();
      if (l.size() + r.size() > kMaxExpTextLength)
        RaiseTextTooLong("The operator +", static_cast<double>(l.size() + r.size()));
      l.append(r.data(), r.size());
      return;
    }
    case kOpMinus: {
      // The left side's trailing blanks move to the end of the result.
      if (!left.IsText()) left.ConvertToText();
      std::string& l = left.MutableText();
      const size_t total = l.size() + r.size();
      if (total > kMaxExpTextLength) RaiseTextTooLong("The operator -", static_cast<double>(total));
      l.resize(TrimTrailingBlanks(l).size());
      l.append(r.data(), r.size());
      l.resize(total, ' ');
      return;
    }
    default:
      ValueRequired("assigned");
  }
}

void TktExpOperator::CompareRaw(TktExpValue& left, const TktExpValue& right) {
  const std::string l = left.AsText();
  const std::string r = right.AsText();
  left.SetLogical(ComparisonHolds(code_, l.compare(r)));
}

int TktExpOperator::CompareText(const TktExpValue& left, const TktExpValue& right) const {
  const bool left_empty = left.IsEmptyText();
  const bool right_empty = right.IsEmptyText();
  if (left_empty && right_empty) return 0;
  if (left_empty) return -1;
  if (right_empty) return 1;
  std::string left_text, right_text;
  std::string_view l, r;
  if (left.IsText()) {
    l = left.Text();
  } else {
    left_text = left.AsText();
    l = left_text;
  }
  if (right.IsText()) {
    r = right.Text();
  } else {
    right_text = right.AsText();
    r = right_text;
  }
  l = TrimTrailingBlanks(l);
  r = TrimTrailingBlanks(r);
  const char wild = options_.wild_many;
  if (options_.partial_match && !r.empty() && (r.front() == wild || r.back() == wild)) {
    if (r.size() == 1) return 0;
    if (options_.case_insensitive) {
      left_text = plat::UpperText(l);
      right_text = plat::UpperText(r);
      l = left_text;
      r = right_text;
    }
    const bool leading = r.front() == wild;
    if (leading) r.remove_prefix(1);
    const bool trailing = !r.empty() && r.back() == wild;
    if (trailing) r.remove_suffix(1);
    int c = plat::CompareText(l, r);
    if (c != 0) {
      // The first occurrence of the pattern counts when it sits where the
      // missing wildcard would have had to fix it.
      const size_t at = r.empty() ? 0 : FindBytes(l, r);
      if (at != std::string_view::npos && (at == 0 || leading) && (at + r.size() == l.size() || trailing)) c = 0;
    }
    return c;
  }
  return options_.case_insensitive ? plat::CompareTextIgnoreCase(l, r) : plat::CompareText(l, r);
}

}  // namespace tessera
