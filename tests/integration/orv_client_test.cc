// The orv_client program against the real orv_target binary over TLS:
// backup, list and restore round trips with changed-block INC backups,
// continuation after connections cut in the middle of a backup (through a
// TCP relay in the test that cuts them), restores that find damaged image
// bytes, the messages for target refusals and TLS failures, and the
// progress line, which appears only on a terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace {

namespace fs = std::filesystem;
using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKey = "cli-test-key-0123456789";
constexpr const char* kNarrowKey = "cli-narrow-key-987654321";
constexpr size_t kMiB = 1u << 20;
constexpr int kRunMs = 120000;



// Whole-file read and write with plain system calls: the stream helpers
// take seconds for the hundreds of MiB used here.
std::string read_file(const std::string& path) {
  std::string s;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return s;
  off_t size = lseek(fd, 0, SEEK_END);
  s.resize(size > 0 ? static_cast<size_t>(size) : 0);
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = pread(fd, &s[done], s.size() - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  s.resize(done);
  close(fd);
  return s;
}

bool write_file(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == bytes.size();
}

// Forwards TCP connections to the target. The first connection is cut once
// `cut_after` bytes went from the client to the target: both sides are
// closed, or (hold_target_side) only the client's side, while the target's
// side stays open as a connection that went silent. Later connections are
// forwarded untouched.
class Relay {
 public:
  ~Relay() { stop(); }

  bool start(uint16_t target_port, uint64_t cut_after, bool hold_target_side) {
    target_port_ = target_port;
    cut_after_ = cut_after;
    hold_ = hold_target_side;
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 16) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return false;
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
  }

  void stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard<std::mutex> lock(mu_);
    for (std::thread& t : pumps_) {
      if (t.joinable()) t.join();
    }
    pumps_.clear();
    for (int fd : held_) close(fd);
    held_.clear();
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
  }

  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }
  bool cut() const { return cut_.load(); }

 private:
  void accept_loop() {
    while (!stopping_) {
      struct pollfd p = {listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      struct sockaddr_in addr;
      memset(&addr, 0, sizeof addr);
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(target_port_);
      if (target < 0 || connect(target, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(client);
        if (target >= 0) close(target);
        continue;
      }
      bool first = connections_.fetch_add(1) == 0;
      std::lock_guard<std::mutex> lock(mu_);
      pumps_.emplace_back([this, client, target, first] { pump(client, target, first); });
    }
  }

  void pump(int client, int target, bool first) {
    std::vector<char> buf(256 * 1024);
    uint64_t forwarded = 0;
    bool client_open = true;
    while (!stopping_ && client_open) {
      struct pollfd p[2] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
      if (poll(p, 2, 100) <= 0) continue;
      for (int i = 0; i < 2 && client_open; ++i) {
        if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        int from = i == 0 ? client : target;
        int to = i == 0 ? target : client;
        ssize_t n = read(from, buf.data(), buf.size());
        if (n <= 0) {
          client_open = false;
          break;
        }
        size_t len = static_cast<size_t>(n);
        if (i == 0 && first && forwarded + len >= cut_after_) {
          // Forward up to the cut point, then drop the connection.
          size_t part = static_cast<size_t>(cut_after_ - forwarded);
          if (part > 0 && !write_all(to, buf.data(), part)) break;
          cut_ = true;
          client_open = false;
          break;
        }
        if (!write_all(to, buf.data(), len)) {
          client_open = false;
          break;
        }
        if (i == 0) forwarded += len;
      }
    }
    shutdown(client, SHUT_RDWR);
    close(client);
    if (cut_ && first && hold_) {
      std::lock_guard<std::mutex> lock(held_mu_);
      held_.push_back(target);  // stays open, silent, until the relay stops
    } else {
      close(target);
    }
  }

  static bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = write(fd, p, n);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  uint16_t target_port_ = 0;
  uint64_t cut_after_ = 0;
  bool hold_ = false;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> cut_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mu_;  // guards pumps_
  std::vector<std::thread> pumps_;
  std::mutex held_mu_;  // guards held_
  std::vector<int> held_;
};

// Backups are stamped in whole seconds and the newest of a name is found
// by that stamp, so backups whose order matters start in different seconds.
void wait_next_second() {
  time_t start = time(nullptr);
  while (time(nullptr) == start) orv_support::sleep_ms(20);
}

struct RunResult {
  int code = -1;
  std::string out;
};

class OrvClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(orv_support::client_binary())) << "build the orv_client target first: " << orv_support::client_binary();
    ASSERT_TRUE(files.create(std::string(kKey) + " **\n" + kNarrowKey + " allowed\n"));
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("priv").c_str(), 1);
    key_file = files.dir.sub("api.key");
    ASSERT_TRUE(orv_support::write_text(key_file, std::string("# test key\n") + kKey + "\n", 0600));
    ASSERT_TRUE(server.start(ORV_TARGET_BIN)) << server.process.log();
  }

  // A graceful stop lets a sanitizer build of the server report what it found.
  void TearDown() override {
    if (!server.process.running()) return;
    server.process.signal(SIGTERM);
    EXPECT_TRUE(server.process.wait_exit(30000));
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(server.process.log().find(report), std::string::npos) << server.process.log();
    }
  }

  std::vector<std::string> common(uint16_t port = 0) const {
    return {"--target", "localhost:" + std::to_string(port != 0 ? port : server.port()), "--api-key-file", key_file,
            "--ca-file", files.cert, "--subdir", "demo"};
  }

  RunResult run(const std::string& command, std::vector<std::string> args, bool with_common = true,
                uint16_t port = 0) {
    std::vector<std::string> argv = {orv_support::client_binary(), command};
    if (with_common) {
      std::vector<std::string> c = common(port);
      argv.insert(argv.end(), c.begin(), c.end());
    }
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r;
    r.code = orv_support::run_tool(argv, kRunMs, &r.out);
    return r;
  }

  // The value after "key: " on its own line of the output.
  static std::string field(const std::string& out, const std::string& key) {
    size_t at = out.find("\n" + key + ": ");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    return out.substr(at, out.find('\n', at) - at);
  }

  std::string write_source(const std::string& name, const std::string& bytes) {
    std::string path = files.dir.sub(name);
    EXPECT_TRUE(write_file(path, bytes));
    return path;
  }

  // Files of the backup directory whose names end in suffix.
  std::vector<std::string> stored(const std::string& suffix) const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(files.storage + "/demo", ec)) {
      std::string p = e.path().string();
      if (p.size() >= suffix.size() && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0) {
        out.push_back(p);
      }
    }
    return out;
  }

  TargetFiles files;
  TargetServer server{files};
  std::string key_file;
};

