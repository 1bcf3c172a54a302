// The CDX leaf codec on its own: what the encoder packs the decoder reads
// back (keys sharing leading bytes, keys ending in pad bytes, the largest
// record numbers the packing holds), and a leaf whose counts do not fit is
// refused rather than read past its key area.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "index/cdx_leaf.h"
#include "index/cdx_tag.h"

namespace {

using tessera::KTobjCDXTag;
namespace cdx_leaf = tessera::cdx_leaf;

struct Key {
  std::string bytes;
  int32_t rec;
};

size_t Shared(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

std::vector<Key> Decode(const uint8_t* image, int key_length, uint8_t pad, bool* sound) {
  cdx_leaf::Decoder dec;
  dec.Start(image, key_length, pad);
  std::vector<Key> out;
  *sound = dec.Valid();
  for (int i = 0; *sound && i < dec.Count(); ++i) {
    *sound = dec.Next(i);
    if (*sound) out.push_back({std::string(reinterpret_cast<const char*>(dec.Key()), dec.length), dec.rec});
  }
  *sound = *sound && dec.FreeAgrees();
  return out;
}

TEST(CdxLeafCodec, WhatTheEncoderPacksTheDecoderReadsBack) {
  const int L = 10;
  const std::vector<Key> keys = {{"", 1},          {"A", 7},          {"AB", 3},       {"ABC", 1000000},
                                 {"ABC", 1000001}, {"ABCDEFGHIJ", 2}, {"ABD", 65535}, {"B  Z", 9}};
  const KTobjCDXTag::Packing p = KTobjCDXTag::PackingFor(L, 1000001);
  uint8_t image[512] = {};
  cdx_leaf::Encoder enc;
  enc.Start(p, L, image);
  int cost = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    const size_t d = i == 0 ? 0 : Shared(keys[i - 1].bytes, keys[i].bytes);
    cost += enc.Cost(keys[i].bytes.size(), d);
    ASSERT_LE(enc.Cost(keys[i].bytes.size(), d), enc.Free());
    enc.Add(keys[i].bytes, d, keys[i].rec);
  }
  EXPECT_EQ(enc.Count(), static_cast<int>(keys.size()));
  EXPECT_EQ(enc.Free(), cdx_leaf::kArea - cost);
  bool sound = false;
  const std::vector<Key> back = Decode(image, L, ' ', &sound);
  ASSERT_TRUE(sound);
  ASSERT_EQ(back.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(back[i].bytes, keys[i].bytes) << i;
    EXPECT_EQ(back[i].rec, keys[i].rec) << i;
  }
}

TEST(CdxLeafCodec, DamagedCountsAreRefused) {
  const int L = 8;
  const KTobjCDXTag::Packing p = KTobjCDXTag::PackingFor(L, 100);
  uint8_t image[512] = {};
  cdx_leaf::Encoder enc;
  enc.Start(p, L, image);
  enc.Add("ALPHA", 0, 1);
  enc.Add("ALPINE", 3, 2);
  bool sound = false;
  Decode(image, L, ' ', &sound);
  ASSERT_TRUE(sound);

  // A key count beyond what the key area can hold.
  uint8_t many[512];
  std::memcpy(many, image, 512);
  tessera::index_bytes::Put16(many + 2, 400);
  Decode(many, L, ' ', &sound);
  EXPECT_FALSE(sound);

  // Free bytes that disagree with the entries.
  uint8_t free_off[512];
  std::memcpy(free_off, image, 512);
  tessera::index_bytes::Put16(free_off + 12, static_cast<uint32_t>(enc.Free() - 1));
  Decode(free_off, L, ' ', &sound);
  EXPECT_FALSE(sound);

  // A packing whose masks do not match its bit counts.
  uint8_t masks[512];
  std::memcpy(masks, image, 512);
  masks[18] ^= 0x01;
  Decode(masks, L, ' ', &sound);
  EXPECT_FALSE(sound);
}

}  // namespace
