// The index block cache against a plain map of what was put and written:
// random puts, partial writes and finds over more blocks than it holds,
// so that eviction and the lookup table's deletions run all the time.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "index/block_cache.h"
#include "index/block_map.h"

namespace {

using tessera::IndexBlockCache;

std::vector<uint8_t> Block(uint32_t seed) {
  std::vector<uint8_t> b(IndexBlockCache::kBlock);
  std::mt19937 rng(seed);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

TEST(BlockCache, HoldsWhatWasPutAndWrittenThroughEvictions) {
  for (size_t capacity : {1u, 7u, 300u}) {
    IndexBlockCache cache(capacity);
    std::map<int64_t, std::vector<uint8_t>> model;  // what the file holds
    std::mt19937 rng(static_cast<uint32_t>(capacity));
    size_t hits = 0;
    for (int op = 0; op < 60000; ++op) {
      // Block numbers both dense and far apart, as index files have them.
      const int64_t number = rng() % 4 == 0 ? static_cast<int64_t>(rng() % 100000) * 977 : rng() % 900;
      const unsigned what = rng() % 10;
      if (what < 4) {
        auto b = Block(rng());
        model[number] = b;
        cache.Put(number, b.data());
      } else if (what < 6) {
        // A write of part of a block (and sometimes into the next one).
        const int64_t offset = number * IndexBlockCache::kBlock + rng() % 512;
        const int64_t count = 1 + rng() % 600;
        std::vector<uint8_t> data(static_cast<size_t>(count));
        for (auto& c : data) c = static_cast<uint8_t>(rng());
        for (int64_t k = 0; k < count; ++k) {
          const int64_t at = offset + k;
          auto& block = model[at / IndexBlockCache::kBlock];
          if (block.empty()) block.assign(IndexBlockCache::kBlock, 0);
          block[static_cast<size_t>(at % IndexBlockCache::kBlock)] = data[static_cast<size_t>(k)];
        }
        cache.Written(offset, data.data(), count);
      } else if (what < 9) {
        if (const uint8_t* got = cache.Find(number)) {
          ++hits;
          ASSERT_TRUE(model.count(number)) << number;
          ASSERT_EQ(std::memcmp(got, model[number].data(), IndexBlockCache::kBlock), 0) << "block " << number;
        }
      } else if (rng() % 500 == 0) {
        cache.Clear();
      }
    }
    EXPECT_GT(hits, 0u);
  }
}

}  // namespace

namespace {

using tessera::BlockMap;

// The held blocks and before-images of record writes: filled, emptied and
// filled again many times, small and large, each time holding exactly the
// blocks added since it was last emptied.
TEST(BlockMap, RefilledAfterEveryClearHoldsOnlyItsNewBlocks) {
  BlockMap map;
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    const size_t n = round % 10 == 0 ? 700 : 1 + rng() % 40;  // past one chunk now and then
    std::map<int64_t, uint32_t> model;
    while (model.size() < n) {
      const int64_t number = static_cast<int64_t>(rng() % 5000) * (round % 3 == 0 ? 97 : 1);
      if (model.count(number) != 0) continue;
      const uint32_t seed = rng();
      model[number] = seed;
      const auto bytes = Block(seed);
      std::memcpy(map.Bytes(map.Add(number)), bytes.data(), bytes.size());
    }
    ASSERT_EQ(map.size(), model.size());
    for (const auto& [number, seed] : model) {
      const uint8_t* got = map.Find(number);
      ASSERT_NE(got, nullptr) << "round " << round << " block " << number;
      ASSERT_EQ(std::vector<uint8_t>(got, got + BlockMap::kBlock), Block(seed)) << "round " << round;
    }
    for (uint32_t slot = 0; slot < map.size(); ++slot) ASSERT_EQ(model.count(map.NumberAt(slot)), 1u);
    map.Clear();
    ASSERT_TRUE(map.empty());
    for (const auto& [number, seed] : model) ASSERT_EQ(map.Find(number), nullptr);
  }
}

}  // namespace
