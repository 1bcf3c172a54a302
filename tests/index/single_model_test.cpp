// A randomized model test of the single-tag formats: thousands of appends,
// key changes and FOR flips on a table with many equal keys, with a plain
// ordered list beside every NTX and NDX file (equal keys in the order they
// were inserted, a new one after the others). After every batch each tag
// lists exactly the model's records in order, forwards and backwards,
// seeks land where the model says, and the file's own check holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "cdx_test_util.h"
#include "index/cdx_tag.h"
#include "engine/engine.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "platform/text_convert.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::TempDir;

struct Card {
  std::string name;
  double num = 0;
  bool ok = false;
};

struct TagModel {
  std::string file;  // also the tag's name
  bool unique = false;
  bool descending = false;
  int field = 0;     // 0 NAME, 1 NUM
  int for_kind = 0;  // 0 none, 1 OK, 2 NUM > 0
  std::vector<std::pair<std::string, int32_t>> keys;  // in tag order

  std::string KeyOf(const Card& c) const {
    if (field == 0) {
      std::string k = c.name;
      while (!k.empty() && k.back() == ' ') k.pop_back();
      return k;
    }
    return tessera::EncodeCdxNumber(c.num);  // sorts like the number
  }
  bool ForOf(const Card& c) const { return for_kind == 0 || (for_kind == 1 ? c.ok : c.num > 0); }
  bool Before(const std::string& a, const std::string& b) const { return descending ? b < a : a < b; }
  bool HasValue(const std::string& k) const {
    return std::any_of(keys.begin(), keys.end(), [&](const auto& e) { return e.first == k; });
  }
  void Insert(const std::string& k, int32_t r) {
    if (unique && HasValue(k)) return;
    auto at = std::find_if(keys.begin(), keys.end(), [&](const auto& e) { return Before(k, e.first); });
    keys.insert(at, {k, r});
  }
  bool Erase(const std::string& k, int32_t r) {
    auto it = std::find(keys.begin(), keys.end(), std::pair<std::string, int32_t>{k, r});
    if (it == keys.end()) return false;
    keys.erase(it);
    return true;
  }
  void Appended(const Card& c, int32_t r) {
    if (ForOf(c)) Insert(KeyOf(c), r);
  }
  void Changed(const Card& before, const Card& after, int32_t r) {
    const std::string old_key = KeyOf(before), new_key = KeyOf(after);
    const bool found = std::find(keys.begin(), keys.end(), std::pair<std::string, int32_t>{old_key, r}) != keys.end();
    const bool for_ok = ForOf(after);
    if (old_key == new_key && for_ok) {
      if (!found) Insert(new_key, r);
      return;
    }
    if (found) Erase(old_key, r);
    if (for_ok) Insert(new_key, r);
  }
  std::vector<int32_t> Order() const {
    std::vector<int32_t> out;
    for (const auto& k : keys) out.push_back(k.second);
    return out;
  }
};

double Rounded(double v) { return std::stod(plat::FormatFixed(v, 2)); }

