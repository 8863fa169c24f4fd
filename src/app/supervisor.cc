#include "app/supervisor.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/status.h"
#include "core/text.h"
#include "priv/priv_client.h"
#include "priv/priv_server.h"
#include "priv/privdrop.h"
#include "server/listener.h"

namespace orv {

namespace {

// Parent state shared with its signal handlers. Written by the main flow
// before the handlers are installed (and while the signals are blocked),
// afterwards only as noted.
volatile sig_atomic_t g_worker_pid = 0;       // cleared once the worker is gone, so no
                                              // signal ever reaches a reused pid
volatile sig_atomic_t g_listen_fd = -1;       // privileged listening socket, -1 when none
volatile sig_atomic_t g_parent_stopping = 0;  // set by SIGTERM/SIGINT
volatile sig_atomic_t g_worker_exited = 0;    // set by SIGCHLD once the worker is reaped
volatile sig_atomic_t g_worker_reaped = 0;    // the same, for the final wait
volatile sig_atomic_t g_worker_status = 0;    // raw wait status stored by SIGCHLD

void shutdown_listener() {
  int fd = g_listen_fd;
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void on_stop_signal(int sig) {
  int saved = errno;
  pid_t pid = g_worker_pid;
  if (pid > 0) kill(pid, sig);
  g_parent_stopping = 1;
  shutdown_listener();
  errno = saved;
}

void on_sighup(int) {
  int saved = errno;
  pid_t pid = g_worker_pid;
  if (pid > 0) kill(pid, SIGHUP);
  errno = saved;
}

void on_sigchld(int) {
  int saved = errno;
  pid_t pid = g_worker_pid;
  if (pid > 0) {
    // Look first without reaping, so that the pid is forgotten while the
    // zombie still holds it; only then reap.
    siginfo_t si;
    si.si_pid = 0;
    if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == pid) {
      g_worker_pid = 0;
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        g_worker_status = status;
        g_worker_reaped = 1;
        g_worker_exited = 1;
        shutdown_listener();
      }
    }
  }
  errno = saved;
}

void install_handler(int sig, void (*fn)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: accept and waits return with EINTR
  sigaction(sig, &sa, nullptr);
}

// The signals the parent handles, blocked around the fork so that none of
// them arrives before its handler is in place.
sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGCHLD);
  return set;
}

// Body of the forked worker; never returns.
[[noreturn]] void worker_main(const ServerConfig& config, int listen_fd, pid_t parent_pid) {
  close(listen_fd);
  if (drop_privileges() == 0) {
    // Set after the drop: a change of credentials clears this setting.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == parent_pid) _exit(run_worker(config) == STATUS_OK ? 0 : 1);
  }
  _exit(1);
}

// Waits for the worker after serving has ended: the status stored by the
// SIGCHLD handler, or a blocking wait (the stopping parent waits here for
// the worker's drain). SIGTERM, SIGINT and SIGHUP are still forwarded.
int wait_for_worker(pid_t pid) {
  sigset_t chld, old;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_BLOCK, &chld, &old);
  int status = -1;  // reads as "not a normal exit" if the worker cannot be waited for
  if (g_worker_reaped) {
    status = g_worker_status;
  } else {
    siginfo_t si;
    int r;
    do {
      si.si_pid = 0;
      r = waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    g_worker_pid = 0;
    pid_t w;
    do {
      w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w != pid) status = -1;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return status;
}

}  // namespace

void priv_socket_paths(char* path, size_t path_size, char* dir, size_t dir_size) {
  const char* env = getenv(PRIV_SOCK_DIR_ENV);
  const char* d = env != nullptr && env[0] != '\0' ? env : PRIV_SOCK_DIR_DEFAULT;
  char dir_buf[PRIV_SOCK_DIR_SIZE];
  copy_text(dir_buf, sizeof dir_buf, d);
  if (dir != nullptr && dir_size > 0) copy_text(dir, dir_size, dir_buf);
  if (path != nullptr && path_size > 0) snprintf(path, path_size, "%s/priv.sock", dir_buf);
}

