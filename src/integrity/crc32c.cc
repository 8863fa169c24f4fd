// CRC-32C dispatch and the portable byte-table path. The table path is the
// fallback on processors without SSE4.2 and the oracle the tests compare the
// hardware paths against.
#include "integrity/crc32c.h"

#include <array>

namespace orv {

namespace {

constexpr uint32_t kPolyReflected = 0x82F63B78u;

// Entry i: i run through eight shift-and-conditional-XOR steps. Built at
// compile time, so concurrent first callers can never see a partial table.
constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int k = 0; k < 8; ++k) r = (r & 1u) ? (r >> 1) ^ kPolyReflected : r >> 1;
    t[i] = r;
  }
  return t;
}

constexpr std::array<uint32_t, 256> crc32c_table = make_table();
static_assert(crc32c_table[1] == 0xF26B8303u);
static_assert(crc32c_table[128] == kPolyReflected);

using CrcFn = uint32_t (*)(uint32_t, const void*, size_t);

bool cpu_has_sse42() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
}

bool cpu_has_sse42_pclmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul");
}

// Chosen on the first call; the function-local static is initialised exactly
// once even when the first calls arrive from several threads at once, and is
// only read afterwards.
CrcFn choose_path() {
  if (cpu_has_sse42_pclmul()) return crc32c_hw;
  // SSE4.2 without carry-less multiply: the plain instruction loop.
  if (cpu_has_sse42()) return crc32c_hw_single;
  return crc32c_sw;
}

}  // namespace

uint32_t crc32c_sw(uint32_t prev, const void* data, size_t len) {
  if (len == 0) return prev;
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t r = ~prev;
  for (size_t i = 0; i < len; ++i) r = (r >> 8) ^ crc32c_table[(r ^ p[i]) & 0xFFu];
  return ~r;
}

bool crc32c_hw_available() {
  static const bool available = cpu_has_sse42_pclmul();
  return available;
}

uint32_t crc32c(uint32_t prev, const void* data, size_t len) {
  static const CrcFn path = choose_path();
  if (len == 0) return prev;
  return path(prev, data, len);
}

}  // namespace orv
