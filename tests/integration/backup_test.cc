// Backups received by the real orv_target over TLS on loopback, driven by
// the client library. The files the server wrote are checked byte by byte
// here (magic, offsets, key order, the SHA-256 of the entry table computed
// with libcrypto directly, image bytes equal to what was sent) and read back
// with the store's own readers. As root the binary runs a privileged parent
// and an unprivileged worker; everything it writes is below directories any
// user may write.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "store/catalog.h"
#include "store/partial.h"
#include "support/client_conn.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using orv_support::count_of;
using orv_support::read_text;
using orv_support::TargetFiles;

constexpr const char* kKey = "backup-test-key-0123";
constexpr int kWaitMs = 20000;

uint64_t le64(const std::string& s, size_t off) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[off + i]);
  return v;
}
uint32_t le32(const std::string& s, size_t off) { return static_cast<uint32_t>(le64(s + std::string(4, '\0'), off)); }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

// Names of the regular files below dir (relative), sorted.
std::vector<std::string> files_below(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file()) out.push_back(fs::relative(it->path(), dir).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

Uuid make_uuid(uint8_t seed) {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(seed + i);
  return u;
}

BeginRequest begin_request(const char* name, uint8_t type, const char* subdir = "hosts/h1") {
  BeginRequest r;
  r.uuid = make_uuid(0x10);
  r.parent_uuid = type == 0 ? Uuid{} : make_uuid(0x40);
  r.chain_uuid = make_uuid(0x70);
  r.type = type;
  r.block_size = 4096;
  r.source_size = 1 << 20;
  snprintf(r.target_name, sizeof r.target_name, "%s", name);
  snprintf(r.target_subdir, sizeof r.target_subdir, "%s", subdir);
  return r;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

struct Conn : orv_support::ClientConn {
  int32_t connect(uint16_t port) { return ClientConn::connect(port, kWaitMs); }
  int32_t hello(uint32_t flags = 0) {
    HelloReply reply;
    return client_hello(&c, kKey, true, flags, &reply);
  }
  int32_t block(uint64_t key, const std::vector<uint8_t>& data, uint8_t flags = 0, uint64_t* seq = nullptr,
                bool* has_seq = nullptr) {
    BlockHeader h;
    h.key = key;
    h.data_length = static_cast<uint32_t>(data.size());
    h.agent_u32 = static_cast<uint32_t>(key * 7);
    h.agent_u8 = static_cast<uint8_t>(key);
    h.flags = flags;
    for (size_t i = 0; i < sizeof h.agent_tail; ++i) h.agent_tail[i] = static_cast<uint8_t>(key + i);
    bool hs = false;
    uint64_t s = 0;
    int32_t rc = client_block(&c, h, data, &hs, &s);
    if (seq != nullptr) *seq = s;
    if (has_seq != nullptr) *has_seq = hs;
    return rc;
  }
  // The server ended the connection without sending anything more.
  bool closed_by_peer() {
    std::span<const uint8_t> payload;
    return client_receive(&c, &payload) == STATUS_IO;
  }
};

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(std::string(kKey) + " hosts/**\n"));
    files.dir.make_dir("storage/hosts");
    sock_dir = files.dir.make_dir("sock");
    setenv("ORV_TARGET_PRIV_SOCK_DIR", sock_dir.c_str(), 1);
    workdir = files.storage + "/hosts/h1";
    diag_file = files.storage + "/diag/diag.jsonl";
  }
  void TearDown() override {
    if (proc.signal(SIGTERM)) (void)proc.wait_exit(kWaitMs);
  }

  // Starts the binary; the run log is off unless extra says otherwise.
  void start(std::vector<std::string> extra = {}, bool quiet_runlog = true) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = orv_support::pick_port();
      std::vector<std::string> args = {"--storage", files.storage, "--tls-cert", files.cert, "--tls-key",
                                       files.key,   "--acl-file", files.acl,   "--bind",     "127.0.0.1",
                                       "--port",    std::to_string(port)};
      if (quiet_runlog) args.insert(args.end(), {"--no-log", "--no-syslog"});
      args.insert(args.end(), extra.begin(), extra.end());
      ASSERT_TRUE(proc.start(ORV_TARGET_BIN, args, files.dir.sub("server.log")));
      if (proc.wait_for_log("listening on", kWaitMs) && proc.running()) return;
      bool clash = proc.log().find("cannot bind") != std::string::npos;
      proc.kill_and_reap();
      ASSERT_TRUE(clash) << proc.log();
    }
    FAIL() << "no free port";
  }
  void connect(Conn* c, uint32_t flags = 0) {
    ASSERT_EQ(c->connect(port), STATUS_OK) << last_transport_error();
    ASSERT_EQ(c->hello(flags), STATUS_OK);
  }
  // Waits until the diagnostics file holds n lines and returns them.
  std::vector<std::string> diag_lines(size_t n, const std::string& path = "") {
    const std::string& file = path.empty() ? diag_file : path;
    auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (lines_of(read_text(file)).size() < n && orv_support::Clock::now() < deadline) orv_support::sleep_ms(10);
    return lines_of(read_text(file));
  }

  TargetFiles files;
  orv_support::ChildProcess proc;
  uint16_t port = 0;
  std::string sock_dir, workdir, diag_file;
};

