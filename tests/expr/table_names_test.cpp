// Expressions over tables: field variables and table functions, checked
// against the keys an independent xBase implementation computed for the
// fixture indexes, and the callbook's keys over pyx-sample cards.
#include <gtest/gtest.h>

#include <set>

#include "engine/dbf_create.h"
#include "engine/dbf_date.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using tessera::ETesseraExpression;
using tessera::KTO_dBaseFld;
using tessera::TktExpHandler;
using tessera::TktExpValue;
using testing_support::FixturePath;

class TableNamesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tessera::EngineStart(); }

  // Evaluates `text` on record `recno` of `table`.
  static TktExpValue Eval(KTO_dBaseFld& table, const std::string& text, int32_t recno, uint8_t* type = nullptr) {
    TktExpHandler h(table.NameResolver(), false, text);
    table.GotoRecord(recno);
    TktExpValue v;
    h.Evaluate(v);
    if (type != nullptr) *type = h.ResultType();
    return v;
  }
};

// Every key of every fixture index whose key type this engine produces:
// the key expression evaluated on the key's record gives the same key.
TEST_F(TableNamesTest, FixtureIndexKeysMatchTheOtherImplementation) {
  int checked = 0;
  for (const char* case_name : {"callbook", "cdx-types", "ntx", "vfp"}) {
    for (const auto& expected : testing_support::ReadExpected(case_name)) {
      KTO_dBaseFld table(FixturePath(std::string(case_name) + "/" + expected.items.at("table")), true, false);
      for (const auto& order : expected.orders) {
        const std::string key_type = order.items.at("key_type");
        if (key_type == "T") continue;  // date-times are raw fields here
        const std::string& expr_text = order.items.at("key_expr");
        SCOPED_TRACE(std::string(case_name) + " " + order.items.at("tag") + " " + expr_text);
        TktExpHandler key(table.NameResolver(), false, expr_text);
        const size_t key_size = std::stoul(order.items.at("key_size"));
        TktExpValue v;
        for (const auto& k : order.keys) {
          table.GotoRecord(k.recno);
          key.Evaluate(v);
          if (key_type == "C") {
            ASSERT_EQ(key.ResultType(), tessera::kExpText);
            std::string want = testing_support::FromHex(k.key);
            want.resize(key_size, ' ');
            ASSERT_EQ(v.Text(), want) << "record " << k.recno;
          } else if (key_type == "N") {
            ASSERT_EQ(key.ResultType(), tessera::kExpNumber);
            ASSERT_EQ(v.AsReal(), plat::TextToFloat(k.key)) << "record " << k.recno;
          } else {
            ASSERT_EQ(key.ResultType(), tessera::kExpDate);
            const std::string want = k.key == "-" ? std::string(8, ' ') : k.key;
            ASSERT_EQ(tessera::EngineDate().StorageText(static_cast<int32_t>(v.AsReal())), want) << "record " << k.recno;
          }
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 70000);
}

// The FOR condition "ACTIVE .AND. QTY > 0" of the other implementation reads
// (ACTIVE .AND. QTY) > 0 here, where ".AND." binds tighter than ">"; with
// parentheses it selects exactly the records of that index.
TEST_F(TableNamesTest, ForConditionNeedsParenthesesInThisLanguage) {
  for (const char* case_name : {"cdx-types", "ntx"}) {
    for (const auto& expected : testing_support::ReadExpected(case_name)) {
      KTO_dBaseFld table(FixturePath(std::string(case_name) + "/" + expected.items.at("table")), true, false);
      for (const auto& order : expected.orders) {
        if (order.items.at("for_expr") == "-") continue;
        TktExpHandler as_written(table.NameResolver(), false, order.items.at("for_expr"));
        TktExpValue v;
        table.GotoRecord(1);
        try {
          as_written.Evaluate(v);
          FAIL() << "evaluated";
        } catch (const ETesseraExpression& e) {
          EXPECT_STREQ(e.what(), "The two sides of an operation do not match");
        }
        TktExpHandler condition(table.NameResolver(), false, "ACTIVE .AND. (QTY > 0)");
        std::set<int> selected, indexed;
        for (int32_t r = 1; r <= table.RecordCount(); ++r) {
          table.GotoRecord(r);
          condition.Evaluate(v);
          ASSERT_EQ(condition.ResultType(), tessera::kExpLogical);
          if (v.AsLogical()) selected.insert(r);
        }
        for (const auto& k : order.keys) indexed.insert(k.recno);
        EXPECT_EQ(selected, indexed) << case_name;
        EXPECT_EQ(selected.size(), std::stoul(order.items.at("key_count")));
      }
    }
  }
}

TEST_F(TableNamesTest, FieldVariablesByType) {
  KTO_dBaseFld types(FixturePath("cdx-types/TYPES.DBF"), true, false);
  const auto expected = testing_support::ReadExpected("cdx-types").at(0);
  uint8_t type = 0;
  int blank_dates = 0;
  for (const auto& rec : expected.records) {
    if (rec.recno > 400) break;
    SCOPED_TRACE(rec.recno);
    // ID N(7), NAME C(20), CODE, AMOUNT N(12,2), QTY, RATE, BIG, BORN D, ACTIVE L
    TktExpValue v = Eval(types, "AMOUNT", rec.recno, &type);
    EXPECT_EQ(type, tessera::kExpNumber);
    EXPECT_EQ(v.AsReal(), plat::TextToFloat(rec.values[3]));
    v = Eval(types, "BORN", rec.recno, &type);
    EXPECT_EQ(type, tessera::kExpDate);
    EXPECT_EQ(tessera::EngineDate().StorageText(static_cast<int32_t>(v.AsReal())),
              rec.values[7] == "-" ? std::string(8, ' ') : rec.values[7]);
    if (rec.values[7] == "-") {
      ++blank_dates;
      EXPECT_EQ(v.AsReal(), 0);
      EXPECT_TRUE(Eval(types, "EMPTY(BORN)", rec.recno).AsLogical());
    }
    v = Eval(types, "ACTIVE", rec.recno, &type);
    EXPECT_EQ(type, tessera::kExpLogical);
    EXPECT_EQ(v.AsLogical(), rec.values[8] == "T");
    v = Eval(types, "NAME", rec.recno, &type);
    EXPECT_EQ(type, tessera::kExpText);
    EXPECT_EQ(v.Text().size(), 20u);
  }
  EXPECT_GT(blank_dates, 0) << "the sample should include blank dates";

  // Visual FoxPro binary fields: integers, currency and doubles are numbers,
  // date-times stay raw fields, memos are their text.
  KTO_dBaseFld vfp(FixturePath("vfp/VFP.DBF"), true, false);
  const auto vexp = testing_support::ReadExpected("vfp").at(0);
  for (int r : {1, 2, 50, 400}) {
    const auto& rec = vexp.records.at(static_cast<size_t>(r - 1));
    EXPECT_EQ(Eval(vfp, "ID", r, &type).AsReal(), std::stod(rec.values[0]));
    EXPECT_EQ(type, tessera::kExpNumber);
    EXPECT_EQ(Eval(vfp, "PRICE", r, &type).AsReal(), std::stod(rec.values[3]));
    EXPECT_EQ(Eval(vfp, "RATIO", r, &type).AsReal(), vfp.GetNumberN(5));
    EXPECT_EQ(type, tessera::kExpNumber);
    EXPECT_EQ(Eval(vfp, "STAMP", r, &type).Text(), vfp.GetRawN(3));
    EXPECT_EQ(type, tessera::kExpRawField);
    const TktExpValue notes = Eval(vfp, "NOTES", r, &type);
    EXPECT_EQ(type, tessera::kExpText);
    EXPECT_EQ(notes.Text(), vfp.MemoText(6));
  }
}

TEST_F(TableNamesTest, MemoTextEndsAtAZeroByte) {
  testing_support::TempDir dir;
  const std::string path = dir / "NOTES.DBF";
  tessera::CreateTable(path, 0x83, {{"ID", 'N', 3, 0}, {"NOTES", 'M', 0, 0}});
  KTO_dBaseFld t(path, false, true);
  const std::string memos[] = {std::string(), std::string("AB\0CD", 5), "plain text"};
  for (const std::string& memo : memos) {
    t.BlankRecord();
    int32_t size = static_cast<int32_t>(memo.size());
    t.MemoWrite(2, memo.data(), &size);
    t.AppendRecord();
  }
  uint8_t type = 0;
  EXPECT_EQ(Eval(t, "NOTES", 1, &type).Text(), "");
  EXPECT_EQ(type, tessera::kExpText);
  EXPECT_EQ(Eval(t, "NOTES", 2).Text(), "AB");
  EXPECT_EQ(Eval(t, "NOTES + '|'", 3).Text(), "plain text|");
  EXPECT_EQ(Eval(t, "LEN(NOTES)", 3).AsReal(), 10);
}

TEST_F(TableNamesTest, WideCharacterFieldsKeepTheirWidth) {
  testing_support::TempDir dir;
  const std::string path = dir / "WIDE.DBF";
  tessera::CreateTable(path, 0x03, {{"WIDE", 'C', 272, 0}, {"SHORT", 'C', 3, 0}});
  KTO_dBaseFld t(path, false, true);
  t.BlankRecord();
  t.PutTextN(1, "wide");
  t.AppendRecord();
  auto* var = t.NameResolver()->FindFieldVar("WIDE");
  ASSERT_NE(var, nullptr);
  EXPECT_EQ(var->Width(), 272);
  EXPECT_EQ(var->VarClass(), 17);
  const TktExpValue v = Eval(t, "WIDE + SHORT", 1);
  EXPECT_EQ(v.Text().size(), 275u);
  EXPECT_EQ(v.Text().substr(0, 5), "wide ");
}

TEST_F(TableNamesTest, TableFunctionsOnDeletedRecordsAndAtBothEnds) {
  KTO_dBaseFld t(FixturePath("callbook/Pyx.DBF"), true, false);
  const auto expected = testing_support::ReadExpected("callbook").at(0);
  TktExpHandler deleted(t.NameResolver(), false, "DELETED()");
  TktExpHandler recno(t.NameResolver(), false, "RECNO()");
  TktExpValue v;
  int deleted_count = 0;
  for (const auto& rec : expected.records) {
    t.GotoRecord(rec.recno);
    deleted.Evaluate(v);
    ASSERT_EQ(v.AsLogical(), rec.deleted) << rec.recno;
    deleted_count += rec.deleted;
    recno.Evaluate(v);
    ASSERT_EQ(v.AsReal(), rec.recno);
  }
  EXPECT_EQ(deleted_count, 7);
  EXPECT_FALSE(Eval(t, "DELETED()", 2).AsLogical()) << "deleted and recalled";

  TktExpHandler ends(t.NameResolver(), false, "IIF(BOF(), 'B', '-') + IIF(EOF(), 'E', '-')");
  t.GotoRecord(1);
  ends.Evaluate(v);
  EXPECT_EQ(v.Text(), "--");
  t.GotoRecord(tessera::kMovePrior);
  ends.Evaluate(v);
  EXPECT_EQ(v.Text(), "B-");
  t.GotoRecord(tessera::kMoveLast);
  ends.Evaluate(v);
  EXPECT_EQ(v.Text(), "--");
  t.GotoRecord(tessera::kMoveNext);
  ends.Evaluate(v);
  EXPECT_EQ(v.Text(), "-E");
  recno.Evaluate(v);
  EXPECT_EQ(v.AsReal(), 3000) << "the last record read stays current";
  // Arguments of functions without arguments are compiled, not evaluated.
  EXPECT_EQ(Eval(t, "RECNO(1 / 0)", 5).AsReal(), 5);
}

TEST_F(TableNamesTest, TypeFieldNoAndNames) {
  KTO_dBaseFld t(FixturePath("callbook/Pyx.DBF"), true, false);
  uint8_t type = 0;
  EXPECT_EQ(Eval(t, "TYPE('CALL_')", 1, &type).Text(), "C");
  EXPECT_EQ(type, tessera::kExpText);
  EXPECT_EQ(Eval(t, "TYPE('url_ ')", 1).Text(), "C");
  EXPECT_EQ(Eval(t, "FIELDNO('CALL_')", 1, &type).AsReal(), 1);
  EXPECT_EQ(type, tessera::kExpNumber);
  EXPECT_EQ(Eval(t, "FIELDNO('url_')", 1).AsReal(), 13);
  EXPECT_EQ(Eval(t, "FIELDNO('NOPE')", 1).AsReal(), 0);
  try {
    Eval(t, "TYPE('NOPE')", 1);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()), "dBase field name is invalid - " + t.FileName() + "->NOPE");
  }
  EXPECT_THROW(Eval(t, "TYPE(1)", 1), ETesseraExpression);
  // LEN of the text "CALL_" is the built-in LEN of that text.
  EXPECT_EQ(Eval(t, "LEN('CALL_')", 1).AsReal(), 5);
  EXPECT_EQ(Eval(t, "LEN(CALL_)", 1).AsReal(), 10);
  EXPECT_EQ(Eval(t, "Pyx.CALL_", 1001).Text(), "QZ6ZZZ    ");
  EXPECT_EQ(Eval(t, "CALL_", 1001).Text(), "QZ6ZZZ    ");
  // Clipper's and FoxPro's work-area arrows: FIELD, _FIELD and the table's
  // own alias, its file name.
  EXPECT_EQ(Eval(t, "FIELD->CALL_ + pyx->IM_", 1001).Text(), t.GetRaw("CALL_") + t.GetRaw("IM_"));
  EXPECT_EQ(Eval(t, "UPPER(_FIELD->call_)", 1001).Text(), "QZ6ZZZ    ");
  EXPECT_THROW(Eval(t, "CUST->CALL_", 1001), ETesseraExpression);
  TktExpHandler h(t.NameResolver());
  for (const char* bad : {"NOPE", "NOPE()", "CALL_ + NOPE(1)"}) {
    try {
      h.Compile(bad);
      FAIL() << bad;
    } catch (const ETesseraExpression& e) {
      EXPECT_STREQ(e.what(), "There is no function for NOPE");
    }
  }
  h.Compile("FAM_+IM_+OTCH_");
  EXPECT_EQ(h.ListVars(17), "FAM_;IM_;OTCH_;");
  EXPECT_EQ(h.ListVars(16), "");
}

// A file name that is no name (ntx-char.dbf) gives the alias its writers
// used, each other character as "_" (ntx_char).
TEST_F(TableNamesTest, AliasOfAFileNameWithOtherCharacters) {
  testing_support::TempDir dir;
  tessera::CreateTable(dir / "ntx-char.dbf", 0x03, {{"V1", 'C', 4, 0}});
  KTO_dBaseFld t(dir / "ntx-char.dbf", true, true);
  t.BlankRecord();
  t.PutTextN(1, "ABCD");
  t.AppendRecord();
  EXPECT_EQ(Eval(t, "ntx_char->v1", 1).Text(), "ABCD");
  EXPECT_THROW(Eval(t, "ntx->v1", 1), ETesseraExpression);
}

// The callbook's eleven keys over pyx-sample cards: each is its fields'
// texts joined with their trailing blanks, as wide as the fields together.
TEST_F(TableNamesTest, CallbookKeysOverSampleCards) {
  testing_support::TempDir dir;
  pyx_sample::WriteSampleTable(dir.path(), 3000, 42, false);
  KTO_dBaseFld t(dir / "Pyx.DBF", true, false);
  const std::vector<std::vector<std::string>> keys = {
      {"FAM_", "IM_", "OTCH_"}, {"IM_", "FAM_", "OTCH_"}, {"OTCH_", "FAM_", "IM_"}, {"CALL_"}, {"REG_"}, {"GOR_"},
      {"STRANA_"}, {"IND_"}, {"TEL_"}, {"EMAIL_"}, {"URL_"}};
  std::vector<std::unique_ptr<TktExpHandler>> handlers;
  for (const auto& fields : keys) {
    std::string text;
    for (const auto& f : fields) text += (text.empty() ? "" : "+") + f;
    handlers.push_back(std::make_unique<TktExpHandler>(t.NameResolver(), false, text));
  }
  TktExpHandler moscow(t.NameResolver(), false, plat::Utf8ToOem("(UPPER(GOR_) = 'МОСКВА') .AND. (.NOT. DELETED())"));
  const std::string moscow_oem = plat::Utf8ToOem("МОСКВА");
  int qz = 0, in_moscow = 0, counted_moscow = 0;
  TktExpValue v;
  for (int32_t r = 1; r <= t.RecordCount(); ++r) {
    t.GotoRecord(r);
    for (size_t i = 0; i < keys.size(); ++i) {
      std::string want;
      for (const auto& f : keys[i]) want += t.GetRaw(f);
      handlers[i]->Evaluate(v);
      ASSERT_EQ(v.Text(), want) << r << " " << keys[i][0];
    }
    handlers[3]->Evaluate(v);
    qz += v.Text() == "QZ6ZZZ    ";
    moscow.Evaluate(v);
    in_moscow += v.AsLogical();
    counted_moscow += plat::UpperText(tessera::TrimRightText(t.GetRaw("GOR_"))) == moscow_oem;
  }
  EXPECT_EQ(qz, 1);
  EXPECT_EQ(in_moscow, counted_moscow);
  EXPECT_GT(in_moscow, 0);
  TktExpValue key;
  t.GotoRecord(1);
  handlers[0]->Evaluate(key);
  EXPECT_EQ(key.Text().size(), 55u);
}

}  // namespace
