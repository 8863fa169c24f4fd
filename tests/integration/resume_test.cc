// Interrupted backups continued through the real orv_target binary over TLS
// with the client library: an agent disconnects, reconnects, asks for its
// partial, continues it (sending blocks again and dropping entries) and
// finishes it; the finished backup is then restored the way an agent
// restores (FETCH_CHAIN, READ_RANGE per entry) and compared byte for byte
// with what was sent. The server is also killed with SIGKILL in the middle
// of a backup and restarted. As root the binary runs a privileged parent and
// an unprivileged worker; everything it writes is below directories any user
// may write.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "protocol/formats.h"
#include "protocol/payloads.h"
#include "support/client_conn.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKey = "resume-test-key-0123";
constexpr const char* kSubdir = "hosts/h1";
constexpr int kWaitMs = 20000;
// Journal layout: header and backup header, then 64-byte records.
constexpr uint64_t kJournalFirstRecord = 131584;
constexpr uint64_t kJournalRecord = 64;

Uuid make_uuid(uint8_t seed) {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(seed + i);
  return u;
}

// Data of one version of one block; empty means a block without data.
std::string block_data(uint64_t key, uint32_t version, size_t size) {
  std::mt19937 rng(static_cast<uint32_t>(key * 1000 + version));
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Every regular file below root with its contents.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file()) files[it->path().string()] = orv_support::read_text(it->path().string());
  }
  return files;
}

// Paths in dir whose name ends in suffix.
std::vector<std::string> files_ending(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string p = e.path().string();
    if (p.size() >= suffix.size() && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0) out.push_back(p);
  }
  return out;
}

int32_t collect_entries(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* out = static_cast<std::vector<CatalogEntryFields>*>(context);
  if (type == MSG_CHAIN_HEADER) return STATUS_OK;
  if (payload.empty() || payload.size() % CATALOG_ENTRY_SIZE != 0 ||
      payload.size() > ENTRIES_PER_FRAME * CATALOG_ENTRY_SIZE) {
    return STATUS_PROTOCOL;
  }
  for (size_t off = 0; off < payload.size(); off += CATALOG_ENTRY_SIZE) {
    out->push_back(decode_catalog_entry(payload.subspan(off, CATALOG_ENTRY_SIZE)));
  }
  return STATUS_OK;
}

