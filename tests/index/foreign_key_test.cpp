// Key forms and expressions of other programs' index files: Visual FoxPro's
// integers and date-times in compound indexes, date-time search texts, and
// a tag whose expression this engine cannot compile beside tags it can.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/cdx_tag.h"
#include "index/key_text.h"
#include "index/ntx_file.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::FileBytes;
using testing_support::TempDir;

std::string Hex(std::string_view b) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : b) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

TEST(ForeignKeys, VisualFoxProIntegersSortAsTheirBytes) {
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(1)), "80000001");
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(-1)), "7fffffff");
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(0)), "80") << "trailing zero bytes are not stored";
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(256)), "800001");
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(2147483647)), "ffffffff");
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(-2147483648.0)), "00");
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(5.9)), "80000005") << "whole numbers";
  EXPECT_EQ(Hex(tessera::EncodeVfpInteger(1e12)), "ffffffff") << "within the 32-bit range";
  // Keys compare as bytes, a shorter key as if padded with zeros: the
  // order is the numbers' order.
  std::vector<double> values = {-2147483648.0, -65536, -256, -255, -1, 0, 1, 255, 256, 65535, 65536, 2147483647};
  for (size_t i = 1; i < values.size(); ++i) {
    std::string a = tessera::EncodeVfpInteger(values[i - 1]), b = tessera::EncodeVfpInteger(values[i]);
    a.resize(4, '\0');
    b.resize(4, '\0');
    EXPECT_LT(a, b) << values[i - 1] << " " << values[i];
  }
}

TEST(ForeignKeys, DateTimesAreDayNumbersAndFractions) {
  // Day number 2460341 (31 January 2024), 12:30:00.500.
  const char raw[8] = {static_cast<char>(0xB5), static_cast<char>(0x8A), 0x25, 0, 0x34, static_cast<char>(0xA7), static_cast<char>(0xAE), 0x02};
  EXPECT_DOUBLE_EQ(tessera::VfpDateTimeNumber(raw), 2460341 + 45000500 / 86400000.0);
  const char empty[8] = {};
  EXPECT_EQ(tessera::VfpDateTimeNumber(empty), 0);
}

TEST(ForeignKeys, DateTimeSearchTexts) {
  tessera::EngineScope engine;
  TempDir dir;
  tessera::CreateTable(dir / "t.dbf", 0x03, {{"D", 'D', 8, 0}});
  KTO_dBHandler t(dir / "t.dbf", true, true);
  t.BlankRecord();
  t.AppendRecord();
  tessera::KTobjCDXFile f(&t, dir / "t.cdx", false, true, true, true);
  ASSERT_TRUE(f.CreateTag("D", "D", false, true, ""));
  const tessera::KTobjIndexTag& tag = *f.FindTag("D");
  const double day = tessera::KeyTextDate(tag, "20240131");
  EXPECT_DOUBLE_EQ(tessera::KeyTextDateTime(tag, "20240131"), day);
  EXPECT_DOUBLE_EQ(tessera::KeyTextDateTime(tag, "20240131 12:30:00"), day + 0.5208333333333334);
  EXPECT_DOUBLE_EQ(tessera::KeyTextDateTime(tag, "20240131T12:30"), day + 0.5208333333333334);
  EXPECT_DOUBLE_EQ(tessera::KeyTextDateTime(tag, "20240131123000"), day + 0.5208333333333334);
  EXPECT_DOUBLE_EQ(tessera::KeyTextDateTime(tag, "20240131 23:59:59.5"), day + 86399.5 / 86400);
  EXPECT_EQ(tessera::KeyTextDateTime(tag, ""), 0);
  for (const char* bad : {"20240131 25:00", "20240131 12:61", "20240131 12:30:00x", "20240131 ab", "notadate 12:00"})
    EXPECT_THROW(tessera::KeyTextDateTime(tag, bad), tessera::ETesseraError) << bad;
}

// The FOR condition of USUAL as other programs write it (the usual xBase
// precedence, and a .NOT. right after .AND.).
constexpr const char* kUsual = "OK .AND. QTY > 0 .OR. QTY = 4 .AND. .NOT. OK";

