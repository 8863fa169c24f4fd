// The real orv_target binary against peers that misbehave on purpose: big
// frames and trickled bytes before authentication, too many connections,
// readers that stop reading, wrong keys, names made to forge log lines, weak
// TLS clients and configurations, certificates out of their validity, and
// signals during start-up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "core/endian.h"
#include "core/status.h"
#include "core/text.h"
#include "integrity/crc32c.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "support/json_check.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::Clock;
using orv_support::count_of;
using orv_support::TargetFiles;
using orv_support::TargetServer;

constexpr const char* kKey = "key-alpha-0123456789";
constexpr const char* kKeyB = "key-bravo-9876543210";
constexpr int kWaitMs = 15000;

int64_t ms_since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

struct Conn {
  Client c;
  bool open = false;
  ~Conn() { close(); }
  int32_t connect(uint16_t port, uint32_t timeout_ms = 15000) {
    ClientOptions o;
    o.timeout_ms = timeout_ms;
    int32_t rc = client_connect(&c, "127.0.0.1", port, o);
    open = rc == STATUS_OK;
    return rc;
  }
  void close() {
    if (open) client_close(&c);
    open = false;
  }
  int32_t hello(const char* key) {
    HelloReply reply;
    return client_hello(&c, key, true, FLAG_CONTINUE, &reply);
  }
  bool closed_by_peer() {
    std::span<const uint8_t> payload;
    return client_receive(&c, &payload) == STATUS_IO;
  }
};

// A plain TCP connection from the given loopback address (bound before the
// connect), with a receive time-out; -1 on failure.
int connect_raw(uint16_t port, const char* from = nullptr, int timeout_sec = 10) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  if (from != nullptr) {
    inet_pton(AF_INET, from, &addr.sin_addr);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
  }
  addr.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  struct timeval tv = {timeout_sec, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the server closes fd (read gives 0 or a reset) before the
// socket's receive time-out.
bool raw_closed_by_server(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r == 0) return true;
    if (r < 0) return errno == ECONNRESET;
  }
}

std::vector<uint8_t> frame_header(uint16_t type, uint32_t length) {
  std::vector<uint8_t> h(FRAME_HEADER_SIZE);
  std::span<uint8_t> b(h);
  memcpy(h.data(), "ORVT", 4);
  put_u16_le(b, FRAME_VERSION_OFF, PROTOCOL_VERSION);
  put_u16_le(b, FRAME_TYPE_OFF, type);
  put_u32_le(b, FRAME_LENGTH_OFF, length);
  put_u32_le(b, FRAME_CRC_OFF, 0);
  return h;
}

// Resident set of a process in KiB, from /proc; 0 when it cannot be read.
long resident_kib(pid_t pid) {
  std::string status = orv_support::read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : strtol(status.c_str() + at + 6, nullptr, 10);
}

// The process that serves connections: the worker named in the parent's log
// line when the server runs as root, else the process itself.
pid_t serving_pid(TargetServer& server) {
  std::string log = server.process.log();
  size_t at = log.find("forked unprivileged worker pid=");
  if (at == std::string::npos) return server.process.pid();
  return static_cast<pid_t>(strtol(log.c_str() + at + 31, nullptr, 10));
}

// A self-signed P-256 certificate for localhost valid from now+from_sec to
// now+to_sec, written with its key. True on success.
bool make_cert_valid(const std::string& cert_path, const std::string& key_path, long from_sec, long to_sec) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  bool ok = key != nullptr && x != nullptr;
  if (ok) {
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), from_sec);
    X509_gmtime_adj(X509_getm_notAfter(x), to_sec);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                               -1, 0);
    X509_set_issuer_name(x, name);
    ok = X509_sign(x, key, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* c = fopen(cert_path.c_str(), "w");
    FILE* k = fopen(key_path.c_str(), "w");
    ok = c != nullptr && k != nullptr && PEM_write_X509(c, x) == 1 &&
         PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (c != nullptr) fclose(c);
    if (k != nullptr) fclose(k);
    ok = ok && chmod(cert_path.c_str(), 0644) == 0 && chmod(key_path.c_str(), 0644) == 0;
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return ok;
}

class HostilePeerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(files.create(std::string(kKey) + " **\n" + kKeyB + " **\n")); }
  void start(const std::vector<std::string>& extra = {}) {
    ASSERT_TRUE(server.start(ORV_TARGET_BIN, extra)) << server.process.log();
  }
  uint16_t port() const { return server.port(); }
  std::string log() const { return server.process.log(); }
  bool wait_log(const std::string& text, int ms = kWaitMs, size_t n = 1) {
    return server.process.wait_for_log(text, ms, n);
  }

  TargetFiles files;
  TargetServer server{files};
};