int32_t run_supervised(const ServerConfig& config) {
  if (geteuid() != 0) {
    // This process is its own worker.
    if (!config.use_io_uring) listener_install_signal_handlers();
    return run_worker(config);
  }

  signal(SIGPIPE, SIG_IGN);  // inherited by the worker

  struct passwd* pw = getpwnam(SERVICE_USER);
  if (pw == nullptr) {
    log_write(LEVEL_ERROR, "running as root, but the '%s' user does not exist (run orv_setup --repair)",
              SERVICE_USER);
    return STATUS_IO;
  }
  const uid_t svc_uid = pw->pw_uid;
  const gid_t svc_gid = pw->pw_gid;
  char err_buf[128];

  char dir[PRIV_SOCK_DIR_SIZE];
  char path[PRIV_SOCK_PATH_SIZE];
  priv_socket_paths(path, sizeof path, dir, sizeof dir);

  // Only a directory itself is used: a regular file, a link (even to a
  // directory) or anything else at that path is refused, and its owner and
  // mode stay as they are. Owner and mode are set through the descriptor,
  // so they reach the directory that was checked.
  if (mkdir(dir, 0710) != 0 && errno != EEXIST) {
    log_write(LEVEL_ERROR, "cannot create %s: %s", dir, errno_text(err_buf, sizeof err_buf));
    return STATUS_IO;
  }
  int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) {
    log_write(LEVEL_ERROR, "cannot create %s: %s", dir, errno_text(err_buf, sizeof err_buf));
    return STATUS_IO;
  }
  (void)!fchown(dir_fd, 0, svc_gid);  // best effort: a directory that stays root-only
  (void)fchmod(dir_fd, 0710);         // only locks the worker out, which it then reports
  close(dir_fd);

  // A stale socket from an earlier run goes; anything else at the path
  // (a regular file, a symbolic link) is left alone and makes bind fail.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) (void)unlink(path);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_write(LEVEL_ERROR, "cannot create the privileged IPC socket: %s", errno_text(err_buf, sizeof err_buf));
    return STATUS_IO;
  }
  if (strlen(path) > PRIV_SOCK_PATH_MAX) {
    log_write(LEVEL_ERROR, "privileged IPC socket path too long: %s", path);
    close(fd);
    return STATUS_IO;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, strlen(path));
  if (bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
    log_write(LEVEL_ERROR, "cannot bind %s: %s", path, errno_text(err_buf, sizeof err_buf));
    close(fd);
    return STATUS_IO;
  }
  (void)!chown(path, 0, svc_gid);  // best effort, as for the directory
  (void)chmod(path, 0660);
  if (listen(fd, PRIV_LISTEN_BACKLOG) != 0) {
    log_write(LEVEL_ERROR, "cannot listen on %s: %s", path, errno_text(err_buf, sizeof err_buf));
    close(fd);
    (void)unlink(path);
    return STATUS_IO;
  }

  const sigset_t handled = handled_signals();
  sigset_t old_mask;
  sigprocmask(SIG_BLOCK, &handled, &old_mask);
  fflush(nullptr);  // nothing buffered is written twice by both processes
  const pid_t parent_pid = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    log_write(LEVEL_ERROR, "fork failed: %s", errno_text(err_buf, sizeof err_buf));
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    close(fd);
    (void)unlink(path);
    return STATUS_IO;
  }
  if (pid == 0) {
    // The worker's own handlers go in while the signals are still blocked:
    // a SIGHUP or SIGTERM forwarded before the listener is set up is then
    // kept for it instead of ending the worker with the default action. The
    // io_uring scaffold has no handlers and keeps the default actions.
    if (!config.use_io_uring) listener_install_signal_handlers();
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    worker_main(config, fd, parent_pid);
  }

  g_parent_stopping = 0;
  g_worker_exited = 0;
  g_worker_reaped = 0;
  g_worker_status = 0;
  g_worker_pid = pid;
  g_listen_fd = fd;
  log_write(LEVEL_INFO, "privileged parent pid=%d forked unprivileged worker pid=%d (uid=%d)",
            static_cast<int>(parent_pid), static_cast<int>(pid), static_cast<int>(svc_uid));
  install_handler(SIGTERM, on_stop_signal);
  install_handler(SIGINT, on_stop_signal);
  install_handler(SIGHUP, on_sighup);
  install_handler(SIGCHLD, on_sigchld);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);  // a signal that came meanwhile is handled now

  serve_privileged(fd, svc_uid, pid, &g_parent_stopping);

  const int status = wait_for_worker(pid);

  g_listen_fd = -1;
  close(fd);
  (void)unlink(path);
  (void)rmdir(dir);  // only goes when empty

  if (g_worker_exited && !g_parent_stopping) {
    log_write(LEVEL_ERROR, "worker process exited unexpectedly (status=%d); exiting so systemd restarts the unit",
              status);
    return STATUS_IO;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? STATUS_OK : STATUS_IO;
}

}  // namespace orv
