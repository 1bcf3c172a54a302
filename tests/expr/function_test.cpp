// The built-in functions: results, argument checks, the blank-date marker
// and the bounds on the texts they build.
#include <gtest/gtest.h>

#include "engine/dbf_date.h"
#include "expr/user_link.h"
#include "platform/codepage.h"
#include "test_link.h"

namespace expr_test {
namespace {

using FunctionTest = ExprTest;

TEST_F(FunctionTest, RegistryHoldsAllBuiltinsInLookupOrder) {
  const char* names[] = {"ALLTRIM", "ASC",   "AT",     "ATC",     "BETWEEN", "CEILING", "CHR",     "CTOD",
                         "DATE",    "DESCEND", "DOW",  "DTOC",    "DTOS",    "EMPTY",   "FLOOR",   "IIF",
                         "INT",     "LEFT",  "LEN",    "LOWER",   "LTRIM",   "MOD",     "PADC",    "PADL",
                         "PADR",    "PROPER", "RIGHT", "RTRIM",   "SOUNDEX", "SPACE",   "STR",     "STRTRAN",
                         "STRZERO", "SUBSTR", "TRIM",  "UPPER",   "VAL"};
  const tessera::TktFunctionReg& reg = tessera::FunctionRegistry();
  ASSERT_EQ(reg.size(), 37u);
  for (size_t i = 0; i < 37; ++i) EXPECT_EQ(reg.at(i)->Name(), names[i]);
}

TEST_F(FunctionTest, BuiltinsWinOverTheResolver) {
  struct Shadow : tessera::TktUserDefFunction {
    std::string Name() const override { return "UPPER"; }
    bool Execute(tessera::TktExpFunction&, TktExpValue& v, uint8_t& t) override {
      v.SetText("shadow");
      t = tessera::kExpText;
      return true;
    }
  };
  link.AddFunction(std::make_unique<Shadow>());
  EXPECT_EQ(Text("UPPER('a')"), "A");
}

TEST_F(FunctionTest, ArgumentChecks) {
  EXPECT_EQ(Error("UPPER(1)"), "Text needed for Argument 1 of UPPER");
  EXPECT_EQ(Error("UPPER(D)"), "Text needed for Argument 1 of UPPER");
  // Extra arguments are compiled but never evaluated.
  EXPECT_EQ(Text("SUBSTR('abc', 1, 2, N + NAME)"), "ab");
  EXPECT_EQ(Error("SUBSTR('abc', 1, 2, UNKNOWN)"), "There is no function for UNKNOWN");
  EXPECT_EQ(Error("IIF(1, 2, 3)"), "Boolean needed for Argument 1 of IIF");
  EXPECT_EQ(Error("BETWEEN('a', 1, 'b')"), "Text needed for Argument 2 of BETWEEN");
  // A number argument accepts a text that holds a number...
  EXPECT_EQ(Text("SUBSTR('abc', '2')"), "bc");
  // ...and refuses one that does not.
  EXPECT_EQ(Error("SUBSTR('abc', 'x')"), "A number value is required but invalid");
  // Required arguments that are missing or produce nothing.
  EXPECT_EQ(Error("UPPER()"), "Text needed for Argument 1 of UPPER");
  EXPECT_EQ(Error("LEFT('abc')"), "Number needed for Argument 2 of LEFT");
  EXPECT_EQ(Error("SUBSTR(NOTHING, 1)"), "Text needed for Argument 1 of SUBSTR");
  EXPECT_EQ(Error("DTOS()"), "Date needed for Argument 1 of DTOS");
}

TEST_F(FunctionTest, Trimming) {
  EXPECT_EQ(Text("ALLTRIM(' \t ab c \r')"), "ab c");
  EXPECT_EQ(Text("LTRIM('  ab  ')"), "ab  ");
  EXPECT_EQ(Text("RTRIM('  ab  ')"), "  ab");
  EXPECT_EQ(Text("TRIM(NAME)"), "SMITH");
  EXPECT_EQ(Text("TRIM('   ')"), "");
}

TEST_F(FunctionTest, AscChrLen) {
  EXPECT_EQ(Number("ASC('A')"), 65);
  EXPECT_EQ(Number("ASC('')"), 0);
  EXPECT_EQ(Number(plat::Utf8ToOem("ASC('Я')")), 0x9F);  // unsigned in CP866
  EXPECT_EQ(Text("CHR(65)"), "A");
  EXPECT_EQ(Text("CHR(66.9)"), "B");
  EXPECT_EQ(Text("CHR(0)"), std::string(1, '\0'));
  EXPECT_EQ(Error("CHR(256)"), "A Byte value is required but invalid");
  EXPECT_EQ(Error("CHR(-1)"), "A Byte value is required but invalid");
  EXPECT_EQ(Number("LEN(NAME)"), 10);
  EXPECT_EQ(Number("LEN('')"), 0);
}

TEST_F(FunctionTest, AtAndAtc) {
  EXPECT_EQ(Number("AT('A', 'BANANA')"), 2);
  EXPECT_EQ(Number("AT('A', 'BANANA', 2)"), 4);
  EXPECT_EQ(Number("AT('A', 'BANANA', 4)"), 6) << "fewer occurrences: the last one";
  EXPECT_EQ(Number("AT('A', 'BANANA', 0)"), 0);
  EXPECT_EQ(Number("AT('ANA', 'BANANA', 2)"), 4) << "occurrences overlap";
  EXPECT_EQ(Number("AT('X', 'BANANA')"), 0);
  EXPECT_EQ(Number("AT('', 'BANANA')"), 0);
  EXPECT_EQ(Number("AT('a', 'BANANA')"), 0);
  EXPECT_EQ(Number("ATC('a', 'BANANA')"), 2);
  EXPECT_EQ(Number("ATC('nA', 'banana', 2)"), 5);
  EXPECT_EQ(Number("AT('A', 'BANANA', 'x')"), 2) << "a count that is no number means 1";
}

TEST_F(FunctionTest, Between) {
  EXPECT_TRUE(Logical("BETWEEN(5, 1, 10)"));
  EXPECT_TRUE(Logical("BETWEEN(1, 1, 1)"));
  EXPECT_FALSE(Logical("BETWEEN(11, 1, 10)"));
  EXPECT_TRUE(Logical("BETWEEN(D, {20010101}, {20011231})"));
  EXPECT_TRUE(Logical("BETWEEN(D, 2451949, 2451949)"));
  EXPECT_TRUE(Logical("BETWEEN('B', 'A', 'C')"));
  EXPECT_TRUE(Logical("BETWEEN('AB', 'A', 'AB')"));
  EXPECT_FALSE(Logical("BETWEEN('ABC', 'A', 'AB')")) << "a text before every longer text beginning with it";
  EXPECT_FALSE(Logical("BETWEEN('AB ', 'AB', 'AB')")) << "bytes, blanks included";
  EXPECT_TRUE(Logical("BETWEEN(.T., .F., .T.)"));
}

TEST_F(FunctionTest, CeilingFloorIntMod) {
  EXPECT_EQ(Number("CEILING(1.2)"), 2);
  EXPECT_EQ(Number("CEILING(-1.2)"), -1);
  EXPECT_EQ(Number("CEILING(3)"), 3);
  EXPECT_EQ(Number("FLOOR(1.8)"), 1);
  EXPECT_EQ(Number("FLOOR(-1.2)"), -2);
  EXPECT_EQ(Number("FLOOR(-3)"), -3);
  EXPECT_EQ(Number("CEILING(3000000000.5)"), 3000000001.0);
  EXPECT_EQ(Number("INT(-7.9)"), -7);
  EXPECT_EQ(Number("INT(7.9)"), 7);
  EXPECT_EQ(Number("MOD(-7, 3)"), -1);
  EXPECT_EQ(Number("MOD(7, -3)"), 1);
  EXPECT_EQ(Number("MOD(7.9, 3.9)"), 1) << "both sides truncated first";
  EXPECT_EQ(Number("MOD(-9223372036854775808, -1)"), 0);
  EXPECT_EQ(Error("MOD(1, 0.5)"), "Division by zero");
}

TEST_F(FunctionTest, BlankDateMarker) {
  Result r = Eval("CTOD('')");
  EXPECT_EQ(r.type, tessera::kExpDate);
  EXPECT_EQ(r.Real(), tessera::kBlankDateMarker);
  EXPECT_EQ(Number("DOW(CTOD(''))"), 0);
  EXPECT_EQ(Text("DTOS(CTOD(''))"), "        ");
  EXPECT_EQ(Text("DTOC(CTOD(''))"), std::string(10, ' '));
  EXPECT_TRUE(Logical("EMPTY(CTOD(''))"));
  EXPECT_TRUE(Logical("EMPTY(DESCEND(CTOD('')))"));
  EXPECT_EQ(Eval("DESCEND(CTOD(''))").Real(), tessera::kBlankDateMarker);
  // Blanks are not the empty text: they are a date of 0.
  EXPECT_EQ(Eval("CTOD('  ')").Real(), 0);
}

TEST_F(FunctionTest, Dates) {
  EXPECT_EQ(Eval("CTOD('08.02.2001')").Real(), 2451949);
  EXPECT_EQ(Eval("CTOD('20010208')").Real(), 2451949);
  EXPECT_FALSE(Error("CTOD('not a date')").empty());
  EXPECT_EQ(Number("DOW(D)"), 5);  // Thursday
  EXPECT_EQ(Number("DOW(0)"), 0);
  EXPECT_EQ(Text("DTOC(D)"), "08.02.2001");
  EXPECT_EQ(Text("DTOC(D, 1)"), "20010208");
  EXPECT_EQ(Text("DTOC(D, 2)"), "08.02.2001");
  EXPECT_EQ(Text("DTOC(D + 0.9, 1.5)"), "20010208");
  EXPECT_EQ(Text("DTOS(D)"), "20010208");
  EXPECT_EQ(Text("DTOS(0)"), "        ");
  EXPECT_EQ(Text("DTOS(-5)"), "        ");
  Result today = Eval("DATE()");
  EXPECT_EQ(today.type, tessera::kExpDate);
  EXPECT_EQ(today.Real(), tessera::EngineDate().Today());
}

TEST_F(FunctionTest, Descend) {
  Result r = Eval("DESCEND({20000101})");
  EXPECT_EQ(r.type, tessera::kExpDate);
  EXPECT_EQ(r.Real(), 2780263);  // 5 231 808 - 2 451 545
  EXPECT_EQ(Number("DESCEND(12.5)"), -12.5);
  EXPECT_EQ(Number("DESCEND(0)"), 0);
  EXPECT_FALSE(Logical("DESCEND(.T.)"));
  const std::string d = Text("DESCEND('AB' + CHR(0) + CHR(255))");
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(static_cast<unsigned char>(d[0]), 256 - 'A');
  EXPECT_EQ(d[2], '\0');
  EXPECT_EQ(static_cast<unsigned char>(d[3]), 1);
  // Equal-length texts sort in reverse.
  const std::string a = Text("DESCEND('ABC')"), b = Text("DESCEND('ABD')"), c = Text(plat::Utf8ToOem("DESCEND('ЯЯЯ')"));
  EXPECT_GT(a, b);
  EXPECT_GT(b, c);
  EXPECT_EQ(Eval("DESCEND(NOTHING)").type, tessera::kExpNoValue);
}

TEST_F(FunctionTest, Empty) {
  EXPECT_TRUE(Logical("EMPTY('   ')"));
  EXPECT_TRUE(Logical("EMPTY('')"));
  EXPECT_FALSE(Logical("EMPTY(' x ')"));
  EXPECT_FALSE(Logical("EMPTY(CHR(9))")) << "only blanks count";
  EXPECT_TRUE(Logical("EMPTY(0)"));
  EXPECT_FALSE(Logical("EMPTY(N)"));
  EXPECT_TRUE(Logical("EMPTY(.F.)"));
  EXPECT_FALSE(Logical("EMPTY(D)"));
  EXPECT_TRUE(Logical("EMPTY(CTOD('  '))"));
  EXPECT_FALSE(Logical("EMPTY(NOTHING)"));
  EXPECT_FALSE(Logical("EMPTY()"));
}

TEST_F(FunctionTest, IifEvaluatesOnlyTheChosenBranch) {
  Result r = Eval("IIF(.T., 1, 'text')");
  EXPECT_EQ(r.type, tessera::kExpNumber);
  EXPECT_EQ(r.Real(), 1);
  EXPECT_EQ(Text("IIF(N > 100, 1, 'small')"), "small");
  // The other branch would fail if it were evaluated.
  EXPECT_EQ(Number("IIF(.T., 2, 1 / 0)"), 2);
  link.name->reads = 0;
  EXPECT_EQ(Number("IIF(FLAG, N, LEN(NAME))"), 7);
  EXPECT_EQ(link.name->reads, 0);
  EXPECT_EQ(Eval("IIF(.T.)").type, tessera::kExpNoValue);
}

TEST_F(FunctionTest, LeftRightSubstr) {
  EXPECT_EQ(Text("LEFT('ABC', 2)"), "AB");
  EXPECT_EQ(Text("LEFT('ABC', 0.005)"), "");
  EXPECT_EQ(Text("LEFT('ABC', 10)"), "ABC");
  EXPECT_EQ(Text("LEFT('ABC', -1)"), "");
  EXPECT_EQ(Text("RIGHT('ABC', 0)"), "");
  EXPECT_EQ(Text("RIGHT('ABC', 2)"), "BC");
  EXPECT_EQ(Text("RIGHT('ABC', 5)"), "ABC");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 2, 3)"), "BCD");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 7)"), "");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 2)"), "BCDEF");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 5, 10)"), "EF");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 0, 2)"), "");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', -2, 2)"), "AB");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 2, 0)"), "");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 2, -3)"), "");
  EXPECT_EQ(Text("SUBSTR('ABCDEF', 2, 'x')"), "BCDEF") << "a count that is no number reads to the end";
  // The count is not evaluated when the start is out of range.
  EXPECT_EQ(Text("SUBSTR('ABC', 9, 1 / 0)"), "");
}

