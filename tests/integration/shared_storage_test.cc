// Two real orv_target processes on one storage root, as behind a load
// balancer: backups of one name begun through both at the same moment never
// share a file, and a partial held by one target is handed to the other only
// when the holder lets go (here: when it is killed), at once. Each target
// runs as its own privileged parent and worker when started as root.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "protocol/formats.h"
#include "support/client_conn.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using orv_support::TargetFiles;
using orv_support::TargetServer;
using Clock = std::chrono::steady_clock;

constexpr const char* kKey = "shared-storage-key-0123";
constexpr const char* kSubdir = "hosts/h1";
constexpr int kWaitMs = 30000;

Uuid make_uuid(uint32_t seed) {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(seed * 31 + i + 1);
  return u;
}

std::string block_data(uint64_t key, uint32_t owner, size_t size) {
  std::mt19937 rng(static_cast<uint32_t>(key * 7919 + owner));
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

int32_t collect_entries(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* out = static_cast<std::vector<CatalogEntryFields>*>(context);
  if (type == MSG_CHAIN_HEADER) return STATUS_OK;
  for (size_t off = 0; off + CATALOG_ENTRY_SIZE <= payload.size(); off += CATALOG_ENTRY_SIZE) {
    out->push_back(decode_catalog_entry(payload.subspan(off, CATALOG_ENTRY_SIZE)));
  }
  return STATUS_OK;
}

// The process and its children (the worker of a target started as root).
std::vector<pid_t> process_tree(pid_t pid) {
  std::vector<pid_t> out{pid};
  std::string children = orv_support::read_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                                                "/children");
  size_t pos = 0;
  while (pos < children.size()) {
    size_t end = children.find(' ', pos);
    if (end == std::string::npos) end = children.size();
    if (end > pos) out.push_back(static_cast<pid_t>(std::stol(children.substr(pos, end - pos))));
    pos = end + 1;
  }
  return out;
}

std::vector<std::string> files_ending(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string p = e.path().string();
    if (p.size() >= suffix.size() && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0) out.push_back(p);
  }
  return out;
}

struct Conn : orv_support::ClientConn {
  // HELLO, with FLAG_CONTINUE for an agent that continues backups.
  int32_t open(uint16_t port, bool continues) {
    int32_t rc = connect(port, kWaitMs);
    if (rc != STATUS_OK) return rc;
    HelloReply reply;
    return client_hello(&c, kKey, true, continues ? FLAG_CONTINUE : 0, &reply);
  }
  int32_t begin(const Uuid& uuid, const char* name) {
    BeginRequest r;
    r.uuid = uuid;
    r.chain_uuid = uuid;
    r.type = BACKUP_FULL;
    r.block_size = 1 << 20;
    r.source_size = 1 << 24;
    snprintf(r.target_name, sizeof r.target_name, "%s", name);
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    return client_begin(&c, r);
  }
  int32_t block(uint64_t key, const std::string& data) {
    BlockHeader h;
    h.key = key;
    h.data_length = static_cast<uint32_t>(data.size());
    h.agent_u32 = static_cast<uint32_t>(key * 7);
    bool has_seq = false;
    uint64_t seq = 0;
    return client_block(&c, h, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
                        &has_seq, &seq);
  }
  int32_t continue_backup(const Uuid& uuid, ContinueOk* ok, std::vector<CatalogEntryFields>* entries) {
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", kSubdir);
    req.uuid = uuid;
    entries->clear();
    return client_continue(&c, req, ok, collect_entries, entries);
  }
  // The stored blocks of a finished backup, read back as an agent restores.
  int32_t restore(const Uuid& uuid, std::map<uint64_t, std::string>* out) {
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", kSubdir);
    req.uuid = uuid;
    std::vector<CatalogEntryFields> entries;
    int32_t rc = client_fetch_chain(&c, req, collect_entries, &entries);
    if (rc != STATUS_OK) return rc;
    out->clear();
    for (const CatalogEntryFields& e : entries) {
      std::span<const uint8_t> bytes;
      rc = client_read_range(&c, RangeRequest{0, e.length, e.offset}, &bytes);
      if (rc != STATUS_OK) return rc;
      (*out)[e.key] = std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    return STATUS_OK;
  }
};

class SharedStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(std::string(kKey) + " hosts/**\n"));
    files.dir.make_dir("storage/hosts");
    workdir = files.storage + "/" + kSubdir;
  }
  void TearDown() override {
    for (TargetServer* t : {&a, &b}) {
      if (!t->process.running()) continue;
      t->process.signal(SIGTERM);
      EXPECT_TRUE(t->process.wait_exit(30000));
      for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
        EXPECT_EQ(t->process.log().find(report), std::string::npos) << t->process.log();
      }
    }
  }
  void start_both(const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(a.start(ORV_TARGET_BIN, extra)) << a.process.log();
    ASSERT_TRUE(b.start(ORV_TARGET_BIN, extra)) << b.process.log();
    // Both see a storage with file locks: neither warns.
    EXPECT_EQ(a.process.log().find("does not support file locks"), std::string::npos) << a.process.log();
  }

  TargetFiles files;
  TargetServer a{files, "a"};
  TargetServer b{files, "b"};
  std::string workdir;
};

