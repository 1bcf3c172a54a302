// The key sort's ordering rules, its refusals and the cases where a naive
// trie or merge would lose or misplace keys.
#include "index/key_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "sort_test_util.h"

namespace {

using sort_test::Bytes;
using sort_test::Day;
using sort_test::Drain;
using sort_test::Number;
using sort_test::Out;
using sort_test::Recnos;
using sort_test::Text;
using tessera::ETesseraError;
using tessera::TktSort;
using tessera::TktVariant;
using tessera::VariantKind;

std::string Texts(const std::vector<Out>& out) {
  std::string s;
  for (const auto& o : out) s += o.bytes + "/" + std::to_string(o.recno) + " ";
  return s;
}

double AsDouble(const Out& o) {
  double d = 0;
  EXPECT_EQ(o.bytes.size(), sizeof d);
  std::memcpy(&d, o.bytes.data(), sizeof d);
  return d;
}

void ExpectThrowsText(const std::function<void()>& f, const std::string& text) {
  try {
    f();
    ADD_FAILURE() << "no error, expected \"" << text << "\"";
  } catch (const ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
}

TEST(KeySortOrder, CharacterKeysAscendingAndDescending) {
  for (bool ascending : {true, false}) {
    TktSort sort(10, nullptr, ascending, false);
    sort.AddKey(Text("B"), 1);
    sort.AddKey(Text("A"), 2);
    sort.AddKey(Text("C"), 3);
    const auto out = Drain(sort);
    EXPECT_EQ(Texts(out), ascending ? "A/2 B/1 C/3 " : "C/3 B/1 A/2 ");
    for (const auto& o : out) EXPECT_EQ(o.kind, VariantKind::kCharacter);
  }
}

TEST(KeySortOrder, EqualValuesByRecordNumberAndUnique) {
  struct Case {
    bool ascending, unique;
    std::vector<int32_t> expect;
  };
  for (const Case& c : {Case{true, false, {3, 7}}, Case{false, false, {7, 3}}, Case{true, true, {3}},
                        Case{false, true, {7}}}) {
    TktSort sort(10, nullptr, c.ascending, c.unique);
    sort.AddKey(Text("SAME"), 7);
    sort.AddKey(Text("SAME"), 3);
    EXPECT_EQ(Recnos(Drain(sort)), c.expect) << c.ascending << c.unique;
  }
}

TEST(KeySortOrder, TrailingBlanksDoNotCount) {
  TktSort sort(10, nullptr, true, true);
  sort.AddKey(Text("AB "), 2);
  sort.AddKey(Text("AB"), 5);
  sort.AddKey(Text("AB\t"), 1);  // a tab is not a blank: a different value
  sort.AddKey(Text("   "), 9);   // all blanks: the empty value, first
  const auto out = Drain(sort);
  EXPECT_EQ(Texts(out), "/9 AB/2 AB\t/1 ");

  TktSort all(10, nullptr, true, false);
  all.AddKey(Text("AB "), 2);
  all.AddKey(Text("AB"), 5);
  EXPECT_EQ(Texts(Drain(all)), "AB/2 AB/5 ");
}

TEST(KeySortOrder, NumericKeys) {
  const double tiny = std::ldexp(1.0, -40);
  const std::vector<double> in = {1e300, 1.0 + tiny, -2.5, 1.0, 0.0, -0.0, -1e300,
                                  std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::infinity()};
  TktSort sort(9, nullptr, true, false);
  for (size_t i = 0; i < in.size(); ++i) sort.AddKey(Number(in[i]), static_cast<int32_t>(i + 1));
  const auto out = Drain(sort);
  ASSERT_EQ(out.size(), in.size());
  const std::vector<double> want = {-std::numeric_limits<double>::infinity(), -1e300, -2.5, -0.0, 0.0,
                                    std::numeric_limits<double>::denorm_min(), 1.0, 1.0 + tiny, 1e300,
                                    std::numeric_limits<double>::infinity()};
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].kind, VariantKind::kNumeric);
    const double d = AsDouble(out[i]);
    EXPECT_EQ(d, want[i]) << i;
    EXPECT_EQ(std::signbit(d), std::signbit(want[i])) << i;  // -0 before +0, and kept as -0
  }

  TktSort down(9, nullptr, false, false);
  for (double d : {-2.5, 0.0, 1.0, 1.0 + tiny, 1e300}) down.AddKey(Number(d), 1);
  std::vector<double> got;
  for (const auto& o : Drain(down)) got.push_back(AsDouble(o));
  EXPECT_EQ(got, (std::vector<double>{1e300, 1.0 + tiny, 1.0, 0.0, -2.5}));
}

