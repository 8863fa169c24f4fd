#include "store/names.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/status.h"
#include "store_test_util.h"

namespace orv {
namespace {

constexpr int64_t kDec7 = 1796606620;  // 2026-12-07 01:23:40 UTC

TEST(BackupPaths, FormsNamesFromNameStampAndTypeAndReservesTheImage) {
  test::TempDir dir;
  char cat[STORE_PATH_SIZE], img[STORE_PATH_SIZE];
  ASSERT_EQ(STATUS_OK, backup_paths(dir.path().c_str(), "db", BACKUP_FULL, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(dir.file("db-202612070123.infb"), cat);
  EXPECT_EQ(dir.file("db-202612070123.csfb"), img);
  EXPECT_TRUE(test::file_exists(std::string(img) + ".tmp"));
  EXPECT_EQ(0, test::size_of(std::string(img) + ".tmp"));

  // The reservation alone makes the next backup of that minute take n = 2.
  ASSERT_EQ(STATUS_OK, backup_paths(dir.path().c_str(), "db", BACKUP_FULL, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(dir.file("db-202612070123-2.infb"), cat);

  ASSERT_EQ(STATUS_OK, backup_paths(dir.path().c_str(), "db", 7, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(dir.file("db-202612070123-3.csfb"), img);  // unknown types use the FULL extensions
  ASSERT_EQ(STATUS_OK, backup_paths(dir.path().c_str(), "db", BACKUP_INC, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(dir.file("db-202612070123.inib"), cat);  // other extensions, no collision
}

TEST(BackupPaths, NamesOfAPartialCountAsTaken) {
  test::TempDir dir;
  char cat[STORE_PATH_SIZE], img[STORE_PATH_SIZE];
  // A partial of the same minute: only its journal is left.
  ASSERT_TRUE(test::write_all(dir.file("db-202612070123.csdb.part"), "j", 1));
  ASSERT_EQ(STATUS_OK, backup_paths(dir.path().c_str(), "db", BACKUP_DIFF, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(dir.file("db-202612070123-2.csdb"), img);
  // A finished catalog with its image gone still takes its name.
  ASSERT_TRUE(test::write_all(dir.file("x-202612070123.infb"), "c", 1));
  ASSERT_EQ(STATUS_OK, backup_paths(dir.path().c_str(), "x", BACKUP_FULL, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(dir.file("x-202612070123-2.infb"), cat);
}

TEST(BackupPaths, RefusesBadNamesFullMinutesAndSmallBuffers) {
  test::TempDir dir;
  char cat[STORE_PATH_SIZE], img[STORE_PATH_SIZE];
  const char* d = dir.path().c_str();
  EXPECT_EQ(STATUS_INVALID, backup_paths(d, "a/b", 0, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(STATUS_INVALID, backup_paths(d, "a\\b", 0, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(STATUS_INVALID, backup_paths(d, "", 0, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_EQ(STATUS_INVALID, backup_paths(d, nullptr, 0, kDec7, cat, sizeof cat, img, sizeof img));
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(STATUS_OK, backup_paths(d, "full", 0, kDec7, cat, sizeof cat, img, sizeof img)) << i;
  }
  EXPECT_EQ(dir.file("full-202612070123-1000.infb"), cat);
  EXPECT_EQ(STATUS_EXISTS, backup_paths(d, "full", 0, kDec7, cat, sizeof cat, img, sizeof img));
  EXPECT_STREQ("", cat);
}

TEST(BackupPaths, ConcurrentStartsNeverShareAName) {
  test::TempDir dir;
  constexpr int kThreads = 8;
  char paths[kThreads][STORE_PATH_SIZE];
  int32_t rcs[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      char cat[STORE_PATH_SIZE];
      rcs[t] = backup_paths(dir.path().c_str(), "db", 0, kDec7, cat, sizeof cat, paths[t], STORE_PATH_SIZE);
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(STATUS_OK, rcs[t]);
    for (int u = 0; u < t; ++u) EXPECT_STRNE(paths[t], paths[u]);
  }
}

TEST(CatalogNames, RecogniseAndMapExtensions) {
  EXPECT_TRUE(is_catalog_name("a.infb"));
  EXPECT_TRUE(is_catalog_name(".indb"));
  EXPECT_TRUE(is_catalog_name("x.inib"));
  EXPECT_FALSE(is_catalog_name("x.inib.tmp"));
  EXPECT_FALSE(is_catalog_name("x.csfb"));
  EXPECT_FALSE(is_catalog_name("infb"));

  char out[32];
  ASSERT_EQ(STATUS_OK, catalog_to_image_path("/d/x.inib", out, sizeof out));
  EXPECT_STREQ("/d/x.csib", out);
  ASSERT_EQ(STATUS_OK, catalog_to_image_path("x.indb", out, sizeof out));
  EXPECT_STREQ("x.csdb", out);
  EXPECT_EQ(STATUS_INVALID, catalog_to_image_path("x.tmp", out, sizeof out));
  EXPECT_EQ(STATUS_INVALID, catalog_to_image_path("x.infb", out, 6));  // needs 7 with the NUL
  EXPECT_EQ(STATUS_OK, catalog_to_image_path("x.infb", out, 7));

  EXPECT_FALSE(is_plain_file_name(".."));
  EXPECT_FALSE(is_plain_file_name("a\\b"));
}

}  // namespace
}  // namespace orv
