// NTX files written by an independent xBase implementation list exactly the
// keys, in exactly the order, of their expected.txt, pass the structural
// check, and stay sound through a thousand random writes made through all
// of them at once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "cdx_test_util.h"
#include "engine/dbf_date.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace {

using testing_support::FixturePath;

const char* const kFiles[] = {"NAME", "AMOUNT", "BORN", "NAMEDESC", "CODEUNIQ", "NAMEFOR"};

std::string Hex(std::string_view bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Whether a stored key is the fixture's key token.
bool SameKey(char type, const std::string& stored, const std::string& want) {
  if (type == 'N') return std::fabs(tessera::KTobjNTXTag::DecodeNumber(stored) - std::strtod(want.c_str(), nullptr)) < 1e-6;
  if (type == 'D') return (stored == "00000000" ? std::string("-") : stored) == want;
  return (stored.empty() ? std::string("-") : Hex(stored)) == want;
}


TEST(NtxFixtures, EveryFileListsItsExpectedKeysAndPassesTheCheck) {
  tessera::EngineScope engine;
  const auto tables = testing_support::ReadExpected("ntx");
  const auto& want = tables.at(0);
  tessera::KTO_dBHandler table(FixturePath("ntx/" + want.items.at("table")), true, false);
  ASSERT_EQ(want.orders.size(), 6u);
  for (const auto& order : want.orders) {
    const std::string name = order.items.at("tag");
    SCOPED_TRACE(name);
    tessera::KTobjNTXFile file(&table, FixturePath("ntx/" + order.items.at("bag")), false, false, true, false);
    ASSERT_TRUE(file.Opened());
    tessera::KTobjIndexTag* tag = file.FindTag(name);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->KeyExpression(), order.items.at("key_expr"));
    EXPECT_EQ(tag->ForExpression(), order.items.at("for_expr") == "-" ? "" : order.items.at("for_expr"));
    EXPECT_EQ(tag->Unique(), order.items.at("unique") == "1");
    EXPECT_EQ(tag->Descending(), order.items.at("descending") == "1");
    EXPECT_EQ(tag->KeyLength(), std::stoi(order.items.at("key_size")));
    const char type = order.items.at("key_type")[0];
    EXPECT_EQ(tag->KeyType(), type);
    tag->ResetTree(0);
    size_t i = 0;
    for (int32_t r = tag->CurrentKey().Reference; r != 0; r = tag->Navigate(-1), ++i) {
      ASSERT_LT(i, order.keys.size());
      ASSERT_EQ(r, order.keys[i].recno) << "position " << i;
      ASSERT_TRUE(SameKey(type, std::string(tag->CurrentKey().bytes()), order.keys[i].key))
          << "position " << i << ": " << tag->CurrentKey().bytes() << " vs " << order.keys[i].key;
    }
    EXPECT_EQ(i, order.keys.size());
    size_t j = order.keys.size();
    for (int32_t r = tag->Navigate(-4); r != 0; r = tag->Navigate(-2)) {
      ASSERT_GT(j, 0u);
      ASSERT_EQ(r, order.keys[--j].recno);
    }
    EXPECT_EQ(j, 0u);
    // Every key is found again by a seek for it and its record.
    for (size_t k = 0; k < order.keys.size(); k += 97) {
      tessera::KTobjIndexKeyData key;
      key.CopyFrom(tag->CurrentKey());
      tag->ResetTree(0);
      int32_t r = tag->CurrentKey().Reference;
      for (size_t step = 0; step < k; ++step) r = tag->Navigate(-1);
      key.CopyFrom(tag->CurrentKey());
      key.Reference = r;
      EXPECT_EQ(tag->Seek(key), r) << "position " << k;
    }
    tag->ReleaseTree();
    // The FOR condition "ACTIVE .AND. QTY > 0" too, read in the usual
    // precedence it was written in.
    for (const auto& f : tessera::CheckNtxFile(file)) ADD_FAILURE() << f;
  }
}

// The stored keys of a tag grouped by value, in tag order: equal keys may
// stand in another order after random writes than after a fresh build.
std::vector<std::pair<std::string, std::multiset<int32_t>>> Groups(tessera::KTobjIndexTag& tag) {
  std::vector<std::pair<std::string, std::multiset<int32_t>>> out;
  for (const auto& [r, key] : testing_support::AllKeys(tag)) {
    if (out.empty() || out.back().first != key) out.push_back({key, {}});
    out.back().second.insert(r);
  }
  tag.ReleaseTree();
  return out;
}

