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
#include "ingest_util.h"
#include "store_bench_util.h"

namespace {

using orv::bench::median;
using orv::bench::now_sec;
using orv::bench::ScratchDir;
using orv::bench::kIngestBlock;
using orv_support::ChildProcess;
using orv_support::read_text;

constexpr const char* kProgram = "ingest";
constexpr int kWaitMs = 30000;
constexpr int kSettleMs = 3000;

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "ingest: %s\n", what.c_str());
  exit(1);
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

struct Bench {
  const ScratchDir* scratch = nullptr;
  std::string source;
  uint64_t size = 0;
  orv::bench::LoadServer server;
  uint8_t* buffer = nullptr;

  // One FULL backup of the source (see timed_full_backup), removed after.
  double run_backup(int window, double* cpu) {
    orv::bench::IngestTarget t;
    t.program = kProgram;
    t.port = server.port;
    t.worker = server.worker;
    t.api_key = orv::bench::kLoadKey;
    double seconds = orv::bench::timed_full_backup(t, source, size, window, buffer, cpu);
    remove_all_in(server.storage + "/bench");
    return seconds;
  }

  // socat reads the source and serves it over TLS; a second socat fetches
  // it into a file. Returns seconds from starting the fetch to its end.
  double run_pipe() {
    std::string out = scratch->file("pipe.out");
    uint16_t pipe_port = 0;
    ChildProcess sender;
    for (int attempt = 0; attempt < 5 && pipe_port == 0; ++attempt) {
      uint16_t p = orv_support::pick_port();
      std::string listen = "OPENSSL-LISTEN:" + std::to_string(p) + ",bind=127.0.0.1,reuseaddr,cert=" + server.cert +
                           ",key=" + server.key + ",verify=0";
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

}  // namespace

int main(int argc, char** argv) {
  uint64_t size = 2ull << 30;
  int runs = 3;
  int window = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) {
      size = orv::bench::parse_mib_size(kProgram, argv[++i]);
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
  b.source = scratch.file("source.bin");
  b.buffer = new (std::nothrow) uint8_t[kIngestBlock];
  if (b.buffer == nullptr) die("out of memory");
  orv::bench::make_cached_source(kProgram, b.source, size, b.buffer);
  b.server.program = kProgram;
  b.server.scratch = &scratch;
  b.server.start();

  printf("ingest: %.0f MiB in %zu MiB blocks, %d in flight, %d runs, scratch %s\n",
         static_cast<double>(size) / (1 << 20), kIngestBlock >> 20, window, runs, scratch.path().c_str());
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
  b.server.stop();
  delete[] b.buffer;
  return 0;
}
