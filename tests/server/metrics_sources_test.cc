#include "server/metrics_sources.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/status.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::TempDir;
using orv_support::write_text;

TEST(ProcessFigures, DescribeThisProcess) {
  ProcessFigures p;
  ASSERT_EQ(process_figures_read(&p), STATUS_OK);
  EXPECT_GT(p.resident_bytes, 0);
  EXPECT_GE(p.threads, 1);
  EXPECT_GE(p.open_fds, 3);  // at least the standard streams
  EXPECT_GT(p.max_fds, p.open_fds);
  double now = static_cast<double>(time(nullptr));
  EXPECT_LE(p.start_time_seconds, now + 1);
  EXPECT_GT(p.start_time_seconds, now - 3600);
}

TEST(StorageSpace, FreeIsWithinSizeAndAMissingPathFails) {
  TempDir dir;
  uint64_t free_bytes = 0, size_bytes = 0;
  ASSERT_EQ(storage_space_read(dir.path().c_str(), &free_bytes, &size_bytes), STATUS_OK);
  EXPECT_GT(size_bytes, 0u);
  EXPECT_LE(free_bytes, size_bytes);
  EXPECT_EQ(storage_space_read((dir.path() + "/missing").c_str(), &free_bytes, &size_bytes), STATUS_IO);
  EXPECT_EQ(free_bytes + size_bytes, 0u);
}

TEST(SubdirUsage, CountsCatalogsAndBytesAtAnyDepthWithoutFollowingLinks) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.sub("b").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.sub("b/nested").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.sub("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.sub(".hidden").c_str(), 0755), 0);
  ASSERT_TRUE(write_text(dir.sub("a/x-202601010000.infb"), std::string(100, 'c')));
  ASSERT_TRUE(write_text(dir.sub("a/x-202601010000.csfb"), std::string(1000, 'i')));
  ASSERT_TRUE(write_text(dir.sub("b/nested/y-202601010000.inib"), std::string(10, 'c')));
  ASSERT_TRUE(write_text(dir.sub("b/nested/y-202601010000.csib.tmp"), std::string(5, 'i')));
  ASSERT_TRUE(write_text(dir.sub(".hidden/z.infb"), "x"));
  ASSERT_TRUE(write_text(dir.sub("file-at-top.infb"), "x"));  // not a sub-directory
  // Links are never followed: neither to a directory nor as a sub-directory.
  ASSERT_EQ(symlink(dir.sub("a").c_str(), dir.sub("b/link").c_str()), 0);
  ASSERT_EQ(symlink(dir.sub("a").c_str(), dir.sub("c-link").c_str()), 0);

  std::vector<SubdirUsage> out(SUBDIR_REPORT_MAX);
  size_t n = subdir_usage_scan(dir.path().c_str(), out.data(), out.size());
  ASSERT_EQ(n, 2u);
  EXPECT_STREQ(out[0].name, "a");
  EXPECT_EQ(out[0].backups, 1u);
  EXPECT_EQ(out[0].bytes, 1100u);
  EXPECT_STREQ(out[1].name, "b");
  EXPECT_EQ(out[1].backups, 1u);
  EXPECT_EQ(out[1].bytes, 15u);
  EXPECT_EQ(subdir_usage_scan((dir.path() + "/missing").c_str(), out.data(), out.size()), 0u);
}

TEST(SubdirUsage, KeepsTheFirstNamesWhenThereAreMoreThanTheCap) {
  TempDir dir;
  for (const char* name : {"e", "b", "d", "a", "c", "bad\x01name"}) {
    ASSERT_EQ(mkdir(dir.sub(name).c_str(), 0755), 0) << name;
  }
  SubdirUsage out[3];
  ASSERT_EQ(subdir_usage_scan(dir.path().c_str(), out, 3), 3u);
  EXPECT_STREQ(out[0].name, "a");
  EXPECT_STREQ(out[1].name, "b");
  EXPECT_STREQ(out[2].name, "c");
}

}  // namespace
}  // namespace orv
