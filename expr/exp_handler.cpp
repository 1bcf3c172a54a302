#include "expr/exp_handler.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <list>

#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/messages.h"
#include "engine/variant.h"
#include "expr/tokenizer.h"
#include "expr/user_link.h"
#include "platform/text_convert.h"

namespace tessera {

using NodePtr = std::unique_ptr<TktExpBaseObject>;

// The second compiling pass: tokens become nodes in one flat list, then the
// operators take their neighbours as operands, class by class.
class TktExpHandler::Builder {
 public:
  Builder(TktExpHandler& handler, std::string_view whole_text) : h_(handler), whole_text_(whole_text) {}

  // The tree of `text`, or null when it holds no token.
  NodePtr Build(std::string_view text, int nesting) {
    if (nesting > kMaxExpressionNesting) Fail();
    std::vector<ExpToken> tokens = Tokenize(text, h_.link_, whole_text_);
    if (tokens.empty()) return nullptr;
    std::list<NodePtr> list;
    for (ExpToken& token : tokens) list.push_back(MakeNode(token, nesting));
    Bind(list);
    if (list.size() != 1) Fail();
    return std::move(list.front());
  }

 private:
  [[noreturn]] static void Fail() { throw ETesseraExpression(msg::kCannotEvaluate); }

  static void SetDepth(TktExpBaseObject& node, int32_t below) {
    if (below + 1 > kMaxExpressionDepth) Fail();
    node.set_depth(below + 1);
  }

  NodePtr MakeNode(ExpToken& token, int nesting) {
    switch (token.kind) {
      case ExpToken::Kind::kOperator: {
        // In the usual precedence ".AND." and ".OR." bind after the
        // comparisons and ".NOT.", ".AND." first.
        uint8_t op_class = token.op_class;
        if (h_.usual_precedence_ && token.code == kOpAnd) op_class = kClassNot + 1;
        if (h_.usual_precedence_ && token.code == kOpOr) op_class = kClassNot + 2;
        return std::make_unique<TktExpOperator>(token.code, op_class, h_.options_);
      }
      case ExpToken::Kind::kSubExpr: {
        auto node = std::make_unique<TktExpContainer>();
        NodePtr inner = Build(token.text, nesting + 1);
        SetDepth(*node, inner ? inner->depth() : 0);
        node->set_right(std::move(inner));
        return node;
      }
      case ExpToken::Kind::kFunction:
        ++h_.operand_count_;
        return BuildCall(token.text, nesting);
      case ExpToken::Kind::kVariable: {
        const std::string name = UpperName(token.text);
        if (h_.link_ == nullptr) throw ETesseraExpression(msg::Format(msg::kUnknownVariable, {name}));
        TktUserDefFieldVar* var = h_.link_->FindFieldVar(name);
        if (var == nullptr) throw ETesseraExpression(msg::Format(msg::kNoFunction, {name}));
        ++h_.operand_count_;
        return std::make_unique<TktExpFieldvar>(h_.link_, var);
      }
      case ExpToken::Kind::kText:
        ++h_.operand_count_;
        return std::make_unique<TktExpTextLit>(std::move(token.text));
      case ExpToken::Kind::kDate: {
        int32_t day = 0;
        try {
          day = EngineDate().ParseDate(token.text);
        } catch (const plat::ConvertError& e) {
          // A literal that is no date is a compile failure like any other.
          throw ETesseraExpression(e.what());
        }
        ++h_.operand_count_;
        return std::make_unique<TktExpDateLit>(day);
      }
      case ExpToken::Kind::kNumber: {
        double value = 0;
        if (!plat::TryTextToFloat(token.text, &value)) value = 0;
        const size_t point = token.text.find('.');
        const int32_t decimals = point == std::string::npos ? 0 : static_cast<int32_t>(token.text.size() - point - 1);
        ++h_.operand_count_;
        return std::make_unique<TktExpNumLit>(value, decimals);
      }
      case ExpToken::Kind::kLogical:
        ++h_.operand_count_;
        return std::make_unique<TktExpBlnLit>(token.logical);
    }
    Fail();
  }

  // "NAME(arg,arg,...)": the function is looked up in the registry, then
  // in the resolver; each non-empty argument is compiled on its own.
  NodePtr BuildCall(std::string_view text, int nesting) {
    const size_t paren = text.find('(');
    const std::string name = UpperName(text.substr(0, paren));
    TktUserDefFunction* function = FunctionRegistry().Find(name);
    if (function == nullptr && h_.link_ != nullptr) function = h_.link_->FindFunction(name);
    if (function == nullptr && h_.link_ != nullptr) function = h_.link_->UnknownFunction(name);
    if (function == nullptr) throw ETesseraExpression(msg::Format(msg::kNoFunction, {name}));
    auto node = std::make_unique<TktExpFunction>(h_.link_, function);
    int32_t below = 0;
    size_t pos = paren;
    size_t stop = 0;
    do {
      stop = ScanArgument(text, pos + 1, true);
      const std::string_view arg = text.substr(pos + 1, std::min(stop, text.size()) - pos - 1);
      // An empty argument is skipped: "F(,X)" has one argument.
      if (NodePtr built = Build(arg, nesting + 1)) {
        below = std::max(below, built->depth());
        node->AddArgument(std::move(built));
      }
      pos = stop;
    } while (stop + 1 < text.size());
    SetDepth(*node, below);
    return node;
  }

