// Searches and orders through the tables' own tags give exactly the rows
// (and, where the tag gives the ORDER BY, the order) that SQLite gives for
// the same query over a plain copy of the rows; EXPLAIN QUERY PLAN names
// the tag. Tags that would lose rows (unique tags, FOR conditions the query
// does not imply) are never used.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "sqlite/sql_test_util.h"
#include "tools/sqlite/code_page.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace {

using sql_test::Quoted;
using sql_test::Sql;
using testing_support::TempDir;

// Lower case of the Latin and Cyrillic letters of a UTF-8 text.
struct CodePageFold {
  std::string operator()(const std::string& s) const {
    const tessera_sql::CodePage& page = tessera_sql::CodePage::Named("cp866");
    std::string bytes;
    if (!page.Encode(s, bytes)) return s;
    for (char& c : bytes) {
      const auto b = static_cast<uint8_t>(c);
      const uint8_t o = page.OtherCase(b);
      // The lower of the two spellings (in CP866 and ASCII it has the
      // higher byte).
      if (o > b) c = static_cast<char>(o);
    }
    return page.Decode(bytes);
  }
};

class SqlTags : public ::testing::Test {
 protected:
  void SetUp() override { tessera::EngineStart(); }
  void TearDown() override { tessera::EngineStop(); }

  // Opens `file` as table t (with `options`) and copies its rows into the
  // plain table n, declared with t's column types and collations, with the
  // same rowids.
  void Open(const std::string& file, const std::string& options = "") {
    sql_.Ok("CREATE VIRTUAL TABLE t USING tessera(" + Quoted(file) + options + ")");
    std::string columns, names;
    for (const std::string& row : sql_.Rows("SELECT name FROM pragma_table_info('t')")) {
      const std::string name = row.substr(2);
      const char *type = nullptr, *collation = nullptr;
      ASSERT_EQ(sqlite3_table_column_metadata(sql_.db(), "main", "t", name.c_str(), &type, &collation, nullptr,
                                              nullptr, nullptr),
                SQLITE_OK);
      if (!columns.empty()) columns += ", ", names += ", ";
      columns += "\"" + name + "\" " + type + " COLLATE " + collation;
      names += "\"" + name + "\"";
    }
    sql_.Ok("CREATE TABLE n(" + columns + ")");
    sql_.Ok("INSERT INTO n(rowid, " + names + ") SELECT rowid, * FROM t");
  }

  // The query over t and over n (rowids included) give the same rows.
  // When it orders them, `select` is the ordered columns: their values
  // come in the same order (rows of equal values in any), and, without a
  // LIMIT, the same rows.
  void Same(const std::string& select, const std::string& where) {
    std::vector<std::string> ours = sql_.Rows("SELECT " + select + ", rowid FROM t " + where);
    std::vector<std::string> plain = sql_.Rows("SELECT " + select + ", rowid FROM n " + where);
    const std::string plan = sql_.Plan("SELECT * FROM t " + where);
    if (where.find("ORDER BY") != std::string::npos) {
      auto values = [](std::vector<std::string> rows) {
        for (std::string& r : rows) r.resize(r.rfind('|'));
        return rows;
      };
      EXPECT_EQ(values(ours), values(plain)) << where << "\nplan: " << plan;
      if (where.find("LIMIT") != std::string::npos) return;
    }
    std::sort(ours.begin(), ours.end());
    std::sort(plain.begin(), plain.end());
    EXPECT_EQ(ours, plain) << where << "\nplan: " << plan;
  }
  std::string Plan(const std::string& where) { return sql_.Plan("SELECT * FROM t " + where); }

  Sql sql_;
  TempDir dir_;
};

