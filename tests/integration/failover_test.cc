// Failover with real components: two real orv_target processes on one
// storage root behind HAProxy (TCP mode, health checks, on 127.0.0.1), the
// real orv_client sending a FULL backup through HAProxy. The target serving
// it is killed with SIGKILL in the middle of the backup; the client
// reconnects through HAProxy, lands on the other target, continues from the
// last checkpoint and finishes; a restore through HAProxy gives back the
// source byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using orv_support::ChildProcess;
using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKey = "failover-test-key-01234";
constexpr size_t kMiB = 1u << 20;
constexpr size_t kSourceSize = 256 * kMiB;
// The serving target is killed once this much of the image is written (and
// so several checkpoints of 8 MiB are durable).
constexpr uint64_t kKillAt = 48 * kMiB;


std::string find_haproxy() {
  for (const char* p : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

bool write_random_file(const std::string& path, size_t size, uint64_t seed) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> chunk(kMiB / 8);
  bool ok = true;
  for (size_t done = 0; ok && done < size; done += kMiB) {
    for (uint64_t& v : chunk) v = rng();
    ok = pwrite(fd, chunk.data(), kMiB, static_cast<off_t>(done)) == static_cast<ssize_t>(kMiB);
  }
  close(fd);
  return ok;
}

// True when both files hold the same bytes.
bool same_bytes(const std::string& x, const std::string& y) {
  int a = open(x.c_str(), O_RDONLY | O_CLOEXEC);
  int b = open(y.c_str(), O_RDONLY | O_CLOEXEC);
  bool same = a >= 0 && b >= 0;
  std::vector<char> ba(kMiB), bb(kMiB);
  for (off_t off = 0; same;) {
    ssize_t na = pread(a, ba.data(), kMiB, off);
    ssize_t nb = pread(b, bb.data(), kMiB, off);
    if (na != nb || na < 0) same = false;
    if (!same || na == 0) break;
    same = memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) == 0;
    off += na;
  }
  if (a >= 0) close(a);
  if (b >= 0) close(b);
  return same;
}

bool can_connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// The size of the temporary image of the running backup in dir, 0 when none.
uint64_t running_image_size(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string p = e.path().string();
    if (p.size() > 4 && p.compare(p.size() - 4, 4, ".tmp") == 0) return fs::file_size(e.path(), ec);
  }
  return 0;
}

class FailoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    haproxy_bin = find_haproxy();
    if (haproxy_bin.empty()) GTEST_SKIP() << "haproxy is not installed (scripts/setup installs it)";
    ASSERT_TRUE(fs::exists(orv_support::client_binary())) << "build the orv_client target first";
    ASSERT_TRUE(files.create(std::string(kKey) + " **\n"));
    files.dir.make_dir("storage/demo");
    key_file = files.dir.sub("api.key");
    ASSERT_TRUE(orv_support::write_text(key_file, std::string(kKey) + "\n", 0600));
    // Checkpoints every 8 MiB, so a kill in the middle leaves several.
    ASSERT_TRUE(a.start(ORV_TARGET_BIN, {"--checkpoint-mib", "8"})) << a.process.log();
    ASSERT_TRUE(b.start(ORV_TARGET_BIN, {"--checkpoint-mib", "8"})) << b.process.log();
    ASSERT_TRUE(start_haproxy()) << haproxy.log();
  }

  void TearDown() override {
    haproxy.kill_and_reap();
    for (TargetServer* t : {&a, &b}) {
      if (!t->process.running()) continue;
      t->process.signal(SIGTERM);
      EXPECT_TRUE(t->process.wait_exit(30000));
    }
  }

  // HAProxy in TCP mode on 127.0.0.1: "first" sends every connection to the
  // first target that is up; health checks every 200 ms take a dead one out
  // after one failure, and a connection that fails is sent to the other.
  bool start_haproxy() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = orv_support::pick_port();
      std::string cfg = files.dir.sub("haproxy.cfg");
      std::string text =
          "global\n"
          "    maxconn 256\n"
          "defaults\n"
          "    mode tcp\n"
          "    timeout connect 2s\n"
          "    timeout client 120s\n"
          "    timeout server 120s\n"
          "    retries 3\n"
          "    option redispatch\n"
          "frontend orv\n"
          "    bind 127.0.0.1:" + std::to_string(port) + "\n"
          "    default_backend targets\n"
          "backend targets\n"
          "    balance first\n"
          "    default-server inter 200ms fall 1 rise 1\n"
          "    server a 127.0.0.1:" + std::to_string(a.port()) + " check\n"
          "    server b 127.0.0.1:" + std::to_string(b.port()) + " check\n";
      if (!orv_support::write_text(cfg, text)) return false;
      if (!haproxy.start(haproxy_bin, {"-f", cfg, "-db"}, files.dir.sub("haproxy.log"))) return false;
      for (int i = 0; i < 500 && haproxy.running(); ++i) {
        if (can_connect(port)) return true;
        orv_support::sleep_ms(10);
      }
      haproxy.kill_and_reap();
    }
    return false;
  }

  int run_client(const std::string& command, std::vector<std::string> args, std::string* out) {
    std::vector<std::string> argv = {orv_support::client_binary(), command, "--target", "localhost:" + std::to_string(port),
                                     "--api-key-file", key_file, "--ca-file", files.cert, "--subdir", "demo",
                                     "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    return orv_support::run_tool(argv, 300000, out);
  }

  std::string haproxy_bin;
  TargetFiles files;
  TargetServer a{files, "a"};
  TargetServer b{files, "b"};
  ChildProcess haproxy;
  uint16_t port = 0;
  std::string key_file;
};

TEST_F(FailoverTest, BackupContinuesOnTheOtherTargetAfterSigkillAndRestoresExactly) {
  std::string source = files.dir.sub("source.img");
  ASSERT_TRUE(write_random_file(source, kSourceSize, 77));

  // The backup runs in a child process; the serving target is killed when
  // enough of it is on disk.
  ChildProcess client;
  ASSERT_TRUE(client.start(orv_support::client_binary(),
                           {"backup", source, "--target", "localhost:" + std::to_string(port), "--api-key-file",
                            key_file, "--ca-file", files.cert, "--subdir", "demo", "--quiet", "--name", "fo",
                            "--block-size", "1M", "--retries", "10"},
                           files.dir.sub("client.log")));
  std::string workdir = files.storage + "/demo";
  bool reached = false;
  for (int i = 0; i < 60000 && client.running(); ++i) {
    if (running_image_size(workdir) >= kKillAt) {
      reached = true;
      break;
    }
    usleep(1000);
  }
  ASSERT_TRUE(reached) << "the backup ended before it could be interrupted\n" << client.log();
  // "first" balancing: the first target serves it.
  ASSERT_TRUE(a.process.signal(SIGKILL));
  ASSERT_TRUE(a.process.wait_exit(10000));

  ASSERT_TRUE(client.wait_exit(300000)) << client.log();
  EXPECT_EQ(client.exit_code(), 0) << client.log() << "\n" << b.process.log() << "\n" << haproxy.log();

  // The other target continued it from a checkpoint, not from the start.
  std::smatch m;
  std::string blog = b.process.log();
  ASSERT_TRUE(std::regex_search(blog, m, std::regex("continuing backup [0-9a-f-]+: ([0-9]+) entries, ([0-9]+) image "
                                                    "bytes kept")))
      << blog;
  EXPECT_GT(std::stoull(m[2].str()), 0u) << blog;
  EXPECT_LE(std::stoull(m[2].str()), kSourceSize);

  std::string restored = files.dir.sub("restored.img");
  std::string out;
  ASSERT_EQ(run_client("restore", {restored, "--name", "fo"}, &out), 0) << out;
  EXPECT_TRUE(same_bytes(source, restored));
  std::error_code ec;
  EXPECT_EQ(fs::file_size(restored, ec), kSourceSize);
}

}  // namespace
}  // namespace orv
