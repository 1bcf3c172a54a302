// The tagged value, the date converter, the record-number set and the
// owning list.
#include <gtest/gtest.h>

#include "engine/collection.h"
#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/huge_set.h"
#include "engine/text_helpers.h"
#include "engine/variant.h"
#include "platform/text_convert.h"

namespace {

using tessera::TktVariant;
using tessera::VariantKind;

TktVariant Text(const char* s) {
  TktVariant v;
  v.SetText(s);
  return v;
}
TktVariant Number(double d) {
  TktVariant v;
  v.SetNumber(d);
  return v;
}

TEST(VariantCompare, CharacterValuesGivePositionAndPartialResult) {
  int32_t pos = -1;
  TktVariant abd = Text("ABD"), abc = Text("ABC"), abcd = Text("ABCD");
  EXPECT_EQ(abc.Compare(&abd, &pos, -1, nullptr), -1);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(abc.Compare(&abc, &pos, -1, nullptr), 0);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(abc.Compare(&abcd, &pos, 0, nullptr), 0);  // a search key matches a longer stored key
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(abc.Compare(&abcd, &pos, -1, nullptr), -1);
  EXPECT_EQ(abcd.Compare(&abc, &pos, 0, nullptr), 1);
  // Bytes compare unsigned: Cyrillic (CP866 0x80+) after Latin.
  TktVariant cyr;
  cyr.SetText("\x80");
  EXPECT_EQ(abc.Compare(&cyr, &pos, -1, nullptr), -1);
}

TEST(VariantCompare, CollationTableDecidesWhenGiven) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(255 - i);  // reversed order
  TktVariant a = Text("A"), b = Text("B");
  EXPECT_EQ(a.Compare(&b, nullptr, -1, table), 1);
  EXPECT_EQ(a.Compare(&b, nullptr, -1, nullptr), -1);
}

TEST(VariantCompare, KindRules) {
  TktVariant none, empty_text = Text(""), abc = Text("ABC"), one = Number(1), two = Number(2);
  EXPECT_THROW(abc.Compare(&one, nullptr, -1, nullptr), tessera::ETesseraError);
  try {
    abc.Compare(&one, nullptr, -1, nullptr);
  } catch (const tessera::ETesseraError& e) {
    EXPECT_STREQ(e.what(), "Variant types mismatch for compare");
  }
  EXPECT_EQ(none.Compare(nullptr, nullptr, -1, nullptr), 0);
  EXPECT_EQ(none.Compare(&empty_text, nullptr, -1, nullptr), 0);
  EXPECT_EQ(none.Compare(&abc, nullptr, -1, nullptr), -1);
  EXPECT_EQ(abc.Compare(nullptr, nullptr, -1, nullptr), 1);
  EXPECT_THROW(abc.Compare(&none, nullptr, -1, nullptr), tessera::ETesseraError);
  // A binary value compares under the other value's kind.
  TktVariant bin;
  const double d = 1.5;
  bin.SetBytes(&d, 8);
  EXPECT_EQ(bin.Compare(&two, nullptr, -1, nullptr), -1);
  EXPECT_EQ(two.Compare(&bin, nullptr, -1, nullptr), 1);
  // Empty values order first.
  EXPECT_EQ(empty_text.Compare(&abc, nullptr, -1, nullptr), -1);
  EXPECT_EQ(abc.Compare(&empty_text, nullptr, -1, nullptr), 1);
  TktVariant t, f;
  t.SetBoolean(1);
  f.SetBoolean(0);
  EXPECT_EQ(t.Compare(&f, nullptr, -1, nullptr), 1);
  EXPECT_EQ(f.Compare(&t, nullptr, -1, nullptr), -1);
  TktVariant d1, d2;
  d1.SetDayNumber(2451949);
  d2.SetDayNumber(2451950);
  EXPECT_EQ(d1.Compare(&d2, nullptr, -1, nullptr), -1);
  // A numeric value compared as binary takes the other side's kind.
  EXPECT_EQ(one.CompareBinary(&abc, nullptr, -1, nullptr), -1);
}