// Many backups of one name begun at the same moment through both targets,
// half by agents that continue backups and half by agents that do not (their
// BEGIN removes unheld partials of the name, and must not touch the running
// backups of the other target): every backup gets files of its own and
// restores to exactly what its agent sent.
TEST_F(SharedStorageTest, SameNameBegunThroughBothTargetsAtOnceNeverSharesFiles) {
  start_both();
  constexpr int kPerTarget = 8;
  constexpr int kAgents = 2 * kPerTarget;
  constexpr int kBlocks = 3;
  std::mutex mu;
  std::condition_variable cv;
  int ready = 0;
  bool go = false;
  std::vector<int32_t> results(kAgents, STATUS_IO);
  std::vector<EndOk> ends(kAgents);
  std::vector<std::thread> agents;
  int64_t minute_before = time(nullptr) / 60;
  for (int i = 0; i < kAgents; ++i) {
    agents.emplace_back([&, i] {
      Conn conn;
      uint16_t port = i % 2 == 0 ? a.port() : b.port();
      int32_t rc = conn.open(port, i % 4 < 2);
      {
        std::unique_lock<std::mutex> lock(mu);
        ++ready;
        cv.notify_all();
        cv.wait(lock, [&] { return go; });
      }
      if (rc == STATUS_OK) rc = conn.begin(make_uuid(static_cast<uint32_t>(i)), "same");
      for (int k = 0; k < kBlocks && rc == STATUS_OK; ++k) {
        rc = conn.block(static_cast<uint64_t>(k), block_data(static_cast<uint64_t>(k), static_cast<uint32_t>(i), 4096));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // overlap with the other BEGINs
      }
      if (rc == STATUS_OK) rc = client_end(&conn.c, &ends[static_cast<size_t>(i)]);
      results[static_cast<size_t>(i)] = rc;
    });
  }
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return ready == kAgents; }));
    go = true;
    cv.notify_all();
  }
  for (std::thread& t : agents) t.join();
  bool one_minute = time(nullptr) / 60 == minute_before;
  for (int i = 0; i < kAgents; ++i) {
    ASSERT_EQ(results[static_cast<size_t>(i)], STATUS_OK) << "agent " << i << "\n" << a.process.log() << b.process.log();
    EXPECT_EQ(ends[static_cast<size_t>(i)].entry_count, static_cast<uint64_t>(kBlocks));
  }

  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(workdir)) names.insert(e.path().filename().string());
  size_t partials = files_ending(workdir, ".part").size();
  size_t temporaries = files_ending(workdir, ".tmp").size();
  EXPECT_EQ(partials, 0u);
  EXPECT_EQ(temporaries, 0u);
  // One catalog and one image per backup.
  EXPECT_EQ(names.size(), static_cast<size_t>(2 * kAgents)) << ::testing::PrintToString(names);
  if (one_minute) {
    // All in one minute: one base name and its numbered successors.
    size_t plain = 0;
    for (const std::string& n : names) plain += n.rfind("same-", 0) == 0 ? 1 : 0;
    EXPECT_EQ(plain, names.size());
  }

  // Each backup holds its own agent's blocks, read back through either target.
  for (int i = 0; i < kAgents; ++i) {
    Conn r;
    ASSERT_EQ(r.open(i % 2 == 0 ? b.port() : a.port(), true), STATUS_OK);
    std::map<uint64_t, std::string> restored;
    ASSERT_EQ(r.restore(make_uuid(static_cast<uint32_t>(i)), &restored), STATUS_OK) << "agent " << i;
    ASSERT_EQ(restored.size(), static_cast<size_t>(kBlocks)) << "agent " << i;
    for (int k = 0; k < kBlocks; ++k) {
      EXPECT_TRUE(restored[static_cast<uint64_t>(k)] ==
                  block_data(static_cast<uint64_t>(k), static_cast<uint32_t>(i), 4096))
          << "agent " << i << " block " << k;
    }
  }
}

