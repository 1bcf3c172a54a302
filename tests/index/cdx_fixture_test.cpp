// Compound index files written by an independent xBase implementation list
// exactly the keys, in exactly the order, of their expected.txt.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "support/fixtures.h"

namespace {

using testing_support::FixturePath;

std::string Hex(std::string_view bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// A key in the fixture's notation.
std::string Token(const tessera::KTobjIndexTag& tag, char expected_type, const tessera::KTobjIndexKeyData& key) {
  if (tag.KeyType() == 'C') {
    std::string k(key.bytes());
    while (!k.empty() && k.back() == ' ') k.pop_back();
    return k.empty() ? "-" : Hex(k);
  }
  const double v = tessera::DecodeCdxNumber(key.bytes());
  if (expected_type == 'D') {
    if (v == 0) return "-";
    return tessera::EngineDate().StorageText(static_cast<int32_t>(v));
  }
  if (expected_type == 'T') {
    const double day = std::floor(v);
    return std::to_string(static_cast<long long>(day)) + ":" +
           std::to_string(static_cast<long long>(std::llround((v - day) * 86400000.0)));
  }
  return "#" + std::to_string(v);
}

bool SameToken(const std::string& got, const std::string& want) {
  if (!got.empty() && got[0] == '#') return std::stod(got.substr(1)) == std::strtod(want.c_str(), nullptr) ||
                                             std::fabs(std::stod(got.substr(1)) - std::strtod(want.c_str(), nullptr)) < 1e-6;
  return got == want;
}

void CheckCase(const std::string& case_name, const std::string& index_name) {
  tessera::EngineScope engine;
  const auto tables = testing_support::ReadExpected(case_name);
  const auto& want = tables.at(0);
  tessera::KTO_dBHandler table(FixturePath(case_name + "/" + want.items.at("table")), true, false);
  tessera::KTobjCDXFile file(&table, FixturePath(case_name + "/" + index_name), false, false, true, false);
  ASSERT_TRUE(file.Opened());
  ASSERT_EQ(file.TagCount(), want.orders.size());
  for (const auto& order : want.orders) {
    const std::string name = order.items.at("tag");
    SCOPED_TRACE(case_name + " tag " + name);
    tessera::KTobjIndexTag* tag = file.FindTag(name);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->KeyExpression(), order.items.at("key_expr"));
    EXPECT_EQ(tag->ForExpression(), order.items.at("for_expr") == "-" ? "" : order.items.at("for_expr"));
    EXPECT_EQ(tag->Unique(), order.items.at("unique") == "1");
    EXPECT_EQ(tag->Descending(), order.items.at("descending") == "1");
    EXPECT_EQ(tag->KeyLength(), std::stoi(order.items.at("key_size")));
    const char type = order.items.at("key_type")[0];
    // Forwards from the top.
    tag->ResetTree(0);
    size_t i = 0;
    for (int32_t r = tag->CurrentKey().Reference; r != 0; r = tag->Navigate(-1), ++i) {
      ASSERT_LT(i, order.keys.size());
      ASSERT_EQ(r, order.keys[i].recno) << "position " << i;
      ASSERT_TRUE(SameToken(Token(*tag, type, tag->CurrentKey()), order.keys[i].key))
          << "position " << i << ": " << Token(*tag, type, tag->CurrentKey()) << " vs " << order.keys[i].key;
    }
    EXPECT_EQ(i, order.keys.size());
    EXPECT_TRUE(tag->Eof());
    // Backwards from the bottom.
    size_t j = order.keys.size();
    for (int32_t r = tag->Navigate(-4); r != 0; r = tag->Navigate(-2)) {
      ASSERT_GT(j, 0u);
      --j;
      ASSERT_EQ(r, order.keys[j].recno);
    }
    EXPECT_EQ(j, 0u);
    tag->ReleaseTree();
  }
  // Every check holds for the other program's file too (the FOR condition
  // "ACTIVE .AND. QTY > 0" of one fixture is read in the usual xBase
  // precedence, in which it was written; date-times are Visual FoxPro's
  // day-and-fraction numbers).
  for (const auto& f : tessera::CheckCdxFile(file)) ADD_FAILURE() << f;
}

TEST(CdxFixtures, Callbook) { CheckCase("callbook", "PYX.CDX"); }
TEST(CdxFixtures, CdxTypes) { CheckCase("cdx-types", "TYPES.CDX"); }
TEST(CdxFixtures, VisualFoxPro) { CheckCase("vfp", "VFP.CDX"); }

}  // namespace
