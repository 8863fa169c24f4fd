#include "diag/selftest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/status.h"
#include "diag/codec.h"

namespace orv {
namespace {

std::vector<uint8_t> pattern() {
  std::vector<uint8_t> p(SELFTEST_PATTERN_SIZE);
  selftest_fill_pattern(p);
  return p;
}

std::vector<uint8_t> random_bytes(size_t n) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> compress(int codec, const std::vector<uint8_t>& src) {
  std::vector<uint8_t> out(codec_bound(codec, src.size()));
  size_t len = codec_compress(codec, 3, src, out);
  out.resize(len);
  return out;
}

TEST(SelftestPattern, FirstBytes) {
  std::vector<uint8_t> p = pattern();
  const uint8_t want[32] = {0x00, 0x07, 0x0E, 0x15, 0x1C, 0x23, 0x2A, 0x31, 0x38, 0x3F, 0x46,
                            0x4D, 0x54, 0x5B, 0x62, 0x69, 0x70, 0x77, 0x7E, 0x85, 0x8C, 0x93,
                            0x9A, 0xA1, 0xA8, 0xAF, 0xB6, 0xBD, 0xC4, 0xCB, 0xD2, 0xD9};
  EXPECT_EQ(memcmp(p.data(), want, sizeof want), 0);
  EXPECT_EQ(p[32], 0xE1);
  EXPECT_EQ(p[SELFTEST_PATTERN_SIZE - 1], static_cast<uint8_t>((7 * 262143) ^ (262143 >> 5)));
}

TEST(Codec, RoundTripsShrinkAndRestoreThePattern) {
  std::vector<uint8_t> p = pattern();
  for (int codec : {CODEC_ZSTD, CODEC_LZ4}) {
    EXPECT_GE(codec_bound(codec, p.size()), p.size()) << codec;
    std::vector<uint8_t> c = compress(codec, p);
    ASSERT_GT(c.size(), 0u) << codec;
    EXPECT_LT(c.size(), p.size()) << codec;
    std::vector<uint8_t> out(p.size());
    size_t n = 0;
    ASSERT_EQ(codec_decompress(codec, c, out, &n), STATUS_OK) << codec;
    EXPECT_EQ(n, p.size());
    EXPECT_EQ(out, p);
    EXPECT_EQ(codec_decompress(codec, c, out, nullptr), STATUS_OK) << codec;
    char msg[SELFTEST_MSG_SIZE] = "untouched";
    EXPECT_EQ(codec_roundtrip(codec, "failed", p, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "untouched");
  }
}

TEST(Codec, NoGainMeansNoCompressedForm) {
  std::vector<uint8_t> noise = random_bytes(65536);
  for (int codec : {CODEC_ZSTD, CODEC_LZ4, CODEC_NONE, 3}) {
    std::vector<uint8_t> out(codec_bound(codec, noise.size()) + 64);
    EXPECT_EQ(codec_compress(codec, 3, noise, out), 0u) << codec;
  }
  // Empty input never gains either.
  std::vector<uint8_t> out(64);
  EXPECT_EQ(codec_compress(CODEC_ZSTD, 3, std::span<const uint8_t>(), out), 0u);
  // A round trip over incompressible data fails with the caller's text.
  char msg[SELFTEST_MSG_SIZE];
  EXPECT_EQ(codec_roundtrip(CODEC_LZ4, "lz4 round trip failed", noise, msg, sizeof msg), 1);
  EXPECT_STREQ(msg, "lz4 round trip failed");
  // The message is cut to the buffer and may be left out entirely.
  char small[5];
  EXPECT_EQ(codec_roundtrip(CODEC_ZSTD, "zstd round trip failed", noise, small, sizeof small), 1);
  EXPECT_STREQ(small, "zstd");
  EXPECT_EQ(codec_roundtrip(CODEC_ZSTD, "zstd round trip failed", noise, nullptr, 0), 1);
}

TEST(Codec, DamagedInputIsCorrupt) {
  std::vector<uint8_t> p = pattern();
  std::vector<uint8_t> out(p.size());
  size_t n = 77;
  for (int codec : {CODEC_ZSTD, CODEC_LZ4}) {
    std::vector<uint8_t> c = compress(codec, p);
    ASSERT_FALSE(c.empty());
    // Truncated stream.
    std::vector<uint8_t> cut(c.begin(), c.begin() + static_cast<long>(c.size() / 2));
    EXPECT_EQ(codec_decompress(codec, cut, out, &n), STATUS_CORRUPT) << codec;
    // Output room one byte short of the content.
    std::vector<uint8_t> short_out(p.size() - 1);
    EXPECT_EQ(codec_decompress(codec, c, short_out, &n), STATUS_CORRUPT) << codec;
    EXPECT_EQ(n, 77u) << "out_len must stay untouched on failure";
  }
  // Garbage that is no zstd frame at all.
  std::vector<uint8_t> garbage = random_bytes(1000);
  EXPECT_EQ(codec_decompress(CODEC_ZSTD, garbage, out, &n), STATUS_CORRUPT);
  // An lz4 block whose match offset points before the start of the output.
  const uint8_t bad_lz4[] = {0x1F, 'a', 0xFF, 0xFF};
  EXPECT_EQ(codec_decompress(CODEC_LZ4, bad_lz4, out, &n), STATUS_CORRUPT);
}

TEST(Codec, StoredAndUnknownCodecs) {
  const uint8_t src[5] = {1, 2, 3, 4, 5};
  uint8_t dst[8];
  memset(dst, 0xAA, sizeof dst);
  size_t n = 0;
  EXPECT_EQ(codec_decompress(CODEC_NONE, src, std::span<uint8_t>(dst, 4), &n), STATUS_INVALID);
  EXPECT_EQ(dst[0], 0xAA) << "nothing is copied when the output is too small";
  EXPECT_EQ(codec_decompress(CODEC_NONE, src, std::span<uint8_t>(dst, 8), nullptr), STATUS_OK);
  EXPECT_EQ(memcmp(dst, src, 5), 0);
  EXPECT_EQ(codec_decompress(CODEC_NONE, src, std::span<uint8_t>(dst, 5), &n), STATUS_OK);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(codec_decompress(3, src, dst, &n), STATUS_INVALID);
  EXPECT_EQ(codec_decompress(-1, src, dst, &n), STATUS_INVALID);
  EXPECT_EQ(codec_bound(CODEC_NONE, 1234), 1234u);
  EXPECT_EQ(codec_bound(3, 1234), 1234u);
}

TEST(Selftest, PassesOnThisMachine) {
  char msg[SELFTEST_MSG_SIZE] = {};
  EXPECT_EQ(selftest_run(msg, sizeof msg), 0) << msg;
  EXPECT_STREQ(msg, "");
  EXPECT_EQ(selftest_run(nullptr, 0), 0);
}

TEST(Selftest, NeitherModeRequestedContinues) {
  const char* argv[] = {"orv_target", "--help", "--selftest=1", "--version=1", nullptr};
  EXPECT_EQ(handle_version_selftest(4, argv, "orv_target"), -1);
}

}  // namespace
}  // namespace orv