// A FULL backup with keys out of order, a block without data and retention
// fields: names, header fields, entry order, digest and image bytes.
TEST_F(BackupTest, FullBackupEndToEnd) {
  start();
  Conn a;
  connect(&a);
  BeginRequest req = begin_request("db", BACKUP_FULL);
  snprintf(req.retention, sizeof req.retention, "30d");
  snprintf(req.retention_label, sizeof req.retention_label, "daily");
  req.extra_byte = 0x5A;
  int64_t t0 = time(nullptr);
  ASSERT_EQ(client_begin(&a.c, req), STATUS_OK);
  EXPECT_TRUE(fs::exists(workdir)) << "working directory created";

  std::map<uint64_t, std::vector<uint8_t>> sent;
  const uint64_t keys[] = {9, 2, 7, 4, 1};
  uint64_t total = 0;
  for (uint64_t k : keys) {
    sent[k] = random_bytes(1000 + 100 * k, static_cast<uint32_t>(k));
    ASSERT_EQ(a.block(k, sent[k]), STATUS_OK);
    total += sent[k].size();
  }
  // No data: the 100 bytes after the header are ignored.
  ASSERT_EQ(a.block(5, random_bytes(100, 5), ENTRY_FLAG_NO_DATA), STATUS_OK);
  EndOk ok;
  ASSERT_EQ(client_end(&a.c, &ok), STATUS_OK);
  int64_t t1 = time(nullptr);
  EXPECT_EQ(ok.entry_count, 6u);
  EXPECT_EQ(ok.image_size, total);

  std::vector<std::string> names = files_below(workdir);
  ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
  const std::string& catalog_name = names[0];
  ASSERT_EQ(catalog_name.size(), 3 + 12 + 5);
  EXPECT_EQ(catalog_name.substr(0, 3), "db-");
  EXPECT_EQ(catalog_name.substr(15), ".csfb");  // sorted: .csfb before .infb
  EXPECT_EQ(names[1], catalog_name.substr(0, 15) + ".infb");

  std::string cat = read_text(workdir + "/" + names[1]);
  std::string img = read_text(workdir + "/" + names[0]);
  ASSERT_EQ(cat.size(), 131072u + 6 * 58);
  EXPECT_EQ(cat.substr(0, 4), "ORVH");
  EXPECT_EQ(le64(cat, 4) & 0xFFFF, 1u);
  EXPECT_EQ(le32(cat, 8), 131072u);
  EXPECT_EQ(le32(cat, 12), 4096u);
  EXPECT_EQ(cat[16], 0);
  EXPECT_EQ(cat.substr(20, 16), std::string(reinterpret_cast<const char*>(req.uuid.bytes), 16));
  EXPECT_EQ(cat.substr(36, 16), std::string(16, '\0'));
  EXPECT_EQ(cat.substr(52, 16), std::string(reinterpret_cast<const char*>(req.chain_uuid.bytes), 16));
  int64_t created = static_cast<int64_t>(le64(cat, 68));
  EXPECT_GE(created, t0);
  EXPECT_LE(created, t1);
  char stamp[16];
  struct tm tm;
  time_t ct = created;
  gmtime_r(&ct, &tm);
  strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &tm);
  EXPECT_EQ(names[1], std::string("db-") + stamp + ".infb");
  EXPECT_EQ(le64(cat, 76), 1u << 20);
  EXPECT_EQ(le64(cat, 84), 6u);
  EXPECT_EQ(le64(cat, 92), total);
  EXPECT_EQ(std::string(cat.c_str() + 484), "db");
  EXPECT_EQ(static_cast<uint8_t>(cat[548]), 0x5A);
  EXPECT_EQ(static_cast<int64_t>(le64(cat, 25669)), created + 30 * 86400);
  EXPECT_EQ(std::string(cat.c_str() + 25677), "30d");
  EXPECT_EQ(std::string(cat.c_str() + 25709), "daily");

  unsigned char digest[32];
  unsigned int dlen = 0;
  ASSERT_EQ(EVP_Digest(cat.data() + 131072, 6 * 58, digest, &dlen, EVP_sha256(), nullptr), 1);
  EXPECT_EQ(cat.substr(100, 32), std::string(reinterpret_cast<const char*>(digest), 32));

  // Entries in key order; data where they say; the agent's bytes unchanged.
  ASSERT_EQ(img.size(), total);
  const uint64_t sorted[] = {1, 2, 4, 5, 7, 9};
  for (size_t i = 0; i < 6; ++i) {
    std::string e = cat.substr(131072 + 58 * i, 58);
    uint64_t k = le64(e, 0);
    EXPECT_EQ(k, sorted[i]);
    EXPECT_EQ(le32(e, 20), static_cast<uint32_t>(k * 7));
    EXPECT_EQ(static_cast<uint8_t>(e[24]), static_cast<uint8_t>(k));
    EXPECT_EQ(static_cast<uint8_t>(e[26 + 31]), static_cast<uint8_t>(k + 31));
    if (k == 5) {
      EXPECT_EQ(le64(e, 8), ~uint64_t{0});
      EXPECT_EQ(le32(e, 16), 0u);
      EXPECT_EQ(e[25], 1);
      continue;
    }
    ASSERT_EQ(le32(e, 16), sent[k].size());
    EXPECT_EQ(img.substr(le64(e, 8), sent[k].size()), std::string(sent[k].begin(), sent[k].end())) << k;
  }

  // The store's reader accepts it.
  auto loaded = std::make_unique<LoadedCatalog>();
  ASSERT_EQ(catalog_load((workdir + "/" + names[1]).c_str(), loaded.get()), STATUS_OK);
  EXPECT_EQ(loaded->entry_count, 6u);
  catalog_free(loaded.get());
}

