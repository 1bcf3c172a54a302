// Reading and writing fields of every type in the table's own encodings.
#include "engine/dbf_fields.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/engine.h"
#include "engine/errors.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::TempDir;

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class FieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(path_, 0x83,
                         {{"NAME", 'C', 272, 0},
                          {"AMOUNT", 'N', 8, 2},
                          {"SMALL", 'N', 3, 2},
                          {"COUNT", 'N', 5, 0},
                          {"RATE", 'F', 10, 3},
                          {"BORN", 'D', 0, 0},
                          {"OK", 'L', 0, 0},
                          {"NOTE", 'M', 0, 0},
                          {"PIC", 'G', 0, 0},
                          {"BLOB", 'B', 0, 0},
                          {"ODD", 'Q', 5, 0}},
                         {0, true});
    t_ = std::make_unique<KTO_dBaseFld>(path_, true, true);
    t_->BlankRecord();
  }
  std::string Raw(const char* name) {
    const tessera::DbfField* f = t_->FindField(name);
    return std::string(t_->RecordBuffer() + f->offset, static_cast<size_t>(f->Width()));
  }
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "fields.dbf";
  std::unique_ptr<KTO_dBaseFld> t_;
};

TEST_F(FieldTest, WideCharacterFieldsTakeTheHighByteFromDecimals) {
  EXPECT_EQ(t_->FieldWidth(1), 272);
  EXPECT_EQ(t_->FieldDecimals(1), 0);
  EXPECT_EQ(t_->FieldOffset(2), 273);
  EXPECT_EQ(t_->FieldType(99), '\0');
  EXPECT_EQ(t_->FieldName(0), "");
  EXPECT_EQ(t_->ReservedOp(1, 2, 3, 4, 5), -1);
}

TEST_F(FieldTest, LookupIgnoresCaseAndTrailingBlanks) {
  EXPECT_EQ(t_->FieldNumber("amount  "), 2);
  EXPECT_EQ(t_->FieldNumber("nosuch"), 0);
  EXPECT_EQ(t_->FieldNumber("AMOUNTXXXXXXXXX"), 0);
  const std::string msg = ErrorOf([&] { t_->GetText("nosuch"); });
  EXPECT_EQ(msg.rfind("dBase field name is invalid - /", 0), 0u) << msg;
  EXPECT_NE(msg.find("FIELDS.DBF->nosuch"), std::string::npos) << msg;
  EXPECT_EQ(ErrorOf([&] { t_->GetNumber("NAME"); }), "dBase field is of incorrect type - NAME");
  EXPECT_EQ(ErrorOf([&] { t_->GetDate("OK"); }), "dBase field is of incorrect type - OK");
  EXPECT_NO_THROW(t_->GetNumber("NOTE"));  // memo block numbers are numbers
}

TEST_F(FieldTest, RawPutsAlignByType) {
  t_->PutRaw("COUNT", "ABC");
  EXPECT_EQ(Raw("COUNT"), "  ABC");
  t_->PutRaw("COUNT", "ABCDEFG");
  EXPECT_EQ(Raw("COUNT"), "ABCDE");
  t_->PutRaw("NAME", "ABC");
  EXPECT_EQ(Raw("NAME").substr(0, 5), "ABC  ");
  t_->PutRaw("ODD", "xy");
  EXPECT_EQ(Raw("ODD"), "   xy");
  EXPECT_EQ(t_->GetText("ODD"), "   xy");  // unknown types: plain text, leading blanks kept
  EXPECT_FALSE(t_->PutRawN(99, "x"));
  std::memcpy(t_->RecordBuffer() + t_->FieldOffset(1), "AB\0CD", 5);
  EXPECT_EQ(t_->GetRawN(1), "AB");  // raw text stops at a NUL
}


