// Configuration written by hand, as a careful operator gets it wrong: an
// access-list line longer than the line buffer, paths at start longer than
// the buffers that hold them, the privileged socket directory named by a
// regular file or a link, and a collection mark that is not a regular file.
// Each is tried on the real orv_target; every run is bounded in time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "support/client_conn.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::read_text;
using orv_support::run_tool;
using orv_support::TargetFiles;
using orv_support::TempDir;
using orv_support::write_text;

constexpr int kWaitMs = 20000;
constexpr const char* kKey = "config-test-key-0001";

// A directory path of about `length` bytes below base, made of 100-byte
// components, created when asked.
std::string long_dir(const std::string& base, size_t length, bool create) {
  std::string path = base;
  while (path.size() + 101 <= length) {
    path += "/" + std::string(99, 'd') + "x";
    if (create) (void)mkdir(path.c_str(), 0777);
  }
  path += "/" + std::string(length - path.size() - 1, 'e');
  if (create) (void)mkdir(path.c_str(), 0777);
  return path;
}

class ServerStart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(std::string(kKey) + " hosts/**\n"));
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("run").c_str(), 1);
  }
  void TearDown() override {
    if (proc.signal(SIGTERM)) (void)proc.wait_exit(kWaitMs);
  }
  std::vector<std::string> server_args(const std::string& storage) {
    port = orv_support::pick_port();
    return {ORV_TARGET_BIN, "--storage", storage, "--tls-cert", files.cert, "--tls-key", files.key, "--acl-file",
            files.acl, "--bind", "127.0.0.1", "--port", std::to_string(port), "--no-log", "--no-syslog"};
  }
  // Runs the server expecting it to stop at once; its exit code (-1 when
  // it was still running after the wait) and output.
  int run_expecting_exit(std::vector<std::string> args, std::string* output) {
    return run_tool(args, 10000, output);
  }
  bool start(const std::vector<std::string>& args) {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    return proc.start(args[0], rest, files.dir.sub("server.log")) && proc.wait_for_log("listening on", kWaitMs) &&
           proc.running();
  }

  TargetFiles files;
  orv_support::ChildProcess proc;
  uint16_t port = 0;
};

// A line of 1,100 characters would be read in pieces, its tail parsed as a
// line of its own: here one that grants the key "evil" everything.
TEST_F(ServerStart, AccessListLineLongerThanTheBufferIsRefusedWithItsNumber) {
  std::string overlong = "k a" + std::string(1100, ' ') + "evil **\n";
  ASSERT_TRUE(write_text(files.acl, std::string(kKey) + " hosts/**\n" + overlong));
  std::string out;
  int code = run_expecting_exit(server_args(files.storage), &out);
  EXPECT_NE(code, 0) << out;
  EXPECT_NE(code, -1) << "the server started with the overlong line:\n" << out;
  EXPECT_NE(out.find("ACL file " + files.acl + ": line 2 is longer than 1023 characters"), std::string::npos) << out;
  EXPECT_NE(out.find("failed to load ACL file " + files.acl + ": invalid argument or request (status=-3)"),
            std::string::npos)
      << out;

  // A line of exactly 1,023 characters (CR LF after it) is whole and fine.
  std::string full = std::string(kKey) + " hosts/**";
  full += std::string(1023 - full.size(), ' ');
  ASSERT_TRUE(write_text(files.acl, full + "\r\n"));
  ASSERT_TRUE(start(server_args(files.storage))) << proc.log();

  // On reload the old table stays in force.
  ASSERT_TRUE(write_text(files.acl, overlong));
  ASSERT_TRUE(proc.signal(SIGHUP));
  EXPECT_TRUE(proc.wait_for_log("keeping current ACL", kWaitMs)) << proc.log();
  orv_support::ClientConn evil;
  ASSERT_EQ(evil.connect(port, kWaitMs), STATUS_OK);
  HelloReply reply;
  EXPECT_NE(client_hello(&evil.c, "evil", true, 0, &reply), STATUS_OK);
  orv_support::ClientConn good;
  ASSERT_EQ(good.connect(port, kWaitMs), STATUS_OK);
  EXPECT_EQ(client_hello(&good.c, kKey, true, 0, &reply), STATUS_OK);
}

