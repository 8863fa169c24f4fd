// What the metrics endpoint costs a backup: two orv_target servers in the
// same run, one without and one with --metrics-listen (and
// --metrics-per-subdir), the second scraped every second by a scraper
// thread as Prometheus would. One FULL backup of the same cached source
// file in 4 MiB BLOCKs goes to each in turn (off, on, off, on, ...), timed
// from the first BLOCK to END_OK; medians and the ratio on/off are printed,
// with each worker's CPU time per GiB received.
//
//   metrics_overhead [--size 1G] [--runs 5] [--window 2]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/metrics_support.h"
#include "client/client.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "store_bench_util.h"

namespace {

using orv::bench::median;
using orv::bench::now_sec;
using orv::bench::ScratchDir;
using orv_support::ChildProcess;
using orv_support::read_text;

constexpr const char* kKey = "metrics-bench-key";
constexpr size_t kBlock = 4u << 20;
constexpr int kWaitMs = 30000;
constexpr int kSettleMs = 3000;

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "metrics_overhead: %s\n", what.c_str());
  exit(1);
}

uint64_t parse_size(const char* text) {
  char* end = nullptr;
  uint64_t v = strtoull(text, &end, 10);
  switch (end != nullptr ? *end : '\0') {
    case 'G': case 'g': v <<= 30; break;
    case 'M': case 'm': case '\0': v <<= 20; break;
    default: die(std::string("bad size ") + text);
  }
  return v;
}

// User + system CPU seconds of process pid.
double cpu_seconds(pid_t pid) {
  std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return 0;
  unsigned long utime = 0, stime = 0;
  // Fields 14 and 15; the first after ')' is field 3.
  const char* p = stat.c_str() + close_paren + 2;
  for (int field = 3; field < 14 && *p != '\0'; ++field) p = strchr(p, ' ') != nullptr ? strchr(p, ' ') + 1 : "";
  if (sscanf(p, "%lu %lu", &utime, &stime) != 2) return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The process that serves connections: as root the target forks a worker.
pid_t serving_pid(pid_t pid) {
  if (geteuid() != 0) return pid;
  for (int i = 0; i < 500; ++i) {
    std::string kids = read_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    if (!kids.empty()) return static_cast<pid_t>(atoi(kids.c_str()));
    orv_support::sleep_ms(10);
  }
  die("no worker process found");
}

struct Server {
  orv_support::TargetFiles* files = nullptr;
  orv_support::MetricsTarget* metrics = nullptr;  // with the endpoint
  ChildProcess plain;                            // without it
  uint16_t port = 0;
  pid_t worker = -1;
};

void start_plain(orv_support::TargetFiles& files, Server* s) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    s->port = orv_support::pick_port();
    std::vector<std::string> args = {"--storage", files.storage, "--tls-cert", files.cert, "--tls-key", files.key,
                                     "--acl-file", files.acl, "--bind", "127.0.0.1", "--port",
                                     std::to_string(s->port), "--no-log", "--no-syslog", "--no-diag"};
    if (!s->plain.start(ORV_TARGET_BIN, args, files.dir.sub("plain.log"))) die("cannot start orv_target");
    if (s->plain.wait_for_log("listening on", kWaitMs) && s->plain.running()) {
      s->worker = serving_pid(s->plain.pid());
      return;
    }
    bool clash = s->plain.log().find("cannot bind") != std::string::npos;
    s->plain.kill_and_reap();
    if (!clash) die("orv_target did not start: " + s->plain.log());
  }
  die("no free port");
}

// One FULL backup with `window` BLOCKs ahead of their ACKs; seconds from the
// first BLOCK to END_OK. Adds the worker's CPU seconds to *cpu.
double run_backup(uint16_t port, pid_t worker, const std::string& source, uint64_t size, int window,
                  uint8_t* buffer, double* cpu) {
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
  int in_flight = 0;
  bool has_seq = false;
  uint64_t seq = 0;
  uint64_t key = 0;
  for (uint64_t off = 0; off < size; off += kBlock, ++key) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size - off));
    if (pread(fd, buffer, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) die("source read failed");
    orv::BlockHeader h;
    h.key = key;
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
  return t1 - t0;
}

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
  close(fd);
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);  // read once: every run finds it cached
  for (uint64_t off = 0; off < size; off += kBlock) {
    if (pread(fd, buffer, kBlock, static_cast<off_t>(off)) < 0) die("source read failed");
  }
  close(fd);
}

