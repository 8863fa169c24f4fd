// io_uring backend, scaffold stage: the ring plumbing of a network backend
// without any session behind it. Each connection is accepted through the
// ring and closed at once. No TLS, no sessions, and no signal handlers:
// SIGTERM, SIGINT and SIGHUP end the process by their default action.
#include "server/uring_scaffold.h"

#include <arpa/inet.h>
#include <liburing.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/status.h"
#include "core/unique_fd.h"
#include "priv/privdrop.h"

namespace orv {
namespace {

inline constexpr unsigned URING_ENTRIES = 256;

// Owner of an initialised ring.
class Ring {
 public:
  Ring() = default;
  ~Ring() {
    if (ready_) io_uring_queue_exit(&ring_);
  }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  [[nodiscard]] bool init(unsigned entries) {
    ready_ = io_uring_queue_init(entries, &ring_, 0) == 0;
    return ready_;
  }
  io_uring* get() { return &ring_; }

 private:
  io_uring ring_{};
  bool ready_ = false;
};

// Accept failures that no retry can mend (the ring or the socket is not
// usable for accepting); every other failure is one connection's problem.
bool accept_error_is_permanent(int err) {
  return err == EINVAL || err == EBADF || err == ENOTSOCK || err == EOPNOTSUPP || err == EFAULT;
}

}  // namespace

int32_t run_io_uring_scaffold(const ServerConfig& config) {
  Ring ring;
  if (!ring.init(URING_ENTRIES)) return STATUS_IO;

  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return STATUS_IO;
  int one = 1;
  (void)setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // best effort

  // A bind address that does not parse leaves the wildcard in place: this
  // backend serves nothing, so it takes the address as a hint only.
  const char* shown = config.bind_address != nullptr ? config.bind_address : "0.0.0.0";
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(config.port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (config.bind_address != nullptr && strcmp(config.bind_address, "0.0.0.0") != 0) {
    in_addr parsed{};
    if (inet_pton(AF_INET, config.bind_address, &parsed) == 1) addr.sin_addr = parsed;
  }

  uint32_t backlog = config.listen_backlog != 0 ? config.listen_backlog : LISTEN_BACKLOG;
  if (bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(sock.get(), static_cast<int>(backlog)) != 0) {
    char err[128];
    log_write(LEVEL_ERROR, "cannot bind/listen on %s:%u: %s", shown,
              static_cast<unsigned>(config.port), errno_text(err, sizeof err));
    return STATUS_IO;
  }

  if (drop_privileges() != 0) return STATUS_IO;

  log_write(LEVEL_INFO, "orv_target (io_uring) listening on %s:%u (storage_root=%s)", shown,
            static_cast<unsigned>(config.port),
            config.storage_root != nullptr ? config.storage_root : "");
  log_write(LEVEL_WARN,
            "io_uring backend is an unfinished scaffold: it accepts and immediately CLOSES every "
            "connection (no TLS, no ACL, no sessions). Do not use it for real backups; start "
            "orv_target without --io-uring to get the working POSIX backend.");

  int32_t result = STATUS_OK;
  for (;;) {
    io_uring_sqe* sqe = io_uring_get_sqe(ring.get());
    if (sqe == nullptr) break;  // cannot happen with one request in flight
    io_uring_prep_accept(sqe, sock.get(), nullptr, nullptr, SOCK_CLOEXEC);
    io_uring_sqe_set_data64(sqe, 0);
    // Nothing is in flight when the submit fails, so waiting would never end.
    if (io_uring_submit(ring.get()) < 0) break;
    io_uring_cqe* cqe = nullptr;
    if (io_uring_wait_cqe(ring.get(), &cqe) < 0) break;
    int res = cqe->res;
    io_uring_cqe_seen(ring.get(), cqe);
    if (res >= 0) {
      (void)close(res);  // the scaffold serves nothing: close at once
    } else if (accept_error_is_permanent(-res)) {
      // Retrying would spin on the same failure forever (for example a
      // kernel without accept support in its rings).
      log_write(LEVEL_ERROR, "io_uring accept failed: %s (errno=%d)", strerror(-res), -res);
      result = STATUS_IO;
      break;
    }
  }
  return result;
}

}  // namespace orv