// Extensions by type; an END without blocks; a second backup of the same
// name in the same minute gets "-2".
TEST_F(BackupTest, TypesEmptyBackupAndSameMinuteName) {
  start();
  // Stay clear of a minute boundary so the two "same" backups share a stamp.
  while (time(nullptr) % 60 >= 55) orv_support::sleep_ms(200);
  struct Case {
    uint8_t type;
    const char* name;
    const char* cat_ext;
    const char* img_ext;
  } cases[] = {{BACKUP_DIFF, "d", ".indb", ".csdb"}, {BACKUP_INC, "i", ".inib", ".csib"},
               {7, "o", ".infb", ".csfb"},           {BACKUP_FULL, "f", ".infb", ".csfb"},
               {BACKUP_FULL, "f", ".infb", ".csfb"}};
  std::vector<std::string> expected;
  std::string first_stamp;
  for (const Case& c : cases) {
    Conn a;
    connect(&a);
    ASSERT_EQ(client_begin(&a.c, begin_request(c.name, c.type)), STATUS_OK);
    EndOk ok;
    ASSERT_EQ(client_end(&a.c, &ok), STATUS_OK);
    EXPECT_EQ(ok.entry_count, 0u);
    EXPECT_EQ(ok.image_size, 0u);
  }
  std::vector<std::string> names = files_below(workdir);
  ASSERT_EQ(names.size(), 10u) << ::testing::PrintToString(names);
  std::string stamp = names[0].substr(2, 12);  // "d-<stamp>.csdb"
  for (const Case& c : cases) {
    std::string suffix = &c == &cases[4] ? "-2" : "";
    std::string base = std::string(c.name) + "-" + stamp + suffix;
    for (const char* ext : {c.cat_ext, c.img_ext}) {
      EXPECT_TRUE(std::count(names.begin(), names.end(), base + ext) == 1) << base << ext;
    }
    std::string cat = read_text(workdir + "/" + base + c.cat_ext);
    ASSERT_EQ(cat.size(), 131072u);
    EXPECT_EQ(static_cast<uint8_t>(cat[16]), c.type);
    EXPECT_EQ(cat.substr(100, 32), std::string(32, '\0'));
    EXPECT_EQ(fs::file_size(workdir + "/" + base + c.img_ext), 0u);
  }
}

