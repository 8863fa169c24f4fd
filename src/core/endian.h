// Little-endian encode/decode over byte spans. Every integer in a wire or
// file format of this system is little-endian; buffers are never cast to
// structs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace orv {

inline void put_u8(std::span<uint8_t> b, size_t off, uint8_t v) { b[off] = v; }

inline void put_u16_le(std::span<uint8_t> b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put_u32_le(std::span<uint8_t> b, size_t off, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put_u64_le(std::span<uint8_t> b, size_t off, uint64_t v) {
  for (size_t i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put_i32_le(std::span<uint8_t> b, size_t off, int32_t v) {
  put_u32_le(b, off, static_cast<uint32_t>(v));
}

inline void put_i64_le(std::span<uint8_t> b, size_t off, int64_t v) {
  put_u64_le(b, off, static_cast<uint64_t>(v));
}

inline uint8_t get_u8(std::span<const uint8_t> b, size_t off) { return b[off]; }

inline uint16_t get_u16_le(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

inline uint32_t get_u32_le(std::span<const uint8_t> b, size_t off) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[off + i]) << (8 * i);
  return v;
}

inline uint64_t get_u64_le(std::span<const uint8_t> b, size_t off) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v |= static_cast<uint64_t>(b[off + i]) << (8 * i);
  return v;
}

inline int32_t get_i32_le(std::span<const uint8_t> b, size_t off) {
  return static_cast<int32_t>(get_u32_le(b, off));
}

inline int64_t get_i64_le(std::span<const uint8_t> b, size_t off) {
  return static_cast<int64_t>(get_u64_le(b, off));
}

inline void put_bytes(std::span<uint8_t> b, size_t off, std::span<const uint8_t> src) {
  if (!src.empty()) memcpy(b.data() + off, src.data(), src.size());
}

inline void get_bytes(std::span<const uint8_t> b, size_t off, std::span<uint8_t> dst) {
  if (!dst.empty()) memcpy(dst.data(), b.data() + off, dst.size());
}

}  // namespace orv
