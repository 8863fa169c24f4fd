// Memory of the target with many authenticated connections held open and
// idle: each one has had its TLS handshake and HELLO, then sends nothing.
// The figure is the serving process's resident set (VmRSS) before, with the
// connections open, and after they closed. Each connection thread has an
// 8 MiB receive buffer and its session record; buffers that receive nothing
// must not become resident.
//
//   load_idle [--connections 1000]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "client/client.h"
#include "core/status.h"
#include "load_util.h"

namespace {

constexpr const char* kProgram = "load_idle";

void report(const char* when, pid_t worker) {
  long rss = orv::bench::proc_status_value(worker, "VmRSS");
  long threads = orv::bench::proc_status_value(worker, "Threads");
  printf("  %-34s RSS %8.1f MiB   threads %5ld\n", when, static_cast<double>(rss) / 1024.0, threads);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int count = 1000;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--connections") == 0 && i + 1 < argc) {
      count = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: load_idle [--connections N]\n");
      return 2;
    }
  }
  if (count < 1) orv::bench::die(kProgram, "--connections must be positive");
  // Every connection is a descriptor on both sides; the server inherits
  // the limit.
  orv::bench::raise_fd_limit(static_cast<rlim_t>(count) * 2 + 256);

  static orv::bench::ScratchDir scratch;
  if (chmod(scratch.path().c_str(), 0755) != 0) orv::bench::die(kProgram, "cannot open the scratch directory");
  static orv::bench::LoadServer server;
  server.program = kProgram;
  server.scratch = &scratch;
  // Every connection comes from 127.0.0.1.
  server.start({"--max-connections-per-address", std::to_string(count + 16)});
  orv::AgentTarget target = server.target("idle");

  printf("load_idle: %d authenticated idle connections to orv_target (worker pid %d)\n", count,
         static_cast<int>(server.worker));
  orv_support::sleep_ms(500);
  report("started, no connection", server.worker);
  long idle_rss = orv::bench::proc_status_value(server.worker, "VmRSS");

  orv::Client* clients = new (std::nothrow) orv::Client[static_cast<size_t>(count)];
  if (clients == nullptr) orv::bench::die(kProgram, "out of memory");
  double t0 = orv::bench::now_sec();
  int open = 0;
  for (int i = 0; i < count; ++i) {
    orv::HelloReply reply;
    orv::AgentError err;
    if (orv::agent_connect(target, 0, &clients[i], &reply, &err) != orv::STATUS_OK) {
      fprintf(stderr, "load_idle: connection %d: %s\n", i, err.text);
      break;
    }
    ++open;
  }
  double t1 = orv::bench::now_sec();
  printf("  %d connections with TLS handshake and HELLO in %.2f s\n", open, t1 - t0);
  orv_support::sleep_ms(2000);
  report("all connections open and idle", server.worker);
  orv_support::sleep_ms(3000);
  report("5 s later", server.worker);
  long rss = orv::bench::proc_status_value(server.worker, "VmRSS");

  for (int i = 0; i < open; ++i) orv::client_close(&clients[i]);
  delete[] clients;
  orv_support::sleep_ms(2000);
  report("after every connection closed", server.worker);
  double mib = static_cast<double>(rss) / 1024.0;
  printf("result: %d idle authenticated connections, server RSS %.1f MiB, %.0f KiB per connection "
         "(target <= 512 MiB: %s)\n",
         open, mib, open > 0 ? static_cast<double>(rss - idle_rss) / open : 0.0,
         open == count && mib <= 512.0 ? "met" : "NOT met");
  server.stop();
  return open == count ? 0 : 1;
}
