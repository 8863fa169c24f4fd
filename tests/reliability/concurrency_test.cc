// Concurrency: what the worker's threads share (the partial-lock table, the
// diagnostics file, the storage tree, the read-only ACL table, the log) used
// from many threads at once. These tests are meant to run in the
// ThreadSanitizer build as well (scripts/tsan), where any data race fails
// them.
//
// In-process sessions run the real session code on their own threads, each
// over one end of a Unix socket pair, exactly as connection threads do; the
// test drives the other end with the client library. The reload test runs
// the real binary, which in the sanitizer builds is instrumented too: its
// log must stay free of sanitizer reports.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "diag/session_record.h"
#include "integrity/sha256.h"
#include "server/acl.h"
#include "server/session.h"
#include "server/session_diag.h"
#include "store/backup_writer.h"
#include "store/catalog.h"
#include "store/journal.h"
#include "store/partial_lock.h"
#include "store/scan.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::TempDir;

constexpr const char* kKey = "concurrency-key";
constexpr uint32_t kAgentTimeoutMs = 60000;

AclEntry make_acl(const char* key, std::initializer_list<const char*> patterns) {
  AclEntry e;
  memset(&e, 0, sizeof e);
  sha256(key, strlen(key), e.key_digest);
  for (const char* p : patterns) snprintf(e.patterns[e.pattern_count++], ACL_PATTERN_SIZE, "%s", p);
  return e;
}

// One session of the real session code on a thread of its own, as a
// connection thread runs it, and the agent's end of its channel.
class InProcessSession {
 public:
  InProcessSession(const std::string& root, const AclEntry* acl, size_t acl_count) : root_(root) {
    config_.storage_root = root_.c_str();
    config_.store.checkpoint_bytes = 16384;  // checkpoints every 4 blocks
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
    struct timeval tv = {kAgentTimeoutMs / 1000, 0};
    (void)setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // bounds every wait of the agent
    if (client_attach_plain(&agent, sv[1]) != STATUS_OK) {
      close(sv[0]);
      close(sv[1]);
      return;
    }
    Channel server;
    server.fd = sv[0];
    thread_ = std::thread([this, acl, acl_count, server] {
      auto buffer = std::make_unique<uint8_t[]>(FRAME_MAX_PAYLOAD);
      auto session = std::make_unique<Session>();
      session_init(session.get(), config_, acl, acl_count, server);
      int32_t rc = STATUS_OK;
      while (session_state(session.get()) != SessionState::done && session_state(session.get()) != SessionState::error) {
        FrameHeader h;
        rc = receive_frame(&session->channel, &h, std::span<uint8_t>(buffer.get(), FRAME_MAX_PAYLOAD));
        if (rc != STATUS_OK) break;
        rc = session_dispatch(session.get(), h, std::span<const uint8_t>(buffer.get(), h.length));
        if (rc != STATUS_OK) break;
      }
      if (session_state(session.get()) == SessionState::done) rc = STATUS_OK;
      final_state = session_state(session.get());
      session_end(session.get(), rc);
      channel_close(&session->channel);
    });
  }
  ~InProcessSession() {
    hang_up();
    join();
    client_close(&agent);
  }
  // The agent closes its end; the session's next read fails.
  void hang_up() {
    if (agent.channel.fd >= 0) shutdown(agent.channel.fd, SHUT_RDWR);
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  Client agent;
  std::atomic<SessionState> final_state{SessionState::wait_hello};

 private:
  std::string root_;
  ServerConfig config_;  // the session's settings, made before its thread
  std::thread thread_;
};

BeginRequest begin_request(uint8_t id, const char* subdir, const char* name) {
  BeginRequest b;
  b.uuid.bytes[0] = id;
  b.uuid.bytes[15] = 0x5C;
  b.chain_uuid = b.uuid;
  b.type = BACKUP_FULL;
  b.block_size = 4096;
  b.source_size = 1 << 20;
  snprintf(b.target_name, sizeof b.target_name, "%s", name);
  snprintf(b.target_subdir, sizeof b.target_subdir, "%s", subdir);
  return b;
}

// Sends `blocks` blocks of 4 KiB; every byte depends on the key.
int32_t send_blocks(Client* c, uint64_t first_key, int blocks, uint64_t* last_seq) {
  std::vector<uint8_t> data(4096);
  for (int i = 0; i < blocks; ++i) {
    BlockHeader h;
    h.key = first_key + static_cast<uint64_t>(i);
    h.data_length = static_cast<uint32_t>(data.size());
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(h.key * 7 + k);
    bool has_seq = false;
    uint64_t seq = 0;
    int32_t rc = client_block(c, h, data, &has_seq, &seq);
    if (rc != STATUS_OK) return rc;
    if (has_seq && last_seq != nullptr) *last_seq = seq;
  }
  return STATUS_OK;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> out;
  std::string text = orv_support::read_text(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      out.push_back(text.substr(start) + "<no line feed>");
      break;
    }
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

bool is_whole_record(const std::string& line) {
  return line.rfind("{\"schema\":1,\"record_type\":\"target_session\",", 0) == 0 &&
         (line.size() > 16 && (line.compare(line.size() - 16, 16, "\"resumed\":false}") == 0 ||
                               line.compare(line.size() - 15, 15, "\"resumed\":true}") == 0));
}

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    root = dir.make_dir("storage");
    acl[0] = make_acl(kKey, {"hosts/**", "flat"});
    acl[1] = make_acl("another-key", {"other"});
    ASSERT_EQ(0, mkdir((root + "/hosts").c_str(), 0755));
  }

