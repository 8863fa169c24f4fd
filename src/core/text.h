// Fixed-size text fields: NUL-terminated and NUL-padded on write; on read a
// NUL is forced into the field's last byte so a full field never runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace orv {

// Copies text into the field at off of width bytes, cutting it to width-1
// bytes and padding the rest with NUL.
inline void put_text_field(std::span<uint8_t> b, size_t off, size_t width, std::string_view text) {
  if (width == 0) return;
  size_t n = text.size() < width - 1 ? text.size() : width - 1;
  if (n > 0) memcpy(b.data() + off, text.data(), n);
  memset(b.data() + off + n, 0, width - n);
}

// Copies the field at off of width bytes into out (which holds width bytes)
// and forces out[width-1] to NUL.
inline void get_text_field(std::span<const uint8_t> b, size_t off, size_t width, char* out) {
  if (width == 0) return;
  memcpy(out, b.data() + off, width);
  out[width - 1] = '\0';
}

// Bounded copy of a C string into a fixed buffer, always NUL-terminated.
inline void copy_text(char* dst, size_t cap, std::string_view src) {
  if (cap == 0) return;
  size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
  if (n > 0) memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

}  // namespace orv
