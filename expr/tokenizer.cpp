#include "expr/tokenizer.h"

#include <cstring>

#include "engine/errors.h"
#include "engine/messages.h"
#include "expr/exp_nodes.h"
#include "expr/user_link.h"

namespace tessera {
namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }
bool InSet(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

constexpr const char* kUnknownAlias = "The alias %s is not the table's own";

// The operator words and symbols, in the order they are searched.
struct OperatorForm {
  const char* text;
  uint8_t code;
  uint8_t op_class;
};
constexpr OperatorForm kWordForms[] = {
    {"AND", kOpAnd, kClassProduct},          {"OR", kOpOr, kClassSum},
    {"EQ", kOpEqual, kClassCompare},         {"NE", kOpNotEqual, kClassCompare},
    {"GE", kOpGreaterEqual, kClassCompare},  {"LE", kOpLessEqual, kClassCompare},
    {"LT", kOpLess, kClassCompare},          {"GT", kOpGreater, kClassCompare},
};
constexpr OperatorForm kSymbolForms[] = {
    {"=", kOpEqual, kClassCompare},          {"+", kOpPlus, kClassSum},
    {"-", kOpMinus, kClassSum},              {"*", kOpTimes, kClassProduct},
    {"/", kOpDivide, kClassProduct},         {"**", kOpPower, kClassPower},
    {"^", kOpPower, kClassPower},            {"<>", kOpNotEqual, kClassCompare},
    {"!=", kOpNotEqual, kClassCompare},      {"#", kOpNotEqual, kClassCompare},
    {">", kOpGreater, kClassCompare},        {"<", kOpLess, kClassCompare},
    {">=", kOpGreaterEqual, kClassCompare},  {"=>", kOpGreaterEqual, kClassCompare},
    {"<=", kOpLessEqual, kClassCompare},     {"=<", kOpLessEqual, kClassCompare},
    {"$", kOpInString, kClassCompare},       {"==", kOpExactlyEqual, kClassCompare},
};

class Tokenizer {
 public:
  Tokenizer(std::string_view text, TktExpUserLink* link, std::string_view whole_text)
      : link_(link), whole_text_(whole_text) {
    size_t b = 0, e = text.size();
    while (b < e && IsBlankOrControl(text[b])) ++b;
    while (e > b && IsBlankOrControl(text[e - 1])) --e;
    s_ = text.substr(b, e - b);
  }

  std::vector<ExpToken> Run() {
    bool want_operand = true;
    while (p_ < s_.size()) {
      if (want_operand) {
        if (!NotPrefix()) {
          Operand();
          want_operand = false;
        }
      } else {
        if (!Operator()) SyntaxError();
        want_operand = true;
      }
      while (p_ < s_.size() && IsBlankOrControl(s_[p_])) ++p_;
    }
    return std::move(tokens_);
  }

 private:
  [[noreturn]] void SyntaxError() const {
    throw ETesseraExpression(msg::Format(msg::kSyntaxError, {whole_text_}));
  }

  void Emit(ExpToken::Kind kind, std::string_view text) {
    ExpToken t{kind, std::string(text)};
    tokens_.push_back(std::move(t));
  }
  void EmitOperator(uint8_t code, uint8_t op_class) {
    ExpToken t{ExpToken::Kind::kOperator, std::string()};
    t.code = code;
    t.op_class = op_class;
    tokens_.push_back(std::move(t));
  }

  // A dotted or plain word from p_: letters from its second character, a
  // point right after them belongs to it. Answers the end, or npos when no
  // character follows the word (the word is then not complete).
  size_t WordEnd() const {
    size_t q = p_ + 1;
    while (q < s_.size() && IsLetter(s_[q])) ++q;
    if (q < s_.size() && s_[q] == '.') ++q;
    return q < s_.size() ? q : std::string_view::npos;
  }
  // The word upper-cased; one that begins with a point loses its first and
  // last characters (".AND." -> "AND", ".AND" -> "AN").
  std::string WordText(size_t end) const {
    std::string w = UpperName(s_.substr(p_, end - p_));
    if (s_[p_] == '.') w = w.size() >= 2 ? w.substr(1, w.size() - 2) : std::string();
    return w;
  }

  bool NotPrefix() {
    const char c = s_[p_];
    if (c == '!') {
      ++p_;
      EmitOperator(kOpNot, kClassNot);
      return true;
    }
    if (c != '.' && !IsLetter(c)) return false;
    const size_t end = WordEnd();
    if (end == std::string_view::npos || WordText(end) != "NOT") return false;
    p_ = end;
    EmitOperator(kOpNot, kClassNot);
    return true;
  }

  void Operand() {
    const char c = s_[p_];
    if (c == '(') {
      int count = 0;
      size_t i = p_;
      for (; i < s_.size(); ++i) {
        if (s_[i] == '(') ++count;
        if (s_[i] == ')' && --count == 0) break;
      }
      if (i >= s_.size()) throw ETesseraExpression(msg::kMissingParen);
      Emit(ExpToken::Kind::kSubExpr, s_.substr(p_ + 1, i - p_ - 1));
      p_ = i + 1;
    } else if (c == '.') {
      const size_t close = s_.find('.', p_ + 1);
      if (close == std::string_view::npos) throw ETesseraExpression(msg::kMissingPeriod);
      const std::string lit = UpperName(s_.substr(p_, close + 1 - p_));
      if (lit != ".T." && lit != ".F.") throw ETesseraExpression(msg::kExpectingLogical);
      ExpToken t{ExpToken::Kind::kLogical, std::string()};
      t.logical = lit == ".T.";
      tokens_.push_back(std::move(t));
      p_ = close + 1;
    } else if (IsLetter(c) || c == '_') {
      Name();
    } else if (c == '"' || c == '\'' || c == '[' || c == '{') {
      const char close_char = c == '[' ? ']' : c == '{' ? '}' : c;
      const size_t close = s_.find(close_char, p_ + 1);
      if (close == std::string_view::npos)
        throw ETesseraExpression(msg::Format(msg::kMissingQuote, {std::string_view(&c, 1)}));
      Emit(c == '{' ? ExpToken::Kind::kDate : ExpToken::Kind::kText, s_.substr(p_ + 1, close - p_ - 1));
      p_ = close + 1;
    } else if (c == '+' || c == '-' || IsDigit(c)) {
      size_t q = p_ + 1;
      while (q < s_.size() && (IsDigit(s_[q]) || s_[q] == '.')) ++q;
      Emit(ExpToken::Kind::kNumber, s_.substr(p_, q - p_));
      p_ = q;
    } else {
      SyntaxError();
    }
  }

  // A name: a call when "(" follows at once, a variable when the resolver
  // knows it, else ".part" is appended and the name is tried again (an
  // alias, a point and a field name).
  void Name() {
    size_t q = p_ + 1;
    while (q < s_.size() && IsNameChar(s_[q])) ++q;
    std::string upper = UpperName(s_.substr(p_, q - p_));
    // "ALIAS->NAME": the work area before the arrow must be the resolver's
    // own (FIELD, _FIELD or the table's alias); the name after it is read
    // as if written alone.
    for (;;) {
      size_t arrow = q;
      while (arrow < s_.size() && (s_[arrow] == ' ' || s_[arrow] == '\t')) ++arrow;
      if (s_.substr(arrow, 2) != "->") break;
      const bool own = link_ != nullptr ? link_->IsOwnAlias(upper) : (upper == "FIELD" || upper == "_FIELD");
      if (!own) throw ETesseraExpression(msg::Format(kUnknownAlias, {s_.substr(p_, q - p_)}));
      p_ = arrow + 2;
      while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t')) ++p_;
      if (p_ >= s_.size() || !(IsLetter(s_[p_]) || s_[p_] == '_')) SyntaxError();
      q = p_ + 1;
      while (q < s_.size() && IsNameChar(s_[q])) ++q;
      upper = UpperName(s_.substr(p_, q - p_));
    }
    for (;;) {
      if (q < s_.size() && s_[q] == '(') {
        const size_t close = ScanArgument(s_, q + 1, false);
        if (close >= s_.size()) throw ETesseraExpression(msg::kMissingParen);
        Emit(ExpToken::Kind::kFunction, s_.substr(p_, close + 1 - p_));
        p_ = close + 1;
        return;
      }
      // Without a resolver no name is known; it becomes a variable and
      // fails as an unknown one when the tree is built.
      if (link_ == nullptr || link_->FindFieldVar(upper) != nullptr) {
        Emit(ExpToken::Kind::kVariable, s_.substr(p_, q - p_));
        p_ = q;
        return;
      }
      if (q < s_.size() && s_[q] == '.') {
        const size_t from = q;
        ++q;
        while (q < s_.size() && IsNameChar(s_[q])) ++q;
        upper += UpperName(s_.substr(from, q - from));
        continue;
      }
      std::string_view first = s_.substr(p_, q - p_);
      first = first.substr(0, first.find('.'));
      throw ETesseraExpression(msg::Format(msg::kNoFunction, {first}));
    }
  }

  bool Operator() {
    const char c = s_[p_];
    if (InSet(c, "!#$*+-/<=>^")) {
      size_t q = p_ + 1;
      while (q < s_.size() && InSet(s_[q], "*<=>")) ++q;
      if (q >= s_.size()) return false;
      const std::string_view candidate = s_.substr(p_, q - p_);
      for (const OperatorForm& f : kSymbolForms) {
        if (candidate == f.text) {
          EmitOperator(f.code, f.op_class);
          p_ = q;
          return true;
        }
      }
      return false;
    }
    if (c != '.' && !IsLetter(c)) return false;
    const size_t end = WordEnd();
    if (end == std::string_view::npos) return false;
    const std::string word = WordText(end);
    for (const OperatorForm& f : kWordForms) {
      if (word == f.text) {
        EmitOperator(f.code, f.op_class);
        p_ = end;
        return true;
      }
    }
    return false;
  }

  TktExpUserLink* link_;
  std::string_view whole_text_;
  std::string_view s_;
  size_t p_ = 0;
  std::vector<ExpToken> tokens_;
};

}  // namespace

std::string UpperName(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

size_t ScanArgument(std::string_view text, size_t from, bool commas) {
  int count = 0;
  char quote = 0;
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
        --count;
      }
      continue;
    }
    switch (c) {
      case '"':
      case '\'':
        quote = c;
        ++count;
        break;
      case '[':
        quote = ']';
        ++count;
        break;
      case '{':
        quote = '}';
        ++count;
        break;
      case '(':
        ++count;
        break;
      case ')':
        if (count == 0) return i;
        --count;
        break;
      case ',':
        if (commas && count == 0) return i;
        break;
      default:
        break;
    }
  }
  return text.size();
}

std::vector<ExpToken> Tokenize(std::string_view text, TktExpUserLink* link, std::string_view whole_text) {
  return Tokenizer(text, link, whole_text).Run();
}

}  // namespace tessera
