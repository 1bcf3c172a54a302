// Visual FoxPro's rules when its tables are written: autoincrement fields
// numbered from their descriptors, .NULL. in _NullFlags, varchar and
// varbinary lengths, blobs; and values read as the writers show them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/dbf_create.h"
#include "engine/dbf_date.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "engine/memo.h"
#include "platform/text_convert.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class VisualFoxProTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_format_ = plat::ShortDateFormat();
    plat::SetShortDateFormat("yyyy-MM-dd");
  }
  void TearDown() override { plat::SetShortDateFormat(saved_format_); }
  std::string saved_format_;
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "vfp.dbf";

  // The autoincrement counter of field `number` in the file.
  uint32_t Counter(int number) {
    KTO_dBaseFld t(path_, true, false);
    const std::string b = ReadFileBytes(path_);
    return tessera::bytes::GetLE32(reinterpret_cast<const uint8_t*>(b.data() + t.Field(number).descriptor_at + 19));
  }
};

TEST_F(VisualFoxProTest, AutoincrementFieldsAreNumberedFromTheirDescriptorsByEveryWriter) {
  tessera::CreateTable(path_, 0x31, {{"ID", 'I', 0, 0, false, true}, {"NAME", 'C', 10}});
  {
    KTO_dBaseFld a(path_, true, true), b(path_, true, true);
    for (int i = 0; i < 3; ++i) {
      for (KTO_dBaseFld* t : {&a, &b}) {
        t->BlankRecord();
        t->PutText("NAME", t == &a ? "a" : "b");
        t->AppendRecord();
      }
    }
    // Two writers of one file take turns: each new record has the next
    // number, none twice.
    for (int32_t r = 1; r <= 6; ++r) {
      a.GotoRecord(r);
      EXPECT_EQ(a.GetNumber("ID"), r);
    }
  }
  EXPECT_EQ(Counter(1), 7u);
  // The step is the descriptor's too.
  {
    KTO_dBaseFld t(path_, true, true);
    std::string bytes = ReadFileBytes(path_);
    bytes[t.Field(1).descriptor_at + 23] = 5;
    WriteFileBytes(path_, bytes);
  }
  KTO_dBaseFld t(path_, true, true);
  t.BlankRecord();
  t.AppendRecord();
  t.BlankRecord();
  t.AppendRecord();
  t.GotoRecord(8);
  EXPECT_EQ(t.GetNumber("ID"), 12);
  EXPECT_EQ(Counter(1), 17u);

  // The number is the table's to give and keep: a value put for a new
  // record, or a change in an edit, is refused before anything is written.
  const std::string before = ReadFileBytes(path_);
  t.BlankRecord();
  t.PutNumber("ID", 99);
  EXPECT_NE(ErrorOf([&] { t.AppendRecord(); }).find("ID is numbered by the table (autoincrement)"), std::string::npos);
  t.GotoRecord(2);
  t.PutNumber("ID", 1);
  EXPECT_NE(ErrorOf([&] { t.WriteRecord(2); }).find("autoincrement"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(path_), before);
  t.GotoRecord(2);
  t.PutText("NAME", "renamed");
  t.WriteRecord(2);
  t.GotoRecord(2);
  EXPECT_EQ(t.GetNumber("ID"), 2);
  EXPECT_EQ(t.GetText("NAME"), "renamed");
}

TEST_F(VisualFoxProTest, NullableFieldsHoldNullUntilAValueIsPut) {
  tessera::CreateTable(path_, 0x30,
                       {{"NAME", 'C', 8, 0, true}, {"PRICE", 'Y', 0, 0, true}, {"SEEN", 'T', 0, 0, true},
                        {"QTY", 'N', 5, 0, true}, {"FIXED", 'C', 4}});
  {
    KTO_dBaseFld t(path_, true, true);
    ASSERT_EQ(t.FieldCount(), 6);
    EXPECT_EQ(t.NullFlagsField(), 6);
    t.BlankRecord();
    for (int i = 1; i <= 4; ++i) EXPECT_TRUE(t.IsNull(i)) << i;
    EXPECT_FALSE(t.IsNull(5));
    t.PutText("NAME", "pen");
    t.PutNumber("QTY", 0);
    t.AppendRecord();
    t.BlankRecord();
    t.PutText("PRICE", "1.5");
    t.PutText("SEEN", "20240115 10:20:30.600");
    t.AppendRecord();
    // A value made null again.
    t.GotoRecord(1);
    EXPECT_TRUE(t.SetNull(1, true));
    EXPECT_FALSE(t.SetNull(5, true));  // not nullable
    t.WriteRecord(1);
  }
  KTO_dBaseFld t(path_, true, false);
  t.GotoRecord(1);
  EXPECT_TRUE(t.IsNull(1));
  EXPECT_EQ(t.GetText("NAME"), "");
  EXPECT_TRUE(t.IsNull(2));
  EXPECT_FALSE(t.IsNull(4));
  EXPECT_TRUE(t.HasValue(4));
  EXPECT_EQ(t.GetText("QTY"), "0");
  t.GotoRecord(2);
  EXPECT_TRUE(t.IsNull(1));
  EXPECT_FALSE(t.HasValue(1));
  EXPECT_EQ(t.GetText("PRICE"), "1.5000");
  // Shown at the nearest second, kept to the millisecond.
  EXPECT_EQ(t.GetText("SEEN"), "2024-01-15 10:20:31");
  EXPECT_EQ(std::fmod(t.GetNumberN(3), 1000.0), 600);
}

TEST_F(VisualFoxProTest, VarcharAndVarbinaryKeepTheirLengthAndBlobsTheirBytes) {
  tessera::CreateTable(path_, 0x32, {{"V", 'V', 6, 0, true}, {"Q", 'Q', 4}, {"W", 'W'}, {"AI", 'I', 0, 0, false, true}});
  const std::string blob("\x00\x01\xFFpng", 6);
  {
    KTO_dBaseFld t(path_, true, true);
    ASSERT_EQ(t.Field(t.NullFlagsField()).Width(), 1);  // V: length, null; Q: length
    for (const char* v : {"ab ", "abcdef", ""}) {
      t.BlankRecord();
      t.PutText("V", v);
      t.PutRaw("Q", std::string("\x01\x00", 2));
      int32_t size = static_cast<int32_t>(blob.size());
      ASSERT_TRUE(t.MemoWrite(3, blob.data(), &size));
      t.AppendRecord();
    }
    t.BlankRecord();
    t.AppendRecord();
  }
  KTO_dBaseFld t(path_, true, false);
  const char* expected[] = {"ab ", "abcdef", ""};
  for (int32_t r = 1; r <= 3; ++r) {
    t.GotoRecord(r);
    EXPECT_EQ(t.GetText("V"), expected[r - 1]);  // trailing blanks are the value's
    EXPECT_EQ(t.ValueBytes(2), std::string("\x01\x00", 2));
    EXPECT_EQ(t.MemoText(3), blob);
    EXPECT_EQ(t.GetNumber("AI"), r);
  }
  // A value shorter than the field keeps its length in the last byte.
  t.GotoRecord(1);
  const tessera::DbfField& v = t.Field(1);
  EXPECT_EQ(std::string(t.RecordBytes() + v.offset, 6), std::string("ab \0\0\x03", 6));
  t.GotoRecord(2);
  EXPECT_EQ(std::string(t.RecordBytes() + v.offset, 6), "abcdef");
  t.GotoRecord(4);
  EXPECT_TRUE(t.IsNull(1));
  EXPECT_EQ(t.ValueBytes(2), "");
  EXPECT_EQ(t.MemoText(3), "");
}

// Date-times a damaged file holds are shown as far as they go, never
// computed past the integers that hold them (the fuzzer found a day number
// of 2^31 - 1 with a time near midnight).
TEST_F(VisualFoxProTest, DamagedDateTimesAreShownWithoutOverflow) {
  tessera::CreateTable(path_, 0x30, {{"AT", 'T'}});
  {
    KTO_dBaseFld t(path_, true, true);
    t.BlankRecord();
    t.AppendRecord();
  }
  std::string bytes = ReadFileBytes(path_);
  const size_t at = bytes.size() - 1 - 8;  // the field, before the end mark
  const std::string stamp("\xFF\xFF\xFF\x7F\xFF\x5B\x26\x05", 8);  // day 2^31 - 1, 23:59:59.999
  bytes.replace(at, 8, stamp);
  WriteFileBytes(path_, bytes);
  {
    KTO_dBaseFld t(path_, true, false);
    t.GotoRecord(1);
    EXPECT_FALSE(t.GetText("AT").empty());
  }
  // The calendar's last millisecond rounds to its last second: the next
  // day has no date to show.
  tessera::bytes::PutLE32(reinterpret_cast<uint8_t*>(&bytes[at]),
                          static_cast<uint32_t>(tessera::EngineDate().DayNumberOf(9999, 12, 31)));
  WriteFileBytes(path_, bytes);
  KTO_dBaseFld t(path_, true, false);
  t.GotoRecord(1);
  const std::string shown = t.GetText("AT");
  EXPECT_NE(shown.find("9999"), std::string::npos) << shown;
  EXPECT_NE(shown.find("23:59:59"), std::string::npos) << shown;
}

// A damaged descriptor that gives a binary field another width than its
// type's leaves its bytes text: a reader must not take four bytes from a
// field of one (the fuzzer found it).
TEST_F(VisualFoxProTest, BinaryLettersAtOtherWidthsAreText) {
  tessera::CreateTable(path_, 0x30, {{"N", 'C', 1}, {"TAIL", 'C', 1}});
  std::string bytes = ReadFileBytes(path_);
  bytes[32 + 11] = 'I';  // N: an integer of one byte
  bytes += " 7x";
  bytes.erase(bytes.size() - 4, 1);  // the end mark, now after the record
  bytes += '\x1A';
  WriteFileBytes(path_, bytes);
  KTO_dBaseFld t(path_, true, false);
  ASSERT_EQ(t.RecordCount(), 1);
  t.GotoRecord(1);
  EXPECT_FALSE(t.IsBinaryField(t.Field(1)));
  EXPECT_EQ(t.GetTextN(1), "7");
  EXPECT_EQ(t.GetNumberN(1), 7);
}

// dBase 7 keeps integers big-endian with the sign bit inverted and
// timestamps as big-endian doubles of milliseconds.
TEST_F(VisualFoxProTest, DBase7BinariesReadAndWriteBigEndian) {
  std::string b(68, '\0');
  b[0] = 0x04;
  tessera::bytes::PutLE32(reinterpret_cast<uint8_t*>(&b[4]), 2);
  const int fields = 4;
  tessera::bytes::PutLE16(reinterpret_cast<uint8_t*>(&b[8]), 68 + 48 * fields + 1);
  tessera::bytes::PutLE16(reinterpret_cast<uint8_t*>(&b[10]), 1 + 4 + 4 + 8 + 8);
  auto descriptor = [&](const char* name, char type, int length) {
    std::string d(48, '\0');
    std::memcpy(&d[0], name, std::strlen(name));
    d[32] = type;
    d[33] = static_cast<char>(length);
    b += d;
  };
  descriptor("Item number", '+', 4);
  descriptor("Count", 'I', 4);
  descriptor("Stamp", '@', 8);
  descriptor("Ratio", 'O', 8);
  b += '\x0D';
  auto be_double = [](double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    std::string out(8, '\0');
    for (int i = 7; i >= 0; --i, bits >>= 8) out[static_cast<size_t>(i)] = static_cast<char>(bits & 0xFF);
    return out;
  };
  // 27 August 2013 19:12:13 is day 735107 after the day before 1 January 1.
  b += std::string(" \x80\x00\x00\x01\x7F\xFF\xFF\xFE", 9) + be_double(735107.0 * 86400000 + 69133000) + be_double(-2.5);
  b += std::string(" ", 1) + std::string(24, '\0');
  b += '\x1A';
  WriteFileBytes(path_, b);
  KTO_dBaseFld t(path_, true, false);
  ASSERT_EQ(t.FieldCount(), fields);
  EXPECT_EQ(t.Field(1).Name(), "Item number");
  t.GotoRecord(1);
  EXPECT_EQ(t.GetText("Item number"), "1");
  EXPECT_EQ(t.GetText("Count"), "-2");
  EXPECT_EQ(t.GetText("Stamp"), "2013-08-27 19:12:13");
  EXPECT_EQ(t.GetText("Ratio"), "-2.5");
  t.GotoRecord(2);
  for (int i = 1; i <= fields; ++i) {
    EXPECT_FALSE(t.HasValue(i));
    EXPECT_EQ(t.GetTextN(i), "");
  }
  // Searches put values into scratch records in the same encoding.
  std::string scratch(static_cast<size_t>(t.RecordLength()), ' ');
  t.StoreValuesInRecord(scratch.data(), "Count", {std::string("-2")});
  EXPECT_EQ(scratch.substr(5, 4), std::string("\x7F\xFF\xFF\xFE", 4));
}

}  // namespace
