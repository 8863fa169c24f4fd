// Checks of one backup against its own files: entry tables that are out of
// order, overlap, reach past the image or carry the dropped flag (all with
// a valid digest, so only these checks can find them), and read errors in
// the image found by the data pass with their offset.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "admin/chains.h"
#include "admin/inventory.h"
#include "admin/verify.h"
#include "admin/admin_test_util.h"

namespace orv {
namespace {

using admin_test::BackupSpec;
using admin_test::header_of;
using admin_test::image_of;
using admin_test::write_backup;

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    current = tmp.path();
  }

  // Rewrites the catalog of a fresh 4-block backup (in a directory of its
  // own) with the given entries.
  std::string backup_with(const std::vector<CatalogEntryFields>& fields) {
    current = tmp.file("b" + std::to_string(++made));
    EXPECT_EQ(mkdir(current.c_str(), 0755), 0);
    BackupSpec s;
    std::string catalog = write_backup(current, s);
    EXPECT_NE(catalog, "");
    std::vector<CatalogEntry> entries(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) encode_catalog_entry(fields[i], &entries[i]);
    EXPECT_EQ(catalog_write(catalog.c_str(), 0640, *header_of(s), entries.data(), entries.size()), STATUS_OK);
    return catalog;
  }

  // All problems of the only backup, joined with " | ".
  std::string problems(bool data = false) {
    Inventory inv;
    char error[256];
    EXPECT_EQ(inventory_load(current.c_str(), nullptr, time(nullptr), &inv, error, sizeof error), STATUS_OK);
    EXPECT_EQ(inv.backups.size(), 1u);
    UuidIndex index;
    EXPECT_EQ(uuid_index_build(inv, 0, &index), STATUS_OK);
    std::vector<uint8_t> buffer(VERIFY_READ_CHUNK);
    VerifyContext ctx;
    ctx.data = data;
    ctx.buffer = buffer.data();
    Problems p;
    EXPECT_EQ(verify_backup(inv, index, 0, &ctx, &p), STATUS_OK);
    std::string all;
    for (uint32_t i = 0; i < p.count; ++i) all += (i > 0 ? " | " : "") + std::string(p.text[i]);
    return all;
  }

  static CatalogEntryFields entry(uint64_t key, uint64_t offset, uint32_t length, uint8_t flags = 0) {
    CatalogEntryFields f;
    f.key = key;
    f.offset = offset;
    f.length = length;
    f.flags = flags;
    return f;
  }

  test::TempDir tmp;
  std::string current;
  int made = 0;
};

TEST_F(VerifyTest, SoundBackupHasNoProblems) {
  BackupSpec s;
  ASSERT_NE(write_backup(tmp.path(), s), "");
  EXPECT_EQ(problems(true), "");
}

TEST_F(VerifyTest, EntryTableFaultsBehindAValidDigest) {
  backup_with({entry(0, 0, 4096), entry(2, 4096, 4096), entry(1, 8192, 4096), entry(3, 12288, 4096)});
  EXPECT_EQ(problems(), "entry 2 (key 1) is out of key order");

  backup_with({entry(0, 0, 4096), entry(1, 2048, 4096), entry(2, 8192, 4096), entry(3, 12288, 4096)});
  EXPECT_EQ(problems(), "entries for keys 0 and 1 share image bytes from offset 2048");

  backup_with({entry(0, 0, 4096), entry(1, 16000, 4096), entry(2, 8192, 4096), entry(3, ENTRY_NO_OFFSET, 4096)});
  EXPECT_EQ(problems(),
            "entry for key 1 (offset 16000, length 4096) lies outside the image of 16384 bytes | 2 entries in all lie "
            "outside the image");

  backup_with({entry(0, 0, 4096), entry(1, 4096, 4096, ENTRY_FLAG_DROPPED), entry(2, ENTRY_NO_OFFSET, 0, 1)});
  EXPECT_EQ(problems(), "entry 1 (key 1) carries the dropped flag");
}

TEST_F(VerifyTest, TrailingBytesAndShortTables) {
  BackupSpec s;
  std::string catalog = write_backup(tmp.path(), s);
  ASSERT_TRUE(test::write_all(catalog + ".x", "", 0));  // not a catalog name: ignored
  {
    FILE* f = fopen(catalog.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fputs("tail", f);
    fclose(f);
  }
  EXPECT_EQ(problems(), "catalog has 4 bytes after its entry table");
  ASSERT_EQ(truncate(catalog.c_str(), BACKUP_HEADER_SIZE + 58), 0);
  EXPECT_EQ(problems(), "entry table is short: 4 entries need 131304 bytes, the catalog has 131130");
}

// Reads of the image fail in its second 4 KiB block, as a bad sector would.
int64_t g_bad_offset = -1;
bool is_image(int fd) {
  char link[64];
  char target[1024];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 5) return false;
  target[n] = '\0';
  return strcmp(target + n - 5, ".csfb") == 0;
}

ssize_t failing_pread(int fd, void* buf, size_t len, off_t offset) {
  if (g_bad_offset >= 0 && is_image(fd) && offset <= g_bad_offset && g_bad_offset < offset + static_cast<off_t>(len)) {
    errno = EIO;
    return -1;
  }
  return file_io_system_ops().pread_fn(fd, buf, len, offset);
}

TEST_F(VerifyTest, DataPassNamesReadErrorsWithFileAndOffset) {
  BackupSpec s;
  std::string catalog = write_backup(tmp.path(), s);
  FileOps ops = file_io_system_ops();
  ops.pread_fn = failing_pread;
  g_bad_offset = 5000;
  const FileOps* saved = file_io_set_ops(&ops);
  std::string without_data = problems(false);
  std::string with_data = problems(true);
  file_io_set_ops(saved);
  g_bad_offset = -1;
  EXPECT_EQ(without_data, "");
  EXPECT_EQ(with_data, "read error at offset 4096 of " + image_of(catalog) + ": I/O error (status=-1)");
}

}  // namespace
}  // namespace orv
