// Randomized comparison of the key sort with std::sort, for every key kind,
// both orders, unique or not, with enough keys for several runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "index/key_sort.h"
#include "sort_test_util.h"

namespace {

using tessera::TktSort;
using tessera::TktVariant;
using tessera::VariantKind;

constexpr int32_t kKeys = 160000;

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    s_ = s_ * 6364136223846793005ULL + 1442695040888963407ULL;
    uint64_t x = s_;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    return x ^ (x >> 29);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t s_;
};

// One test key: the value given to the sort and what should come back.
struct Key {
  TktVariant value;
  std::string back;  // the delivered value's bytes
  double number = 0;
  int32_t day = 0;
};

Key MakeCharacter(Rng& rng) {
  // A small alphabet (with a blank inside, a control byte and CP866 letters)
  // gives many equal values and long shared prefixes.
  static const char kAlphabet[] = {' ', 'A', 'B', 'C', 'D', '\x01', '\x80', '\xA0', '\xE0', '\xEF'};
  std::string v;
  const uint32_t len = rng.Below(12);
  for (uint32_t i = 0; i < len; ++i) v += kAlphabet[rng.Below(sizeof kAlphabet)];
  Key k;
  k.back = v;
  while (!k.back.empty() && k.back.back() == ' ') k.back.pop_back();
  if (rng.Below(4) == 0) v += "   ";  // stored padded, sorted trimmed
  k.value.SetText(v);
  return k;
}

Key MakeNumeric(Rng& rng) {
  double d = 0;
  switch (rng.Below(8)) {
    case 0: d = static_cast<double>(static_cast<int>(rng.Below(101)) - 50); break;
    case 1: d = rng.Below(2) != 0 ? -0.0 : 0.0; break;
    case 2: d = (rng.Below(2) != 0 ? -1 : 1) * std::ldexp(1.0 + rng.Below(1000) / 1000.0, 1000); break;
    case 3: d = (rng.Below(2) != 0 ? -1 : 1) * std::numeric_limits<double>::denorm_min() * (1 + rng.Below(5)); break;
    case 4: d = (rng.Below(2) != 0 ? -1 : 1) * std::numeric_limits<double>::infinity(); break;
    case 5: d = 1.0 + std::ldexp(static_cast<double>(rng.Below(4)), -40); break;
    default: {
      uint64_t bits = 0;
      do {
        bits = rng.Next();
        std::memcpy(&d, &bits, sizeof d);
      } while (std::isnan(d));
    }
  }
  Key k;
  k.value.SetNumber(d);
  k.number = d;
  k.back = std::string(k.value.bytes());
  return k;
}

Key MakeDate(Rng& rng) {
  int32_t day = 0;
  switch (rng.Below(4)) {
    case 0: day = 0; break;
    case 1: day = static_cast<int32_t>(rng.Below(2000)) - 1000; break;
    default: day = 2400000 + static_cast<int32_t>(rng.Below(100000)); break;
  }
  Key k;
  k.value.SetDayNumber(day);
  k.day = day;
  k.back = std::string(k.value.bytes());
  return k;
}

Key MakeBinary(Rng& rng) {
  static const unsigned char kBytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
  std::string v(8, '\0');
  for (char& c : v) c = static_cast<char>(kBytes[rng.Below(sizeof kBytes)]);
  Key k;
  k.value.SetBytes(v.data(), static_cast<int32_t>(v.size()));
  k.back = v;
  return k;
}

// Value order of the reference: numbers by value with -0 before +0, dates by
// day number, texts and bytes as unsigned bytes with a prefix first.
int CompareValues(VariantKind kind, const Key& a, const Key& b) {
  switch (kind) {
    case VariantKind::kNumeric:
      if (a.number != b.number) return a.number < b.number ? -1 : 1;
      return static_cast<int>(std::signbit(b.number)) - static_cast<int>(std::signbit(a.number));
    case VariantKind::kDate: return a.day < b.day ? -1 : (a.day > b.day ? 1 : 0);
    default: return a.back.compare(b.back) < 0 ? -1 : (a.back == b.back ? 0 : 1);
  }
}