struct Conn : orv_support::ClientConn {
  int32_t connect(uint16_t port) { return ClientConn::connect(port, kWaitMs); }
  int32_t block(uint64_t key, const std::string& data, uint64_t* durable_seq = nullptr) {
    BlockHeader h;
    h.key = key;
    h.data_length = static_cast<uint32_t>(data.size());
    h.agent_u32 = static_cast<uint32_t>(key * 7);
    h.flags = data.empty() ? ENTRY_FLAG_NO_DATA : 0;
    bool has_seq = false;
    uint64_t seq = 0;
    int32_t rc = client_block(&c, h, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()),
                                                                data.size()),
                              &has_seq, &seq);
    if (durable_seq != nullptr) *durable_seq = seq;
    return rc;
  }
  int32_t continue_backup(const Uuid& uuid, ContinueOk* ok, std::vector<CatalogEntryFields>* entries) {
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", kSubdir);
    req.uuid = uuid;
    entries->clear();
    return client_continue(&c, req, ok, collect_entries, entries);
  }
  int32_t discard(const Uuid& uuid) {
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", kSubdir);
    req.uuid = uuid;
    return client_discard_partial(&c, req);
  }
  int32_t query(const char* name, int8_t type, const Uuid& parent, PartialInfo* info) {
    QueryPartialRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", kSubdir);
    snprintf(req.target_name, sizeof req.target_name, "%s", name);
    req.type = type;
    req.parent_uuid = parent;
    return client_query_partial(&c, req, info);
  }
  bool closed_by_peer() {
    std::span<const uint8_t> payload;
    return client_receive(&c, &payload) == STATUS_IO;
  }
};

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(std::string(kKey) + " hosts/**\n"));
    files.dir.make_dir("storage/hosts");
    workdir = files.storage + "/" + kSubdir;
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

  void start(const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(server.start(ORV_TARGET_BIN, extra)) << server.process.log();
  }
  // A connection of an agent that continues backups.
  void open(Conn* conn) {
    ASSERT_EQ(conn->connect(server.port()), STATUS_OK) << last_transport_error();
    HelloReply reply;
    ASSERT_EQ(client_hello(&conn->c, kKey, true, FLAG_CONTINUE, &reply), STATUS_OK);
  }
  void begin(Conn* conn, const Uuid& uuid, uint8_t type = BACKUP_FULL, const Uuid& parent = Uuid{}) {
    BeginRequest r;
    r.uuid = uuid;
    r.parent_uuid = parent;
    r.chain_uuid = type == BACKUP_FULL ? uuid : parent;
    r.type = type;
    r.block_size = 4096;
    r.source_size = 1 << 24;
    snprintf(r.target_name, sizeof r.target_name, "db");
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    ASSERT_EQ(client_begin(&conn->c, r), STATUS_OK);
  }
  // Sends every block of `blocks` and records it in `sent`.
  void send(Conn* conn, const std::map<uint64_t, std::string>& blocks) {
    for (const auto& [key, data] : blocks) {
      ASSERT_EQ(conn->block(key, data), STATUS_OK) << key;
      sent[key] = data;
    }
  }
  void end(Conn* conn, EndOk* ok) { ASSERT_EQ(client_end(&conn->c, ok), STATUS_OK); }

  // Restores the backup the way an agent does and checks that it holds
  // exactly `sent`, byte for byte.
  void expect_restores_as_sent(const Uuid& uuid) {
    Conn r;
    open(&r);
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", kSubdir);
    req.uuid = uuid;
    std::vector<CatalogEntryFields> entries;
    ASSERT_EQ(client_fetch_chain(&r.c, req, collect_entries, &entries), STATUS_OK);
    std::map<uint64_t, std::string> restored;
    for (const CatalogEntryFields& e : entries) {
      EXPECT_EQ(e.flags & ENTRY_FLAG_DROPPED, 0) << e.key;
      EXPECT_EQ(restored.count(e.key), 0u) << "key stored twice: " << e.key;
      EXPECT_EQ(e.agent_u32, static_cast<uint32_t>(e.key * 7));
      std::string data;
      if ((e.flags & ENTRY_FLAG_NO_DATA) == 0) {
        std::span<const uint8_t> bytes;
        ASSERT_EQ(client_read_range(&r.c, RangeRequest{0, e.length, e.offset}, &bytes), STATUS_OK) << e.key;
        data.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      }
      restored[e.key] = data;
    }
    ASSERT_EQ(restored.size(), sent.size());
    for (const auto& [key, data] : sent) {
      ASSERT_EQ(restored.count(key), 1u) << key;
      EXPECT_TRUE(restored[key] == data) << "block " << key << " differs";
    }
  }

  TargetFiles files;
  TargetServer server{files};
  std::string workdir;
  std::map<uint64_t, std::string> sent;  // what the finished backup must hold
};

