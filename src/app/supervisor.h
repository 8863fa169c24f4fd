// Server mode's process frame. Started as root, the process keeps a small
// single-threaded privileged parent that serves logical-volume requests on a
// local Unix socket, and forks one worker that drops to the service user and
// runs the network listener. Started as any other user, the process is its
// own worker.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/server_config.h"

namespace orv {

// Environment variable naming the directory of the privileged socket.
inline constexpr const char* PRIV_SOCK_DIR_ENV = "ORV_TARGET_PRIV_SOCK_DIR";
inline constexpr const char* PRIV_SOCK_DIR_DEFAULT = "/run/orv_target";
inline constexpr size_t PRIV_SOCK_DIR_SIZE = 512;
inline constexpr size_t PRIV_SOCK_PATH_SIZE = 560;
// Backlog of the privileged listening socket.
inline constexpr int PRIV_LISTEN_BACKLOG = 8;

// Fills dir with $ORV_TARGET_PRIV_SOCK_DIR when it is set and not empty,
// otherwise "/run/orv_target", and path with "<dir>/priv.sock" (both cut to
// their buffers).
void priv_socket_paths(char* path, size_t path_size, char* dir, size_t dir_size);

// Runs server mode. As root: creates the socket directory (0710) and
// "priv.sock" (0660), both owned by root and the service user's group;
// forks the worker (which drops privileges, dies with the parent and runs
// run_worker); serves the privileged socket until SIGTERM/SIGINT or the
// worker's end; forwards SIGTERM, SIGINT and SIGHUP to the worker; waits for
// it; removes the socket. Returns STATUS_OK only when the worker exited 0
// after a stop request; a worker that ends by itself gives STATUS_IO after
// an ERROR line. Not as root: returns run_worker(config).
// Installs process-wide signal handlers; call once, from the main thread.
[[nodiscard]] int32_t run_supervised(const ServerConfig& config);

}  // namespace orv