// A target holds a partial (its agent's connection is open) while an agent
// reconnected to the other target asks to continue it: the other target
// waits on the lock. When the holder is killed with SIGKILL its lock goes
// with it, and the waiting CONTINUE gets the partial at once, from the last
// checkpoint; the continued backup finishes and restores as sent.
TEST_F(SharedStorageTest, KillingTheHolderHandsThePartialToTheOtherTargetAtOnce) {
  start_both({"--checkpoint-mib", "1"});
  const Uuid uuid = make_uuid(900);
  std::map<uint64_t, std::string> sent;
  Conn first;
  ASSERT_EQ(first.open(a.port(), true), STATUS_OK);
  ASSERT_EQ(first.begin(uuid, "held"), STATUS_OK);
  for (uint64_t k = 0; k < 4; ++k) {
    sent[k] = block_data(k, 1, 1 << 20);  // each block completes a checkpoint
    ASSERT_EQ(first.block(k, sent[k]), STATUS_OK);
  }

  Conn second;
  ASSERT_EQ(second.open(b.port(), true), STATUS_OK);
  std::atomic<long> killed_ms{-1};
  auto start = Clock::now();
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the CONTINUE is waiting by then
    killed_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    (void)a.process.signal(SIGKILL);
  });
  ContinueOk ok;
  std::vector<CatalogEntryFields> entries;
  int32_t rc = second.continue_backup(uuid, &ok, &entries);
  long got_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  killer.join();
  ASSERT_EQ(rc, STATUS_OK) << b.process.log();
  ASSERT_GE(killed_ms.load(), 0);
  EXPECT_GE(got_ms, killed_ms.load()) << "the CONTINUE did not wait for the holder";
  EXPECT_LT(got_ms - killed_ms.load(), 3000) << "the lock of a dead target was not free at once";
  EXPECT_EQ(ok.entry_count, 4u);
  EXPECT_EQ(ok.image_size, 4u << 20);
  EXPECT_TRUE(a.process.wait_exit(10000));

  for (uint64_t k = 4; k < 6; ++k) {
    sent[k] = block_data(k, 1, 1 << 20);
    ASSERT_EQ(second.block(k, sent[k]), STATUS_OK);
  }
  EndOk end;
  ASSERT_EQ(client_end(&second.c, &end), STATUS_OK);
  EXPECT_EQ(end.entry_count, 6u);

  Conn r;
  ASSERT_EQ(r.open(b.port(), true), STATUS_OK);
  std::map<uint64_t, std::string> restored;
  ASSERT_EQ(r.restore(uuid, &restored), STATUS_OK);
  ASSERT_EQ(restored.size(), sent.size());
  for (const auto& [key, data] : sent) EXPECT_TRUE(restored[key] == data) << "block " << key;
  EXPECT_TRUE(files_ending(workdir, ".part").empty());
}

// A target that hangs (stopped) while holding a partial: the other target's
// CONTINUE is refused as in use after the time limit, the session can still
// begin a new backup, and the WARN names the journal.
TEST_F(SharedStorageTest, AHangingHolderOnTheOtherTargetIsRefusedAfterTheLimit) {
  start_both();
  const Uuid uuid = make_uuid(901);
  Conn first;
  ASSERT_EQ(first.open(a.port(), true), STATUS_OK);
  ASSERT_EQ(first.begin(uuid, "hung"), STATUS_OK);
  ASSERT_EQ(first.block(0, block_data(0, 2, 4096)), STATUS_OK);
  std::vector<std::string> journals = files_ending(workdir, ".part");
  ASSERT_EQ(journals.size(), 1u);
  std::vector<pid_t> hung = process_tree(a.process.pid());
  for (pid_t p : hung) ASSERT_EQ(kill(p, SIGSTOP), 0);

  Conn second;
  ASSERT_EQ(second.open(b.port(), true), STATUS_OK);
  ContinueOk ok;
  std::vector<CatalogEntryFields> entries;
  auto start = Clock::now();
  int32_t rc = second.continue_backup(uuid, &ok, &entries);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(rc, STATUS_AGAIN);
  EXPECT_STREQ(second.c.last_error.text, "the partial backup is in use");
  EXPECT_GE(waited, 14000);
  EXPECT_TRUE(b.process.wait_for_log(journals[0], 5000)) << b.process.log();
  EXPECT_EQ(second.begin(make_uuid(902), "other"), STATUS_OK);  // the session goes on

  for (pid_t p : hung) (void)kill(p, SIGCONT);
}

}  // namespace
}  // namespace orv
