#include "core/utf8.h"

#include <cstring>

namespace orv {

size_t utf8_sequence_length(const unsigned char* p, size_t n) {
  if (n == 0) return 0;
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t len = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07u;
  } else {
    return 0;  // continuation byte, 0xC0/0xC1 (always overlong) or 0xF5..0xFF
  }
  if (n < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (p[i] & 0x3Fu);
  }
  if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
  if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  return len;
}

size_t log_escape(const char* in, size_t n, char* out, size_t cap) {
  if (cap == 0) return 0;
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(in);
  size_t len = 0;
  size_t i = 0;
  while (i < n) {
    size_t seq = utf8_sequence_length(p + i, n - i);
    bool control = seq == 1 && (p[i] < 0x20 || p[i] == 0x7F);
    bool c1 = seq == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0;  // U+0080..U+009F
    if (seq != 0 && !control && !c1) {
      if (len + seq > cap - 1) break;
      memcpy(out + len, p + i, seq);
      len += seq;
      i += seq;
      continue;
    }
    // One byte at a time: a C1 control becomes two escapes, like any other
    // byte that must not reach the log raw.
    size_t count = c1 ? 2 : 1;
    if (len + 4 * count > cap - 1) break;
    for (size_t k = 0; k < count; ++k) {
      unsigned char b = p[i + k];
      out[len++] = '\\';
      out[len++] = 'x';
      out[len++] = kHex[b >> 4];
      out[len++] = kHex[b & 0x0F];
    }
    i += count;
  }
  out[len] = '\0';
  return len;
}

}  // namespace orv
