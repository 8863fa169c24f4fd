// The root parent's side of the privileged socket: accepts one connection at
// a time, checks the peer's credentials, reads one request frame, runs the
// LVM operation and answers with one response frame. Single-threaded.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>

namespace orv {

// Send and receive time-out on an accepted connection, so that a stalled
// client holds up the parent for at most this long per read or write.
inline constexpr int PRIV_CONN_TIMEOUT_SEC = 10;
// Tag whose presence the lv_query answer reports as "tagged".
inline constexpr const char* PRIV_LV_TAG = "orv_agent";

// Serves listen_fd until *stop_flag is set or the socket is shut down or
// closed (accept fails with EINVAL, EBADF or ENOTSOCK). Only peers with
// expected_uid are served (root is refused like any other uid); a peer
// whose pid is not worker_pid is served with an INFO note. Does not close
// listen_fd.
void serve_privileged(int listen_fd, uid_t expected_uid, pid_t worker_pid,
                      const volatile sig_atomic_t* stop_flag);

// Reads one request from fd and answers it. Returns STATUS_OK when a
// response was sent; a request that could not be read or has an unknown
// opcode gets no response (and a WARN line). Does not close fd.
[[nodiscard]] int32_t handle_privileged_request(int fd);

}  // namespace orv