// A C field's text ends before its trailing blanks and NULs, which are
// skipped eight bytes at a time: every length of text, ending at every
// place of such a word, before every mix of blanks and NULs, and with
// bytes that differ from a blank only in bits other than 0x20 kept.
TEST_F(FieldTest, CharacterTextEndsBeforeTrailingBlanksAndNuls) {
  const int width = t_->FieldWidth(1);
  char* field = t_->RecordBuffer() + t_->FieldOffset(1);
  const std::string last_bytes = std::string("xA\xA0\x80\x01", 5) + std::string(1, '\0');
  for (int len = 0; len <= 40; ++len) {
    for (char last : last_bytes) {
      for (int tail = 0; tail < 4; ++tail) {
        std::memset(field, ' ', static_cast<size_t>(width));
        for (int i = 0; i < len; ++i) field[i] = static_cast<char>('a' + i % 26);
        if (len > 0) field[len - 1] = last;
        if (len > 2) field[1] = '\0';  // a NUL inside the text stays
        // The tail: blanks, NULs, alternating, or NULs only past 16 bytes.
        for (int i = len; i < width; ++i)
          field[i] = tail == 0 ? ' ' : tail == 1 ? '\0' : tail == 2 ? ((i & 1) ? '\0' : ' ') : (i - len > 16 ? '\0' : ' ');
        std::string expected(field, static_cast<size_t>(len));
        while (!expected.empty() && (expected.back() == ' ' || expected.back() == '\0')) expected.pop_back();
        ASSERT_EQ(t_->GetTextN(1), expected) << "length " << len << ", tail " << tail;
      }
    }
  }
  std::memset(field, 'z', static_cast<size_t>(width));
  EXPECT_EQ(t_->GetTextN(1), std::string(static_cast<size_t>(width), 'z'));  // no trailing blank at all
}
TEST_F(FieldTest, NumbersFormatRoundAndOverflow) {
  EXPECT_TRUE(t_->PutNumber("AMOUNT", 3.14159));
  EXPECT_EQ(Raw("AMOUNT"), "    3.14");
  EXPECT_TRUE(t_->PutNumber("AMOUNT", -1234.5));
  EXPECT_EQ(Raw("AMOUNT"), "-1234.50");
  EXPECT_THROW(t_->PutNumber("AMOUNT", -12345.5), tessera::ETesseraError);
  const std::string before = Raw("SMALL");
  EXPECT_EQ(ErrorOf([&] { t_->PutNumber("SMALL", 3.14159); }), "Number too large to fit in field - SMALL - 3.14");
  EXPECT_EQ(Raw("SMALL"), before);
  EXPECT_EQ(ErrorOf([&] { t_->PutNumberN(1, 5); }), "dBase field is of incorrect type - ");
  EXPECT_TRUE(t_->PutNumber("COUNT", 2.5));
  EXPECT_EQ(Raw("COUNT"), "    2");  // exact half: to the even digit
}

TEST_F(FieldTest, NumberTextsReadAndDisplay) {
  t_->PutRaw("AMOUNT", "");
  EXPECT_EQ(t_->GetNumber("AMOUNT"), 0);
  EXPECT_EQ(t_->GetText("AMOUNT"), "0.00");
  t_->PutRaw("AMOUNT", "  12.50");
  EXPECT_EQ(t_->GetText("AMOUNT"), "12.50");
  EXPECT_EQ(t_->GetNumber("AMOUNT"), 12.5);
  t_->PutRaw("AMOUNT", "1.5e2");
  EXPECT_EQ(t_->GetNumber("AMOUNT"), 150);
  t_->PutRaw("AMOUNT", "12x");
  const std::string msg = ErrorOf([&] { t_->GetNumber("AMOUNT"); });
  EXPECT_EQ(msg, "dBase field is of incorrect type - Invalid number in field FIELDS->AMOUNT (     12x)");
  t_->PutRaw("NAME", "42");
  EXPECT_EQ(t_->GetNumberN(1), 42);  // by number the type is not checked
}

TEST_F(FieldTest, PutTextByType) {
  EXPECT_TRUE(t_->PutText("AMOUNT", "7.5   "));
  EXPECT_EQ(Raw("AMOUNT"), "    7.50");
  EXPECT_TRUE(t_->PutText("AMOUNT", ""));
  EXPECT_EQ(Raw("AMOUNT"), "    0.00");  // a formatted zero, not blanks
  EXPECT_EQ(ErrorOf([&] { t_->PutText("AMOUNT", "seven"); }), "dBase field is of incorrect type - ");
  EXPECT_TRUE(t_->PutText("RATE", "abc"));  // F keeps the text as given
  EXPECT_EQ(Raw("RATE"), "       abc");
  EXPECT_TRUE(t_->PutText("OK", "1"));
  EXPECT_EQ(Raw("OK"), "T");
  EXPECT_TRUE(t_->PutText("OK", "0"));
  EXPECT_EQ(Raw("OK"), "F");
  EXPECT_TRUE(t_->PutText("OK", "y"));
  EXPECT_EQ(Raw("OK"), "T");
  EXPECT_TRUE(t_->PutText("OK", ""));
  EXPECT_EQ(Raw("OK"), "F");
  EXPECT_EQ(ErrorOf([&] { t_->PutText("OK", "x"); }), "dBase field is of incorrect type - OK");
}