// Every refusal of BEGIN: its text and status, the session ends, and no
// file of the refused backup is left.
TEST_F(BackupTest, BeginRefusals) {
  start();
  files.dir.make_dir("storage/hosts/regular");
  ASSERT_TRUE(orv_support::write_text(files.storage + "/hosts/file", "x"));
  struct Case {
    BeginRequest req;
    int32_t status;
    const char* text;
  };
  auto with_retention = [](const char* r, const char* label) {
    BeginRequest q = begin_request("db", BACKUP_FULL);
    snprintf(q.retention, sizeof q.retention, "%s", r);
    snprintf(q.retention_label, sizeof q.retention_label, "%s", label);
    return q;
  };
  std::vector<Case> cases = {
      {begin_request("", BACKUP_FULL), STATUS_INVALID, "target_name must not be empty"},
      {with_retention("0d", ""), STATUS_INVALID, "invalid retention"},
      {with_retention("30d", "Daily"), STATUS_INVALID, "invalid retention"},
      {begin_request("a/b", BACKUP_FULL), STATUS_INVALID, "invalid target_name or path collision"},
      {begin_request("a\\b", BACKUP_FULL), STATUS_INVALID, "invalid target_name or path collision"},
      {begin_request("db", BACKUP_FULL, "hosts/none/x"), STATUS_NOT_FOUND, "failed to prepare target directory"},
      {begin_request("db", BACKUP_FULL, "hosts/file"), STATUS_EXISTS, "failed to prepare target directory"},
      {begin_request("db", BACKUP_FULL, "other"), STATUS_INVALID, "target_subdir not permitted for this api key"},
      {begin_request("db", BACKUP_FULL, "hosts/../hosts/h1"), STATUS_INVALID,
       "target_subdir not permitted for this api key"},
  };
  for (const Case& c : cases) {
    Conn a;
    connect(&a);
    EXPECT_EQ(client_begin(&a.c, c.req), c.status) << c.text;
    EXPECT_TRUE(a.c.got_error);
    EXPECT_STREQ(a.c.last_error.text, c.text);
    EXPECT_TRUE(a.closed_by_peer()) << c.text;
  }
  EXPECT_TRUE(fs::is_directory(workdir)) << "the empty name is refused after the directory was made";
  std::vector<std::string> left = files_below(files.storage);
  std::vector<std::string> want = {"diag/diag.jsonl", "hosts/file"};
  EXPECT_EQ(diag_lines(cases.size()).size(), cases.size());
  EXPECT_EQ(files_below(files.storage), want);
  EXPECT_EQ(count_of(read_text(diag_file), "\"final_state\":\"error\""), cases.size());
}