TEST_F(SqlTags, TheCallbooksElevenTagsServeTheirColumns) {
  sql_test::CopyFixture(testing_support::FixturePath("callbook"), dir_.path());
  Open(dir_ / "Pyx.DBF");
  const std::map<std::string, std::string> tag_of = {
      {"call_", "CALL"}, {"fam_", "FIO"}, {"im_", "IM"},   {"otch_", "OTCH"},       {"ind_", "IND"},  {"reg_", "REG"},
      {"gor_", "GOR"},   {"tel_", "TEL"}, {"strana_", "STRANA"}, {"email_", "EMAIL"}, {"url_", "URL"}};
  for (const auto& [column, tag] : tag_of) {
    const std::string some = sql_.One("SELECT " + column + " FROM n WHERE rowid = 77").substr(2);
    EXPECT_NE(Plan("WHERE " + column + " = " + Quoted(some)).find(":" + tag + " ="), std::string::npos) << column;
    Same("*", "WHERE " + column + " = " + Quoted(some));
    Same("*", "WHERE " + column + " = " + Quoted(some + " "));  // trailing blank: no field holds it
    Same("*", "WHERE " + column + " = " + Quoted(some + std::string(60, 'x')));  // longer than the field
    Same(column, "WHERE " + column + " LIKE " + Quoted(some.substr(0, 2) + "%"));
    Same(column, "WHERE " + column + " >= " + Quoted(some) + " ORDER BY " + column + " LIMIT 40");
    Same(column, "WHERE " + column + " < " + Quoted(some) + " ORDER BY " + column + " DESC LIMIT 40");
    EXPECT_NE(Plan("ORDER BY " + column).find(":" + tag), std::string::npos) << column;
  }
  EXPECT_NE(Plan("WHERE ulic_ = 'x'").find("INDEX 0:recno"), std::string::npos);
  Same("fam_, im_, otch_", "ORDER BY fam_, im_, otch_");
  Same("fam_, im_", "ORDER BY fam_ DESC, im_ DESC");
  Same("call_", "WHERE call_ LIKE 'ua3%' ORDER BY call_");
  Same("call_", "WHERE call_ GLOB 'UA3*' ORDER BY call_ DESC");
  Same("call_", "WHERE call_ BETWEEN 'R' AND 'RZ' ORDER BY call_");
  Same("call_", "WHERE call_ IN ('UA3AV', 'RW9VN', 'NOPE')");
  Same("call_", "WHERE call_ = '' ORDER BY call_ DESC");
  Same("call_", "WHERE call_ <= 'A' ORDER BY call_ DESC");
  Same("email_", "WHERE email_ <= '' ORDER BY email_ DESC");
  Same("fam_", "WHERE fam_ LIKE 'Ив%'");
  Same("fam_", "WHERE fam_ > 'Ш' AND fam_ < 'Щ'");
  Same("*", "WHERE fam_ = 'Шапиро' AND im_ = 'Олег'");
  Same("*", "WHERE call_ = NULL");
  Same("*", "WHERE call_ = 5");
  Same("*", "WHERE call_ = '漢'");
  Same("*", "WHERE call_ = 'X' COLLATE NOCASE");
  Same("*", "WHERE rowid BETWEEN 10 AND 20");
  Same("*", "WHERE rowid > 2990 ORDER BY rowid DESC");
  Same("*", "WHERE rowid = 2.5 OR rowid = 3");
}

// A like() that ignores the case of Cyrillic letters too, as the ICU
// extension's does: patterns of literal text ending in "%".
void FoldingLike(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const char* p = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const char* v = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  if (p == nullptr || v == nullptr) return sqlite3_result_null(ctx);
  std::string pattern = CodePageFold()(p), value = CodePageFold()(v);
  if (!pattern.empty() && pattern.back() == '%') pattern.pop_back();
  sqlite3_result_int(ctx, value.compare(0, pattern.size(), pattern) == 0);
}

