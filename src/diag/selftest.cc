#include "diag/selftest.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/args.h"
#include "core/status.h"
#include "diag/codec.h"
#include "integrity/crc32c.h"
#include "integrity/sha256.h"

namespace orv {

namespace {

constexpr uint8_t kSha256Abc[SHA256_DIGEST_SIZE] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
constexpr uint32_t kCrc32cCheck = 0xE3069283u;  // CRC-32C of "123456789"
constexpr int kRoundtripLevel = 3;

// Fails with text in msg; returns 1 so callers can `return fail(...)`.
int fail(char* msg, size_t msg_size, const char* text) {
  if (msg != nullptr && msg_size != 0) snprintf(msg, msg_size, "%s", text);
  return 1;
}

}  // namespace

void selftest_fill_pattern(std::span<uint8_t> out) {
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(((7 * i) ^ (i >> 5)) & 0xFF);
}

int codec_roundtrip(int codec, const char* failure_text, std::span<const uint8_t> data, char* msg,
                    size_t msg_size) {
  size_t bound = codec_bound(codec, data.size());
  std::unique_ptr<uint8_t[]> compressed(new (std::nothrow) uint8_t[bound > 0 ? bound : 1]);
  std::unique_ptr<uint8_t[]> output(new (std::nothrow) uint8_t[data.size() > 0 ? data.size() : 1]);
  if (!compressed || !output) return fail(msg, msg_size, "out of memory");

  size_t len = codec_compress(codec, kRoundtripLevel, data, std::span<uint8_t>(compressed.get(), bound));
  if (len == 0) return fail(msg, msg_size, failure_text);
  size_t out = 0;
  int32_t rc = codec_decompress(codec, std::span<const uint8_t>(compressed.get(), len),
                                std::span<uint8_t>(output.get(), data.size()), &out);
  if (rc != STATUS_OK || out != data.size() ||
      (out != 0 && memcmp(output.get(), data.data(), out) != 0)) {
    return fail(msg, msg_size, failure_text);
  }
  return 0;
}

int selftest_run(char* msg, size_t msg_size) {
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256("abc", 3, digest);
  if (memcmp(digest, kSha256Abc, sizeof digest) != 0) {
    return fail(msg, msg_size, "SHA-256 gives a wrong result");
  }
  if (crc32c(0, "123456789", 9) != kCrc32cCheck) return fail(msg, msg_size, "CRC32C gives a wrong result");

  std::unique_ptr<uint8_t[]> pattern(new (std::nothrow) uint8_t[SELFTEST_PATTERN_SIZE]);
  if (!pattern) return fail(msg, msg_size, "out of memory");
  std::span<const uint8_t> data(pattern.get(), SELFTEST_PATTERN_SIZE);
  selftest_fill_pattern(std::span<uint8_t>(pattern.get(), SELFTEST_PATTERN_SIZE));

  int rc = codec_roundtrip(CODEC_ZSTD, "zstd round trip failed", data, msg, msg_size);
  if (rc == 0) rc = codec_roundtrip(CODEC_LZ4, "lz4 round trip failed", data, msg, msg_size);
  return rc;
}

int handle_version_selftest(int argc, const char* const* argv, const char* progname) {
  if (opt_flag(argc, argv, "--version", nullptr) != 0) {
    printf("%s %s\n", progname, PROGRAM_VERSION);
    return 0;
  }
  if (opt_flag(argc, argv, "--selftest", nullptr) == 0) return -1;
  char msg[SELFTEST_MSG_SIZE] = {};
  if (selftest_run(msg, sizeof msg) != 0) {
    fprintf(stderr, "%s: selftest failed: %s\n", progname, msg);
    return 1;
  }
  printf("%s %s: selftest ok\n", progname, PROGRAM_VERSION);
  return 0;
}

}  // namespace orv
