// CRC-32C with the SSE4.2 CRC32 instruction. This file alone is compiled
// with -msse4.2 -mpclmul; its functions run only after the dispatcher has
// seen both features on the processor.
//
// The CRC32 instruction has a latency of three cycles but can start one per
// cycle, so one dependent chain uses a third of the unit. The production path
// therefore runs three independent chains over three adjacent blocks of the
// input and merges them afterwards. Merging works because the register update
// is linear over GF(2): the register after A||B equals (register after A)
// times x^(8*|B|) mod P, XOR the register after B started from zero. The
// multiplication by a precomputed power of x is one carry-less multiply
// (PCLMULQDQ) followed by one CRC32 step that reduces the 64-bit product.
#include <immintrin.h>
#include <nmmintrin.h>
#include <wmmintrin.h>

#include <cstring>

#include "integrity/crc32c.h"

namespace orv {

namespace {

constexpr uint32_t kPolyReflected = 0x82F63B78u;

inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// x^k mod P in the reflected representation (bit 31 is the coefficient of
// x^0); multiplying by x is a right shift with conditional reduction.
constexpr uint32_t x_pow_mod(uint64_t k) {
  // Square-and-multiply over GF(2)[x]/P keeps this cheap at compile time.
  auto mul = [](uint32_t a, uint32_t b) {
    // a*b mod P, both reflected: walk b's coefficients from x^0 upwards.
    uint32_t prod = 0;
    for (int i = 31; i >= 0; --i) {
      if (b & (1u << i)) prod ^= a;
      a = (a & 1u) ? (a >> 1) ^ kPolyReflected : a >> 1;  // a *= x
    }
    return prod;
  };
  uint32_t result = 0x80000000u;  // x^0
  uint32_t base = 0x40000000u;    // x^1
  while (k != 0) {
    if (k & 1u) result = mul(result, base);
    base = mul(base, base);
    k >>= 1;
  }
  return result;
}

// Constant that shifts a register across n bytes of zeros: the carry-less
// product of two reflected 32-bit values carries one extra factor x, and the
// reducing CRC32 step multiplies by x^32, hence the 33 taken off.
constexpr uint64_t shift_constant(size_t n) { return x_pow_mod(8 * static_cast<uint64_t>(n) - 33); }

static_assert(x_pow_mod(0) == 0x80000000u);
static_assert(x_pow_mod(32) == kPolyReflected);  // x^32 == P - x^32 (mod P)

// register * x^(8n) mod P, with k = shift_constant(n).
inline uint32_t crc_shift(uint32_t reg, __m128i k) {
  __m128i prod = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(reg)), k, 0x00);
  return static_cast<uint32_t>(_mm_crc32_u64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(prod))));
}

// Plain loop on the raw register (no complement): 8-byte steps, then a
// 4-byte step, then single bytes.
inline uint32_t crc_single(uint32_t reg, const uint8_t* p, size_t len) {
  uint64_t r = reg;
  while (len >= 8) {
    r = _mm_crc32_u64(r, load_u64(p));
    p += 8;
    len -= 8;
  }
  uint32_t r32 = static_cast<uint32_t>(r);
  if (len >= 4) {
    r32 = _mm_crc32_u32(r32, load_u32(p));
    p += 4;
    len -= 4;
  }
  while (len > 0) {
    r32 = _mm_crc32_u8(r32, *p);
    ++p;
    --len;
  }
  return r32;
}

// Consumes as many triples of kBlock-byte blocks as fit, advancing p and len.
template <size_t kBlock>
inline uint32_t crc_triples(uint32_t reg, const uint8_t*& p, size_t& len) {
  static_assert(kBlock % 8 == 0 && kBlock >= 16);
  if (len < 3 * kBlock) return reg;
  constexpr uint64_t kShift2 = shift_constant(2 * kBlock);
  constexpr uint64_t kShift1 = shift_constant(kBlock);
  const __m128i k2 = _mm_cvtsi64_si128(static_cast<long long>(kShift2));
  const __m128i k1 = _mm_cvtsi64_si128(static_cast<long long>(kShift1));
  do {
    uint64_t c0 = reg;
    uint64_t c1 = 0;
    uint64_t c2 = 0;
    const uint8_t* a = p;
    const uint8_t* b = p + kBlock;
    const uint8_t* c = p + 2 * kBlock;
    for (size_t i = 0; i < kBlock; i += 8) {
      c0 = _mm_crc32_u64(c0, load_u64(a + i));
      c1 = _mm_crc32_u64(c1, load_u64(b + i));
      c2 = _mm_crc32_u64(c2, load_u64(c + i));
    }
    reg = crc_shift(static_cast<uint32_t>(c0), k2) ^ crc_shift(static_cast<uint32_t>(c1), k1) ^
          static_cast<uint32_t>(c2);
    p += 3 * kBlock;
    len -= 3 * kBlock;
  } while (len >= 3 * kBlock);
  return reg;
}

// Large blocks keep the merge cost per byte negligible; the small blocks let
// medium inputs (a few hundred bytes to some KiB) use three chains too.
constexpr size_t kLongBlock = 8192;
constexpr size_t kShortBlock = 256;

}  // namespace

uint32_t crc32c_hw_single(uint32_t prev, const void* data, size_t len) {
  if (len == 0) return prev;
  return ~crc_single(~prev, static_cast<const uint8_t*>(data), len);
}

uint32_t crc32c_hw(uint32_t prev, const void* data, size_t len) {
  if (len == 0) return prev;
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t reg = ~prev;
  reg = crc_triples<kLongBlock>(reg, p, len);
  reg = crc_triples<kShortBlock>(reg, p, len);
  return ~crc_single(reg, p, len);
}

}  // namespace orv
