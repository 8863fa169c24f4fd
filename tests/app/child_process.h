// Test helpers: temporary directories, and a function or the real binary run
// in a child process with stdout/stderr captured and every wait bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace orv_test {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A fresh directory under /tmp, removed with its contents at scope end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orv_app_test_XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ChildResult {
  bool exited = false;    // ended through exit, within the time limit
  int exit_code = -1;     // valid when exited
  bool timed_out = false; // killed (by pid) after the time limit
  std::string out, err;
};

// Runs body in a forked child (stdin /dev/null, stdout and stderr into files
// in dir). A body that returns ends the child with exit(0).
inline ChildResult run_in_child(const std::string& dir, const std::function<void()>& body,
                                std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  std::string out_path = dir + "/.child_stdout", err_path = dir + "/.child_stderr";
  fflush(stdout);
  fflush(stderr);
  ChildResult r;
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    body();
    exit(0);
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  pid_t w;
  while ((w = waitpid(pid, &status, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      (void)waitpid(pid, &status, 0);  // returns promptly after SIGKILL
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (w == pid && WIFEXITED(status)) {
    r.exited = true;
    r.exit_code = WEXITSTATUS(status);
  }
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

// Runs binary with args (argv[0] added) in a child.
inline ChildResult run_binary(const std::string& binary, const std::string& dir,
                              const std::vector<std::string>& args) {
  return run_in_child(dir, [&] {
    std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  });
}

}  // namespace orv_test