// A compound index whose tags other programs wrote: one over a field this
// table lacks (its expression cannot be compiled here), one in the usual
// xBase precedence, one of this engine's own. The tags are built with
// expressions of the same meaning in this engine's precedence and then
// given the others' in their headers.
class ForeignTagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(dbf_, 0x03, {{"NAME", 'C', 10, 0}, {"QTY", 'N', 5, 0}, {"OK", 'L', 1, 0}});
    KTO_dBHandler t(dbf_, true, true);
    for (int i = 0; i < 300; ++i) {
      t.BlankRecord();
      t.PutText("NAME", "N" + std::to_string(i * 7 % 300));
      t.PutNumber("QTY", i % 5);
      t.PutLogical("OK", i % 3 != 0);
      t.AppendRecord();
    }
    tessera::KTobjCDXFile f(&t, cdx_, false, true, true, true);
    ASSERT_TRUE(f.CreateTag("NAME", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("GONE", "NAME", false, true, ""));
    ASSERT_TRUE(f.CreateTag("USUAL", "NAME", false, true, "(OK .AND. (QTY > 0)) .OR. ((QTY = 4) .AND. (.NOT. OK))"));
    gone_header_ = static_cast<size_t>(f.FindTag("GONE")->HeaderOffset());
    usual_header_ = static_cast<size_t>(f.FindTag("USUAL")->HeaderOffset());
  }
  // Puts `key` and `cond` as a tag's expressions into its header.
  void SetExpressions(size_t header, const std::string& key, const std::string& cond) {
    std::string b = FileBytes(cdx_);
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(header + 512), b.begin() + static_cast<std::ptrdiff_t>(header + 1024), '\0');
    b.replace(header + 512, key.size(), key);
    testing_support::PutLe16(b, header + 504, static_cast<uint32_t>(key.size() + 1));
    testing_support::PutLe16(b, header + 510, static_cast<uint32_t>(key.size() + 1));
    if (!cond.empty()) {
      b.replace(header + 512 + key.size() + 1, cond.size(), cond);
      testing_support::PutLe16(b, header + 506, static_cast<uint32_t>(cond.size() + 1));
    }
    testing_support::PutFileBytes(cdx_, b);
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_ = dir_ / "t.dbf", cdx_ = dir_ / "t.cdx";
  size_t gone_header_ = 0, usual_header_ = 0;
};

TEST_F(ForeignTagTest, AnExpressionThatDoesNotCompileSpoilsOnlyItsTag) {
  SetExpressions(gone_header_, "FIELD->SURNAME", "");
  SetExpressions(usual_header_, "NAME", kUsual);
  const std::string before = FileBytes(cdx_), table_before = FileBytes(dbf_);
  {
    KTO_dBHandler t(dbf_, true, true);
    ASSERT_EQ(t.OpenIndexFile(cdx_), 0);
    tessera::KTobjIndexTag& gone = *t.FindTag("GONE");
    EXPECT_NE(gone.Unusable().find("There is no function for SURNAME"), std::string::npos) << gone.Unusable();
    // Walked and searched by the keys it holds.
    EXPECT_EQ(testing_support::AllKeys(gone).size(), 300u);
    tessera::KTobjIndexKeyData key;
    key.SetText("N15");
    key.Reference = tessera::KTobjIndexTag::kAnyRecord;
    EXPECT_NE(gone.Seek(key), 0);
    // The other tags work fully: NAME in order, USUAL by its condition in
    // the usual precedence.
    EXPECT_TRUE(t.FindTag("NAME")->Unusable().empty());
    EXPECT_TRUE(t.FindTag("USUAL")->Unusable().empty());
    t.SelectMasterTag("USUAL", false);
    int rows = 0;
    for (t.GotoRecord(tessera::kMoveFirst); !t.Eof(); t.Skip(1)) {
      const bool ok = t.GetLogical("OK");
      const double qty = t.GetNumber("QTY");
      EXPECT_TRUE((ok && qty > 0) || (qty == 4 && !ok)) << t.CurrentRecord();
      ++rows;
    }
    EXPECT_EQ(rows, 180);
    // A write through the file would leave GONE behind: refused, naming it.
    t.GotoRecord(1);
    t.PutText("NAME", "CHANGED");
    try {
      t.WriteRecord(1);
      ADD_FAILURE() << "written";
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find("Index tag GONE of T.CDX cannot be kept current"), std::string::npos) << e.what();
    }
    t.BlankRecord();
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    // The check says why it does not compare GONE's keys.
    const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)));
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("tag GONE: keys not compared with the records"), std::string::npos) << faults[0];
  }
  EXPECT_EQ(FileBytes(cdx_), before);
  EXPECT_EQ(FileBytes(dbf_), table_before);
}

TEST_F(ForeignTagTest, UsualPrecedenceConditionsAndAliasesAreKeptCurrent) {
  SetExpressions(gone_header_, "t->NAME", "");
  SetExpressions(usual_header_, "FIELD->NAME", kUsual);
  KTO_dBHandler t(dbf_, true, true);
  ASSERT_EQ(t.OpenIndexFile(cdx_), 0);
  for (int i = 0; i < 200; ++i) {
    const int32_t r = 1 + i * 37 % t.RecordCount();
    t.GotoRecord(r);
    t.PutNumber("QTY", (i + r) % 6);
    t.PutLogical("OK", i % 2 == 0);
    t.PutText("NAME", "M" + std::to_string(i));
    t.WriteRecord(r);
  }
  for (const auto& f : tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(t.IndexFile(1)))) ADD_FAILURE() << f;
  t.SelectMasterTag("USUAL", false);
  for (t.GotoRecord(tessera::kMoveFirst); !t.Eof(); t.Skip(1)) {
    const bool ok = t.GetLogical("OK");
    const double qty = t.GetNumber("QTY");
    EXPECT_TRUE((ok && qty > 0) || (qty == 4 && !ok)) << t.CurrentRecord();
  }
}

}  // namespace