// ACKs: empty without FLAG_CONTINUE; with it they carry durable_seq, which
// moves only when a checkpoint completes (here every 1 MiB of data). A
// block without data adds nothing to the byte rule; DROP_ENTRIES in a new
// backup changes nothing but is counted and answered.
TEST_F(BackupTest, AcksAndDurableSequence) {
  start({"--checkpoint-mib", "1"});
  std::vector<uint8_t> quarter = random_bytes(256 * 1024, 1);
  {
    Conn a;
    connect(&a, 0);
    ASSERT_EQ(client_begin(&a.c, begin_request("plain", BACKUP_FULL)), STATUS_OK);
    for (uint64_t k = 0; k < 6; ++k) {
      bool has_seq = true;
      ASSERT_EQ(a.block(k, quarter, 0, nullptr, &has_seq), STATUS_OK);
      EXPECT_FALSE(has_seq);
    }
    EndOk ok;
    ASSERT_EQ(client_end(&a.c, &ok), STATUS_OK);
  }
  Conn b;
  connect(&b, FLAG_CONTINUE);
  ASSERT_EQ(client_begin(&b.c, begin_request("cont", BACKUP_FULL)), STATUS_OK);
  std::vector<uint64_t> seqs;
  for (uint64_t k = 0; k < 10; ++k) {
    uint64_t seq = 99;
    bool has_seq = false;
    ASSERT_EQ(b.block(k, k == 2 ? std::vector<uint8_t>{} : quarter, k == 2 ? ENTRY_FLAG_NO_DATA : 0, &seq,
                      &has_seq),
              STATUS_OK);
    EXPECT_TRUE(has_seq);
    seqs.push_back(seq);
  }
  // Data blocks are 0, 1, 3, 4 (1 MiB: checkpoint at frame 5), 5, 6, 7, 8
  // (checkpoint at frame 9), 9.
  EXPECT_EQ(seqs, (std::vector<uint64_t>{0, 0, 0, 0, 5, 5, 5, 5, 9, 9}));
  std::vector<uint64_t> drop(DROP_MAX_KEYS);  // the most one request may carry
  for (size_t i = 0; i < drop.size(); ++i) drop[i] = i;
  bool has_seq = false;
  uint64_t seq = 0;
  ASSERT_EQ(client_drop_entries(&b.c, drop, &has_seq, &seq), STATUS_OK);
  EXPECT_TRUE(has_seq);
  EXPECT_EQ(seq, 9u);
  EXPECT_EQ(files_below(workdir).size(), 4u) << "finished plain backup, temporary image and journal of cont";
  EndOk ok;
  ASSERT_EQ(client_end(&b.c, &ok), STATUS_OK);
  EXPECT_EQ(ok.entry_count, 10u) << "nothing dropped in a new backup";
  b.close();
  std::vector<std::string> lines = diag_lines(2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("\"final_state\":\"done\",\"disconnect_status\":0,"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\"bytes_received\":2359296,\"frames\":11,\"durable_seq\":9,\"checkpoint_count\":2,"),
            std::string::npos)
      << lines[1];
  for (const std::string& n : files_below(workdir)) {
    EXPECT_EQ(n.find(".part"), std::string::npos) << n;
    EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
  }
}

