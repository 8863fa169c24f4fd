// Test support shared by the server and integration tests: temporary
// directories, certificates made by the openssl command-line tool, running
// tools and the real orv_target binary as child processes. Every wait is
// bounded; processes are stopped by their pid only.
//
// The target drops root privileges to its service user when started as
// root, so everything it must read (or, for the storage root, write) is
// created accessible to other users.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace orv_support {

using Clock = std::chrono::steady_clock;

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Deterministic bytes that do not repeat from block to block.
inline std::string random_bytes(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t v = rng();
    memcpy(&s[i], &v, 8);
  }
  return s;
}

#ifdef ORV_BINARY_DIR
inline std::string client_binary() { return std::string(ORV_BINARY_DIR) + "/orv_client"; }
#endif

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool write_text(const std::string& path, const std::string& text, mode_t mode = 0644) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    if (!out) return false;
  }
  return chmod(path.c_str(), mode) == 0;
}

inline size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) ++n;
  return n;
}

// A fresh directory under /tmp (mode 0755), removed with its contents at
// scope end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orv_test_XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p != nullptr ? p : "";
    if (!path_.empty()) (void)chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }
  // Creates a sub-directory that any user may write.
  std::string make_dir(const std::string& name) const {
    std::string p = sub(name);
    (void)mkdir(p.c_str(), 0777);
    (void)chmod(p.c_str(), 0777);
    return p;
  }

 private:
  std::string path_;
};

// Waits up to timeout_ms for pid to end. Returns true and fills *status when
// it ended.
inline bool wait_pid(pid_t pid, int timeout_ms, int* status) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    sleep_ms(10);
  }
}

// Runs argv[0] (found through PATH) with stdin from /dev/null and stdout and
// stderr into *output. Returns the exit code, or -1 when the tool could not
// run, ended by a signal or was killed after timeout_ms.
inline int run_tool(const std::vector<std::string>& args, int timeout_ms, std::string* output = nullptr,
                    const std::string& stdin_text = "") {
  char out_path[] = "/tmp/orv_tool_out_XXXXXX";
  int out_fd = mkstemp(out_path);
  if (out_fd < 0) return -1;
  int in_pipe[2] = {-1, -1};
  if (pipe(in_pipe) != 0) {
    close(out_fd);
    unlink(out_path);
    return -1;
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    close(in_pipe[0]);
    close(in_pipe[1]);
    close(out_fd);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  if (pid > 0 && !stdin_text.empty()) {
    ssize_t w = write(in_pipe[1], stdin_text.data(), stdin_text.size());
    (void)w;
  }
  close(in_pipe[1]);
  int result = -1;
  if (pid > 0) {
    int status = 0;
    if (!wait_pid(pid, timeout_ms, &status)) {
      kill(pid, SIGKILL);
      (void)wait_pid(pid, 5000, &status);
    } else if (WIFEXITED(status)) {
      result = WEXITSTATUS(status);
    }
  }
  close(out_fd);
  if (output != nullptr) *output = read_text(out_path);
  unlink(out_path);
  return result;
}

// A self-signed EC certificate for CN=localhost and its key, both readable
// by every user. Returns true on success.
inline bool make_cert(const std::string& cert_path, const std::string& key_path) {
  std::string out;
  int rc = run_tool({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                     "-nodes", "-days", "30", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                     "-keyout", key_path, "-out", cert_path},
                    30000, &out);
  if (rc != 0) return false;
  return chmod(cert_path.c_str(), 0644) == 0 && chmod(key_path.c_str(), 0644) == 0;
}

// A connected TCP pair on the loopback address: *server_fd is the accepted
// end. Returns true on success.
inline bool tcp_pair(int* server_fd, int* client_fd) {
  *server_fd = -1;
  *client_fd = -1;
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) return false;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bool ok = bind(lfd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 && listen(lfd, 1) == 0 &&
            getsockname(lfd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0;
  if (ok) {
    *client_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok = *client_fd >= 0 && connect(*client_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  }
  if (ok) {
    *server_fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    ok = *server_fd >= 0;
  }
  close(lfd);
  return ok;
}

// A listening port below the ephemeral range; callers retry on a clash.
inline uint16_t pick_port() {
  static std::mt19937 rng(static_cast<unsigned>(getpid()) ^
                          static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  return static_cast<uint16_t>(20000 + rng() % 12000);
}

// A child process with stdout and stderr in a log file.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { kill_and_reap(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with args (program is argv[0]); output goes to log_path.
  bool start(const std::string& program, const std::vector<std::string>& args, const std::string& log_path) {
    log_path_ = log_path;
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<std::string> all;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const std::string& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      int devnull = open("/dev/null", O_RDONLY);
      if (devnull >= 0) dup2(devnull, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fd);
    if (pid < 0) return false;
    pid_ = pid;
    exited_ = false;
    return true;
  }

  pid_t pid() const { return pid_; }
  std::string log() const { return read_text(log_path_); }
  bool signal(int sig) const { return pid_ > 0 && !exited_ && kill(pid_, sig) == 0; }

  // Waits until the log contains text (true), the process ends, or the time
  // runs out.
  bool wait_for_log(const std::string& text, int timeout_ms, size_t occurrences = 1) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (count_of(log(), text) >= occurrences) return true;
      if (!running()) return count_of(log(), text) >= occurrences;
      if (Clock::now() >= deadline) return false;
      sleep_ms(10);
    }
  }

  bool running() {
    if (pid_ <= 0 || exited_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = status;
      return false;
    }
    return true;
  }

  // Waits up to timeout_ms for the process to end; true when it did.
  bool wait_exit(int timeout_ms) {
    if (pid_ <= 0) return false;
    if (exited_) return true;
    int status = 0;
    if (!wait_pid(pid_, timeout_ms, &status)) return false;
    exited_ = true;
    status_ = status;
    return true;
  }

  // Exit code after a normal exit, else -1.
  int exit_code() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

  void kill_and_reap() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      int status = 0;
      if (wait_pid(pid_, 10000, &status)) {
        exited_ = true;
        status_ = status;
      }
    }
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string log_path_;
};

