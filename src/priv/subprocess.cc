#include "priv/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/unique_fd.h"

extern char** environ;

namespace orv {

namespace {

// Longest time spent collecting output after the child has ended.
constexpr uint64_t RUN_DRAIN_MAX_MS = 1000;

uint64_t mono_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Length of the NAME part of "NAME=VALUE" (the whole text when there is no "=").
size_t env_name_len(const char* entry) {
  const char* eq = strchr(entry, '=');
  return eq != nullptr ? static_cast<size_t>(eq - entry) : strlen(entry);
}

bool env_same_name(const char* a, const char* b) {
  size_t n = env_name_len(a);
  return n == env_name_len(b) && strncmp(a, b, n) == 0;
}

// The child's environment: this process's entries minus those that the fixed
// entry or an extra entry overrides, then the fixed entry, then the extras.
// Built before the fork so the child only calls async-signal-safe functions.
// Returns null when out of memory; the caller delete[]s the array (the
// strings themselves are borrowed).
const char** build_child_env(const char* const* extra_env) {
  size_t n_env = 0;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) ++n_env;
  size_t n_extra = 0;
  for (const char* const* e = extra_env; e != nullptr && *e != nullptr; ++e) ++n_extra;

  const char** envp = new (std::nothrow) const char*[n_env + 1 + n_extra + 1];
  if (envp == nullptr) return nullptr;
  size_t k = 0;
  for (size_t i = 0; i < n_env; ++i) {
    const char* entry = environ[i];
    bool overridden = env_same_name(entry, RUN_FIXED_ENV);
    for (size_t j = 0; j < n_extra && !overridden; ++j) overridden = env_same_name(entry, extra_env[j]);
    if (!overridden) envp[k++] = entry;
  }
  envp[k++] = RUN_FIXED_ENV;
  for (size_t j = 0; j < n_extra; ++j) envp[k++] = extra_env[j];
  envp[k] = nullptr;
  return envp;
}

// Appends data to the capture buffer as far as it fits, leaving room for the
// terminating NUL.
void append_output(char* output, size_t output_size, size_t* used, const char* data, size_t n) {
  if (output == nullptr || output_size == 0) return;
  size_t room = output_size - 1 - *used;
  size_t take = n < room ? n : room;
  if (take > 0) {
    memcpy(output + *used, data, take);
    *used += take;
  }
  output[*used] = '\0';
}

// One read from the pipe. Returns false at end of stream or on a hard error.
bool read_chunk(int fd, char* output, size_t output_size, size_t* used) {
  char chunk[RUN_READ_CHUNK];
  ssize_t r = read(fd, chunk, sizeof chunk);
  if (r > 0) {
    append_output(output, output_size, used, chunk, static_cast<size_t>(r));
    return true;
  }
  if (r < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  return false;
}

[[noreturn]] void child_exec(const char* const* argv, const char* const* envp, int write_fd) {
  setpgid(0, 0);
  // Signals ignored or blocked by the parent would stay so across exec.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);

  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
  }
  if (dup2(write_fd, STDOUT_FILENO) < 0 || dup2(write_fd, STDERR_FILENO) < 0) _exit(RUN_EXIT_NOT_FOUND);
  // Nothing of the parent beyond the three standard streams reaches the tool.
  close_range(3, ~0u, 0);
  execvpe(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
  _exit(RUN_EXIT_NOT_FOUND);
}

void signal_child(pid_t pid, int sig) {
  kill(-pid, sig);
  kill(pid, sig);
}

}  // namespace


int run_command(const char* const* argv, const char* const* extra_env, uint32_t timeout_seconds,
                char* output, size_t output_size, RunResult* out_result, uint32_t kill_grace_seconds) {
  RunResult result;
  if (out_result != nullptr) *out_result = result;
  if (output != nullptr && output_size > 0) output[0] = '\0';
  if (argv == nullptr || argv[0] == nullptr) return -1;

  const char** envp = build_child_env(extra_env);
  if (envp == nullptr) return -1;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    delete[] envp;
    return -1;
  }
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);

  pid_t pid = fork();
  if (pid < 0) {
    delete[] envp;
    return -1;  // both pipe ends are closed by their owners
  }
  if (pid == 0) child_exec(argv, envp, write_end.get());

  delete[] envp;
  setpgid(pid, pid);  // also done by the child; whichever runs first wins
  write_end.reset();
  const uint64_t start_ms = mono_ms();
  const uint64_t timeout_ms = static_cast<uint64_t>(timeout_seconds) * 1000u;
  const uint64_t grace_ms = static_cast<uint64_t>(kill_grace_seconds) * 1000u;

  size_t used = 0;
  bool pipe_open = true;
  bool term_sent = false;
  uint64_t term_ms = 0;
  int wait_status = 0;
  bool reaped = false;

  for (;;) {
    // Wait for output or hang-up; after end of stream the poll only paces the loop.
    struct pollfd pfd = {pipe_open ? read_end.get() : -1, POLLIN, 0};
    int pr = poll(&pfd, 1, RUN_POLL_MS);
    if (pr > 0 && pipe_open && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      pipe_open = read_chunk(read_end.get(), output, output_size, &used);
    }

    pid_t w = waitpid(pid, &wait_status, WNOHANG);
    if (w == pid) {
      reaped = true;
      break;
    }
    if (w < 0 && errno != EINTR) break;  // not our child any more: nothing to wait for

    uint64_t now = mono_ms();
    if (term_sent) {
      if (now - term_ms >= grace_ms) {
        signal_child(pid, SIGKILL);
        while ((w = waitpid(pid, &wait_status, 0)) < 0 && errno == EINTR) {
        }
        reaped = w == pid;
        break;
      }
    } else if (now - start_ms >= timeout_ms) {
      result.timed_out = true;
      term_sent = true;
      term_ms = now;
      signal_child(pid, SIGTERM);
    }
  }

  // Collect what is still in the pipe. A descendant of the tool that keeps
  // the pipe open must not hold the caller forever, so the drain stops at end
  // of stream, after a quiet poll interval, or after RUN_DRAIN_MAX_MS.
  const uint64_t drain_start_ms = mono_ms();
  while (pipe_open && mono_ms() - drain_start_ms < RUN_DRAIN_MAX_MS) {
    struct pollfd pfd = {read_end.get(), POLLIN, 0};
    int pr = poll(&pfd, 1, RUN_POLL_MS);
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) break;
    pipe_open = read_chunk(read_end.get(), output, output_size, &used);
  }
  read_end.reset();

  if (reaped && WIFEXITED(wait_status)) result.exit_code = WEXITSTATUS(wait_status);
  if (out_result != nullptr) *out_result = result;
  return 0;
}

}  // namespace orv
