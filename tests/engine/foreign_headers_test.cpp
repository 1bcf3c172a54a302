// Tables other programs wrote: every version byte of dBase, FoxBASE,
// FoxPro and Visual FoxPro, their header layouts, the headers other
// readers take leniently, and the record count of a file with bytes after
// its last record.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "engine/byte_order.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "support/realworld.h"
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

void Put16(std::string& b, size_t at, uint32_t v) { tessera::bytes::PutLE16(reinterpret_cast<uint8_t*>(&b[at]), v); }
void Put32(std::string& b, size_t at, uint32_t v) { tessera::bytes::PutLE32(reinterpret_cast<uint8_t*>(&b[at]), v); }

// A dBase III-layout image: version, two fields NAME C(6) and QTY N(4),
// the given records (each 10 bytes of fields), then 0x1A.
std::string DBase3Image(uint8_t version, const std::vector<std::string>& records) {
  std::string b(32, '\0');
  b[0] = static_cast<char>(version);
  b[1] = 124, b[2] = 5, b[3] = 17;
  Put32(b, 4, static_cast<uint32_t>(records.size()));
  Put16(b, 8, 32 + 64 + 1);
  Put16(b, 10, 11);
  std::string d(64, '\0');
  std::memcpy(&d[0], "NAME", 4), d[11] = 'C', d[16] = 6;
  std::memcpy(&d[32], "QTY", 3), d[43] = 'N', d[48] = 4;
  b += d + '\x0D';
  for (const std::string& r : records) b += ' ' + r;
  return b + '\x1A';
}

class ForeignHeadersTest : public ::testing::Test {
 protected:
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "t.dbf";

  std::string OpenError(const std::string& bytes) {
    WriteFileBytes(path_, bytes);
    return ErrorOf([&] { KTO_dBaseFld t(path_, true, false); });
  }
};