// A complete set-up for one orv_target: certificate, key, ACL file and
// storage root in a temporary directory.
struct TargetFiles {
  TempDir dir;
  std::string cert;
  std::string key;
  std::string acl;
  std::string storage;

  // acl_text: the ACL file's contents.
  bool create(const std::string& acl_text) {
    cert = dir.sub("cert.pem");
    key = dir.sub("key.pem");
    acl = dir.sub("acl.conf");
    storage = dir.make_dir("storage");
    return !dir.path().empty() && make_cert(cert, key) && write_text(acl, acl_text);
  }
};

// The real binary listening on 127.0.0.1 with the given files. start()
// retries with another port when the chosen one is taken.
class TargetServer {
 public:
  // name: tells apart several targets on the same files (their privileged
  // socket directories and logs); "" for the only one.
  explicit TargetServer(const TargetFiles& files, const std::string& name = "") : files_(files), name_(name) {}

  // extra: further options. Returns true once the listening line appeared.
  bool start(const std::string& binary, const std::vector<std::string>& extra = {}, int attempts = 5) {
    for (int i = 0; i < attempts; ++i) {
      port_ = pick_port();
      std::vector<std::string> args = {"--storage", files_.storage, "--tls-cert", files_.cert,
                                       "--tls-key", files_.key, "--acl-file", files_.acl,
                                       "--bind", "127.0.0.1", "--port", std::to_string(port_),
                                       "--no-syslog"};
      if (!run_log) args.push_back("--no-log");
      if (!diag) args.push_back("--no-diag");
      args.insert(args.end(), extra.begin(), extra.end());
      std::string program = binary;
      if (!prefix.empty()) {
        // A wrapper such as prlimit runs the binary: its arguments first.
        args.insert(args.begin(), binary);
        args.insert(args.begin(), prefix.begin() + 1, prefix.end());
        program = prefix.front();
      }
      std::string tag = name_.empty() ? "" : name_ + "-";
      std::string log_path = files_.dir.sub(tag + "server-" + std::to_string(++starts_) + ".log");
      // Started as root, the server keeps a privileged socket; give each test
      // server its own directory so parallel tests never share one.
      const char* saved = getenv("ORV_TARGET_PRIV_SOCK_DIR");
      std::string saved_value = saved != nullptr ? saved : "";
      setenv("ORV_TARGET_PRIV_SOCK_DIR", files_.dir.sub(tag + "run").c_str(), 1);
      bool started = process.start(program, args, log_path);
      if (saved != nullptr) setenv("ORV_TARGET_PRIV_SOCK_DIR", saved_value.c_str(), 1);
      else unsetenv("ORV_TARGET_PRIV_SOCK_DIR");
      if (!started) return false;
      if (process.wait_for_log("listening on", 20000) && process.running()) return true;
      bool clash = process.log().find("cannot bind") != std::string::npos;
      process.kill_and_reap();
      if (!clash) return false;
    }
    return false;
  }

  uint16_t port() const { return port_; }
  ChildProcess process;
  bool diag = false;                // false: started with --no-diag
  bool run_log = false;             // false: started with --no-log
  std::vector<std::string> prefix;  // a wrapper program (absolute path) and its arguments

 private:
  const TargetFiles& files_;
  std::string name_;
  uint16_t port_ = 0;
  int starts_ = 0;
};

}  // namespace orv_support
