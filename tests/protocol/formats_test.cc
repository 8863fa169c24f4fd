#include "protocol/formats.h"

#include <gtest/gtest.h>

#include <cstring>

#include "store/store_test_util.h"

namespace orv {
namespace {

// The layouts are shared with agents and files on disk: every field must
// land at its fixed offset.
TEST(Formats, HeaderFieldsLandAtTheirOffsets) {
  auto h = std::make_unique<BackupHeader>();
  BackupHeaderFields f;
  f.block_size = 0x01020304;
  f.type = BACKUP_INC;
  f.uuid = test::make_uuid(1);
  f.parent_uuid = test::make_uuid(0x21);
  f.chain_uuid = test::make_uuid(0x41);
  f.created = -5;
  f.source_size = 0x1122334455667788ULL;
  f.image_size = 99;
  snprintf(f.name, sizeof f.name, "db");
  f.agent_byte = 0x5A;
  f.expires = 1700000000;
  snprintf(f.retention_label, sizeof f.retention_label, "daily");
  encode_backup_header(f, h.get());
  const uint8_t* b = h->bytes;
  EXPECT_EQ(0, memcmp(b, "ORVH\x01\x00", 6));
  EXPECT_EQ(0x02, b[10]);  // header_size 131,072
  EXPECT_EQ(0x04, b[12]);
  EXPECT_EQ(BACKUP_INC, b[16]);
  EXPECT_EQ(1, b[20]);
  EXPECT_EQ(0x21, b[36]);
  EXPECT_EQ(0x41, b[52]);
  EXPECT_EQ(-5, get_i64_le(h->span(), 68));
  EXPECT_EQ(0x88, b[76]);
  EXPECT_EQ(99, b[92]);
  EXPECT_STREQ("db", reinterpret_cast<const char*>(b + 484));
  EXPECT_EQ(0x5A, b[548]);
  EXPECT_EQ(1700000000, get_i64_le(h->span(), 25669));
  EXPECT_STREQ("daily", reinterpret_cast<const char*>(b + 25709));
  // A full text field is read back with a terminator inside the field.
  memset(h->bytes + HDR_NAME_OFF, 'x', HDR_NAME_SIZE);
  char name[HDR_NAME_SIZE];
  header_name(*h, name);
  EXPECT_EQ(63u, strlen(name));
}

TEST(Formats, EntryFieldsLandAtTheirOffsets) {
  CatalogEntryFields f;
  f.key = 0x0102030405060708ULL;
  f.length = 0x11223344;
  f.agent_u32 = 0xA1A2A3A4;
  f.agent_byte = 0x42;
  f.flags = ENTRY_FLAG_NO_DATA;
  f.agent_tail[31] = 0xDF;
  CatalogEntry e;
  encode_catalog_entry(f, &e);
  const uint8_t want[] = {8, 7, 6, 5, 4, 3, 2, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0x44, 0x33, 0x22, 0x11, 0xA4, 0xA3, 0xA2, 0xA1, 0x42, 0x01};
  EXPECT_EQ(0, memcmp(want, e.bytes, sizeof want));
  EXPECT_EQ(0xDF, e.bytes[57]);
}

}  // namespace
}  // namespace orv