// 256 MiB (kept below the 1 GiB an operator would try, so that the test stays
// within about a minute on two cores): a FULL backup, an INC with a few
// changed blocks on top of it and a second INC on top of that; every backup
// of the chain restores byte for byte, and each INC carries only its blocks.
TEST_F(OrvClientTest, BackupListRestoreRoundTripWithChangedBlockIncs) {
  const size_t size = 256 * kMiB + 12345;  // a short last block
  const size_t block = 4 * kMiB;
  std::string v1 = orv_support::random_bytes(size, 1);
  memset(&v1[8 * block], 0, 3 * block);  // blocks 8-10 are zero: sent without data
  std::string source = write_source("disk.img", v1);

  RunResult full = run("backup", {"--name", "disk", "--retention", "4w", "--label", "weekly", source});
  ASSERT_EQ(full.code, 0) << full.out;
  EXPECT_EQ(field(full.out, "type"), "FULL");
  EXPECT_NE(full.out.find("blocks: 65 of 4.0 MiB (sent 65, unchanged 0, kept from an interrupted backup 0, "
                          "without data 3, sent again 0)"),
            std::string::npos)
      << full.out;
  EXPECT_NE(full.out.find("stored: 65 catalog entries, image 244.0 MiB"), std::string::npos) << full.out;
  EXPECT_EQ(full.out.find('\r'), std::string::npos) << "no progress line without a terminal";

  // Changes: two bytes in block 3, a whole new block 20, the zero block 9
  // filled, block 40 zeroed, one byte in the short last block.
  std::string v2 = v1;
  v2[3 * block + 17] ^= 0x5A;
  v2[3 * block + 18] ^= 0x01;
  std::string fresh = orv_support::random_bytes(block, 99);
  memcpy(&v2[20 * block], fresh.data(), block);
  memset(&v2[9 * block], 0x77, block);
  memset(&v2[40 * block], 0, block);
  v2[size - 1] ^= 0x7F;
  ASSERT_TRUE(write_file(source, v2));
  wait_next_second();
  RunResult inc1 = run("backup", {"--name", "disk", "--type", "inc", source});
  ASSERT_EQ(inc1.code, 0) << inc1.out;
  EXPECT_EQ(field(inc1.out, "type"), "INC");
  EXPECT_EQ(field(inc1.out, "parent"), field(full.out, "uuid"));
  EXPECT_NE(inc1.out.find("(sent 5, unchanged 60,"), std::string::npos) << inc1.out;
  EXPECT_NE(inc1.out.find("without data 1,"), std::string::npos) << inc1.out;

  std::string v3 = v2;
  v3[50 * block] ^= 1;
  ASSERT_TRUE(write_file(source, v3));
  wait_next_second();
  RunResult inc2 = run("backup", {"--name", "disk", "--type", "inc", "--quiet", source});
  ASSERT_EQ(inc2.code, 0) << inc2.out;
  EXPECT_EQ(field(inc2.out, "parent"), field(inc1.out, "uuid"));
  EXPECT_NE(inc2.out.find("(sent 1, unchanged 64,"), std::string::npos) << inc2.out;

  RunResult list = run("list", {});
  ASSERT_EQ(list.code, 0) << list.out;
  EXPECT_NE(list.out.find("NAME  TYPE  UUID"), std::string::npos) << list.out;
  EXPECT_EQ(orv_support::count_of(list.out, "disk  "), 3u) << list.out;
  EXPECT_NE(list.out.find("disk  INC   " + field(inc2.out, "uuid")), std::string::npos) << list.out;
  RunResult json = run("list", {"--json", "--name", "disk"});
  ASSERT_EQ(json.code, 0) << json.out;
  EXPECT_EQ(json.out.find("{\"subdir\":\"demo\",\"truncated\":false,\"backups\":[{\"name\":\"disk\",\"type\":\"FULL\","
                          "\"uuid\":\"" + field(full.out, "uuid") + "\""),
            0u)
      << json.out;
  EXPECT_NE(json.out.find("\"source_size\":" + std::to_string(size) + ",\"image_size\":" +
                          std::to_string(61 * block + 12345) + ",\"entry_count\":65}"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"type\":\"INC\",\"uuid\":\"" + field(inc1.out, "uuid") +
                          "\",\"parent_uuid\":\"" + field(full.out, "uuid") + "\""),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"entry_count\":5}"), std::string::npos) << json.out;

  // The newest backup by name, then older ones by uuid.
  std::string out = files.dir.sub("restored.img");
  RunResult r3 = run("restore", {"--name", "disk", out});
  ASSERT_EQ(r3.code, 0) << r3.out;
  EXPECT_EQ(field(r3.out, "uuid"), field(inc2.out, "uuid"));
  EXPECT_EQ(field(r3.out, "chain"), "3 backups");
  EXPECT_TRUE(read_file(out) == v3) << "INC 2 does not restore byte for byte";
  RunResult r1 = run("restore", {"--uuid", field(full.out, "uuid"), out});
  ASSERT_EQ(r1.code, 0) << r1.out;
  EXPECT_EQ(field(r1.out, "blocks"), "65 (read 62, without data 3), every block checked");
  EXPECT_TRUE(read_file(out) == v1) << "the FULL does not restore byte for byte";

  // A DIFF builds on the FULL, not on the newest INC.
  wait_next_second();
  RunResult diff = run("backup", {"--name", "disk", "--type", "diff", source});
  ASSERT_EQ(diff.code, 0) << diff.out;
  EXPECT_EQ(field(diff.out, "parent"), field(full.out, "uuid"));
  EXPECT_NE(diff.out.find("(sent 6, unchanged 59,"), std::string::npos) << diff.out;
  RunResult rd = run("restore", {"--uuid", field(diff.out, "uuid"), out});
  ASSERT_EQ(rd.code, 0) << rd.out;
  EXPECT_EQ(field(rd.out, "chain"), "2 backups");
  EXPECT_TRUE(read_file(out) == v3) << "the DIFF does not restore byte for byte";
}