TEST_F(FieldTest, Logicals) {
  t_->PutRaw("OK", "?");
  EXPECT_FALSE(t_->GetLogical("OK"));
  EXPECT_EQ(t_->GetText("OK"), "F");
  t_->PutRaw("OK", "j");
  EXPECT_TRUE(t_->GetLogical("OK"));
  EXPECT_EQ(t_->GetText("OK"), "T");
  t_->PutRaw("OK", "");
  EXPECT_FALSE(t_->GetLogical("OK"));
  EXPECT_EQ(ErrorOf([&] { t_->PutLogicalN(2, true); }), "dBase field is of incorrect type - ");
}

TEST_F(FieldTest, Dates) {
  t_->PutRaw("BORN", "20010208");
  EXPECT_EQ(t_->GetDate("BORN"), 2451949);
  t_->PutRaw("BORN", "00000000");
  EXPECT_EQ(t_->GetDate("BORN"), 0);
  t_->PutRaw("BORN", "");
  EXPECT_EQ(t_->GetDate("BORN"), 0);
  EXPECT_EQ(t_->GetText("BORN"), "");
  EXPECT_TRUE(t_->PutDate("BORN", 0));
  EXPECT_EQ(Raw("BORN"), "        ");
  EXPECT_TRUE(t_->PutDate("BORN", 2451949));
  EXPECT_EQ(Raw("BORN"), "20010208");
  EXPECT_EQ(ErrorOf([&] { t_->PutDate("BORN", -1); }), "dBase field is of incorrect type - ");
  EXPECT_FALSE(t_->PutDateN(1, 2451949));  // not a D field: refused quietly
  t_->PutRaw("BORN", "2001/xx");
  EXPECT_EQ(ErrorOf([&] { t_->GetDate("BORN"); }),
            "dBase field is of incorrect type - Invalid date in field FIELDS->BORN (2001/xx )");
  // With a handler that returns instead of raising, the getters give their
  // failure answers.
  const tessera::EngineErrorProc saved = tessera::EngineErrorHandler;
  tessera::EngineErrorHandler = [](int32_t, int32_t, const std::string&) {};
  EXPECT_EQ(t_->GetDate("NAME"), -1);
  EXPECT_EQ(t_->GetDate("BORN"), 0);
  EXPECT_EQ(t_->GetNumber("nosuch"), 0);
  EXPECT_FALSE(t_->PutNumber("SMALL", 1000));
  tessera::EngineErrorHandler = saved;
}

}  // namespace

namespace {

TEST_F(FieldTest, MemoFieldsDisplayMarkers) {
  t_->PutRaw("NOTE", "12");
  EXPECT_EQ(t_->GetText("NOTE"), "---MEMO---");
  t_->PutRaw("NOTE", "0");
  EXPECT_EQ(t_->GetText("NOTE"), "---memo---");
  t_->PutRaw("NOTE", "");
  EXPECT_EQ(t_->GetText("NOTE"), "---memo---");
  t_->PutRaw("PIC", "3");
  EXPECT_EQ(t_->GetText("PIC"), "-GENERAL--");
  EXPECT_EQ(t_->GetText("BLOB"), "--binary--");
}

TEST_F(FieldTest, BlankRecordHasZerosInNumbers) {
  t_->PutText("NAME", "x");
  t_->RecordBuffer()[0] = '*';
  t_->BlankRecord();
  EXPECT_EQ(t_->RecordBuffer()[0], ' ');
  EXPECT_EQ(Raw("AMOUNT"), "    0.00");
  EXPECT_EQ(Raw("COUNT"), "    0");
  EXPECT_EQ(Raw("RATE"), "     0.000");
  EXPECT_EQ(Raw("NAME"), std::string(272, ' '));
  EXPECT_EQ(Raw("NOTE"), std::string(10, ' '));
}

TEST_F(FieldTest, ScratchRecordsFromNamedValues) {
  std::string scratch(static_cast<size_t>(t_->RecordLength()), 'z');
  t_->PutText("NAME", "current");
  const std::string name = plat::Utf8ToOem("Пётр");
  t_->StoreValuesInRecord(scratch.data(), "NAME; ODD", {name, std::nullopt});
  EXPECT_EQ(scratch.substr(1, 5), name + " ");
  EXPECT_EQ(scratch.substr(static_cast<size_t>(t_->FieldOffset(11)), 5), "     ");  // Null: left blank
  EXPECT_EQ(t_->GetText("NAME"), "current");  // the table's own buffer is back
  t_->StoreValuesInRecord(scratch.data(), "COUNT;AMOUNT", {std::string("7")});
  EXPECT_EQ(scratch.substr(static_cast<size_t>(t_->FieldOffset(4)), 5), "    7");
  EXPECT_EQ(scratch.substr(static_cast<size_t>(t_->FieldOffset(2)), 8), "    0.00");
}

TEST_F(FieldTest, DeletionMarksWriteTheRecord) {
  t_->PutText("NAME", "one");
  t_->AppendRecord();
  t_->MarkDeleted();
  {
    KTO_dBaseFld other(path_, true, false);
    other.GotoRecord(1);
    EXPECT_TRUE(other.IsDeleted());
  }
  t_->MarkRecalled();
  KTO_dBaseFld other(path_, true, false);
  other.GotoRecord(1);
  EXPECT_FALSE(other.IsDeleted());
  EXPECT_EQ(other.GetText("NAME"), "one");
}

// Version 0x30 tables hold these classes in binary.
class BinaryFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessera::CreateTable(path_, 0x30,
                         {{"ID", 'I', 0, 0}, {"AT", 'T', 0, 0}, {"PRICE", 'Y', 0, 0}, {"R", 'B', 0, 2}, {"NOTE", 'M', 0, 0}},
                         {0, true});
    t_ = std::make_unique<KTO_dBaseFld>(path_, true, true);
    t_->BlankRecord();
  }
  char* At(int n) { return t_->RecordBuffer() + t_->FieldOffset(n); }
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "vfp.dbf";
  std::unique_ptr<KTO_dBaseFld> t_;
};