void clear_backups(const std::string& storage) {
  std::error_code ec;
  std::filesystem::remove_all(storage + "/bench", ec);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t size = 1ull << 30;
  int runs = 5;
  int window = 2;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) {
      size = parse_size(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (a == "--window" && i + 1 < argc) {
      window = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: metrics_overhead [--size <MiB, or with M/G>] [--runs N] [--window BLOCKS]\n");
      return 2;
    }
  }
  if (size == 0 || runs < 1 || window < 1) die("size, runs and window must be positive");

  // Two servers with their own storage; each test-support object removes
  // its files at exit.
  static orv_support::TargetFiles off_files, on_files;
  for (orv_support::TargetFiles* f : {&off_files, &on_files}) {
    if (!f->create(std::string(kKey) + " **\n")) die("cannot create certificate, key and ACL");
  }
  static Server off;
  static Server on;
  setenv("ORV_TARGET_PRIV_SOCK_DIR", off_files.dir.sub("run").c_str(), 1);
  start_plain(off_files, &off);
  static orv_support::MetricsTarget metrics(on_files);
  if (!metrics.start({"--metrics-per-subdir"})) die("orv_target with metrics did not start: " + metrics.process.log());
  on.port = metrics.port();
  on.worker = serving_pid(metrics.process.pid());

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> scrapes{0};
  std::thread scraper([&] {
    while (!stop.load()) {
      if (orv_support::http_get(metrics.metrics_port(), "/metrics", 5000).status == 200) scrapes.fetch_add(1);
      orv_support::sleep_ms(1000);
    }
  });

  auto* buffer = new (std::nothrow) uint8_t[kBlock];
  if (buffer == nullptr) die("out of memory");
  std::string source = off_files.dir.sub("source.bin");
  make_source(source, size, buffer);
  printf("metrics_overhead: %.0f MiB in %zu MiB blocks, %d in flight, %d runs; metrics scraped every second\n",
         static_cast<double>(size) / (1 << 20), kBlock >> 20, window, runs);
  double gib = static_cast<double>(size) / (1ull << 30);
  auto mbs = [size](double s) { return static_cast<double>(size) / s / 1e6; };
  std::vector<double> off_s, on_s, off_cpu, on_cpu;
  for (int r = 0; r < runs; ++r) {
    double cpu = 0;
    orv_support::sleep_ms(kSettleMs);
    off_s.push_back(run_backup(off.port, off.worker, source, size, window, buffer, &cpu));
    off_cpu.push_back(cpu / gib);
    clear_backups(off_files.storage);
    cpu = 0;
    orv_support::sleep_ms(kSettleMs);
    on_s.push_back(run_backup(on.port, on.worker, source, size, window, buffer, &cpu));
    on_cpu.push_back(cpu / gib);
    clear_backups(on_files.storage);
    printf("  run %d: metrics off %4.0f MB/s (%.2f CPU s/GiB), metrics on %4.0f MB/s (%.2f CPU s/GiB)\n", r + 1,
           mbs(off_s.back()), off_cpu.back(), mbs(on_s.back()), on_cpu.back());
    fflush(stdout);
  }
  stop.store(true);
  scraper.join();
  double off_mbs = mbs(median(off_s));
  double on_mbs = mbs(median(on_s));
  printf("median: metrics off %.0f MB/s (%.2f CPU s/GiB), metrics on %.0f MB/s (%.2f CPU s/GiB), ratio on/off %.2f;"
         " %llu scrapes\n",
         off_mbs, median(off_cpu), on_mbs, median(on_cpu), on_mbs / off_mbs,
         static_cast<unsigned long long>(scrapes.load()));
  off.plain.signal(SIGTERM);
  if (!off.plain.wait_exit(kWaitMs)) off.plain.kill_and_reap();
  if (!metrics.stop()) metrics.process.kill_and_reap();
  delete[] buffer;
  return 0;
}