// Malformed BLOCK and DROP_ENTRIES end the session with -8 and no ERROR
// frame, still counted; what was received before stays as a loadable
// partial. A second HELLO during a backup is refused the same way.
TEST_F(BackupTest, MalformedRequestsAndInterruptionsLeavePartials) {
  start();
  std::vector<uint8_t> data = random_bytes(5000, 9);
  struct Case {
    const char* name;
    std::vector<uint8_t> payload;
    uint16_t type;
  };
  std::vector<uint8_t> bad_block(50 + 10, 0);
  bad_block[8] = 11;  // one more than the payload carries
  std::vector<uint8_t> too_many(4 + 8 * 100001, 0);
  uint32_t n = 100001;
  memcpy(too_many.data(), &n, 4);
  std::vector<uint8_t> hello(HELLO_SIZE);
  HelloRequest h;
  snprintf(h.api_key, sizeof h.api_key, "%s", kKey);
  encode_hello(h, true, hello);
  std::vector<Case> cases = {{"blk", bad_block, MSG_BLOCK},
                             {"drop", too_many, MSG_DROP_ENTRIES},
                             {"hello", hello, MSG_HELLO},
                             {"gone", {}, 0}};
  for (size_t i = 0; i < cases.size(); ++i) {
    Conn a;
    connect(&a, FLAG_CONTINUE);
    ASSERT_EQ(client_begin(&a.c, begin_request(cases[i].name, BACKUP_FULL)), STATUS_OK);
    for (uint64_t k = 0; k < 3; ++k) ASSERT_EQ(a.block(10 - k, data), STATUS_OK);
    if (cases[i].type != 0) {
      ASSERT_EQ(client_send(&a.c, cases[i].type, cases[i].payload), STATUS_OK);
      EXPECT_TRUE(a.closed_by_peer()) << cases[i].name;
    }
    a.close();
    std::vector<std::string> lines = diag_lines(i + 1);
    ASSERT_EQ(lines.size(), i + 1);
    std::string want_end = cases[i].type != 0 ? "-8" : "-1";
    uint64_t frames = cases[i].type == MSG_HELLO || cases[i].type == 0 ? 3 : 4;
    EXPECT_NE(lines[i].find("\"backup_name\":\"" + std::string(cases[i].name) +
                            "\",\"backup_type\":0,\"final_state\":\"receiving_blocks\",\"disconnect_status\":" +
                            want_end + ","),
              std::string::npos)
        << lines[i];
    EXPECT_NE(lines[i].find("\"bytes_received\":15000,\"frames\":" + std::to_string(frames) + ",\"durable_seq\":0,"),
              std::string::npos)
        << lines[i];

    // The partial: journal and temporary image, loadable up to the
    // checkpoint made at the end of the session.
    std::string journal;
    for (const std::string& f : files_below(workdir)) {
      if (f.rfind(std::string(cases[i].name) + "-", 0) == 0 && f.size() > 5 && f.substr(f.size() - 5) == ".part") {
        journal = workdir + "/" + f;
      }
    }
    ASSERT_FALSE(journal.empty()) << ::testing::PrintToString(files_below(workdir));
    auto p = std::make_unique<PartialBackup>();
    ASSERT_EQ(partial_load(journal.c_str(), p.get()), STATUS_OK) << journal;
    EXPECT_EQ(p->entry_count, 3u);
    EXPECT_EQ(p->checkpoint_image_size, 15000u);
    EXPECT_EQ(entry_key(p->entries[0]), 8u);
    std::string tmp = journal.substr(0, journal.size() - 5) + ".tmp";
    EXPECT_EQ(read_text(tmp).substr(5000, 5000), std::string(data.begin(), data.end()));
    partial_free(p.get());
  }

  // A new backup of the same name, type and parent from an agent that does
  // not continue backups removes the stale partial; one that does keeps it.
  Conn keep;
  connect(&keep, FLAG_CONTINUE);
  ASSERT_EQ(client_begin(&keep.c, begin_request("blk", BACKUP_FULL)), STATUS_OK);
  EndOk ok;
  ASSERT_EQ(client_end(&keep.c, &ok), STATUS_OK);
  Conn clean;
  connect(&clean, 0);
  ASSERT_EQ(client_begin(&clean.c, begin_request("drop", BACKUP_FULL)), STATUS_OK);
  ASSERT_EQ(client_end(&clean.c, &ok), STATUS_OK);
  std::string all;
  for (const std::string& f : files_below(workdir)) all += f + " ";
  EXPECT_EQ(count_of(all, "blk-"), 4u) << all;   // partial (2) and finished backup (2)
  EXPECT_EQ(count_of(all, "drop-"), 2u) << all;  // only the finished backup
}

