// The network side of the worker: loads the TLS context and the access
// list, listens on one IPv4 address, and serves every accepted connection
// in a detached thread of its own. SIGTERM/SIGINT stop it after a drain;
// SIGHUP reloads the certificate/key and the access list.
#pragma once

#include <cstdint>

#include "server/server_config.h"

namespace orv {

// Runs the io_uring scaffold when config.use_io_uring is set, otherwise
// run_listener. Returns its status.
[[nodiscard]] int32_t run_worker(const ServerConfig& config);

// Installs the listener's handlers for SIGTERM, SIGINT and SIGHUP (they only
// set flags and wake the accept). The worker calls it first thing after the
// fork, so a signal that arrives before the listener is set up is kept for
// it instead of ending the process; run_listener calls it too.
void listener_install_signal_handlers();

// Loads, binds, accepts until SIGTERM/SIGINT, drains. Returns STATUS_OK after
// a graceful stop, otherwise the status of the first start-up failure.
// Installs process-wide signal handlers; call from one thread only.
[[nodiscard]] int32_t run_listener(const ServerConfig& config);

}  // namespace orv
