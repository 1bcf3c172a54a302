// Tables and memo files this engine writes, read back by other xBase tools
// from Debian: python3-dbfread (dBase III, FoxPro and Visual FoxPro tables
// and memos) and Perl XBase (dBase IV memos, which dbfread misreads).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "engine/dbf_create.h"
#include "engine/dbf_date.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "support/run_command.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

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

std::string Run(const std::string& command) { return testing_support::RunChecked(command); }

std::string ReadWithDbfread(const std::string& table) {
  // Debian's python modules belong to Debian's interpreter, which need not
  // be the python3 first on PATH.
  return Run("/usr/bin/python3 " PYX_INTEROP_DIR "/read_dbfread.py '" + table + "' 2>&1");
}

std::string ReadWithXBase(const std::string& table) {
  return Run("/usr/bin/perl " PYX_INTEROP_DIR "/read_xbase.pl '" + table + "' 2>&1");
}

// What a card of the model should read as.
struct Card {
  std::string name;  // CP866
  double amount = 0;
  int32_t born = 0;  // day number, 0 = none
  bool ok = false;
  std::string note;  // memo, CP866 or any bytes
  bool deleted = false;
};

class InteropTest : public ::testing::Test {
 protected:
  tessera::EngineScope engine_;
  TempDir dir_;

  void Store(tessera::KTO_dBaseFld& t, const Card& c, bool memo) {
    t.PutText("NAME", c.name);
    t.PutNumber("AMOUNT", c.amount);
    t.PutDate("BORN", c.born);
    t.PutLogical("OK", c.ok);
    if (memo) {
      int32_t size = static_cast<int32_t>(c.note.size());
      ASSERT_TRUE(t.MemoWrite(t.FieldNumber("NOTE"), c.note.data(), &size));
    }
  }

  // Writes the cards, then changes them in place as a user would: rewrites,
  // memos growing, shrinking, emptied and (dBase IV) reusing freed blocks,
  // deletions.
  std::vector<Card> WriteAndEdit(const std::string& path, uint8_t version, bool memo) {
    std::vector<tessera::FieldSpec> fields = {
        {"NAME", 'C', 20, 0}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 0, 0}, {"OK", 'L', 0, 0}};
    if (memo) fields.push_back({"NOTE", 'M', 0, 0});
    tessera::CreateTable(path, version, fields, {version == 0xF5 ? 64 : 0, true});
    std::vector<Card> cards;
    const tessera::TktDBFDate& dates = tessera::EngineDate();
    for (int i = 0; i < 60; ++i) {
      Card c;
      c.name = plat::Utf8ToOem(i % 3 == 0 ? "Ёлкин " + std::to_string(i) : "Card " + std::to_string(i));
      c.amount = (i % 7 == 0 ? -1 : 1) * (i * 12.25);
      c.born = i % 5 == 0 ? 0 : dates.DayNumberOf(1950 + i, 1 + i % 12, 1 + i % 28);
      c.ok = i % 2 == 0;
      if (memo && i % 4 != 3) c.note = plat::Utf8ToOem(std::string(static_cast<size_t>(i * 37 % 900), 'm') + "Примечание " + std::to_string(i));
      cards.push_back(c);
    }
    {
      tessera::KTO_dBaseFld t(path, true, true);
      for (const Card& c : cards) {
        t.BlankRecord();
        Store(t, c, memo);
        t.AppendRecord();
      }
      for (int r = 1; r <= 60; r += 3) {
        Card& c = cards[static_cast<size_t>(r - 1)];
        t.GotoRecord(r);
        c.name += "*";
        c.amount += 0.5;
        if (memo) {
          // grow, shrink and empty in turn
          c.note = r % 9 == 1 ? std::string(1500, 'g') : (r % 9 == 4 ? std::string("short") : std::string());
        }
        Store(t, c, memo);
        t.WriteRecord(r);
      }
      for (int r : {5, 17, 60}) {
        t.GotoRecord(r);
        t.MarkDeleted();
        cards[static_cast<size_t>(r - 1)].deleted = true;
      }
      if (memo) {
        // New cards whose memos land in released blocks (dBase IV).
        for (int i = 0; i < 5; ++i) {
          Card c;
          c.name = "late " + std::to_string(i);
          c.note = std::string(100 + i, 'r');
          t.BlankRecord();
          Store(t, c, memo);
          t.AppendRecord();
          cards.push_back(c);
        }
      }
    }
    return cards;
  }

  static std::string DbfreadLine(const Card& c, bool memo) {
    const tessera::TktDBFDate& dates = tessera::EngineDate();
    char amount[64];
    std::snprintf(amount, sizeof amount, "f:%.6f", c.amount);
    std::string line = std::string(c.deleted ? "D" : "L") + "\ts:" + Hex(c.name) + "\t" + amount + "\t" +
                       (c.born == 0 ? "-" : "d:" + dates.StorageText(c.born)) + "\t" + (c.ok ? "T" : "F");
    if (memo) line += c.note.empty() ? "\t-" : "\ts:" + Hex(c.note);
    return line;
  }

  static std::string Expected(const std::vector<Card>& cards, bool memo) {
    std::string out;
    for (bool deleted : {false, true})
      for (const Card& c : cards)
        if (c.deleted == deleted) out += DbfreadLine(c, memo) + "\n";
    return out;
  }
};