// Bytes changed in a stored image are found by the per-block digests: the
// restore names the block and exits with 3.
TEST_F(OrvClientTest, RestoreReportsDamagedImageBytes) {
  std::string data = orv_support::random_bytes(6 * 65536, 7);
  std::string source = write_source("small.bin", data);
  RunResult b = run("backup", {"--name", "small", "--block-size", "64K", source});
  ASSERT_EQ(b.code, 0) << b.out;
  std::vector<std::string> images = stored(".csfb");
  ASSERT_EQ(images.size(), 1u);
  std::string image = read_file(images[0]);
  ASSERT_EQ(image.size(), data.size());
  // The image is in arrival order: block 4 starts at 4 x 64 KiB.
  image[4 * 65536 + 100] ^= 0x10;
  {
    int fd = open(images[0].c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, image.data(), image.size(), 0), static_cast<ssize_t>(image.size()));
    close(fd);
  }
  std::string out = files.dir.sub("small.out");
  RunResult r = run("restore", {"--name", "small", out});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_NE(r.out.find("1 of 6 blocks could not be restored intact (block 4 does not match its checksum); " + out +
                       " is not a faithful copy (status=-7, corrupt or inconsistent data)"),
            std::string::npos)
      << r.out;
  // Every other block was written and checked.
  std::string got = read_file(out);
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got.compare(0, 4 * 65536, data, 0, 4 * 65536) == 0);
  EXPECT_TRUE(got.compare(5 * 65536, 65536, data, 5 * 65536, 65536) == 0);

  // Every block damaged: the first four are named, the rest counted.
  for (size_t k = 0; k < 6; ++k) image[k * 65536 + 7] ^= 0x01;
  {
    int fd = open(images[0].c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, image.data(), image.size(), 0), static_cast<ssize_t>(image.size()));
    close(fd);
  }
  r = run("restore", {"--name", "small", out});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_NE(r.out.find("6 of 6 blocks could not be restored intact (block 0 does not match its checksum; block 1 "
                       "does not match its checksum; block 2 does not match its checksum; block 3 does not match "
                       "its checksum; and 2 more)"),
            std::string::npos)
      << r.out;
}