TEST_F(FunctionTest, UpperLowerProper) {
  EXPECT_EQ(Text("UPPER('abc xyz')"), "ABC XYZ");
  EXPECT_EQ(Text("LOWER('ABC XYZ')"), "abc xyz");
  EXPECT_EQ(Text(plat::Utf8ToOem("LOWER('ИВАНОВ Ё')")), plat::Utf8ToOem("иванов ё"));
  EXPECT_EQ(Text("PROPER(\"mc-donald o'neil\")"), "Mc-Donald O'neil");
  EXPECT_EQ(Text("PROPER('JOHN  SMITH')"), "John  Smith");
  EXPECT_EQ(Text("PROPER('a1b 2c')"), "A1b 2c") << "digits start no word";
  EXPECT_EQ(Text(plat::Utf8ToOem("PROPER('иван петров')")), plat::Utf8ToOem("Иван Петров"));
  EXPECT_EQ(Text(plat::Utf8ToOem("PROPER('ёж')")), plat::Utf8ToOem("Ёж"));
}

TEST_F(FunctionTest, Padding) {
  EXPECT_EQ(Text("PADL('AB', 5, '*')"), "***AB");
  EXPECT_EQ(Text("PADC('AB', 5)"), " AB  ");
  EXPECT_EQ(Text("PADC('AB', 6, '.')"), "..AB..");
  EXPECT_EQ(Text("PADR('AB', 5)"), "AB   ");
  EXPECT_EQ(Text("PADR('ABCDEF', 3)"), "ABCDEF") << "never truncated";
  EXPECT_EQ(Text("PADL(12.5, 6)"), "  12.5");
  EXPECT_EQ(Text("PADL(D, 9)"), "  2451949") << "a date pads as its day number";
  EXPECT_EQ(Text("PADR('AB', 4, CHR(0))"), "AB") << "the result ends at a zero byte";
  // A pad call inside another's arguments keeps the outer call's fill,
  // width and text.
  EXPECT_EQ(Text("PADL(PADL('a', 3, 'x'), 5, '*')"), "**xxa");
  EXPECT_EQ(Text("PADR(PADC('a', 3, '-'), 6, PADL('+', 1))"), "-a-+++");
  EXPECT_EQ(Error("PADR()"), "Value needed for Argument 1 of Pad");
  EXPECT_EQ(Error("PADL(NOTHING, 3)"), "Value needed for Argument 1 of Pad");
  EXPECT_EQ(Error("PADR('A', 3, 'xy')"), "A Char value is required but invalid");
  EXPECT_EQ(Error("PADR('A', 3, 1)"), "A Char value is required but invalid");
  EXPECT_EQ(Error("PADR('A', 3, '')"), "A Char value is required but invalid");
  EXPECT_EQ(Error("PADR('A', 10000000000)").substr(0, 26), "PADR would make a text of ");
}

