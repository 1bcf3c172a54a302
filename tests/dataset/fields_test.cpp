// The field definitions a table gives the dataset and the values that pass
// between the table's encodings and the framework's native ones: numbers by
// width and decimals, dates (none, invalid, 31 December 2001), logicals,
// FoxPro's binary fields, and field types the dataset does not show.
#include "dataset_test_util.h"
#include "dbkit/db_error.h"
#include "engine/dbf_create.h"
#include "platform/text_convert.h"
#include "engine/table_test_util.h"

namespace dataset_test {
namespace {

using dbkit::FieldType;

class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(dir_ / "KINDS.DBF", 0x03,
                         {{"SMALL", 'N', 4, 0},
                          {"BIG", 'N', 10, 0},
                          {"AMOUNT", 'N', 8, 2},
                          {"RATE", 'F', 6, 1},
                          {"BORN", 'D', 8, 0},
                          {"OK", 'L', 1, 0},
                          {"NAME", 'C', 12, 0}});
    tessera::KTO_dBHandler t(dir_ / "KINDS.DBF", false, true);
    const char* born[] = {"20011231", "00000000", "        ", "20010230", "2001123 "};
    for (int i = 0; i < 5; ++i) {
      t.BlankRecord();
      t.PutNumber("SMALL", 1000 + i);
      t.PutNumber("BIG", 1234567890 - i);
      t.PutNumber("AMOUNT", 12.25 + i);
      t.PutRaw("BORN", born[i]);
      t.PutLogical("OK", i % 2 == 0);
      t.PutText("NAME", "row" + std::to_string(i + 1));
      t.AppendRecord();
    }
  }
  void OpenKinds() {
    ds_.SetDatabaseName(dir_.path());
    ds_.SetTableName("KINDS");
    ds_.Open();
  }
  TempDir dir_;
  tessera::EngineScope engine_;
  tessera::TTesseraDataSet ds_;
};

TEST_F(FieldsTest, NumbersBecomeSmallIntegersIntegersOrFloats) {
  OpenKinds();
  const dbkit::FieldDefs& defs = ds_.GetFieldDefs();
  ASSERT_EQ(defs.Count(), 7);
  EXPECT_EQ(defs[0].type, FieldType::kSmallInt);
  EXPECT_EQ(defs[1].type, FieldType::kInteger);
  EXPECT_EQ(defs[2].type, FieldType::kFloat);
  EXPECT_EQ(defs[3].type, FieldType::kFloat);
  EXPECT_EQ(defs[4].type, FieldType::kDate);
  EXPECT_EQ(defs[5].type, FieldType::kBoolean);
  EXPECT_EQ(defs[6].type, FieldType::kString);
  EXPECT_EQ(defs[6].size, 12);
  EXPECT_EQ(ds_.FieldByName("SMALL")->AsInteger(), 1000);
  EXPECT_EQ(ds_.FieldByName("BIG")->AsInteger(), 1234567890);
  EXPECT_DOUBLE_EQ(ds_.FieldByName("AMOUNT")->AsFloat(), 12.25);
  EXPECT_TRUE(ds_.FieldByName("OK")->AsBoolean());
  ds_.Next();
  EXPECT_FALSE(ds_.FieldByName("OK")->AsBoolean());
  EXPECT_FALSE(ds_.FieldByName("OK")->IsNull());

  ds_.Edit();
  ds_.FieldByName("SMALL")->SetAsInteger(-999);
  ds_.FieldByName("AMOUNT")->SetAsFloat(3.14159);
  ds_.FieldByName("OK")->SetAsBoolean(true);
  ds_.Post();
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 2, "SMALL"), "-999");
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 2, "AMOUNT"), "    3.14");
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 2, "OK"), "T");
  // A number too wide for its field is the engine's error; nothing is
  // written.
  ds_.Edit();
  EXPECT_THROW(ds_.FieldByName("BIG")->SetAsFloat(1e12), std::runtime_error);
  ds_.Cancel();
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 2, "BIG"), "1234567889");
}

TEST_F(FieldsTest, DatesAreNullWhenEmptyOrInvalid) {
  OpenKinds();
  dbkit::Field* born = ds_.FieldByName("BORN");
  EXPECT_EQ(born->AsDateTime(), static_cast<double>(plat::SerialFromCivil({2001, 12, 31})));
  ds_.Next();
  EXPECT_TRUE(born->IsNull());  // "00000000"
  ds_.Next();
  EXPECT_TRUE(born->IsNull());  // blanks
  ds_.Next();
  EXPECT_TRUE(born->IsNull());  // 30 February
  ds_.Next();
  EXPECT_TRUE(born->IsNull());  // seven digits
  ds_.Edit();
  born->SetAsDateTime(static_cast<double>(plat::SerialFromCivil({1999, 1, 2})));
  ds_.Post();
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 5, "BORN"), "19990102");
  ds_.First();
  ds_.Edit();
  born->Clear();
  ds_.Post();
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 1, "BORN"), "        ");
}