TEST_F(BinaryFieldTest, ValuesRoundTrip) {
  EXPECT_TRUE(t_->PutNumber("ID", -42.9));
  EXPECT_EQ(t_->GetNumber("ID"), -42);
  EXPECT_EQ(t_->GetText("ID"), "-42");
  EXPECT_TRUE(t_->PutNumberN(3, 214748.3648));
  EXPECT_EQ(t_->GetNumberN(3), 214748.3648);
  EXPECT_EQ(t_->GetTextN(3), "214748.3648");
  int64_t raw = -10000;
  std::memcpy(At(3), &raw, 8);
  EXPECT_EQ(t_->GetNumberN(3), -1);
  EXPECT_TRUE(t_->PutNumberN(4, 1.0 / 3));
  EXPECT_EQ(t_->GetNumberN(4), 1.0 / 3);
  // A date-time: 2001-02-08 12:30:00.
  const double ms = (2451949.0 - 1721425) * 86400000 + 45000000;
  EXPECT_TRUE(t_->PutNumberN(2, ms));
  EXPECT_EQ(t_->GetNumberN(2), ms);
  EXPECT_TRUE(t_->PutText("AT", "20010208 12:30"));
  EXPECT_EQ(t_->GetNumberN(2), ms);
}

TEST_F(BinaryFieldTest, BlanksAndEmptiness) {
  std::memset(At(2), ' ', 8);
  EXPECT_EQ(t_->GetNumberN(2), (2415019.0 - 1721425) * 86400000);
  std::memset(At(1), ' ', 4);
  EXPECT_EQ(t_->GetNumberN(1), 0);
  // A blank record holds what other programs read as empty: zero integers
  // and an all-zero date-time.
  t_->BlankRecord();
  EXPECT_EQ(std::string(At(2), 8), std::string(8, '\0'));
  EXPECT_EQ(t_->GetNumberN(2), 0);
  EXPECT_EQ(t_->GetTextN(2), "");
  EXPECT_EQ(t_->GetTextN(5), "---memo---");
}

TEST_F(BinaryFieldTest, OutOfRangeAndTextIntoBinaryFields) {
  std::memcpy(At(1), "\x01\x02\x03\x04", 4);
  EXPECT_THROW(t_->PutNumber("ID", 3e9), tessera::ETesseraError);
  EXPECT_EQ(std::string(At(1), 4), "\x01\x02\x03\x04");  // untouched
  EXPECT_THROW(t_->PutNumber("PRICE", 1e300), tessera::ETesseraError);
  // Text put into a binary field is stored as its value, never as bytes of
  // text.
  EXPECT_TRUE(t_->PutText("ID", " 17 "));
  EXPECT_EQ(t_->GetNumber("ID"), 17);
  EXPECT_TRUE(t_->PutText("PRICE", "2.5"));
  EXPECT_EQ(t_->GetNumberN(3), 2.5);
  EXPECT_THROW(t_->PutText("ID", "abc"), tessera::ETesseraError);
}

}  // namespace