TEST(NtxFixtures, ThousandRandomWritesThroughAllSixFilesKeepThemSound) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  for (const auto& e : std::filesystem::directory_iterator(FixturePath("ntx")))
    std::filesystem::copy_file(e.path(), dir / e.path().filename().string());
  // NAMEFOR's condition "ACTIVE .AND. QTY > 0" is kept as Harbour wrote it
  // (the usual precedence).
  tessera::KTO_dBHandler table(dir / "NTXT.DBF", true, true);
  std::string list;
  for (const char* f : kFiles) list += std::string(list.empty() ? "" : ",") + f + ".NTX";
  ASSERT_EQ(table.OpenIndexList(list, "NAME"), 0);
  std::mt19937 rng(13);
  auto name = [&] {
    static const char* const kNames[] = {"Smith", "smith", "Jones", "", "  lead", "Zz", "Abc", "M\x81ller"};
    std::string n = kNames[rng() % 8];
    if (rng() % 2) n += static_cast<char>('a' + rng() % 26);
    return n;
  };
  for (int op = 0; op < 1000; ++op) {
    const unsigned what = rng() % 6;
    if (what == 0) {
      table.BlankRecord();
      table.PutText("NAME", name());
      table.PutText("CODE", std::string(1, static_cast<char>('A' + rng() % 4)) + std::to_string(rng() % 30));
      table.PutNumber("AMOUNT", (static_cast<double>(rng() % 2000001) - 1000000) / 100.0);
      table.PutNumber("QTY", static_cast<double>(rng() % 5));
      if (rng() % 5) table.PutDate("BORN", tessera::EngineDate().DayNumberOf(1900 + static_cast<int>(rng() % 120), 1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 28)));
      table.PutLogical("ACTIVE", rng() % 2 == 0);
      table.AppendRecord();
      continue;
    }
    const int32_t r = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount()));
    table.GotoRecord(r);
    switch (what) {
      case 1: table.PutText("NAME", name()); break;
      case 2: table.PutNumber("AMOUNT", (static_cast<double>(rng() % 2000001) - 1000000) / 100.0); break;
      case 3:
        table.PutLogical("ACTIVE", !table.GetLogical("ACTIVE"));
        table.PutDate("BORN", rng() % 3 ? tessera::EngineDate().DayNumberOf(2000, 1, 1 + static_cast<int>(rng() % 28)) : 0);
        break;
      case 4: table.PutText("CODE", std::string(1, static_cast<char>('A' + rng() % 4)) + std::to_string(rng() % 30)); break;
      default: break;
    }
    if (what == 5) {
      if (table.IsDeleted()) table.MarkRecalled();
      else table.MarkDeleted();
    }
    table.WriteRecord(r);
  }
  std::map<std::string, std::vector<std::pair<std::string, std::multiset<int32_t>>>> maintained;
  for (const char* f : kFiles) {
    SCOPED_TRACE(f);
    auto& file = *static_cast<tessera::KTobjNTXFile*>(table.IndexFile(table.FindIndexFile(std::string(f) + ".NTX")));
    for (const auto& fault : tessera::CheckNtxFile(file)) ADD_FAILURE() << fault;
    maintained[f] = Groups(*file.Tag());
  }
  table.CloseIndexFiles();
  // A fresh build of each lists the same keys (equal keys aside).
  for (const char* f : kFiles) {
    SCOPED_TRACE(f);
    tessera::KTobjNTXFile file(&table, dir / (std::string(f) + ".NTX"), false, false, true, true);
    ASSERT_TRUE(file.Opened());
    file.Reindex();
    for (const auto& fault : tessera::CheckNtxFile(file)) ADD_FAILURE() << fault;
    const auto fresh = Groups(*file.Tag());
    if (std::string(f) == "CODEUNIQ") {
      // Which record a unique tag keeps, and whether a value stays once the
      // record holding it changed, depends on the history: every value it
      // holds is one a fresh build holds.
      std::set<std::string> values;
      for (const auto& g : fresh) values.insert(g.first);
      for (const auto& g : maintained[f]) EXPECT_TRUE(values.count(g.first)) << g.first;
      EXPECT_GT(maintained[f].size(), fresh.size() * 9 / 10);
    } else {
      EXPECT_TRUE(fresh == maintained[f]);
    }
  }
}

}  // namespace