// ---- before authentication ----------------------------------------------------------------

TEST_F(HostilePeerTest, LargeFrameBeforeHelloClosesWithoutReadingItsPayload) {
  server.diag = true;
  start();
  pid_t worker = serving_pid(server);
  long rss_before = resident_kib(worker);
  // Each announces a full 8 MiB PING and sends it; the target must close
  // after the header and never hold such a buffer for a stranger.
  constexpr int kPeers = 16;
  std::vector<std::unique_ptr<Conn>> peers;
  std::vector<uint8_t> payload(FRAME_MAX_PAYLOAD, 0x5A);
  for (int i = 0; i < kPeers; ++i) {
    auto c = std::make_unique<Conn>();
    ASSERT_EQ(c->connect(port()), STATUS_OK);
    std::vector<uint8_t> h = frame_header(MSG_PING, FRAME_MAX_PAYLOAD);
    ASSERT_EQ(send_all(&c->c.channel, h.data(), h.size()), STATUS_OK);
    (void)send_all(&c->c.channel, payload.data(), payload.size());  // fails once the target has closed
    peers.push_back(std::move(c));
  }
  for (auto& c : peers) EXPECT_TRUE(c->closed_by_peer());
  EXPECT_TRUE(wait_log("frame of 8388608 bytes before authentication: closing connection", kWaitMs, kPeers)) << log();
  EXPECT_TRUE(wait_log("connection closed/errored while awaiting frame: protocol error (status=-8)", kWaitMs, kPeers));
  long rss_after = resident_kib(worker);
  EXPECT_LT(rss_after - rss_before, 64 * 1024) << rss_before << " -> " << rss_after << " KiB";

  // A frame of exactly 4096 bytes is still served before HELLO.
  Conn ok;
  ASSERT_EQ(ok.connect(port()), STATUS_OK);
  std::vector<uint8_t> small(4096, 1);
  ASSERT_EQ(client_send(&ok.c, MSG_PING, small), STATUS_OK);
  std::span<const uint8_t> pong;
  EXPECT_EQ(client_expect(&ok.c, MSG_PONG, &pong), STATUS_OK);
  EXPECT_EQ(ok.hello(kKey), STATUS_OK);

  std::string records = orv_support::read_text(files.storage + "/diag/diag.jsonl");
  EXPECT_GE(count_of(records, "\"final_state\":\"wait_hello\",\"disconnect_status\":-8"),
            static_cast<size_t>(kPeers))
      << records;
}

TEST_F(HostilePeerTest, AuthenticationDeadlineCutsTricklingAndIdlePeersAtThirtySeconds) {
  start();
  auto t0 = Clock::now();
  // 1: a TLS record header, then one byte every two seconds; no read ever
  // waits 30 s, so only a deadline ends it.
  std::atomic<int64_t> trickle_ms{-1};
  std::thread trickler([&] {
    int fd = connect_raw(port(), nullptr, 50);
    if (fd < 0) return;
    const uint8_t head[] = {0x16, 0x03, 0x01, 0x02, 0x00};
    bool closed = false;
    for (size_t i = 0; i < 40 && !closed; ++i) {
      uint8_t b = i < sizeof head ? head[i] : 0;
      if (send(fd, &b, 1, MSG_NOSIGNAL) != 1) closed = true;
      char c;
      ssize_t r = recv(fd, &c, 1, MSG_DONTWAIT);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
      if (!closed) orv_support::sleep_ms(2000);
    }
    if (closed || raw_closed_by_server(fd)) trickle_ms = ms_since(t0);
    ::close(fd);
  });
  // 2: completes the handshake and pings every two seconds without HELLO.
  Conn idle;
  ASSERT_EQ(idle.connect(port(), 50000), STATUS_OK);
  int64_t pinger_ms = -1;
  for (int i = 0; i < 40; ++i) {
    if (client_ping(&idle.c) != STATUS_OK) {
      pinger_ms = ms_since(t0);
      break;
    }
    orv_support::sleep_ms(2000);
  }
  trickler.join();
  EXPECT_GE(pinger_ms, 28000);
  EXPECT_LE(pinger_ms, 40000);
  EXPECT_GE(trickle_ms.load(), 28000);
  EXPECT_LE(trickle_ms.load(), 40000);
  EXPECT_EQ(count_of(log(), "no authentication within 30 s: closing connection"), 2u) << log();

  // An authenticated peer is never cut: it idles past the deadline.
  Conn agent;
  ASSERT_EQ(agent.connect(port()), STATUS_OK);
  ASSERT_EQ(agent.hello(kKey), STATUS_OK);
  orv_support::sleep_ms(31000);
  EXPECT_EQ(client_ping(&agent.c), STATUS_OK);
  EXPECT_EQ(count_of(log(), "no authentication within 30 s"), 2u);
}

