// tStringHash: the iteration order is part of the program's behaviour, so it is checked against
// an independent model of the hashing, growth and chaining rules.

#include "support/string_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace kova {
namespace {

struct TValue {
  int N;
};

// Reference model: buckets are recomputed from scratch the way the map must have built them.
std::vector<std::string> ExpectedOrder(const std::vector<std::string>& insertions) {
  std::size_t buckets = 10;
  std::vector<std::vector<std::string>> table(buckets);  // each chain head first
  std::size_t count = 0;
  auto bucketOf = [](const std::string& k, std::size_t n) {
    std::int64_t h = StringHashOf(k);
    return static_cast<std::size_t>((h < 0 ? -h : h) % static_cast<std::int64_t>(n));
  };
  for (const std::string& key : insertions) {
    const std::size_t threshold = static_cast<std::size_t>(std::nearbyint(buckets * 0.75));
    if (threshold < count) {
      const std::size_t grown = buckets * 2 + 1;
      std::vector<std::vector<std::string>> next(grown);
      for (const auto& chain : table) {
        for (const auto& k : chain)
          next[bucketOf(k, grown)].insert(next[bucketOf(k, grown)].begin(), k);
      }
      table.swap(next);
      buckets = grown;
    }
    auto& chain = table[bucketOf(key, buckets)];
    chain.insert(chain.begin(), key);
    ++count;
  }
  std::vector<std::string> order;
  for (const auto& chain : table) order.insert(order.end(), chain.begin(), chain.end());
  return order;
}

std::vector<std::string> Walk(tStringHash<TValue>& map) {
  std::vector<std::string> keys;
  for (auto it = map.Iterate(); it->CurrentValue(); it->Next()) keys.push_back(*it->CurrentKey());
  return keys;
}

TEST(StringHash, HashIsTimes31PlusUpperCaseByteInWrapping32Bits) {
  EXPECT_EQ(StringHashOf(""), 0);
  EXPECT_EQ(StringHashOf("a"), 'A');
  EXPECT_EQ(StringHashOf("ab"), 'A' * 31 + 'B');
  EXPECT_EQ(StringHashOf("AB"), StringHashOf("ab"));
  // Long keys wrap; the magnitude of a negative hash picks the bucket.
  const std::string longKey = "data\\textures\\terrain\\grass_0001.dds";
  std::uint32_t h = 0;
  for (char c : longKey) h = h * 31 + static_cast<unsigned char>(UpperAscii(c));
  EXPECT_EQ(StringHashOf(longKey), static_cast<std::int32_t>(h));
}

TEST(StringHash, KeysDifferingOnlyInLetterCaseAreOneEntry) {
  tStringHash<TValue> map;
  TValue a{1}, b{2};
  EXPECT_TRUE(map.Put("data\\a.dat", &a));
  EXPECT_FALSE(map.Put("DATA\\A.DAT", &b));
  EXPECT_EQ(map.Count(), 1u);
  EXPECT_EQ(map.Get("Data\\A.dat"), &b);
  EXPECT_EQ(*map.Iterate()->CurrentKey(), "data\\a.dat");  // the first key is kept
  EXPECT_TRUE(map.Contains("DATA\\a.dat"));
  EXPECT_FALSE(map.Contains("data\\b.dat"));
  EXPECT_EQ(map.Get("nothing"), nullptr);
}

TEST(StringHash, NonLetterBytesCompareExactly) {
  tStringHash<TValue> map;
  TValue a{1}, b{2};
  map.Put("\xE9", &a);
  map.Put("\xC9", &b);  // would be the same letter in a Latin code page; not folded
  EXPECT_EQ(map.Count(), 2u);
}

TEST(StringHash, GrowsAtTheTenthAndEighteenthKey) {
  tStringHash<TValue> map;
  TValue v{0};
  for (int i = 1; i <= 9; ++i) map.Put("k" + std::to_string(i), &v);
  EXPECT_EQ(map.BucketCount(), 10u);
  map.Put("k10", &v);
  EXPECT_EQ(map.BucketCount(), 21u);
  for (int i = 11; i <= 17; ++i) map.Put("k" + std::to_string(i), &v);
  EXPECT_EQ(map.BucketCount(), 21u);
  map.Put("k18", &v);
  EXPECT_EQ(map.BucketCount(), 43u);
}

TEST(StringHash, IterationFollowsBucketsAndChainHeads) {
  tStringHash<TValue> map;
  TValue v{0};
  std::vector<std::string> keys;
  for (int i = 0; i < 10; ++i) keys.push_back("file" + std::to_string(i));
  for (const auto& k : keys) map.Put(k, &v);
  EXPECT_EQ(Walk(map), ExpectedOrder(keys));
  // After ten insertions (21 buckets) keys come by ascending |h| mod 21.
  auto order = Walk(map);
  for (std::size_t i = 1; i < order.size(); ++i) {
    auto b = [](const std::string& k) {
      std::int64_t h = StringHashOf(k);
      return (h < 0 ? -h : h) % 21;
    };
    EXPECT_LE(b(order[i - 1]), b(order[i]));
  }
}

TEST(StringHash, OrderMatchesTheModelForManyRealisticNames) {
  std::mt19937 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) {
    keys.push_back("data\\pack" + std::to_string(rng() % 50) + "\\asset_" + std::to_string(rng()) +
                   ".bin");
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  tStringHash<TValue> map;
  TValue v{0};
  for (const auto& k : keys) map.Put(k, &v);
  EXPECT_EQ(map.Count(), keys.size());
  EXPECT_EQ(Walk(map), ExpectedOrder(keys));
}

TEST(StringHash, EmptyKeyLivesInBucketZero) {
  tStringHash<TValue> map;
  TValue a{1}, b{2};
  map.Put("k", &a);
  map.Put("", &b);
  auto it = map.Iterate();
  EXPECT_EQ(*it->CurrentKey(), "");
  EXPECT_EQ(it->CurrentValue(), &b);
}

TEST(StringHash, IteratingAnEmptyMapStandsOnNothing) {
  tStringHash<TValue> map;
  auto it = map.Iterate();
  EXPECT_EQ(it->CurrentValue(), nullptr);
  EXPECT_EQ(it->CurrentKey(), nullptr);
  it->Next();
  EXPECT_EQ(it->CurrentValue(), nullptr);
  try {
    it->SetCurrentValue(nullptr);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "The entry is not valid");
  }
}

