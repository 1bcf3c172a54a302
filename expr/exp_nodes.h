// The nodes of a compiled expression. The handler (exp_handler.h) builds a
// tree of them once; every evaluation walks it. A node owns its operands
// (left, right), a call node its arguments; function and variable objects
// belong to their registry or resolver and are only pointed at.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "expr/exp_value.h"

namespace tessera {

class TktExpUserLink;
class TktUserDefFunction;
class TktUserDefFieldVar;

// Node kinds.
enum ExpNodeKind : uint8_t {
  kNodeContainer = 0,      // a parenthesised sub-expression
  kNodeBoundOperator = 2,  // operator with its operands attached
  kNodeOperator = 3,       // operator not yet bound
  kNodeFunction = 4,
  kNodeVariable = 5,
  kNodeTextLit = 6,
  kNodeNumLit = 7,
  kNodeDateLit = 8,
  kNodeBlnLit = 9,
};

class TktExpBaseObject {
 public:
  explicit TktExpBaseObject(uint8_t kind) : kind_(kind) {}
  virtual ~TktExpBaseObject() = default;
  TktExpBaseObject(const TktExpBaseObject&) = delete;
  TktExpBaseObject& operator=(const TktExpBaseObject&) = delete;

  /* 0 */ virtual std::string OwnText() const { return std::string(); }
  /* 1 */ virtual int VarClass() const { return -1; }
  // Canonical text: left's text, own text, right's text.
  /* 2 */ virtual std::string ExprText() const;
  // Left's list, then the own text and ";" when VarClass is `var_class`,
  // then right's list.
  /* 3 */ virtual std::string ListVars(int var_class) const;
  /* 4 */ virtual void Evaluate(TktExpValue& /*value*/, uint8_t& type) { type = result_type_ = kExpNone; }

  uint8_t kind() const { return kind_; }
  void set_kind(uint8_t kind) { kind_ = kind; }
  uint8_t result_type() const { return result_type_; }
  int32_t decimals() const { return decimals_; }
  TktExpBaseObject* left() const { return left_.get(); }
  TktExpBaseObject* right() const { return right_.get(); }
  void set_left(std::unique_ptr<TktExpBaseObject> node) { left_ = std::move(node); }
  void set_right(std::unique_ptr<TktExpBaseObject> node) { right_ = std::move(node); }
  // Height of the tree below and including this node (1 for a leaf); the
  // compiler bounds it so evaluation cannot exhaust the stack.
  int32_t depth() const { return depth_; }
  void set_depth(int32_t depth) { depth_ = depth; }

 protected:
  uint8_t kind_;
  uint8_t result_type_ = kExpNone;
  int32_t decimals_ = 0;
  int32_t depth_ = 1;
  std::unique_ptr<TktExpBaseObject> left_;
  std::unique_ptr<TktExpBaseObject> right_;
};

// "(" inner ")": the inner tree is the right child; no inner tree (the text
// "()") evaluates to no value.
class TktExpContainer : public TktExpBaseObject {
 public:
  TktExpContainer() : TktExpBaseObject(kNodeContainer) {}
  std::string ExprText() const override;
  std::string ListVars(int var_class) const override;
  void Evaluate(TktExpValue& value, uint8_t& type) override;
};

// A call of a function object with its argument nodes (in source order).
class TktExpFunction : public TktExpBaseObject {
 public:
  TktExpFunction(TktExpUserLink* link, TktUserDefFunction* function)
      : TktExpBaseObject(kNodeFunction), link_(link), function_(function) {}

  std::string OwnText() const override;
  std::string ExprText() const override;
  std::string ListVars(int var_class) const override;
  void Evaluate(TktExpValue& value, uint8_t& type) override;

  void AddArgument(std::unique_ptr<TktExpBaseObject> arg);
  int ArgCount() const { return static_cast<int>(args_.size()); }
  const TktExpBaseObject* Argument(int index) const { return args_[static_cast<size_t>(index)].get(); }

  // Evaluates argument `index` (from 0) into `value` and answers its type;
  // an index beyond the list answers kExpNoValue and leaves value alone.
  // Raises ETesseraExpression "%s needed for Argument %d of %s" when the
  // type does not fit `required`: a number or date where a text, logical or
  // other non-numeric type is required (kExpAny accepts everything).
  uint8_t GetArg(int index, TktExpValue& value, uint8_t required);
  // As GetArg, and an argument that is missing or produced no value is
  // refused with the same message: the function needs its value.
  uint8_t RequireArg(int index, TktExpValue& value, uint8_t required);
  // A value the function may keep while it reads other arguments; one per
  // argument position, reused from call to call.
  TktExpValue& Scratch(int index);

  // The resolver of the handler that built the node (may be null).
  TktExpUserLink* LinkOf() const { return link_; }
  TktUserDefFunction* function() const { return function_; }
  std::string FunctionName() const;

