// TktExpHandler: one compiled expression. Compiling turns the text into a
// tree of nodes once (tokenizer, then the builder binds the operators class
// by class); evaluating walks the tree for the current record and reports
// the result type code (exp_value.h) next to the value.
//
// Operator precedence, tightest first: "^"/"**"; "*", "/", ".AND.";
// "+", "-", ".OR."; the comparisons; ".NOT.". Operators of one class
// associate to the left, and ".AND."/".OR." bind tighter than comparisons,
// so conditions joined by them are written in parentheses.
//
// Other xBase programs bind the usual way: comparisons, then ".NOT.", then
// ".AND.", then ".OR." (A = 1 .AND. B = 2). Expressions they wrote into
// index files compile with CompileEitherPrecedence, which takes the usual
// precedence only for a text that does not work in this engine's own: what
// was written for this engine keeps its meaning.
//
// Expression texts come from users and files, so their size is bounded:
// a text longer than kMaxExpressionLength, sub-expressions and calls nested
// deeper than kMaxExpressionNesting, or a tree higher than
// kMaxExpressionDepth fail with "Expression cannot be evaluated" instead of
// exhausting the stack when compiled, evaluated or freed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "expr/exp_nodes.h"
#include "expr/exp_value.h"

namespace tessera {

class TktExpUserLink;
class TktVariant;

inline constexpr size_t kMaxExpressionLength = 65535;
inline constexpr int kMaxExpressionNesting = 256;
inline constexpr int kMaxExpressionDepth = 1024;

class TktExpHandler {
 public:
  // `link` binds names (not owned, may be null, must outlive the handler).
  // An SQL-style handler uses "%" and "_" as wildcards instead of "*" and
  // "?". A non-empty text is compiled at once; a failure propagates.
  explicit TktExpHandler(TktExpUserLink* link = nullptr, bool sql_style = false, std::string_view text = {});
  virtual ~TktExpHandler();
  TktExpHandler(const TktExpHandler&) = delete;
  TktExpHandler& operator=(const TktExpHandler&) = delete;

  // Frees the tree and compiles `text` (an empty text leaves no tree). The
  // tree is installed only when complete: after a failure there is none.
  void Compile(std::string_view text);
  // Compile, then one evaluation on the current record as a type check.
  // When the text does not compile, or that evaluation fails, or
  // `want_logical` is set and the result is no logical, the text is
  // compiled in the usual xBase precedence instead, and that tree is kept
  // if it compiles and evaluates (to a logical when wanted). Otherwise the
  // first tree stays (or, when it did not compile, its error is raised).
  // Answers whether the usual precedence was taken.
  bool CompileEitherPrecedence(std::string_view text, bool want_logical);
  // Whether the tree was built in the usual xBase precedence.
  bool UsualPrecedence() const { return usual_precedence_; }

  // The canonical text of the tree ("" without one).
  /* 0 */ virtual std::string ExprText() const;
  // Evaluates into `value` and records the result type; without a tree the
  // type is kExpNone and the value is left alone.
  /* 1 */ virtual void Evaluate(TktExpValue& value);
  // Evaluates and stores the result into an engine value by its type (a
  // date as a whole day number; the blank-date marker as 0). Other types
  // set the result type to kExpNone and leave `target` alone, as does a
  // null result; without a tree `target` becomes the empty text.
  /* 2 */ virtual void EvaluateTo(TktVariant& target);

  uint8_t ResultType() const { return result_type_; }
  bool HasTree() const { return root_ != nullptr; }
  const TktExpBaseObject* Root() const { return root_.get(); }
  // The names of class `var_class` the expression reads, each followed by
  // ";" (17: table fields).
  std::string ListVars(int var_class) const;
  // Literal, variable and call nodes built by the last compile.
  int32_t OperandCount() const { return operand_count_; }
  TktExpUserLink* Link() const { return link_; }

  // Copied into every operator node; take effect at the next Compile.
  bool CaseInsensitive() const { return options_.case_insensitive; }
  void SetCaseInsensitive(bool on) { options_.case_insensitive = on; }
  bool PartialMatch() const { return options_.partial_match; }
  void SetPartialMatch(bool on) { options_.partial_match = on; }
  char WildMany() const { return options_.wild_many; }
  char WildOne() const { return options_.wild_one; }

 private:
  class Builder;

  TktExpUserLink* link_;
  ExpCompareOptions options_;
  uint8_t result_type_ = kExpNone;
  bool usual_precedence_ = false;  // the tree being built or last built
  int32_t operand_count_ = 0;
  std::unique_ptr<TktExpBaseObject> root_;
  TktExpValue value_;  // EvaluateTo's scratch value
};

}  // namespace tessera