TEST_F(FunctionTest, Soundex) {
  EXPECT_EQ(Text("SOUNDEX('Robert')"), "R163");
  EXPECT_EQ(Text("SOUNDEX('Rupert')"), "R163");
  EXPECT_EQ(Text("SOUNDEX('Tymczak')"), "T520");
  EXPECT_EQ(Text("SOUNDEX('A')"), "A000");
  EXPECT_EQ(Text("SOUNDEX('')"), "0000");
  EXPECT_EQ(Text("SOUNDEX('Pfister')"), "P123") << "the first letter's code takes no part";
  EXPECT_EQ(Text("SOUNDEX('ashcraft')"), "A261");
  EXPECT_EQ(Text("SOUNDEX('Lee')"), "L000");
  EXPECT_EQ(Text(plat::Utf8ToOem("SOUNDEX('Жук')")), plat::Utf8ToOem("Ж000"));
}

TEST_F(FunctionTest, Space) {
  EXPECT_EQ(Text("SPACE(3)"), "   ");
  EXPECT_EQ(Text("SPACE(0)"), "");
  EXPECT_EQ(Text("SPACE(-3)"), "");
  EXPECT_EQ(Error("SPACE(10000000000)").substr(0, 27), "SPACE would make a text of ");
}

// No value grows beyond 1 MiB of text: the size is known before the text is
// built, so SPACE(16000000) for every record of a scan never takes 16 MiB.
TEST_F(FunctionTest, TextResultsAreBoundedAtOneMebibyte) {
  EXPECT_EQ(Number("LEN(SPACE(1048576))"), 1048576);
  EXPECT_EQ(Number("LEN(PADR('', 1048576))"), 1048576);
  EXPECT_EQ(Number("LEN(SPACE(1048575) + 'x')"), 1048576);
  const std::string tail = " bytes; an expression value holds at most 1 MiB (1048576 bytes)";
  EXPECT_EQ(Error("SPACE(1048577)"), "SPACE would make a text of 1048577" + tail);
  EXPECT_EQ(Error("SPACE(16000000)"), "SPACE would make a text of 16000000" + tail);
  EXPECT_EQ(Error("PADR('x', 16000000)"), "PADR would make a text of 16000000" + tail);
  EXPECT_EQ(Error("PADL('x', 2000000, '*')"), "PADL would make a text of 2000000" + tail);
  EXPECT_EQ(Error("PADC('x', 2000000)"), "PADC would make a text of 2000000" + tail);
  EXPECT_EQ(Error("STR(1, 1000000000)"), "STR would make a text of 1000000000" + tail);
  EXPECT_EQ(Error("SPACE(600000) + SPACE(600000)"), "The operator + would make a text of 1200000" + tail);
  EXPECT_EQ(Error("SPACE(600000) - SPACE(600000)"), "The operator - would make a text of 1200000" + tail);
  EXPECT_EQ(Error("STRTRAN(SPACE(4000), ' ', SPACE(5000))").substr(0, 27), "STRTRAN would make a text o");
  // A chain of concatenations stops at the bound too.
  EXPECT_EQ(Error("SPACE(500000) + SPACE(500000) + SPACE(500000)"), "The operator + would make a text of 1500000" + tail);
}

