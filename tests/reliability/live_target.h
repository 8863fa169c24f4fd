// Shared by the tests that run the real orv_target binary and act as an
// agent against it over TLS on the loopback address: starting the server
// (optionally under a wrapper such as strace), killing every process of it
// at once, an agent's source cut into blocks, and a restore through
// FETCH_CHAIN and READ_RANGE compared byte for byte with that source.
//
// Started as root, the binary keeps a privileged parent and serves the
// network from a worker that runs as the service user; the storage tree is
// made writable for it by TargetFiles. Every wait is bounded and processes
// are stopped by their pid only.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "integrity/sha256.h"
#include "protocol/formats.h"
#include "protocol/payloads.h"
#include "support/server_process.h"

namespace orv::live {

inline constexpr const char* kKey = "live-agent-key-0123";
inline constexpr const char* kSubdir = "hosts/h1";
inline constexpr const char* kAclText = "live-agent-key-0123 hosts/**\n";
inline constexpr uint8_t kAgentSha256 = 1;  // agent byte: the tail holds the block's SHA-256

// The direct children of pid (all its threads), read from /proc.
inline std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> out;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
    std::istringstream in(orv_support::read_text(t.path().string() + "/children"));
    long child = 0;
    while (in >> child) out.push_back(static_cast<pid_t>(child));
  }
  return out;
}

// pid and everything below it, parents before children.
inline std::vector<pid_t> process_tree(pid_t pid) {
  std::vector<pid_t> out{pid};
  for (size_t i = 0; i < out.size() && out.size() < 64; ++i) {
    for (pid_t c : children_of(out[i])) out.push_back(c);
  }
  return out;
}

// True once pid is gone or a zombie (nobody of ours may be left to reap it).
inline bool wait_gone(pid_t pid, int timeout_ms) {
  auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (kill(pid, 0) != 0) return true;
    std::string stat = orv_support::read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (stat.empty() || (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z')) return true;
    if (orv_support::Clock::now() >= deadline) return false;
    orv_support::sleep_ms(2);
  }
}

// The real binary on 127.0.0.1, restartable on the same port.
class LiveTarget {
 public:
  explicit LiveTarget(const orv_support::TargetFiles& files) : files_(files) {}
  LiveTarget(const LiveTarget&) = delete;
  LiveTarget& operator=(const LiveTarget&) = delete;
  ~LiveTarget() { kill_all(); }

  // Starts the binary with the common options and extra. wrapper, when not
  // empty, is run instead with the binary's command line appended (its
  // first element is the program). keep_port restarts on the port of the
  // last start (waiting a little for it to come free); otherwise a port is
  // chosen and changed on a clash. True once the server listens.
  bool start(const std::vector<std::string>& extra, const std::vector<std::string>& wrapper = {},
             bool keep_port = false) {
    wrapped_ = !wrapper.empty();
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (!keep_port || port_ == 0) port_ = orv_support::pick_port();
      std::vector<std::string> cmd = wrapper;
      for (const std::string& a : {std::string(ORV_TARGET_BIN), std::string("--storage"), files_.storage,
                                   std::string("--tls-cert"), files_.cert, std::string("--tls-key"), files_.key,
                                   std::string("--acl-file"), files_.acl, std::string("--bind"),
                                   std::string("127.0.0.1"), std::string("--port"), std::to_string(port_),
                                   std::string("--no-log"), std::string("--no-syslog"), std::string("--no-diag")}) {
        cmd.push_back(a);
      }
      cmd.insert(cmd.end(), extra.begin(), extra.end());
      log_path_ = files_.dir.sub("live-" + std::to_string(++starts_) + ".log");
      logs_.push_back(log_path_);
      // A privileged socket directory of its own, so that parallel tests
      // never share one.
      setenv("ORV_TARGET_PRIV_SOCK_DIR", files_.dir.sub("run").c_str(), 1);
      std::vector<std::string> args(cmd.begin() + 1, cmd.end());
      bool started = process_.start(cmd[0], args, log_path_);
      unsetenv("ORV_TARGET_PRIV_SOCK_DIR");
      if (!started) return false;
      if (process_.wait_for_log("listening on", 30000) && process_.running()) return true;
      bool clash = process_.log().find("cannot bind") != std::string::npos;
      kill_all();
      if (!clash) return false;
      if (keep_port) orv_support::sleep_ms(50);
    }
    return false;
  }

  uint16_t port() const { return port_; }
  bool running() { return process_.running(); }

  // The server's own first process: the binary itself, or the wrapper's child.
  pid_t server_pid() {
    if (!wrapped_) return process_.pid();
    std::vector<pid_t> c = children_of(process_.pid());
    return c.empty() ? -1 : c[0];
  }

  // SIGKILL to every process of the server at once (the privileged parent
  // and the worker, and a wrapper), then waits until all are gone. True
  // when every one went within the time.
  bool kill_all() {
    if (process_.pid() <= 0 || !process_.running()) return true;
    std::vector<pid_t> tree = process_tree(process_.pid());
    for (pid_t p : tree) (void)kill(p, SIGKILL);
    bool ok = process_.wait_exit(20000);
    for (size_t i = 1; i < tree.size(); ++i) ok = wait_gone(tree[i], 20000) && ok;
    return ok;
  }

  // SIGTERM to the server (not to a wrapper, which ends with it); true when
  // everything ended within timeout_ms.
  bool stop(int timeout_ms) {
    if (process_.pid() <= 0 || !process_.running()) return true;
    pid_t s = server_pid();
    if (s > 0) (void)kill(s, SIGTERM);
    if (process_.wait_exit(timeout_ms)) return true;
    kill_all();
    return false;
  }

  // Every log of every start, for failure messages and sanitizer checks.
  std::string logs() const {
    std::string all;
    for (const std::string& p : logs_) all += "---- " + p + "\n" + orv_support::read_text(p);
    return all;
  }

 private:
  const orv_support::TargetFiles& files_;
  orv_support::ChildProcess process_;
  bool wrapped_ = false;
  uint16_t port_ = 0;
  int starts_ = 0;
  std::string log_path_;
  std::vector<std::string> logs_;
};

