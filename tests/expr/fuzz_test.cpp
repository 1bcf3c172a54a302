// Random and mutated expression texts: each one either compiles or fails
// with ETesseraExpression, and a compiled one evaluates or fails the same
// way; nothing else escapes, nothing crashes or hangs. Its canonical text,
// when it compiles again, is stable. Fixed seeds keep the run repeatable
// and the counts keep it to a few seconds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/variant.h"
#include "test_link.h"

namespace expr_test {
namespace {

using tessera::ETesseraExpression;
using tessera::TktExpHandler;

const char* const kPieces[] = {
    "NAME", "N", "D", "FLAG", "NOTHING", "RAW", "CITY", "Pyx.NAME", "UNKNOWN", "M",
    "UPPER(", "SUBSTR(", "STR(", "STRZERO(", "PADL(", "PADC(", "IIF(", "DTOS(", "CTOD(", "DESCEND(",
    "SOUNDEX(", "AT(", "STRTRAN(", "BETWEEN(", "EMPTY(", "MOD(", "CHR(", "VAL(", "LEFT(", "RIGHT(",
    "SPACE(", "DOW(", "DTOC(", "PROPER(", "INT(", "CEILING(", "ASC(", "LEN(", "TRIM(", "DATE(",
    "'a'", "\"b\"", "[c]", "'SM*'", "'*'", "''", "{20010208}", "{}", "{x}", "{31.02.2001}",
    ".T.", ".F.", ".X.", "1", "1.5", "-2", ".5", "0", "255", "100000",
    "+", "-", "*", "/", "^", "**", "=", "==", "#", "<>", "!=", ">", "<", ">=", "<=", "=>", "=<", "$",
    "AND", "OR", "NOT", ".AND.", ".OR.", ".NOT.", "!", "EQ", "GT",
    "(", ")", ",", "'", "\"", "[", "]", "{", "}", ".", " ", "  ", "\t", "\x01", "\xC0", "\xFF", "_",
};

const char* const kSeeds[] = {
    "FAM_+IM_+OTCH_",
    "(UPPER(NAME) = 'SMITH') .AND. (.NOT. FLAG)",
    "IIF(FLAG, STR(N, 5, 1), PADL(NAME, 12, '*'))",
    "DTOS(D) + SUBSTR(NAME, 2, 3) + SOUNDEX(NAME)",
    "BETWEEN(N, 1, 10) .OR. (D > {20010101})",
    "STRTRAN(NAME, 'S', 'Z', 1, 2) $ 'XSMITHX'",
    "DESCEND(UPPER(NAME)) + DTOC(CTOD(''))",
    "AT('I', NAME, 2) + MOD(N, 3) * 2 ^ 3 - CEILING(1.5)",
    "NOT EMPTY(TRIM(CITY)) .AND. LEN(NAME) >= 5",
    "((N + 1) * (N - 1)) / 4",
};

std::string RandomText(std::mt19937& rng) {
  std::uniform_int_distribution<int> count(1, 24);
  std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1);
  std::bernoulli_distribution blank(0.4);
  std::string t;
  for (int i = count(rng); i > 0; --i) {
    t += kPieces[piece(rng)];
    if (blank(rng)) t += ' ';
  }
  return t;
}

// A grammatical expression: operands joined by operators, calls with
// random arguments, parentheses; types are left to chance, so evaluation
// meets every mismatch.
std::string GrammarText(std::mt19937& rng, int depth) {
  static const char* const kOperands[] = {"NAME", "N", "D", "FLAG", "CITY", "M", "'SMITH'", "'S*'", "''",
                                          "{20010208}", ".T.", ".F.", "1", "2.5", "-3", "0", "NOTHING", "RAW"};
  static const char* const kOperators[] = {" + ", "-", "*", " / ", "^", " = ", "#", " > ", "<=", " $ ",
                                           " .AND. ", ".OR.", " == "};
  static const char* const kCalls[] = {"UPPER", "SUBSTR", "STR", "STRZERO", "PADL", "PADR", "PADC", "IIF",
                                       "DTOS", "DTOC", "CTOD", "DESCEND", "SOUNDEX", "AT", "ATC", "STRTRAN",
                                       "BETWEEN", "EMPTY", "MOD", "CHR", "VAL", "LEFT", "RIGHT", "SPACE",
                                       "DOW", "PROPER", "INT", "FLOOR", "CEILING", "ASC", "LEN", "TRIM",
                                       "LTRIM", "ALLTRIM", "LOWER", "DATE", "RTRIM"};
  auto pick = [&](auto& list) { return list[std::uniform_int_distribution<size_t>(0, std::size(list) - 1)(rng)]; };
  std::uniform_int_distribution<int> choice(0, 9);
  const int c = depth > 4 ? 0 : choice(rng);
  if (c <= 3) return pick(kOperands);
  if (c <= 5) return GrammarText(rng, depth + 1) + pick(kOperators) + GrammarText(rng, depth + 1);
  if (c == 6) return "(" + GrammarText(rng, depth + 1) + ")";
  if (c == 7) return ".NOT. " + GrammarText(rng, depth + 1);
  std::string call = std::string(pick(kCalls)) + "(";
  for (int i = std::uniform_int_distribution<int>(0, 4)(rng); i > 0; --i) {
    call += GrammarText(rng, depth + 1);
    if (i > 1) call += ", ";
  }
  return call + ")";
}

std::string Mutate(std::mt19937& rng, std::string t) {
  std::uniform_int_distribution<int> ops(1, 4);
  for (int i = ops(rng); i > 0 && !t.empty(); --i) {
    std::uniform_int_distribution<size_t> pos(0, t.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    const size_t p = pos(rng);
    switch (std::uniform_int_distribution<int>(0, 4)(rng)) {
      case 0:
        t.erase(p, 1);
        break;
      case 1:
        t.insert(p, 1, static_cast<char>(byte(rng)));
        break;
      case 2:
        t[p] = static_cast<char>(byte(rng));
        break;
      case 3: {
        const size_t q = pos(rng);
        t.insert(p, t.substr(std::min(p, q), std::max(p, q) - std::min(p, q)));
        break;
      }
      default:
        t.insert(p, kPieces[std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(rng)]);
        break;
    }
  }
  return t;
}

class FuzzTest : public ExprTest {
 protected:
  void SetUp() override {
    // The callbook's field names, so the seeds compile.
    for (const char* name : {"FAM_", "IM_", "OTCH_"}) link.Add(name, tessera::kExpText)->SetText("ИВАНОВ    ");
  }

  // Compiles, evaluates and re-compiles one text; counts what compiled.
  void Check(const std::string& text) {
    SCOPED_TRACE(::testing::PrintToString(text));
    std::string canonical;
    try {
      TktExpHandler h(&link, false, text);
      ++compiled_;
      canonical = h.ExprText();
      h.ListVars(16);
      TktExpValue v;
      try {
        h.Evaluate(v);
        tessera::TktVariant target;
        h.EvaluateTo(target);
      } catch (const ETesseraExpression&) {
      }
    } catch (const ETesseraExpression&) {
      return;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "escaped: " << e.what();
      return;
    }
    try {
      TktExpHandler again(&link, false, canonical);
      EXPECT_EQ(again.ExprText(), canonical);
    } catch (const ETesseraExpression&) {
    } catch (const std::exception& e) {
      ADD_FAILURE() << "escaped on the canonical text: " << e.what();
    }
  }

  int compiled_ = 0;
};

TEST_F(FuzzTest, RandomTokenSequences) {
  std::mt19937 rng(20240601);
  for (int i = 0; i < 40000; ++i) Check(RandomText(rng));
  EXPECT_GT(compiled_, 500) << "the generator should reach the evaluator too";
}

TEST_F(FuzzTest, MutatedValidExpressions) {
  std::mt19937 rng(77);
  for (const char* seed : kSeeds) {
    Check(seed);
    ASSERT_GT(compiled_, 0) << seed;
    for (int i = 0; i < 3000; ++i) Check(Mutate(rng, seed));
  }
  EXPECT_GT(compiled_, 1000);
}

TEST_F(FuzzTest, GrammaticalAndMutatedGrammaticalExpressions) {
  std::mt19937 rng(1234);
  for (int i = 0; i < 10000; ++i) {
    const std::string text = GrammarText(rng, 0);
    Check(text);
    Check(Mutate(rng, text));
  }
  EXPECT_GT(compiled_, 8000);
}

TEST_F(FuzzTest, RandomBytes) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> length(0, 64);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 10000; ++i) {
    std::string t(static_cast<size_t>(length(rng)), ' ');
    for (char& c : t) c = static_cast<char>(byte(rng));
    Check(t);
  }
}

}  // namespace
}  // namespace expr_test
