#include "store/key_index.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "core/status.h"

namespace orv {
namespace {

TEST(KeyIndex, InitialCapacityAndGrowthRule) {
  KeyIndex idx;
  ASSERT_EQ(STATUS_OK, key_index_init(&idx, 0));
  EXPECT_EQ(1024u, idx.capacity);
  for (uint64_t k = 0; k < 512; ++k) ASSERT_EQ(STATUS_OK, key_index_put(&idx, k, k));
  EXPECT_EQ(1024u, idx.capacity);  // 511 keys held at the last put: no growth yet
  ASSERT_EQ(STATUS_OK, key_index_put(&idx, 512, 512));
  EXPECT_EQ(2048u, idx.capacity);  // put while holding 512
  for (uint64_t k = 0; k <= 512; ++k) {
    uint64_t pos = 0;
    ASSERT_TRUE(key_index_find(idx, k, &pos));
    EXPECT_EQ(k, pos);
  }
  key_index_free(&idx);
  EXPECT_EQ(0u, idx.capacity);

  ASSERT_EQ(STATUS_OK, key_index_init(&idx, 512));
  EXPECT_EQ(1024u, idx.capacity);
  key_index_free(&idx);
  ASSERT_EQ(STATUS_OK, key_index_init(&idx, 513));
  EXPECT_EQ(2048u, idx.capacity);
  key_index_free(&idx);
  EXPECT_EQ(STATUS_NOMEM, key_index_init(&idx, UINT64_MAX));
  EXPECT_EQ(nullptr, idx.keys);

  // A zeroed index finds nothing and allocates on the first put; a second
  // put of a key replaces its position; the empty-slot key is refused.
  uint64_t pos = 0;
  EXPECT_FALSE(key_index_find(idx, 1, &pos));
  ASSERT_EQ(STATUS_OK, key_index_put(&idx, 1, 10));
  ASSERT_EQ(STATUS_OK, key_index_put(&idx, 1, 20));
  ASSERT_TRUE(key_index_find(idx, 1, &pos));
  EXPECT_EQ(20u, pos);
  EXPECT_EQ(1u, idx.count);
  EXPECT_EQ(STATUS_INVALID, key_index_put(&idx, KEY_INDEX_EMPTY, 1));
  key_index_free(&idx);
}

TEST(KeyIndex, AgreesWithAReferenceMapUnderCollisions) {
  KeyIndex idx;
  ASSERT_EQ(STATUS_OK, key_index_init(&idx, 0));
  std::unordered_map<uint64_t, uint64_t> ref;
  std::mt19937_64 rng(7);
  for (uint64_t i = 0; i < 200000; ++i) {
    // Small key space so keys repeat; multiples of 1024 stress one home slot pattern.
    uint64_t key = (i % 3 == 0) ? (rng() % 5000) * 1024 : rng() % 100000;
    ASSERT_EQ(STATUS_OK, key_index_put(&idx, key, i));
    ref[key] = i;
  }
  EXPECT_EQ(ref.size(), idx.count);
  EXPECT_LT(2 * idx.count, idx.capacity);
  for (const auto& [k, v] : ref) {
    uint64_t pos = 0;
    ASSERT_TRUE(key_index_find(idx, k, &pos));
    ASSERT_EQ(v, pos);
  }
  uint64_t pos;
  EXPECT_FALSE(key_index_find(idx, 100001, &pos));
  key_index_free(&idx);
}

}  // namespace
}  // namespace orv