TEST_F(FieldsTest, FoxProBinaryFieldsAndFieldsNotShown) {
  tessera::CreateTable(dir_ / "FOX.DBF", 0x30,
                       {{"ID", 'I', 0, 0}, {"STAMP", 'T', 0, 0}, {"PRICE", 'B', 0, 2}, {"CASH", 'Y', 0, 0},
                        {"NAME", 'C', 10, 0}});
  {
    tessera::KTO_dBHandler t(dir_ / "FOX.DBF", false, true);
    t.BlankRecord();
    t.PutNumber("ID", 42);
    t.PutText("STAMP", "20011231 12:30:00");
    t.PutNumber("PRICE", 2.5);
    t.PutText("NAME", "fox");
    t.AppendRecord();
    t.BlankRecord();
    t.AppendRecord();
  }
  ds_.SetDatabaseName(dir_.path());
  ds_.SetTableName("FOX.DBF");
  ds_.Open();
  const dbkit::FieldDefs& defs = ds_.GetFieldDefs();
  ASSERT_EQ(defs.Count(), 4);  // no CASH: currency has no field type here
  EXPECT_EQ(defs[0].type, FieldType::kInteger);
  EXPECT_EQ(defs[1].type, FieldType::kDateTime);
  EXPECT_EQ(defs[2].type, FieldType::kFloat);
  EXPECT_EQ(defs[3].name, "NAME");
  EXPECT_EQ(defs[3].field_no, 5);
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), "fox");
  EXPECT_EQ(ds_.FieldByName("ID")->AsInteger(), 42);
  EXPECT_DOUBLE_EQ(ds_.FieldByName("PRICE")->AsFloat(), 2.5);
  const double noon_and_a_half = static_cast<double>(plat::SerialFromCivil({2001, 12, 31})) + 12.5 / 24;
  EXPECT_NEAR(ds_.FieldByName("STAMP")->AsDateTime(), noon_and_a_half, 1e-6);
  ds_.Edit();
  ds_.FieldByName("STAMP")->SetAsDateTime(noon_and_a_half + 1);
  ds_.Post();
  EXPECT_NEAR(ds_.FieldByName("STAMP")->AsDateTime(), noon_and_a_half + 1, 1e-6);
  ds_.Next();
  EXPECT_TRUE(ds_.FieldByName("STAMP")->IsNull());
  EXPECT_EQ(ds_.FieldByName("ID")->AsInteger(), 0);
}

TEST_F(FieldsTest, TranslationCanBeTurnedOff) {
  OpenKinds();
  ds_.Edit();
  ds_.FieldByName("NAME")->SetAsString(Ansi("Щукин"));
  ds_.Post();
  EXPECT_EQ(StoredRaw(dir_ / "KINDS.DBF", 1, "NAME"), plat::Utf8ToOem("Щукин") + "       ");
  ds_.Close();
  ds_.SetTranslateASCII(false);
  ds_.Open();
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), plat::Utf8ToOem("Щукин"));
  char buf[16] = "\xD9";
  EXPECT_EQ(ds_.Translate(buf, buf, true), 1);
  EXPECT_EQ(buf[0], '\xD9');
}

// Texts are translated from the table's code page: the one its header
// names, or the dataset's CodePage.
TEST_F(FieldsTest, TextsComeFromTheTablesCodePage) {
  const std::string name = plat::Utf8ToAnsi("Щукин");  // the same bytes in CP1251
  for (uint8_t mark : {0xC9, 0x00}) {
    SCOPED_TRACE(mark);
    const std::string path = dir_ / "WIN.DBF";
    tessera::CreateTable(path, 0x03, {{"NAME", 'C', 10, 0}}, {0, true});
    {
      std::string bytes = testing_support::ReadFileBytes(path);
      bytes[29] = static_cast<char>(mark);
      testing_support::WriteFileBytes(path, bytes);
      tessera::KTO_dBHandler t(path, false, true);
      t.BlankRecord();
      t.PutText("NAME", name);
      t.AppendRecord();
    }
    tessera::TTesseraDataSet ds;
    ds.SetDatabaseName(dir_.path());
    ds.SetTableName("WIN");
    if (mark == 0) ds.SetCodePage(1251);  // no mark: the dataset names it
    ds.Open();
    EXPECT_EQ(ds.TableCodePage(), 1251);
    EXPECT_EQ(ds.FieldByName("NAME")->AsString(), name);
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString(plat::Utf8ToAnsi("Ёжиков"));
    ds.Post();
    ds.Close();
    EXPECT_EQ(StoredRaw(path, 1, "NAME"), plat::Utf8ToAnsi("Ёжиков") + "    ");
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace dataset_test
