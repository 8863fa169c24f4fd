#include "server/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "core/log.h"
#include "core/metrics.h"
#include "core/status.h"
#include "core/text.h"
#include "core/sysinfo.h"
#include "priv/privdrop.h"
#include "protocol/tls_cert_info.h"
#include "protocol/tls_channel.h"
#include "server/acl.h"
#include "server/conn_limits.h"
#include "server/connection.h"
#include "server/metrics_exporter.h"
#include "server/thread.h"
#include "server/uring_scaffold.h"
#include "store/partial_lock.h"

namespace orv {

namespace {

constexpr uint32_t kDefaultDrainSec = 300;
constexpr long kDrainStepMs = 100;
constexpr int kKeepIdleSec = 30;
constexpr int kKeepIntervalSec = 10;
constexpr int kKeepCount = 3;

// Set by the signal handlers, read and cleared by the accept loop.
volatile sig_atomic_t g_stop_requested = 0;
volatile sig_atomic_t g_reload_requested = 0;
// The listening socket, published for the stop handler; -1 when none.
std::atomic<int> g_listen_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

void on_stop_signal(int) {
  g_stop_requested = 1;
  int fd = g_listen_fd.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);  // wakes a waiting accept
}

void on_reload_signal(int) { g_reload_requested = 1; }

const char* entries_suffix(size_t n) { return n == 1 ? "y" : "ies"; }

// The certificate's end of validity for the metrics; 0 when unreadable.
void note_certificate_expiry(const char* cert_path) {
  int64_t not_after = 0;
  (void)tls_certificate_not_after(cert_path, &not_after);  // 0 shows "unknown"
  service_metrics().tls_certificate_expiry.store(not_after, std::memory_order_relaxed);
}

// What the accept loop serves from. Only the listener's thread touches it.
struct ListenerState {
  const ServerConfig* config = nullptr;
  int fd = -1;
  TlsContext* tls_current = nullptr;
  TlsContext* tls_retired = nullptr;
  AclEntry* acl_current = nullptr;
  size_t acl_count = 0;
  // Tables replaced by a reload. Connections accepted earlier may still read
  // them, so they are released only at a stop with no session left.
  AclEntry** acl_superseded = nullptr;
  size_t superseded_count = 0;
  size_t superseded_capacity = 0;
  // Kept open so that, with every descriptor in use, one is freed to accept
  // and close a waiting connection instead of leaving it queued; -1 when none.
  int reserve_fd = -1;
  RefusalWarnings total_refusals;
  RefusalWarnings address_refusals;
  RefusalWarnings accept_failures;
};

// Process-wide, so tables still handed to connections stay reachable after
// run_listener returned with sessions running.
ListenerState g_listener;

void keep_superseded(ListenerState* s, AclEntry* table) {
  if (table == nullptr) return;
  if (s->superseded_count == s->superseded_capacity) {
    size_t grown = s->superseded_capacity == 0 ? 8 : s->superseded_capacity * 2;
    void* p = realloc(s->acl_superseded, grown * sizeof(AclEntry*));
    if (p == nullptr) return;  // the table is then simply never released
    s->acl_superseded = static_cast<AclEntry**>(p);
    s->superseded_capacity = grown;
  }
  s->acl_superseded[s->superseded_count++] = table;
}

// Releases everything; ACL tables only when no connection can still use them.
void release_state(ListenerState* s, bool sessions_gone) {
  tls_context_free(s->tls_current);
  tls_context_free(s->tls_retired);
  s->tls_current = nullptr;
  s->tls_retired = nullptr;
  if (!sessions_gone) return;
  acl_free(s->acl_current);
  s->acl_current = nullptr;
  for (size_t i = 0; i < s->superseded_count; ++i) acl_free(s->acl_superseded[i]);
  free(s->acl_superseded);
  s->acl_superseded = nullptr;
  s->superseded_count = 0;
}

// Reloads both halves independently; a failed half keeps what is in use.
void reload(ListenerState* s) {
  const ServerConfig& c = *s->config;
  TlsContext* fresh = nullptr;
  int32_t rc = tls_context_load(c.tls_cert_path, c.tls_key_path, &fresh);
  metrics_add(service_metrics().tls_reloads, 1);
  if (rc != STATUS_OK) {
    metrics_add(service_metrics().tls_reload_failures, 1);
    log_write(LEVEL_ERROR,
              "SIGHUP reload: failed to load TLS cert/key from %s / %s (%s, status=%d); keeping current certificate",
              c.tls_cert_path, c.tls_key_path, status_text(rc), rc);
  } else {
    tls_context_free(s->tls_retired);
    s->tls_retired = s->tls_current;
    s->tls_current = fresh;
    note_certificate_expiry(c.tls_cert_path);
    log_write(LEVEL_INFO, "SIGHUP reload: reloaded TLS certificate/key from %s / %s", c.tls_cert_path,
              c.tls_key_path);
  }

  AclEntry* table = nullptr;
  size_t count = 0;
  rc = acl_load(c.acl_file_path, &table, &count);
  metrics_add(service_metrics().acl_reloads, 1);
  if (rc != STATUS_OK) {
    metrics_add(service_metrics().acl_reload_failures, 1);
    log_write(LEVEL_ERROR, "SIGHUP reload: failed to load ACL file %s (%s, status=%d); keeping current ACL",
              c.acl_file_path, status_text(rc), rc);
    return;
  }
  keep_superseded(s, s->acl_current);
  s->acl_current = table;
  s->acl_count = count;
  service_metrics().acl_entries.store(count, std::memory_order_relaxed);
  log_write(LEVEL_INFO, "SIGHUP reload: loaded %zu ACL entr%s from %s", count, entries_suffix(count),
            c.acl_file_path);
}

void set_connection_options(int fd) {
  int one = 1;
  int idle = kKeepIdleSec;
  int interval = kKeepIntervalSec;
  int count = kKeepCount;
  // Best effort: a socket without them still works.
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// Counts one refusal of a kind and writes its warning when one is due.
void refusal_warning(RefusalWarnings* w, const char* format, const char* what) {
  uint32_t count = 0;
  if (!refusal_warning_due(w, monotonic_ms(), &count)) return;
  log_write(LEVEL_WARN, format, what, count);
}

// Admits a connection under the limits, or closes it at once. Returns true
// when admitted.
bool admit(ListenerState* s, int fd, uint32_t ipv4, const char* peer) {
  Admission a = conn_limits_admit(ipv4);
  if (a == Admission::admitted) return true;
  (void)close(fd);  // refused: the peer sees the connection closed
  metrics_connection_refused(RefusalReason::limit);
  if (a == Admission::total_limit) {
    refusal_warning(&s->total_refusals,
                    "connection limit reached: closing connection from %s (%u refused since the last warning)", peer);
  } else {
    refusal_warning(&s->address_refusals,
                    "connection limit per address reached: closing connection from %s (%u refused since the last "
                    "warning)",
                    peer);
  }
  return false;
}

// accept failed with err. Out of descriptors: the reserve descriptor makes
// room to take the waiting connection and close it, so the peer is answered
// and the queue does not wake the wait again at once. Every such failure is
// warned about at most once a second.
void accept_failed(ListenerState* s, int err) {
  if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED || err == EPROTO) return;
  char text[128];
  errno = err;
  errno_text(text, sizeof text);
  bool out_of_descriptors = err == EMFILE || err == ENFILE;
  if (out_of_descriptors && s->reserve_fd >= 0) {
    (void)close(s->reserve_fd);
    int fd = accept4(s->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) (void)close(fd);  // refused for want of descriptors
    s->reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  refusal_warning(&s->accept_failures, "cannot accept a connection: %s (%u refused since the last warning)", text);
  if (!out_of_descriptors || s->reserve_fd < 0) {
    // The pending connection stays queued and would wake the wait at once,
    // so pause instead of spinning.
    struct timespec pause = {0, 50 * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// Hands one accepted socket to a new thread; on any failure the socket is
// closed and the listener goes on.
void start_connection(ListenerState* s, int fd, const struct sockaddr_in& addr) {
  uint32_t ipv4 = ntohl(addr.sin_addr.s_addr);
  char peer[PEER_TEXT_SIZE];
  peer_text(ipv4, ntohs(addr.sin_port), peer, sizeof peer);
  metrics_add(service_metrics().connections_accepted, 1);
  if (!admit(s, fd, ipv4, peer)) return;
  set_connection_options(fd);
  ConnectionJob* job = new (std::nothrow) ConnectionJob;
  if (job == nullptr) {
    conn_limits_release(ipv4);
    (void)close(fd);  // dropped connection; nothing to report to
    return;
  }
  job->socket = fd;
  job->peer_ipv4 = ipv4;
  job->admitted = true;
  job->accepted_ms = monotonic_ms();
  copy_text(job->peer, sizeof job->peer, peer);
  job->config = s->config;
  job->acl_table = s->acl_current;
  job->acl_count = s->acl_count;
  if (tls_context_share(s->tls_current, &job->tls_context) != STATUS_OK) {
    connection_job_free(job);
    return;
  }
  // Counted before the thread exists, so a drain or release at stop never
  // misses a connection whose thread has not run yet.
  active_sessions_add(1);
  pthread_t thread;
  if (thread_start(&thread, connection_main, job) != 0) {
    active_sessions_add(-1);
    connection_job_free(job);
    return;
  }
  pthread_detach(thread);
}

// Blocks the stop and reload signals in this thread (and so in every
// connection thread it creates); they are taken only while waiting for a
// connection, so a signal can never slip in between the flag check and the
// wait.
void block_signals(sigset_t* old_mask, sigset_t* wait_mask) {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &block, old_mask);
  *wait_mask = *old_mask;
  sigdelset(wait_mask, SIGTERM);
  sigdelset(wait_mask, SIGINT);
  sigdelset(wait_mask, SIGHUP);
}

}  // namespace

void listener_install_signal_handlers() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a signal interrupts the wait
  sa.sa_handler = on_stop_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = on_reload_signal;
  sigaction(SIGHUP, &sa, nullptr);
}

namespace {

void accept_loop(ListenerState* s) {
  sigset_t old_mask;
  sigset_t wait_mask;
  block_signals(&old_mask, &wait_mask);
  while (!g_stop_requested) {
    if (g_reload_requested) {
      g_reload_requested = 0;
      reload(s);
    }
    struct pollfd pfd = {s->fd, POLLIN, 0};
    if (ppoll(&pfd, 1, nullptr, &wait_mask) <= 0) continue;  // signal: check the flags again
    struct sockaddr_in addr;
    socklen_t addr_len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    int fd = accept4(s->fd, reinterpret_cast<struct sockaddr*>(&addr), &addr_len, SOCK_CLOEXEC);
    if (fd < 0) {
      accept_failed(s, errno);
      continue;
    }
    if (g_stop_requested) {
      (void)close(fd);  // stopping: the peer sees the connection closed
      break;
    }
    start_connection(s, fd, addr);
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

// After the accept loop: close the socket, wait for running sessions.
// Returns true when none is left.
bool drain(ListenerState* s) {
  g_listen_fd.store(-1);
  (void)close(s->fd);  // the listening socket; nothing to report at stop
  s->fd = -1;
  uint32_t limit = s->config->drain_timeout_sec != 0 ? s->config->drain_timeout_sec : kDefaultDrainSec;
  int32_t running = active_sessions();
  if (running > 0) {
    log_write(LEVEL_INFO, "stopping: not accepting new connections; waiting up to %u s for %d running session(s)",
              limit, running);
  }
  uint64_t waited_ms = 0;
  uint64_t limit_ms = static_cast<uint64_t>(limit) * 1000;
  while (active_sessions() > 0 && waited_ms < limit_ms) {
    struct timespec step = {0, kDrainStepMs * 1000000L};
    nanosleep(&step, nullptr);
    waited_ms += kDrainStepMs;
  }
  running = active_sessions();
  if (running <= 0) {
    log_write(LEVEL_INFO, "stopped");
    return true;
  }
  log_write(LEVEL_WARN, "stopping with %d session(s) still running (drain timeout)", running);
  return false;
}

// Socket, bind and listen. Returns the status; logs bind/listen failures.
int32_t open_socket(const ServerConfig& c, int* out_fd) {
  *out_fd = -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return STATUS_IO;
  int one = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // best effort

  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(c.port);
  const char* shown = c.bind_address != nullptr ? c.bind_address : "0.0.0.0";
  if (c.bind_address == nullptr || strcmp(c.bind_address, "0.0.0.0") == 0) {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, c.bind_address, &addr.sin_addr) != 1) {
    (void)close(fd);
    return STATUS_INVALID;
  }
  char err[128];
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    log_write(LEVEL_ERROR, "cannot bind %s:%u: %s", shown, static_cast<unsigned>(c.port), errno_text(err, sizeof err));
    (void)close(fd);
    return STATUS_IO;
  }
  int backlog = c.listen_backlog != 0 ? static_cast<int>(c.listen_backlog) : static_cast<int>(LISTEN_BACKLOG);
  if (listen(fd, backlog) != 0) {
    log_write(LEVEL_ERROR, "cannot listen on %s:%u: %s", shown, static_cast<unsigned>(c.port),
              errno_text(err, sizeof err));
    (void)close(fd);
    return STATUS_IO;
  }
  // Non-blocking, so an accept after a wake-up never hangs on a connection
  // that went away in between; accepted sockets start blocking (the
  // connection switches its socket once its handshake is done).
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  *out_fd = fd;
  return STATUS_OK;
}

}  // namespace

int32_t run_worker(const ServerConfig& config) {
  // The io_uring backend is an experimental scaffold that serves no sessions.
  if (config.use_io_uring) {
    if (config.metrics_listen != nullptr) log_write(LEVEL_WARN, "--metrics-listen is not served with --io-uring");
    return run_io_uring_scaffold(config);
  }
  return run_listener(config);
}

// Connections hold a descriptor each, and more while a backup runs: the
// soft limit is raised as far as the hard limit allows (best effort).
void raise_descriptor_limit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= lim.rlim_max) return;
  lim.rlim_cur = lim.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &lim);
}

