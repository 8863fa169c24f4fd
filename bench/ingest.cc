// Single-session ingest: one FULL backup streamed in 4 MiB blocks over TLS
// on loopback into the real orv_target (default checkpoints: 32 MiB / 10 s,
// each one an image fsync and a journal fsync), side by side in the same run
// with a raw TLS pipe into a file made with socat and the same TLS library
// (OpenSSL 3, TLS 1.3, TLS_AES_256_GCM_SHA384 on both). The pipe does no
// CRC, no fsync and keeps no catalog.
//
// The pipe's TLS server is the sending side: a TLS 1.3 server sends session
// tickets, and a client that only wrote would close with them unread, which
// makes the kernel reset the connection and can cut the stream's tail. So
// the socat listener reads the source file and the socat client writes the
// file; the target itself sends no tickets.
//
// Runs alternate (backup, pipe) and report medians. Inputs are read once
// before timing. Scratch files go to $ORV_BENCH_DIR (or $TMPDIR, or /tmp).
//
//   ingest [--size 2G] [--runs 3] [--window 1]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "../tests/support/server_process.h"
#include "client/client.h"
#include "store_bench_util.h"
#include "core/status.h"
#include "protocol/payloads.h"

namespace {

using orv::bench::median;
using orv::bench::now_sec;
using orv::bench::ScratchDir;
using orv_support::ChildProcess;
using orv_support::read_text;

constexpr const char* kKey = "ingest-bench-key";
constexpr size_t kBlock = 4u << 20;
constexpr int kWaitMs = 30000;
constexpr int kSettleMs = 3000;

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "ingest: %s\n", what.c_str());
  exit(1);
}

uint64_t parse_size(const char* text) {
  char* end = nullptr;
  uint64_t v = strtoull(text, &end, 10);
  switch (end != nullptr ? *end : '\0') {
    case 'G': case 'g': v <<= 30; break;
    case 'M': case 'm': v <<= 20; break;
    case 'K': case 'k': v <<= 10; break;
    case '\0': v <<= 20; break;  // plain numbers are MiB
    default: die(std::string("bad size ") + text);
  }
  return v;
}

