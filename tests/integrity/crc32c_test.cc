#include "integrity/crc32c.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <vector>

namespace orv {
namespace {

using CrcFn = uint32_t (*)(uint32_t, const void*, size_t);

struct Path {
  const char* name;
  CrcFn fn;
  bool needs_hw;
};

void PrintTo(const Path& p, std::ostream* os) { *os << p.name; }

const Path kPaths[] = {
    {"dispatch", crc32c, false},
    {"table", crc32c_sw, false},
    {"hw_single", crc32c_hw_single, true},
    {"hw", crc32c_hw, true},
};

class Crc32cPathTest : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (GetParam().needs_hw && !crc32c_hw_available()) GTEST_SKIP() << "no SSE4.2/PCLMUL";
  }
  uint32_t crc(uint32_t prev, const void* p, size_t n) { return GetParam().fn(prev, p, n); }
};

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST_P(Crc32cPathTest, KnownVectors) {
  EXPECT_EQ(crc(0, "123456789", 9), 0xE3069283u);
  // Well-known vectors: 32 bytes of zeros, of 0xFF, and the ascending bytes.
  uint8_t buf[32];
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(crc(0, buf, sizeof buf), 0x8A9136AAu);
  memset(buf, 0xFF, sizeof buf);
  EXPECT_EQ(crc(0, buf, sizeof buf), 0x62A8AB43u);
  for (int i = 0; i < 32; ++i) buf[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(crc(0, buf, sizeof buf), 0x46DD794Eu);
}

TEST_P(Crc32cPathTest, EmptyInputReturnsPrevWithoutReadingData) {
  for (uint32_t prev : {0u, 1u, 0xE3069283u, 0xFFFFFFFFu}) EXPECT_EQ(crc(prev, nullptr, 0), prev);
}

TEST_P(Crc32cPathTest, EverySplitPointChains) {
  auto data = random_bytes(1100, 7);
  const uint32_t whole = crc(0, data.data(), data.size());
  EXPECT_EQ(whole, crc32c_sw(0, data.data(), data.size()));
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    uint32_t first = crc(0, data.data(), cut);
    ASSERT_EQ(crc(first, data.data() + cut, data.size() - cut), whole) << "cut " << cut;
  }
}

TEST_P(Crc32cPathTest, MatchesTableOnEveryShortLengthAndAlignment) {
  auto data = random_bytes(300 + 16, 11);
  for (size_t start = 0; start < 16; ++start) {
    for (size_t len = 0; len <= 300; ++len) {
      const uint8_t* p = data.data() + start;
      ASSERT_EQ(crc(0x12345678u, p, len), crc32c_sw(0x12345678u, p, len))
          << "start " << start << " len " << len;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Crc32cPathTest, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<Path>& p) { return p.param.name; });

// Lengths around the block sizes of the three-stream path: each one leaves a
// different mix of long triples, short triples and single-stream tail.
TEST(Crc32cHwTest, ThreeStreamPathMatchesTableOnLargeOddBuffers) {
  if (!crc32c_hw_available()) GTEST_SKIP() << "no SSE4.2/PCLMUL";
  const size_t kMax = 5 * 1024 * 1024 + 4099;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kMax + 8]);
  ASSERT_NE(buf, nullptr);
  std::mt19937_64 rng(3);
  for (size_t i = 0; i < kMax + 8; ++i) buf[i] = static_cast<uint8_t>(rng());
  const size_t lengths[] = {767,       768,       769,          3 * 8192 - 1, 3 * 8192,
                            3 * 8192 + 1, 3 * 8192 + 767, 3 * 8192 + 768, 6 * 8192 + 5,
                            1000003,   3 * 1024 * 1024 + 13, kMax};
  for (size_t len : lengths) {
    for (size_t start : {0u, 1u, 3u, 7u}) {
      const uint8_t* p = buf.get() + start;
      uint32_t want = crc32c_sw(0, p, len);
      ASSERT_EQ(crc32c_hw(0, p, len), want) << "len " << len << " start " << start;
      ASSERT_EQ(crc32c_hw_single(0, p, len), want) << "len " << len << " start " << start;
      ASSERT_EQ(crc32c(0, p, len), want);
    }
  }
  // A large buffer chained at an odd cut through the production path.
  uint32_t whole = crc32c_sw(0, buf.get(), kMax);
  uint32_t a = crc32c_hw(0, buf.get(), 2 * 1024 * 1024 + 333);
  EXPECT_EQ(crc32c_hw(a, buf.get() + 2 * 1024 * 1024 + 333, kMax - (2 * 1024 * 1024 + 333)), whole);
}

TEST(Crc32cHwTest, RandomLengthsAndSeedsAgreeWithTable) {
  if (!crc32c_hw_available()) GTEST_SKIP() << "no SSE4.2/PCLMUL";
  auto data = random_bytes(200000, 5);
  std::mt19937 rng(9);
  for (int i = 0; i < 300; ++i) {
    size_t start = rng() % 64;
    size_t len = rng() % (data.size() - start);
    uint32_t prev = rng();
    ASSERT_EQ(crc32c_hw(prev, data.data() + start, len), crc32c_sw(prev, data.data() + start, len))
        << "start " << start << " len " << len;
  }
}

}  // namespace
}  // namespace orv