TEST(KeySortOrder, UniqueNumericKeysAroundNaN) {
  // 0.0/0.0 gives a NaN with the sign bit set, which sorts before every
  // number; the plain comparison finds it equal to everything, so a unique
  // sort must not drop the keys that follow it.
  const double nan = -std::numeric_limits<double>::quiet_NaN();
  TktSort sort(9, nullptr, true, true);
  sort.AddKey(Number(2.0), 1);
  sort.AddKey(Number(nan), 2);
  sort.AddKey(Number(1.0), 3);
  sort.AddKey(Number(-0.0), 4);
  sort.AddKey(Number(0.0), 5);  // equal to -0: dropped in a unique sort
  sort.AddKey(Number(nan), 6);  // a second NaN is a repeat
  const auto out = Drain(sort);
  ASSERT_EQ(out.size(), 4u) << Texts(out);
  EXPECT_TRUE(std::isnan(AsDouble(out[0])));
  EXPECT_EQ(out[0].recno, 2);
  EXPECT_EQ(out[1].recno, 4);
  EXPECT_EQ(out[2].recno, 3);
  EXPECT_EQ(out[3].recno, 1);
}

TEST(KeySortOrder, DateKeys) {
  TktSort sort(9, nullptr, true, false);
  const std::vector<int32_t> days = {2451949, 0, 2440588, -5, 2451948, std::numeric_limits<int32_t>::max()};
  for (size_t i = 0; i < days.size(); ++i) sort.AddKey(Day(days[i]), static_cast<int32_t>(i + 1));
  std::vector<int32_t> got;
  for (const auto& o : Drain(sort)) {
    EXPECT_EQ(o.kind, VariantKind::kDate);
    int32_t d = 0;
    std::memcpy(&d, o.bytes.data(), sizeof d);
    got.push_back(d);
  }
  EXPECT_EQ(got, (std::vector<int32_t>{-5, 0, 2440588, 2451948, 2451949, std::numeric_limits<int32_t>::max()}));
}