int32_t run_listener(const ServerConfig& config) {
  ListenerState& s = g_listener;
  s = ListenerState{};
  s.config = &config;
  // A stop or reload asked for before this point is kept: the handlers may
  // have been installed right after the fork.
  listener_install_signal_handlers();
  raise_descriptor_limit();
  int32_t rc = conn_limits_init(config.max_connections, config.max_connections_per_address);
  if (rc == STATUS_OK) rc = auth_watch_start();
  if (rc != STATUS_OK) return rc;

  rc = tls_context_load(config.tls_cert_path, config.tls_key_path, &s.tls_current);
  if (rc != STATUS_OK) {
    log_write(LEVEL_ERROR, "failed to load TLS certificate/key: %s (status=%d)", status_text(rc), rc);
    return rc;
  }
  rc = acl_load(config.acl_file_path, &s.acl_current, &s.acl_count);
  if (rc != STATUS_OK) {
    log_write(LEVEL_ERROR, "failed to load ACL file %s: %s (status=%d)", config.acl_file_path, status_text(rc), rc);
    release_state(&s, true);
    return rc;
  }
  log_write(LEVEL_INFO, "loaded %zu ACL entr%s from %s", s.acl_count, entries_suffix(s.acl_count),
            config.acl_file_path);
  service_metrics().acl_entries.store(s.acl_count, std::memory_order_relaxed);
  note_certificate_expiry(config.tls_cert_path);

  rc = open_socket(config, &s.fd);
  if (rc != STATUS_OK) {
    release_state(&s, true);
    return rc;
  }
  log_write(LEVEL_INFO, "orv_target listening on %s:%u (storage_root=%s, TLS enabled)",
            config.bind_address != nullptr ? config.bind_address : "0.0.0.0", static_cast<unsigned>(config.port),
            config.storage_root != nullptr ? config.storage_root : "");

  g_listen_fd.store(s.fd);
  s.reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // without it, refusals just wait
  // Does nothing unless the process still runs as root.
  if (drop_privileges() != 0) {
    if (s.reserve_fd >= 0) (void)close(s.reserve_fd);  // /dev/null, read-only
    g_listen_fd.store(-1);
    (void)close(s.fd);  // start-up failed; the privilege error was logged
    release_state(&s, true);
    return STATUS_IO;
  }
  // Started unprivileged: the scrape threads never run as root.
  MetricsExporter* exporter = nullptr;
  if (config.metrics_listen != nullptr) {
    MetricsSettings ms;
    ms.listen = config.metrics_listen;
    ms.storage_root = config.storage_root;
    ms.per_subdir = config.metrics_per_subdir;
    rc = metrics_exporter_start(ms, &exporter);
    if (rc != STATUS_OK) {
      g_listen_fd.store(-1);
      (void)close(s.fd);  // start-up failed; the bind error was logged
      release_state(&s, true);
      return rc;
    }
  }

  // Several targets may share one storage; their partial locks then rely on
  // file locks, and a storage without them is reported once, here.
  (void)store_locks(config.store).probe(config.storage_root);  // a refusal is logged; other failures show at BEGIN

  accept_loop(&s);
  if (s.reserve_fd >= 0) (void)close(s.reserve_fd);  // /dev/null, read-only
  s.reserve_fd = -1;
  bool sessions_gone = drain(&s);
  metrics_exporter_stop(exporter);
  release_state(&s, sessions_gone);
  return STATUS_OK;
}

}  // namespace orv