// What an agent backs up: bytes cut into blocks of one size (the last one
// may be shorter). An all-zero block is sent without data.
struct Source {
  uint32_t block_size = 0;
  std::vector<uint8_t> bytes;

  uint64_t blocks() const { return (bytes.size() + block_size - 1) / block_size; }
  std::span<const uint8_t> block(uint64_t i) const {
    size_t off = static_cast<size_t>(i) * block_size;
    size_t len = bytes.size() - off < block_size ? bytes.size() - off : block_size;
    return std::span<const uint8_t>(bytes.data() + off, len);
  }
  bool zero(uint64_t i) const {
    for (uint8_t b : block(i)) {
      if (b != 0) return false;
    }
    return true;
  }
  // Random contents of n blocks, about one in zero_every of them all zero
  // (0: none), and a last block cut short by up to cut bytes.
  void fill(std::mt19937* rng, uint32_t size, uint64_t n, uint32_t zero_every, uint32_t cut) {
    block_size = size;
    bytes.assign(static_cast<size_t>(n) * size - (cut > 0 ? (*rng)() % cut : 0), 0);
    for (uint64_t i = 0; i < blocks(); ++i) {
      if (zero_every != 0 && (*rng)() % zero_every == 0) continue;
      rewrite(rng, i);
    }
  }
  // New random contents for block i (never all zero).
  void rewrite(std::mt19937* rng, uint64_t i) {
    size_t off = static_cast<size_t>(i) * block_size;
    size_t len = block(i).size();
    for (size_t k = 0; k < len; ++k) bytes[off + k] = static_cast<uint8_t>((*rng)());
    bytes[off] |= 1;
  }
};

// The BLOCK an agent sends for block i of src: key i, the source length in
// the agent u32 and its SHA-256 in the agent tail; no data when all zero.
inline BlockHeader block_header(const Source& src, uint64_t i, std::span<const uint8_t>* data) {
  BlockHeader h;
  std::span<const uint8_t> b = src.block(i);
  h.key = i;
  h.agent_u32 = static_cast<uint32_t>(b.size());
  h.agent_u8 = kAgentSha256;
  sha256(b.data(), b.size(), h.agent_tail);
  if (src.zero(i)) {
    h.flags = ENTRY_FLAG_NO_DATA;
    *data = {};
  } else {
    *data = b;
  }
  h.data_length = static_cast<uint32_t>(data->size());
  return h;
}

// True when entry e describes block e.key of src as block_header sends it.
inline bool entry_matches(const Source& src, const CatalogEntryFields& e) {
  if (e.key >= src.blocks() || (e.flags & ENTRY_FLAG_DROPPED) != 0) return false;
  std::span<const uint8_t> data;
  BlockHeader h = block_header(src, e.key, &data);
  return e.agent_u32 == h.agent_u32 && e.agent_byte == h.agent_u8 &&
         memcmp(e.agent_tail, h.agent_tail, sizeof h.agent_tail) == 0 && e.flags == h.flags &&
         e.length == h.data_length && (h.data_length != 0 || e.offset == ENTRY_NO_OFFSET);
}

// Gathers the entries of an entry stream (CHAIN_ENTRIES, CONTINUE_ENTRIES).
inline int32_t collect_entries(void* context, uint16_t type, std::span<const uint8_t> payload) {
  auto* out = static_cast<std::vector<CatalogEntryFields>*>(context);
  if (type == MSG_CHAIN_HEADER) return STATUS_OK;
  size_t count = 0;
  if (decode_entry_frame(payload, &count) != STATUS_OK) return STATUS_PROTOCOL;
  for (size_t i = 0; i < count; ++i) out->push_back(decode_catalog_entry(payload.subspan(i * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE)));
  return STATUS_OK;
}

