// CONTINUE of a partial backup holding 1,000,000 entries: the time from
// sending CONTINUE to receiving CONTINUE_END, side by side with
// partial_load of the same journal alone. Measured two ways:
//   - through the real orv_target over TLS on loopback, with the client
//     library (what an agent sees);
//   - with a session in this process on a Unix socket pair and a thread
//     that drains the frames (no TLS), next to sending the same entries in
//     the same frames over such a pair alone: what the session adds to the
//     load besides carrying the 58 MB of entries.
// CONTINUE fills its key index after CONTINUE_END, while the agent reads the
// entries; "ready" is when the session can take the first BLOCK (over TLS:
// the PONG of a PING sent right after CONTINUE_END). Rounds alternate;
// medians are printed, then one timing of each step CONTINUE takes after
// the load.
//
//   continue [--entries N] [--rounds N]
//
// The partial is written with the store's journal writer (keys ascending,
// 4 KiB per block, a checkpoint every 8,192 records); its temporary image
// is a sparse file of the checkpoint's size. Each CONTINUE ends with the
// connection, which leaves the partial as it was plus one checkpoint record.
// Runs as root too: the files are made writable for the service user.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/server_process.h"
#include "client/client.h"
#include "core/file_io.h"
#include "core/status.h"
#include "core/unique_fd.h"
#include "integrity/uuid.h"
#include "protocol/payloads.h"
#include "server/session.h"
#include "store/journal.h"
#include "store/key_index.h"
#include "store/partial.h"
#include "store_bench_util.h"

