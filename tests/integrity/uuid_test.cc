#include "integrity/uuid.h"

#include <gtest/gtest.h>

#include <cstring>

namespace orv {
namespace {

TEST(UuidTest, FormatsBytesInOrderWithHyphens) {
  Uuid id;
  for (size_t i = 0; i < UUID_SIZE; ++i) id.bytes[i] = static_cast<uint8_t>(i);
  char text[UUID_TEXT_SIZE];
  memset(text, 'z', sizeof text);
  uuid_format(id, text);
  EXPECT_STREQ(text, "00010203-0405-0607-0809-0a0b0c0d0e0f");

  for (auto& b : id.bytes) b = 0xAB;
  id.bytes[15] = 0xF0;
  uuid_format(id, text);
  EXPECT_STREQ(text, "abababab-abab-abab-abab-abababababf0");

  uuid_format(Uuid{}, text);
  EXPECT_STREQ(text, "00000000-0000-0000-0000-000000000000");
}

TEST(UuidTest, EqualityLooksAtBothHalves) {
  Uuid zero;
  Uuid a;
  EXPECT_EQ(uuid_equal(zero, a), 1);
  for (size_t i = 0; i < UUID_SIZE; ++i) {
    Uuid b;
    b.bytes[i] = 1;
    EXPECT_EQ(uuid_equal(zero, b), 0) << "byte " << i;
    EXPECT_EQ(uuid_equal(b, b), 1);
  }
}

}  // namespace
}  // namespace orv
