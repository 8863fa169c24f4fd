#include "store/retention.h"

#include <gtest/gtest.h>

#include "store_test_util.h"

namespace orv {
namespace {

TEST(RetentionParse, AcceptsOnlyWellFormedCountsWithinTheUnitMaximum) {
  struct Case {
    const char* text;
    bool ok;
    RetentionUnit unit;
    uint32_t count;
  };
  const Case cases[] = {
      {"30d", true, RetentionUnit::days, 30},   {"36500d", true, RetentionUnit::days, 36500},
      {"5200w", true, RetentionUnit::weeks, 5200}, {"1200m", true, RetentionUnit::months, 1200},
      {"100y", true, RetentionUnit::years, 100}, {"forever", true, RetentionUnit::none, 0},
      {"0d", false, {}, 0},  {"030d", false, {}, 0},    {"10", false, {}, 0},     {"10dd", false, {}, 0},
      {"7D", false, {}, 0},  {"36501d", false, {}, 0},  {"101y", false, {}, 0},   {"5201w", false, {}, 0},
      {"", false, {}, 0},    {"d", false, {}, 0},       {"Forever", false, {}, 0}, {"1x", false, {}, 0},
      {"99999999999999999999d", false, {}, 0},
  };
  for (const Case& c : cases) {
    RetentionUnit unit = RetentionUnit::days;
    uint32_t count = 77;
    int rc = retention_parse(c.text, &unit, &count);
    EXPECT_EQ(c.ok ? 0 : -1, rc) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.unit, unit) << c.text;
      EXPECT_EQ(c.count, count) << c.text;
    }
  }
  RetentionUnit unit;
  uint32_t count;
  EXPECT_EQ(-1, retention_parse(nullptr, &unit, &count));
}

TEST(RetentionExpiry, MonthsAndYearsClampToTheTargetMonth) {
  EXPECT_EQ(1709208000, retention_expiry(1706702400, RetentionUnit::months, 1));  // 2024-01-31 12:00 -> 02-29
  EXPECT_EQ(1740744000, retention_expiry(1709208000, RetentionUnit::years, 1));   // 2024-02-29 12:00 -> 2025-02-28
  EXPECT_EQ(1000 + 30 * 86400, retention_expiry(1000, RetentionUnit::days, 30));
  EXPECT_EQ(1000 + 2 * 604800, retention_expiry(1000, RetentionUnit::weeks, 2));
  EXPECT_EQ(0, retention_expiry(1000, RetentionUnit::none, 5));
  // Before the epoch the day is floored: 1969-12-31 23:00 + 1m = 1970-01-31 23:00.
  EXPECT_EQ(2674800, retention_expiry(-3600, RetentionUnit::months, 1));
  // 12 months and 1 year are the same step.
  EXPECT_EQ(retention_expiry(1706702400, RetentionUnit::months, 12), retention_expiry(1706702400, RetentionUnit::years, 1));
  EXPECT_EQ(INT64_MAX, retention_expiry(INT64_MAX - 10, RetentionUnit::days, 1));
}

TEST(RetentionApply, StoresTextsAndExpiryOrClears) {
  auto h = test::make_header("db", 0, 1, 0, 1706702400);
  ASSERT_EQ(0, retention_apply(h.get(), "1m", "monthly_1"));
  BackupHeaderFields f;
  decode_backup_header(*h, &f);
  EXPECT_EQ(1709208000, f.expires);
  EXPECT_STREQ("1m", f.retention);
  EXPECT_STREQ("monthly_1", f.retention_label);

  ASSERT_EQ(0, retention_apply(h.get(), "forever", nullptr));
  decode_backup_header(*h, &f);
  EXPECT_EQ(0, f.expires);
  EXPECT_STREQ("forever", f.retention);
  EXPECT_STREQ("", f.retention_label);

  // Refusals leave the header as it was.
  EXPECT_EQ(-1, retention_apply(h.get(), "30d", "Daily"));
  EXPECT_EQ(-1, retention_apply(h.get(), "30d", std::string(32, 'a').c_str()));
  EXPECT_EQ(-1, retention_apply(h.get(), "0d", "x"));
  EXPECT_EQ(-1, retention_apply(nullptr, "30d", "x"));
  decode_backup_header(*h, &f);
  EXPECT_STREQ("forever", f.retention);
  EXPECT_EQ(0, retention_apply(h.get(), "30d", std::string(31, 'a').c_str()));

  // No retention: the label is not looked at and all 72 bytes are cleared.
  ASSERT_EQ(0, retention_apply(h.get(), "", "Not Valid!"));
  for (size_t i = HDR_EXPIRES_OFF; i < HDR_EXPIRES_OFF + 72; ++i) ASSERT_EQ(0, h->bytes[i]) << i;
}

}  // namespace
}  // namespace orv