TEST_F(SqlTags, ALikeThatIgnoresTheCaseOfEveryLetterStillFindsEveryRow) {
  sql_test::CopyFixture(testing_support::FixturePath("callbook"), dir_.path());
  Open(dir_ / "Pyx.DBF");
  ASSERT_EQ(sqlite3_create_function(sql_.db(), "like", 2, SQLITE_UTF8, nullptr, FoldingLike, nullptr, nullptr), SQLITE_OK);
  for (const char* pattern : {"иван%", "ИВАН%", "шАп%", "ua3%", "Ёл%"}) {
    EXPECT_NE(Plan(std::string("WHERE fam_ LIKE '") + pattern + "'").find(":FIO ~"), std::string::npos);
    Same("fam_", std::string("WHERE fam_ LIKE '") + pattern + "'");
    Same("call_", std::string("WHERE call_ LIKE '") + pattern + "' ORDER BY call_ DESC");
  }
  EXPECT_NE(sql_.One("SELECT count(*) FROM t WHERE fam_ LIKE 'иван%'"), "i:0");
}

TEST_F(SqlTags, NumbersDatesAndTheTagsThatAreNotUsed) {
  sql_test::CopyFixture(testing_support::FixturePath("cdx-types"), dir_.path());
  for (const char* deleted : {"hide", "show", "only"}) {
    SCOPED_TRACE(deleted);
    sql_.Exec("DROP TABLE IF EXISTS n; DROP TABLE IF EXISTS t");
    Open(dir_ / "TYPES.DBF", std::string(", deleted=") + deleted);
    EXPECT_NE(Plan("WHERE name = 'x'").find(":NAME ="), std::string::npos);
    EXPECT_NE(Plan("WHERE amount > 5 AND amount < 100").find(":AMOUNT ><"), std::string::npos);
    EXPECT_NE(Plan("WHERE born = '2000-02-29'").find(":BORN ="), std::string::npos);
    // The unique tag keeps one record per code; the FOR tag's condition is
    // not implied; the descending tag is left alone.
    EXPECT_NE(Plan("WHERE code = 'NB94'").find("INDEX 0:recno"), std::string::npos);
    EXPECT_EQ(Plan("WHERE name = 'x' AND active = 1").find("NAMEFOR"), std::string::npos);
    EXPECT_EQ(Plan("ORDER BY name DESC").find("NAMEDESC"), std::string::npos);
    for (const char* name : {"", " Leading Blank", "  two leading", "zzz", "Smith", "smith"}) {
      Same("*", "WHERE name = " + Quoted(name));
      Same("name", "WHERE name >= " + Quoted(name) + " ORDER BY name LIMIT 30");
    }
    Same("name", "WHERE name LIKE 'a%'");
    Same("name", "WHERE name GLOB '*'");
    Same("name", "WHERE name LIKE '%'");
    Same("name", "ORDER BY name");
    Same("name", "ORDER BY name DESC");
    Same("code", "WHERE code = 'NB94'");
    Same("amount", "WHERE amount = 0");
    Same("amount", "WHERE amount = -0.01");
    Same("amount", "WHERE amount BETWEEN -1 AND 1 ORDER BY amount");
    Same("amount", "WHERE amount > 9999999 ORDER BY amount DESC");
    Same("amount", "WHERE amount < '5'");
    Same("amount", "WHERE amount < 'abc'");
    Same("amount", "ORDER BY amount");
    // Blank quantities and dates are NULL, which SQL sorts first; the tags
    // hold them with the zeros and among the dates. Their order is taken
    // from the tag only where a comparison leaves them out.
    Same("qty", "ORDER BY qty DESC");
    EXPECT_EQ(Plan("ORDER BY qty").find(":QTY"), std::string::npos);
    EXPECT_EQ(Plan("ORDER BY born").find(":BORN"), std::string::npos);
    EXPECT_NE(Plan("WHERE qty IS NOT NULL ORDER BY qty").find(":QTY"), std::string::npos);
    EXPECT_EQ(Plan("WHERE qty IS NOT NULL ORDER BY qty").find("TEMP B-TREE"), std::string::npos);
    Same("qty", "WHERE qty IS NOT NULL ORDER BY qty");
    Same("qty", "WHERE qty = 0");
    Same("qty", "WHERE qty IS NULL");
    Same("qty", "WHERE qty <= 10 ORDER BY qty");
    Same("qty", "WHERE qty >= -1 ORDER BY qty DESC");
    EXPECT_EQ(sql_.One("SELECT count(qty), avg(qty), count(born) FROM t WHERE qty >= 0"),
              sql_.One("SELECT count(qty), avg(qty), count(born) FROM n WHERE qty >= 0"));
    Same("born", "WHERE born = '2000-02-29'");
    Same("born", "WHERE born >= '1999-01-01' AND born < '2001-01-01' ORDER BY born DESC");
    Same("born", "WHERE born < '1900'");
    Same("born", "WHERE born IS NULL");
    // SQL compares the dates' texts: a bound of another form orders with
    // them otherwise than its date ('2000-12-31' < '20000101').
    Same("born", "WHERE born < '20000101'");
    Same("born", "WHERE born > 20000101");
    Same("born", "WHERE born <= '2000-02-29 ' ORDER BY born");
    Same("born", "WHERE born >= '2000-2-1'");
    Same("name", "WHERE name LIKE 'B%' AND rowid > 100");
  }
}

