// The first compiling pass: an expression text becomes a list of tokens.
// The tokenizer alternates between wanting an operand and wanting an
// operator; a sub-expression or a call's argument list is kept as one
// token and compiled on its own when the tree is built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessera {

class TktExpUserLink;

struct ExpToken {
  enum class Kind : uint8_t {
    kOperator,  // code and op_class set
    kSubExpr,   // text: between the outer parentheses
    kLogical,   // logical: the value
    kFunction,  // text: the name and its parenthesised argument list
    kVariable,  // text: the name as written
    kText,      // text: between the delimiters
    kDate,      // text: between "{" and "}"
    kNumber,    // text: sign, digits and points
  };
  Kind kind;
  std::string text;
  uint8_t code = 0;
  uint8_t op_class = 0;
  bool logical = false;
};

// Splits `text` into tokens. `link` (may be null) decides whether a name
// is a variable; `whole_text` is quoted by the syntax error message.
// Raises ETesseraExpression with the parser's messages.
std::vector<ExpToken> Tokenize(std::string_view text, TktExpUserLink* link, std::string_view whole_text);

// From `from`, the position of the ")" that closes a list (outside quotes,
// at nesting 0) or, when `commas` is set, of a "," at nesting 0; text.size()
// when the text ends first. Quotes: "..." '...' [...] {...}, no escapes.
size_t ScanArgument(std::string_view text, size_t from, bool commas);

// ASCII upper case (names and operator words are ASCII).
std::string UpperName(std::string_view text);

}  // namespace tessera
