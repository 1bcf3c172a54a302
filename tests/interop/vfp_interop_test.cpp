// Visual FoxPro tables this engine appends to and edits (0x31 with
// autoincrement, 0x32 with varchar, varbinary, blob and nullable fields),
// read back by other xBase tools from Debian as black boxes: python3-dbf,
// Perl XBase and dbfread. Also copies of the real-world 0x31 and 0x32
// tables, written to and read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "engine/dbf_create.h"
#include "engine/dbf_date.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "platform/text_convert.h"
#include "support/realworld.h"
#include "support/run_command.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::RunChecked;
using testing_support::TempDir;

std::string Hex(std::string_view bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string ReadWithPythonDbf(const std::string& table) {
  return RunChecked("/usr/bin/python3 " PYX_INTEROP_DIR "/read_python_dbf.py '" + table + "' cp1252 2>&1");
}
std::string ReadWithXBase(const std::string& table) {
  return RunChecked("/usr/bin/perl " PYX_INTEROP_DIR "/read_xbase.pl '" + table + "' 2>&1");
}
std::string ReadWithDbfread(const std::string& table) {
  return RunChecked("/usr/bin/python3 " PYX_INTEROP_DIR "/read_dbfread.py '" + table + "' 2>&1");
}

// What a record of the model holds.
struct Item {
  int32_t id = 0;
  std::string name;
  double price = 0;
  double seen = 0;  // milliseconds as the engine counts them, 0 = empty
  int qty = 0;
  bool ok = false;
  std::string note;
  bool deleted = false;
};

class VisualFoxProInteropTest : public ::testing::Test {
 protected:
  tessera::EngineScope engine_;
  TempDir dir_;

  static double Stamp(int year, int month, int day, int ms) {
    return (static_cast<double>(tessera::EngineDate().DayNumberOf(year, month, day)) - 1721425) * 86400000.0 + ms;
  }
  static std::string StampToken(double ms) {
    const int64_t days = static_cast<int64_t>(ms / 86400000.0);
    const int64_t in_day = static_cast<int64_t>(ms) - days * 86400000;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%02d%02d%02d.%03d",
                  tessera::EngineDate().StorageText(static_cast<int32_t>(days + 1721425)).c_str(),
                  static_cast<int>(in_day / 3600000), static_cast<int>(in_day / 60000 % 60),
                  static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
    return buf;
  }
  // A number as Perl prints it (15 significant digits).
  static std::string PerlNumber(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
  }
  // Seconds since 1970 as Perl XBase gives a date-time.
  static std::string EpochSeconds(double ms) {
    // Whole days from 1 January 1970 (719163 days after the engine's day 0)
    // and the time of day, as Perl XBase adds them.
    const double days = std::floor(ms / 86400000.0);
    return PerlNumber((days - 719163) * 86400 + (ms - days * 86400000.0) / 1000.0);
  }
};

TEST_F(VisualFoxProInteropTest, PythonDbfPerlAndDbfreadReadAnAutoincrementTableWeWroteAndEdited) {
  const std::string path = dir_ / "items.dbf";
  tessera::CreateTable(path, 0x31,
                       {{"ID", 'I', 0, 0, false, true}, {"NAME", 'C', 14}, {"PRICE", 'Y'}, {"SEEN", 'T'},
                        {"QTY", 'N', 5, 0}, {"OK", 'L'}, {"NOTE", 'M'}});
  std::vector<Item> items;
  {
    KTO_dBaseFld t(path, true, true);
    auto store = [&](const Item& it) {
      t.PutText("NAME", it.name);
      t.PutNumber("PRICE", it.price);
      t.PutNumberN(4, it.seen);
      t.PutNumber("QTY", it.qty);
      t.PutLogical("OK", it.ok);
      int32_t size = static_cast<int32_t>(it.note.size());
      ASSERT_TRUE(t.MemoWrite(7, it.note.data(), &size));
    };
    for (int i = 0; i < 30; ++i) {
      Item it;
      it.id = i + 1;
      it.name = "item " + std::to_string(i);
      it.price = i % 4 == 1 ? -(i * 1.2345) : i * 1.2345;
      it.seen = i % 5 == 0 ? 0 : Stamp(2000 + i, 1 + i % 12, 1 + i % 28, (i * 3723123) % 86400000);
      it.qty = i * 7;
      it.ok = i % 2 == 0;
      it.note = i % 3 == 0 ? std::string() : std::string(static_cast<size_t>(i * 13), 'n');
      t.BlankRecord();
      store(it);
      t.AppendRecord();
      items.push_back(it);
    }
    for (int r = 2; r <= 30; r += 5) {
      Item& it = items[static_cast<size_t>(r - 1)];
      it.name += "*";
      it.price += 100;
      it.note = std::string(300, 'e');
      t.GotoRecord(r);
      store(it);
      t.WriteRecord(r);
    }
    for (int r : {4, 17}) {
      t.GotoRecord(r);
      t.MarkDeleted();
      items[static_cast<size_t>(r - 1)].deleted = true;
    }
  }

  std::string python_dbf, perl, dbfread_live, dbfread_deleted;
  for (const Item& it : items) {
    char price[32];
    std::snprintf(price, sizeof price, "f:%.6f", it.price);
    const std::string seen = it.seen == 0 ? "-" : "t:" + StampToken(it.seen);
    python_dbf += std::string(it.deleted ? "D" : "L") + "\ti:" + std::to_string(it.id) + "\ts:" + Hex(it.name) + "\t" +
                  price + "\t" + seen + "\ti:" + std::to_string(it.qty) + "\t" + (it.ok ? "T" : "F") + "\ts:" +
                  Hex(it.note) + "\n";
    std::string line = "\ti:" + std::to_string(it.id) + "\ts:" + Hex(it.name) + "\t" + price + "\t" + seen +
                       "\ti:" + std::to_string(it.qty) + "\t" + (it.ok ? "T" : "F") + "\t" +
                       (it.note.empty() ? std::string("-") : "s:" + Hex(it.note)) + "\n";
    (it.deleted ? dbfread_deleted : dbfread_live) += (it.deleted ? "D" : "L") + line;
    perl += std::string(it.deleted ? "D" : "L") + "\t" + Hex(std::to_string(it.id)) + "\t" + Hex(it.name) + "\t" +
            Hex(PerlNumber(std::round(it.price * 10000) / 10000)) + "\t" + Hex(it.seen == 0 ? "-210866803200" : EpochSeconds(it.seen)) +
            "\t" + Hex(std::to_string(it.qty)) + "\t" + Hex(it.ok ? "1" : "0") + "\t" +
            (it.note.empty() ? std::string("-") : Hex(it.note)) + "\n";
  }
  EXPECT_EQ(ReadWithPythonDbf(path), python_dbf);
  EXPECT_EQ(ReadWithDbfread(path), dbfread_live + dbfread_deleted);
  EXPECT_EQ(ReadWithXBase(path), perl);
}

TEST_F(VisualFoxProInteropTest, PerlReadsAVarcharTableWeWroteAndEdited) {
  const std::string path = dir_ / "tags.dbf";
  tessera::CreateTable(path, 0x32,
                       {{"AI", 'I', 0, 0, false, true}, {"LABEL", 'V', 12, 0, true}, {"CODE", 'Q', 6},
                        {"NAME", 'C', 10}, {"PRICE", 'Y', 0, 0, true}, {"BLOB", 'W'}});
  {
    KTO_dBaseFld t(path, true, true);
    for (int i = 0; i < 6; ++i) {
      t.BlankRecord();
      if (i % 2 == 0) t.PutText("LABEL", std::string(static_cast<size_t>(i * 2), 'v'));
      t.PutRaw("CODE", std::string(static_cast<size_t>(i), '\x7F'));
      t.PutText("NAME", "n" + std::to_string(i));
      if (i != 3) t.PutNumber("PRICE", i * 2.5);
      const std::string blob(static_cast<size_t>(i * 40), static_cast<char>(i));
      int32_t size = static_cast<int32_t>(blob.size());
      ASSERT_TRUE(t.MemoWrite(6, blob.data(), &size));
      t.AppendRecord();
    }
    t.GotoRecord(2);
    t.PutText("NAME", "second");
    t.PutText("LABEL", "abc");
    t.WriteRecord(2);
    t.GotoRecord(5);
    t.MarkDeleted();
  }
  // Perl XBase reads neither varchar nor varbinary (undefined), nor
  // .NULL. (a null currency is its zero bytes); the rest is ours.
  std::string expected;
  for (int i = 0; i < 6; ++i) {
    const std::string name = i == 1 ? "second" : "n" + std::to_string(i);
    const std::string blob(static_cast<size_t>(i * 40), static_cast<char>(i));
    expected += std::string(i == 4 ? "D" : "L") + "\t" + Hex(std::to_string(i + 1)) + "\t-\t-\t" + Hex(name) + "\t" +
                Hex(i == 3 ? "0" : plat::ShortestText(i * 2.5)) + "\t" + (blob.empty() ? "-" : Hex(blob)) + "\t\n";
  }
  // The _NullFlags field, last, reads as an empty text.
  EXPECT_EQ(ReadWithXBase(path), expected);
  KTO_dBaseFld t(path, true, false);
  t.GotoRecord(2);
  EXPECT_EQ(t.GetText("LABEL"), "abc");
  t.GotoRecord(4);
  EXPECT_TRUE(t.IsNull(5));
}

// The real-world Northwind products (0x31) and a 0x32 varchar table:
// records appended and edited by this engine, read back by Perl XBase and
// dbfread with the records other programs wrote.
TEST_F(VisualFoxProInteropTest, PerlAndDbfreadReadTheRealWorldTablesAfterOurWrites) {
  PYX_NEED_REALWORLD();
  const std::string products = dir_ / "products.dbf";
  std::filesystem::copy_file(testing_support::RealWorld("rubydbf/dbase_31.dbf"), products);
  std::filesystem::permissions(products, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  const std::string before = ReadWithXBase(products);
  {
    KTO_dBaseFld t(products, true, true);
    t.BlankRecord();
    t.PutText("PRODUCTNAM", "Kvass");
    t.PutText("UNITPRICE", "3.5");
    t.PutLogical("DISCONTINU", true);
    t.AppendRecord();
    t.GotoRecord(5);
    t.PutText("PRODUCTNAM", "Chef Anton's Gumbo");
    t.WriteRecord(5);
  }
  std::vector<std::string> lines = testing_support::Lines(ReadWithXBase(products));
  std::vector<std::string> old_lines = testing_support::Lines(before);
  ASSERT_EQ(lines.size(), 78u);
  for (size_t i = 0; i < 77; ++i) {
    if (i == 4) continue;
    EXPECT_EQ(lines[i], old_lines[i]) << i;
  }
  // The descriptor said 78 comes next.
  EXPECT_EQ(lines[77], "L\t" + Hex("78") + "\t" + Hex("Kvass") + "\t" + Hex("0") + "\t" + Hex("0") + "\t\t" +
                           Hex("3.5") + "\t" + Hex("0") + "\t" + Hex("0") + "\t" + Hex("0") + "\t" + Hex("1") + "\t");
  EXPECT_NE(lines[4].find(Hex("Chef Anton's Gumbo")), std::string::npos);
  const std::string dbfread = ReadWithDbfread(products);
  EXPECT_NE(dbfread.find("L\ti:78\ts:" + Hex("Kvass")), std::string::npos) << dbfread;

  const std::string artists = dir_ / "artists.dbf";
  std::filesystem::copy_file(testing_support::RealWorld("rubydbf/dbase_32.dbf"), artists);
  std::filesystem::permissions(artists, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  {
    KTO_dBaseFld t(artists, true, true);
    t.BlankRecord();
    t.PutText("NAME", "Slim Shady");
    t.AppendRecord();
  }
  EXPECT_EQ(ReadWithXBase(artists), "L\t-\t\nL\t-\t\n");
  KTO_dBaseFld t(artists, true, false);
  t.GotoRecord(1);
  EXPECT_EQ(t.GetText("NAME"), "Bad Meets Evil");
  t.GotoRecord(2);
  EXPECT_EQ(t.GetText("NAME"), "Slim Shady");
}

}  // namespace
