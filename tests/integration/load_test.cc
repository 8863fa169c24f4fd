// The real orv_target under load, driven by the agent code of orv_client:
// many backups at once must all finish with correct catalogs, and a crowd of
// connections that never start TLS must neither stop a real backup nor stay
// around after the handshake time limit.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/agent_backup.h"
#include "client/agent_session.h"
#include "core/status.h"
#include "core/text.h"
#include "integrity/sha256.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using orv_support::Clock;
using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKey = "load-test-key-0123456789";
constexpr uint32_t kBlock = 4u << 20;
// The handshake limit of the target's connection threads (30 s).
constexpr int kHandshakeLimitMs = 30000;

#if defined(__SANITIZE_ADDRESS__)
// Instrumented client and server on two cores: the same 64 sessions with a
// quarter of the data each.
constexpr uint64_t kSessionBytes = 16ull << 20;
#else
constexpr uint64_t kSessionBytes = 64ull << 20;
#endif
constexpr uint32_t kSessions = 64;

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Source bytes that depend only on the seed and the position, so any block
// can be produced again to check what the target stored.
struct GeneratedSource {
  uint64_t seed = 0;
  BackupSource source;

  GeneratedSource(uint64_t s, uint64_t size) : seed(s) {
    source.size = size;
    source.context = this;
    source.read = [](void* context, uint64_t offset, uint8_t* buf, size_t len) -> int32_t {
      static_cast<GeneratedSource*>(context)->fill(offset, buf, len);
      return STATUS_OK;
    };
  }
  void fill(uint64_t offset, uint8_t* buf, size_t len) const {
    for (size_t i = 0; i < len; i += 8) {
      uint64_t v = mix(seed * 0x100000000ULL + (offset + i) / 8);
      memcpy(buf + i, &v, len - i < 8 ? len - i : 8);
    }
  }
};

int32_t collect_entries(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* out = static_cast<std::vector<CatalogEntryFields>*>(context);
  if (type == MSG_CHAIN_HEADER) return STATUS_OK;
  size_t n = 0;
  int32_t rc = decode_entry_frame(payload, &n);
  if (rc != STATUS_OK) return rc;
  for (size_t i = 0; i < n; ++i) out->push_back(decode_catalog_entry(payload.subspan(i * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE)));
  return STATUS_OK;
}

// Threads of a process, from /proc.
int thread_count(pid_t pid) {
  std::string status = orv_support::read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("\nThreads:");
  return at == std::string::npos ? -1 : atoi(status.c_str() + at + 9);
}

// The process that serves connections: as root the target forks an
// unprivileged worker, otherwise it serves itself.
pid_t serving_pid(pid_t pid) {
  if (geteuid() != 0) return pid;
  for (int i = 0; i < 500; ++i) {
    std::string kids =
        orv_support::read_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    if (!kids.empty()) return static_cast<pid_t>(atoi(kids.c_str()));
    orv_support::sleep_ms(10);
  }
  return -1;
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Hundreds of sockets on both sides; the server inherits the limit.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4096 && rl.rlim_max > rl.rlim_cur) {
      rl.rlim_cur = rl.rlim_max < 4096 ? rl.rlim_max : 4096;
      (void)setrlimit(RLIMIT_NOFILE, &rl);  // best effort; the tests need about 600
    }
    ASSERT_TRUE(files.create(std::string(kKey) + " **\n"));
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("priv").c_str(), 1);
    // Every connection comes from 127.0.0.1.
    ASSERT_TRUE(server.start(ORV_TARGET_BIN, {"--max-connections-per-address", "4096"})) << server.process.log();
    worker = serving_pid(server.process.pid());
    ASSERT_GT(worker, 0);
  }

  void TearDown() override {
    if (!server.process.running()) return;
    server.process.signal(SIGTERM);
    EXPECT_TRUE(server.process.wait_exit(60000));
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(server.process.log().find(report), std::string::npos) << server.process.log();
    }
  }

  AgentTarget target(const char* subdir) const {
    AgentTarget t;
    copy_text(t.host, sizeof t.host, "localhost");
    t.port = server.port();
    copy_text(t.ca_file, sizeof t.ca_file, files.cert.c_str());
    copy_text(t.api_key, sizeof t.api_key, kKey);
    copy_text(t.subdir, sizeof t.subdir, subdir);
    t.timeout_ms = 120000;
    return t;
  }

  BackupParams params(const char* subdir, const std::string& name) const {
    BackupParams p;
    p.target = target(subdir);
    copy_text(p.name, sizeof p.name, name);
    p.block_size = kBlock;
    p.retries = 2;
    return p;
  }

  TargetFiles files;
  TargetServer server{files};
  pid_t worker = -1;
};

