// Experimental io_uring network backend: accepts connections through a ring
// and closes each one at once. Serves no sessions.
#pragma once

#include <cstdint>

#include "server/server_config.h"

namespace orv {

// STATUS_IO when set-up fails, STATUS_OK when the accept loop ends.
[[nodiscard]] int32_t run_io_uring_scaffold(const ServerConfig& config);

}  // namespace orv