TEST_F(InteropTest, DbfreadReadsAPlainTableWeWroteAndEdited) {
  const std::string path = dir_ / "plain.dbf";
  const auto cards = WriteAndEdit(path, 0x03, false);
  EXPECT_EQ(ReadWithDbfread(path), Expected(cards, false));
}

TEST_F(InteropTest, DbfreadReadsDBase3Memos) {
  const std::string path = dir_ / "d3.dbf";
  const auto cards = WriteAndEdit(path, 0x83, true);
  EXPECT_EQ(ReadWithDbfread(path), Expected(cards, true));
}

TEST_F(InteropTest, DbfreadReadsFoxProMemos) {
  const std::string path = dir_ / "fox.dbf";
  const auto cards = WriteAndEdit(path, 0xF5, true);
  EXPECT_EQ(ReadWithDbfread(path), Expected(cards, true));
}

TEST_F(InteropTest, PerlXBaseReadsDBase4MemosWithReusedBlocks) {
  const std::string path = dir_ / "d4.dbf";
  const auto cards = WriteAndEdit(path, 0x8B, true);
  std::string expected;
  for (const Card& c : cards) {
    std::string name = c.name;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    expected += std::string(c.deleted ? "D" : "L") + "\t" + Hex(name);
    expected += "\t" + Hex(plat::ShortestText(c.amount));  // Perl reads the number as a number
    expected += "\t" + (c.born == 0 ? std::string("-") : Hex(tessera::EngineDate().StorageText(c.born)));
    expected += "\t" + Hex(c.ok ? "1" : "0");
    expected += "\t" + (c.note.empty() ? std::string("-") : Hex(c.note)) + "\n";
  }
  EXPECT_EQ(ReadWithXBase(path), expected);
}

TEST_F(InteropTest, DbfreadReadsVisualFoxProBinaryFields) {
  const std::string path = dir_ / "vfp.dbf";
  tessera::CreateTable(path, 0x30,
                       {{"ID", 'I', 0, 0}, {"AT", 'T', 0, 0}, {"PRICE", 'Y', 0, 0}, {"R", 'B', 0, 2}, {"NOTE", 'M', 0, 0}});
  {
    tessera::KTO_dBaseFld t(path, true, true);
    t.BlankRecord();
    t.PutNumber("ID", -7);
    t.PutText("AT", "20240115 10:20:30.250");
    t.PutText("PRICE", "12.3456");
    t.PutNumberN(4, 0.1);
    int32_t size = 4;
    t.MemoWrite(5, "memo", &size);
    t.AppendRecord();
    t.BlankRecord();
    t.AppendRecord();
  }
  EXPECT_EQ(ReadWithDbfread(path),
            "L\ti:-7\tt:20240115102030.250\tf:12.345600\tf:0.100000\ts:" + Hex("memo") + "\n"
            "L\ti:0\t-\tf:0.000000\tf:0.000000\t-\n");
}

}  // namespace

namespace {

TEST_F(InteropTest, DbfreadReadsTheSampleCallbook) {
  pyx_sample::WriteSampleTable(dir_.path(), 1500, 1, true);
  const std::string out = ::Run(
      "/usr/bin/python3 -c \"import dbfread; t = dbfread.DBF('" + (dir_ / "Pyx.DBF") +
      "', encoding='cp866', load=True); print(t.header.headerlen, len(t.fields), len(t.records)); "
      "print([r['FAM_'] for r in t.records if r['CALL_'] == 'QZ6ZZZ'])\"");
  EXPECT_EQ(out, "449 13 1500\n['Тестов']\n");
}

}  // namespace
