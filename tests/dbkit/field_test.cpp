// Field objects: conversions of each type, code pages of text fields,
// validation and change hooks, memo values through the blob stream.
#include <gtest/gtest.h>

#include "dbkit/db_error.h"
#include "dbkit/field_types.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "support/memory_data_set.h"

namespace {

using testing_support::MemoryDataSet;

class FieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetShortDateFormat("dd.MM.yyyy");
    ds.Open();
    ds.Edit();
  }
  dbkit::Field* F(const char* name) { return ds.FieldByName(name); }
  std::string ErrorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const dbkit::DatabaseError& e) {
      return e.what();
    }
    return "";
  }

  MemoryDataSet ds{10};
};

TEST_F(FieldTest, TextCrossesCodePagesAndMustFit) {
  // Stored in the OEM code page, shown in the ANSI one.
  EXPECT_EQ(F("CITY")->AsString(), plat::Utf8ToAnsi("Тверь"));
  const std::string ansi = plat::Utf8ToAnsi("Ёлкино");
  F("CITY")->SetAsString(ansi);
  EXPECT_EQ(F("CITY")->AsString(), ansi);
  ds.Post();
  EXPECT_EQ(F("CITY")->AsString(), ansi);
  ds.Edit();

  F("NAME")->SetAsString(std::string(20, 'X'));
  EXPECT_EQ(F("NAME")->AsString().size(), 20u);
  EXPECT_EQ(ErrorOf([&] { F("NAME")->SetAsString(std::string(21, 'Y')); }),
            "Text 'YYYYYYYYYYYYYYYYYYYYY' is too long for field 'NAME' (at most 20 characters)");
  EXPECT_EQ(F("NAME")->AsString(), std::string(20, 'X'));
  F("NAME")->SetAsString("");
  EXPECT_TRUE(F("NAME")->IsNull());
  F("NAME")->SetAsInteger(42);
  EXPECT_EQ(F("NAME")->AsInteger(), 42);
  EXPECT_THROW(F("CITY")->AsInteger(), dbkit::DatabaseError);
  EXPECT_EQ(F("NAME")->DataSize(), 21);
  EXPECT_EQ(F("NAME")->DisplayWidth(), 20);
}

TEST_F(FieldTest, IntegersParseAndStayInRange) {
  F("ID")->SetAsString(" 123 ");
  EXPECT_EQ(F("ID")->AsInteger(), 123);
  EXPECT_EQ(F("ID")->AsString(), "123");
  EXPECT_EQ(ErrorOf([&] { F("ID")->SetAsString("12a"); }), "'12a' is not a valid integer value for field 'ID'");
  EXPECT_EQ(ErrorOf([&] { F("QTY")->SetAsInteger(40000); }),
            "40000 is not a valid value for field 'QTY'. The allowed range is -32768 to 32767");
  F("QTY")->SetAsFloat(12.6);
  EXPECT_EQ(F("QTY")->AsInteger(), 13);
  static_cast<dbkit::IntegerField*>(F("QTY"))->SetRange(0, 99);
  EXPECT_THROW(F("QTY")->SetAsInteger(100), dbkit::DatabaseError);
  F("ID")->SetAsString("");
  EXPECT_TRUE(F("ID")->IsNull());
  EXPECT_TRUE(F("ID")->AsValue().IsNull());
  EXPECT_THROW(F("ID")->AsBoolean(), dbkit::DatabaseError);
}

