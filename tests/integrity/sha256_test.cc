#include "integrity/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace orv {
namespace {

std::string hex(const uint8_t* d) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
    snprintf(b, sizeof b, "%02x", d[i]);
    s += b;
  }
  return s;
}

std::string digest_of(const std::string& s) {
  uint8_t d[SHA256_DIGEST_SIZE];
  sha256(s.data(), s.size(), d);
  return hex(d);
}

// Defined first so that it runs first in this program: the algorithm handle
// is fetched by whichever of these threads gets there first.
TEST(Sha256Test, FirstUseFromManyThreadsAgrees) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&results, t] {
      if (t % 2 == 0) {
        results[t] = digest_of("abc");
      } else {
        Sha256Ctx ctx;
        uint8_t d[SHA256_DIGEST_SIZE];
        sha256_init(&ctx);
        sha256_update(&ctx, "ab", 2);
        sha256_update(&ctx, "c", 1);
        sha256_final(&ctx, d);
        results[t] = hex(d);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Test, StandardVectors) {
  EXPECT_EQ(digest_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  uint8_t d[SHA256_DIGEST_SIZE];
  sha256(nullptr, 0, d);
  EXPECT_EQ(hex(d), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256Test, IncrementalOverEverySplitEqualsOneShot) {
  std::string msg;
  for (int i = 0; i < 200; ++i) msg += static_cast<char>(i * 7 + 3);
  const std::string want = digest_of(msg);
  for (size_t cut = 0; cut <= msg.size(); ++cut) {
    Sha256Ctx ctx;
    uint8_t d[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    ASSERT_NE(ctx.md_ctx, nullptr);
    sha256_update(&ctx, msg.data(), cut);
    sha256_update(&ctx, nullptr, 0);  // no-op
    sha256_update(&ctx, msg.data() + cut, msg.size() - cut);
    sha256_final(&ctx, d);
    EXPECT_EQ(ctx.md_ctx, nullptr);
    ASSERT_EQ(hex(d), want) << "cut " << cut;
  }
}

TEST(Sha256Test, InitOnContextInProgressRestartsIt) {
  Sha256Ctx ctx;
  uint8_t d[SHA256_DIGEST_SIZE];
  sha256_init(&ctx);
  sha256_update(&ctx, "garbage", 7);
  sha256_init(&ctx);
  sha256_update(&ctx, "abc", 3);
  sha256_final(&ctx, d);
  EXPECT_EQ(hex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Test, DigestEqualComparesEveryByte) {
  uint8_t a[SHA256_DIGEST_SIZE];
  uint8_t b[SHA256_DIGEST_SIZE];
  sha256("k", 1, a);
  memcpy(b, a, sizeof a);
  EXPECT_EQ(digest_equal(a, b, sizeof a), 1);
  b[SHA256_DIGEST_SIZE - 1] ^= 1;
  EXPECT_EQ(digest_equal(a, b, sizeof a), 0);
  b[SHA256_DIGEST_SIZE - 1] ^= 1;
  b[0] ^= 0x80;
  EXPECT_EQ(digest_equal(a, b, sizeof a), 0);
  EXPECT_EQ(digest_equal(a, b, 0), 1);
}

TEST(Sha256DeathTest, MisuseEndsTheProcessWithTheFixedLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Sha256Ctx ctx;  // never initialised
  EXPECT_DEATH(sha256_update(&ctx, "x", 1), "^fatal: OpenSSL SHA-256 failed\n$");
  uint8_t d[SHA256_DIGEST_SIZE];
  EXPECT_DEATH(sha256_final(&ctx, d), "^fatal: OpenSSL SHA-256 failed\n$");
}

}  // namespace
}  // namespace orv
