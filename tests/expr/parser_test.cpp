// Compiling: the tokenizer's literals and names, operator precedence, the
// parser's messages, the canonical text and the bounds on hostile input.
#include <gtest/gtest.h>

#include <string>

#include "engine/variant.h"
#include "test_link.h"

namespace expr_test {
namespace {

using tessera::ETesseraExpression;
using tessera::TktExpHandler;

using ParserTest = ExprTest;

TEST_F(ParserTest, EmptyTextCompilesToNoTree) {
  for (const char* text : {"", "   ", " \t\r\n "}) {
    TktExpHandler h(&link, false, text);
    EXPECT_FALSE(h.HasTree()) << text;
    TktExpValue v;
    v.SetText("kept");
    h.Evaluate(v);
    EXPECT_EQ(h.ResultType(), tessera::kExpNone);
    EXPECT_EQ(v.Text(), "kept");
    tessera::TktVariant target;
    target.SetNumber(1);
    h.EvaluateTo(target);
    EXPECT_EQ(target.kind(), tessera::VariantKind::kCharacter);
    EXPECT_TRUE(target.empty());
    EXPECT_EQ(h.ExprText(), "");
    EXPECT_EQ(h.ListVars(16), "");
  }
}

TEST_F(ParserTest, ArithmeticPrecedenceAndLeftAssociation) {
  EXPECT_EQ(Number("3 - 1 - 1"), 1);
  EXPECT_EQ(Number("2^3^2"), 64);  // (2^3)^2
  EXPECT_EQ(Number("2**3"), 8);
  EXPECT_EQ(Number("5^0"), 5);     // n <= 1 gives the left value
  EXPECT_EQ(Number("2^-1"), 2);
  EXPECT_EQ(Number("2+3*4"), 14);
  EXPECT_EQ(Number("(2+3)*4"), 20);
  EXPECT_EQ(Number("2*3^2"), 18);
  EXPECT_EQ(Number("24/4/2"), 3);
  EXPECT_EQ(Number("10/4"), 2.5);
  EXPECT_EQ(Number("-5 + 2"), -3);
  EXPECT_EQ(Number("N - -2"), 9);
  EXPECT_EQ(Number("N*N-N"), 42);
}

TEST_F(ParserTest, AndOrBindTighterThanComparisonsAndNotLoosest) {
  // N = 7 .AND. FLAG is N = (7 .AND. FLAG): a number meets a logical.
  EXPECT_EQ(Error("N = 7 .AND. FLAG"), "The two sides of an operation do not match");
  EXPECT_TRUE(Logical("(N = 7) .AND. FLAG"));
  EXPECT_TRUE(Logical("(N = 8) .OR. (N = 7)"));
  EXPECT_FALSE(Logical("(N = 7) .AND. .F. .OR. .F."));
  // .NOT. takes the whole comparison on its right.
  EXPECT_TRUE(Logical(".NOT. N = 8"));
  EXPECT_FALSE(Logical("NOT FLAG"));
  EXPECT_FALSE(Logical("!FLAG"));
  EXPECT_TRUE(Logical("not .F."));
  // A tighter operator next to .NOT. takes the unbound .NOT. itself.
  EXPECT_EQ(Error("FLAG .AND. .NOT. FLAG"), "Expression cannot be evaluated");
  EXPECT_FALSE(Logical("FLAG .AND. (.NOT. FLAG)"));
  EXPECT_EQ(Error(".NOT. .NOT. FLAG"), "Expression cannot be evaluated");
}

// Expressions other programs wrote: the usual precedence is taken only when
// the engine's own does not give a working expression.
TEST_F(ParserTest, EitherPrecedence) {
  auto compile = [this](std::string_view text, bool want_logical, TktExpValue* v = nullptr) {
    TktExpHandler h(&link);
    const bool usual = h.CompileEitherPrecedence(text, want_logical);
    if (v != nullptr) h.Evaluate(*v);
    return usual;
  };
  TktExpValue v;
  EXPECT_TRUE(compile("N = 7 .AND. FLAG", true, &v));
  EXPECT_TRUE(v.AsLogical());
  EXPECT_TRUE(compile("FLAG .AND. N > 0", true, &v));
  EXPECT_TRUE(v.AsLogical());
  EXPECT_TRUE(compile("N = 8 .OR. N = 7 .AND. .NOT. FLAG", true, &v));
  EXPECT_FALSE(v.AsLogical()) << ".AND. before .OR.";
  EXPECT_TRUE(compile("FLAG .AND. .NOT. FLAG", true, &v)) << "does not compile in the engine's own";
  EXPECT_FALSE(v.AsLogical());
  EXPECT_TRUE(compile("NAME = 'SMITH' .OR. NAME = 'JONES'", true, &v));
  EXPECT_TRUE(v.AsLogical());
  // Valid in the engine's own precedence: kept, whatever the other would
  // give.
  EXPECT_FALSE(compile("(N = 7) .AND. FLAG", true));
  EXPECT_FALSE(compile("FLAG = .T. .AND. .F.", true, &v));
  EXPECT_FALSE(v.AsLogical()) << "FLAG = (.T. .AND. .F.)";
  EXPECT_FALSE(compile("NAME + 'X'", false));
  // Neither works: the engine's own tree stays, or its compile error is
  // raised.
  EXPECT_FALSE(compile("NAME + 1", false));
  TktExpHandler h(&link);
  EXPECT_THROW(h.CompileEitherPrecedence("UNKNOWN .AND. FLAG", true), ETesseraExpression);
  EXPECT_FALSE(h.HasTree());
  // A FOR condition must be logical: a number is no working condition.
  EXPECT_FALSE(compile("N", true));
}

TEST_F(ParserTest, FieldAndAliasArrows) {
  EXPECT_EQ(Text("FIELD->NAME"), "SMITH     ");
  EXPECT_EQ(Text("_FIELD->Name + field -> city"), "SMITH     ");
  EXPECT_EQ(Text("UPPER(FIELD->NAME)"), "SMITH     ");
  EXPECT_EQ(Error("OTHER->NAME"), "The alias OTHER is not the table's own");
  EXPECT_EQ(Error("FIELD->"), "Syntax Error in expression \"FIELD->\"");
  EXPECT_EQ(Error("FIELD->1"), "Syntax Error in expression \"FIELD->1\"");
  EXPECT_EQ(Error("FIELD->UNKNOWN"), "There is no function for UNKNOWN");
  EXPECT_EQ(Error("NAME->CITY"), "The alias NAME is not the table's own");
}

TEST_F(ParserTest, OperatorWordsAndSymbols) {
  for (const char* text : {"N EQ 7", "N ne 8", "N GE 7", "N LE 7", "N LT 8", "N GT 6", "N <> 8", "N != 8",
                           "N # 8", "N => 7", "N =< 7", "N >= 7", "N <= 7", "N > 6", "N < 8", "N = 7",
                           "FLAG AND FLAG", "FLAG .and. FLAG", ".F. OR FLAG", ".F. .Or. FLAG"})
    EXPECT_TRUE(Logical(text)) << text;
  // A word operator needs both points or none.
  EXPECT_EQ(Error("FLAG AND. FLAG"), "Syntax Error in expression \"FLAG AND. FLAG\"");
  EXPECT_EQ(Error("FLAG .AND FLAG"), "Syntax Error in expression \"FLAG .AND FLAG\"");
  EXPECT_EQ(Error("N >=< 7"), "Syntax Error in expression \"N >=< 7\"");
  EXPECT_EQ(Error("N ! 7"), "Syntax Error in expression \"N ! 7\"");
  // NOT written with one point only is no operator but an unknown name.
  EXPECT_EQ(Error("NOT. FLAG"), "There is no function for NOT");
}

TEST_F(ParserTest, Literals) {
  EXPECT_EQ(Text("'single'"), "single");
  EXPECT_EQ(Text("\"dou'ble\""), "dou'ble");
  EXPECT_EQ(Text("[br\"ack'et]"), "br\"ack'et");
  Result d = Eval("{20010208}");
  EXPECT_EQ(d.type, tessera::kExpDate);
  EXPECT_EQ(d.Real(), 2451949);
  EXPECT_EQ(Eval("{08.02.2001}").Real(), 2451949);
  EXPECT_EQ(Eval("{}").Real(), 0);
  EXPECT_TRUE(Logical(".t."));
  EXPECT_FALSE(Logical(".F."));
  EXPECT_EQ(Number("0.5"), 0.5);
  EXPECT_EQ(Number("+3"), 3);
  // A number literal that is no number reads as 0.
  EXPECT_EQ(Number("1.2.3"), 0);
  EXPECT_EQ(Number("-"), 0);
}

TEST_F(ParserTest, LiteralMessages) {
  EXPECT_EQ(Error(".5"), "Missing closing period");
  EXPECT_EQ(Error("N + .T"), "Missing closing period");
  EXPECT_EQ(Error(".X."), "Expecting \".T.\" or \".F.\"");
  EXPECT_EQ(Error(".TRUE."), "Expecting \".T.\" or \".F.\"");
  EXPECT_EQ(Error("'abc"), "Missing closing \"'\" on literal");
  EXPECT_EQ(Error("\"abc'"), "Missing closing \"\"\" on literal");
  EXPECT_EQ(Error("[abc"), "Missing closing \"[\" on literal");
  EXPECT_EQ(Error("{2001"), "Missing closing \"{\" on literal");
  EXPECT_EQ(Error("(1 + 2"), "Missing closing parentheses");
  EXPECT_EQ(Error("((1)"), "Missing closing parentheses");
  EXPECT_EQ(Error("UPPER('a'"), "Missing closing parentheses");
  EXPECT_EQ(Error("UPPER('a)')"), "");
  // A date literal that is no date fails the compile with the conversion's
  // message, still as an expression error.
  EXPECT_FALSE(Error("{31.02.2001}").empty());
  EXPECT_FALSE(Error("{abc}").empty());
}

TEST_F(ParserTest, NamesBindThroughTheResolver) {
  EXPECT_EQ(Text("NAME"), "SMITH     ");
  EXPECT_EQ(Text("name"), "SMITH     ");
  EXPECT_EQ(Text("Pyx.Name"), "SMITH     ");  // an alias and a point
  EXPECT_EQ(Text("_X.NAME"), "SMITH     ");
  EXPECT_EQ(Error("UNKNOWN"), "There is no function for UNKNOWN");
  EXPECT_EQ(Error("Unk.Own + 1"), "There is no function for Unk");
  EXPECT_EQ(Error("FOO(1)"), "There is no function for FOO");
  // A blank between name and "(" makes no call.
  EXPECT_EQ(Error("UPPER ('x')"), "There is no function for UPPER");
  // A sign belongs only to numbers: "-" then a name where an operator is due.
  EXPECT_EQ(Error("-N"), "Syntax Error in expression \"-N\"");
}

TEST_F(ParserTest, WithoutAResolver) {
  TktExpHandler h;
  EXPECT_THROW(h.Compile("NAME"), ETesseraExpression);
  try {
    h.Compile("name + 1");
    FAIL();
  } catch (const ETesseraExpression& e) {
    EXPECT_STREQ(e.what(), "Field/variable NAME is unknown");
  }
  try {
    h.Compile("FOO(1)");
    FAIL();
  } catch (const ETesseraExpression& e) {
    EXPECT_STREQ(e.what(), "There is no function for FOO");
  }
  h.Compile("UPPER('ab') + STR(1)");
  TktExpValue v;
  h.Evaluate(v);
  EXPECT_EQ(v.Text(), "AB         1");  // STR's width without a resolver: 10
}

TEST_F(ParserTest, CallArguments) {
  // An empty argument is skipped: the call has one argument fewer.
  EXPECT_EQ(Text("SUBSTR(,'ABCDEF',2)"), "BCDEF");
  EXPECT_EQ(Text("SUBSTR('ABCDEF' , , 2)"), "BCDEF");
  // Commas and parentheses inside quotes belong to the literal.
  EXPECT_EQ(Number("AT(',', 'a,b')"), 2);
  EXPECT_EQ(Number("AT(')', 'a)b')"), 2);
  EXPECT_EQ(Number("AT([(], 'x(')"), 2);
  EXPECT_EQ(Number("LEN(UPPER(SUBSTR('abc', (1+1), 1)))"), 1);
  EXPECT_EQ(Error("UPPER(())"), "Text needed for Argument 1 of UPPER");
}

TEST_F(ParserTest, SyntaxErrorsQuoteTheWholeText) {
  EXPECT_EQ(Error("1 2"), "Syntax Error in expression \"1 2\"");
  EXPECT_EQ(Error("  N +  "), "Syntax Error in expression \"  N +  \"");
  EXPECT_EQ(Error("*N"), "Syntax Error in expression \"*N\"");
  EXPECT_EQ(Error("N )"), "Syntax Error in expression \"N )\"");
  EXPECT_EQ(Error("N \xC0 7"), "Syntax Error in expression \"N \xC0 7\"");
  EXPECT_EQ(Error("\xC0"), "Syntax Error in expression \"\xC0\"");
  // Control characters count as blanks between tokens.
  EXPECT_EQ(Number("N\x01+\x1F" "1"), 8);
  EXPECT_EQ(Error("(1 2) + 1"), "Syntax Error in expression \"(1 2) + 1\"");
}

TEST_F(ParserTest, MissingOperandSurfacesWhenEvaluated) {
  // A trailing "!" leaves a .NOT. without operand; it compiles, and
  // evaluating it fails.
  TktExpHandler h(&link, false, "N = !");
  TktExpValue v;
  try {
    h.Evaluate(v);
    FAIL();
  } catch (const ETesseraExpression& e) {
    EXPECT_STREQ(e.what(), "Target value missing for .NOT. operation");
  }
  EXPECT_EQ(Error("!"), "Target value missing for .NOT. operation");
}

TEST_F(ParserTest, CanonicalText) {
  auto canon = [&](const char* text) { return TktExpHandler(&link, false, text).ExprText(); };
  EXPECT_EQ(canon("name + city"), "NAME+CITY");
  EXPECT_EQ(canon(" n  >=  7 .and. flag "), "N>=7.AND.FLAG");
  EXPECT_EQ(canon("(N)"), "(N)");
  EXPECT_EQ(canon("()"), "()");
  EXPECT_EQ(canon("'a' $ NAME"), "\"a\"in stringNAME");
  EXPECT_EQ(canon("N == 1"), "Nexactly equal1");
  EXPECT_EQ(canon("not flag"), ".NOT.FLAG");
  EXPECT_EQ(canon("N # 1 .OR. N <> 2"), "N#1.OR.N#2");
  EXPECT_EQ(canon("{20010208}"), "{08.02.2001}");
  EXPECT_EQ(canon("{}"), "{          }");
  EXPECT_EQ(canon("1.50 + 2"), "1.50+2");
  EXPECT_EQ(canon("[x]"), "\"x\"");
  EXPECT_EQ(canon(".t."), ".T.");
  EXPECT_EQ(canon("substr(pyx.name,,1)"), "SUBSTR(NAME,1)");
  EXPECT_EQ(canon("2^3 ** 4"), "2^3^4");
}

TEST_F(ParserTest, ListVarsAndOperandCount) {
  TktExpHandler h(&link, false, "NAME + CITY + UPPER(NAME) + STR(N)");
  EXPECT_EQ(h.ListVars(16), "NAME;CITY;NAME;N;");
  EXPECT_EQ(h.ListVars(17), "");
  EXPECT_EQ(h.OperandCount(), 6);  // 4 variables, 2 calls
  h.Compile("(N) + ('x' = 'y')");
  EXPECT_EQ(h.OperandCount(), 3);  // sub-expressions and operators do not count
  EXPECT_EQ(h.ListVars(16), "N;");
}

TEST_F(ParserTest, FailedCompileLeavesNoTree) {
  TktExpHandler h(&link, false, "N + 1");
  ASSERT_TRUE(h.HasTree());
  EXPECT_THROW(h.Compile("N +"), ETesseraExpression);
  EXPECT_FALSE(h.HasTree());
  EXPECT_EQ(h.OperandCount(), 0);
  TktExpValue v;
  h.Evaluate(v);
  EXPECT_EQ(h.ResultType(), tessera::kExpNone);
  EXPECT_THROW(TktExpHandler(&link, false, "N +"), ETesseraExpression);
}

TEST_F(ParserTest, CompiledOnceEvaluatedPerRecord) {
  TktExpHandler h(&link, false, "NAME + STR(N, 3)");
  TktExpValue v;
  const int reads_before = link.name->reads;
  for (int i = 0; i < 5; ++i) {
    link.n->SetReal(i);
    h.Evaluate(v);
    EXPECT_EQ(v.Text(), "SMITH       " + std::to_string(i));
  }
  EXPECT_EQ(link.name->reads - reads_before, 5);
}

TEST_F(ParserTest, EvaluateToStoresByResultType) {
  tessera::TktVariant t;
  TktExpHandler h(&link, false, "NAME");
  h.EvaluateTo(t);
  EXPECT_EQ(t.kind(), tessera::VariantKind::kCharacter);
  EXPECT_EQ(t.bytes(), "SMITH     ");
  h.Compile("N / 2");
  h.EvaluateTo(t);
  EXPECT_EQ(t.kind(), tessera::VariantKind::kNumeric);
  EXPECT_EQ(t.AsNumber(), 3.5);
  h.Compile("0.75 + D");
  h.EvaluateTo(t);
  EXPECT_EQ(t.kind(), tessera::VariantKind::kDate);
  EXPECT_EQ(t.AsDayNumber(), 2451949);
  h.Compile("CTOD('')");
  h.EvaluateTo(t);
  EXPECT_EQ(t.kind(), tessera::VariantKind::kDate);
  EXPECT_EQ(t.AsDayNumber(), 0);
  h.Compile("FLAG");
  h.EvaluateTo(t);
  EXPECT_EQ(t.kind(), tessera::VariantKind::kLogical);
  EXPECT_TRUE(t.AsBoolean());
  // No value and uninterpreted types leave the target alone, type 0.
  for (const char* text : {"NOTHING", "RAW", "()"}) {
    t.SetText("kept");
    h.Compile(text);
    h.EvaluateTo(t);
    EXPECT_EQ(h.ResultType(), tessera::kExpNone) << text;
    EXPECT_EQ(t.bytes(), "kept") << text;
  }
}

TEST_F(ParserTest, NoValueAndRawFieldTypes) {
  EXPECT_EQ(Eval("NOTHING").type, tessera::kExpNoValue);
  EXPECT_EQ(Eval("()").type, tessera::kExpNoValue);
  EXPECT_EQ(Eval("NOTHING + NOTHING").type, tessera::kExpNoValue);
  EXPECT_EQ(Error("NOTHING + 'a'"), "The two sides of an operation do not match");
  Result raw = Eval("RAW");
  EXPECT_EQ(raw.type, tessera::kExpRawField);
  EXPECT_EQ(raw.Text(), "0x1F");
  EXPECT_EQ(Eval("RAW + RAW").type, tessera::kExpRawField);
}

TEST_F(ParserTest, OptionsTakeEffectAtTheNextCompile) {
  TktExpHandler h(&link, false, "'smithson' = 'SMITH*'");
  TktExpValue v;
  h.Evaluate(v);
  EXPECT_FALSE(v.AsLogical());
  h.SetCaseInsensitive(true);
  h.Evaluate(v);
  EXPECT_FALSE(v.AsLogical()) << "not before the next compile";
  h.Compile("'smithson' = 'SMITH*'");
  h.Evaluate(v);
  EXPECT_TRUE(v.AsLogical());
  h.SetPartialMatch(false);
  h.Compile("'SMITHSON' = 'SMITH*'");
  h.Evaluate(v);
  EXPECT_FALSE(v.AsLogical());

  TktExpHandler sql(&link, true, "'SMITHSON' = 'SMITH%'");
  EXPECT_EQ(sql.WildMany(), '%');
  EXPECT_EQ(sql.WildOne(), '_');
  sql.Evaluate(v);
  EXPECT_TRUE(v.AsLogical());
  sql.Compile("'SMITHSON' = 'SMITH*'");
  sql.Evaluate(v);
  EXPECT_FALSE(v.AsLogical());
}

TEST_F(ParserTest, HostileSizesFailCleanly) {
  const std::string cannot = "Expression cannot be evaluated";
  EXPECT_EQ(Error(std::string(70000, ' ') + "1"), cannot);
  EXPECT_EQ(Error("'" + std::string(70000, 'x') + "'"), cannot);
  // Nesting: 200 parentheses compile, 300 do not, 30 000 fail as fast.
  auto nested = [](int depth, const char* open, const char* inner) {
    std::string t;
    for (int i = 0; i < depth; ++i) t += open;
    t += inner;
    t += std::string(static_cast<size_t>(depth), ')');
    return t;
  };
  EXPECT_EQ(Number(nested(200, "(", "7")), 7);
  EXPECT_EQ(Error(nested(300, "(", "7")), cannot);
  EXPECT_EQ(Error(nested(30000, "(", "7")), cannot);
  EXPECT_EQ(Text(nested(200, "UPPER(", "'a'")), "A");
  EXPECT_EQ(Error(nested(300, "UPPER(", "'a'")), cannot);
  EXPECT_EQ(Error(nested(30000, "(", "")), cannot);
  EXPECT_EQ(Error(std::string(30000, '(')), "Missing closing parentheses");
  // A chain of operators is a tree as high as it is long.
  std::string chain = "1";
  for (int i = 0; i < 1000; ++i) chain += "+1";
  EXPECT_EQ(Number(chain), 1001);
  for (int i = 0; i < 2000; ++i) chain += "+1";
  EXPECT_EQ(Error(chain), cannot);
  std::string nots;
  for (int i = 0; i < 20000; ++i) nots += "!";
  EXPECT_EQ(Error(nots + "FLAG"), cannot);
  // Many arguments side by side are fine.
  std::string args = "IIF(.T., 1";
  for (int i = 0; i < 5000; ++i) args += ", 1";
  EXPECT_EQ(Number(args + ")"), 1);
  // A long dotted name is tried once per part, not once per character.
  std::string dotted = "A";
  for (int i = 0; i < 20000; ++i) dotted += ".A";
  EXPECT_EQ(Error(dotted), "There is no function for A");
}

}  // namespace
}  // namespace expr_test
