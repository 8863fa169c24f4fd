#include "protocol/payloads.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/status.h"

namespace orv {
namespace {

std::span<const uint8_t> view(const std::vector<uint8_t>& v, size_t n) { return std::span<const uint8_t>(v.data(), n); }

TEST(Payloads, HelloLayoutAndOptionalFlags) {
  HelloRequest in;
  std::string key(64, 'k');  // a key filling its whole field
  memcpy(in.api_key, key.data(), 64);
  in.flags = FLAG_CONTINUE;
  std::vector<uint8_t> out(HELLO_SIZE, 0xEE);
  ASSERT_EQ(encode_hello(in, true, out), 166u);
  EXPECT_EQ(get_u16_le(out, 0), 3);
  EXPECT_EQ(out[98], 'k');
  EXPECT_EQ(out[161], 'k');
  EXPECT_EQ(get_u32_le(out, 162), 1u);

  HelloRequest back;
  ASSERT_EQ(decode_hello(out, &back), STATUS_OK);
  EXPECT_EQ(std::string(back.api_key), key);
  EXPECT_EQ(back.flags, 1u);
  ASSERT_EQ(decode_hello(view(out, 162), &back), STATUS_OK);
  EXPECT_EQ(back.flags, 0u);
  put_u32_le(out, 162, 0x00030001);
  ASSERT_EQ(decode_hello(view(out, 164), &back), STATUS_OK);  // missing bytes read as zero
  EXPECT_EQ(back.flags, 1u);
  EXPECT_EQ(decode_hello(view(out, 161), &back), STATUS_PROTOCOL);
}

TEST(Payloads, BeginShortFormLeavesOptionalFieldsEmpty) {
  BeginRequest in;
  in.uuid.bytes[0] = 1;
  in.chain_uuid.bytes[15] = 3;
  in.type = 2;
  in.block_size = 65536;
  in.source_size = 1ull << 40;
  snprintf(in.target_name, sizeof in.target_name, "db");
  memset(in.target_subdir, 's', 64);
  in.extra_byte = 9;
  snprintf(in.retention, sizeof in.retention, "30d");
  snprintf(in.retention_label, sizeof in.retention_label, "monthly");
  std::vector<uint8_t> out(BEGIN_SIZE);
  ASSERT_EQ(encode_begin(in, out), 446u);
  EXPECT_EQ(out[48], 2);
  EXPECT_EQ(get_u32_le(out, 49), 65536u);
  EXPECT_EQ(out[61], 'd');
  EXPECT_EQ(out[317], 's');
  EXPECT_EQ(out[381], 9);
  EXPECT_EQ(out[382], '3');
  EXPECT_EQ(out[414], 'm');

  BeginRequest back;
  ASSERT_EQ(decode_begin(out, &back), STATUS_OK);
  EXPECT_EQ(back.chain_uuid.bytes[15], 3);
  EXPECT_EQ(back.source_size, 1ull << 40);
  EXPECT_EQ(strlen(back.target_subdir), 64u);
  EXPECT_STREQ(back.retention_label, "monthly");
  ASSERT_EQ(decode_begin(view(out, 381), &back), STATUS_OK);
  EXPECT_EQ(back.extra_byte, 0);
  EXPECT_STREQ(back.retention, "");
  EXPECT_EQ(decode_begin(view(out, 380), &back), STATUS_PROTOCOL);
}

TEST(Payloads, BlockLengthMustMatchExactly) {
  BlockHeader in;
  in.key = 42;
  in.data_length = 10;
  in.flags = ENTRY_FLAG_NO_DATA;
  in.agent_tail[31] = 0x77;
  std::vector<uint8_t> frame(BLOCK_HEADER_SIZE + 10, 0xAB);
  ASSERT_EQ(encode_block_header(in, frame), 50u);
  EXPECT_EQ(frame[17], ENTRY_FLAG_NO_DATA);
  EXPECT_EQ(frame[49], 0x77);
  BlockHeader back;
  std::span<const uint8_t> data;
  ASSERT_EQ(decode_block(frame, &back, &data), STATUS_OK);
  EXPECT_EQ(back.key, 42u);
  EXPECT_EQ(data.size(), 10u);
  EXPECT_EQ(data[0], 0xAB);
  EXPECT_EQ(decode_block(view(frame, 59), &back, &data), STATUS_PROTOCOL);
  frame.push_back(0);
  EXPECT_EQ(decode_block(frame, &back, &data), STATUS_PROTOCOL);
  EXPECT_EQ(decode_block(view(frame, 49), &back, &data), STATUS_PROTOCOL);
}

TEST(Payloads, DropEntriesCountAndLength) {
  std::vector<uint64_t> keys = {5, 1ull << 63};
  std::vector<uint8_t> out(4 + 16);
  ASSERT_EQ(encode_drop_entries(keys, out), 20u);
  uint32_t count = 0;
  ASSERT_EQ(decode_drop_entries(out, &count), STATUS_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(drop_entries_key(out, 1), 1ull << 63);
  EXPECT_EQ(decode_drop_entries(view(out, 19), &count), STATUS_PROTOCOL);
  std::vector<uint8_t> over(4 + 8 * 100001ul);
  put_u32_le(over, 0, 100001);
  EXPECT_EQ(decode_drop_entries(over, &count), STATUS_PROTOCOL);
  put_u32_le(over, 0, 0);
  EXPECT_EQ(decode_drop_entries(view(over, 4), &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
}

TEST(Payloads, EntryRoundTripAndEntryFrames) {
  CatalogEntryFields e;
  e.key = 0x0102030405060708ull;
  e.offset = ENTRY_NO_OFFSET;
  e.agent_u32 = 0xA0B0C0D0;
  e.flags = ENTRY_FLAG_DROPPED;
  e.agent_tail[31] = 0x99;
  std::vector<uint8_t> out(CATALOG_ENTRY_SIZE);
  encode_catalog_entry(e, out);
  EXPECT_EQ(out[25], 0x80);
  EXPECT_EQ(out[57], 0x99);
  CatalogEntryFields back = decode_catalog_entry(out);
  EXPECT_EQ(back.key, e.key);
  EXPECT_EQ(back.agent_u32, e.agent_u32);

  size_t count = 0;
  std::vector<uint8_t> two(2 * CATALOG_ENTRY_SIZE);
  EXPECT_EQ(decode_entry_frame(two, &count), STATUS_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(decode_entry_frame(view(two, 57), &count), STATUS_PROTOCOL);
  EXPECT_EQ(decode_entry_frame({}, &count), STATUS_PROTOCOL);
}

TEST(Payloads, ErrorTextIsCutTo255) {
  std::vector<uint8_t> out(ERROR_SIZE);
  ASSERT_EQ(encode_error(-3, std::string(300, 'e'), out), 260u);
  ErrorReply back;
  ASSERT_EQ(decode_error(out, &back), STATUS_OK);
  EXPECT_EQ(back.status, -3);
  EXPECT_EQ(strlen(back.text), 255u);
  EXPECT_EQ(decode_error(view(out, 259), &back), STATUS_PROTOCOL);
}

TEST(Payloads, BackupListAndRangeData) {
  std::vector<uint8_t> list(BACKUP_LIST_ENTRIES_OFF + 2 * LIST_ENTRY_SIZE);
  encode_backup_list_prefix(2, true, list);
  BackupListEntry entry;
  entry.created = 1700000000;
  entry.entry_count = 12;
  snprintf(entry.name, sizeof entry.name, "nightly");
  encode_list_entry(entry, std::span<uint8_t>(list).subspan(BACKUP_LIST_ENTRIES_OFF + LIST_ENTRY_SIZE));
  uint32_t count = 0;
  bool truncated = false;
  ASSERT_EQ(decode_backup_list(list, &count, &truncated), STATUS_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_TRUE(truncated);
  BackupListEntry back = decode_list_entry(backup_list_entry(list, 1));
  EXPECT_EQ(back.created, 1700000000u);
  EXPECT_STREQ(back.name, "nightly");
  EXPECT_EQ(list[BACKUP_LIST_ENTRIES_OFF + LIST_ENTRY_SIZE + 65], 'n');
  EXPECT_EQ(decode_backup_list(view(list, list.size() - 1), &count, &truncated), STATUS_PROTOCOL);

  std::vector<uint8_t> range(READ_RANGE_SIZE + 3);
  encode_read_range({2, 3, 1ull << 33}, range);
  RangeRequest echo;
  std::span<const uint8_t> data;
  ASSERT_EQ(decode_range_data(range, &echo, &data), STATUS_OK);
  EXPECT_EQ(echo.offset, 1ull << 33);
  EXPECT_EQ(data.size(), 3u);
  EXPECT_EQ(decode_range_data(view(range, 18), &echo, &data), STATUS_PROTOCOL);
}

}  // namespace
}  // namespace orv
