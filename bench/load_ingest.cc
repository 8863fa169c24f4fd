// Aggregate ingest of parallel sessions into the real orv_target, side by
// side in the same run with as many parallel raw TLS pipes made with socat.
//
// Sessions: N FULL backups at once (the bench command of orv_client, in
// process), each sending generated data in 4 MiB blocks with two BLOCKs in
// flight; every byte is received, CRC-checked, written to an image and made
// durable at checkpoints (default 32 MiB / 10 s), and each backup ends with
// its catalog. Pipes: N socat pairs at once, each serving the same cached
// source file over TLS 1.3 (AES-256-GCM, as the sessions use) to a second
// socat that writes it into a file of its own, without CRC, fsync or
// catalog. As in the single-session ingest benchmark, the pipe's TLS
// server is the sending side, so no session tickets are left unread.
//
// Rounds alternate (sessions, pipes) with a pause between transfers, so
// each starts with memory returned to the host; medians are reported.
// Scratch files go to $ORV_BENCH_DIR (or $TMPDIR, or /tmp).
//
//   load_ingest [--sessions 8] [--size 256M per session] [--rounds 3]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/agent_bench.h"
#include "core/args.h"
#include "core/status.h"
#include "load_util.h"

namespace {

constexpr const char* kProgram = "load_ingest";
constexpr int kSettleMs = 3000;
constexpr int kWaitMs = 30000;

using orv::bench::die;
using orv_support::ChildProcess;

// True once something listens on 127.0.0.1:port.
bool listening(uint16_t port) {
  char want[8];
  snprintf(want, sizeof want, ":%04X", port);
  std::string tcp = orv_support::read_text("/proc/net/tcp");
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

struct Run {
  const orv::bench::ScratchDir* scratch = nullptr;
  orv::bench::LoadServer* server = nullptr;
  std::string source;
  uint64_t size = 0;
  uint32_t sessions = 0;

  // Seconds from the moment all sessions start sending until the last END_OK.
  double run_sessions() {
    orv::BenchParams p;
    p.target = server->target("load");
    p.sessions = sessions;
    p.size = size;
    orv::BenchResult r;
    int32_t rc = orv::agent_bench(p, &r);
    if (rc != orv::STATUS_OK) {
      std::string why = r.sessions != nullptr && r.count > 0 ? r.sessions[0].err.text : "";
      for (uint32_t i = 0; i < r.count; ++i) {
        if (r.sessions[i].status != orv::STATUS_OK) why = r.sessions[i].err.text;
      }
      die(kProgram, "sessions failed: " + why);
    }
    for (uint32_t i = 0; i < r.count; ++i) {
      if (r.sessions[i].image_size != size) die(kProgram, "a session stored a short image");
    }
    double s = r.wall_seconds;
    orv::bench_result_free(&r);
    remove_all_in(server->storage + "/load");
    return s;
  }

  // N socat senders listen; N socat receivers start at once. Seconds from
  // starting the receivers until the last one ended.
  double run_pipes() {
    std::vector<std::unique_ptr<ChildProcess>> senders;
    std::vector<uint16_t> ports;
    for (uint32_t i = 0; i < sessions; ++i) {
      bool up = false;
      for (int attempt = 0; attempt < 5 && !up; ++attempt) {
        uint16_t p = orv_support::pick_port();
        auto sender = std::make_unique<ChildProcess>();
        std::string listen = "OPENSSL-LISTEN:" + std::to_string(p) + ",bind=127.0.0.1,reuseaddr,cert=" +
                             server->cert + ",key=" + server->key + ",verify=0";
        if (!sender->start("/usr/bin/socat", {"-b", "1048576", "-u", "OPEN:" + source, listen},
                           scratch->file("socat-send-" + std::to_string(i) + ".log"))) {
          die(kProgram, "cannot start socat");
        }
        for (int w = 0; w < 500 && sender->running() && !listening(p); ++w) orv_support::sleep_ms(10);
        if (sender->running() && listening(p)) {
          up = true;
          ports.push_back(p);
          senders.push_back(std::move(sender));
        }
      }
      if (!up) die(kProgram, "socat listener did not start");
    }
    std::vector<std::unique_ptr<ChildProcess>> receivers;
    double t0 = orv::bench::now_sec();
    for (uint32_t i = 0; i < sessions; ++i) {
      auto receiver = std::make_unique<ChildProcess>();
      if (!receiver->start("/usr/bin/socat",
                           {"-b", "1048576", "-u", "OPENSSL:127.0.0.1:" + std::to_string(ports[i]) + ",verify=0",
                            "CREATE:" + scratch->file("pipe-" + std::to_string(i) + ".out")},
                           scratch->file("socat-recv-" + std::to_string(i) + ".log"))) {
        die(kProgram, "cannot start socat");
      }
      receivers.push_back(std::move(receiver));
    }
    for (auto& r : receivers) {
      if (!r->wait_exit(600000)) die(kProgram, "socat receiver did not finish");
    }
    double t1 = orv::bench::now_sec();
    for (auto& s : senders) {
      if (!s->wait_exit(kWaitMs)) die(kProgram, "socat sender did not finish");
    }
    for (uint32_t i = 0; i < sessions; ++i) {
      std::string out = scratch->file("pipe-" + std::to_string(i) + ".out");
      struct stat st;
      if (stat(out.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != size) {
        die(kProgram, "a pipe delivered a short file: " + receivers[i]->log());
      }
      unlink(out.c_str());
    }
    return t1 - t0;
  }
};

void make_source(const std::string& path, uint64_t size) {
  constexpr size_t kChunk = 4u << 20;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunk]);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die(kProgram, "cannot create the source");
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (uint64_t off = 0; off < size; off += kChunk) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - off));
    for (size_t i = 0; i + 8 <= n; i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      memcpy(buf.get() + i, &x, 8);
    }
    if (pwrite(fd, buf.get(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) die(kProgram, "write failed");
  }
  close(fd);
  // Read once so that every round finds it cached.
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  for (uint64_t off = 0; off < size; off += kChunk) {
    if (pread(fd, buf.get(), kChunk, static_cast<off_t>(off)) < 0) die(kProgram, "read failed");
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t sessions = 8;
  uint64_t size = 256ull << 20;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--sessions" && i + 1 < argc) {
      sessions = static_cast<uint32_t>(atoi(argv[++i]));
    } else if (a == "--size" && i + 1 < argc) {
      if (orv::parse_size(argv[++i], orv::SIZE_ALL_FORMS, &size) != orv::STATUS_OK) die(kProgram, "bad --size");
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: load_ingest [--sessions N] [--size SIZE per session] [--rounds N]\n");
      return 2;
    }
  }
  if (sessions == 0 || size == 0 || rounds < 1) die(kProgram, "sessions, size and rounds must be positive");
  if (access("/usr/bin/socat", X_OK) != 0) die(kProgram, "socat is needed for the baseline");

  static orv::bench::ScratchDir scratch;
  if (chmod(scratch.path().c_str(), 0755) != 0) die(kProgram, "cannot open the scratch directory");
  static orv::bench::LoadServer server;
  server.program = kProgram;
  server.scratch = &scratch;
  server.start();
  std::string load_dir = server.storage + "/load";
  if (mkdir(load_dir.c_str(), 0777) != 0 || chmod(load_dir.c_str(), 0777) != 0) die(kProgram, "no load dir");

  Run run;
  run.scratch = &scratch;
  run.server = &server;
  run.source = scratch.file("source.bin");
  run.size = size;
  run.sessions = sessions;
  make_source(run.source, size);

  double total = static_cast<double>(size) * sessions;
  printf("load_ingest: %u parallel transfers of %.0f MiB each (%.1f GiB in total), %d rounds, scratch %s\n",
         sessions, static_cast<double>(size) / (1 << 20), total / (1ull << 30), rounds, scratch.path().c_str());
  std::vector<double> sess, pipes;
  for (int r = 0; r < rounds; ++r) {
    orv_support::sleep_ms(kSettleMs);
    sess.push_back(run.run_sessions());
    orv_support::sleep_ms(kSettleMs);
    pipes.push_back(run.run_pipes());
    printf("  round %d: %u sessions %6.0f MB/s | %u socat TLS pipes %6.0f MB/s\n", r + 1, sessions,
           total / sess.back() / 1e6, sessions, total / pipes.back() / 1e6);
    fflush(stdout);
  }
  double s = total / orv::bench::median(sess) / 1e6;
  double p = total / orv::bench::median(pipes) / 1e6;
  printf("median: %u sessions into orv_target %.0f MB/s, %u socat TLS pipes %.0f MB/s, ratio %.2f "
         "(target >= 0.80: %s)\n",
         sessions, s, sessions, p, s / p, s / p >= 0.8 ? "met" : "NOT met");
  server.stop();
  return 0;
}