// Every version byte of the dBase III layout opens; the ones this engine
// does not write refuse every write before anything changes.
TEST_F(ForeignHeadersTest, VersionBytesOfTheDBase3LayoutOpenAndTheReadOnlyOnesRefuseWrites) {
  const std::map<uint8_t, bool> writable = {{0x03, true}, {0x43, false}, {0x63, false}};
  for (const auto& [version, can_write] : writable) {
    SCOPED_TRACE(version);
    const std::string image = DBase3Image(version, {"apple    7", "pear    12"});
    WriteFileBytes(path_, image);
    KTO_dBaseFld t(path_, true, true);
    ASSERT_EQ(t.RecordCount(), 2);
    t.GotoRecord(2);
    EXPECT_EQ(t.GetText("NAME"), "pear");
    EXPECT_EQ(t.GetNumber("QTY"), 12);
    EXPECT_EQ(t.ReadOnlyReason().empty(), can_write);
    if (can_write) continue;
    t.PutText("NAME", "plum");
    const std::string error = ErrorOf([&] { t.WriteRecord(2); });
    EXPECT_EQ(error.rfind("Table is of a read-only format - ", 0), 0u) << error;
    EXPECT_NE(ErrorOf([&] { t.AppendRecord(); }).find("read-only format"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { t.MarkDeleted(); }).find("read-only format"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(path_), image);
  }
}

TEST_F(ForeignHeadersTest, OnlyByte15Of0x01MarksAnEncipheredTable) {
  std::string b = DBase3Image(0x03, {"apple    7"});
  b[15] = 0x01;
  WriteFileBytes(path_, b);
  EXPECT_THROW(KTO_dBaseFld(path_, true, false), tessera::ETesseraEncryption);
  // STEP 7 keeps a time stamp in bytes 12..19.
  for (uint8_t stamp : {0x02, 0x47, 0xFF}) {
    b[15] = static_cast<char>(stamp);
    WriteFileBytes(path_, b);
    KTO_dBaseFld t(path_, true, false);
    EXPECT_EQ(t.RecordCount(), 1);
  }
}

TEST_F(ForeignHeadersTest, RecordsAfterTheHeadersCountCountOnlyWhenTheyBeginWithADeletionFlag) {
  const std::string three = DBase3Image(0x03, {"a        1", "b        2", "c        3"});
  // The end mark and stale bytes of a longer table after it: the header's
  // three records.
  std::string b = three + "d        4" + "e        5";
  EXPECT_EQ(OpenError(b), "");
  EXPECT_EQ(KTO_dBaseFld(path_, true, false).RecordCount(), 3);
  // A writer that stopped between the record and the header: two whole
  // records past the count, live and deleted; a partial one does not count.
  b = three.substr(0, three.size() - 1) + " d        4" + "*e        5" + " f   ";
  EXPECT_EQ(OpenError(b), "");
  {
    KTO_dBaseFld t(path_, true, false);
    EXPECT_EQ(t.RecordCount(), 5);
    t.GotoRecord(5);
    EXPECT_TRUE(t.IsDeleted());
  }
  // A header that counts more than the file holds: what the file holds.
  b = three;
  Put32(b, 4, 9);
  EXPECT_EQ(OpenError(b), "");
  EXPECT_EQ(KTO_dBaseFld(path_, true, false).RecordCount(), 3);
}

// Some writers never update the count: every record of the file counts,
// read in pieces (here three), up to the end mark.
TEST_F(ForeignHeadersTest, AWriterThatNeverCountsLeavesEveryRecordCounted) {
  tessera::CreateTable(path_, 0x03, {{"TEXT", 'C', 999}}, {0, true});
  std::string b = ReadFileBytes(path_);
  b.pop_back();  // the end mark
  for (int r = 1; r <= 2500; ++r) b += (r % 7 == 0 ? '*' : ' ') + std::string(999, static_cast<char>('a' + r % 26));
  b += '\x1A';
  WriteFileBytes(path_, b);
  KTO_dBaseFld t(path_, true, false);
  EXPECT_EQ(t.HeaderRecordCount(), 0u);
  EXPECT_EQ(t.RecordCount(), 2500);
  t.GotoRecord(2500);
  EXPECT_EQ(t.GetText("TEXT")[0], 'a' + 2500 % 26);
}

TEST_F(ForeignHeadersTest, LenientHeadersAreReadWithAWarning) {
  // No room for the 0x0D: the descriptors fill the header.
  std::string b = DBase3Image(0x03, {"apple    7"});
  b.erase(96, 1);
  Put16(b, 8, 96);
  EXPECT_EQ(OpenError(b), "");
  {
    KTO_dBaseFld t(path_, true, true);
    EXPECT_EQ(t.HeaderWarnings(), std::vector<std::string>{"the field descriptors do not end with 0x0D"});
    EXPECT_EQ(t.ReadOnlyReason(), "");
    t.GotoRecord(1);
    EXPECT_EQ(t.GetText("NAME"), "apple");
  }
  // A field of width 0 takes no bytes and holds nothing.
  b = DBase3Image(0x03, {"apple    7"});
  b[32 + 16] = 0;  // NAME
  Put16(b, 10, 5);
  b.replace(97, 11, " ");  // the record: flag, then QTY
  b.insert(98, "   7");
  EXPECT_EQ(OpenError(b), "");
  {
    KTO_dBaseFld t(path_, true, false);
    EXPECT_EQ(t.HeaderWarnings(), std::vector<std::string>{"field NAME has width 0"});
    t.GotoRecord(1);
    EXPECT_EQ(t.GetText("NAME"), "");
    EXPECT_EQ(t.GetNumber("QTY"), 7);
  }
  // A record length one short of the fields (a writer that forgot the
  // deletion flag): the fields decide, and the table is not written.
  b = DBase3Image(0x03, {"apple    7", "pear    12"});
  Put16(b, 10, 10);
  EXPECT_EQ(OpenError(b), "");
  {
    KTO_dBaseFld t(path_, true, true);
    EXPECT_EQ(t.RecordLength(), 11);
    EXPECT_EQ(t.RecordCount(), 2);
    t.GotoRecord(2);
    EXPECT_EQ(t.GetText("NAME"), "pear");
    EXPECT_EQ(t.ReadOnlyReason(), "its record length disagrees with its fields");
    EXPECT_NE(ErrorOf([&] { t.AppendRecord(); }).find("read-only format"), std::string::npos);
  }
  // Two bytes short is no table.
  Put16(b, 10, 9);
  EXPECT_EQ(OpenError(b).rfind("dBase DBF file header invalid", 0), 0u);
  // A table of no fields (a header only) has records of the flag alone.
  b = std::string(32, '\0');
  b[0] = 3;
  Put32(b, 4, 1);
  Put16(b, 8, 33);
  Put16(b, 10, 1);
  b += "\x0D ";
  EXPECT_EQ(OpenError(b), "");
  KTO_dBaseFld t(path_, true, false);
  EXPECT_EQ(t.FieldCount(), 0);
  EXPECT_EQ(t.RecordCount(), 1);
}

// FoxBASE / dBase II: 8-byte header, 16-byte descriptors, records at 521.
TEST_F(ForeignHeadersTest, DBase2TablesAreRead) {
  std::string b(521, '\0');
  b[0] = 0x02;
  Put16(b, 1, 2);
  b[3] = 7, b[4] = 31, b[5] = 82;
  Put16(b, 6, 1 + 8 + 5);
  std::memcpy(&b[8], "EMP:NAME", 8), b[8 + 11] = 'C', b[8 + 12] = 8;
  std::memcpy(&b[24], "PAY", 3), b[24 + 11] = 'N', b[24 + 12] = 5, b[24 + 15] = 2;
  b[40] = 0x0D;
  b += " Stegman  6.00";  // flag, 8, 5
  b += "*Taylor  12.50";
  b += '\x1A';
  WriteFileBytes(path_, b);
  KTO_dBaseFld t(path_, true, true);
  EXPECT_EQ(t.Version(), 0x02);
  EXPECT_EQ(t.HeaderLength(), 521);
  EXPECT_EQ(t.RecordLength(), 14);
  ASSERT_EQ(t.FieldCount(), 2);
  EXPECT_EQ(t.Field(1).Name(), "EMP:NAME");
  EXPECT_EQ(t.Field(2).Decimals(), 2);
  ASSERT_EQ(t.RecordCount(), 2);
  t.GotoRecord(2);
  EXPECT_TRUE(t.IsDeleted());
  EXPECT_EQ(t.GetText("EMP:NAME"), "Taylor");
  int year = 0, month = 0, day = 0;
  t.LastUpdate(&year, &month, &day);
  EXPECT_EQ(year * 10000 + month * 100 + day, 19820731);
  EXPECT_FALSE(t.ReadOnlyReason().empty());
  EXPECT_NE(ErrorOf([&] { t.WriteRecord(2); }).find("read-only format"), std::string::npos);
}

// The real-world tables all open, with the record counts their headers
// (and the independent readers) give.
TEST(RealWorldHeaders, EveryTableOpensWithItsRecordCount) {
  PYX_NEED_REALWORLD();
  tessera::EngineScope engine;
  const std::map<std::string, int> counts = {
      {"clip/customer.dbf", 250},          {"clip/flowers.dbf", 7},
      {"dbasers/stations_with_deleted.dbf", 6},
      {"dbasers/contain_null_padded_numeric.dbf", 1},
      {"dbffile/vfp9_memo_bs1.dbf", 5},    {"javadbf/continents_no_header_record_terminator.dbf", 7},
      {"javadbf/employees.dbf", 5},        {"javadbf/foxref_ref.dbf", 79},
      {"javadbf/inventory.dbf", 12},       {"javadbf/testfile.dbf", 13},
      {"ndbfreader/DeletedRows.dbf", 3},   {"ndbfreader/ZeroSizeColumn.dbf", 1},
      {"perlxbase/afox5.dbf", 2},          {"perlxbase/ndx-char.dbf", 28},
      {"perlxbase/ndx-date.dbf", 297},     {"perlxbase/ndx-num.dbf", 594},
      {"perlxbase/ntx-char.dbf", 68},      {"perlxbase/rooms.dbf", 42},
      {"perlxbase/test.dbf", 3},           {"perlxbase/types.dbf", 4},
      {"phpxbase/Foxpro2.dbf", 3},         {"phpxbase/issue115.dbf", 9},
      {"phpxbase/vfp.dbf", 3},             {"rubydbf/calls.dbf", 16},
      {"rubydbf/contacts.dbf", 5},         {"rubydbf/cp1251.dbf", 4},
      {"rubydbf/dbase_02.dbf", 9},         {"rubydbf/dbase_03.dbf", 14},
      {"rubydbf/dbase_03_cyrillic.dbf", 2}, {"rubydbf/dbase_30.dbf", 34},
      {"rubydbf/dbase_31.dbf", 77},        {"rubydbf/dbase_32.dbf", 1},
      {"rubydbf/dbase_83.dbf", 67},        {"rubydbf/dbase_8b.dbf", 10},
      {"rubydbf/dbase_8c.dbf", 10},        {"rubydbf/dbase_f5.dbf", 975},
      {"rubydbf/mazovia.dbf", 2},          {"rubydbf/polygon.dbf", 1},
      {"rubydbf/setup.dbf", 3},            {"rubydbf/types.dbf", 2},
      {"s7/BAUSTEIN.DBF", 11},             {"s7/CHANGELOG.DBF", 3},
      {"s7/SUBBLK.DBF", 45},
  };
  for (const auto& [name, count] : counts) {
    SCOPED_TRACE(name);
    KTO_dBaseFld t(testing_support::RealWorld(name), true, false);
    EXPECT_EQ(t.RecordCount(), count);
    // Every record reads.
    for (int32_t r = 1; r <= t.RecordCount(); ++r) t.GotoRecord(r);
  }
}

}  // namespace