// An agent disconnects, finds its partial again, continues it sending one
// block again and dropping entries, is interrupted again, continues once
// more sending dropped keys again and new ones; the finished backup holds
// exactly the latest block of each key that was not left dropped.
TEST_F(ResumeTest, ContinuedBackupReplacesAndDropsAndRestoresByteForByte) {
  start();
  const Uuid uuid = make_uuid(0x10);
  int64_t t0 = time(nullptr);
  std::map<uint64_t, std::string> first;
  for (uint64_t k = 0; k < 20; ++k) first[k] = block_data(k, 1, 1000 + 37 * k);
  first[20] = std::string();  // no data
  {
    Conn a;
    open(&a);
    begin(&a, uuid);
    send(&a, first);
  }  // the connection ends: the server leaves the backup as a partial

  Conn b;
  open(&b);
  PartialInfo info;
  ASSERT_EQ(b.query("db", BACKUP_FULL, Uuid{}, &info), STATUS_OK);
  EXPECT_TRUE(info.found);
  EXPECT_EQ(uuid_equal(info.uuid, uuid), 1);
  EXPECT_EQ(info.block_size, 4096u);
  EXPECT_EQ(info.source_size, uint64_t{1} << 24);
  EXPECT_GE(static_cast<int64_t>(info.created), t0);
  EXPECT_LE(static_cast<int64_t>(info.created), time(nullptr));
  // Name, type and parent must all match.
  for (auto [name, type, parent] : {std::tuple{"dbx", BACKUP_FULL, Uuid{}}, std::tuple{"db", BACKUP_DIFF, Uuid{}},
                                    std::tuple{"db", BACKUP_FULL, make_uuid(0x50)}}) {
    ASSERT_EQ(b.query(name, static_cast<int8_t>(type), parent, &info), STATUS_OK);
    EXPECT_FALSE(info.found) << name << " " << int{type};
    EXPECT_EQ(uuid_equal(info.uuid, Uuid{}), 1);
    EXPECT_EQ(info.created, 0u);
  }

  ContinueOk ok;
  std::vector<CatalogEntryFields> kept;
  ASSERT_EQ(b.continue_backup(uuid, &ok, &kept), STATUS_OK);
  uint64_t image_bytes = 0;
  for (const auto& [k, d] : first) image_bytes += d.size();
  EXPECT_EQ(ok.entry_count, 21u);
  EXPECT_EQ(ok.image_size, image_bytes);
  ASSERT_EQ(kept.size(), 21u);
  for (uint64_t k = 0; k <= 20; ++k) {
    EXPECT_EQ(kept[k].key, k);
    EXPECT_EQ(kept[k].length, first[k].size());
  }
  EXPECT_EQ(kept[20].offset, ENTRY_NO_OFFSET);
  EXPECT_EQ(kept[20].flags, ENTRY_FLAG_NO_DATA);

  send(&b, {{3, block_data(3, 2, 5000)}});  // replaces key 3
  uint64_t seq = 0;
  bool has_seq = false;
  const uint64_t drops[] = {5, 7, 9, 999};  // 999 was never sent
  ASSERT_EQ(client_drop_entries(&b.c, drops, &has_seq, &seq), STATUS_OK);
  EXPECT_TRUE(has_seq);
  sent.erase(5);
  sent.erase(7);
  sent.erase(9);
  send(&b, {{9, block_data(9, 2, 700)}});  // dropped and sent again in one session: kept
  b.close();  // interrupted again

  // The second continuation sees the replacement and the drops.
  Conn c;
  open(&c);
  ASSERT_EQ(c.continue_backup(uuid, &ok, &kept), STATUS_OK);
  EXPECT_EQ(ok.entry_count, 19u);
  EXPECT_EQ(ok.image_size, image_bytes + 5000 + 700);
  ASSERT_EQ(kept.size(), 19u);
  std::map<uint64_t, uint32_t> lengths;
  for (const CatalogEntryFields& e : kept) lengths[e.key] = e.length;
  EXPECT_EQ(lengths.count(5) + lengths.count(7), 0u);
  EXPECT_EQ(lengths[3], 5000u);
  EXPECT_EQ(lengths[9], 700u);

  // A key dropped in the earlier session and sent again is kept.
  send(&c, {{7, block_data(7, 2, 300)}, {30, block_data(30, 1, 4096)}, {20, block_data(20, 2, 64)}});
  EndOk end_ok;
  end(&c, &end_ok);
  EXPECT_EQ(end_ok.entry_count, 21u);  // 0..20 without 5, and 30
  EXPECT_EQ(end_ok.image_size, image_bytes + 5000 + 700 + 300 + 4096 + 64);
  EXPECT_TRUE(files_ending(workdir, ".part").empty());
  EXPECT_TRUE(files_ending(workdir, ".tmp").empty());
  EXPECT_EQ(snapshot(workdir).size(), 2u);  // the catalog and the image
  expect_restores_as_sent(uuid);
}