// One agent connection.
struct AgentConn {
  Client c;
  bool open = false;
  uint32_t flags = FLAG_CONTINUE;
  AgentConn() = default;
  AgentConn(const AgentConn&) = delete;
  AgentConn& operator=(const AgentConn&) = delete;
  ~AgentConn() { close(); }

  // TLS connection and HELLO with the agent flags (by default an agent
  // that continues backups).
  int32_t connect(uint16_t port, uint32_t agent_flags = FLAG_CONTINUE, uint32_t timeout_ms = 20000) {
    close();
    flags = agent_flags;
    ClientOptions o;
    o.timeout_ms = timeout_ms;
    int32_t rc = client_connect(&c, "127.0.0.1", port, o);
    if (rc != STATUS_OK) return rc;
    open = true;
    HelloReply reply;
    return client_hello(&c, kKey, true, flags, &reply);
  }
  void close() {
    if (open) client_close(&c);
    open = false;
  }
  int32_t begin(const Uuid& uuid, const char* name, const Source& src) {
    BeginRequest r;
    r.uuid = uuid;
    r.chain_uuid = uuid;
    r.type = BACKUP_FULL;
    r.block_size = src.block_size;
    r.source_size = src.bytes.size();
    snprintf(r.target_name, sizeof r.target_name, "%s", name);
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    return client_begin(&c, r);
  }
  int32_t block(const Source& src, uint64_t i, uint64_t* durable_seq) {
    std::span<const uint8_t> data;
    BlockHeader h = block_header(src, i, &data);
    bool has_seq = false;
    uint64_t seq = 0;
    int32_t rc = client_block(&c, h, data, &has_seq, &seq);
    // An agent that continues backups gets durable_seq in every ACK, others never.
    if (rc == STATUS_OK && has_seq != ((flags & FLAG_CONTINUE) != 0)) return STATUS_PROTOCOL;
    if (durable_seq != nullptr) *durable_seq = seq;
    return rc;
  }
  int32_t query(const char* name, PartialInfo* info) {
    QueryPartialRequest r;
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    snprintf(r.target_name, sizeof r.target_name, "%s", name);
    r.type = BACKUP_FULL;
    return client_query_partial(&c, r, info);
  }
  int32_t continue_backup(const Uuid& uuid, ContinueOk* ok, std::vector<CatalogEntryFields>* entries) {
    SubdirUuidRequest r;
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    r.uuid = uuid;
    entries->clear();
    return client_continue(&c, r, ok, collect_entries, entries);
  }
  int32_t discard(const Uuid& uuid) {
    SubdirUuidRequest r;
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    r.uuid = uuid;
    return client_discard_partial(&c, r);
  }
  int32_t fetch_chain(const Uuid& uuid, std::vector<CatalogEntryFields>* entries) {
    SubdirUuidRequest r;
    snprintf(r.target_subdir, sizeof r.target_subdir, "%s", kSubdir);
    r.uuid = uuid;
    entries->clear();
    return client_fetch_chain(&c, r, collect_entries, entries);
  }
};

// Restores backup uuid (a FULL) the way an agent does and compares it with
// src byte for byte. Empty when equal; otherwise what differs.
inline std::string restore_differences(uint16_t port, const Uuid& uuid, const Source& src) {
  AgentConn conn;
  int32_t rc = conn.connect(port);
  if (rc != STATUS_OK) return "restore: connect failed: " + std::to_string(rc);
  std::vector<CatalogEntryFields> entries;
  rc = conn.fetch_chain(uuid, &entries);
  if (rc != STATUS_OK) return "restore: FETCH_CHAIN failed: " + std::to_string(rc);
  std::vector<uint8_t> out(src.bytes.size(), 0xA5);
  std::vector<uint8_t> seen(src.blocks(), 0);
  for (const CatalogEntryFields& e : entries) {
    if (e.key >= src.blocks()) return "restore: entry for unknown block " + std::to_string(e.key);
    if (seen[e.key] != 0) return "restore: block stored twice: " + std::to_string(e.key);
    seen[e.key] = 1;
    if (!entry_matches(src, e)) return "restore: entry of block " + std::to_string(e.key) + " does not match";
    size_t at = static_cast<size_t>(e.key) * src.block_size;
    size_t len = src.block(e.key).size();
    if ((e.flags & ENTRY_FLAG_NO_DATA) != 0) {
      memset(out.data() + at, 0, len);
      continue;
    }
    std::span<const uint8_t> bytes;
    rc = client_read_range(&conn.c, RangeRequest{0, e.length, e.offset}, &bytes);
    if (rc != STATUS_OK || bytes.size() != len) {
      return "restore: READ_RANGE of block " + std::to_string(e.key) + " failed: " + std::to_string(rc);
    }
    memcpy(out.data() + at, bytes.data(), len);
  }
  for (uint64_t i = 0; i < src.blocks(); ++i) {
    if (seen[i] == 0) return "restore: block " + std::to_string(i) + " is missing";
  }
  if (out != src.bytes) return "restore: restored bytes differ from the source";
  return "";
}

}  // namespace orv::live
