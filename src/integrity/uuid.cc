#include "integrity/uuid.h"

#include <cstring>

namespace orv {

void uuid_format(const Uuid& id, char text[UUID_TEXT_SIZE]) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t pos = 0;
  for (size_t i = 0; i < UUID_SIZE; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[pos++] = '-';
    text[pos++] = kHex[id.bytes[i] >> 4];
    text[pos++] = kHex[id.bytes[i] & 0x0F];
  }
  text[pos] = '\0';
}

int uuid_equal(const Uuid& a, const Uuid& b) {
  uint64_t a0, a1, b0, b1;
  memcpy(&a0, a.bytes, 8);
  memcpy(&a1, a.bytes + 8, 8);
  memcpy(&b0, b.bytes, 8);
  memcpy(&b1, b.bytes + 8, 8);
  return (a0 == b0 && a1 == b1) ? 1 : 0;
}

}  // namespace orv