// ---- connection limits --------------------------------------------------------------------

TEST_F(HostilePeerTest, ConnectionsOverTheLimitsAreClosedWithRateLimitedWarnings) {
  start({"--max-connections", "4", "--max-connections-per-address", "2"});
  Conn a1, a2;
  ASSERT_EQ(a1.connect(port()), STATUS_OK);
  ASSERT_EQ(a2.connect(port()), STATUS_OK);
  ASSERT_EQ(a1.hello(kKey), STATUS_OK);
  ASSERT_EQ(a2.hello(kKey), STATUS_OK);

  // A third from 127.0.0.1 is closed at once.
  int fd = connect_raw(port(), "127.0.0.1");
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(raw_closed_by_server(fd));
  ::close(fd);
  EXPECT_TRUE(wait_log("connection limit per address reached: closing connection from 127.0.0.1:")) << log();
  EXPECT_NE(log().find("(1 refused since the last warning)"), std::string::npos) << log();

  // Other addresses fill the total limit; the fifth connection is refused.
  int b1 = connect_raw(port(), "127.0.0.2");
  int b2 = connect_raw(port(), "127.0.0.3");
  ASSERT_GE(b1, 0);
  ASSERT_GE(b2, 0);
  ASSERT_TRUE(wait_log("connection from 127.0.0.3:"));
  for (int i = 0; i < 5; ++i) {
    int extra = connect_raw(port(), "127.0.0.4");
    ASSERT_GE(extra, 0);
    EXPECT_TRUE(raw_closed_by_server(extra));
    ::close(extra);
  }
  EXPECT_TRUE(wait_log("connection limit reached: closing connection from 127.0.0.4:"));
  // Five refusals within a second give one warning; the next one after a
  // second reports the ones in between.
  orv_support::sleep_ms(1100);
  int late = connect_raw(port(), "127.0.0.4");
  EXPECT_TRUE(raw_closed_by_server(late));
  ::close(late);
  EXPECT_TRUE(wait_log("connection limit reached: closing connection from 127.0.0.4:", kWaitMs, 2));
  EXPECT_NE(log().find("(5 refused since the last warning)"), std::string::npos) << log();
  EXPECT_EQ(count_of(log(), "connection limit reached"), 2u);

  // Served connections are unaffected, and a freed slot is usable again.
  EXPECT_EQ(client_ping(&a1.c), STATUS_OK);
  a2.close();
  ::close(b1);
  ::close(b2);
  orv_support::sleep_ms(300);
  Conn again;
  ASSERT_EQ(again.connect(port()), STATUS_OK);
  EXPECT_EQ(again.hello(kKey), STATUS_OK);
}

