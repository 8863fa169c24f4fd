#include "core/json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace orv {
namespace {

TEST(JsonTest, MembersInOrderWithAllValueKinds) {
  char buf[256];
  JsonWriter w;
  json_init(&w, buf, sizeof buf);
  json_begin_object(&w);
  json_end_object(&w);
  EXPECT_STREQ(buf, "{}");

  json_init(&w, buf, sizeof buf);
  json_begin_object(&w);
  json_add_u64(&w, "a", 1);
  json_add_i64(&w, "b", -2);
  json_add_bool(&w, "c", 1);
  json_add_string(&w, "d", nullptr);
  json_add_bool(&w, "e", 0);
  json_add_string(&w, "f", "");
  json_add_bool(&w, "g", 42);
  json_end_object(&w);
  EXPECT_STREQ(buf, "{\"a\":1,\"b\":-2,\"c\":true,\"d\":null,\"e\":false,\"f\":\"\",\"g\":true}");
  EXPECT_EQ(w.len, strlen(buf));
  EXPECT_EQ(w.members, 7);
}

TEST(JsonTest, ExtremeIntegers) {
  char buf[256];
  JsonWriter w;
  json_init(&w, buf, sizeof buf);
  json_begin_object(&w);
  json_add_u64(&w, "u", std::numeric_limits<uint64_t>::max());
  json_add_i64(&w, "i", std::numeric_limits<int64_t>::min());
  json_add_i64(&w, "j", std::numeric_limits<int64_t>::max());
  json_add_u64(&w, "z", 0);
  json_end_object(&w);
  EXPECT_STREQ(buf,
               "{\"u\":18446744073709551615,\"i\":-9223372036854775808,\"j\":9223372036854775807,\"z\":0}");
}

TEST(JsonTest, EscapesControlCharactersQuotesAndBackslashInKeysAndValues) {
  char buf[256];
  JsonWriter w;
  json_init(&w, buf, sizeof buf);
  json_begin_object(&w);
  json_add_string(&w, "k\"\\", "q\"b\\t\tn\nr\r\x01\x08\x1b\x1f/\x7f\xc3\xa9 end");
  json_end_object(&w);
  EXPECT_STREQ(buf,
               "{\"k\\\"\\\\\":\"q\\\"b\\\\t\\tn\\nr\\r\\u0001\\u0008\\u001b\\u001f/\x7f\xc3\xa9 end\"}");
}

TEST(JsonTest, OutputIsCutAtCapacityAndStaysTerminated) {
  char buf[16];
  memset(buf, 'Z', sizeof buf);
  JsonWriter w;
  json_init(&w, buf, 8);
  json_begin_object(&w);
  json_add_u64(&w, "abcdef", 1);
  EXPECT_STREQ(buf, "{\"abcde");
  EXPECT_EQ(w.len, 7u);
  json_add_string(&w, "more", "text");
  json_add_bool(&w, "x", 1);
  json_end_object(&w);
  EXPECT_STREQ(buf, "{\"abcde");
  EXPECT_EQ(w.len, 7u);
  for (size_t i = 8; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'Z') << "byte " << i;
}

TEST(JsonTest, EscapeSequenceIsCutInTheMiddle) {
  // {"k":"  is 6 characters; with cap 9 two more fit, so \u0001 is cut to \u.
  char buf[9];
  JsonWriter w;
  json_init(&w, buf, sizeof buf);
  json_begin_object(&w);
  json_add_string(&w, "k", "\x01");
  EXPECT_STREQ(buf, "{\"k\":\"\\u");
  EXPECT_EQ(w.len, 8u);
}

TEST(JsonTest, EveryCapacityGivesAPrefixOfTheFullText) {
  char full[128];
  JsonWriter w;
  auto record = [](JsonWriter* jw) {
    json_begin_object(jw);
    json_add_string(jw, "s", "a\tb\"c\x02");
    json_add_i64(jw, "n", -77);
    json_add_bool(jw, "b", 0);
    json_end_object(jw);
  };
  json_init(&w, full, sizeof full);
  record(&w);
  const std::string whole = full;
  for (size_t cap = 1; cap <= whole.size() + 1; ++cap) {
    char buf[128];
    memset(buf, 'Z', sizeof buf);
    json_init(&w, buf, cap);
    record(&w);
    ASSERT_EQ(std::string(buf), whole.substr(0, cap - 1)) << "cap " << cap;
    ASSERT_EQ(w.len, cap - 1);
    ASSERT_EQ(buf[cap], 'Z');
  }
}

TEST(JsonTest, ZeroCapacityTouchesNothing) {
  char buf[4] = {'a', 'b', 'c', 'd'};
  JsonWriter w;
  json_init(&w, buf, 0);
  json_begin_object(&w);
  json_add_string(&w, "k", "v");
  json_add_u64(&w, "n", 5);
  json_end_object(&w);
  EXPECT_EQ(w.len, 0u);
  EXPECT_EQ(memcmp(buf, "abcd", 4), 0);
  json_init(&w, nullptr, 0);
  json_begin_object(&w);
  json_add_bool(&w, "b", 1);
  EXPECT_EQ(w.len, 0u);
}

}  // namespace
}  // namespace orv