TEST_F(LoadTest, SixtyFourConcurrentBackupsFinishWithCorrectCatalogs) {
  const uint64_t blocks = kSessionBytes / kBlock;
  std::vector<BackupResult> results(kSessions);
  std::vector<AgentError> errors(kSessions);
  std::vector<int32_t> status(kSessions, -100);
  std::vector<std::thread> threads;
  auto t0 = Clock::now();
  for (uint32_t i = 0; i < kSessions; ++i) {
    threads.emplace_back([&, i] {
      GeneratedSource src(i + 1, kSessionBytes);
      BackupParams p = params("load", "vol" + std::to_string(i));
      status[i] = agent_backup(p, src.source, &results[i], &errors[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  // Bounded: client time-outs end every session within minutes even if the
  // target stalled; a healthy target needs far less than this.
  EXPECT_LT(seconds, 240.0);
  for (uint32_t i = 0; i < kSessions; ++i) {
    ASSERT_EQ(status[i], STATUS_OK) << "session " << i << ": " << errors[i].text << server.process.log();
    EXPECT_EQ(results[i].entry_count, blocks);
    EXPECT_EQ(results[i].image_size, kSessionBytes);
    EXPECT_EQ(results[i].reconnects, 0u);
  }

  // The list shows every backup once with its sizes.
  Client c;
  HelloReply reply;
  AgentError err;
  ASSERT_EQ(agent_connect(target("load"), 0, &c, &reply, &err), STATUS_OK) << err.text;
  BackupListEntry* list = nullptr;
  uint32_t count = 0;
  bool truncated = false;
  ASSERT_EQ(agent_list(&c, target("load"), nullptr, &list, &count, &truncated, &err), STATUS_OK) << err.text;
  EXPECT_EQ(count, kSessions);
  std::vector<int> seen(kSessions, 0);
  for (uint32_t i = 0; i < count; ++i) {
    int n = atoi(list[i].name + 3);
    ASSERT_GE(n, 0);
    ASSERT_LT(n, static_cast<int>(kSessions));
    ++seen[static_cast<size_t>(n)];
    EXPECT_EQ(uuid_equal(list[i].uuid, results[static_cast<size_t>(n)].uuid), 1);
    EXPECT_EQ(list[i].entry_count, blocks);
    EXPECT_EQ(list[i].image_size, kSessionBytes);
    EXPECT_EQ(list[i].source_size, kSessionBytes);
  }
  delete[] list;
  for (uint32_t i = 0; i < kSessions; ++i) EXPECT_EQ(seen[i], 1) << "vol" << i;

  // Every catalog: one entry per block, in key order, each pointing at its
  // own 4 MiB of the image and carrying the digest of the block that was sent.
  std::vector<uint8_t> block(kBlock);
  for (uint32_t i = 0; i < kSessions; ++i) {
    std::vector<CatalogEntryFields> entries;
    SubdirUuidRequest r;
    copy_text(r.target_subdir, sizeof r.target_subdir, "load");
    r.uuid = results[i].uuid;
    ASSERT_EQ(client_fetch_chain(&c, r, collect_entries, &entries), STATUS_OK);
    ASSERT_EQ(entries.size(), blocks);
    GeneratedSource src(i + 1, kSessionBytes);
    std::vector<bool> offset_used(blocks, false);
    for (uint64_t k = 0; k < blocks; ++k) {
      const CatalogEntryFields& e = entries[k];
      ASSERT_EQ(e.key, k);
      ASSERT_EQ(e.length, kBlock);
      ASSERT_EQ(e.offset % kBlock, 0u);
      ASSERT_LT(e.offset / kBlock, blocks);
      EXPECT_FALSE(offset_used[e.offset / kBlock]);
      offset_used[e.offset / kBlock] = true;
      src.fill(k * kBlock, block.data(), kBlock);
      uint8_t digest[SHA256_DIGEST_SIZE];
      sha256(block.data(), kBlock, digest);
      EXPECT_EQ(memcmp(digest, e.agent_tail, SHA256_DIGEST_SIZE), 0) << "vol" << i << " block " << k;
    }
    // One block's bytes, read back through the target.
    RangeRequest range;
    range.file_index = 0;
    range.length = kBlock;
    range.offset = entries[blocks - 1].offset;
    std::span<const uint8_t> data;
    ASSERT_EQ(client_read_range(&c, range, &data), STATUS_OK);
    src.fill((blocks - 1) * kBlock, block.data(), kBlock);
    EXPECT_EQ(memcmp(data.data(), block.data(), kBlock), 0) << "vol" << i;
  }
  client_close(&c);
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(files.storage + "/load", ec)) {
    std::string name = e.path().filename().string();
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
}

TEST_F(LoadTest, ConnectionsWithoutClientHelloDoNotStopABackup) {
  constexpr int kIdle = 500;
  int threads_before = thread_count(worker);
  ASSERT_GT(threads_before, 0);

  // 500 TCP connections that never send a byte, all pending at the same
  // time. The target listens with a backlog of 16, and the kernel drops
  // connection attempts beyond a full accept queue (the client then retries
  // after seconds), so they are opened back to back in groups of that size,
  // each group once the previous one was accepted.
  constexpr int kBacklog = 16;
  std::vector<int> idle;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(server.port());
  auto opened = Clock::now();
  for (int i = 0; i < kIdle; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "connection " << i;
    idle.push_back(fd);
    if ((i + 1) % kBacklog == 0) {
      auto until = Clock::now() + std::chrono::seconds(5);
      while (thread_count(worker) < threads_before + i + 1 && Clock::now() < until) orv_support::sleep_ms(1);
    }
  }
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (thread_count(worker) < threads_before + kIdle && Clock::now() < deadline) orv_support::sleep_ms(10);
  ASSERT_GE(thread_count(worker), threads_before + kIdle) << "not every connection was accepted";
  auto accepted_at = Clock::now();

  // A real backup goes through meanwhile.
  GeneratedSource src(77, kSessionBytes);
  BackupResult result;
  AgentError err;
  BackupParams p = params("busy", "real");
  ASSERT_EQ(agent_backup(p, src.source, &result, &err), STATUS_OK) << err.text << server.process.log();
  EXPECT_EQ(result.entry_count, kSessionBytes / kBlock);
  EXPECT_EQ(result.reconnects, 0u);
  auto backup_done = Clock::now();
  EXPECT_LT(backup_done - accepted_at, std::chrono::milliseconds(kHandshakeLimitMs)) << "the backup had to wait";

  // After the handshake limit the target closes every one of them.
  std::vector<bool> closed(kIdle, false);
  int closed_count = 0;
  deadline = accepted_at + std::chrono::milliseconds(kHandshakeLimitMs + 15000);
  while (closed_count < kIdle && Clock::now() < deadline) {
    std::vector<struct pollfd> fds;
    for (int i = 0; i < kIdle; ++i) {
      if (!closed[i]) fds.push_back({idle[static_cast<size_t>(i)], POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 200) <= 0) continue;
    for (int i = 0; i < kIdle; ++i) {
      if (closed[i]) continue;
      struct pollfd one = {idle[static_cast<size_t>(i)], POLLIN, 0};
      if (poll(&one, 1, 0) <= 0) continue;
      char byte;
      ssize_t n = recv(idle[static_cast<size_t>(i)], &byte, 1, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        closed[i] = true;
        ++closed_count;
      }
    }
  }
  auto all_closed = Clock::now();
  EXPECT_EQ(closed_count, kIdle);
  EXPECT_GE(all_closed - opened, std::chrono::milliseconds(kHandshakeLimitMs - 1000)) << "closed before the limit";
  EXPECT_LE(all_closed - accepted_at, std::chrono::milliseconds(kHandshakeLimitMs + 5000));
  for (int fd : idle) close(fd);
  deadline = Clock::now() + std::chrono::seconds(10);
  while (thread_count(worker) > threads_before && Clock::now() < deadline) orv_support::sleep_ms(20);
  EXPECT_EQ(thread_count(worker), threads_before);
  EXPECT_EQ(orv_support::count_of(server.process.log(), "TLS handshake failed"), static_cast<size_t>(kIdle));
}

}  // namespace
}  // namespace orv