// Blocks whose length is not a multiple of a page put every later block of
// the image at an unaligned offset, and the source ends in a short block:
// the image and the restored file must still be byte for byte the source.
// A character device is a valid output (a restore that only verifies).
TEST_F(OrvClientTest, UnalignedBlocksRoundTripAndRestoreIntoACharacterDevice) {
  std::string data = orv_support::random_bytes(40 * 6000 + 1234, 31);
  std::string source = write_source("odd.bin", data);
  RunResult b = run("backup", {"--name", "odd", "--block-size", "6000", source});
  ASSERT_EQ(b.code, 0) << b.out;
  std::vector<std::string> images = stored(".csfb");
  ASSERT_EQ(images.size(), 1u);
  EXPECT_TRUE(read_file(images[0]) == data) << "the image is not the source's blocks in order";
  std::string out = files.dir.sub("odd.out");
  RunResult r = run("restore", {"--name", "odd", out});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(read_file(out) == data);
  r = run("restore", {"--name", "odd", "/dev/null"});
  EXPECT_EQ(r.code, 0) << r.out;
}

// A block device as output: one too small is refused before anything is
// written to it; one large enough receives the source (with direct I/O).
TEST_F(OrvClientTest, RestoreIntoBlockDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
  std::string data = orv_support::random_bytes(3 * 65536 + 4096 + 100, 41);
  std::string source = write_source("dev.bin", data);
  RunResult b = run("backup", {"--name", "dev", "--block-size", "64K", source});
  ASSERT_EQ(b.code, 0) << b.out;
  auto attach = [&](const std::string& img, size_t size, std::string* dev) {
    EXPECT_TRUE(write_file(img, std::string(size, '\x5a')));
    FILE* p = popen(("losetup -f --show '" + img + "' 2>/dev/null").c_str(), "r");
    if (p == nullptr) return false;
    char name[128] = {};
    bool got = fgets(name, sizeof name, p) != nullptr;
    if (pclose(p) != 0 || !got) return false;
    name[strcspn(name, "\n")] = '\0';
    *dev = name;
    return true;
  };
  std::string small_dev, big_dev;
  if (!attach(files.dir.sub("small.img"), 65536, &small_dev)) GTEST_SKIP() << "losetup not usable here";
  bool big_ok = attach(files.dir.sub("big.img"), 4 * 65536 + 8192, &big_dev);
  RunResult r = run("restore", {"--name", "dev", small_dev});
  std::string small_after = read_file(small_dev);
  RunResult r2;
  std::string big_after;
  if (big_ok) {
    r2 = run("restore", {"--name", "dev", big_dev});
    big_after = read_file(big_dev);
    EXPECT_EQ(system(("losetup -d " + big_dev).c_str()), 0);
  }
  EXPECT_EQ(system(("losetup -d " + small_dev).c_str()), 0);
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.out.find("the device " + small_dev + " is smaller than the backup's source (" +
                       std::to_string(data.size()) + " bytes)"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(small_after == std::string(65536, '\x5a')) << "the small device was written to";
  ASSERT_TRUE(big_ok);
  EXPECT_EQ(r2.code, 0) << r2.out;
  ASSERT_EQ(big_after.size(), 4u * 65536 + 8192);
  EXPECT_TRUE(big_after.compare(0, data.size(), data) == 0);
  EXPECT_TRUE(big_after.compare(data.size(), std::string::npos, std::string(big_after.size() - data.size(), '\x5a')) == 0)
      << "bytes past the source were changed";
}

// The connection is cut in the middle of the backup; the client reconnects,
// finds its partial, continues it and sends again only what the partial
// does not hold. Cutting only the client's side leaves the target's session
// waiting on a silent connection, which the continuation must take over.
class OrvClientResumeTest : public OrvClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OrvClientResumeTest, DroppedConnectionIsContinued) {
  const bool hold_target_side = GetParam();
  const size_t size = 96 * kMiB;
  std::string data = orv_support::random_bytes(size, 11);
  std::string source = write_source("vol.img", data);
  Relay relay;
  ASSERT_TRUE(relay.start(server.port(), 40 * kMiB, hold_target_side));

