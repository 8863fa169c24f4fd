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
#include "ingest_util.h"
#include "store_bench_util.h"

namespace {

using orv::bench::median;
using orv::bench::now_sec;
using orv::bench::ScratchDir;
using orv::bench::kIngestBlock;
using orv_support::ChildProcess;
using orv_support::read_text;

constexpr const char* kProgram = "metrics_overhead";
constexpr const char* kKey = "metrics-bench-key";
constexpr int kWaitMs = 30000;
constexpr int kSettleMs = 3000;

[[noreturn]] void die(const std::string& what) { orv::bench::die(kProgram, what); }

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
      s->worker = orv::bench::serving_pid(kProgram, s->plain.pid());
      return;
    }
    bool clash = s->plain.log().find("cannot bind") != std::string::npos;
    s->plain.kill_and_reap();
    if (!clash) die("orv_target did not start: " + s->plain.log());
  }
  die("no free port");
}

// One FULL backup to server s (see timed_full_backup).
double run_backup(const Server& s, const std::string& source, uint64_t size, int window, uint8_t* buffer,
                  double* cpu) {
  orv::bench::IngestTarget t;
  t.program = kProgram;
  t.port = s.port;
  t.worker = s.worker;
  t.api_key = kKey;
  return orv::bench::timed_full_backup(t, source, size, window, buffer, cpu);
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
      size = orv::bench::parse_mib_size(kProgram, argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (a == "--window" && i + 1 < argc) {
      window = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: metrics_overhead [--size <MiB, or with K/M/G>] [--runs N] [--window BLOCKS]\n");
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
  on.worker = orv::bench::serving_pid(kProgram, metrics.process.pid());

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> scrapes{0};
  std::thread scraper([&] {
    while (!stop.load()) {
      if (orv_support::http_get(metrics.metrics_port(), "/metrics", 5000).status == 200) scrapes.fetch_add(1);
      orv_support::sleep_ms(1000);
    }
  });

  auto* buffer = new (std::nothrow) uint8_t[kIngestBlock];
  if (buffer == nullptr) die("out of memory");
  std::string source = off_files.dir.sub("source.bin");
  orv::bench::make_cached_source(kProgram, source, size, buffer);
  printf("metrics_overhead: %.0f MiB in %zu MiB blocks, %d in flight, %d runs; metrics scraped every second\n",
         static_cast<double>(size) / (1 << 20), kIngestBlock >> 20, window, runs);
  double gib = static_cast<double>(size) / (1ull << 30);
  auto mbs = [size](double s) { return static_cast<double>(size) / s / 1e6; };
  std::vector<double> off_s, on_s, off_cpu, on_cpu;
  for (int r = 0; r < runs; ++r) {
    double cpu = 0;
    orv_support::sleep_ms(kSettleMs);
    off_s.push_back(run_backup(off, source, size, window, buffer, &cpu));
    off_cpu.push_back(cpu / gib);
    clear_backups(off_files.storage);
    cpu = 0;
    orv_support::sleep_ms(kSettleMs);
    on_s.push_back(run_backup(on, source, size, window, buffer, &cpu));
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