TEST_F(SqlTags, SingleIndexFilesAndVisualFoxProKeys) {
  sql_test::CopyFixture(testing_support::FixturePath("ntx"), dir_.path());
  Open(dir_ / "NTXT.DBF", ", index='AMOUNT.NTX,BORN.NTX,NAME.NTX,NAMEDESC.NTX,NAMEFOR.NTX,CODEUNIQ.NTX'");
  EXPECT_NE(Plan("WHERE name = 'x'").find(":NAME ="), std::string::npos);
  EXPECT_NE(Plan("WHERE born > '2000-01-01'").find(":BORN >"), std::string::npos);
  EXPECT_NE(Plan("WHERE amount < 0").find(":AMOUNT <"), std::string::npos);
  Same("name", "WHERE name LIKE 's%' ORDER BY name");
  Same("born", "WHERE born BETWEEN '1990-01-01' AND '1995-12-31' ORDER BY born");
  Same("amount", "WHERE amount >= -5.5 AND amount <= 1000 ORDER BY amount DESC");

  TempDir vfp;
  sql_test::CopyFixture(testing_support::FixturePath("vfp"), vfp.path());
  sql_.Ok("DROP TABLE n; DROP TABLE t");
  Open(vfp / "VFP.DBF");
  EXPECT_NE(Plan("WHERE id = 7").find(":ID ="), std::string::npos);
  EXPECT_NE(Plan("WHERE name = 'x'").find(":UPNAME ="), std::string::npos);
  Same("*", "WHERE id = 7");
  Same("id", "WHERE id BETWEEN 10 AND 20 ORDER BY id DESC");
  Same("price", "WHERE price > 100 ORDER BY price");
  Same("name", "WHERE name = (SELECT name FROM n WHERE rowid = 5)");
  Same("name", "WHERE name LIKE 'a%'");
  Same("name", "WHERE name GLOB 'A*'");
  // Date-times keyed as a day number and its fraction, compared in SQL as
  // their texts: bounds of that form are sought, others left to SQLite.
  EXPECT_NE(Plan("WHERE stamp > '2001-02-03T04:05:06'").find(":STAMP >"), std::string::npos);
  for (const char* where : {"WHERE stamp > '2001-02-03T04:05:06' ORDER BY stamp",
                            "WHERE stamp = (SELECT stamp FROM n WHERE rowid = 7)",
                            "WHERE stamp = (SELECT max(stamp) FROM n)",
                            "WHERE stamp < '2001-02-03 04:05:06' ORDER BY stamp DESC",
                            "WHERE stamp <= '1970-01-01T00:00:00.0009'", "WHERE stamp >= '2000-01-01'",
                            "WHERE stamp BETWEEN '1899-12-30' AND '1970-01-02T00:00' ORDER BY stamp"})
    Same("stamp", where);
}