namespace orv {
namespace {

constexpr const char* kKey = "bench-key-0123456789";
constexpr uint64_t kCheckpointEvery = 8192;
constexpr uint32_t kBlock = 4096;

Uuid bench_uuid() {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(0x51 + i);
  return u;
}

// A partial of `n` blocks in dir; returns its journal path or "".
std::string make_partial(const std::string& dir, uint64_t n) {
  std::string image = dir + "/bench-202601010000.csfb";
  std::string journal = image + ".part";
  std::string tmp = image + ".tmp";
  auto header = std::make_unique<BackupHeader>();
  BackupHeaderFields f;
  f.uuid = bench_uuid();
  f.block_size = kBlock;
  snprintf(f.name, sizeof f.name, "bench");
  encode_backup_header(f, header.get());
  int raw = -1;
  if (file_create(tmp.c_str(), 0666, &raw) != STATUS_OK) return "";
  UniqueFd image_fd(raw);
  if (ftruncate(image_fd.get(), static_cast<off_t>(n * kBlock)) != 0) return "";
  JournalWriter w;
  journal_init(&w);
  bool ok = journal_create(&w, journal.c_str(), *header, (dir + "/bench-202601010000.infb").c_str(),
                           image.c_str()) == STATUS_OK;
  for (uint64_t i = 0; ok && i < n; ++i) {
    CatalogEntryFields e;
    e.key = i;
    e.offset = i * kBlock;
    e.length = kBlock;
    CatalogEntry entry;
    encode_catalog_entry(e, &entry);
    ok = journal_add_block(&w, entry, kBlock) == STATUS_OK;
    if (ok && (i + 1) % kCheckpointEvery == 0) ok = journal_checkpoint(&w, image_fd.get(), (i + 1) * kBlock) == STATUS_OK;
  }
  if (ok) ok = journal_checkpoint(&w, image_fd.get(), n * kBlock) == STATUS_OK;
  journal_close(&w);
  // The worker runs as its service user when the benchmark runs as root.
  ok = ok && chmod(journal.c_str(), 0666) == 0 && chmod(tmp.c_str(), 0666) == 0;
  return ok ? journal : "";
}

void copy_file(const std::string& from, const std::string& to) {
  std::string data = orv_support::read_text(from);
  if (!orv_support::write_text(to, data, 0666)) exit(1);
}

double load_once(const std::string& journal, uint64_t n) {
  auto p = std::make_unique<PartialBackup>();
  double t0 = bench::now_sec();
  int32_t rc = partial_load(journal.c_str(), p.get());
  double t = bench::now_sec() - t0;
  if (rc != STATUS_OK || p->entry_count != n) {
    fprintf(stderr, "partial_load: %d\n", rc);
    exit(1);
  }
  partial_free(p.get());
  return t;
}

// Counts entries until CONTINUE_END; false on anything unexpected.
struct EntryCounter {
  uint64_t entries = 0;
};
int32_t count_entries(void* context, uint16_t type, std::span<const uint8_t> payload) {
  if (type != MSG_CONTINUE_ENTRIES) return STATUS_PROTOCOL;
  static_cast<EntryCounter*>(context)->entries += payload.size() / CATALOG_ENTRY_SIZE;
  return STATUS_OK;
}

// Waits until the journal has grown past `size` (the ending session's last
// checkpoint), so the next CONTINUE does not wait for that session.
void wait_for_growth(const std::string& journal, uint64_t size) {
  for (int i = 0; i < 3000; ++i) {
    struct stat st;
    if (stat(journal.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > size) return;
    orv_support::sleep_ms(2);
  }
  fprintf(stderr, "the server did not end its session\n");
  exit(1);
}

uint64_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

struct Timing {
  double end;    // CONTINUE_END received
  double ready;  // the session can take the first BLOCK
};

Timing continue_tls(uint16_t port, const std::string& journal, uint64_t n) {
  Client c;
  ClientOptions o;
  o.timeout_ms = 60000;
  if (client_connect(&c, "127.0.0.1", port, o) != STATUS_OK) exit(1);
  HelloReply reply;
  if (client_hello(&c, kKey, true, FLAG_CONTINUE, &reply) != STATUS_OK) exit(1);
  SubdirUuidRequest req;
  snprintf(req.target_subdir, sizeof req.target_subdir, "bench");
  req.uuid = bench_uuid();
  EntryCounter counter;
  ContinueOk ok;
  uint64_t before = size_of(journal);
  double t0 = bench::now_sec();
  int32_t rc = client_continue(&c, req, &ok, count_entries, &counter);
  double t1 = bench::now_sec();
  if (rc == STATUS_OK) rc = client_ping(&c);
  double t2 = bench::now_sec();
  if (rc != STATUS_OK || ok.entry_count != n || counter.entries != n) {
    fprintf(stderr, "CONTINUE over TLS: %d (%s)\n", rc, c.got_error ? c.last_error.text : "");
    exit(1);
  }
  client_close(&c);
  wait_for_growth(journal, before);
  return {t1 - t0, t2 - t0};
}

// A socket pair and a thread that reads frames from its far end until a
// frame of type `last`; *at_last is the time it arrived.
class Drain {
 public:
  Drain(uint16_t last, uint64_t* entries, double* at_last) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) exit(1);
    near.fd = sv[0];
    far_.fd = sv[1];
    thread_ = std::thread([this, last, entries, at_last] {
      std::unique_ptr<uint8_t[]> buf(new uint8_t[FRAME_MAX_PAYLOAD]);
      for (;;) {
        FrameHeader h;
        if (receive_frame(&far_, &h, std::span<uint8_t>(buf.get(), FRAME_MAX_PAYLOAD)) != STATUS_OK) return;
        *entries += h.length / CATALOG_ENTRY_SIZE;
        if (h.msg_type == last) {
          *at_last = bench::now_sec();
          return;
        }
      }
    });
  }
  ~Drain() {
    if (thread_.joinable()) {
      shutdown(far_.fd, SHUT_RDWR);
      thread_.join();
    }
    channel_close(&far_);
  }
  // Waits for the reading thread; when `failed`, the sender gave up and the
  // thread is woken by the end of the stream.
  void wait(bool failed) {
    if (failed) shutdown(near.fd, SHUT_RDWR);
    thread_.join();
  }
  Channel near;  // the sending end, closed by its user

