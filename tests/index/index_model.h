// The randomized model test shared by every index kind: cards of three
// fields (NAME C 6, NUM N 8.2, OK L), tags over NAME or NUM with or without
// UNIQUE, DESCENDING and a FOR, thousands of appends, key changes and FOR
// flips, and beside every tag a plain list of the (stored key, record)
// pairs it must hold, kept in the tag's order. The kinds differ only in
// where an equal key goes, which each test states with `EqualKeys`.
#ifndef PYX_TESTS_INDEX_INDEX_MODEL_H_
#define PYX_TESTS_INDEX_INDEX_MODEL_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cdx_test_util.h"
#include "engine/engine.h"
#include "platform/text_convert.h"

namespace index_model {

struct Card {
  std::string name;
  double num = 0;
  bool ok = false;
};

enum class EqualKeys {
  kRecordOrder,     // equal keys by record number (CDX)
  kInsertionOrder,  // a new equal key after the others (NTX, NDX)
  kAnyOrder,        // the format keeps no order among equal keys (MDX)
};

using Entry = std::pair<std::string, int32_t>;

struct TagModel {
  std::string name;  // the tag's name; for single-tag files also the file's
  bool unique = false;
  bool descending = false;
  int field = 0;     // 0 NAME, 1 NUM
  int for_kind = 0;  // 0 none, 1 OK, 2 NUM > 0
  EqualKeys equal = EqualKeys::kRecordOrder;
  std::vector<Entry> keys;  // in the tag's order

  std::string Expression() const { return field == 0 ? "NAME" : "NUM"; }
  std::string Condition() const { return for_kind == 0 ? "" : (for_kind == 1 ? "OK" : "NUM > 0"); }

  // The key as stored: character keys without their trailing blanks,
  // numbers in a byte form that sorts like them.
  std::string KeyOf(const Card& c) const {
    if (field == 0) {
      std::string k = c.name;
      while (!k.empty() && k.back() == ' ') k.pop_back();
      return k;
    }
    return tessera::EncodeCdxNumber(c.num);
  }
  bool ForOf(const Card& c) const { return for_kind == 0 || (for_kind == 1 ? c.ok : c.num > 0); }
  bool Holds(const Entry& e) const { return std::find(keys.begin(), keys.end(), e) != keys.end(); }
  bool HasValue(const std::string& k) const {
    return std::any_of(keys.begin(), keys.end(), [&](const Entry& e) { return e.first == k; });
  }
  void Insert(const std::string& k, int32_t r) {
    if (unique && HasValue(k)) return;
    const Entry e{k, r};
    auto at = std::find_if(keys.begin(), keys.end(), [&](const Entry& held) {
      if (equal == EqualKeys::kInsertionOrder) return descending ? held.first < k : k < held.first;
      return descending ? held < e : e < held;
    });
    keys.insert(at, e);
  }
  void Erase(const Entry& e) {
    if (auto it = std::find(keys.begin(), keys.end(), e); it != keys.end()) keys.erase(it);
  }
  // What the index does after a record is written.
  void Appended(const Card& c, int32_t r) {
    if (ForOf(c)) Insert(KeyOf(c), r);
  }
  void Changed(const Card& before, const Card& after, int32_t r) {
    const std::string old_key = KeyOf(before), new_key = KeyOf(after);
    const bool found = Holds({old_key, r});
    const bool for_ok = ForOf(after);
    if (old_key == new_key && for_ok) {
      if (!found) Insert(new_key, r);
      return;
    }
    if (found) Erase({old_key, r});
    if (for_ok) Insert(new_key, r);
  }
  std::vector<int32_t> Order() const {
    std::vector<int32_t> out;
    for (const auto& k : keys) out.push_back(k.second);
    return out;
  }
  std::vector<std::string> KeyOrder() const {
    std::vector<std::string> out;
    for (const auto& k : keys) out.push_back(k.first);
    return out;
  }
};

inline double Rounded(double v) { return std::stod(plat::FormatFixed(v, 2)); }

// The table the models describe.
inline void CreateModelTable(const std::string& dbf) {
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', 6, 0}, {"NUM", 'N', 8, 2}, {"OK", 'L', 0, 0}});
}

// Drives one table and its models: random writes, then the checks of
// every tag against its model.
class ModelRun {
 public:
  ModelRun(tessera::KTO_dBHandler& table, uint32_t seed, int num_range)
      : table_(table), rng_(seed), num_range_(num_range) {}

  const std::vector<Card>& cards() const { return cards_; }

  Card RandomCard() {
    Card c;
    const int len = 1 + static_cast<int>(rng_() % 4);
    for (int i = 0; i < len; ++i) c.name += static_cast<char>('A' + rng_() % 5);  // many duplicates
    c.num = Rounded((static_cast<double>(rng_() % static_cast<unsigned>(2 * num_range_ + 1)) - num_range_) / 7.0);
    c.ok = rng_() % 2 == 0;
    return c;
  }