TEST(KeySortOrder, BinaryKeysComeBackWithoutRecordNumber) {
  TktSort sort(8, nullptr, true, false);
  TktVariant k = Bytes(std::string("\x00\x01\xFF", 3));
  sort.AddKey(k, 3);
  sort.AddKey(k, 2);  // the same value object again: the caller's value is not extended
  EXPECT_EQ(k.size(), 3);
  sort.AddKey(Bytes(std::string("\x00\x01", 2)), 9);
  sort.AddKey(Bytes(""), 4);
  const auto out = Drain(sort);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].bytes, "");
  EXPECT_EQ(out[1].bytes, std::string("\x00\x01", 2));
  EXPECT_EQ(out[2].bytes, std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(out[3].bytes, std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(Recnos(out), (std::vector<int32_t>{4, 9, 2, 3}));
  for (const auto& o : out) EXPECT_EQ(o.kind, VariantKind::kBinary);
}

TEST(KeySortOrder, EmptySortAndEndOfRetrieval) {
  TktSort sort(10, nullptr, true, false);
  TktVariant key;
  int32_t recno = 0;
  EXPECT_FALSE(sort.HasMoreKeys());
  EXPECT_FALSE(sort.NextKey(key, recno));
  EXPECT_EQ(sort.RunCount(), 0u);

  TktSort one(10, nullptr, true, false);
  one.AddKey(Text("X"), 1);
  EXPECT_TRUE(one.NextKey(key, recno));
  EXPECT_FALSE(one.NextKey(key, recno));
  EXPECT_FALSE(one.NextKey(key, recno));  // stays ended
}

TEST(KeySortOrder, HasMoreKeysDoesNotConsume) {
  TktSort sort(10, nullptr, true, true);
  for (int32_t r : {5, 1, 4, 2, 3}) sort.AddKey(Text(r % 2 == 0 ? "EVEN" : "ODD"), r);
  EXPECT_EQ(sort.KeyCount(), 5);
  std::vector<int32_t> got;
  TktVariant key;
  int32_t recno = 0;
  while (sort.HasMoreKeys()) {
    EXPECT_TRUE(sort.HasMoreKeys());
    ASSERT_TRUE(sort.NextKey(key, recno));
    got.push_back(recno);
  }
  EXPECT_FALSE(sort.NextKey(key, recno));
  EXPECT_EQ(got, (std::vector<int32_t>{2, 1}));
}

TEST(KeySortRefusals, LengthKindAndPhase) {
  ExpectThrowsText([] { TktSort s(241, nullptr, true, false); }, "Sort key length greater than 240 bytes");
  TktSort max(240, nullptr, true, false);

  TktSort sort(5, nullptr, true, false);
  ExpectThrowsText([&] { sort.AddKey(Text("ABCDEF"), 1); }, "Sort key length greater than 240 bytes");
  // The size given counts, trailing blanks included.
  ExpectThrowsText([&] { sort.AddKey(Text("ABCDE "), 1); }, "Sort key length greater than 240 bytes");
  ExpectThrowsText([&] { sort.AddKey(Number(1), 1); }, "Sort key length greater than 240 bytes");
  TktVariant logical;
  logical.SetBoolean(1);
  ExpectThrowsText([&] { sort.AddKey(logical, 1); }, "Variant type cannot be sorted");
  ExpectThrowsText([&] { sort.AddKey(TktVariant(), 1); }, "Variant type cannot be sorted");
  sort.AddKey(Text("ABCDE"), 2);
  ExpectThrowsText([&] { sort.AddKey(Day(3), 1); }, "Variant types mismatch for compare");
  sort.AddKey(Bytes("AB"), 3);  // binary values go with any kind
  EXPECT_EQ(sort.KeyCount(), 2);

  TktVariant key;
  int32_t recno = 0;
  ASSERT_TRUE(sort.NextKey(key, recno));
  EXPECT_EQ(recno, 3);
  ExpectThrowsText([&] { sort.AddKey(Text("A"), 4); }, "Cannot add sort keys after beginning retrieval");
  ASSERT_TRUE(sort.NextKey(key, recno));
  EXPECT_EQ(key.AsText(), "ABCDE");
  EXPECT_FALSE(sort.NextKey(key, recno));
}

// An encoded key (value bytes + record number) can be a prefix of another
// when a value holds bytes equal to the record number's. Both keys must come
// out, in the same order whether they meet in the trie or in the merge.
TEST(KeySortLossless, KeyThatIsPrefixOfAnother) {
  const std::string shortv("A", 1);
  const std::string longv("A\0\0\0\x05", 5);  // "A" + the bytes of record 5
  for (bool binary : {false, true}) {
    for (bool ascending : {true, false}) {
      for (bool split : {false, true}) {
        TktSort sort(10, nullptr, ascending, false);
        auto make = [&](const std::string& s) { return binary ? Bytes(s) : Text(s); };
        if (binary) {
          sort.AddKey(make(longv), 9);
          if (split) sort_test::FillUntilRuns(sort, 1, 100);
          sort.AddKey(make(shortv), 5);
        } else {
          sort.AddKey(make(shortv), 5);
          if (split) sort_test::FillUntilRuns(sort, 1, 100);
          sort.AddKey(make(longv), 9);
        }
        // The fillers sort after both keys (or before, descending); keep
        // only the test's own keys.
        std::vector<Out> mine;
        for (const auto& o : Drain(sort))
          if (o.recno == 5 || o.recno == 9) mine.push_back(o);
        ASSERT_EQ(mine.size(), 2u) << binary << ascending << split;
        const std::vector<int32_t> want = ascending ? std::vector<int32_t>{5, 9} : std::vector<int32_t>{9, 5};
        EXPECT_EQ(Recnos(mine), want) << binary << ascending << split;
        EXPECT_EQ(mine[ascending ? 0 : 1].bytes, shortv);
        EXPECT_EQ(mine[ascending ? 1 : 0].bytes, longv);
      }
    }
  }
}

TEST(KeySortLossless, RepeatedKeyForOneRecordComesOutOnce) {
  for (bool split : {false, true}) {
    TktSort sort(10, nullptr, true, false);
    sort.AddKey(Bytes("K"), 4);
    if (split) sort_test::FillUntilRuns(sort, 1, 100);
    sort.AddKey(Bytes("K"), 4);
    sort.AddKey(Bytes("K"), 3);
    int n4 = 0, n3 = 0;
    for (const auto& o : Drain(sort)) {
      n4 += o.recno == 4;
      n3 += o.recno == 3;
    }
    EXPECT_EQ(n4, 1) << split;
    EXPECT_EQ(n3, 1) << split;
  }
}

// Longest keys: every entry is close to a run page's room, and runs hold
// only a few thousand keys each.
TEST(KeySortLimits, LongestKeysAcrossPagesAndRuns) {
  constexpr int kKeys = 16000;
  std::vector<std::string> values;
  uint64_t s = 42;
  auto next = [&] {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(s >> 33);
  };
  for (int i = 0; i < kKeys; ++i) {
    std::string v(240, 'M');
    // Long shared stretches with a few differing bytes, some keys shorter.
    for (int j = 0; j < 6; ++j) v[next() % 240] = static_cast<char>('A' + next() % 4);
    if (i % 7 == 0) v.resize(next() % 240);
    values.push_back(v);
  }
  for (bool ascending : {true, false}) {
    TktSort sort(240, nullptr, ascending, false);
    for (int i = 0; i < kKeys; ++i) sort.AddKey(Text(values[static_cast<size_t>(i)]), i + 1);
    const auto out = Drain(sort);
    EXPECT_GE(sort.RunCount(), 3u);
    ASSERT_EQ(out.size(), static_cast<size_t>(kKeys));
    for (size_t i = 0; i < out.size(); ++i) {
      ASSERT_EQ(out[i].bytes, values[static_cast<size_t>(out[i].recno - 1)]);
      if (i > 0) {
        const auto& a = out[i - 1];
        const auto& b = out[i];
        const bool in_order = a.bytes != b.bytes ? (a.bytes < b.bytes) == ascending : (a.recno < b.recno) == ascending;
        ASSERT_TRUE(in_order) << i;
      }
    }
  }
}

// The pool never holds more than its bound, whoever sorts its parts, and is
// given up when retrieval begins; the keys come out complete and in order.
// How full the pool gets depends on whether the sorter thread keeps up with
// the builder: only without it (the parts take turns and keep their blocks)
// is it sure to reach the bound.
TEST(KeySortLimits, PoolStaysBoundedAndIsFreedForRetrieval) {
  constexpr int32_t kKeys = 400000;
  for (bool threads : {false, true}) {
    SCOPED_TRACE(threads ? "with the sorter thread" : "without threads");
    TktSort::SetWorkerThreads(threads);
    TktSort sort(20, nullptr, true, false);
    EXPECT_EQ(sort.PoolBlockCount(), 1);  // the first block comes with the sort
    int32_t most = 0;
    for (int32_t r = 1; r <= kKeys; ++r) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "K%07lld", (static_cast<long long>(r) * 7919) % kKeys);
      sort.AddKey(Text(buf), r);
      most = std::max(most, sort.PoolBlockCount());
      ASSERT_LE(sort.PoolBlockCount(), TktSort::kMaxBlocks) << "after key " << r;
    }
    if (!threads) {
      EXPECT_EQ(most, TktSort::kMaxBlocks);
    }
    EXPECT_GT(most, 1);
    EXPECT_GE(sort.RunCount(), 3u);
    EXPECT_TRUE(sort.Accepting());
    EXPECT_TRUE(sort.HasMoreKeys());
    EXPECT_FALSE(sort.Accepting());
    EXPECT_EQ(sort.PoolBlockCount(), 0);
    const size_t held = sort.MemoryBytes();
    TktVariant key;
    int32_t recno = 0;
    int64_t n = 0;
    std::string last;
    while (sort.NextKey(key, recno)) {
      // Every key is K followed by (recno * 7919) mod kKeys: distinct, so
      // the order is the order of the texts.
      char buf[16];
      std::snprintf(buf, sizeof buf, "K%07lld", (static_cast<long long>(recno) * 7919) % kKeys);
      const std::string text = key.AsText();
      ASSERT_EQ(text, buf) << "record " << recno;
      ASSERT_LT(last, text) << "key " << n;
      last = text;
      ++n;
    }
    EXPECT_EQ(n, kKeys);
    // Run pages are released as the merge reads past them.
    EXPECT_LT(sort.MemoryBytes(), held);
    EXPECT_EQ(sort.MemoryBytes(), 0u);
  }
  TktSort::SetWorkerThreads(true);
}