TEST(StringHash, APutOrRemoveInvalidatesOpenIteratorsButReplacingAValueDoesNot) {
  tStringHash<TValue> map;
  TValue a{1}, b{2};
  map.Put("a", &a);
  auto it = map.Iterate();
  map.Put("a", &b);  // replacing keeps the stamp
  EXPECT_EQ(it->CurrentValue(), &b);
  map.Put("b", &a);
  try {
    it->CurrentValue();
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "Iterator no longer valid");
  }
  auto it2 = map.Iterate();
  map.Remove("b");
  EXPECT_THROW(it2->Next(), EListError);
  auto it3 = map.Iterate();
  map.Clear(false);
  EXPECT_THROW(it3->CurrentKey(), EListError);
}

TEST(StringHash, RemovingThroughTheIteratorKeepsItValidAndMovesToTheFollower) {
  tStringHash<TValue> map;
  std::vector<TValue> values(30);
  std::vector<std::string> keys;
  for (int i = 0; i < 30; ++i) {
    keys.push_back("k" + std::to_string(i));
    values[static_cast<std::size_t>(i)].N = i;
    map.Put(keys.back(), &values[static_cast<std::size_t>(i)]);
  }
  const std::vector<std::string> before = Walk(map);
  std::vector<std::string> kept, seen;
  auto it = map.Iterate();
  for (std::size_t i = 0; it->CurrentValue(); ++i) {
    seen.push_back(*it->CurrentKey());
    if (i % 2 == 0) {
      it->RemoveCurrent();
      EXPECT_EQ(it->CurrentValue(), nullptr);
      EXPECT_EQ(it->CurrentKey(), nullptr);
    } else {
      kept.push_back(*it->CurrentKey());
    }
    it->Next();
  }
  EXPECT_EQ(seen, before);
  EXPECT_EQ(Walk(map), kept);
  EXPECT_EQ(map.Count(), 15u);
}

TEST(StringHash, RemoveReturnsTheValueWithoutFreeingIt) {
  tStringHash<TValue> map;
  TValue a{1};
  map.Put("x", &a);
  EXPECT_EQ(map.Remove("X"), &a);
  EXPECT_EQ(map.Remove("x"), nullptr);
  EXPECT_EQ(map.Count(), 0u);
  EXPECT_EQ(a.N, 1);
}

TEST(StringHash, ContainsValueComparesIdentityIncludingNull) {
  tStringHash<TValue> map;
  TValue a{1}, twin{1};
  map.Put("a", &a);
  EXPECT_TRUE(map.ContainsValue(&a));
  EXPECT_FALSE(map.ContainsValue(&twin));
  EXPECT_FALSE(map.ContainsValue(nullptr));
  map.Put("n", nullptr);
  EXPECT_TRUE(map.ContainsValue(nullptr));
}

TEST(StringHash, ClearCanFreeTheValues) {
  tStringHash<TValue> map;
  for (int i = 0; i < 100; ++i) map.Put(std::to_string(i), new TValue{i});
  map.Clear(true);  // the sanitizer build proves nothing leaks and nothing is freed twice
  EXPECT_EQ(map.Count(), 0u);
  EXPECT_EQ(map.Iterate()->CurrentValue(), nullptr);
}

}  // namespace
}  // namespace kova