TEST_F(HostilePeerTest, RunningOutOfDescriptorsIsLoggedAndAnswered) {
  // The hard limit keeps the target from raising its soft limit.
  server.prefix = {"/usr/bin/prlimit", "--nofile=48:48", "--"};
  start();
  std::vector<int> held;
  bool refused = false;
  for (int i = 0; i < 60 && !refused; ++i) {
    int fd = connect_raw(port(), nullptr, 5);
    ASSERT_GE(fd, 0);
    // A refused connection is closed at once; a served one waits for its
    // handshake.
    char c;
    struct timeval tv = {0, 300000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t r = read(fd, &c, 1);
    if (r == 0 || (r < 0 && errno == ECONNRESET)) {
      refused = true;
      ::close(fd);
    } else {
      held.push_back(fd);
    }
  }
  EXPECT_TRUE(refused);
  EXPECT_TRUE(wait_log("cannot accept a connection: Too many open files (1 refused since the last warning)")) << log();
  for (int fd : held) ::close(fd);
  orv_support::sleep_ms(500);
  Conn after;
  ASSERT_EQ(after.connect(port()), STATUS_OK);
  EXPECT_EQ(after.hello(kKey), STATUS_OK);
}

// ---- a reader that stops reading ----------------------------------------------------------

TEST_F(HostilePeerTest, ReplyNotTakenWithinTwoMinutesEndsTheSession) {
  start();
  // A finished backup of 8 MiB to read back.
  Conn w;
  ASSERT_EQ(w.connect(port()), STATUS_OK);
  ASSERT_EQ(w.hello(kKey), STATUS_OK);
  BeginRequest begin;
  begin.uuid.bytes[0] = 7;
  begin.chain_uuid = begin.uuid;
  begin.block_size = 4u << 20;
  begin.source_size = 8u << 20;
  copy_text(begin.target_name, sizeof begin.target_name, "big");
  copy_text(begin.target_subdir, sizeof begin.target_subdir, "vol");
  ASSERT_EQ(mkdir((files.storage + "/vol").c_str(), 0777), 0);
  ASSERT_EQ(chmod((files.storage + "/vol").c_str(), 0777), 0);
  ASSERT_EQ(client_begin(&w.c, begin), STATUS_OK);
  std::vector<uint8_t> data(4u << 20, 0xA5);
  for (uint64_t key = 0; key < 2; ++key) {
    BlockHeader block;
    block.key = key;
    block.data_length = static_cast<uint32_t>(data.size());
    bool has_seq = false;
    uint64_t seq = 0;
    ASSERT_EQ(client_block(&w.c, block, data, &has_seq, &seq), STATUS_OK);
  }
  EndOk end;
  ASSERT_EQ(client_end(&w.c, &end), STATUS_OK);

  Conn r;
  ASSERT_EQ(r.connect(port()), STATUS_OK);
  ASSERT_EQ(r.hello(kKey), STATUS_OK);
  SubdirUuidRequest fetch;
  copy_text(fetch.target_subdir, sizeof fetch.target_subdir, "vol");
  fetch.uuid = begin.uuid;
  ASSERT_EQ(client_fetch_chain(&r.c, fetch, [](void*, uint16_t, std::span<const uint8_t>) { return STATUS_OK; },
                               nullptr),
            STATUS_OK);
  // Eight full ranges asked for and never read: far more than the socket
  // buffers hold, even with the receive buffer grown to its largest.
  int small_buffer = 64 * 1024;
  setsockopt(r.c.channel.fd, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
  uint8_t req[READ_RANGE_SIZE];
  RangeRequest range;
  range.length = 8388544;
  size_t n = encode_read_range(range, req);
  auto t0 = Clock::now();
  for (int i = 0; i < 8; ++i) ASSERT_EQ(client_send(&r.c, MSG_READ_RANGE, std::span<const uint8_t>(req, n)), STATUS_OK);
  EXPECT_TRUE(wait_log("session error handling msg_type=18: I/O error (status=-1) from 127.0.0.1:", 180000)) << log();
  int64_t ms = ms_since(t0);
  EXPECT_GE(ms, 110000);
  EXPECT_LE(ms, 170000);
}

// ---- memory budget and partial locks ------------------------------------------------------

// Opens a backup of `name` (uuid byte `id`) in subdir on an authenticated
// connection that takes part in continuation.
int32_t begin_backup(Conn* c, const char* subdir, const char* name, uint8_t id) {
  BeginRequest begin;
  begin.uuid.bytes[0] = id;
  begin.uuid.bytes[1] = 0xB5;
  begin.chain_uuid = begin.uuid;
  begin.block_size = 4096;
  copy_text(begin.target_name, sizeof begin.target_name, name);
  copy_text(begin.target_subdir, sizeof begin.target_subdir, subdir);
  return client_begin(&c->c, begin);
}

// `count` blocks without data, keys first..first+count-1; returns how many
// were acknowledged.
uint64_t send_empty_blocks(Conn* c, uint64_t first, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    BlockHeader block;
    block.key = first + i;
    block.flags = 1;  // no data
    bool has_seq = false;
    uint64_t seq = 0;
    if (client_block(&c->c, block, {}, &has_seq, &seq) != STATUS_OK) return i;
  }
  return count;
}

SubdirUuidRequest subdir_uuid(const char* subdir, uint8_t id) {
  SubdirUuidRequest r;
  copy_text(r.target_subdir, sizeof r.target_subdir, subdir);
  r.uuid.bytes[0] = id;
  r.uuid.bytes[1] = 0xB5;
  return r;
}

int32_t ignore_frames(void*, uint16_t, std::span<const uint8_t>) { return STATUS_OK; }

TEST_F(HostilePeerTest, MemoryBudgetBoundsEntryTablesOfAllSessions) {
  // 1 MiB: 16,384 entries (950,272 bytes) fit, the next doubling does not.
  start({"--memory-budget", "1M"});
  // A finished backup of 2,000 entries (116,000 bytes) to fetch later.
  {
    Conn w;
    ASSERT_EQ(w.connect(port()), STATUS_OK);
    ASSERT_EQ(w.hello(kKey), STATUS_OK);
    ASSERT_EQ(begin_backup(&w, "vol", "small", 1), STATUS_OK);
    ASSERT_EQ(send_empty_blocks(&w, 0, 2000), 2000u);
    EndOk end;
    ASSERT_EQ(client_end(&w.c, &end), STATUS_OK);
  }
  // A backup whose table would pass the budget ends as on an allocation
  // failure; what it had stays a partial that can be continued.
  {
    Conn big;
    ASSERT_EQ(big.connect(port()), STATUS_OK);
    ASSERT_EQ(big.hello(kKey), STATUS_OK);
    ASSERT_EQ(begin_backup(&big, "vol", "big", 2), STATUS_OK);
    EXPECT_EQ(send_empty_blocks(&big, 0, 20000), 16384u);
  }
  EXPECT_TRUE(wait_log("session error handling msg_type=5: out of memory (status=-2) from 127.0.0.1:")) << log();
  Conn resumed;
  ASSERT_EQ(resumed.connect(port()), STATUS_OK);
  ASSERT_EQ(resumed.hello(kKey), STATUS_OK);
  ContinueOk ok;
  ASSERT_EQ(client_continue(&resumed.c, subdir_uuid("vol", 2), &ok, ignore_frames, nullptr), STATUS_OK) << log();
  EXPECT_EQ(ok.entry_count, 16384u);

  // While the continued table holds most of the budget, a chain fetch whose
  // tables do not fit is refused the same way instead of pinning memory.
  Conn reader;
  ASSERT_EQ(reader.connect(port()), STATUS_OK);
  ASSERT_EQ(reader.hello(kKeyB), STATUS_OK);
  EXPECT_NE(client_fetch_chain(&reader.c, subdir_uuid("vol", 1), ignore_frames, nullptr), STATUS_OK);
  EXPECT_TRUE(reader.c.got_error);
  EXPECT_EQ(reader.c.last_error.status, STATUS_NOMEM);
  EXPECT_STREQ(reader.c.last_error.text, "failed to load chain");

  // Once the continued backup's session is gone, the same fetch is served.
  resumed.close();
  ASSERT_TRUE(wait_log("connection closed/errored while awaiting frame", kWaitMs, 1));
  orv_support::sleep_ms(300);
  Conn later;
  ASSERT_EQ(later.connect(port()), STATUS_OK);
  ASSERT_EQ(later.hello(kKeyB), STATUS_OK);
  EXPECT_EQ(client_fetch_chain(&later.c, subdir_uuid("vol", 1), ignore_frames, nullptr), STATUS_OK) << log();
}

TEST_F(HostilePeerTest, OneKeyCannotTakeThePartialLocksOfOthers) {
  // More open backups from one key and one address than the table used to
  // hold locks in all.
  constexpr int kHogs = 260;
  start({"--max-connections-per-address", "300"});
  std::vector<std::unique_ptr<Conn>> hogs;
  for (int i = 0; i < kHogs; ++i) {
    auto c = std::make_unique<Conn>();
    ASSERT_EQ(c->connect(port()), STATUS_OK) << i;
    ASSERT_EQ(c->hello(kKey), STATUS_OK) << i;
    ASSERT_EQ(begin_backup(c.get(), "hog", ("hog" + std::to_string(i)).c_str(), static_cast<uint8_t>(i)), STATUS_OK)
        << i;
    hogs.push_back(std::move(c));
  }
  // Another key's backup still journals, so it can be continued.
  {
    Conn other;
    ASSERT_EQ(other.connect(port()), STATUS_OK);
    ASSERT_EQ(other.hello(kKeyB), STATUS_OK);
    ASSERT_EQ(begin_backup(&other, "other", "tenant", 7), STATUS_OK);
    ASSERT_EQ(send_empty_blocks(&other, 0, 10), 10u);
  }
  EXPECT_EQ(log().find("no journal for"), std::string::npos) << log();
  Conn again;
  ASSERT_EQ(again.connect(port()), STATUS_OK);
  ASSERT_EQ(again.hello(kKeyB), STATUS_OK);
  ContinueOk ok;
  EXPECT_EQ(client_continue(&again.c, subdir_uuid("other", 7), &ok, ignore_frames, nullptr), STATUS_OK)
      << again.c.last_error.text;
  EXPECT_EQ(ok.entry_count, 10u);
}

// ---- keys and the peer's address ----------------------------------------------------------

TEST_F(HostilePeerTest, PeerAddressIsLoggedAndRefusedKeysWaitWithoutBlockingOthers) {
  start();
  int raw = connect_raw(port());
  ASSERT_GE(raw, 0);
  ASSERT_EQ(write(raw, "GET / HTTP/1.0\r\n\r\n", 18), 18);
  EXPECT_TRUE(raw_closed_by_server(raw));
  ::close(raw);
  EXPECT_TRUE(wait_log("TLS handshake failed: protocol error (status=-8) from 127.0.0.1:")) << log();

  Conn wrong;
  ASSERT_EQ(wrong.connect(port()), STATUS_OK);
  std::atomic<int64_t> refused_ms{-1};
  auto t0 = Clock::now();
  std::thread guesser([&] {
    HelloReply reply;
    (void)client_hello(&wrong.c, "not-a-key", true, 0, &reply);
    refused_ms = ms_since(t0);
  });
  // Meanwhile another agent authenticates without waiting.
  orv_support::sleep_ms(100);
  Conn right;
  ASSERT_EQ(right.connect(port()), STATUS_OK);
  ASSERT_EQ(right.hello(kKeyB), STATUS_OK);
  EXPECT_EQ(refused_ms.load(), -1) << "answered before the other agent";
  guesser.join();
  EXPECT_GE(refused_ms.load(), 950);
  EXPECT_TRUE(wrong.c.got_error);
  EXPECT_TRUE(wait_log("session error handling msg_type=1: invalid argument or request (status=-3) from 127.0.0.1:"));
  EXPECT_GE(count_of(log(), "INFO  connection from 127.0.0.1:"), 3u) << log();
}

// ---- text from peers in the logs ----------------------------------------------------------

TEST_F(HostilePeerTest, NamesCannotForgeLogLinesOrBreakDiagnosticsRecords) {
  server.diag = true;
  server.run_log = true;
  std::string logdir = files.dir.make_dir("runlog");
  start({"--log-path", logdir, "--log", "3"});
  const std::string evil = std::string("x\n2026-01-01T00:00:00Z [orv_target] pid=1 stopped exit=0\x1b[2J\xff\xc3");
  Conn a;
  ASSERT_EQ(a.connect(port()), STATUS_OK);
  ASSERT_EQ(a.hello(kKey), STATUS_OK);
  ASSERT_EQ(mkdir((files.storage + "/vol").c_str(), 0777), 0);
  ASSERT_EQ(chmod((files.storage + "/vol").c_str(), 0777), 0);
  BeginRequest begin;
  begin.uuid.bytes[0] = 9;
  begin.chain_uuid = begin.uuid;
  begin.block_size = 4096;
  copy_text(begin.target_name, sizeof begin.target_name, evil);
  copy_text(begin.target_subdir, sizeof begin.target_subdir, "vol");
  ASSERT_EQ(client_begin(&a.c, begin), STATUS_OK);
  a.close();  // interrupted: the session ends with a record
  ASSERT_TRUE(wait_log("connection closed/errored while awaiting frame"));

  // A parent search in a "directory" that is a file fails and logs the name.
  ASSERT_TRUE(orv_support::write_text(files.storage + "/afile", "x"));
  Conn f;
  ASSERT_EQ(f.connect(port()), STATUS_OK);
  ASSERT_EQ(f.hello(kKey), STATUS_OK);
  FindParentRequest find;
  copy_text(find.target_subdir, sizeof find.target_subdir, "afile");
  copy_text(find.target_name, sizeof find.target_name, "\x1b[2J\x1b[H\nERROR forged");
  bool found = false;
  std::span<const uint8_t> header;
  (void)client_find_parent(&f.c, find, &found, &header);
  ASSERT_TRUE(wait_log("find parent '\\x1b[2J\\x1b[H\\x0aERROR forged' in ")) << log();
  orv_support::sleep_ms(300);

  std::string stderr_text = log();
  EXPECT_EQ(stderr_text.find('\x1b'), std::string::npos);
  EXPECT_EQ(stderr_text.find("\n2026-01-01T00:00:00Z"), std::string::npos);
  EXPECT_EQ(stderr_text.find('\xff'), std::string::npos);

  std::string runlog = orv_support::read_text(logdir + "/target.log");
  EXPECT_NE(runlog.find("backup started name=x\\x0a2026-01-01T00:00:00Z [orv_target] pid=1 stopped exit=0\\x1b[2J\\xff\\xc3 "
                        "type=FULL"),
            std::string::npos)
      << runlog;
  EXPECT_EQ(count_of(runlog, "\n"), 2u) << runlog;  // "started" and "backup started"

  std::string records = orv_support::read_text(files.storage + "/diag/diag.jsonl");
  ASSERT_FALSE(records.empty());
  size_t begin_line = 0;
  size_t lines = 0;
  while (begin_line < records.size()) {
    size_t nl = records.find('\n', begin_line);
    ASSERT_NE(nl, std::string::npos);
    std::string line = records.substr(begin_line, nl - begin_line);
    EXPECT_TRUE(orv_support::FlatJsonCheck(line).valid_object()) << line;
    begin_line = nl + 1;
    ++lines;
  }
  EXPECT_NE(records.find("\"backup_name\":\"x\\n2026-01-01T00:00:00Z [orv_target] pid=1 stopped exit=0\\u001b[2J"
                         "\\u00ff\\u00c3\""),
            std::string::npos)
      << records;
}

// ---- TLS policy ---------------------------------------------------------------------------

// sslscan's verdict on the target at port: protocols and accepted suites.
void expect_policy(uint16_t port) {
  std::string out;
  int rc = orv_support::run_tool({"sslscan", "--no-colour", "127.0.0.1:" + std::to_string(port)}, 180000, &out);
  ASSERT_EQ(rc, 0) << out;
  for (const char* line : {"SSLv2     disabled", "SSLv3     disabled", "TLSv1.0   disabled", "TLSv1.1   disabled",
                           "TLSv1.2   enabled", "TLSv1.3   enabled", "Session renegotiation not supported"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  // Every TLS 1.2 suite: ECDHE key exchange, AEAD cipher.
  size_t tls12 = 0;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Preferred TLSv1.2", 0) != 0 && line.rfind("Accepted  TLSv1.2", 0) != 0) continue;
    ++tls12;
    EXPECT_NE(line.find(" ECDHE-"), std::string::npos) << line;
    bool aead = line.find("-GCM-") != std::string::npos || line.find("CHACHA20-POLY1305") != std::string::npos;
    EXPECT_TRUE(aead) << line;
  }
  EXPECT_GE(tls12, 2u) << out;
  EXPECT_NE(out.find("Preferred TLSv1.2  256 bits  ECDHE-ECDSA-AES256-GCM-SHA384"), std::string::npos) << out;
}

TEST_F(HostilePeerTest, TlsPolicyHoldsUnderDefaultAndPermissiveConfigurations) {
  start();
  expect_policy(port());
  // No TLS 1.2 session ticket is issued.
  std::string out;
  orv_support::run_tool({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port()), "-tls1_2"},
                        20000, &out);
  EXPECT_NE(out.find("Protocol  : TLSv1.2"), std::string::npos) << out;
  EXPECT_EQ(out.find("TLS session ticket:"), std::string::npos) << out;
  server.process.kill_and_reap();

  // A host configuration that allows everything changes nothing.
  std::string conf = files.dir.sub("permissive.cnf");
  ASSERT_TRUE(orv_support::write_text(conf,
                                      "openssl_conf = default_conf\n[default_conf]\nssl_conf = ssl_sect\n"
                                      "[ssl_sect]\nsystem_default = system_default_sect\n[system_default_sect]\n"
                                      "MinProtocol = TLSv1\nCipherString = ALL:@SECLEVEL=0\nOptions = SessionTicket\n"));
  setenv("OPENSSL_CONF", conf.c_str(), 1);
  bool started = server.start(ORV_TARGET_BIN);
  unsetenv("OPENSSL_CONF");
  ASSERT_TRUE(started) << log();
  expect_policy(port());
  server.process.kill_and_reap();

  // Nor does it let a weak key in: RSA-1024 is refused at start.
  std::string weak_cert = files.dir.sub("rsa1024.pem");
  std::string weak_key = files.dir.sub("rsa1024.key");
  ASSERT_EQ(orv_support::run_tool({"openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-days", "30", "-subj",
                                   "/CN=localhost", "-keyout", weak_key, "-out", weak_cert},
                                  30000),
            0);
  chmod(weak_cert.c_str(), 0644);
  chmod(weak_key.c_str(), 0644);
  orv_support::ChildProcess weak;
  setenv("OPENSSL_CONF", conf.c_str(), 1);
  setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("run").c_str(), 1);
  ASSERT_TRUE(weak.start(ORV_TARGET_BIN,
                         {"--storage", files.storage, "--tls-cert", weak_cert, "--tls-key", weak_key, "--acl-file",
                          files.acl, "--bind", "127.0.0.1", "--port", std::to_string(port()), "--no-log",
                          "--no-syslog", "--no-diag"},
                         files.dir.sub("weak.log")));
  unsetenv("OPENSSL_CONF");
  unsetenv("ORV_TARGET_PRIV_SOCK_DIR");
  ASSERT_TRUE(weak.wait_exit(20000));
  EXPECT_EQ(weak.exit_code(), 1);
  EXPECT_NE(weak.log().find("TLS key " + weak_key + " is too weak or of an unsupported type: 1024-bit RSA"),
            std::string::npos)
      << weak.log();
}

