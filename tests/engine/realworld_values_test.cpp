// Values of tables other programs wrote, read where they lie: as their
// writers show them, with the code pages their headers name.
#include <gtest/gtest.h>

#include <map>

#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "platform/text_convert.h"
#include "support/realworld.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::RealWorld;

class RealWorldValues : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = plat::ShortDateFormat();
    plat::SetShortDateFormat("yyyy-MM-dd");
  }
  void TearDown() override { plat::SetShortDateFormat(saved_); }
  tessera::EngineScope engine_;
  std::string saved_;
};

TEST_F(RealWorldValues, DateTimesShowTheSecondTheirWriterShows) {
  PYX_NEED_REALWORLD();
  // The writer kept its own text of the time beside the date-time: the
  // stored 34209999 ms are 09:30:10, not 09:30:09.
  KTO_dBaseFld t(RealWorld("javadbf/testfile.dbf"), true, false);
  ASSERT_EQ(t.RecordCount(), 13);
  for (int32_t r = 1; r <= t.RecordCount(); ++r) {
    t.GotoRecord(r);
    const std::string shown = t.GetText("D_START");
    EXPECT_EQ(shown.substr(11), t.GetText("TM_START")) << r;
  }
  t.GotoRecord(1);
  EXPECT_EQ(static_cast<int64_t>(t.GetNumberN(8)) % 86400000, 34209999);
  EXPECT_TRUE(t.IsNull(11));  // D_FLAG
}

TEST_F(RealWorldValues, CharacterFieldsKeepTheBytesAfterANul) {
  PYX_NEED_REALWORLD();
  KTO_dBaseFld t(RealWorld("s7/BAUSTEIN.DBF"), true, false);
  int with_nul = 0;
  for (int32_t r = 1; r <= t.RecordCount(); ++r) {
    t.GotoRecord(r);
    for (int f = 1; f <= t.FieldCount(); ++f) {
      if (t.Field(f).type != 'C') continue;
      const std::string text = t.GetTextN(f);
      const size_t nul = text.find('\0');
      if (nul == std::string::npos) continue;
      ++with_nul;
      // Nothing after the NUL is lost; only trailing blanks and NULs go.
      const std::string bytes(t.RecordBytes() + t.Field(f).offset, static_cast<size_t>(t.Field(f).Width()));
      EXPECT_EQ(bytes.substr(0, text.size()), text);
      EXPECT_EQ(bytes.find_first_not_of(std::string(" \0", 2), text.size()), std::string::npos);
    }
  }
  EXPECT_EQ(with_nul, 11);
}

TEST_F(RealWorldValues, HeadersNameTheirCodePages) {
  PYX_NEED_REALWORLD();
  const std::map<std::string, int> code_pages = {
      {"rubydbf/cp1251.dbf", 1251},      {"rubydbf/mazovia.dbf", 620},     {"rubydbf/dbase_31.dbf", 1252},
      {"phpxbase/issue115.dbf", 1250},   {"rubydbf/dbase_03_cyrillic.dbf", 866},  // 0xF0 is no known mark
      {"perlxbase/test.dbf", 866},       {"javadbf/inventory.dbf", 437},
  };
  for (const auto& [name, cp] : code_pages) {
    KTO_dBaseFld t(RealWorld(name), true, false);
    EXPECT_EQ(t.TextCodePage(), cp) << name;
    t.SetTextCodePage(1252);
    EXPECT_EQ(t.TextCodePage(), 1252);
  }
}

TEST_F(RealWorldValues, DBase7AndDBase2TablesRead) {
  PYX_NEED_REALWORLD();
  KTO_dBaseFld inventory(RealWorld("javadbf/inventory.dbf"), true, false);
  ASSERT_EQ(inventory.FieldCount(), 6);
  EXPECT_EQ(inventory.Field(1).Name(), "Item ID");
  inventory.GotoRecord(1);
  EXPECT_EQ(inventory.GetText("Item ID"), "1");
  EXPECT_EQ(inventory.GetText("Supplier ID"), "1");
  EXPECT_EQ(inventory.GetText("Description"), "Dartboard");
  EXPECT_EQ(inventory.GetText("Qty"), "53");
  inventory.GotoRecord(12);
  EXPECT_EQ(inventory.GetText("Item ID"), "12");

  KTO_dBaseFld fish(RealWorld("rubydbf/dbase_8c.dbf"), true, false);
  fish.GotoRecord(2);
  EXPECT_EQ(fish.GetText("ID"), "2");
  EXPECT_EQ(fish.GetText("Name"), "Giant Maori Wrasse");
  EXPECT_EQ(fish.GetNumber("Length CM"), 228);

  KTO_dBaseFld employees(RealWorld("rubydbf/dbase_02.dbf"), true, false);
  ASSERT_EQ(employees.RecordCount(), 9);
  employees.GotoRecord(1);
  EXPECT_EQ(employees.GetText("LAST"), "Stegman");
  EXPECT_EQ(employees.GetText("FIRST"), "Joe");
  EXPECT_EQ(employees.GetText("HIREDATE"), "07/31/82");
  EXPECT_EQ(employees.GetNumber("PAYRATE"), 6);
}

}  // namespace
