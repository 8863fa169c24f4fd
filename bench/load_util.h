// Shared pieces of the load benchmarks: the real orv_target started on
// 127.0.0.1 with a certificate made by the openssl tool, the process that
// serves its connections, and figures read from /proc.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/support/server_process.h"
#include "client/agent_session.h"
#include "core/text.h"
#include "store_bench_util.h"

namespace orv::bench {

constexpr const char* kLoadKey = "load-bench-key-0123456789";

[[noreturn]] inline void die(const char* program, const std::string& what) {
  fprintf(stderr, "%s: %s\n", program, what.c_str());
  exit(1);
}

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM") or a count
// ("Threads"); -1 when missing.
inline long proc_status_value(pid_t pid, const char* field) {
  std::string status = orv_support::read_text("/proc/" + std::to_string(pid) + "/status");
  std::string key = std::string("\n") + field + ":";
  size_t at = status.find(key);
  return at == std::string::npos ? -1 : atol(status.c_str() + at + key.size());
}

// CPU seconds (user + system) that process pid has used, its exited
// threads included; 0 when /proc cannot tell.
inline double cpu_seconds(pid_t pid) {
  std::string stat = orv_support::read_text("/proc/" + std::to_string(pid) + "/stat");
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

// The process that serves the connections of the target started as pid:
// as root the target forks an unprivileged worker; otherwise it serves
// itself.
inline pid_t serving_pid(const char* program, pid_t pid) {
  if (geteuid() != 0) return pid;
  for (int i = 0; i < 500; ++i) {
    std::string kids =
        orv_support::read_text("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    if (!kids.empty()) return static_cast<pid_t>(atoi(kids.c_str()));
    orv_support::sleep_ms(10);
  }
  die(program, "no worker process found");
}

// Raises the descriptor limit (inherited by the server started later).
inline void raise_fd_limit(rlim_t want) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  if (rl.rlim_cur >= want) return;
  rl.rlim_cur = rl.rlim_max < want ? rl.rlim_max : want;
  (void)setrlimit(RLIMIT_NOFILE, &rl);  // best effort; the caller checks what it got
}

// The target in a scratch directory, with one key allowed everywhere.
struct LoadServer {
  const char* program = "";
  const ScratchDir* scratch = nullptr;
  std::string storage, cert, key, acl;
  uint16_t port = 0;
  orv_support::ChildProcess process;
  pid_t worker = -1;

  void start(const std::vector<std::string>& extra = {}) {
    storage = scratch->file("storage");
    cert = scratch->file("cert.pem");
    key = scratch->file("key.pem");
    acl = scratch->file("acl.conf");
    if (mkdir(storage.c_str(), 0777) != 0 || chmod(storage.c_str(), 0777) != 0) die(program, "no storage dir");
    if (geteuid() == 0) {
      std::string sock = scratch->file("sock");
      if (mkdir(sock.c_str(), 0777) != 0) die(program, "no socket dir");
      setenv("ORV_TARGET_PRIV_SOCK_DIR", sock.c_str(), 1);
    }
    if (!orv_support::make_cert(cert, key)) die(program, "openssl could not make a certificate");
    if (!orv_support::write_text(acl, std::string(kLoadKey) + " **\n")) die(program, "cannot write the ACL");
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = orv_support::pick_port();
      std::vector<std::string> args = {"--storage", storage, "--tls-cert", cert, "--tls-key", key, "--acl-file", acl,
                                       "--bind", "127.0.0.1", "--port", std::to_string(port), "--no-log",
                                       "--no-syslog", "--no-diag"};
      args.insert(args.end(), extra.begin(), extra.end());
      if (!process.start(ORV_TARGET_BIN, args, scratch->file("server.log"))) die(program, "cannot start orv_target");
      if (process.wait_for_log("listening on", 30000) && process.running()) {
        worker = serving_pid();
        return;
      }
      bool clash = process.log().find("cannot bind") != std::string::npos;
      process.kill_and_reap();
      if (!clash) die(program, "orv_target did not start: " + process.log());
    }
    die(program, "no free port");
  }

  void stop() {
    process.signal(SIGTERM);
    if (!process.wait_exit(60000)) process.kill_and_reap();
  }

  pid_t serving_pid() { return bench::serving_pid(program, process.pid()); }

  AgentTarget target(const char* subdir) const {
    AgentTarget t;
    copy_text(t.host, sizeof t.host, "localhost");
    t.port = port;
    copy_text(t.ca_file, sizeof t.ca_file, cert);
    copy_text(t.api_key, sizeof t.api_key, kLoadKey);
    copy_text(t.subdir, sizeof t.subdir, subdir);
    t.timeout_ms = 300000;
    return t;
  }
};

}  // namespace orv::bench