TEST_F(HostilePeerTest, CertificatesOutOfTheirValidityLoadWithWarnings) {
  const long day = 86400;
  ASSERT_TRUE(make_cert_valid(files.cert, files.key, -10 * day, -3 * day - 3600));
  start();
  EXPECT_NE(log().find("WARN  certificate " + files.cert + " expired 3 days ago"), std::string::npos) << log();
  Conn a;
  ASSERT_EQ(a.connect(port()), STATUS_OK);  // still served: the agent decides whether to trust it
  EXPECT_EQ(a.hello(kKey), STATUS_OK);

  std::string next_cert = files.dir.sub("next.pem");
  std::string next_key = files.dir.sub("next.key");
  ASSERT_TRUE(make_cert_valid(next_cert, next_key, 2 * day, 40 * day));
  ASSERT_EQ(rename(next_key.c_str(), files.key.c_str()), 0);
  ASSERT_EQ(rename(next_cert.c_str(), files.cert.c_str()), 0);
  server.process.signal(SIGHUP);
  ASSERT_TRUE(wait_log("SIGHUP reload: reloaded TLS certificate/key"));
  EXPECT_NE(log().find("WARN  certificate " + files.cert + " is not valid before 20"), std::string::npos) << log();

  ASSERT_TRUE(make_cert_valid(next_cert, next_key, -day, 5 * day + 3600));
  ASSERT_EQ(rename(next_key.c_str(), files.key.c_str()), 0);
  ASSERT_EQ(rename(next_cert.c_str(), files.cert.c_str()), 0);
  server.process.signal(SIGHUP);
  ASSERT_TRUE(wait_log("SIGHUP reload: reloaded TLS certificate/key", kWaitMs, 2));
  EXPECT_NE(log().find("WARN  certificate " + files.cert + " expires in 5 days"), std::string::npos) << log();

  ASSERT_TRUE(make_cert_valid(next_cert, next_key, -day, 15 * day + 3600));
  ASSERT_EQ(rename(next_key.c_str(), files.key.c_str()), 0);
  ASSERT_EQ(rename(next_cert.c_str(), files.cert.c_str()), 0);
  server.process.signal(SIGHUP);
  ASSERT_TRUE(wait_log("SIGHUP reload: reloaded TLS certificate/key", kWaitMs, 3));
  EXPECT_EQ(count_of(log(), "WARN  certificate "), 3u) << log();
}

