#include "store/catalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "core/status.h"
#include "integrity/sha256.h"
#include "store_test_util.h"

namespace orv {
namespace {

class CatalogFile : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::string path = dir.file("db-202601010000.infb");
  std::unique_ptr<BackupHeader> header = test::make_header("db", BACKUP_FULL, 1, 0, 1000);
  std::unique_ptr<LoadedCatalog> cat = std::make_unique<LoadedCatalog>();

  std::vector<uint8_t> write_valid(uint64_t n) {
    std::vector<CatalogEntry> v;
    for (uint64_t k = 0; k < n; ++k) v.push_back(test::make_entry(k, k * 10, 10));
    EXPECT_EQ(STATUS_OK, catalog_write(path.c_str(), 0640, *header, v.data(), v.size()));
    return test::read_all(path);
  }
  int32_t load_bytes(const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(test::write_all(path, bytes));
    return catalog_load(path.c_str(), cat.get());
  }
};

TEST_F(CatalogFile, WriteFillsCountAndDigestInACopyAndLoadVerifiesThem) {
  std::vector<uint8_t> empty = write_valid(0);
  ASSERT_EQ(BACKUP_HEADER_SIZE, empty.size());
  for (size_t i = HDR_SHA256_OFF; i < HDR_SHA256_OFF + 32; ++i) EXPECT_EQ(0, empty[i]);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  EXPECT_FALSE(test::file_exists(path + ".tmp"));

  std::vector<CatalogEntry> v = {test::make_entry(1), test::make_entry(2), test::make_entry(3)};
  ASSERT_EQ(STATUS_OK, catalog_write(path.c_str(), 0640, *header, v.data(), v.size()));
  EXPECT_EQ(0u, header_entry_count(*header));  // the caller's header is untouched
  std::vector<uint8_t> bytes = test::read_all(path);
  ASSERT_EQ(BACKUP_HEADER_SIZE + 3 * CATALOG_ENTRY_SIZE, bytes.size());
  uint8_t digest[32];
  sha256(v.data(), 3 * CATALOG_ENTRY_SIZE, digest);
  EXPECT_EQ(0, memcmp(digest, bytes.data() + HDR_SHA256_OFF, 32));

  ASSERT_EQ(STATUS_OK, catalog_load(path.c_str(), cat.get()));
  ASSERT_EQ(3u, cat->entry_count);
  EXPECT_EQ(0, memcmp(v.data(), cat->entries, 3 * CATALOG_ENTRY_SIZE));
  EXPECT_EQ(dir.file("db-202601010000.csfb"), cat->image_path);
  catalog_free(cat.get());
}

TEST_F(CatalogFile, DamagedEntryTablesAreCorrupt) {
  std::vector<uint8_t> good = write_valid(4);
  std::vector<uint8_t> b = good;
  b[BACKUP_HEADER_SIZE + 2 * CATALOG_ENTRY_SIZE + 25] ^= 0x01;  // one flag bit of one entry
  EXPECT_EQ(STATUS_CORRUPT, load_bytes(b));
  EXPECT_EQ(nullptr, cat->entries);
  EXPECT_EQ(STATUS_CORRUPT, load_bytes(std::vector<uint8_t>(good.begin(), good.end() - 1)));
  // A damaged count far beyond the file is refused before any allocation.
  b = good;
  put_u64_le(b, HDR_ENTRY_COUNT_OFF, UINT64_MAX / 2);
  EXPECT_EQ(STATUS_CORRUPT, load_bytes(b));
}

TEST_F(CatalogFile, HeaderChecksRunInOrderWithTheVersionLast) {
  std::vector<uint8_t> good = write_valid(0);
  auto h = std::make_unique<BackupHeader>();
  auto check = [&](const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(test::write_all(path, bytes));
    return header_read(path.c_str(), h.get());
  };
  EXPECT_EQ(STATUS_CORRUPT, check(std::vector<uint8_t>(good.begin(), good.begin() + 4095)));
  std::vector<uint8_t> b = good;
  b[0] = 'X';
  EXPECT_EQ(STATUS_CORRUPT, check(b));
  b = good;
  put_u32_le(b, HDR_HEADER_SIZE_OFF, 4194305);
  EXPECT_EQ(STATUS_CORRUPT, check(b));
  b = good;
  put_u16_le(b, HDR_VERSION_OFF, 2);
  EXPECT_EQ(STATUS_UNSUPPORTED, check(b));
  b[1] = 'X';  // a damaged file with a high version is damaged first
  EXPECT_EQ(STATUS_CORRUPT, check(b));
  // Shorter than 128 KiB but holding header_size bytes: accepted.
  b = good;
  put_u32_le(b, HDR_HEADER_SIZE_OFF, 4096);
  b.resize(5000);
  EXPECT_EQ(STATUS_OK, check(b));

  // Anything but a regular file is refused before it is read; a FIFO is
  // never waited on.
  ASSERT_EQ(0, mkdir(dir.file("d.infb").c_str(), 0700));
  EXPECT_EQ(STATUS_INVALID, header_read(dir.file("d.infb").c_str(), h.get()));
  ASSERT_EQ(0, mkfifo(dir.file("f.infb").c_str(), 0600));
  EXPECT_EQ(STATUS_INVALID, header_read(dir.file("f.infb").c_str(), h.get()));
  ASSERT_EQ(0, symlink(path.c_str(), dir.file("l.infb").c_str()));
  EXPECT_EQ(STATUS_INVALID, header_read(dir.file("l.infb").c_str(), h.get()));
}

TEST_F(CatalogFile, FailuresAreReportedInsteadOfSuccess) {
  CatalogEntry e = test::make_entry(1);
  EXPECT_EQ(STATUS_NOT_FOUND, catalog_write(dir.file("nodir/x.infb").c_str(), 0640, *header, &e, 1));
  ASSERT_EQ(0, mkdir((path + ".tmp").c_str(), 0700));  // the temporary name is taken
  EXPECT_NE(STATUS_OK, catalog_write(path.c_str(), 0640, *header, &e, 1));
  EXPECT_FALSE(test::file_exists(path));

  // The directory sync after the rename reports what the best-effort one hides.
  EXPECT_EQ(STATUS_OK, dir_sync_parent_checked(dir.file("anything").c_str()));
  EXPECT_EQ(STATUS_NOT_FOUND, dir_sync_parent_checked(dir.file("gone/x").c_str()));
}

TEST(Entries, CompactKeepsOrderAndSortOrdersKeysAsUnsigned) {
  std::vector<CatalogEntry> v = {test::make_entry(5), test::make_entry(1, 0, 0, ENTRY_FLAG_DROPPED),
                                 test::make_entry(9), test::make_entry(3, 0, 0, ENTRY_FLAG_DROPPED | 1)};
  ASSERT_EQ(2u, entries_compact(v.data(), v.size()));
  EXPECT_EQ(5u, entry_key(v[0]));
  EXPECT_EQ(9u, entry_key(v[1]));

  // Small tables sort in place; large ones through key/position pairs.
  for (size_t n : {5, 10000}) {
    std::mt19937_64 rng(n);
    std::vector<CatalogEntry> w;
    for (size_t i = 0; i < n; ++i) w.push_back(test::make_entry(i % 3 == 0 ? rng() : rng() % 1000));
    w[0] = test::make_entry(UINT64_MAX);
    entries_sort(w.data(), w.size());
    for (size_t i = 1; i < w.size(); ++i) ASSERT_LE(entry_key(w[i - 1]), entry_key(w[i])) << n;
    EXPECT_EQ(UINT64_MAX, entry_key(w.back()));
    EXPECT_EQ(static_cast<uint8_t>(entry_key(w[1])), w[1].bytes[ENT_AGENT_TAIL_OFF]);  // whole entries moved
  }
}

}  // namespace
}  // namespace orv
