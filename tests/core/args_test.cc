#include "core/args.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "core/status.h"

namespace orv {
namespace {

TEST(ArgsTest, SizesInEveryFormAnOptionAccepts) {
  struct Case {
    const char* text;
    uint64_t all_forms;  // with SIZE_ALL_FORMS; UINT64_MAX: refused
    uint64_t basic;      // with SIZE_BASIC
  };
  constexpr uint64_t kNo = UINT64_MAX;
  const Case cases[] = {
      {"123", 123, 123},
      {"0", 0, 0},
      {"64k", 64u << 10, 64u << 10},
      {"4M", 4u << 20, 4u << 20},
      {"1G", 1ull << 30, 1ull << 30},
      {"2T", 2ull << 40, kNo},
      {"64KiB", 64u << 10, kNo},
      {"4MB", 4u << 20, kNo},
      {"16777215T", 16777215ull << 40, kNo},
      {"16777216T", kNo, kNo},
      {"17179869184G", kNo, kNo},
      {"", kNo, kNo},
      {"M", kNo, kNo},
      {"-1", kNo, kNo},
      {"+1", kNo, kNo},
      {" 1", kNo, kNo},
      {"4X", kNo, kNo},
      {"4 M", kNo, kNo},
      {"4MBs", kNo, kNo},
      {"4B", kNo, kNo},
      {"99999999999999999999", kNo, kNo},
      {"20000000000T", kNo, kNo},
  };
  for (const Case& c : cases) {
    for (unsigned accepts : {SIZE_ALL_FORMS, SIZE_BASIC}) {
      uint64_t want = accepts == SIZE_BASIC ? c.basic : c.all_forms;
      uint64_t v = 12345;
      int32_t rc = parse_size(c.text, accepts, &v);
      if (want == kNo) {
        EXPECT_EQ(rc, STATUS_INVALID) << c.text << " accepts=" << accepts;
        EXPECT_EQ(v, 0u) << c.text;
      } else {
        EXPECT_EQ(rc, STATUS_OK) << c.text << " accepts=" << accepts;
        EXPECT_EQ(v, want) << c.text;
      }
    }
  }
  uint64_t v = 1;
  EXPECT_EQ(parse_size(nullptr, SIZE_ALL_FORMS, &v), STATUS_INVALID);
  EXPECT_EQ(parse_size("1TiB", SIZE_TERA, &v), STATUS_INVALID);  // unit words need SIZE_UNIT_WORDS
  EXPECT_EQ(parse_size("1T", SIZE_TERA, &v), STATUS_OK);
  EXPECT_EQ(parse_size("1MiB", SIZE_UNIT_WORDS, &v), STATUS_OK);
  EXPECT_EQ(v, 1u << 20);
}

TEST(ArgsTest, ErrorTextIsCutToItsBufferAndAnEmptyBufferIsLeftAlone) {
  char small[8];
  set_error_text(small, sizeof small, "%s: '%s' is not a valid value", "--rate", "x");
  EXPECT_STREQ(small, "--rate:");
  char untouched = 'x';
  set_error_text(&untouched, 0, "%d", 1);
  EXPECT_EQ(untouched, 'x');
}

}  // namespace
}  // namespace orv