 private:
  Channel far_;
  std::thread thread_;
};

Timing continue_in_process(const std::string& root, const AclEntry* acl, uint64_t n) {
  uint64_t received = 0;
  double at_end = 0;
  ServerConfig config;  // outlives the session
  config.storage_root = root.c_str();
  config.diag_off = true;
  auto session = std::make_unique<Session>();
  double t0 = 0, t1 = 0;
  int32_t rc = STATUS_OK;
  {
    Drain drain(MSG_CONTINUE_END, &received, &at_end);
    session_init(session.get(), config, acl, 1, drain.near);
    session->acl_entry = acl;
    session->state = SessionState::wait_begin;
    session->peer_flags = FLAG_CONTINUE;
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "bench");
    req.uuid = bench_uuid();
    uint8_t payload[REQ_SUBDIR_UUID_SIZE];
    encode_subdir_uuid(req, payload);
    FrameHeader h;
    h.version = PROTOCOL_VERSION;
    h.msg_type = MSG_CONTINUE;
    h.length = sizeof payload;
    t0 = bench::now_sec();
    rc = session_dispatch(session.get(), h, payload);
    t1 = bench::now_sec();
    drain.wait(rc != STATUS_OK);
  }
  // received counts CONTINUE_OK's 16 bytes as no entry.
  if (rc != STATUS_OK || received != n) {
    fprintf(stderr, "CONTINUE in process: %d\n", rc);
    exit(1);
  }
  session_end(session.get(), 0);
  channel_close(&session->channel);
  return {at_end - t0, t1 - t0};
}

// The same frames as CONTINUE sends, from an array of n entries, over a
// socket pair: the cost of carrying the entries alone.
double send_alone(const CatalogEntry* entries, uint64_t n) {
  uint64_t received = 0;
  double at_end = 0;
  double t0 = 0;
  {
    Drain drain(MSG_CONTINUE_END, &received, &at_end);
    uint8_t ok[CONTINUE_OK_SIZE] = {};
    t0 = bench::now_sec();
    bool sent = send_frame(&drain.near, MSG_CONTINUE_OK, ok) == STATUS_OK;
    const auto* bytes = reinterpret_cast<const uint8_t*>(entries);
    for (uint64_t left = n; sent && left > 0;) {
      size_t count = left < ENTRIES_PER_FRAME ? static_cast<size_t>(left) : ENTRIES_PER_FRAME;
      sent = send_frame(&drain.near, MSG_CONTINUE_ENTRIES,
                        std::span<const uint8_t>(bytes, count * CATALOG_ENTRY_SIZE)) == STATUS_OK;
      bytes += count * CATALOG_ENTRY_SIZE;
      left -= count;
    }
    sent = sent && send_frame(&drain.near, MSG_CONTINUE_END, {}) == STATUS_OK;
    drain.wait(!sent);
    channel_close(&drain.near);
    if (!sent) exit(1);
  }
  return at_end - t0;
}

// One timing of each step CONTINUE takes after partial_load.
void print_steps(const std::string& journal, uint64_t n) {
  auto p = std::make_unique<PartialBackup>();
  if (partial_load(journal.c_str(), p.get()) != STATUS_OK) exit(1);
  std::string tmp = journal.substr(0, journal.size() - 5) + ".tmp";
  double t0 = bench::now_sec();
  int fd = -1;
  if (partial_prepare_image(tmp.c_str(), p->checkpoint_image_size, &fd) != STATUS_OK) exit(1);
  double t1 = bench::now_sec();
  JournalWriter w;
  journal_init(&w);
  if (journal_reopen(&w, journal.c_str(), *p) != STATUS_OK) exit(1);
  double t2 = bench::now_sec();
  KeyIndex index;
  if (key_index_init(&index, n) != STATUS_OK) exit(1);
  double t3 = bench::now_sec();
  // As CONTINUE fills it: the slots of keys 16 entries ahead fetched first.
  const uint64_t mask = index.capacity - 1;
  for (uint64_t i = 0; i < p->entry_count; ++i) {
    if (i + 16 < p->entry_count) {
      uint64_t ahead = fmix64(entry_key(p->entries[i + 16])) & mask;
      __builtin_prefetch(&index.keys[ahead], 1);
      __builtin_prefetch(&index.values[ahead], 1);
    }
    if (key_index_put(&index, entry_key(p->entries[i]), i) != STATUS_OK) exit(1);
  }
  double t4 = bench::now_sec();
  printf("steps after the load, one run: image cut and fsync %.1f ms, journal_reopen (cut, fsync, rescan) %.1f ms, "
         "key index allocation %.1f ms, filling it with %llu keys %.1f ms\n",
         (t1 - t0) * 1e3, (t2 - t1) * 1e3, (t3 - t2) * 1e3, static_cast<unsigned long long>(n), (t4 - t3) * 1e3);
  key_index_free(&index);
  journal_close(&w);
  close(fd);
  partial_free(p.get());
}