  RunResult b = run("backup", {"--name", "vol", "--block-size", "1M", source}, true, relay.port());
  ASSERT_EQ(b.code, 0) << b.out << server.process.log();
  EXPECT_TRUE(relay.cut());
  EXPECT_EQ(relay.connections(), 2);
  EXPECT_EQ(field(b.out, "reconnects"), "1") << b.out;
  EXPECT_NE(b.out.find("stored: 96 catalog entries, image 96.0 MiB"), std::string::npos) << b.out;
  // The target kept what arrived whole before the cut (40 MiB of 1 MiB
  // blocks): only the blocks in flight, and what the target had not read
  // yet when its side was shut down, are sent again.
  std::string blocks = field(b.out, "blocks");
  size_t again = blocks.find("sent again ");
  ASSERT_NE(again, std::string::npos) << b.out;
  EXPECT_LE(std::stoul(blocks.substr(again + 11)), 8u) << b.out;
  std::string log = server.process.log();
  size_t at = log.find("continuing backup " + field(b.out, "uuid") + ": ");
  ASSERT_NE(at, std::string::npos) << log;
  unsigned long kept = std::stoul(log.substr(at + 18 + 36 + 2));
  EXPECT_GE(kept, 24u) << log;
  EXPECT_LE(kept, 40u) << log;
  EXPECT_TRUE(stored(".part").empty());
  EXPECT_TRUE(stored(".tmp").empty());

