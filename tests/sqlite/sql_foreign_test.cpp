// The formats of other programs through SQL: Visual FoxPro's .NULL. both
// ways, varchar and varbinary, autoincrement numbered by the table (an
// explicit value refused before anything is written), the hidden
// _NullFlags; texts in the code page the header names (or codepage=), in
// that code page's order, the order of the tags; and tables the engine
// reads but does not write refusing writes with its message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "sqlite/sql_test_util.h"
#include "support/realworld.h"
#include "support/temp_dir.h"

namespace {

using sql_test::FileBytes;
using sql_test::Quoted;
using sql_test::Sql;
using testing_support::TempDir;

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class SqlForeign : public ::testing::Test {
 protected:
  void SetUp() override { tessera::EngineStart(); }
  void TearDown() override { tessera::EngineStop(); }

  // The message of a statement that must fail.
  std::string Refused(Sql& sql, const std::string& statement) {
    std::string error;
    EXPECT_EQ(sql.Exec(statement, &error), SQLITE_ERROR) << statement;
    return error;
  }

  TempDir dir_;
};

TEST_F(SqlForeign, VisualFoxProNullsVarcharsAndAutoincrement) {
  const std::string dbf = dir_ / "V.DBF";
  tessera::CreateTable(dbf, 0x32,
                       {{"ID", 'I', 0, 0, false, true},
                        {"NAME", 'C', 8, 0, true},
                        {"NOTE", 'V', 6, 0, true},
                        {"BIN", 'Q', 4, 0, true},
                        {"AMOUNT", 'N', 6, 2, true},
                        {"PLAIN", 'N', 4},
                        {"TEXT", 'M', 0, 0, true},
                        {"STAMP", 'T', 0, 0, true},
                        {"OK", 'L', 0, 0, true}});
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE v USING tessera(" + Quoted(dbf) + ")");
  // _NullFlags is kept by the table: hidden, and not to be written.
  std::vector<std::string> names;
  for (const std::string& row : sql.Rows("SELECT name FROM pragma_table_info('v')")) names.push_back(row.substr(2));
  EXPECT_EQ(names, (std::vector<std::string>{"id", "name", "note", "bin", "amount", "plain", "text", "stamp", "ok"}));
  sql.Ok("INSERT INTO v (name) VALUES ('first')");
  sql.Ok("INSERT INTO v VALUES (NULL, 'second', 'ab  ', x'00ff20', 1.5, 7, 'memo', '2024-01-15T10:20:30', 1)");
  sql.Ok("INSERT INTO v (id, note, plain) VALUES (0, '', NULL)");
  EXPECT_EQ(sql.Rows("SELECT rowid, * FROM v"),
            (std::vector<std::string>{"i:1|i:1|t:first|n|n|n|n|n|n|n",
                                      "i:2|i:2|t:second|t:ab  |b:00ff20|r:1.5|i:7|t:memo|t:2024-01-15T10:20:30|i:1",
                                      "i:3|i:3|n|t:|n|n|n|n|n|n"}));
  {
    // The engine's reading: .NULL. where SQL wrote NULL to a nullable
    // field, a blank where the field takes no null.
    tessera::KTO_dBHandler t(dbf, true, false);
    t.GotoRecord(1);
    for (int field : {3, 4, 5, 7, 8, 9}) EXPECT_TRUE(t.IsNull(field)) << field;
    EXPECT_FALSE(t.IsNull(2));
    EXPECT_EQ(t.GetRawN(6), "    ");
    t.GotoRecord(3);
    EXPECT_FALSE(t.IsNull(3));
    EXPECT_EQ(t.ValueBytes(3), "");
  }
  sql.Ok("UPDATE v SET name = NULL, note = 'x', text = NULL WHERE rowid = 2");
  sql.Ok("UPDATE v SET amount = 2.25 WHERE rowid = 1");
  EXPECT_EQ(sql.Rows("SELECT name, note, text, amount FROM v WHERE rowid <= 2"),
            (std::vector<std::string>{"t:first|n|n|r:2.25", "n|t:x|n|r:1.5"}));
  EXPECT_EQ(sql.One("SELECT count(*) FROM v WHERE name IS NULL"), "i:2");

  // The table numbers ID: a value of one's own is refused before anything
  // is written (a memo included), with the engine's words.
  const std::string table_before = FileBytes(dbf), memo_before = FileBytes(dir_ / "V.FPT");
  for (const char* statement : {"INSERT INTO v (id, text) VALUES (9, 'new memo')",
                                "UPDATE v SET id = 9, text = 'new memo' WHERE rowid = 1",
                                "INSERT INTO v (_nullflags) VALUES (x'0000')"}) {
    const std::string error = Refused(sql, statement);
    EXPECT_NE(error.find(std::string(statement).find("_nullflags") != std::string::npos
                             ? "kept by the table itself"
                             : "ID is numbered by the table (autoincrement)"),
              std::string::npos)
        << statement << ": " << error;
  }
  EXPECT_EQ(FileBytes(dbf), table_before);
  EXPECT_EQ(FileBytes(dir_ / "V.FPT"), memo_before);
  sql.Ok("UPDATE v SET id = id, name = 'kept' WHERE rowid = 3");
  EXPECT_EQ(sql.One("SELECT id, name FROM v WHERE rowid = 3"), "i:3|t:kept");
  const std::string error = Refused(sql, "INSERT INTO v (note) VALUES ('1234567')");
  EXPECT_NE(error.find("field NOTE is 7 characters long; the field holds 6"), std::string::npos) << error;
}

// A table's texts in the code page its header's mark names, another by
// codepage=: decoded, encoded (a character the code page lacks refused by
// name) and ordered as the tags order their keys.
TEST_F(SqlForeign, TheCodePageOfTheHeaderOrOfTheOption) {
  const std::string dbf = dir_ / "W.DBF";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 10}});
  std::string bytes = FileBytes(dbf);
  bytes[29] = static_cast<char>(0xC9);  // Windows Cyrillic (1251)
  WriteBytes(dbf, bytes);
  {
    Sql sql;
    sql.Ok("CREATE VIRTUAL TABLE w USING tessera(" + Quoted(dbf) + ")");
    const char *type = nullptr, *collation = nullptr;
    sqlite3_table_column_metadata(sql.db(), "main", "w", "name", &type, &collation, nullptr, nullptr, nullptr);
    EXPECT_STREQ(collation, "cp1251");
    for (const char* name : {"Жук", "жаба", "Ёж", "ёлка", "Юг", "Zebra", "apple", "Ґанок", "ґава", "Їжак"})
      sql.Ok(std::string("INSERT INTO w VALUES ('") + name + "')");
    const std::string error = Refused(sql, "INSERT INTO w VALUES ('Ωmega')");
    EXPECT_NE(error.find("The character 'Ω' of the value for field NAME has no place in code page cp1251"),
              std::string::npos)
        << error;
  }
  {
    tessera::KTO_dBHandler t(dbf, false, true);
    t.GotoRecord(1);
    EXPECT_EQ(t.GetRawN(1), "\xC6\xF3\xEA       ");
    t.CreateIndexTag("W.CDX", "NAME", "NAME", "", tessera::kDuplicateKeys, 0);
  }
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE w USING tessera(" + Quoted(dbf) + ")");
  sql.Ok("CREATE TABLE n(name TEXT COLLATE cp1251)");
  sql.Ok("INSERT INTO n SELECT name FROM w");
  // Byte order of CP1251: Latin, then Ґ ґ Ё ё Ї among the signs, then А..я.
  const std::vector<std::string> ordered = {"t:Zebra", "t:apple", "t:Ґанок", "t:Ёж",   "t:Їжак",
                                            "t:ґава",  "t:ёлка",  "t:Жук",   "t:Юг",   "t:жаба"};
  EXPECT_EQ(sql.Rows("SELECT name FROM w ORDER BY name"), ordered);
  EXPECT_EQ(sql.Rows("SELECT name FROM n ORDER BY name"), ordered);
  EXPECT_NE(sql.Plan("SELECT name FROM w ORDER BY name").find(":NAME"), std::string::npos);
  EXPECT_EQ(sql.Rows("SELECT name FROM w WHERE name >= 'Ж' ORDER BY name DESC"),
            sql.Rows("SELECT name FROM n WHERE name >= 'Ж' ORDER BY name DESC"));
  EXPECT_EQ(sql.One("SELECT rowid FROM w WHERE name = 'Ёж'"), "i:3");

  // codepage= reads the same bytes in another code page.
  sql.Ok("CREATE VIRTUAL TABLE d USING tessera(" + Quoted(dbf) + ", codepage='cp866')");
  EXPECT_EQ(sql.One("SELECT name FROM d WHERE rowid = 1"), "t:╞єъ");
  EXPECT_EQ(sql.One("SELECT count(*) FROM d WHERE name = '╞єъ'"), "i:1");
}