// The server dies (SIGKILL) in the middle of a backup after checkpoints;
// after a restart the backup continues with every block that the last
// checkpoint covered, the image is cut back to it, and the agent sends the
// rest again.
TEST_F(ResumeTest, ContinueAfterTheServerWasKilled) {
  start({"--checkpoint-mib", "1"});
  const Uuid uuid = make_uuid(0x20);
  constexpr size_t kBlock = 256 * 1024;  // a checkpoint every 4 blocks
  std::map<uint64_t, std::string> all;
  for (uint64_t k = 0; k < 16; ++k) all[k] = block_data(k, 1, kBlock);
  uint64_t durable = 0;
  {
    Conn a;
    open(&a);
    begin(&a, uuid);
    for (uint64_t k = 0; k < 10; ++k) ASSERT_EQ(a.block(k, all[k], &durable), STATUS_OK);
    ASSERT_GE(durable, 4u) << "no checkpoint was made";
    ASSERT_LT(durable, 10u);

    // Both processes at once: the worker serving the connection and, when
    // started as root, its privileged parent.
    pid_t parent = server.process.pid();
    std::string children =
        orv_support::read_text("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    std::vector<pid_t> victims;
    for (std::istringstream in(children); in;) {
      long pid = 0;
      if (in >> pid) victims.push_back(static_cast<pid_t>(pid));
    }
    for (pid_t pid : victims) ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(server.process.signal(SIGKILL));
    ASSERT_TRUE(server.process.wait_exit(kWaitMs));
    for (pid_t pid : victims) {
      auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(kWaitMs);
      while (kill(pid, 0) == 0 && orv_support::read_text("/proc/" + std::to_string(pid) + "/stat").find(") Z") ==
                                      std::string::npos) {
        ASSERT_LT(orv_support::Clock::now(), deadline) << "worker " << pid << " still running";
        orv_support::sleep_ms(10);
      }
    }
  }
  std::vector<std::string> tmp = files_ending(workdir, ".tmp");
  ASSERT_EQ(tmp.size(), 1u);
  // Every block up to the last checkpoint is on disk; blocks after it may
  // still have been queued for the writer thread when the process died.
  EXPECT_GE(fs::file_size(tmp[0]), durable * kBlock);
  EXPECT_LE(fs::file_size(tmp[0]), 10 * kBlock);

  start({"--checkpoint-mib", "1"});
  Conn b;
  open(&b);
  ContinueOk ok;
  std::vector<CatalogEntryFields> kept;
  ASSERT_EQ(b.continue_backup(uuid, &ok, &kept), STATUS_OK);
  EXPECT_GE(ok.entry_count, durable);
  EXPECT_LE(ok.entry_count, 10u);
  EXPECT_EQ(ok.image_size, ok.entry_count * kBlock);
  EXPECT_EQ(fs::file_size(tmp[0]), ok.image_size);
  ASSERT_EQ(kept.size(), ok.entry_count);
  for (uint64_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].key, i);  // every block up to the checkpoint survived
    EXPECT_EQ(kept[i].offset, i * kBlock);
    EXPECT_EQ(kept[i].length, kBlock);
    sent[i] = all[i];
  }
  std::map<uint64_t, std::string> rest(all.lower_bound(kept.size()), all.end());
  send(&b, rest);
  EndOk end_ok;
  end(&b, &end_ok);
  EXPECT_EQ(end_ok.entry_count, 16u);
  EXPECT_EQ(end_ok.image_size, 16 * kBlock);
  expect_restores_as_sent(uuid);
}

