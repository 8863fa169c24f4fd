// Test support for the metrics endpoint: the real orv_target started with
// --metrics-listen (both ports chosen below the ephemeral range, retried on
// a clash), a plain HTTP client with bounded waits, reading one value out of
// the exposition text, and running orv_client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "server_process.h"

namespace orv_support {

// Connects to 127.0.0.1:port; -1 on failure.
inline int connect_loopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes or timeout_ms passes. True when it closed.
inline bool read_until_closed(int fd, int timeout_ms, std::string* out) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[16384];
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return false;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
    if (out != nullptr) out->append(buf, static_cast<size_t>(n));
  }
}

struct HttpReply {
  int status = 0;      // 0: no answer
  std::string head;    // status line and headers
  std::string body;
};

// Sends the raw request text to 127.0.0.1:port and reads the whole answer
// (the server closes the connection after it).
inline HttpReply http_raw(uint16_t port, const std::string& request, int timeout_ms = 20000) {
  HttpReply reply;
  int fd = connect_loopback(port);
  if (fd < 0) return reply;
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = write(fd, request.data() + sent, request.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string all;
  (void)read_until_closed(fd, timeout_ms, &all);
  close(fd);
  size_t split = all.find("\r\n\r\n");
  if (all.compare(0, 9, "HTTP/1.1 ") != 0 || split == std::string::npos) return reply;
  reply.status = atoi(all.c_str() + 9);
  reply.head = all.substr(0, split);
  reply.body = all.substr(split + 4);
  return reply;
}

inline HttpReply http_get(uint16_t port, const std::string& path, int timeout_ms = 20000) {
  return http_raw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", timeout_ms);
}

// Value of the sample "series " (name with its labels exactly as exposed,
// e.g. orv_backups_finished_total{type="full"}); NaN when absent.
inline double metric_value(const std::string& text, const std::string& series) {
  std::string needle = "\n" + series + " ";
  size_t at = ("\n" + text).find(needle);
  if (at == std::string::npos) return std::nan("");
  return strtod(text.c_str() + at + needle.size() - 1, nullptr);
}

// orv_target with its metrics endpoint on 127.0.0.1.
class MetricsTarget {
 public:
  explicit MetricsTarget(const TargetFiles& files) : files_(files) {}

  bool start(const std::vector<std::string>& extra = {}, int attempts = 6) {
    for (int i = 0; i < attempts; ++i) {
      port_ = pick_port();
      metrics_port_ = pick_port();
      if (metrics_port_ == port_) continue;
      std::vector<std::string> args = {"--storage", files_.storage, "--tls-cert", files_.cert,
                                       "--tls-key", files_.key, "--acl-file", files_.acl,
                                       "--bind", "127.0.0.1", "--port", std::to_string(port_),
                                       "--no-log", "--no-syslog", "--no-diag",
                                       "--metrics-listen", "127.0.0.1:" + std::to_string(metrics_port_)};
      args.insert(args.end(), extra.begin(), extra.end());
      setenv("ORV_TARGET_PRIV_SOCK_DIR", files_.dir.sub("run").c_str(), 1);
      if (!process.start(ORV_TARGET_BIN, args, files_.dir.sub("server-" + std::to_string(++starts_) + ".log"))) {
        return false;
      }
      if (process.wait_for_log("metrics endpoint listening on", 20000) && process.running()) return true;
      bool clash = process.log().find("cannot bind") != std::string::npos;
      process.kill_and_reap();
      if (!clash) return false;
    }
    return false;
  }

  // SIGTERM and a bounded wait; true when it stopped.
  bool stop() {
    if (!process.running()) return true;
    process.signal(SIGTERM);
    return process.wait_exit(30000);
  }

  std::string scrape() { return http_get(metrics_port_, "/metrics").body; }
  uint16_t port() const { return port_; }
  uint16_t metrics_port() const { return metrics_port_; }
  ChildProcess process;

 private:
  const TargetFiles& files_;
  uint16_t port_ = 0;
  uint16_t metrics_port_ = 0;
  int starts_ = 0;
};

#ifdef ORV_BINARY_DIR
// Runs orv_client COMMAND against the target with the key file and CA
// certificate; returns its exit code and output.
inline int run_client(const std::string& command, const TargetFiles& files, uint16_t port, const std::string& key_file,
                      const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<std::string> argv = {client_binary(), command, "--target", "localhost:" + std::to_string(port),
                                   "--api-key-file", key_file, "--ca-file", files.cert, "--quiet"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_tool(argv, 120000, out);
}
#endif  // ORV_BINARY_DIR

}  // namespace orv_support
