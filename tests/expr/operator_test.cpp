// Evaluating operators: type rules, text comparison with trailing blanks
// and wildcards, concatenation, and the operator messages.
#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "test_link.h"

namespace expr_test {
namespace {

using OperatorTest = ExprTest;

TEST_F(OperatorTest, ConcatenationKeepsTrailingBlanks) {
  EXPECT_EQ(Text("NAME + 'X'"), "SMITH     X");
  EXPECT_EQ(Text("CITY + NAME"), "SMITH     ");
  // "-" moves the left side's trailing blanks to the end.
  const std::string minus = Text("'AB  ' - 'CD'");
  EXPECT_EQ(minus, "ABCD  ");
  EXPECT_EQ(Text("NAME - 'X' - 'Y'"), "SMITHXY" + std::string(5, ' '));
  EXPECT_EQ(Text("'' - ''"), "");
}

TEST_F(OperatorTest, TextComparisonIgnoresTrailingBlanksOnly) {
  EXPECT_TRUE(Logical("'SMITH' = 'SMITH   '"));
  EXPECT_TRUE(Logical("NAME = 'SMITH'"));
  EXPECT_FALSE(Logical("'SMITH' = 'SMITHSON'"));
  EXPECT_TRUE(Logical("'SMITH' < 'SMITHSON'"));
  EXPECT_FALSE(Logical("' SMITH' = 'SMITH'"));
  EXPECT_TRUE(Logical("'ABC' # 'ABD'"));
  EXPECT_TRUE(Logical("'ABD' >= 'ABC'"));
  EXPECT_TRUE(Logical("'ABC' <= 'ABC  '"));
  EXPECT_FALSE(Logical("'abc' = 'ABC'"));
}

TEST_F(OperatorTest, EmptyTextAgainstBlanks) {
  // A field of blanks is not empty: it is greater than the empty literal.
  link.city->SetText("   ");
  EXPECT_FALSE(Logical("CITY = ''"));
  EXPECT_TRUE(Logical("CITY # ''"));
  EXPECT_TRUE(Logical("CITY > ''"));
  link.city->SetText("");
  EXPECT_TRUE(Logical("CITY = ''"));
  EXPECT_TRUE(Logical("'' < 'A'"));
  EXPECT_TRUE(Logical("'' < ' '"));
  EXPECT_TRUE(Logical("'' = ''"));
}

TEST_F(OperatorTest, WildcardsInTheRightText) {
  EXPECT_TRUE(Logical("'SMITHSON' = 'SMITH*'"));
  EXPECT_TRUE(Logical("'SMITHSON' = '*SON'"));
  EXPECT_FALSE(Logical("'SONSON' = '*SON'")) << "the first occurrence does not end the text";
  EXPECT_TRUE(Logical("'JOHNSONS' = '*SON*'"));
  EXPECT_TRUE(Logical("'ANYTHING' = '*'"));
  EXPECT_TRUE(Logical("'ANYTHING' = '**'"));
  EXPECT_FALSE(Logical("'SMITH*' = 'SMITHSON'")) << "only the right side holds wildcards";
  EXPECT_FALSE(Logical("'MR SMITHSON' = 'SMITH*'"));
  EXPECT_TRUE(Logical("NAME = 'SM*'")) << "after the field's trailing blanks are dropped";
  EXPECT_TRUE(Logical("'SMITHSON' # 'JONES*'"));
  EXPECT_FALSE(Logical("'smithson' = 'SMITH*'"));
}

TEST_F(OperatorTest, CodePageOrderAndCase) {
  const std::string a = plat::Utf8ToOem("'Ёлка' > 'Ель'");
  EXPECT_TRUE(Logical(a));
  EXPECT_TRUE(Logical(plat::Utf8ToOem("'Яков' > 'Борис'")));
  EXPECT_TRUE(Logical(plat::Utf8ToOem("'Борис' > 'Zeta'")));
  EXPECT_EQ(Text(plat::Utf8ToOem("UPPER('москва ё')")), plat::Utf8ToOem("МОСКВА Ё"));
}

TEST_F(OperatorTest, InString) {
  EXPECT_TRUE(Logical("'AB' $ 'XABY'"));
  EXPECT_FALSE(Logical("'ab' $ 'XABY'"));
  EXPECT_FALSE(Logical("'B ' $ 'AB'")) << "no trimming";
  EXPECT_FALSE(Logical("'' $ 'AB'"));
  EXPECT_TRUE(Logical("'SMITH ' $ NAME"));
  EXPECT_EQ(Error("1 $ 2"), "A assigned value is required but invalid");
}

TEST_F(OperatorTest, NumbersAndDates) {
  EXPECT_TRUE(Logical("N = 7.0"));
  EXPECT_TRUE(Logical("N > 6.99"));
  EXPECT_TRUE(Logical("D > {20010101}"));
  EXPECT_TRUE(Logical("D = 2451949")) << "dates and numbers compare as numbers";
  // Arithmetic takes the right operand's type.
  Result r = Eval("D + 1");
  EXPECT_EQ(r.type, tessera::kExpNumber);
  EXPECT_EQ(r.Real(), 2451950);
  r = Eval("1 + D");
  EXPECT_EQ(r.type, tessera::kExpDate);
  r = Eval("D - {20010201}");
  EXPECT_EQ(r.type, tessera::kExpDate);
  EXPECT_EQ(r.Real(), 7);
  EXPECT_EQ(Number("10 ^ 3"), 1000);
  EXPECT_EQ(Number("0.5 ^ 2"), 0.25);
  // A huge exponent finishes at once.
  EXPECT_GT(Number("1.0000001 ^ 2000000000"), 1e86);
  EXPECT_EQ(Error("1 / M"), "Floating point division by zero");
  EXPECT_EQ(Error("10 ^ 400"), "Floating point overflow");
  for (const char* text : {"1 .AND. 1", "1 .OR. 1", ".NOT. 1"})
    EXPECT_EQ(Error(text), "A assigned value is required but invalid") << text;
}

TEST_F(OperatorTest, Logicals) {
  EXPECT_FALSE(Logical(".T. .AND. .F."));
  EXPECT_TRUE(Logical(".T. .OR. .F."));
  EXPECT_TRUE(Logical("FLAG = .T."));
  EXPECT_TRUE(Logical("FLAG # .F."));
  EXPECT_TRUE(Logical("FLAG <> .F."));
  for (const char* text : {".T. + .T.", "FLAG - FLAG", "FLAG * FLAG", "FLAG / FLAG", "FLAG ^ FLAG"})
    EXPECT_EQ(Error(text), "A number value is required but invalid") << text;
  for (const char* text : {"FLAG > .F.", "FLAG < .F.", "FLAG >= .F.", "FLAG <= .F.", "FLAG $ FLAG"})
    EXPECT_EQ(Error(text), "A assigned value is required but invalid") << text;
}

TEST_F(OperatorTest, TypeMismatchAndTextOnlyOperators) {
  EXPECT_EQ(Error(".T. + 1"), "The two sides of an operation do not match");
  EXPECT_EQ(Error("NAME + 1"), "The two sides of an operation do not match");
  EXPECT_EQ(Error("D = 'x'"), "The two sides of an operation do not match");
  for (const char* text : {"'a' * 'b'", "'a' / 'b'", "'a' ^ 'b'", "'a' .AND. 'b'", ".NOT. 'a'"})
    EXPECT_EQ(Error(text), "A assigned value is required but invalid") << text;
}

TEST_F(OperatorTest, ExactlyEqual) {
  // Texts: every byte and the length count, wildcards are plain bytes.
  EXPECT_TRUE(Logical("'AUDIO' == 'AUDIO'"));
  EXPECT_FALSE(Logical("'AUDIO' == 'AUDIO '"));
  EXPECT_FALSE(Logical("'AUDIO ' == 'AUDIO'"));
  EXPECT_FALSE(Logical("'AUDIOX' == 'AUDIO*'"));
  EXPECT_TRUE(Logical("'AU*' == 'AU*'"));
  EXPECT_FALSE(Logical("NAME == 'SMITH'"));
  EXPECT_TRUE(Logical("TRIM(NAME) == 'SMITH'"));
  EXPECT_TRUE(Logical("'' == ''"));
  EXPECT_FALSE(Logical("'' == ' '"));
  // Numbers, dates and logicals: equality.
  EXPECT_TRUE(Logical("1 == 1"));
  EXPECT_FALSE(Logical("N == 7.5"));
  EXPECT_TRUE(Logical("D == D"));
  EXPECT_TRUE(Logical("FLAG == .T."));
  EXPECT_FALSE(Logical("FLAG == .F."));
  EXPECT_EQ(Error("'a' == 1"), "The two sides of an operation do not match");
}

TEST_F(OperatorTest, RawFieldsCompareAsStoredBytesAndNoValueCannotBeCompared) {
  link.raw->SetText(std::string("\x01\x00\xff", 3));
  EXPECT_TRUE(Logical("RAW = RAW"));
  EXPECT_FALSE(Logical("RAW # RAW"));
  EXPECT_TRUE(Logical("RAW == RAW"));
  EXPECT_TRUE(Logical("RAW >= RAW"));
  EXPECT_FALSE(Logical("RAW > RAW"));
  EXPECT_FALSE(Logical("RAW < RAW"));
  for (const char* text : {"NOTHING = NOTHING", "NOTHING # NOTHING", "NOTHING < NOTHING", "NOTHING == NOTHING"})
    EXPECT_EQ(Error(text), "Operands without a value cannot be compared") << text;
  EXPECT_EQ(Error("RAW = 'x'"), "The two sides of an operation do not match");
}

TEST_F(OperatorTest, EachOperandIsReadOncePerEvaluation) {
  // Each side reads its variable once per evaluation.
  link.name->reads = 0;
  link.n->reads = 0;
  EXPECT_TRUE(Logical("(NAME = 'SMITH') .AND. (N = 7)"));
  EXPECT_EQ(link.name->reads, 1);
  EXPECT_EQ(link.n->reads, 1);
}

}  // namespace
}  // namespace expr_test