  TempDir dir;
  std::string root;
  AclEntry acl[2];
};

// Backups into separate directories and into one shared directory, and
// sessions that only authenticate, ping and list, all at the same time. The
// partial-lock table, the diagnostics file and the directories are shared.
TEST_F(Concurrency, ManySessionsBackUpListAndPingAtOnce) {
  constexpr int kWriters = 6;
  constexpr int kReaders = 3;
  constexpr int kBlocks = 24;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kWriters; ++i) {
    threads.emplace_back([&, i] {
      InProcessSession s(root, acl, 2);
      HelloReply reply;
      std::string subdir = i % 2 == 0 ? "hosts/own" + std::to_string(i) : "hosts/shared";
      EndOk ok;
      uint64_t seq = 0;
      if (client_hello(&s.agent, kKey, true, FLAG_CONTINUE, &reply) != STATUS_OK ||
          client_begin(&s.agent, begin_request(static_cast<uint8_t>(i + 1), subdir.c_str(), "db")) != STATUS_OK ||
          send_blocks(&s.agent, 0, kBlocks, &seq) != STATUS_OK || client_end(&s.agent, &ok) != STATUS_OK ||
          ok.entry_count != kBlocks || ok.image_size != kBlocks * 4096u || seq == 0) {
        failures++;
      }
    });
  }
  for (int i = 0; i < kReaders; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < 8; ++round) {
        InProcessSession s(root, acl, 2);
        HelloReply reply;
        ListBackupsRequest list;
        snprintf(list.target_subdir, sizeof list.target_subdir, "hosts/shared");
        uint32_t count = 0;
        bool truncated = false;
        std::span<const uint8_t> entries;
        if (client_hello(&s.agent, kKey, true, 0, &reply) != STATUS_OK || client_ping(&s.agent) != STATUS_OK ||
            client_list_backups(&s.agent, list, &count, &truncated, &entries) != STATUS_OK) {
          failures++;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);

  // Every backup is finished and verifiable; no partial is left behind.
  size_t finished = 0;
  for (const std::string& sub : {std::string("hosts/shared"), std::string("hosts/own0"), std::string("hosts/own2"),
                                 std::string("hosts/own4")}) {
    ScanItem* items = nullptr;
    size_t count = 0;
    ASSERT_EQ(STATUS_OK, backup_scan((root + "/" + sub).c_str(), &items, &count));
    for (size_t k = 0; k < count; ++k) {
      auto cat = std::make_unique<LoadedCatalog>();
      EXPECT_EQ(STATUS_OK, catalog_load(items[k].path, cat.get())) << items[k].path;
      EXPECT_EQ(cat->entry_count, static_cast<uint64_t>(kBlocks));
      catalog_free(cat.get());
    }
    finished += count;
    free(items);
  }
  EXPECT_EQ(finished, static_cast<size_t>(kWriters));

  // One whole diagnostics line per session.
  std::vector<std::string> lines = read_lines(root + "/diag/diag.jsonl");
  EXPECT_EQ(lines.size(), static_cast<size_t>(kWriters + kReaders * 8));
  for (const std::string& l : lines) EXPECT_TRUE(is_whole_record(l)) << l;
}

