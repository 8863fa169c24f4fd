#include "store/scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/status.h"
#include "store_test_util.h"

namespace orv {
namespace {

class Scan : public ::testing::Test {
 protected:
  test::TempDir dir;

  std::string put(const std::string& file, const char* name, uint8_t type, uint8_t uuid, uint8_t parent,
                  int64_t created, std::initializer_list<uint64_t> keys = {}) {
    auto h = test::make_header(name, type, uuid, parent, created);
    std::vector<CatalogEntry> v;
    for (uint64_t k : keys) v.push_back(test::make_entry(k));
    std::string path = dir.file(file);
    EXPECT_EQ(STATUS_OK, catalog_write(path.c_str(), 0640, *h, v.data(), v.size()));
    return path;
  }
  void damage(const std::string& path, size_t off, uint8_t x) {
    std::vector<uint8_t> b = test::read_all(path);
    b[off] ^= x;
    ASSERT_TRUE(test::write_all(path, b));
  }
  const char* d() const { return dir.path().c_str(); }
};

TEST_F(Scan, MissingAndEmptyDirectoriesHoldNoBackups) {
  ScanItem* items = reinterpret_cast<ScanItem*>(1);
  size_t count = 9;
  ASSERT_EQ(STATUS_OK, backup_scan(dir.file("missing").c_str(), &items, &count));
  EXPECT_EQ(nullptr, items);
  EXPECT_EQ(0u, count);
  ASSERT_EQ(STATUS_OK, backup_scan(d(), &items, &count));
  EXPECT_EQ(0u, count);
  char path[STORE_PATH_SIZE];
  EXPECT_EQ(STATUS_NOT_FOUND, backup_find_latest(d(), "db", -1, path, sizeof path));

  // Something that is not a directory cannot be listed: that is an error.
  ASSERT_TRUE(test::write_all(dir.file("file"), "x", 1));
  test::StderrCapture cap(dir.file("stderr.txt"));
  EXPECT_EQ(STATUS_IO, backup_scan(dir.file("file").c_str(), &items, &count));
  std::string log = cap.stop();
  EXPECT_NE(std::string::npos, log.find("ERROR cannot open backup directory " + dir.file("file") + ": Not a directory"))
      << log;
}

TEST_F(Scan, DamagedAndNewerCatalogsAreSkippedWithTheirReasons) {
  std::string a = put("a.infb", "db", 0, 1, 0, 100);
  std::string b = put("b.indb", "db", 1, 2, 1, 200);
  std::string c = put("c.inib", "db", 2, 3, 2, 300);
  damage(b, 0, 0xFF);                    // magic
  damage(c, HDR_VERSION_OFF, 0x03);      // version 1 -> 2
  put("d.infb.tmp", "db", 0, 4, 0, 400);  // temporary names are not catalogs
  ASSERT_TRUE(test::write_all(dir.file("e.csfb"), "image", 5));

  ScanItem* items = nullptr;
  size_t count = 0;
  test::StderrCapture cap(dir.file("stderr.txt"));
  ASSERT_EQ(STATUS_OK, backup_scan(d(), &items, &count));
  std::string log = cap.stop();
  ASSERT_EQ(1u, count);
  EXPECT_EQ(a, items[0].path);
  EXPECT_EQ(1, uuid_equal(test::make_uuid(1), items[0].uuid));
  EXPECT_STREQ("db", items[0].name);
  EXPECT_EQ(100, items[0].created);
  free(items);
  EXPECT_NE(std::string::npos, log.find("WARN  skipping " + b + ": corrupt or incomplete header")) << log;
  EXPECT_NE(std::string::npos, log.find("WARN  skipping " + c + ": newer format version")) << log;
}

// A directory, a FIFO or a link named like a catalog is no backup: each is
// skipped (no open of a FIFO that could block), and the scan goes on.
TEST_F(Scan, NamesThatAreNotRegularFilesAreSkipped) {
  std::string a = put("a.infb", "db", 0, 1, 0, 100);
  ASSERT_EQ(0, mkdir(dir.file("x.inib").c_str(), 0700));
  ASSERT_EQ(0, mkfifo(dir.file("y.indb").c_str(), 0600));
  ASSERT_EQ(0, symlink(a.c_str(), dir.file("z.infb").c_str()));
  ScanItem* items = nullptr;
  size_t count = 0;
  ASSERT_EQ(STATUS_OK, backup_scan(d(), &items, &count));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(a, items[0].path);
  free(items);
}

TEST_F(Scan, FindLatestFiltersByNameAndType) {
  put("f1.infb", "db", 0, 1, 0, 100);
  std::string full = put("f2.infb", "db", 0, 2, 0, 200);
  std::string inc = put("i.inib", "db", 2, 3, 2, 300);
  put("o.infb", "dbx", 0, 4, 0, 900);
  char path[STORE_PATH_SIZE];
  ASSERT_EQ(STATUS_OK, backup_find_latest(d(), "db", 0, path, sizeof path));
  EXPECT_EQ(full, path);
  ASSERT_EQ(STATUS_OK, backup_find_latest(d(), "db", -1, path, sizeof path));
  EXPECT_EQ(inc, path);
  ASSERT_EQ(STATUS_OK, backup_find_latest(d(), "db", 0x102, path, sizeof path));  // low byte 2
  EXPECT_EQ(inc, path);
  EXPECT_EQ(STATUS_NOT_FOUND, backup_find_latest(d(), "db", 1, path, sizeof path));
  char tiny[4];
  EXPECT_EQ(STATUS_INVALID, backup_find_latest(d(), "db", 0, tiny, sizeof tiny));
}

TEST_F(Scan, ChainRunsFromTheFullBackupToTheOneAskedFor) {
  std::string full = put("f.infb", "db", 0, 1, 0, 100, {1, 2, 3});
  std::string diff = put("d.indb", "db", 1, 2, 1, 200, {2});
  std::string inc = put("i.inib", "db", 2, 3, 2, 300, {3, 4});
  Chain chain;
  ASSERT_EQ(STATUS_OK, chain_resolve(inc.c_str(), d(), &chain));
  ASSERT_EQ(3u, chain.count);
  EXPECT_EQ(full, chain.items[0].catalog_path);
  EXPECT_EQ(diff, chain.items[1].catalog_path);
  EXPECT_EQ(inc, chain.items[2].catalog_path);
  EXPECT_EQ(dir.file("i.csib"), chain.items[2].image_path);
  EXPECT_EQ(3u, chain.items[0].entry_count);
  EXPECT_EQ(4u, entry_key(chain.items[2].entries[1]));
  chain_free(&chain);
  EXPECT_EQ(0u, chain.count);

  // A full backup is its own chain, and no scan is made: the directory
  // entry that would fail a scan does not matter.
  ASSERT_EQ(0, mkdir(dir.file("broken.infb").c_str(), 0700));
  ASSERT_EQ(STATUS_OK, chain_resolve(full.c_str(), d(), &chain));
  EXPECT_EQ(1u, chain.count);
  chain_free(&chain);
}

TEST_F(Scan, MissingLinksLoopsAndDamagedTablesFailTheChain) {
  put("f.infb", "db", 0, 1, 0, 100, {1});
  std::string diff = put("d.indb", "db", 1, 2, 1, 200, {2});
  std::string orphan = put("o.inib", "db", 2, 5, 4, 300);  // parent 4 does not exist
  Chain chain;
  EXPECT_EQ(STATUS_NOT_FOUND, chain_resolve(orphan.c_str(), d(), &chain));
  EXPECT_EQ(nullptr, chain.items);

  // 6 -> 7 -> 6: identifiers chosen by an agent can loop.
  std::string x = put("x.inib", "db", 2, 6, 7, 400);
  put("y.inib", "db", 2, 7, 6, 500);
  EXPECT_EQ(STATUS_CORRUPT, chain_resolve(x.c_str(), d(), &chain));
  std::string self = put("s.inib", "db", 2, 8, 8, 600);  // its own parent
  EXPECT_EQ(STATUS_CORRUPT, chain_resolve(self.c_str(), d(), &chain));

  damage(diff, BACKUP_HEADER_SIZE + 3, 0x01);
  std::string inc = put("i.inib", "db", 2, 3, 2, 700);
  EXPECT_EQ(STATUS_CORRUPT, chain_resolve(inc.c_str(), d(), &chain));
  EXPECT_EQ(0u, chain.count);
  EXPECT_EQ(STATUS_NOT_FOUND, chain_resolve(dir.file("nope.inib").c_str(), d(), &chain));
}

}  // namespace
}  // namespace orv