TEST_F(FunctionTest, StrAndStrZero) {
  EXPECT_EQ(Text("STR(3.14159, 6, 2)"), "  3.14");
  EXPECT_EQ(Text("STR(123456, 3)"), "***");
  EXPECT_EQ(Text("STR(42)"), "        42");
  EXPECT_EQ(Text("STR(-1.5, 5, 1)"), " -1.5");
  EXPECT_EQ(Text("STR(2.675, 6, 2)"), "  2.67") << "the stored binary value is below the half";
  EXPECT_EQ(Text("STR(1, 3, 5)"), "***");
  EXPECT_EQ(Text("STR(1, 0)"), "");
  EXPECT_EQ(Text("STR(7, 'x')"), "         7") << "a width that is no number means the default";
  EXPECT_EQ(Text("STRZERO(42, 5)"), "00042");
  EXPECT_EQ(Text("STRZERO(-5, 5)"), "000-5");
  EXPECT_EQ(Text("STRZERO(3.5, 6, 2)"), "003.50");
  EXPECT_EQ(Text("STRZERO(123456, 3)"), "***");
  // The width without a width argument is the resolver's DefaultWidth.
  link.DefaultWidth = 4;
  EXPECT_EQ(Text("STR(42)"), "  42");
  link.DefaultWidth = 0;
  EXPECT_EQ(Text("STR(42)"), "        42");
}