bool EqualValues(VariantKind kind, const Key& a, const Key& b) {
  if (kind == VariantKind::kNumeric) return a.number == b.number;  // -0 equals +0
  return CompareValues(kind, a, b) == 0;
}

class KeySortRandom : public ::testing::TestWithParam<std::tuple<VariantKind, bool, bool>> {};

TEST_P(KeySortRandom, MatchesStdSort) {
  // Plain variables, not a structured binding: the comparison lambda below
  // captures them, which clang before 16 refuses for bindings.
  const VariantKind kind = std::get<0>(GetParam());
  const bool ascending = std::get<1>(GetParam());
  const bool unique = std::get<2>(GetParam());
  Rng rng(1000 + static_cast<uint64_t>(kind) * 4 + ascending * 2 + unique);

  std::vector<Key> keys(static_cast<size_t>(kKeys) + 1);  // by record number
  std::vector<int32_t> arrival;
  for (int32_t r = 1; r <= kKeys; ++r) {
    Key& k = keys[static_cast<size_t>(r)];
    switch (kind) {
      case VariantKind::kCharacter: k = MakeCharacter(rng); break;
      case VariantKind::kNumeric: k = MakeNumeric(rng); break;
      case VariantKind::kDate: k = MakeDate(rng); break;
      default: k = MakeBinary(rng); break;
    }
    arrival.push_back(r);
  }
  // Mostly in record order (as a table is read) with stretches shuffled.
  for (size_t i = 0; i + 1 < arrival.size(); i += 2)
    if (rng.Below(3) == 0) std::swap(arrival[i], arrival[rng.Below(static_cast<uint32_t>(arrival.size()))]);

  TktSort sort(20, nullptr, ascending, unique);
  for (int32_t r : arrival) {
    sort.AddKey(keys[static_cast<size_t>(r)].value, r);
    ASSERT_LE(sort.PoolBlockCount(), TktSort::kMaxBlocks);
  }
  EXPECT_EQ(sort.KeyCount(), kKeys);
  const auto out = sort_test::Drain(sort);
  EXPECT_GE(sort.RunCount(), 3u) << "too few keys to exercise the merge";
  EXPECT_EQ(sort.PoolBlockCount(), 0);

  std::vector<int32_t> want = arrival;
  std::stable_sort(want.begin(), want.end(), [&](int32_t a, int32_t b) {
    int c = CompareValues(kind, keys[static_cast<size_t>(a)], keys[static_cast<size_t>(b)]);
    if (c == 0) c = a < b ? -1 : (a > b ? 1 : 0);
    return ascending ? c < 0 : c > 0;
  });
  if (unique) {
    std::vector<int32_t> firsts;
    for (int32_t r : want)
      if (firsts.empty() || !EqualValues(kind, keys[static_cast<size_t>(firsts.back())], keys[static_cast<size_t>(r)]))
        firsts.push_back(r);
    want.swap(firsts);
  }

  ASSERT_EQ(out.size(), want.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const Key& k = keys[static_cast<size_t>(want[i])];
    ASSERT_EQ(out[i].recno, want[i]) << "at " << i;
    ASSERT_EQ(out[i].kind, kind) << "at " << i;
    ASSERT_EQ(out[i].bytes, k.back) << "at " << i;
  }
}

std::string CaseName(const ::testing::TestParamInfo<KeySortRandom::ParamType>& info) {
  const auto [kind, ascending, unique] = info.param;
  std::string name;
  switch (kind) {
    case VariantKind::kCharacter: name = "Character"; break;
    case VariantKind::kNumeric: name = "Numeric"; break;
    case VariantKind::kDate: name = "Date"; break;
    default: name = "Binary"; break;
  }
  return name + (ascending ? "Ascending" : "Descending") + (unique ? "Unique" : "");
}

INSTANTIATE_TEST_SUITE_P(AllKinds, KeySortRandom,
                         ::testing::Combine(::testing::Values(VariantKind::kCharacter, VariantKind::kNumeric,
                                                              VariantKind::kDate, VariantKind::kBinary),
                                            ::testing::Bool(), ::testing::Bool()),
                         CaseName);

}  // namespace