// Paths that would be cut to fit their buffers name other directories; the
// program refuses them at start with exit status 2 and creates nothing.
TEST_F(ServerStart, PathsThatWouldBeCutAreRefusedAtStart) {
  std::string storage = long_dir(files.dir.path(), 600, true);
  std::string out;
  EXPECT_EQ(run_expecting_exit(server_args(storage), &out), 2) << out;
  EXPECT_NE(out.find("error: --storage is too long: 600 bytes, at most 511 fit"), std::string::npos) << out;

  // 510 bytes fit the storage root, but not "<storage>/diag".
  std::string storage510 = long_dir(files.dir.path(), 510, true);
  EXPECT_EQ(run_expecting_exit(server_args(storage510), &out), 2) << out;
  EXPECT_NE(out.find("error: --storage is too long for the default diagnostics directory"), std::string::npos) << out;

  std::vector<std::string> args = server_args(files.storage);
  args.insert(args.end(), {"--diag-dir", long_dir(files.dir.path(), 700, false)});
  EXPECT_EQ(run_expecting_exit(args, &out), 2) << out;
  EXPECT_NE(out.find("error: --diag-dir is too long: 700 bytes, at most 511 fit"), std::string::npos) << out;

  args = server_args(files.storage);
  args.insert(args.end(), {"--log", "1", "--log-path", long_dir(files.dir.path(), 1300, false)});
  args.erase(std::find(args.begin(), args.end(), "--no-log"));
  EXPECT_EQ(run_expecting_exit(args, &out), 2) << out;
  EXPECT_NE(out.find("error: --log-path is too long"), std::string::npos) << out;

  if (geteuid() == 0) {
    std::string sock = long_dir(files.dir.path(), 600, false);
    setenv("ORV_TARGET_PRIV_SOCK_DIR", sock.c_str(), 1);
    EXPECT_EQ(run_expecting_exit(server_args(files.storage), &out), 2) << out;
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("run").c_str(), 1);
    EXPECT_NE(out.find("error: ORV_TARGET_PRIV_SOCK_DIR is too long: 600 bytes, at most 511 fit"),
              std::string::npos)
        << out;
  }

  EXPECT_EQ(run_expecting_exit({ORV_TARGET_BIN, "--no-log", "--no-syslog", "--collect-diag", "--diag-dir",
                                long_dir(files.dir.path(), 1100, false)},
                               &out),
            2)
      << out;
  EXPECT_NE(out.find("error: --diag-dir is too long: 1100 bytes, at most 1023 fit"), std::string::npos) << out;
}

// Only a directory is used as the privileged socket directory: anything
// else there is refused before its owner or mode is touched.
TEST_F(ServerStart, PrivilegedSocketDirectoryMustBeADirectoryItself) {
  if (geteuid() != 0) GTEST_SKIP() << "the privileged socket exists only when started as root";
  std::string file = files.dir.sub("not-a-dir");
  ASSERT_TRUE(write_text(file, "keep\n", 0644));
  std::string target = files.dir.make_dir("real-dir");
  ASSERT_EQ(chmod(target.c_str(), 0755), 0);
  std::string link = files.dir.sub("link-to-dir");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  struct Case {
    std::string path, reason, checked;
  };
  for (const Case& c : {Case{file, "Not a directory", file}, Case{link, "Not a directory", target}}) {
    SCOPED_TRACE(c.path);
    struct stat before;
    ASSERT_EQ(stat(c.checked.c_str(), &before), 0);
    setenv("ORV_TARGET_PRIV_SOCK_DIR", c.path.c_str(), 1);
    std::string out;
    int code = run_expecting_exit(server_args(files.storage), &out);
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("run").c_str(), 1);
    EXPECT_EQ(code, 1) << out;
    EXPECT_NE(out.find("cannot create " + c.path + ": " + c.reason), std::string::npos) << out;
    EXPECT_NE(out.find("(status=-1)"), std::string::npos) << out;
    struct stat after;
    ASSERT_EQ(stat(c.checked.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
  }
  EXPECT_EQ(read_text(file), "keep\n");
}

// A collection mark that is not a regular file counts as no mark: every
// record is collected, the run says so, and a FIFO there never blocks it.
TEST(CollectDiag, MarkThatIsNotARegularFileCollectsEveryRecord) {
  TempDir dir;
  std::string diag = dir.make_dir("diag");
  ASSERT_TRUE(write_text(diag + "/diag.jsonl", "{\"a\":1}\n{\"b\":2}\n"));
  std::string mark = diag + "/.last_collected";
  for (bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "FIFO" : "directory");
    if (fifo) {
      ASSERT_EQ(rmdir(mark.c_str()), 0);
      ASSERT_EQ(mkfifo(mark.c_str(), 0666), 0);
    } else {
      ASSERT_EQ(mkdir(mark.c_str(), 0777), 0);
    }
    std::string out;
    int code = run_tool({ORV_TARGET_BIN, "--no-log", "--no-syslog", "--collect-diag", "--diag-dir", diag, "--out",
                         dir.sub("bundle.tar.zst")},
                        20000, &out);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("WARN  " + mark + " is not a regular file: collecting every record"), std::string::npos)
        << out;
    EXPECT_NE(out.find("(2 record(s)"), std::string::npos) << out;
    struct stat st;
    ASSERT_EQ(lstat(mark.c_str(), &st), 0);
    EXPECT_EQ(S_ISFIFO(st.st_mode), fifo) << "left as it was";
  }
}

}  // namespace
}  // namespace orv