TEST_F(FunctionTest, StrTran) {
  EXPECT_EQ(Text("STRTRAN('AAA', 'A', 'B', 2, 1)"), "ABA");
  EXPECT_EQ(Text("STRTRAN('AAA', 'A', 'B')"), "BBB");
  EXPECT_EQ(Text("STRTRAN('AAA', 'A')"), "");
  EXPECT_EQ(Text("STRTRAN('ABCABC', 'BC', 'x', 2)"), "ABCAx");
  EXPECT_EQ(Text("STRTRAN('ABCABC', 'Z', 'x')"), "ABCABC");
  EXPECT_EQ(Text("STRTRAN('ABC', '', 'x')"), "ABC");
  EXPECT_EQ(Text("STRTRAN('', 'A', 'x')"), "");
  EXPECT_EQ(Text("STRTRAN('AAAA', 'AA', 'A')"), "AA") << "the search resumes after each occurrence";
  EXPECT_EQ(Text("STRTRAN('ABAB', 'A', 1)"), "BB") << "a replacement that is no text is empty";
  EXPECT_EQ(Text("STRTRAN('ABAB', 'A', 'x', 0, 1)"), "xBAB");
  EXPECT_EQ(Text("STRTRAN('ABAB', 'A', 'x', 1, 0)"), "ABAB");
}

TEST_F(FunctionTest, Val) {
  EXPECT_EQ(Number("VAL('12.5')"), 12.5);
  EXPECT_EQ(Number("VAL('  -3 ')"), -3);
  EXPECT_EQ(Number("VAL('')"), 0);
  EXPECT_EQ(Number("VAL('12abc')"), 0);
  EXPECT_EQ(Number("VAL('1e3')"), 1000);
  EXPECT_EQ(Number("VAL('1,5')"), 0);
}

TEST_F(FunctionTest, LongTextsSearchInLinearTime) {
  // Quadratic searches would take minutes on these.
  EXPECT_EQ(Number("AT(SPACE(250000) + 'x', SPACE(1000000), 500000)"), 0);
  EXPECT_EQ(Number("AT(SPACE(250000), SPACE(1000000), 500000)"), 500000);
  EXPECT_EQ(Number("LEN(STRTRAN(SPACE(1000000), SPACE(1000) + 'x', 'y'))"), 1000000);
  EXPECT_FALSE(Logical("SPACE(250000) + 'x' $ SPACE(1000000)"));
  EXPECT_FALSE(Logical("SPACE(1000000) + 'y' = '*' + SPACE(250000) + 'x*'"));
}

}  // namespace
}  // namespace expr_test