TEST_F(FieldTest, FloatsBooleansAndDates) {
  F("AMOUNT")->SetAsString("12.25");
  EXPECT_DOUBLE_EQ(F("AMOUNT")->AsFloat(), 12.25);
  EXPECT_EQ(F("AMOUNT")->AsString(), "12.25");
  EXPECT_EQ(F("AMOUNT")->AsInteger(), 12);
  EXPECT_THROW(F("AMOUNT")->SetAsString("1,5"), dbkit::DatabaseError);

  EXPECT_EQ(F("ACTIVE")->AsString(), "False");  // record 1
  F("ACTIVE")->SetAsString("t");
  EXPECT_TRUE(F("ACTIVE")->AsBoolean());
  EXPECT_THROW(F("ACTIVE")->SetAsString("maybe"), dbkit::DatabaseError);
  static_cast<dbkit::BooleanField*>(F("ACTIVE"))->SetDisplayValues("Yes;No");
  F("ACTIVE")->SetAsString("n");
  EXPECT_EQ(F("ACTIVE")->AsString(), "No");

  EXPECT_EQ(F("BORN")->AsString(), "02.01.1970");
  F("BORN")->SetAsString("31.12.2001");
  EXPECT_DOUBLE_EQ(F("BORN")->AsDateTime(), static_cast<double>(plat::SerialFromCivil({2001, 12, 31})));
  F("BORN")->SetAsDateTime(plat::SerialFromCivil({2002, 1, 5}) + 0.75);  // the time is dropped
  EXPECT_EQ(F("BORN")->AsString(), "05.01.2002");
  EXPECT_EQ(ErrorOf([&] { F("BORN")->SetAsString("31.02.2001"); }),
            "'31.02.2001' is not a valid date and time for field 'BORN'");
  EXPECT_EQ(F("BORN")->AsValue().kind(), dbkit::Value::Kind::kDateTime);
}

TEST_F(FieldTest, ValidationSeesTheNewValueAndCanRefuseIt) {
  std::string seen;
  F("NAME")->OnValidate = [&](dbkit::Field& f) {
    seen = f.AsString();
    if (seen == "BAD") throw dbkit::DatabaseError("No bad names");
  };
  int changes = 0;
  F("NAME")->OnChange = [&](dbkit::Field&) { ++changes; };
  F("NAME")->SetAsString("GOOD");
  EXPECT_EQ(seen, "GOOD");
  EXPECT_EQ(changes, 1);
  EXPECT_THROW(F("NAME")->SetAsString("BAD"), dbkit::DatabaseError);
  EXPECT_EQ(F("NAME")->AsString(), "GOOD");
  EXPECT_EQ(changes, 1);
  F("NAME")->Clear();
  EXPECT_EQ(seen, "");
  EXPECT_TRUE(F("NAME")->IsNull());
}

TEST_F(FieldTest, MemoValuesGoThroughTheStream) {
  dbkit::Field* note = F("NOTE");
  EXPECT_TRUE(note->IsNull());
  EXPECT_EQ(note->DisplayText(), "(memo)");
  note->SetAsString("first line\nsecond line");
  EXPECT_EQ(note->DisplayText(), "(MEMO)");
  ds.Post();
  EXPECT_EQ(note->AsString(), "first line\nsecond line");
  EXPECT_THROW(note->SetAsString("not editing"), dbkit::DatabaseError);
  ds.Edit();
  auto stream = ds.CreateBlobStream(note, dbkit::BlobStreamMode::kReadWrite);
  EXPECT_EQ(stream->Size(), 22);
  stream->Seek(5, dbkit::SeekOrigin::kBegin);
  stream->Write("!", 1);
  stream->Close();
  EXPECT_EQ(note->AsString(), "first!");
  ds.Cancel();
  EXPECT_EQ(note->AsString(), "first line\nsecond line");
}

TEST_F(FieldTest, LabelsAndValues) {
  F("NAME")->SetDisplayLabel("Name");
  EXPECT_EQ(F("NAME")->DisplayName(), "Name");
  EXPECT_EQ(F("ID")->DisplayName(), "ID");
  EXPECT_EQ(F("ID")->Index(), 0);
  EXPECT_EQ(F("ID")->AsValue(), dbkit::Value(1));
  F("ID")->SetAsValue(dbkit::Value(7.0));
  EXPECT_EQ(F("ID")->AsInteger(), 7);
  F("AMOUNT")->SetAsValue(dbkit::Value("2.5"));
  EXPECT_DOUBLE_EQ(F("AMOUNT")->AsFloat(), 2.5);
  EXPECT_THROW(F("ID")->SetKind(dbkit::FieldKind::kCalculated), dbkit::DatabaseError);  // open
  EXPECT_EQ(dbkit::FormatMessage("a %s b %s", {"1", "2"}), "a 1 b 2");
}

}  // namespace
