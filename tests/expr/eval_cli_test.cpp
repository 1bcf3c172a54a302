// tessera eval, run as a user runs it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/fixtures.h"
#include "support/run_command.h"

namespace {

using testing_support::FixturePath;

// What eval prints: its standard output, then its standard error.
using EvalRun = testing_support::CommandResult;

// Runs tessera eval with arguments quoted for the shell.
EvalRun Eval(const std::vector<std::string>& args) {
  std::string command = std::string(TESSERA_BIN) + " eval";
  for (const std::string& a : args) {
    command += " '";
    for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  command += " 2>&1";
  return testing_support::RunCommand(command);
}

const std::string kCallbook = FixturePath("callbook/Pyx.DBF");
const std::string kTypes = FixturePath("cdx-types/TYPES.DBF");

TEST(TesseraEval, TextKeepsTrailingBlanksInUtf8) {
  const auto expected = testing_support::ReadExpected("callbook").at(0);
  const auto& rec = expected.records.at(0);
  std::string key;
  const int widths[] = {20, 15, 20};
  for (int i = 0; i < 3; ++i) {
    std::string field = testing_support::FromHex(rec.values[static_cast<size_t>(i + 1)]);
    field.resize(static_cast<size_t>(widths[i]), ' ');
    key += field;
  }
  const EvalRun r = Eval({kCallbook, "FAM_+IM_+OTCH_"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3\t" + plat::OemToUtf8(key) + "\n");
}

TEST(TesseraEval, NumbersDatesAndLogicals) {
  EXPECT_EQ(Eval({kCallbook, "RECNO() * 1.5", "--recno", "3"}).out, "4\t4.5\n");
  EXPECT_EQ(Eval({kCallbook, "0.1 + 0.2"}).out, "4\t0.30000000000000004\n");
  const auto expected = testing_support::ReadExpected("cdx-types").at(0);
  int blanks = 0;
  for (int recno = 1; recno <= 60; ++recno) {
    const std::string& born = expected.records.at(static_cast<size_t>(recno - 1)).values[7];
    const EvalRun r = Eval({kTypes, "BORN", "--recno", std::to_string(recno)});
    EXPECT_EQ(r.out, "6\t" + (born == "-" ? std::string(8, ' ') : born) + "\n") << recno;
    blanks += born == "-";
  }
  EXPECT_GT(blanks, 0);
  EXPECT_EQ(Eval({kCallbook, "CALL_ = 'QZ6ZZZ'", "--recno", "1001"}).out, "8\t.T.\n");
  EXPECT_EQ(Eval({kCallbook, "DELETED()", "--recno", "1001"}).out, "8\t.F.\n");
  EXPECT_EQ(Eval({kCallbook, "()"}).out, "1\t\n");
  EXPECT_EQ(Eval({kCallbook, ""}).out, "0\t\n");
}

TEST(TesseraEval, CyrillicExpressionIsConvertedToTheTablesCodePage) {
  const EvalRun upper = Eval({kCallbook, "UPPER('Москва') + '|'"});
  EXPECT_EQ(upper.out, "3\tМОСКВА|\n");
  const EvalRun all = Eval({kCallbook, "(UPPER(GOR_) = 'МОСКВА') .AND. (.NOT. DELETED())", "--all"});
  EXPECT_EQ(all.status, 0);
  size_t lines = 0, hits = 0;
  for (size_t p = 0; (p = all.out.find('\n', p)) != std::string::npos; ++p) ++lines;
  for (size_t p = 0; (p = all.out.find(".T.", p)) != std::string::npos; ++p) ++hits;
  EXPECT_EQ(lines, 3000u);
  EXPECT_GT(hits, 0u);
}

TEST(TesseraEval, AllPrintsOneLinePerRecordInOrder) {
  const EvalRun r = Eval({kCallbook, "RECNO()", "--all"});
  ASSERT_EQ(r.status, 0);
  std::string want;
  for (int i = 1; i <= 3000; ++i) want += "4\t" + std::to_string(i) + "\n";
  EXPECT_EQ(r.out, want);
}

TEST(TesseraEval, ErrorsPrintTheEngineMessage) {
  EvalRun r = Eval({kCallbook, "FAM_ +"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Syntax Error in expression \"FAM_ +\"\n");
  r = Eval({kCallbook, "'Москва' +"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Syntax Error in expression \"'Москва' +\"\n");
  r = Eval({kCallbook, "NOPE"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "There is no function for NOPE\n");
  r = Eval({kCallbook, "CALL_ + 1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "The two sides of an operation do not match\n");
  for (const char* recno : {"0", "3001", "-4"}) {
    r = Eval({kCallbook, "RECNO()", "--recno", recno});
    EXPECT_EQ(r.status, 1) << recno;
    EXPECT_EQ(r.out.rfind("dBase record request beyond EOF - ", 0), 0u) << r.out;
  }
  r = Eval({FixturePath("callbook/NONE.DBF"), "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("File not found - ", 0), 0u) << r.out;
  EXPECT_EQ(Eval({kCallbook}).status, 2);
}

}  // namespace