  std::string out = files.dir.sub("vol.out");
  RunResult r = run("restore", {"--uuid", field(b.out, "uuid"), out});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(read_file(out) == data);
  RunResult list = run("list", {"--json"});
  EXPECT_EQ(orv_support::count_of(list.out, "\"name\":\"vol\""), 1u) << list.out;
}

INSTANTIATE_TEST_SUITE_P(CutSides, OrvClientResumeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return param_info.param ? std::string("TargetSideLeftOpen") : std::string("BothSidesClosed");
                         });

// A run that gives up after the cut leaves its partial on the target; the
// next run for the same name continues it, checks every kept block against
// the source as it is now, and sends the block that changed meanwhile.
TEST_F(OrvClientTest, NextRunContinuesAnInterruptedBackup) {
  const size_t size = 64 * kMiB;
  std::string data = orv_support::random_bytes(size, 21);
  std::string source = write_source("db.img", data);
  Relay relay;
  ASSERT_TRUE(relay.start(server.port(), 30 * kMiB, false));
  RunResult first = run("backup", {"--name", "db", "--block-size", "1M", "--retries", "0", source}, true,
                        relay.port());
  EXPECT_EQ(first.code, 1) << first.out;
  EXPECT_NE(first.out.find("orv_client: backup: BLOCK failed: "), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("(status=-1, I/O error)"), std::string::npos) << first.out;
  ASSERT_TRUE(relay.cut());
  // The target notices the closed connection and leaves a partial.
  auto deadline = orv_support::Clock::now() + std::chrono::seconds(20);
  while (stored(".part").empty() && orv_support::Clock::now() < deadline) orv_support::sleep_ms(20);
  ASSERT_EQ(stored(".part").size(), 1u);

  data[2 * kMiB + 5] ^= 0x40;  // block 2 changed since it was sent
  ASSERT_TRUE(write_file(source, data));
  RunResult second = run("backup", {"--name", "db", "--block-size", "1M", source});
  ASSERT_EQ(second.code, 0) << second.out;
  EXPECT_NE(second.out.find("(continued an interrupted backup)"), std::string::npos) << second.out;
  std::string blocks = field(second.out, "blocks");
  size_t kept_at = blocks.find("kept from an interrupted backup ");
  ASSERT_NE(kept_at, std::string::npos) << second.out;
  unsigned long kept = std::stoul(blocks.substr(kept_at + 32));
  EXPECT_GE(kept, 20u) << second.out;
  EXPECT_NE(blocks.find("(sent " + std::to_string(64 - kept) + ","), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("stored: 64 catalog entries"), std::string::npos) << second.out;
  EXPECT_TRUE(stored(".part").empty());

  std::string out = files.dir.sub("db.out");
  RunResult r = run("restore", {"--name", "db", out});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(read_file(out) == data);
}

