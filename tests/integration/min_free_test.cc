// --min-free with the real orv_target on a small tmpfs storage root: a
// backup starts while there is room, a BEGIN below the limit is refused
// with "failed to create image file" and a warning naming the free space,
// and a size that cannot be read is a usage error. Needs permission to
// mount a tmpfs (root); skipped with a message otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/server_process.h"

namespace {

using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKey = "min-free-test-key-0123456789";

class MinFreeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(std::string(kKey) + " **\n"));
    // The worker writes as the service user: the tmpfs root is open to it.
    if (mount("tmpfs", files.storage.c_str(), "tmpfs", 0, "size=24m,mode=0777") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); --min-free is not tested";
    }
    mounted = true;
    key_file = files.dir.sub("api.key");
    ASSERT_TRUE(orv_support::write_text(key_file, std::string(kKey) + "\n", 0600));
  }
  void TearDown() override {
    if (server.process.running()) {
      server.process.signal(SIGTERM);
      EXPECT_TRUE(server.process.wait_exit(30000));
    }
    if (mounted && umount(files.storage.c_str()) != 0) (void)umount2(files.storage.c_str(), MNT_DETACH);
  }

  int backup(const std::string& name, std::string* out) {
    std::string source = files.dir.sub(name + ".bin");
    EXPECT_TRUE(orv_support::write_text(source, std::string(2u << 20, 'x')));
    return orv_support::run_tool({std::string(ORV_BINARY_DIR) + "/orv_client", "backup", "--target",
                                  "localhost:" + std::to_string(server.port()), "--api-key-file", key_file,
                                  "--ca-file", files.cert, "--subdir", "h", "--quiet", "--retries", "0", source},
                                 120000, out);
  }

  TargetFiles files;
  TargetServer server{files};
  std::string key_file;
  bool mounted = false;
};

TEST_F(MinFreeServerTest, BeginBelowTheLimitIsRefused) {
  ASSERT_TRUE(server.start(ORV_TARGET_BIN, {"--min-free", "12M"})) << server.process.log();
  std::string out;
  EXPECT_EQ(backup("first", &out), 0) << out;

  // Leave about 8 MiB free.
  struct statvfs st;
  ASSERT_EQ(statvfs(files.storage.c_str(), &st), 0);
  uint64_t free_bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  ASSERT_GT(free_bytes, 8u << 20);
  ASSERT_TRUE(orv_support::write_text(files.storage + "/filler", std::string(free_bytes - (8u << 20), 'f')));
  EXPECT_NE(backup("second", &out), 0) << out;
  EXPECT_NE(out.find("failed to create image file"), std::string::npos) << out;
  EXPECT_TRUE(server.process.wait_for_log("bytes free, less than --min-free 12582912", 10000)) << server.process.log();
  EXPECT_NE(server.process.log().find("WARN  refusing a new backup in " + files.storage + "/h: the storage file system has "),
            std::string::npos)
      << server.process.log();
}

TEST_F(MinFreeServerTest, UnreadableSizeIsAUsageError) {
  std::string out;
  int code = orv_support::run_tool({ORV_TARGET_BIN, "--storage", files.storage, "--tls-cert", files.cert, "--tls-key",
                                    files.key, "--acl-file", files.acl, "--no-log", "--no-syslog", "--min-free",
                                    "lots"},
                                   20000, &out);
  EXPECT_EQ(code, 2) << out;
  EXPECT_NE(out.find("error: --min-free wants a size such as 512M or 1G, got 'lots'"), std::string::npos) << out;
}

}  // namespace