  // Class by class from the tightest, each unbound operator takes the
  // element after it as right operand and (except ".NOT.") the element
  // before it as left operand. Elements before a bound operator hold no
  // unbound operator of the class, so one left-to-right sweep per class
  // binds exactly what rescanning from the start would.
  static void Bind(std::list<NodePtr>& list) {
    for (uint8_t op_class = kClassPower; op_class <= 8; ++op_class) {
      for (auto it = list.begin(); it != list.end() && list.size() > 1; ++it) {
        TktExpBaseObject& node = **it;
        if (node.kind() != kNodeOperator || static_cast<TktExpOperator&>(node).op_class() != op_class) continue;
        auto next = std::next(it);
        if (next != list.end()) {
          node.set_right(std::move(*next));
          list.erase(next);
        }
        if (op_class != kClassNot && it != list.begin()) {
          auto prev = std::prev(it);
          node.set_left(std::move(*prev));
          list.erase(prev);
        }
        node.set_kind(kNodeBoundOperator);
        SetDepth(node, std::max(node.left() ? node.left()->depth() : 0, node.right() ? node.right()->depth() : 0));
      }
    }
  }

  TktExpHandler& h_;
  std::string_view whole_text_;
};

TktExpHandler::TktExpHandler(TktExpUserLink* link, bool sql_style, std::string_view text) : link_(link) {
  if (sql_style) {
    options_.wild_many = '%';
    options_.wild_one = '_';
  }
  if (!text.empty()) Compile(text);
}

TktExpHandler::~TktExpHandler() = default;

void TktExpHandler::Compile(std::string_view text) {
  root_.reset();
  operand_count_ = 0;
  result_type_ = kExpNone;
  usual_precedence_ = false;
  if (text.size() > kMaxExpressionLength) throw ETesseraExpression(msg::kCannotEvaluate);
  Builder builder(*this, text);
  root_ = builder.Build(text, 0);
}

bool TktExpHandler::CompileEitherPrecedence(std::string_view text, bool want_logical) {
  // Whether the tree built compiles to something that evaluates (to a
  // logical when wanted); the evaluation's own failure is the answer
  // false, nothing more.
  auto works = [&] {
    if (!root_) return true;
    TktExpValue v;
    try {
      Evaluate(v);
    } catch (const std::runtime_error&) {
      return false;
    }
    return !want_logical || result_type_ == kExpLogical;
  };
  std::exception_ptr first_error;
  try {
    Compile(text);
    if (works()) {
      result_type_ = kExpNone;
      return false;
    }
  } catch (const ETesseraExpression&) {
    first_error = std::current_exception();
  }
  // Only a text with ".AND." or ".OR." can read otherwise in the usual
  // precedence; the second compile is tried for any, and its tree kept
  // only when it works.
  std::unique_ptr<TktExpBaseObject> own = std::move(root_);
  const int32_t own_operands = operand_count_;
  try {
    root_.reset();
    operand_count_ = 0;
    usual_precedence_ = true;
    Builder builder(*this, text);
    root_ = builder.Build(text, 0);
    if (works()) {
      result_type_ = kExpNone;
      return true;
    }
  } catch (const ETesseraExpression&) {
  }
  root_ = std::move(own);
  operand_count_ = own_operands;
  usual_precedence_ = false;
  result_type_ = kExpNone;
  if (first_error) std::rethrow_exception(first_error);
  return false;
}

std::string TktExpHandler::ExprText() const { return root_ ? root_->ExprText() : std::string(); }

std::string TktExpHandler::ListVars(int var_class) const { return root_ ? root_->ListVars(var_class) : std::string(); }

void TktExpHandler::Evaluate(TktExpValue& value) {
  if (!root_) {
    result_type_ = kExpNone;
    return;
  }
  uint8_t type = kExpNone;
  root_->Evaluate(value, type);
  result_type_ = type;
}

void TktExpHandler::EvaluateTo(TktVariant& target) {
  if (!root_) {
    target.SetText("");
    result_type_ = kExpNone;
    return;
  }
  Evaluate(value_);
  if (value_.kind() == TktExpValue::Kind::kNull) return;
  switch (result_type_) {
    case kExpText:
      if (value_.IsText())
        target.SetText(value_.Text());
      else
        target.SetText(value_.AsText());
      break;
    case kExpNumber:
      target.SetNumber(value_.AsReal());
      break;
    case kExpDate: {
      // A real outside the day-number range (the blank-date marker among
      // them) stores as no date.
      const double day = value_.AsReal();
      target.SetDayNumber(std::isfinite(day) && std::fabs(day) < 2147483647.0 ? static_cast<int32_t>(day) : 0);
      break;
    }
    case kExpLogical:
      target.SetBoolean(value_.AsLogical() ? 1 : 0);
      break;
    default:
      result_type_ = kExpNone;
      break;
  }
}

}  // namespace tessera