// Refusals of the target are printed with their text and status; TLS and
// command-line mistakes are named before anything is sent.
TEST_F(OrvClientTest, ErrorsNameTheCauseAndStatus) {
  std::string source = write_source("tiny.bin", orv_support::random_bytes(10000, 3));

  std::string wrong_key = files.dir.sub("wrong.key");
  ASSERT_TRUE(orv_support::write_text(wrong_key, "not-a-key\n", 0600));
  RunResult r = run("list", {"--api-key-file", wrong_key});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("orv_client: list: HELLO refused by the target: unknown or invalid api key (status=-3, "
                       "invalid argument or request)"),
            std::string::npos)
      << r.out;

  std::string narrow_key = files.dir.sub("narrow.key");
  ASSERT_TRUE(orv_support::write_text(narrow_key, std::string(kNarrowKey) + "\n", 0600));
  r = run("backup", {"--api-key-file", narrow_key, source});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("refused by the target: target_subdir not permitted for this api key (status=-3"),
            std::string::npos)
      << r.out;

  r = run("backup", {"--retention", "soon", source});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("BEGIN refused by the target: invalid retention (status=-3"), std::string::npos) << r.out;

  r = run("backup", {"--name", "never-full", "--type", "inc", source});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("no earlier backup named 'never-full' in 'demo' to build on: make a full backup first "
                       "(status=-4, not found)"),
            std::string::npos)
      << r.out;

  r = run("restore", {"--uuid", "01234567-89ab-cdef-0123-456789abcdef", files.dir.sub("x.out")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("FETCH_CHAIN refused by the target: no such backup uuid (status=-4, not found)"),
            std::string::npos)
      << r.out;

  // A certificate that the given CA did not sign.
  std::string other_cert = files.dir.sub("other.pem");
  ASSERT_TRUE(orv_support::make_cert(other_cert, files.dir.sub("other.key")));
  r = run("ping", {"--target", "localhost:" + std::to_string(server.port()), "--api-key-file", key_file,
                   "--ca-file", other_cert},
          false);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("TLS handshake"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("certificate verify failed"), std::string::npos) << r.out;
  // The right CA but a name the certificate does not carry.
  r = run("ping", {"--target", "localhost:" + std::to_string(server.port()), "--server-name", "backup.example",
                   "--api-key-file", key_file, "--ca-file", files.cert},
          false);
  EXPECT_EQ(r.code, 1) << r.out;
  // Explicitly unverified, for self-signed development setups.
  r = run("ping", {"--target", "127.0.0.1:" + std::to_string(server.port()), "--api-key-file", key_file,
                   "--insecure"},
          false);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("version 1.0.2-alpha028 on host"), std::string::npos) << r.out;

  // Usage errors: exit 2 and nothing sent.
  r = run("ping", {"--target", "127.0.0.1:" + std::to_string(server.port()), "--api-key-file", key_file}, false);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("give --ca-file, or --insecure"), std::string::npos) << r.out;
  r = run("list", {"--api-key", kKey});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("unknown option --api-key"), std::string::npos) << r.out;
  r = run("restore", {files.dir.sub("y.out")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("give either --uuid or --name"), std::string::npos) << r.out;
  r = run("list", {"--api-key-file", files.dir.sub("missing.key")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("cannot read the API key file"), std::string::npos) << r.out;

  // A target that is not there.
  r = run("ping", {"--target", "127.0.0.1:1", "--api-key-file", key_file, "--insecure"}, false);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("connecting to 127.0.0.1:1 failed: connect failed: Connection refused (status=-1"),
            std::string::npos)
      << r.out;
}

// On a terminal, backup and restore redraw one progress line on standard
// error with bytes, rate and ETA.
TEST_F(OrvClientTest, ProgressLineOnlyOnATerminal) {
  std::string source = write_source("p.bin", orv_support::random_bytes(48 * kMiB, 5));
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave_name = ptsname(master);
  std::vector<std::string> args = {orv_support::client_binary(), "backup"};
  for (const std::string& a : common()) args.push_back(a);
  args.push_back("--block-size");
  args.push_back("64K");
  args.push_back(source);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int slave = open(slave_name.c_str(), O_RDWR);
    int devnull = open("/dev/null", O_RDWR);
    if (slave < 0 || devnull < 0) _exit(126);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(slave, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  std::string seen;
  char buf[4096];
  int status = 0;
  bool ended = false;
  auto deadline = orv_support::Clock::now() + std::chrono::seconds(60);
  while (orv_support::Clock::now() < deadline) {
    if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
    struct pollfd p = {master, POLLIN, 0};
    ssize_t n = poll(&p, 1, 50) > 0 ? read(master, buf, sizeof buf) : 0;
    if (n > 0) seen.append(buf, static_cast<size_t>(n));
    // Once the program has ended, the terminal is read until it is empty
    // (or reports its last writer gone).
    if (ended && n <= 0) break;
  }
  if (!ended) {
    kill(pid, SIGKILL);
    (void)orv_support::wait_pid(pid, 5000, &status);
  }
  close(master);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_NE(seen.find("\rbackup "), std::string::npos) << seen;
  EXPECT_NE(seen.find("48.0 MiB / 48.0 MiB 100%"), std::string::npos) << seen;
  EXPECT_NE(seen.find(" MB/s"), std::string::npos) << seen;
}

}  // namespace