 private:
  TktExpUserLink* link_;
  TktUserDefFunction* function_;
  std::vector<std::unique_ptr<TktExpBaseObject>> args_;
  std::vector<TktExpValue> scratch_;
};

// A variable bound through the resolver.
class TktExpFieldvar : public TktExpBaseObject {
 public:
  // The variable belongs to the resolver `link`, which outlives the node;
  // the node reaches it through `var` alone.
  TktExpFieldvar(TktExpUserLink* /*link*/, TktUserDefFieldVar* var) : TktExpBaseObject(kNodeVariable), var_(var) {}
  std::string OwnText() const override;
  int VarClass() const override;
  void Evaluate(TktExpValue& value, uint8_t& type) override;
  TktUserDefFieldVar* var() const { return var_; }

 private:
  TktUserDefFieldVar* var_;
};

// Operator codes.
enum ExpOperatorCode : uint8_t {
  kOpEqual = 0x81,
  kOpNotEqual = 0x82,
  kOpGreater = 0x83,
  kOpLess = 0x84,
  kOpGreaterEqual = 0x85,
  kOpLessEqual = 0x86,
  kOpInString = 0x87,
  kOpExactlyEqual = 0x88,
  kOpPlus = 0x89,
  kOpMinus = 0x8A,
  kOpTimes = 0x8B,
  kOpDivide = 0x8C,
  kOpPower = 0x8D,
  kOpAnd = 0x90,
  kOpOr = 0x91,
  kOpNot = 0x92,
};

// Binding classes: a lower class binds tighter.
enum ExpOperatorClass : uint8_t {
  kClassPower = 2,
  kClassProduct = 3,  // "*", "/", ".AND."
  kClassSum = 4,      // "+", "-", ".OR."
  kClassCompare = 5,
  kClassNot = 6,
};

// Text comparison options an operator carries (copied from its handler).
struct ExpCompareOptions {
  bool case_insensitive = false;
  bool partial_match = true;
  char wild_many = '*';
  char wild_one = '?';
};

class TktExpOperator : public TktExpBaseObject {
 public:
  TktExpOperator(uint8_t code, uint8_t op_class, const ExpCompareOptions& options)
      : TktExpBaseObject(kNodeOperator), code_(code), op_class_(op_class), options_(options) {}

  std::string OwnText() const override;
  void Evaluate(TktExpValue& value, uint8_t& type) override;

  uint8_t code() const { return code_; }
  uint8_t op_class() const { return op_class_; }
  const ExpCompareOptions& options() const { return options_; }

  // <0, 0, >0: two texts as the comparison operators see them (trailing
  // blanks ignored, wildcards in the right text when PartialMatch is on).
  int CompareText(const TktExpValue& left, const TktExpValue& right) const;

 private:
  void EvaluateLogical(bool left, bool right, TktExpValue& value);
  void EvaluateNumeric(double left, double right, TktExpValue& value);
  void EvaluateText(TktExpValue& left, const TktExpValue& right);
  // A comparison of two raw fields: their stored bytes, unsigned, the
  // shorter first when one begins the other.
  void CompareRaw(TktExpValue& left, const TktExpValue& right);

  uint8_t code_;
  uint8_t op_class_;
  ExpCompareOptions options_;
  TktExpValue right_value_;  // the right operand's value, kept for its buffer
};

// The display text of an operator code (".AND.", "#", "in string", ...).
const char* OperatorText(uint8_t code);

class TktExpTextLit : public TktExpBaseObject {
 public:
  explicit TktExpTextLit(std::string text) : TktExpBaseObject(kNodeTextLit), text_(std::move(text)) {}
  std::string OwnText() const override { return "\"" + text_ + "\""; }
  void Evaluate(TktExpValue& value, uint8_t& type) override;
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class TktExpNumLit : public TktExpBaseObject {
 public:
  TktExpNumLit(double value, int32_t decimals) : TktExpBaseObject(kNodeNumLit), value_(value) {
    decimals_ = decimals;
  }
  std::string OwnText() const override;
  void Evaluate(TktExpValue& value, uint8_t& type) override;
  double value() const { return value_; }

 private:
  double value_;
};

class TktExpDateLit : public TktExpBaseObject {
 public:
  explicit TktExpDateLit(double day) : TktExpBaseObject(kNodeDateLit), day_(day) {}
  std::string OwnText() const override;
  void Evaluate(TktExpValue& value, uint8_t& type) override;
  double day() const { return day_; }

 private:
  double day_;
};

class TktExpBlnLit : public TktExpBaseObject {
 public:
  explicit TktExpBlnLit(bool value) : TktExpBaseObject(kNodeBlnLit), value_(value) {}
  std::string OwnText() const override { return value_ ? ".T." : ".F."; }
  void Evaluate(TktExpValue& value, uint8_t& type) override;

 private:
  bool value_;
};

}  // namespace tessera