// One diagnostics line per session with all fourteen members in order; the
// run log's session entries with --log 3.
TEST_F(BackupTest, DiagnosticsRecordsAndRunLog) {
  std::string logdir = files.dir.make_dir("runlog");
  start({"--log", "3", "--log-path", logdir, "--no-syslog"}, false);
  {
    Conn early;
    ASSERT_EQ(early.connect(port), STATUS_OK);
  }
  ASSERT_EQ(diag_lines(1).size(), 1u);
  {
    Conn a;
    connect(&a);
    ASSERT_EQ(a.block(1, {1, 2, 3}), STATUS_IO) << "BLOCK before BEGIN: no answer";
  }
  ASSERT_EQ(diag_lines(2).size(), 2u);
  {
    Conn a;
    connect(&a);
    ASSERT_EQ(client_begin(&a.c, begin_request("night", BACKUP_INC)), STATUS_OK);
    ASSERT_EQ(a.block(1, {1, 2, 3}), STATUS_OK);
    EndOk ok;
    ASSERT_EQ(client_end(&a.c, &ok), STATUS_OK);
  }
  std::vector<std::string> lines = diag_lines(3);
  ASSERT_EQ(lines.size(), 3u);
  const char* keys[] = {"schema", "record_type", "ts", "backup_name", "backup_type", "final_state",
                        "disconnect_status", "duration_ms", "bytes_received", "frames", "durable_seq",
                        "checkpoint_count", "partial_expired_count", "resumed"};
  for (const std::string& line : lines) {
    size_t pos = 0;
    for (const char* k : keys) {
      size_t at = line.find("\"" + std::string(k) + "\":", pos);
      ASSERT_NE(at, std::string::npos) << k << " in " << line;
      pos = at + 1;
    }
    EXPECT_EQ(line.rfind("{\"schema\":1,\"record_type\":\"target_session\",\"ts\":", 0), 0u) << line;
    EXPECT_EQ(line.back(), '}');
  }
  EXPECT_NE(lines[0].find("\"backup_name\":\"\",\"backup_type\":0,\"final_state\":\"wait_hello\","
                          "\"disconnect_status\":-1,"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find("\"frames\":0,\"durable_seq\":0,\"checkpoint_count\":0,\"partial_expired_count\":0,"
                          "\"resumed\":false}"),
            std::string::npos);
  EXPECT_NE(lines[1].find("\"final_state\":\"wait_begin\",\"disconnect_status\":-8,"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"backup_name\":\"night\",\"backup_type\":2,\"final_state\":\"done\","
                          "\"disconnect_status\":0,"),
            std::string::npos)
      << lines[2];

  std::string runlog = read_text(logdir + "/target.log");
  EXPECT_EQ(count_of(runlog, "] pid="), 3u) << runlog;  // started, and the two session entries
  EXPECT_NE(runlog.find("backup started name=night type=INC\n"), std::string::npos) << runlog;
  EXPECT_NE(runlog.find("backup finished name=night type=INC\n"), std::string::npos) << runlog;
}

// --no-diag writes nothing; a diagnostics directory that is a regular file
// gives one warning per session and changes nothing else.
TEST_F(BackupTest, DiagnosticsSwitchedOffOrBlocked) {
  start({"--no-diag"});
  {
    Conn a;
    connect(&a);
    ASSERT_EQ(client_begin(&a.c, begin_request("db", BACKUP_FULL)), STATUS_OK);
    EndOk ok;
    ASSERT_EQ(client_end(&a.c, &ok), STATUS_OK);
  }
  ASSERT_TRUE(proc.signal(SIGTERM));
  ASSERT_TRUE(proc.wait_exit(kWaitMs));
  EXPECT_FALSE(fs::exists(files.storage + "/diag"));

  std::string blocker = files.dir.sub("blocker");
  ASSERT_TRUE(orv_support::write_text(blocker, "not a directory"));
  start({"--diag-dir", blocker});
  {
    Conn a;
    connect(&a);
    ASSERT_EQ(client_begin(&a.c, begin_request("db2", BACKUP_FULL)), STATUS_OK);
    EndOk ok;
    ASSERT_EQ(client_end(&a.c, &ok), STATUS_OK);
  }
  EXPECT_TRUE(proc.wait_for_log("diag: cannot create " + blocker + ", skipping diagnostics record", kWaitMs));
  EXPECT_EQ(read_text(blocker), "not a directory");
  Conn b;
  connect(&b);
  EXPECT_EQ(client_ping(&b.c), STATUS_OK);
}

// A full disk during BLOCK: the write error is answered and the server goes
// on serving other sessions. Needs a small tmpfs, so root.
TEST_F(BackupTest, DiskFullDuringBlock) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  std::string small = files.dir.make_dir("small");
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m,mode=0777") != 0) GTEST_SKIP() << "cannot mount tmpfs";
  struct Unmount {
    std::string p;
    ~Unmount() { (void)umount2(p.c_str(), MNT_DETACH); }
  } unmount{small};
  ASSERT_EQ(mkdir((small + "/hosts").c_str(), 0777), 0);
  ASSERT_EQ(chmod((small + "/hosts").c_str(), 0777), 0);
  files.storage = small;
  start({"--diag-dir", files.dir.make_dir("diag")});

  Conn a;
  connect(&a);
  ASSERT_EQ(client_begin(&a.c, begin_request("big", BACKUP_FULL)), STATUS_OK);
  std::vector<uint8_t> data = random_bytes(256 * 1024, 3);
  int32_t rc = STATUS_OK;
  int sent = 0;
  for (; sent < 16 && rc == STATUS_OK; ++sent) rc = a.block(static_cast<uint64_t>(sent), data);
  EXPECT_EQ(rc, STATUS_IO);
  EXPECT_LT(sent, 16);
  EXPECT_TRUE(a.c.got_error);
  EXPECT_STREQ(a.c.last_error.text, "failed to write block to the image file");
  EXPECT_TRUE(a.closed_by_peer());

  Conn b;
  connect(&b);
  EXPECT_EQ(client_ping(&b.c), STATUS_OK);
}

}  // namespace
}  // namespace orv