// CPU seconds (user + system) that process pid has used, its exited
// threads included.
double cpu_seconds(pid_t pid) {
  std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t pos = close_paren + 2;
  while (pos < stat.size()) {
    size_t sp = stat.find(' ', pos);
    if (sp == std::string::npos) sp = stat.size();
    fields.push_back(stat.substr(pos, sp - pos));
    pos = sp + 1;
  }
  // Fields 14 and 15 of the file; fields[0] is field 3.
  if (fields.size() < 13) return 0;
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

// The process that serves connections: as root the target forks an
// unprivileged worker, otherwise it serves itself.
pid_t serving_pid(pid_t pid) {
  if (geteuid() != 0) return pid;
  for (int i = 0; i < 500; ++i) {
    std::string kids = read_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    if (!kids.empty()) return static_cast<pid_t>(atoi(kids.c_str()));
    orv_support::sleep_ms(10);
  }
  die("no worker process found");
}

// True once something listens on 127.0.0.1:port (or any address).
bool listening(uint16_t port) {
  char want[8];
  snprintf(want, sizeof want, ":%04X", port);
  std::string tcp = read_text("/proc/net/tcp");
  for (size_t start = 0, nl; (nl = tcp.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string line = tcp.substr(start, nl - start);
    size_t at = line.find(want);
    if (at != std::string::npos && at < 30 && line.find(" 0A ") != std::string::npos) return true;
  }
  return false;
}

void remove_all_in(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove_all(e.path(), ec);
}

// A sub-directory of the scratch directory that the target's unprivileged
// worker may write.
std::string open_dir(const ScratchDir& scratch, const char* name) {
  std::string p = scratch.file(name);
  if (mkdir(p.c_str(), 0777) != 0 || chmod(p.c_str(), 0777) != 0) die("cannot create " + p);
  return p;
}

struct Bench {
  const ScratchDir* scratch = nullptr;
  std::string source, storage, cert, key;
  uint64_t size = 0;
  uint16_t port = 0;
  ChildProcess server;
  pid_t worker = -1;
  uint8_t* buffer = nullptr;

  void start_server() {
    std::string acl = scratch->file("acl.conf");
    if (!orv_support::write_text(acl, std::string(kKey) + " **\n")) die("cannot write the ACL");
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = orv_support::pick_port();
      std::vector<std::string> args = {"--storage", storage, "--tls-cert", cert, "--tls-key", key, "--acl-file", acl,
                                       "--bind", "127.0.0.1", "--port", std::to_string(port), "--no-log",
                                       "--no-syslog", "--no-diag"};
      if (!server.start(ORV_TARGET_BIN, args, scratch->file("server.log"))) die("cannot start orv_target");
      if (server.wait_for_log("listening on", kWaitMs) && server.running()) {
        worker = serving_pid(server.pid());
        return;
      }
      bool clash = server.log().find("cannot bind") != std::string::npos;
      server.kill_and_reap();
      if (!clash) die("orv_target did not start: " + server.log());
    }
    die("no free port");
  }

  // One FULL backup of the source with `window` BLOCKs sent ahead of their
  // ACKs (1: each ACK is read before the next BLOCK goes out), as an agent
  // does; returns seconds from the first BLOCK to END_OK (the backup durable
  // under its final names) and adds the worker's CPU seconds to *cpu.
  double run_backup(int window, double* cpu) {
    orv::Client c;
    orv::ClientOptions o;
    o.timeout_ms = 120000;
    if (orv::client_connect(&c, "127.0.0.1", port, o) != orv::STATUS_OK) die("connect failed");
    orv::HelloReply hr;
    if (orv::client_hello(&c, kKey, true, orv::FLAG_CONTINUE, &hr) != orv::STATUS_OK) die("HELLO failed");
    orv::BeginRequest req;
    req.type = 0;
    req.block_size = kBlock;
    req.source_size = size;
    snprintf(req.target_name, sizeof req.target_name, "ingest");
    snprintf(req.target_subdir, sizeof req.target_subdir, "bench");
    if (orv::client_begin(&c, req) != orv::STATUS_OK) die("BEGIN failed");
    int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open the source");
    double cpu0 = cpu_seconds(worker);
    double t0 = now_sec();
    uint64_t block_key = 0;
    int in_flight = 0;
    bool has_seq = false;
    uint64_t seq = 0;
    for (uint64_t off = 0; off < size; off += kBlock, ++block_key) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size - off));
      if (pread(fd, buffer, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) die("source read failed");
      orv::BlockHeader h;
      h.key = block_key;
      h.data_length = static_cast<uint32_t>(n);
      if (in_flight == window) {
        if (orv::client_read_ack(&c, &has_seq, &seq) != orv::STATUS_OK) die("ACK failed");
        --in_flight;
      }
      if (orv::client_block_send(&c, h, std::span<const uint8_t>(buffer, n)) != orv::STATUS_OK) die("BLOCK failed");
      ++in_flight;
    }
    for (; in_flight > 0; --in_flight) {
      if (orv::client_read_ack(&c, &has_seq, &seq) != orv::STATUS_OK) die("ACK failed");
    }
    orv::EndOk ok;
    if (orv::client_end(&c, &ok) != orv::STATUS_OK || ok.image_size != size) die("END failed");
    double t1 = now_sec();
    close(fd);
    orv::client_close(&c);
    *cpu += cpu_seconds(worker) - cpu0;
    remove_all_in(storage + "/bench");
    return t1 - t0;
  }

  // socat reads the source and serves it over TLS; a second socat fetches
  // it into a file. Returns seconds from starting the fetch to its end.
  double run_pipe() {
    std::string out = scratch->file("pipe.out");
    uint16_t pipe_port = 0;
    ChildProcess sender;
    for (int attempt = 0; attempt < 5 && pipe_port == 0; ++attempt) {
      uint16_t p = orv_support::pick_port();
      std::string listen = "OPENSSL-LISTEN:" + std::to_string(p) + ",bind=127.0.0.1,reuseaddr,cert=" + cert +
                           ",key=" + key + ",verify=0";
      if (!sender.start("/usr/bin/socat", {"-b", "1048576", "-u", "OPEN:" + source, listen},
                        scratch->file("socat-send.log"))) {
        die("cannot start socat");
      }
      for (int i = 0; i < 500 && sender.running() && !listening(p); ++i) orv_support::sleep_ms(10);
      if (sender.running() && listening(p)) pipe_port = p;
      else sender.kill_and_reap();
    }
    if (pipe_port == 0) die("socat listener did not start");
    ChildProcess receiver;
    double t0 = now_sec();
    if (!receiver.start("/usr/bin/socat",
                        {"-b", "1048576", "-u", "OPENSSL:127.0.0.1:" + std::to_string(pipe_port) + ",verify=0",
                         "CREATE:" + out},
                        scratch->file("socat-recv.log"))) {
      die("cannot start socat");
    }
    if (!receiver.wait_exit(600000)) die("socat receiver did not finish");
    double t1 = now_sec();
    if (!sender.wait_exit(kWaitMs)) die("socat sender did not finish");
    struct stat st;
    if (stat(out.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != size) {
      die("the pipe delivered a short file: " + receiver.log());
    }
    unlink(out.c_str());
    return t1 - t0;
  }
};

