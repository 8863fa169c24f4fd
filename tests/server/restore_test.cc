// Order and cut of the backup list: oldest first, equal times by uuid bytes,
// and only the newest 50,000 of a longer list.
#include "server/restore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace orv {
namespace {

BackupListEntry entry(int64_t created, uint8_t first_uuid_byte, uint32_t serial) {
  BackupListEntry e;
  e.created = static_cast<uint64_t>(created);
  e.uuid.bytes[0] = first_uuid_byte;
  e.uuid.bytes[12] = static_cast<uint8_t>(serial >> 24);
  e.uuid.bytes[13] = static_cast<uint8_t>(serial >> 16);
  e.uuid.bytes[14] = static_cast<uint8_t>(serial >> 8);
  e.uuid.bytes[15] = static_cast<uint8_t>(serial);
  e.entry_count = serial;  // identifies the entry after sorting
  return e;
}

TEST(BackupListOrder, EqualTimesAreOrderedByUnsignedUuidBytes) {
  std::vector<BackupListEntry> v = {entry(100, 0x80, 1), entry(100, 0x7f, 2), entry(50, 0xff, 3),
                                    entry(100, 0x00, 4), entry(-5, 0x01, 5), entry(100, 0x7f, 0)};
  EXPECT_EQ(backup_list_order(v.data(), v.size()), 0u);
  std::vector<uint64_t> order;
  for (const BackupListEntry& e : v) order.push_back(e.entry_count);
  // A time before the epoch is the oldest; 0x7f..00 < 0x7f..02 < 0x80.
  EXPECT_EQ(order, (std::vector<uint64_t>{5, 3, 4, 0, 2, 1}));
}

TEST(BackupListOrder, KeepsTheNewest50000OfALongerList) {
  const uint32_t n = BACKUP_LIST_MAX_ENTRIES + 1;
  std::vector<BackupListEntry> v;
  v.reserve(n);
  // Times repeat in pairs, so the cut also depends on the uuid tie-break.
  for (uint32_t i = 0; i < n; ++i) v.push_back(entry(1000 + i / 2, static_cast<uint8_t>(i % 2 == 0 ? 9 : 3), i));
  std::shuffle(v.begin(), v.end(), std::mt19937(7));

  size_t first = backup_list_order(v.data(), v.size());
  ASSERT_EQ(first, 1u);
  // The dropped entry is the oldest: time 1000 with the smaller uuid (serial 1).
  EXPECT_EQ(v[0].entry_count, 1u);
  EXPECT_EQ(v[1].entry_count, 0u);
  EXPECT_EQ(v[2].entry_count, 3u);
  EXPECT_EQ(v[n - 1].entry_count, n - 1);  // the newest comes last
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end(), [](const BackupListEntry& a, const BackupListEntry& b) {
    return a.created < b.created;
  }));

  std::vector<BackupListEntry> exact(v.begin() + 1, v.end());
  EXPECT_EQ(backup_list_order(exact.data(), exact.size()), 0u);
  EXPECT_EQ(backup_list_order(nullptr, 0), 0u);
}

}  // namespace
}  // namespace orv
