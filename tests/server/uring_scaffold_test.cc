// Starts the real binary with --io-uring on the loopback address. Run as
// root, the binary is started as "nobody" so that it is its own worker.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <liburing.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool io_uring_permitted() {
  io_uring ring;
  if (io_uring_queue_init(256, &ring, 0) != 0) return false;
  io_uring_queue_exit(&ring);
  return true;
}

uint16_t next_port() {  // below the ephemeral range; callers retry when taken
  static uint16_t port = static_cast<uint16_t>(20000 + getpid() % 10000);
  return ++port;
}

// The binary on a port, its standard error on a pipe; killed by pid at the end.
class Scaffold {
 public:
  explicit Scaffold(uint16_t port) : port_(port) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::string port_text = std::to_string(port);
    passwd* nobody = getpwnam("nobody");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDERR_FILENO);
      if (geteuid() == 0 && nobody != nullptr &&
          (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) {
        _exit(126);
      }
      execl(ORV_TARGET_BIN, ORV_TARGET_BIN, "--io-uring", "--bind", "127.0.0.1", "--port",
            port_text.c_str(), "--storage", "/srv/none", "--tls-cert", "c", "--tls-key", "k",
            "--acl-file", "a", "--no-log", "--no-syslog", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    err_fd_ = fds[0];
  }
  ~Scaffold() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) (void)waitpid(pid_, nullptr, 0);  // prompt
    if (err_fd_ >= 0) close(err_fd_);
  }

  // Reads standard error until it holds text; false at its end or after 10 s.
  bool wait_for_log(const std::string& text) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (log.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{err_fd_, POLLIN, 0};
      char buf[4096];
      ssize_t n = left.count() > 0 && poll(&p, 1, int(left.count())) > 0
                      ? read(err_fd_, buf, sizeof buf) : -1;
      if (n <= 0) return false;
      log.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  // Wait status, or -1 when the process still runs after 10 s.
  int wait_exit() {
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  uint16_t port_;
  pid_t pid_ = -1;
  int err_fd_ = -1;
  std::string log;
};

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

TEST(UringScaffoldTest, AcceptsEachClientAndClosesItAtOnceUntilSigterm) {
  if (!io_uring_permitted()) GTEST_SKIP() << "io_uring is not permitted on this machine";
  std::unique_ptr<Scaffold> s;
  for (int attempt = 0; attempt < 10; ++attempt) {
    s = std::make_unique<Scaffold>(next_port());
    std::string port = std::to_string(s->port_);
    if (s->wait_for_log("INFO  orv_target (io_uring) listening on 127.0.0.1:" + port +
                        " (storage_root=/srv/none)\n")) {
      break;
    }
    ASSERT_NE(s->log.find("ERROR cannot bind/listen on 127.0.0.1:" + port), std::string::npos)
        << s->log;
  }
  ASSERT_TRUE(s->wait_for_log(
      "WARN  io_uring backend is an unfinished scaffold: it accepts and immediately CLOSES every "
      "connection (no TLS, no ACL, no sessions). Do not use it for real backups; start "
      "orv_target without --io-uring to get the working POSIX backend.\n"))
      << s->log;
  EXPECT_LT(s->log.find("(io_uring) listening"), s->log.find("WARN"));  // INFO comes first

  for (int i = 0; i < 3; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(s->port_);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    pollfd p{fd, POLLIN, 0};
    char byte;
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "connection " << i << " stayed open";
    ssize_t n = recv(fd, &byte, 1, 0);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << "recv gave " << n;
    close(fd);
  }

  // No handlers of its own: SIGTERM ends it by the default action.
  ASSERT_EQ(kill(s->pid_, SIGTERM), 0);
  int status = s->wait_exit();
  EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

TEST(UringScaffoldTest, TakenPortLogsTheBindErrorAndExitsWithOne) {
  if (!io_uring_permitted()) GTEST_SKIP() << "io_uring is not permitted on this machine";
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
  for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
    sockaddr_in a = loopback(next_port());
    if (bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) port = ntohs(a.sin_port);
  }
  ASSERT_TRUE(port != 0 && listen(holder, 4) == 0);

  Scaffold s(port);
  EXPECT_TRUE(s.wait_for_log("ERROR cannot bind/listen on 127.0.0.1:" + std::to_string(port) +
                             ": Address already in use\n"))
      << s.log;
  int status = s.wait_exit();
  close(holder);
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(s.log.find("listening"), std::string::npos);
}

}  // namespace