void make_source(const std::string& path, uint64_t size, uint8_t* buffer) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("cannot create the source");
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (uint64_t off = 0; off < size; off += kBlock) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size - off));
    for (size_t i = 0; i + 8 <= n; i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      memcpy(buffer + i, &x, 8);
    }
    if (pwrite(fd, buffer, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) die("source write failed");
  }
  if (fsync(fd) != 0) die("source fsync failed");
  close(fd);
  // Read it once so that every run finds it cached.
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  for (uint64_t off = 0; off < size; off += kBlock) {
    if (pread(fd, buffer, kBlock, static_cast<off_t>(off)) < 0) die("source read failed");
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t size = 2ull << 30;
  int runs = 3;
  int window = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) {
      size = parse_size(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (a == "--window" && i + 1 < argc) {
      window = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: ingest [--size <MiB, or with K/M/G>] [--runs N] [--window BLOCKS]\n");
      return 2;
    }
  }
  if (size == 0 || runs < 1 || window < 1) die("size, runs and window must be positive");
  if (access("/usr/bin/socat", X_OK) != 0) die("socat is needed for the baseline");

  // Static, so that exit() in die() still stops the server and removes the
  // scratch files (destroyed in reverse order: the server first).
  static ScratchDir scratch;
  if (chmod(scratch.path().c_str(), 0755) != 0) die("cannot open the scratch directory");

  static Bench b;
  b.scratch = &scratch;
  b.size = size;
  b.storage = open_dir(scratch, "storage");
  b.source = scratch.file("source.bin");
  b.cert = scratch.file("cert.pem");
  b.key = scratch.file("key.pem");
  if (geteuid() == 0) setenv("ORV_TARGET_PRIV_SOCK_DIR", open_dir(scratch, "sock").c_str(), 1);
  if (!orv_support::make_cert(b.cert, b.key)) die("openssl could not make a certificate");
  b.buffer = new (std::nothrow) uint8_t[kBlock];
  if (b.buffer == nullptr) die("out of memory");
  make_source(b.source, size, b.buffer);
  b.start_server();

  printf("ingest: %.0f MiB in %zu MiB blocks, %d in flight, %d runs, scratch %s\n",
         static_cast<double>(size) / (1 << 20), kBlock >> 20, window, runs, scratch.path().c_str());
  double gib = static_cast<double>(size) / (1ull << 30);
  auto mbs = [size](double s) { return static_cast<double>(size) / s / 1e6; };
  std::vector<double> backup_s, pipe_s, cpu_per_gib;
  for (int r = 0; r < runs; ++r) {
    // Memory freed by the previous run goes back to the host after about
    // two seconds; waiting longer starts every run equally cold.
    double cpu = 0;
    orv_support::sleep_ms(kSettleMs);
    backup_s.push_back(b.run_backup(window, &cpu));
    orv_support::sleep_ms(kSettleMs);
    pipe_s.push_back(b.run_pipe());
    cpu_per_gib.push_back(cpu / gib);
    printf("  run %d: orv_target %4.0f MB/s (%.2f CPU s/GiB), socat TLS pipe %4.0f MB/s\n", r + 1,
           mbs(backup_s.back()), cpu_per_gib.back(), mbs(pipe_s.back()));
    fflush(stdout);
  }
  double backup = mbs(median(backup_s));
  double pipe = mbs(median(pipe_s));
  printf("median: orv_target %.0f MB/s, socat TLS pipe %.0f MB/s, ratio %.2f; server CPU %.2f s/GiB\n", backup, pipe,
         backup / pipe, median(cpu_per_gib));
  b.server.signal(SIGTERM);
  if (!b.server.wait_exit(kWaitMs)) b.server.kill_and_reap();
  delete[] b.buffer;
  return 0;
}