// A logical keys as "T" or "F", a blank one as "F"; SQL reads the blank as
// NULL, which no comparison matches and ORDER BY puts first.
TEST_F(SqlTags, LogicalTagsAndTheirBlanks) {
  const std::string dbf = dir_ / "L.DBF";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 10}, {"ACTIVE", 'L'}});
  {
    tessera::KTO_dBHandler t(dbf, false, true);
    for (int i = 0; i < 200; ++i) {
      t.BlankRecord();
      t.PutTextN(1, "N" + std::to_string(i));
      t.StoreFieldText(t.Field(2), i % 4 == 0 ? "T" : i % 4 == 1 ? "F" : i % 4 == 2 ? " " : "?", t.RecordBuffer());
      t.AppendRecord();
    }
    t.CreateIndexTag("L.CDX", "ACT", "ACTIVE", "", tessera::kDuplicateKeys, 0);
  }
  Open(dbf);
  EXPECT_NE(Plan("WHERE active = 1").find(":ACT ="), std::string::npos);
  EXPECT_NE(Plan("WHERE active = 0").find(":ACT ="), std::string::npos);
  EXPECT_EQ(Plan("ORDER BY active").find(":ACT"), std::string::npos);
  EXPECT_NE(Plan("WHERE active IS NOT NULL ORDER BY active DESC").find(":ACT"), std::string::npos);
  for (const char* where : {"WHERE active = 1", "WHERE active = 0", "WHERE active = 2", "WHERE active = 'T'",
                            "WHERE active IS NULL", "WHERE active IN (0, 1)", "WHERE active > 0"})
    Same("*", where);
  Same("active", "ORDER BY active");
  Same("active", "WHERE active IS NOT NULL ORDER BY active DESC");
  EXPECT_EQ(sql_.One("SELECT count(*), count(active), sum(active) FROM t"), "i:200|i:100|i:50");
}

TEST_F(SqlTags, ForTagsServeQueriesThatImplyTheirCondition) {
  const std::string dbf = dir_ / "F.DBF";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 10}, {"KIND", 'C', 1}, {"ACTIVE", 'L'}});
  {
    tessera::KTO_dBHandler t(dbf, false, true);
    for (int i = 0; i < 300; ++i) {
      t.BlankRecord();
      t.PutTextN(1, "N" + std::to_string(i % 37));
      t.PutTextN(2, i % 3 == 0 ? "A" : "B");
      t.PutTextN(3, i % 2 == 0 ? "T" : "F");
      t.AppendRecord();
      if (i % 5 == 0) t.MarkDeleted();
    }
    t.CreateIndexTag("F.CDX", "LIVE", "NAME", ".NOT. DELETED()", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag("F.CDX", "ACT", "NAME", "ACTIVE", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag("F.CDX", "KINDA", "NAME", "KIND = \"A\"", tessera::kDuplicateKeys, 0);
  }
  Open(dbf);
  EXPECT_NE(Plan("WHERE name = 'N3'").find(":LIVE ="), std::string::npos);
  EXPECT_NE(Plan("WHERE name = 'N3' AND kind = 'A'").find(":KINDA ="), std::string::npos);
  Same("*", "WHERE name = 'N3'");
  Same("*", "WHERE name = 'N3' AND kind = 'A'");
  Same("*", "WHERE name = 'N3' AND active = 1");
  sql_.Ok("DROP TABLE n; DROP TABLE t");
  Open(dbf, ", deleted=show");
  EXPECT_EQ(Plan("WHERE name = 'N3'").find("LIVE"), std::string::npos);
  EXPECT_NE(Plan("WHERE name = 'N3' AND active = 1").find(":ACT ="), std::string::npos);
  EXPECT_EQ(Plan("WHERE name = 'N3' AND active = 0").find(":ACT"), std::string::npos);
  EXPECT_EQ(Plan("WHERE name = 'N3' AND kind = 'B'").find("KINDA"), std::string::npos);
  Same("*", "WHERE name = 'N3'");
  Same("*", "WHERE name = 'N3' AND active = 1");
  Same("*", "WHERE name = 'N3' AND active = 0");
  Same("*", "WHERE name = 'N3' AND kind = 'B'");
}

}  // namespace