TEST(VariantSetters, AppendPadTrimTranslate) {
  TktVariant v = Number(1);
  const char four[4] = {1, 2, 3, 4};
  v.AppendBytes(four, 4);
  EXPECT_EQ(v.kind(), VariantKind::kBinary);
  EXPECT_EQ(v.size(), 12);
  v.AppendBytes(nullptr, 3);
  EXPECT_EQ(v.size(), 12);

  TktVariant s = Text("ABC");
  s.PadRight(10);
  EXPECT_EQ(std::string(s.bytes()), "ABC       ");
  EXPECT_EQ(s.kind(), VariantKind::kCharacter);
  s.TrimRight();
  EXPECT_EQ(std::string(s.bytes()), "ABC");
  s.PadRight(2);
  EXPECT_EQ(std::string(s.bytes()), "ABC");
  TktVariant n = Number(3);
  n.PadRight(10);
  EXPECT_EQ(n.size(), 8);

  TktVariant low = Text("abc\xa0");  // CP866 'а'
  low.Translate(nullptr);
  EXPECT_EQ(std::string(low.bytes()), "ABC\x80");
}

TEST(VariantConversions, ByKind) {
  EXPECT_EQ(Number(12.5).AsText(), "12.5");
  EXPECT_EQ(Text(" 12.5").AsNumber(), 12.5);
  EXPECT_THROW(Text("12,5").AsNumber(), plat::ConvertError);
  EXPECT_TRUE(Text("yes").AsBoolean());
  EXPECT_FALSE(Text("no").AsBoolean());
  EXPECT_TRUE(Number(-1.5).AsBoolean());
  EXPECT_FALSE(Number(0.5).AsBoolean());
  TktVariant t;
  t.SetBoolean(1);
  EXPECT_EQ(t.AsText(), "T");
  EXPECT_EQ(t.AsNumber(), 1);
  EXPECT_EQ(Number(2451949.7).AsDayNumber(), 2451949);
  EXPECT_EQ(Number(-4).AsDayNumber(), 0);
  EXPECT_EQ(Text("20010208").AsDayNumber(), 2451949);
  TktVariant none;
  EXPECT_EQ(none.AsText(), "");
  EXPECT_EQ(none.AsNumber(), 0);
  char buf[4];
  Text("ABCDEF").AsPChar(buf, sizeof buf);
  EXPECT_STREQ(buf, "ABC");
}

TEST(DateConverter, StoredTextAndDayNumbers) {
  const tessera::TktDBFDate& d = tessera::EngineDate();
  EXPECT_EQ(d.DayOffset(), 2415019);
  EXPECT_EQ(d.ParseDate("00000000"), 0);
  EXPECT_EQ(d.ParseDate("        "), 0);
  EXPECT_EQ(d.ParseDate(""), 0);
  EXPECT_EQ(d.ParseDate("20010229"), 2415019);  // no such day: the serial 0
  EXPECT_EQ(d.ParseDate("20010208"), 2451949);
  EXPECT_EQ(d.ParseDate("19800101"), 2444240);
  EXPECT_EQ(d.StorageText(0), "        ");
  EXPECT_EQ(d.StorageText(-5), "        ");
  EXPECT_EQ(d.StorageText(2451949), "20010208");
  EXPECT_EQ(d.DayOfWeekOf(2451949), 5);
  EXPECT_EQ(d.DayOfWeekOf(0), 0);
  uint16_t m = 0, y = 0, dd = 0;
  d.SplitDate(2451949, &m, &y, &dd);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(y, 2001);
  EXPECT_EQ(dd, 8);
  EXPECT_EQ(d.StorageText(d.ParseDate("00010101")), "00010101");
  EXPECT_EQ(d.StorageText(d.ParseDate("99991231")), "99991231");
}