// A collation table that folds ASCII letters to upper case and reverses the
// digits. Values are ordered by their table values; record numbers (whose
// bytes often equal letters and digits) by plain byte order.
TEST(KeySortCollation, OrderAndRecordNumbersFollowTheirOwnRules) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<uint8_t>(c - 32);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>('9' - (c - '0'));
  auto weights = [&](const std::string& s) {
    std::string w = s;
    for (char& c : w) c = static_cast<char>(table[static_cast<uint8_t>(c)]);
    return w;
  };

  constexpr int32_t kKeys = 120000;
  const std::string alphabet = "aAbB09z";
  uint64_t s = 7;
  auto next = [&] {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(s >> 33);
  };
  std::vector<std::string> values(static_cast<size_t>(kKeys) + 1);
  std::vector<int32_t> order;
  for (int32_t r = 1; r <= kKeys; ++r) {
    std::string v;
    const uint32_t len = next() % 6;
    for (uint32_t j = 0; j < len; ++j) v += alphabet[next() % alphabet.size()];
    values[static_cast<size_t>(r)] = v;
    order.push_back(r);
  }
  // Records arrive out of order so that every run holds record numbers of
  // the whole range.
  for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[next() % i]);

  for (bool unique : {false, true}) {
    TktSort sort(8, table, true, unique);
    for (int32_t r : order) sort.AddKey(Text(values[static_cast<size_t>(r)]), r);
    const auto out = Drain(sort);
    ASSERT_GE(sort.RunCount(), 2u);

    std::vector<int32_t> want = order;
    std::sort(want.begin(), want.end(), [&](int32_t a, int32_t b) {
      const std::string wa = weights(values[static_cast<size_t>(a)]);
      const std::string wb = weights(values[static_cast<size_t>(b)]);
      return wa != wb ? wa < wb : a < b;
    });
    if (unique) {
      std::vector<int32_t> firsts;
      auto value_of = [&](int32_t r) { return weights(values[static_cast<size_t>(r)]); };
      for (int32_t r : want)
        if (firsts.empty() || value_of(firsts.back()) != value_of(r)) firsts.push_back(r);
      want = firsts;
    }
    ASSERT_EQ(out.size(), want.size()) << unique;
    for (size_t i = 0; i < out.size(); ++i) {
      ASSERT_EQ(out[i].recno, want[i]) << "at " << i << (unique ? " unique" : "");
      // Bytes of equal table value may share a node: the value is equal
      // under the table, not necessarily byte for byte.
      ASSERT_EQ(weights(out[i].bytes), weights(values[static_cast<size_t>(want[i])]));
    }
  }
}

}  // namespace