// An agent reconnects while its old connection is still open: CONTINUE ends
// the old connection and gets everything it had acknowledged.
TEST_F(ResumeTest, ContinueTakesThePartialFromALiveConnection) {
  start();
  const Uuid uuid = make_uuid(0x30);
  Conn a;
  open(&a);
  begin(&a, uuid);
  std::map<uint64_t, std::string> blocks;
  for (uint64_t k = 0; k < 5; ++k) blocks[k * 10] = block_data(k, 1, 2048);
  send(&a, blocks);  // acknowledged, but no checkpoint is due yet

  Conn b;
  open(&b);
  ContinueOk ok;
  std::vector<CatalogEntryFields> kept;
  ASSERT_EQ(b.continue_backup(uuid, &ok, &kept), STATUS_OK);
  EXPECT_EQ(ok.entry_count, 5u);
  EXPECT_EQ(ok.image_size, 5u * 2048);
  EXPECT_TRUE(a.closed_by_peer());

  send(&b, {{20, block_data(20, 2, 100)}, {60, block_data(60, 1, 100)}});
  EndOk end_ok;
  end(&b, &end_ok);
  EXPECT_EQ(end_ok.entry_count, 6u);
  expect_restores_as_sent(uuid);
}

TEST_F(ResumeTest, DiscardOfUnknownAndKnownPartials) {
  start();
  const Uuid uuid = make_uuid(0x40);
  {
    Conn a;
    open(&a);
    begin(&a, uuid);
    send(&a, {{1, block_data(1, 1, 512)}});
  }
  // The server has ended that session once its last checkpoint (one block
  // record and the checkpoint record) is in the journal.
  std::vector<std::string> journal = files_ending(workdir, ".part");
  ASSERT_EQ(journal.size(), 1u);
  auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (fs::file_size(journal[0]) < kJournalFirstRecord + 2 * kJournalRecord) {
    ASSERT_LT(orv_support::Clock::now(), deadline);
    orv_support::sleep_ms(10);
  }

  Conn b;
  open(&b);
  PartialInfo info;
  ASSERT_EQ(b.query("db", BACKUP_FULL, Uuid{}, &info), STATUS_OK);
  ASSERT_TRUE(info.found);

  // Unknown: answered all the same, and nothing changes.
  auto before = snapshot(workdir);
  ASSERT_EQ(b.discard(make_uuid(0x98)), STATUS_OK);
  EXPECT_EQ(snapshot(workdir), before);
  EXPECT_EQ(files_ending(workdir, ".part").size(), 1u);

  ASSERT_EQ(b.discard(uuid), STATUS_OK);
  EXPECT_TRUE(files_ending(workdir, ".part").empty());
  EXPECT_TRUE(files_ending(workdir, ".tmp").empty());
  ASSERT_EQ(b.query("db", BACKUP_FULL, Uuid{}, &info), STATUS_OK);
  EXPECT_FALSE(info.found);

  ContinueOk ok;
  std::vector<CatalogEntryFields> kept;
  EXPECT_EQ(b.continue_backup(uuid, &ok, &kept), STATUS_NOT_FOUND);
  EXPECT_TRUE(b.c.got_error);
  EXPECT_STREQ(b.c.last_error.text, "no partial backup with that uuid");

  // The refusal kept the session: the same connection starts anew, and a
  // discard from elsewhere ends that backup's connection and deletes it.
  begin(&b, uuid);
  send(&b, {{1, block_data(1, 2, 512)}});
  Conn c;
  open(&c);
  ASSERT_EQ(c.discard(uuid), STATUS_OK);
  EXPECT_TRUE(b.closed_by_peer());
  EXPECT_TRUE(files_ending(workdir, ".part").empty());
  EXPECT_TRUE(files_ending(workdir, ".tmp").empty());
}

}  // namespace
}  // namespace orv