TEST(DateConverter, DisplayUsesTheLocaleFormatWithFourDigitYears) {
  const std::string saved = plat::ShortDateFormat();
  plat::SetShortDateFormat("dd.MM.yy");
  const tessera::TktDBFDate& d = tessera::EngineDate();
  EXPECT_EQ(d.DisplayFormat(), "DD.MM.YYYY");
  EXPECT_EQ(d.DisplayText(2451949), "08.02.2001");
  EXPECT_EQ(d.DisplayText(0), std::string(10, ' '));
  EXPECT_EQ(d.ParseDate("08.02.2001"), 2451949);
  EXPECT_EQ(d.ParseDate("08.02.01"), 2451949);
  EXPECT_THROW(d.ParseDate("31.02.2001"), plat::ConvertError);
  EXPECT_THROW(d.ParseDate("hello"), plat::ConvertError);
  plat::SetShortDateFormat("M/d/yyyy");
  EXPECT_EQ(d.DisplayText(2451949), "2/8/2001");
  plat::SetShortDateFormat(saved);
}

TEST(HugeSet, PagesAndHighestTouched) {
  tessera::TktHugeSet set;
  EXPECT_FALSE(set.Contains(5));
  EXPECT_EQ(set.PageCount(), 0u);
  set.ChangeMember(300000, tessera::TktHugeSet::kRemove);
  EXPECT_EQ(set.PageCount(), 3u);
  EXPECT_EQ(set.HighestTouched(), 300000);
  set.ChangeMember(7, tessera::TktHugeSet::kAdd);
  set.ChangeMember(131072, tessera::TktHugeSet::kToggle);
  EXPECT_TRUE(set.Contains(7));
  EXPECT_TRUE(set.Contains(131072));
  EXPECT_FALSE(set.Contains(8));
  EXPECT_FALSE(set.Contains(400000));
  set.ChangeMember(131072, tessera::TktHugeSet::kToggle);
  EXPECT_FALSE(set.Contains(131072));
  set.ChangeMember(9, 7);  // unknown op: no bit changes
  EXPECT_FALSE(set.Contains(9));
  set.ClearAll();
  EXPECT_FALSE(set.Contains(7));
  EXPECT_EQ(set.HighestTouched(), -1);
  EXPECT_EQ(set.PageCount(), 3u);
}

struct Tracked {
  explicit Tracked(int* c) : count(c) { ++*count; }
  ~Tracked() { --*count; }
  int* count;
};

class KeepingCollection : public tessera::TktCollection<Tracked> {
 public:
  std::vector<std::unique_ptr<Tracked>> kept;

 protected:
  void FreeItem(std::unique_ptr<Tracked> item) override { kept.push_back(std::move(item)); }
};

TEST(Collection, FreesItemsThroughFreeItem) {
  int alive = 0;
  {
    tessera::TktCollection<Tracked> owned;
    owned.Add(std::make_unique<Tracked>(&alive));
    owned.Add(std::make_unique<Tracked>(&alive));
    owned.Remove(owned.At(0));
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(owned.Count(), 1u);
  }
  EXPECT_EQ(alive, 0);
  KeepingCollection keeping;
  keeping.Add(std::make_unique<Tracked>(&alive));
  keeping.FreeAll();
  EXPECT_EQ(keeping.Count(), 0u);
  EXPECT_EQ(alive, 1);
}

TEST(TextHelpers, NamesAndBuffers) {
  EXPECT_EQ(tessera::DefaultExtension("/a/PYX", ".DBF"), "/a/PYX.DBF");
  EXPECT_EQ(tessera::DefaultExtension("/a/PYX.TXT", ".DBF"), "/a/PYX.TXT");
  EXPECT_EQ(tessera::DefaultExtension("/a.b/PYX", ".DBF"), "/a.b/PYX.DBF");
  EXPECT_EQ(tessera::BaseName("/DATA/PYX.DBF"), "PYX");
  EXPECT_EQ(tessera::BaseName("PYX"), "PYX");
  char buf[16] = "AB";
  tessera::PadBuffer(buf, '.', 5);
  EXPECT_STREQ(buf, "AB...");
  char buf2[16] = "AB  ";
  tessera::TrimBuffer(buf2);
  EXPECT_STREQ(buf2, "AB");
}

}  // namespace