void RunModel(bool ntx) {
  tessera::EngineScope engine;
  TempDir dir;
  const std::string dbf = dir / "m.dbf";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 6, 0}, {"NUM", 'N', 8, 2}, {"OK", 'L', 0, 0}});
  KTO_dBHandler table(dbf, true, true);
  std::vector<TagModel> models;
  if (ntx) {
    models = {{"NAME", false, false, 0, 0, {}},  {"NAMED", false, true, 0, 0, {}}, {"NUM", false, false, 1, 0, {}},
              {"UNAME", true, false, 0, 0, {}},  {"FOK", false, false, 0, 1, {}},  {"NUMPOS", false, true, 1, 2, {}},
              {"UNAMED", true, true, 0, 0, {}}};
  } else {
    models = {{"NAME", false, false, 0, 0, {}}, {"NUM", false, false, 1, 0, {}}, {"UNAME", true, false, 0, 0, {}}};
  }
  const std::string ext = ntx ? ".NTX" : ".NDX";
  std::string list;
  for (const auto& m : models) {
    const std::string expr = m.field == 0 ? "NAME" : "NUM";
    const std::string cond = m.for_kind == 0 ? "" : (m.for_kind == 1 ? "OK" : "NUM > 0");
    table.CreateIndexTag(dir / (m.file + ext), "", expr, cond, m.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys,
                         m.descending ? 1 : 0);
    list += (list.empty() ? "" : ",") + m.file + ext;
  }
  ASSERT_EQ(table.OpenIndexList(list, ""), 0);

  std::mt19937 rng(ntx ? 1306 : 1305);
  std::vector<Card> cards;
  auto random_card = [&]() {
    Card c;
    const int len = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < len; ++i) c.name += static_cast<char>('A' + rng() % 5);  // many duplicates
    c.num = Rounded((static_cast<double>(rng() % 20001) - 10000) / 7.0);
    c.ok = rng() % 2 == 0;
    return c;
  };
  auto store = [&](const Card& c) {
    table.PutText("NAME", c.name);
    table.PutNumber("NUM", c.num);
    table.PutLogical("OK", c.ok);
  };
  constexpr int kBatches = 10, kPerBatch = 400;
  for (int batch = 0; batch < kBatches; ++batch) {
    for (int op = 0; op < kPerBatch; ++op) {
      const unsigned what = rng() % 10;
      if (cards.empty() || what < 4) {
        Card c = random_card();
        table.BlankRecord();
        store(c);
        table.AppendRecord();
        cards.push_back(c);
        for (auto& m : models) m.Appended(c, static_cast<int32_t>(cards.size()));
      } else {
        const int32_t r = static_cast<int32_t>(1 + rng() % cards.size());
        Card after = cards[static_cast<size_t>(r - 1)];
        if (what < 7) after.name = random_card().name;
        else if (what < 9) after.num = random_card().num;
        else after.ok = !after.ok;
        table.GotoRecord(r);
        store(after);
        table.WriteRecord(r);
        for (auto& m : models) m.Changed(cards[static_cast<size_t>(r - 1)], after, r);
        cards[static_cast<size_t>(r - 1)] = after;
      }
    }
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (const auto& m : models) {
      tessera::KTobjIndexTag& tag = *table.FindTag(m.file);
      std::vector<int32_t> got;
      tag.ResetTree(0);
      for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) got.push_back(r);
      ASSERT_EQ(got, m.Order()) << "tag " << m.file;
      std::vector<int32_t> back;
      for (int32_t r = tag.Navigate(-4); r != 0; r = tag.Navigate(-2)) back.push_back(r);
      std::reverse(back.begin(), back.end());
      ASSERT_EQ(back, got) << "tag " << m.file;
    }
    // Seeks in the ascending NAME tag, exact and partial: the first of the
    // equal keys in the tag's order.
    tessera::KTobjIndexTag& name = *table.FindTag("NAME");
    const TagModel& model = models[0];
    for (int s = 0; s < 40; ++s) {
      const std::string target = random_card().name.substr(0, 1 + rng() % 3);
      tessera::KTobjIndexKeyData key;
      key.SetText(target);
      key.Reference = -1;
      auto first = std::find_if(model.keys.begin(), model.keys.end(), [&](const auto& e) { return !(e.first < target); });
      table.ExactKeyOnly = true;
      EXPECT_EQ(name.Seek(key), first != model.keys.end() && first->first == target ? first->second : 0) << target;
      table.ExactKeyOnly = false;
      const bool prefix = first != model.keys.end() && first->first.compare(0, target.size(), target) == 0;
      EXPECT_EQ(name.Seek(key), prefix ? first->second : 0) << target;
      if (!prefix && first != model.keys.end()) {
        EXPECT_EQ(name.Navigate(-5), first->second);
      }
    }
    for (int slot = 1; slot <= static_cast<int>(models.size()); ++slot) {
      const auto faults = ntx ? tessera::CheckNtxFile(*static_cast<tessera::KTobjNTXFile*>(table.IndexFile(slot)))
                              : tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(table.IndexFile(slot)));
      for (const auto& f : faults) ADD_FAILURE() << f;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(SingleModel, NtxRandomAppendsChangesAndForFlips) { RunModel(true); }
TEST(SingleModel, NdxRandomAppendsAndChanges) { RunModel(false); }

}  // namespace