  // Four appends in ten writes; the rest change a name, a number or flip
  // the FOR of an existing card.
  void Batch(std::vector<TagModel>& models, int ops) {
    for (int op = 0; op < ops; ++op) {
      const unsigned what = rng_() % 10;
      if (cards_.empty() || what < 4) {
        Card c = RandomCard();
        table_.BlankRecord();
        Store(c);
        table_.AppendRecord();
        cards_.push_back(c);
        for (auto& m : models) m.Appended(c, static_cast<int32_t>(cards_.size()));
      } else {
        const int32_t r = static_cast<int32_t>(1 + rng_() % cards_.size());
        Card after = cards_[static_cast<size_t>(r - 1)];
        if (what < 7) after.name = RandomCard().name;
        else if (what < 9) after.num = RandomCard().num;
        else after.ok = !after.ok;  // a FOR flip
        table_.GotoRecord(r);
        Store(after);
        table_.WriteRecord(r);
        for (auto& m : models) m.Changed(cards_[static_cast<size_t>(r - 1)], after, r);
        cards_[static_cast<size_t>(r - 1)] = after;
      }
    }
  }

  // The tag lists its model's records, forwards and backwards.
  void CheckOrder(const TagModel& m) {
    tessera::KTobjIndexTag& tag = *table_.FindTag(m.name);
    std::vector<int32_t> got;
    tag.ResetTree(0);
    for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) got.push_back(r);
    if (m.equal == EqualKeys::kAnyOrder) {
      std::set<Entry> held;
      std::vector<std::string> key_order;
      for (int32_t r : got) {
        const std::string k = m.KeyOf(cards_[static_cast<size_t>(r - 1)]);
        held.insert({k, r});
        key_order.push_back(k);
      }
      ASSERT_EQ(held, std::set<Entry>(m.keys.begin(), m.keys.end())) << "tag " << m.name;
      ASSERT_EQ(key_order, m.KeyOrder()) << "tag " << m.name;
    } else {
      ASSERT_EQ(got, m.Order()) << "tag " << m.name;
    }
    std::vector<int32_t> back;
    for (int32_t r = tag.Navigate(-4); r != 0; r = tag.Navigate(-2)) back.push_back(r);
    std::reverse(back.begin(), back.end());
    ASSERT_EQ(back, got) << "tag " << m.name;
  }

  // Exact and partial seeks of random prefixes in an ascending tag over
  // NAME: each lands on the first match in the tag's order, or, where the
  // format keeps no order among equal keys, on a record with that key.
  void CheckSeeks(const TagModel& m, int count) {
    tessera::KTobjIndexTag& tag = *table_.FindTag(m.name);
    for (int s = 0; s < count; ++s) {
      const std::string target = RandomCard().name.substr(0, 1 + rng_() % 3);
      tessera::KTobjIndexKeyData key;
      key.SetText(target);
      key.Reference = -1;
      auto first = std::find_if(m.keys.begin(), m.keys.end(), [&](const Entry& e) { return !(e.first < target); });
      const bool exact_hit = first != m.keys.end() && first->first == target;
      const bool prefix_hit = first != m.keys.end() && first->first.compare(0, target.size(), target) == 0;
      table_.ExactKeyOnly = true;
      ExpectLanding(m, tag.Seek(key), exact_hit, first, target);
      table_.ExactKeyOnly = false;
      ExpectLanding(m, tag.Seek(key), prefix_hit, first, target);
      if (!prefix_hit && first != m.keys.end() && m.equal != EqualKeys::kAnyOrder) {
        EXPECT_EQ(tag.Navigate(-5), first->second) << target;
      }
    }
  }

 private:
  void Store(const Card& c) {
    table_.PutText("NAME", c.name);
    table_.PutNumber("NUM", c.num);
    table_.PutLogical("OK", c.ok);
  }
  void ExpectLanding(const TagModel& m, int32_t got, bool hit, std::vector<Entry>::const_iterator first,
                     const std::string& target) {
    if (!hit) {
      EXPECT_EQ(got, 0) << target;
    } else if (m.equal == EqualKeys::kAnyOrder) {
      ASSERT_GT(got, 0) << target;
      EXPECT_EQ(m.KeyOf(cards_[static_cast<size_t>(got - 1)]), first->first) << target;
    } else {
      EXPECT_EQ(got, first->second) << target;
    }
  }

  tessera::KTO_dBHandler& table_;
  std::mt19937 rng_;
  int num_range_;
  std::vector<Card> cards_;
};

}  // namespace index_model

#endif  // PYX_TESTS_INDEX_INDEX_MODEL_H_