// A reconnecting agent continues its partial while the old connection
// still holds it: the old session is shut down, ends as an interruption
// (last checkpoint, lock released) and the new one gets the partial.
TEST_F(Concurrency, ContinueTakesOverAPartialHeldByAnotherSession) {
  for (int round = 0; round < 3; ++round) {
    auto old_session = std::make_unique<InProcessSession>(root, acl, 2);
    HelloReply reply;
    uint8_t id = static_cast<uint8_t>(40 + round);
    ASSERT_EQ(STATUS_OK, client_hello(&old_session->agent, kKey, true, FLAG_CONTINUE, &reply));
    ASSERT_EQ(STATUS_OK, client_begin(&old_session->agent, begin_request(id, "flat", "db")));
    uint64_t seq = 0;
    ASSERT_EQ(STATUS_OK, send_blocks(&old_session->agent, 0, 10, &seq));

    InProcessSession fresh(root, acl, 2);
    ASSERT_EQ(STATUS_OK, client_hello(&fresh.agent, kKey, true, FLAG_CONTINUE, &reply));
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "flat");
    req.uuid = begin_request(id, "flat", "db").uuid;
    ContinueOk ok;
    ASSERT_EQ(STATUS_OK, client_continue(&fresh.agent, req, &ok, nullptr, nullptr));
    // Everything up to the old session's last checkpoint is kept.
    EXPECT_GE(ok.entry_count, seq);
    EXPECT_EQ(ok.image_size, ok.entry_count * 4096);
    old_session->join();
    EXPECT_EQ(old_session->final_state.load(), SessionState::receiving_blocks);
    old_session.reset();
    ASSERT_EQ(STATUS_OK, send_blocks(&fresh.agent, 10, 4, nullptr));
    EndOk end;
    ASSERT_EQ(STATUS_OK, client_end(&fresh.agent, &end));
    EXPECT_EQ(end.entry_count, ok.entry_count + 4);
  }
}

// Many takers on one lock: the holder is always alone, and every taker gets
// the lock within its wait because each holder lets go once its connection
// is shut down.
TEST(ConcurrencyLocks, PartialLockTakeoverUnderContention) {
  PartialLocks locks;
  // Real journal files: each lock is also a file lock on its journal.
  char dir[] = "/tmp/orv_locks_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string contended = std::string(dir) + "/db.csfb.part";
  const std::string unrelated = std::string(dir) + "/other.part";
  for (const std::string& p : {contended, unrelated}) {
    FILE* f = fopen(p.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
  }
  constexpr int kThreads = 6;
  constexpr int kRounds = 25;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> granted{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
        // Half the takers use the non-waiting form, as a new backup does.
        int32_t rc = (t + r) % 2 == 0 ? locks.takeover(contended.c_str(), sv[0], 20000)
                                      : locks.try_lock(contended.c_str(), sv[0]);
        if (rc == STATUS_OK) {
          granted++;
          if (inside.fetch_add(1) != 0) overlaps++;
          // Hold until a taker shuts the connection down, or briefly.
          struct pollfd p = {sv[0], POLLIN, 0};
          (void)poll(&p, 1, 3);
          inside.fetch_sub(1);
          locks.unlock(contended.c_str());  // released before the socket is closed
        } else if (rc == STATUS_AGAIN) {
          refused++;
        }
        close(sv[0]);
        close(sv[1]);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(granted.load() + refused.load(), kThreads * kRounds);
  EXPECT_GE(granted.load(), kThreads * kRounds / 2);  // every waiting taker got it
  EXPECT_FALSE(locks.held(contended.c_str()));
  // Unrelated locks are independent of the contended one.
  EXPECT_EQ(STATUS_OK, locks.try_lock(unrelated.c_str(), -1));
  locks.unlock(unrelated.c_str());
  (void)remove(contended.c_str());
  (void)remove(unrelated.c_str());
  (void)rmdir(dir);
}

// Sessions that end at the same moment append whole lines to one file.
TEST_F(Concurrency, DiagnosticsRecordsFromManyThreadsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 40;
  std::string diag = dir.sub("diag-many");
  std::string work = dir.sub("diag-many-backups");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ServerConfig config;
      config.storage_root = root.c_str();
      config.diag_dir = diag.c_str();
      auto s = std::make_unique<Session>();
      Channel none;
      session_init(s.get(), config, acl, 2, none);
      // A long name, so a record split over several writes would show.
      std::string name = "thread" + std::to_string(t) + "-" + std::string(40, static_cast<char>('a' + t));
      BackupOpenRequest req;
      req.workdir = work.c_str();
      req.name = name.c_str();
      snprintf(req.fields.name, sizeof req.fields.name, "%s", name.c_str());
      OpenRefusal refusal;
      uint64_t expired = 0;
      ASSERT_EQ(s->backup.open(config.store, req, &refusal, &expired), STATUS_OK);
      for (int i = 0; i < kRecords; ++i) diag_write_session_record(*s, -1);
      session_end(s.get(), 0);
    });
  }
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = read_lines(diag + "/diag.jsonl");
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords + kThreads));
  std::map<std::string, int> per_name;
  for (const std::string& l : lines) {
    ASSERT_TRUE(is_whole_record(l)) << l;
    size_t at = l.find("\"backup_name\":\"");
    ASSERT_NE(at, std::string::npos);
    size_t end = l.find('"', at + 15);
    per_name[l.substr(at + 15, end - at - 15)]++;
  }
  ASSERT_EQ(per_name.size(), static_cast<size_t>(kThreads));
  for (const auto& [name, n] : per_name) EXPECT_EQ(n, kRecords + 1) << name;
}