// ---- signals during start-up --------------------------------------------------------------

TEST_F(HostilePeerTest, SighupDuringWorkerStartupDoesNotKillIt) {
  if (geteuid() != 0) GTEST_SKIP() << "the worker is forked only when started as root";
  // A long access list keeps the worker in its start-up for a while.
  std::string acl = std::string(kKey) + " **\n";
  for (int i = 0; i < 200000; ++i) acl += "generated-key-" + std::to_string(i) + " dir" + std::to_string(i) + "\n";
  ASSERT_TRUE(orv_support::write_text(files.acl, acl));

  std::vector<std::string> args = {"--storage", files.storage, "--tls-cert", files.cert, "--tls-key", files.key,
                                   "--acl-file", files.acl, "--bind", "127.0.0.1", "--port",
                                   std::to_string(orv_support::pick_port()), "--no-log", "--no-syslog", "--no-diag"};
  setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("run").c_str(), 1);
  ASSERT_TRUE(server.process.start(ORV_TARGET_BIN, args, files.dir.sub("hup.log")));
  unsetenv("ORV_TARGET_PRIV_SOCK_DIR");
  // Once the parent forwards signals, SIGHUP it as fast as possible until
  // the worker listens.
  ASSERT_TRUE(server.process.wait_for_log("forked unprivileged worker", 20000)) << log();
  int sent = 0;
  auto t0 = Clock::now();
  while (log().find("listening on") == std::string::npos && server.process.running() && ms_since(t0) < 60000) {
    server.process.signal(SIGHUP);
    ++sent;
    orv_support::sleep_ms(1);
  }
  EXPECT_GT(sent, 5);
  EXPECT_TRUE(server.process.running()) << log();
  EXPECT_NE(log().find("listening on"), std::string::npos) << log();
  EXPECT_EQ(log().find("worker process exited unexpectedly"), std::string::npos) << log();
}

}  // namespace
}  // namespace orv