// Formats the engine reads but does not write, and a table without its
// memo file: every row is read, no write changes a byte.
TEST_F(SqlForeign, TablesTheEngineDoesNotWriteRefuseWrites) {
  const std::string dbf = dir_ / "M.DBF";
  tessera::CreateTable(dbf, 0x83, {{"NAME", 'C', 8}, {"NOTE", 'M'}});
  {
    Sql sql;
    sql.Ok("CREATE VIRTUAL TABLE m USING tessera(" + Quoted(dbf) + ")");
    sql.Ok("INSERT INTO m VALUES ('a', 'the memo')");
  }
  std::filesystem::remove(dir_ / "M.DBT");
  const std::string before = FileBytes(dbf);
  Sql sql;
  sql.Ok("CREATE VIRTUAL TABLE m USING tessera(" + Quoted(dbf) + ")");
  EXPECT_EQ(sql.One("SELECT * FROM m"), "t:a|n");
  std::string error = Refused(sql, "UPDATE m SET name = 'b'");
  EXPECT_NE(error.find("cannot be written: its memo file"), std::string::npos) << error;
  EXPECT_NE(error.find("is missing"), std::string::npos) << error;
  EXPECT_EQ(FileBytes(dbf), before);

  PYX_NEED_REALWORLD();
  for (const char* file : {"rubydbf/dbase_8c.dbf", "dbasers/stations_with_deleted.dbf"}) {
    SCOPED_TRACE(file);
    const std::string copy = dir_ / std::filesystem::path(file).filename().string();
    std::filesystem::copy_file(testing_support::RealWorld(file), copy);
    const std::string table_before = FileBytes(copy);
    Sql s;
    s.Ok("CREATE VIRTUAL TABLE t USING tessera(" + Quoted(copy) + ")");
    EXPECT_NE(s.One("SELECT count(*) FROM t"), "i:0");
    error = Refused(s, "DELETE FROM t");
    EXPECT_NE(error.find("read-only format"), std::string::npos) << error;
    error = Refused(s, "INSERT INTO t DEFAULT VALUES");
    EXPECT_NE(error.find("read-only format"), std::string::npos) << error;
    EXPECT_EQ(FileBytes(copy), table_before);
  }
}

}  // namespace