// The real server reloads its ACL over and over while agents keep
// connecting: an agent whose key stays in every version of the file is
// never refused, a key that comes and goes is accepted exactly while it is
// in the file, and the server stops cleanly without a sanitizer report.
TEST(ConcurrencyServer, ReloadUnderLoad) {
  orv_support::TargetFiles files;
  const std::string steady = "steady-key-0123456789";
  const std::string coming = "coming-key-9876543210";
  ASSERT_TRUE(files.create(steady + " hosts/**\n"));
  ASSERT_EQ(0, mkdir((files.storage + "/hosts").c_str(), 0777));
  chmod((files.storage + "/hosts").c_str(), 0777);
  orv_support::TargetServer server(files);
  ASSERT_TRUE(server.start(ORV_TARGET_BIN)) << server.process.log();

  ClientOptions opts;
  opts.timeout_ms = kAgentTimeoutMs;
  std::atomic<bool> stop{false};
  std::atomic<int> steady_ok{0};
  std::atomic<int> steady_failed{0};
  std::vector<std::thread> agents;
  for (int a = 0; a < 4; ++a) {
    agents.emplace_back([&, a] {
      while (!stop.load()) {
        Client c;
        if (client_connect(&c, "127.0.0.1", server.port(), opts) != STATUS_OK) {
          steady_failed++;
          continue;
        }
        HelloReply reply;
        bool ok = client_hello(&c, steady.c_str(), true, 0, &reply) == STATUS_OK && client_ping(&c) == STATUS_OK;
        if (ok && a == 0) {
          // One agent also lists, so sessions read the storage meanwhile.
          ListBackupsRequest list;
          snprintf(list.target_subdir, sizeof list.target_subdir, "hosts/x");
          uint32_t count = 0;
          bool truncated = false;
          std::span<const uint8_t> entries;
          ok = client_list_backups(&c, list, &count, &truncated, &entries) == STATUS_OK;
        }
        (ok ? steady_ok : steady_failed)++;
        client_close(&c);
      }
    });
  }

  constexpr int kReloads = 12;
  for (int i = 1; i <= kReloads; ++i) {
    std::string text = steady + " hosts/**\n";
    if (i % 2 == 1) text += coming + " hosts/c\n";
    ASSERT_TRUE(orv_support::write_text(files.acl, text));
    ASSERT_TRUE(server.process.signal(SIGHUP));
    ASSERT_TRUE(server.process.wait_for_log("SIGHUP reload: loaded", 30000, static_cast<size_t>(i)));
    // The coming key works exactly while it is in the file.
    Client c;
    ASSERT_EQ(STATUS_OK, client_connect(&c, "127.0.0.1", server.port(), opts));
    HelloReply reply;
    int32_t rc = client_hello(&c, coming.c_str(), true, 0, &reply);
    EXPECT_EQ(rc, i % 2 == 1 ? STATUS_OK : STATUS_INVALID) << "reload " << i;
    client_close(&c);
  }
  stop = true;
  for (auto& t : agents) t.join();
  EXPECT_EQ(steady_failed.load(), 0);
  EXPECT_GT(steady_ok.load(), 0);

  ASSERT_TRUE(server.process.signal(SIGTERM));
  ASSERT_TRUE(server.process.wait_exit(60000));
  EXPECT_EQ(server.process.exit_code(), 0);
  std::string log = server.process.log();
  EXPECT_EQ(log.find("ThreadSanitizer"), std::string::npos) << log;
  EXPECT_EQ(log.find("AddressSanitizer"), std::string::npos) << log;
  EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
}

}  // namespace
}  // namespace orv
