// Fields as SQL values and back: every kind of field reads as the type
// its column declares, blank numbers and logicals as xBase reads them (0),
// blank dates and what is no number as NULL, values written through
// SQL are stored as the field layer stores them (the engine reads them
// back), and a value a field cannot hold is refused with a message naming
// the field, the table left byte for byte as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "sqlite/sql_test_util.h"
#include "support/temp_dir.h"

namespace {

using sql_test::FileBytes;
using sql_test::Quoted;
using sql_test::Sql;
using testing_support::TempDir;

class SqlTypes : public ::testing::Test {
 protected:
  void SetUp() override { tessera::EngineStart(); }
  void TearDown() override { tessera::EngineStop(); }
  TempDir dir_;
};

TEST_F(SqlTypes, DbaseFieldsReadAndWriteAsTheirColumnTypes) {
  const std::string dbf = dir_ / "T.DBF";
  tessera::CreateTable(dbf, 0x83,
                       {{"NAME", 'C', 12}, {"AMOUNT", 'N', 8, 2}, {"QTY", 'N', 5}, {"RATE", 'F', 10, 3},
                        {"BORN", 'D'}, {"ACTIVE", 'L'}, {"NOTE", 'M'}});
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE t USING tessera(" + Quoted(dbf) + ")");
  std::vector<std::string> declared;
  for (const char* column : {"name", "amount", "qty", "rate", "born", "active", "note"}) {
    const char *type = nullptr, *collation = nullptr;
    sqlite3_table_column_metadata(sql.db(), "main", "t", column, &type, &collation, nullptr, nullptr, nullptr);
    declared.push_back(std::string(column) + " " + type + " " + collation);
  }
  EXPECT_EQ(declared, (std::vector<std::string>{"name TEXT cp866", "amount REAL BINARY", "qty INTEGER BINARY",
                                                "rate REAL BINARY", "born TEXT BINARY", "active INTEGER BINARY",
                                                "note TEXT cp866"}));
  sql.Ok("INSERT INTO t VALUES ('Иванов  ', 3.14159, 42, '2.5', '2001-02-08', 1, 'Привет, мир')");
  sql.Ok("INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  sql.Ok("INSERT INTO t (name, qty, born, active) VALUES (12345, '-7', '19991231', 'F')");
  EXPECT_EQ(sql.Rows("SELECT rowid, * FROM t"),
            (std::vector<std::string>{"i:1|t:Иванов|r:3.1400000000000001|i:42|r:2.5|t:2001-02-08|i:1|t:Привет, мир",
                                      "i:2|t:|n|n|n|n|n|t:", "i:3|t:12345|n|i:-7|n|t:1999-12-31|i:0|t:"}));

  // What the engine reads from the same records.
  tessera::KTO_dBHandler t(dbf, true, false);
  t.GotoRecord(1);
  EXPECT_EQ(t.GetRawN(1), "\x88\xA2\xA0\xAD\xAE\xA2      ");
  EXPECT_EQ(t.GetRawN(2), "    3.14");
  EXPECT_EQ(t.GetRawN(3), "   42");
  EXPECT_EQ(t.GetRawN(4), "     2.500");
  EXPECT_EQ(t.GetRawN(5), "20010208");
  EXPECT_EQ(t.GetRawN(6), "T");
  EXPECT_EQ(t.MemoText(7), "\x8F\xE0\xA8\xA2\xA5\xE2, \xAC\xA8\xE0");
  t.GotoRecord(2);
  EXPECT_EQ(t.GetRawN(2), "        ");
  EXPECT_EQ(t.GetRawN(7), "          ");  // no memo: a blank pointer
}

TEST_F(SqlTypes, VisualFoxProBinaryFields) {
  const std::string dbf = dir_ / "V.DBF";
  tessera::CreateTable(dbf, 0x30,
                       {{"ID", 'I'}, {"STAMP", 'T'}, {"PRICE", 'Y'}, {"RATIO", 'B'}, {"NOTES", 'M'}, {"PIC", 'G'}});
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE v USING tessera(" + Quoted(dbf) + ")");
  sql.Ok("INSERT INTO v VALUES (-42, '2024-01-15T10:20:30.250', 12.3456, 1.5, 'memo', x'00FF10')");
  sql.Ok("INSERT INTO v VALUES (7, '2024-01-15 10:20', NULL, NULL, NULL, NULL)");
  sql.Ok("INSERT INTO v (id) VALUES (1)");
  EXPECT_EQ(sql.Rows("SELECT * FROM v"),
            (std::vector<std::string>{"i:-42|t:2024-01-15T10:20:30.250|r:12.345599999999999|r:1.5|t:memo|b:00ff10",
                                      "i:7|t:2024-01-15T10:20:00|r:0|r:0|t:|b:", "i:1|n|r:0|r:0|t:|b:"}));
  {
    // NULL in a binary number is a zero, not blanks another program
    // would read as a number.
    tessera::KTO_dBHandler t(dbf, true, false);
    t.GotoRecord(2);
    EXPECT_EQ(std::string(t.RecordBuffer() + t.Field(3).offset, 8), std::string(8, '\0'));
    EXPECT_EQ(std::string(t.RecordBuffer() + t.Field(4).offset, 8), std::string(8, '\0'));
  }
  std::string error;
  EXPECT_NE(sql.Exec("INSERT INTO v (id) VALUES (3000000000)", &error), SQLITE_OK);
  EXPECT_NE(error.find("Number too large to fit in field"), std::string::npos) << error;
  EXPECT_NE(sql.Exec("INSERT INTO v (stamp) VALUES ('2024-01-15T25:00')", &error), SQLITE_OK);
  EXPECT_NE(error.find("Invalid date-time in field V->STAMP"), std::string::npos) << error;
}

TEST_F(SqlTypes, BlankFormsOfOtherProgramsHoldNoValue) {
  const std::string dbf = dir_ / "B.DBF";
  tessera::CreateTable(dbf, 0x03, {{"N", 'N', 6, 1}, {"D", 'D'}, {"L", 'L'}, {"C", 'C', 4}});
  {
    tessera::KTO_dBHandler t(dbf, false, true);
    struct Row {
      std::string n, d, l, c;
    };
    const Row rows[] = {{"      ", "        ", " ", "    "},                    // blanks
                        {"  *** ", "00000000", "?", std::string("ab\0c", 4)},  // overflow, zero date, "?", a NUL
                        {"   1.5", "20241301", "y", "x   "}};
    for (const Row& r : rows) {
      t.BlankRecord();
      t.StoreFieldText(t.Field(1), r.n, t.RecordBuffer());
      t.StoreFieldText(t.Field(2), r.d, t.RecordBuffer());
      t.StoreFieldText(t.Field(3), r.l, t.RecordBuffer());
      t.StoreFieldText(t.Field(4), r.c, t.RecordBuffer());
      t.AppendRecord();
    }
  }
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE b USING tessera(" + Quoted(dbf) + ")");
  // Blanks, an overflow mark, a date of zeros and "?" are no values; a
  // date no calendar holds is shown as it stands; a NUL inside a text is
  // a byte of it.
  EXPECT_EQ(sql.Rows("SELECT n, d, l, hex(c) FROM b"),
            (std::vector<std::string>{"n|n|n|t:", "n|n|n|t:61620063", "r:1.5|t:20241301|i:1|t:78"}));
}

TEST_F(SqlTypes, ValuesAFieldCannotHoldAreRefusedAndNothingIsWritten) {
  const std::string dbf = dir_ / "R.DBF";
  tessera::CreateTable(dbf, 0x83, {{"NAME", 'C', 5}, {"AMOUNT", 'N', 5, 2}, {"BORN", 'D'}, {"OK", 'L'}, {"NOTE", 'M'}});
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE r USING tessera(" + Quoted(dbf) + ")");
  sql.Ok("INSERT INTO r VALUES ('abc', 1.5, '2020-02-29', 1, 'kept')");
  const std::string table_before = FileBytes(dbf), memo_before = FileBytes(dir_ / "R.DBT");
  const struct {
    const char* statement;
    const char* message;
  } refused[] = {
      {"INSERT INTO r (name) VALUES ('abcdef')", "The value for field NAME is 6 characters long; the field holds 5"},
      {"INSERT INTO r (name, note) VALUES ('漢', 'x')", "The character '漢' of the value for field NAME has no place in code page cp866"},
      {"INSERT INTO r (amount) VALUES (123.45)", "Number too large to fit in field"},
      {"INSERT INTO r (amount) VALUES ('12a')", "Invalid number in field R->AMOUNT (12a)"},
      {"INSERT INTO r (born) VALUES ('2021-02-29')", "Invalid date in field R->BORN (2021-02-29)"},
      {"INSERT INTO r (ok) VALUES ('maybe')", "Invalid logical value in field R->OK (maybe)"},
      {"UPDATE r SET note = 'new', name = 'toolong' WHERE rowid = 1", "field NAME is 7 characters long"},
      {"UPDATE r SET rowid = 2", "A record's number (rowid) cannot be changed"},
      {"INSERT INTO r (rowid, name) VALUES (9, 'x')", "leave rowid out"},
  };
  for (const auto& r : refused) {
    std::string error;
    EXPECT_EQ(sql.Exec(r.statement, &error), SQLITE_ERROR) << r.statement;
    EXPECT_NE(error.find(r.message), std::string::npos) << r.statement << ": " << error;
  }
  EXPECT_EQ(FileBytes(dbf), table_before);
  EXPECT_EQ(FileBytes(dir_ / "R.DBT"), memo_before);
  EXPECT_EQ(sql.Rows("SELECT * FROM r"), (std::vector<std::string>{"t:abc|r:1.5|t:2020-02-29|i:1|t:kept"}));
}

TEST_F(SqlTypes, OptionsAndTheirMistakes) {
  const std::string dbf = dir_ / "O.DBF";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 8}});
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE a USING tessera(file=" + Quoted(dbf) + ", codepage=1251, deleted=show, wait=0)");
  sql.Ok("INSERT INTO a VALUES ('Жук')");
  tessera::KTO_dBHandler t(dbf, true, false);
  t.GotoRecord(1);
  EXPECT_EQ(t.GetRawN(1), "\xC6\xF3\xEA     ");  // CP1251
  const struct {
    std::string args, message;
  } wrong[] = {
      {"", "no table file given"},
      {Quoted(dbf) + ", deleted=maybe", "deleted= takes hide, show or only"},
      {Quoted(dbf) + ", colour=red", "unknown option 'colour'"},
      {Quoted(dbf) + ", codepage=klingon", "codepage= takes a code page"},
      {Quoted(dbf) + ", wait=-1", "wait= takes a number of milliseconds"},
      {Quoted(dir_ / "MISSING.DBF"), "MISSING.DBF"},
      {Quoted(dbf) + ", index='NONE.NTX'", "NONE.NTX"},
  };
  int n = 0;
  for (const auto& w : wrong) {
    std::string error;
    EXPECT_EQ(sql.Exec("CREATE VIRTUAL TABLE w" + std::to_string(n++) + " USING tessera(" + w.args + ")", &error),
              SQLITE_ERROR)
        << w.args;
    EXPECT_NE(error.find(w.message), std::string::npos) << w.args << ": " << error;
  }
}

}  // namespace
