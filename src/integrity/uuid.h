// Backup identifiers: 16 raw bytes chosen by the agent; the text form is for
// log lines only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr size_t UUID_SIZE = 16;
inline constexpr size_t UUID_TEXT_SIZE = 37;  // 36 characters and a NUL

struct Uuid {
  uint8_t bytes[UUID_SIZE] = {};
};

// "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x"
void uuid_format(const Uuid& id, char text[UUID_TEXT_SIZE]);
// 1 if equal, else 0.
int uuid_equal(const Uuid& a, const Uuid& b);

}  // namespace orv
