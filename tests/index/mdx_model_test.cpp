// A randomized model test of the multiple index: thousands of appends, key
// changes and FOR flips on a table with many duplicates, with a plain
// sorted model beside every tag. Equal keys are not ordered by record in
// this format, so after every batch each tag must hold exactly the model's
// (key, record) pairs, list the keys in the model's order both ways, seeks
// must land on a record of the sought key, and the structural check must
// hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "cdx_test_util.h"
#include "engine/engine.h"
#include "index/cdx_tag.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
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

// One tag's model: the (key, record) pairs it holds. Keys are compared as
// bytes: names as they are, numbers in a byte form that sorts like them.
struct TagModel {
  std::string name;
  bool unique = false;
  bool descending = false;
  int field = 0;     // 0 NAME, 1 NUM
  int for_kind = 0;  // 0 none, 1 OK, 2 NUM > 0
  std::set<std::pair<std::string, int32_t>> keys;

  std::string KeyOf(const Card& c) const {
    if (field == 0) {
      std::string k = c.name;
      while (!k.empty() && k.back() == ' ') k.pop_back();
      return k;
    }
    return tessera::EncodeCdxNumber(c.num);
  }
  bool ForOf(const Card& c) const { return for_kind == 0 || (for_kind == 1 ? c.ok : c.num > 0); }
  bool HasValue(const std::string& k) const {
    auto it = keys.lower_bound({k, INT32_MIN});
    return it != keys.end() && it->first == k;
  }
  void Insert(const std::string& k, int32_t r) {
    if (unique && HasValue(k)) return;
    keys.insert({k, r});
  }
  void Appended(const Card& c, int32_t r) {
    if (ForOf(c)) Insert(KeyOf(c), r);
  }
  void Changed(const Card& before, const Card& after, int32_t r) {
    const std::string old_key = KeyOf(before), new_key = KeyOf(after);
    const bool found = keys.count({old_key, r}) != 0;
    const bool for_ok = ForOf(after);
    if (old_key == new_key && for_ok) {
      if (!found) Insert(new_key, r);
      return;
    }
    if (found) keys.erase({old_key, r});
    if (for_ok) Insert(new_key, r);
  }
  std::vector<std::string> KeyOrder() const {
    std::vector<std::string> out;
    for (const auto& k : keys) out.push_back(k.first);
    if (descending) std::reverse(out.begin(), out.end());
    return out;
  }
};

double Rounded(double v) { return std::stod(plat::FormatFixed(v, 2)); }

TEST(MdxModel, RandomAppendsChangesAndForFlips) {
  tessera::EngineScope engine;
  TempDir dir;
  const std::string dbf = dir / "m.dbf", mdx = dir / "m.mdx";
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 6, 0}, {"NUM", 'N', 8, 2}, {"OK", 'L', 0, 0}});
  KTO_dBHandler table(dbf, true, true);
  std::vector<TagModel> models = {
      {"NAME", false, false, 0, 0, {}}, {"NAMED", false, true, 0, 0, {}}, {"NUM", false, false, 1, 0, {}},
      {"UNAME", true, false, 0, 0, {}}, {"FOK", false, false, 0, 1, {}},  {"NUMPOS", false, true, 1, 2, {}},
      {"UNUMD", true, true, 1, 0, {}},
  };
  {
    tessera::KTobjMDXFile f(&table, mdx, false, true, true, true);
    ASSERT_TRUE(f.Opened());
    for (const auto& m : models) {
      const std::string expr = m.field == 0 ? "NAME" : "NUM";
      const std::string cond = m.for_kind == 0 ? "" : (m.for_kind == 1 ? "OK" : "NUM > 0");
      ASSERT_TRUE(f.CreateTag(m.name, expr, m.unique, !m.descending, cond));
    }
  }
  ASSERT_EQ(table.OpenIndexFile(mdx), 0);

  std::mt19937 rng(20261209);
  std::vector<Card> cards;
  auto random_card = [&]() {
    Card c;
    const int len = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < len; ++i) c.name += static_cast<char>('A' + rng() % 5);  // many duplicates
    c.num = Rounded((static_cast<double>(rng() % 2001) - 1000) / 7.0);
    c.ok = rng() % 2 == 0;
    return c;
  };
  auto store = [&](const Card& c) {
    table.PutText("NAME", c.name);
    table.PutNumber("NUM", c.num);
    table.PutLogical("OK", c.ok);
  };

  constexpr int kBatches = 12, kPerBatch = 400;
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
        else after.ok = !after.ok;  // a FOR flip
        table.GotoRecord(r);
        store(after);
        table.WriteRecord(r);
        for (auto& m : models) m.Changed(cards[static_cast<size_t>(r - 1)], after, r);
        cards[static_cast<size_t>(r - 1)] = after;
      }
    }
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (const auto& m : models) {
      tessera::KTobjIndexTag& tag = *table.FindTag(m.name);
      std::vector<int32_t> got;
      tag.ResetTree(0);
      for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) got.push_back(r);
      std::set<std::pair<std::string, int32_t>> held;
      std::vector<std::string> key_order;
      for (int32_t r : got) {
        const std::string k = m.KeyOf(cards[static_cast<size_t>(r - 1)]);
        held.insert({k, r});
        key_order.push_back(k);
      }
      ASSERT_EQ(held, m.keys) << "tag " << m.name;
      ASSERT_EQ(key_order, m.KeyOrder()) << "tag " << m.name;
      std::vector<int32_t> back;
      for (int32_t r = tag.Navigate(-4); r != 0; r = tag.Navigate(-2)) back.push_back(r);
      std::reverse(back.begin(), back.end());
      ASSERT_EQ(back, got) << "tag " << m.name;
    }
    // Seeks in the ascending NAME tag, exact and partial: a record whose
    // key is the first match.
    tessera::KTobjIndexTag& name = *table.FindTag("NAME");
    const TagModel& model = models[0];
    for (int s = 0; s < 40; ++s) {
      const std::string target = random_card().name.substr(0, 1 + rng() % 3);
      tessera::KTobjIndexKeyData key;
      key.SetText(target);
      key.Reference = -1;
      auto first = model.keys.lower_bound({target, INT32_MIN});
      table.ExactKeyOnly = true;
      const int32_t exact = name.Seek(key);
      if (first != model.keys.end() && first->first == target) {
        ASSERT_GT(exact, 0) << target;
        EXPECT_EQ(model.KeyOf(cards[static_cast<size_t>(exact - 1)]), target);
      } else {
        EXPECT_EQ(exact, 0) << target;
      }
      table.ExactKeyOnly = false;
      const int32_t partial = name.Seek(key);
      const bool prefix = first != model.keys.end() && first->first.compare(0, target.size(), target) == 0;
      if (prefix) {
        ASSERT_GT(partial, 0) << target;
        EXPECT_EQ(model.KeyOf(cards[static_cast<size_t>(partial - 1)]), first->first) << target;
      } else {
        EXPECT_EQ(partial, 0) << target;
      }
    }
    const auto faults = tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(table.IndexFile(1)));
    for (const auto& f : faults) ADD_FAILURE() << f;
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
