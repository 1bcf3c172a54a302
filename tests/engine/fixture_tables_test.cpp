// Every table of the fixture corpus (written by an independent xBase
// implementation) reads field for field as its expected.txt says.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/dbf_date.h"
#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "platform/text_convert.h"
#include "support/fixtures.h"
#include "support/sha256.h"

namespace {

using testing_support::ExpectedTable;
using testing_support::FixturePath;
using testing_support::FromHex;

std::string Hex(std::string_view bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string RawBytes(tessera::KTO_dBaseFld& t, int i) {
  const tessera::DbfField& f = t.Field(i);
  return std::string(t.RecordBuffer() + f.offset, static_cast<size_t>(f.Width()));
}

// The value of field i of the current record in the fixture's notation.
void ExpectValue(tessera::KTO_dBaseFld& t, int i, const std::string& want, int recno) {
  const tessera::DbfField& f = t.Field(i);
  SCOPED_TRACE("record " + std::to_string(recno) + " field " + f.Name());
  const std::string raw = RawBytes(t, i);
  switch (f.type) {
    case 'C': {
      std::string trimmed = raw;
      while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
      EXPECT_EQ(trimmed.empty() ? "-" : Hex(trimmed), want);
      break;
    }
    case 'N':
    case 'F': EXPECT_EQ(plat::FormatFixed(t.GetNumberN(i), f.Decimals()), want); break;
    case 'D': {
      std::string s = tessera::EngineDate().StorageText(t.GetDateN(i));
      EXPECT_EQ(s == "        " ? "-" : s, want);
      break;
    }
    case 'L': EXPECT_EQ(t.GetLogicalN(i) ? "T" : "F", want); break;
    case 'I': EXPECT_EQ(std::to_string(static_cast<long long>(t.GetNumberN(i))), want); break;
    case 'Y': EXPECT_EQ(plat::FormatFixed(t.GetNumberN(i), 4), want); break;
    case 'B': {
      const size_t bar = want.find('|');
      EXPECT_EQ(Hex(raw), want.substr(bar + 1));
      const std::string shown = want.substr(0, bar);
      if (!shown.empty() && shown[0] != '~') {
        EXPECT_EQ(t.GetNumberN(i), std::strtod(shown.c_str(), nullptr));
      }
      break;
    }
    case 'T': {
      const size_t bar = want.find('|');
      const size_t colon = want.find(':');
      EXPECT_EQ(Hex(raw), want.substr(bar + 1));
      const double jd = std::stod(want.substr(0, colon));
      const double ms = std::stod(want.substr(colon + 1, bar - colon - 1));
      const double expect = jd == 0 && ms == 0 ? 0 : (jd - 1721425) * 86400000.0 + ms;
      EXPECT_EQ(t.GetNumberN(i), expect);
      break;
    }
    case 'M': {
      // length:block:sha256:first16:last16
      std::vector<std::string> p;
      size_t start = 0;
      for (size_t c; (c = want.find(':', start)) != std::string::npos; start = c + 1) p.push_back(want.substr(start, c - start));
      p.push_back(want.substr(start));
      ASSERT_EQ(p.size(), 5u);
      EXPECT_EQ(t.MemoBlock(i), std::stoi(p[1]));
      const std::string text = t.MemoText(i);
      EXPECT_EQ(static_cast<long>(text.size()), std::stol(p[0]));
      EXPECT_EQ(testing_support::Sha256Hex(text), p[2]);
      EXPECT_EQ(t.MemoSize(i), static_cast<int32_t>(text.size()));
      if (!text.empty()) {
        EXPECT_EQ(Hex(text.substr(0, 16)), p[3]);
        EXPECT_EQ(Hex(text.substr(text.size() > 16 ? text.size() - 16 : 0)), p[4]);
      }
      break;
    }
    default: ADD_FAILURE() << "type " << f.type << " not covered";
  }
}

void CheckCase(const std::string& case_name) {
  tessera::EngineScope engine;
  const auto tables = testing_support::ReadExpected(case_name);
  ASSERT_FALSE(tables.empty());
  for (const ExpectedTable& want : tables) {
    const std::string name = want.items.at("table");
    SCOPED_TRACE(case_name + "/" + name);
    tessera::KTO_dBaseFld t(FixturePath(case_name + "/" + name), true, false);
    EXPECT_EQ(t.Version(), std::stoi(want.items.at("version_byte"), nullptr, 16));
    EXPECT_EQ(t.RecordCount(), std::stoi(want.items.at("reccount")));
    EXPECT_EQ(t.HeaderLength(), std::stoi(want.items.at("header_len")));
    EXPECT_EQ(t.RecordLength(), std::stoi(want.items.at("record_len")));
    ASSERT_EQ(t.FieldCount(), static_cast<int>(want.fields.size()));
    for (int i = 1; i <= t.FieldCount(); ++i) {
      EXPECT_EQ(t.FieldName(i), want.fields[static_cast<size_t>(i - 1)].name);
      EXPECT_EQ(t.FieldType(i), want.fields[static_cast<size_t>(i - 1)].type);
      EXPECT_EQ(t.FieldWidth(i), want.fields[static_cast<size_t>(i - 1)].width);
    }
    ASSERT_EQ(static_cast<int>(want.records.size()), t.RecordCount());
    for (const auto& r : want.records) {
      t.GotoRecord(r.recno);
      ASSERT_EQ(t.CurrentRecord(), r.recno);
      EXPECT_EQ(t.IsDeleted(), r.deleted) << "record " << r.recno;
      ASSERT_EQ(static_cast<int>(r.values.size()), t.FieldCount());
      for (int i = 1; i <= t.FieldCount(); ++i) ExpectValue(t, i, r.values[static_cast<size_t>(i - 1)], r.recno);
      if (::testing::Test::HasFailure()) return;  // one broken record is enough to see
    }
  }
}

TEST(FixtureTables, Callbook) { CheckCase("callbook"); }
TEST(FixtureTables, CdxTypes) { CheckCase("cdx-types"); }
TEST(FixtureTables, Ntx) { CheckCase("ntx"); }
TEST(FixtureTables, MemoDbt) { CheckCase("memo-dbt"); }
TEST(FixtureTables, MemoFpt) { CheckCase("memo-fpt"); }
TEST(FixtureTables, VisualFoxPro) { CheckCase("vfp"); }

}  // namespace
