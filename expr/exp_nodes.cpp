#include "expr/exp_nodes.h"

#include <algorithm>
#include <stdexcept>

#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/messages.h"
#include "expr/user_link.h"
#include "platform/text_convert.h"

namespace tessera {

std::string TktExpBaseObject::ExprText() const {
  std::string text;
  if (left_) text = left_->ExprText();
  text += OwnText();
  if (right_) text += right_->ExprText();
  return text;
}

std::string TktExpBaseObject::ListVars(int var_class) const {
  std::string list;
  if (left_) list = left_->ListVars(var_class);
  if (VarClass() == var_class) list += OwnText() + ";";
  if (right_) list += right_->ListVars(var_class);
  return list;
}

// ---- sub-expression

// The texts below are built by appending, not as `"(" + std::string`: GCC
// 12 takes the inlined insert at the front for an overlapping copy
// (-Wrestrict).
std::string TktExpContainer::ExprText() const {
  std::string text = "(";
  if (right_) text += right_->ExprText();
  text += ')';
  return text;
}

std::string TktExpContainer::ListVars(int var_class) const {
  return right_ ? right_->ListVars(var_class) : std::string();
}

void TktExpContainer::Evaluate(TktExpValue& value, uint8_t& type) {
  if (right_)
    right_->Evaluate(value, type);
  else
    type = kExpNoValue;
  result_type_ = type;
}

// ---- function call

namespace {

const char* TypeName(uint8_t type) {
  switch (type) {
    case kExpText:
      return "Text";
    case kExpNumber:
      return "Number";
    case kExpDate:
      return "Date";
    case kExpLogical:
      return "Boolean";
    default:
      return "Unknown Value";
  }
}

// Every call node keeps at least this many scratch values: enough for the
// widest built-in (STRTRAN reads five arguments).
constexpr size_t kMinScratch = 5;

}  // namespace

std::string TktExpFunction::OwnText() const { return FunctionName(); }

std::string TktExpFunction::FunctionName() const { return function_ ? function_->Name() : std::string(); }

std::string TktExpFunction::ExprText() const {
  std::string text = OwnText() + "(";
  for (size_t i = 0; i < args_.size(); ++i) {
    if (i > 0) text += ",";
    text += args_[i]->ExprText();
  }
  return text + ")";
}

std::string TktExpFunction::ListVars(int var_class) const {
  std::string list;
  for (const auto& arg : args_) list += arg->ListVars(var_class);
  return list;
}

void TktExpFunction::Evaluate(TktExpValue& value, uint8_t& type) {
  type = kExpNoValue;
  if (function_ == nullptr || !function_->Execute(*this, value, type)) type = kExpNoValue;
  result_type_ = type;
}

void TktExpFunction::AddArgument(std::unique_ptr<TktExpBaseObject> arg) {
  args_.push_back(std::move(arg));
  // Sized here, while compiling, so references handed out by Scratch stay
  // valid during an evaluation.
  if (scratch_.size() < std::max(args_.size(), kMinScratch)) scratch_.resize(std::max(args_.size(), kMinScratch));
}

TktExpValue& TktExpFunction::Scratch(int index) {
  if (scratch_.size() < kMinScratch) scratch_.resize(kMinScratch);
  if (index < 0 || static_cast<size_t>(index) >= scratch_.size())
    throw std::out_of_range("expression function scratch index");
  return scratch_[static_cast<size_t>(index)];
}

uint8_t TktExpFunction::GetArg(int index, TktExpValue& value, uint8_t required) {
  if (index < 0 || index >= ArgCount()) return kExpNoValue;
  uint8_t type = kExpNoValue;
  args_[static_cast<size_t>(index)]->Evaluate(value, type);
  const bool fits = required == kExpAny || required == type || InNumericFamily(required) || !InNumericFamily(type);
  if (!fits)
    throw ETesseraExpression(
        msg::Format(msg::kArgumentNeeded, {TypeName(required), std::to_string(index + 1), FunctionName()}));
  return type;
}

uint8_t TktExpFunction::RequireArg(int index, TktExpValue& value, uint8_t required) {
  const uint8_t type = GetArg(index, value, required);
  if (type == kExpNoValue)
    throw ETesseraExpression(
        msg::Format(msg::kArgumentNeeded, {TypeName(required), std::to_string(index + 1), FunctionName()}));
  return type;
}

// ---- variable

std::string TktExpFieldvar::OwnText() const { return var_ ? var_->Name() : std::string(); }

int TktExpFieldvar::VarClass() const { return var_ ? var_->VarClass() : -1; }

void TktExpFieldvar::Evaluate(TktExpValue& value, uint8_t& type) {
  type = kExpNoValue;
  if (var_ == nullptr || !var_->GetValue(value, type)) type = kExpNoValue;
  result_type_ = type;
}

// ---- literals

void TktExpTextLit::Evaluate(TktExpValue& value, uint8_t& type) {
  value.SetText(text_);
  type = result_type_ = kExpText;
}

std::string TktExpNumLit::OwnText() const { return plat::FormatFixed(value_, decimals_); }

void TktExpNumLit::Evaluate(TktExpValue& value, uint8_t& type) {
  value.SetReal(value_);
  type = result_type_ = kExpNumber;
}

std::string TktExpDateLit::OwnText() const {
  std::string text = "{";
  text += EngineDate().DisplayText(TruncToInt32(day_));
  text += '}';
  return text;
}

void TktExpDateLit::Evaluate(TktExpValue& value, uint8_t& type) {
  value.SetReal(day_);
  type = result_type_ = kExpDate;
}

void TktExpBlnLit::Evaluate(TktExpValue& value, uint8_t& type) {
  value.SetLogical(value_);
  type = result_type_ = kExpLogical;
}

}  // namespace tessera