int run(int argc, char** argv) {
  uint64_t n = 1000000;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--entries") == 0 && i + 1 < argc) {
      n = strtoull(argv[++i], nullptr, 10);
    } else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--entries N] [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  if (n == 0 || rounds < 1) return 2;

  orv_support::TargetFiles files;
  if (!files.create(std::string(kKey) + " bench\n")) {
    fprintf(stderr, "cannot prepare the server's files\n");
    return 1;
  }
  setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("priv").c_str(), 1);
  // The server continues the partial in storage/bench; the in-process
  // session and the plain load use a copy under a second root, so the two
  // processes never share one partial.
  std::string journal = make_partial(files.dir.make_dir("storage/bench"), n);
  std::string local_root = files.dir.make_dir("local");  // storage root of the in-process session
  std::string local_dir = files.dir.make_dir("local/bench");
  if (journal.empty()) return 1;
  std::string local_journal = local_dir + journal.substr(journal.rfind('/'));
  copy_file(journal, local_journal);
  {
    std::string tmp = journal.substr(0, journal.size() - 5) + ".tmp";
    std::string local_tmp = local_journal.substr(0, local_journal.size() - 5) + ".tmp";
    int raw = -1;
    if (file_create(local_tmp.c_str(), 0666, &raw) != STATUS_OK) return 1;
    UniqueFd fd(raw);
    if (ftruncate(fd.get(), static_cast<off_t>(size_of(tmp))) != 0) return 1;
  }
  AclEntry acl;
  memset(&acl, 0, sizeof acl);
  snprintf(acl.patterns[0], ACL_PATTERN_SIZE, "bench");
  acl.pattern_count = 1;

  orv_support::TargetServer server(files);
  if (!server.start(ORV_TARGET_BIN)) {
    fprintf(stderr, "server did not start:\n%s\n", server.process.log().c_str());
    return 1;
  }
  printf("partial: %llu entries (%.1f MB on the wire), journal %.1f MiB, warm cache, medians of %d interleaved "
         "rounds\n",
         static_cast<unsigned long long>(n), static_cast<double>(n * CATALOG_ENTRY_SIZE) / 1e6,
         static_cast<double>(size_of(journal)) / 1048576.0, rounds);
  load_once(local_journal, n);  // warms the page cache
  (void)continue_tls(server.port(), journal, n);
  std::unique_ptr<CatalogEntry[]> plain(new CatalogEntry[n]);
  for (uint64_t i = 0; i < n; ++i) {
    CatalogEntryFields e;
    e.key = i;
    e.offset = i * kBlock;
    e.length = kBlock;
    encode_catalog_entry(e, &plain[i]);
  }

  std::vector<double> load, sent, tls_end, tls_ready, local_end, local_ready;
  for (int r = 0; r < rounds; ++r) {
    load.push_back(load_once(local_journal, n));
    Timing t = continue_tls(server.port(), journal, n);
    tls_end.push_back(t.end);
    tls_ready.push_back(t.ready);
    sent.push_back(send_alone(plain.get(), n));
    t = continue_in_process(local_root, &acl, n);
    local_end.push_back(t.end);
    local_ready.push_back(t.ready);
  }
  double l = bench::median(load);
  auto line = [l](const char* what, const std::vector<double>& v) {
    double m = bench::median(v);
    printf("%-58s %8.1f ms   %.2f x the load\n", what, m * 1e3, m / l);
  };
  line("partial_load alone", load);
  line("entries alone over a socket pair, same frames", sent);
  line("CONTINUE in process (no TLS): to CONTINUE_END", local_end);
  line("CONTINUE in process (no TLS): ready for blocks", local_ready);
  line("CONTINUE through orv_target over TLS: to CONTINUE_END", tls_end);
  line("CONTINUE through orv_target over TLS: ready (PING/PONG)", tls_ready);
  print_steps(local_journal, n);

  server.process.signal(SIGTERM);
  (void)server.process.wait_exit(30000);
  return 0;
}

}  // namespace
}  // namespace orv

int main(int argc, char** argv) { return orv::run(argc, argv); }
