// Server settings built from the command line; read-only after start.
// Text fields point into argv; nothing is copied.
#pragma once

#include <cstdint>

namespace orv {

inline constexpr uint32_t LISTEN_BACKLOG = 16;

struct ServerConfig {
  const char* bind_address = "0.0.0.0";
  uint16_t port = 9990;
  const char* storage_root = nullptr;
  uint32_t listen_backlog = LISTEN_BACKLOG;
  bool use_io_uring = false;
  const char* tls_cert_path = nullptr;
  const char* tls_key_path = nullptr;
  const char* acl_file_path = nullptr;
  uint32_t drain_timeout_sec = 0;   // 0: the listener uses 300
  uint32_t checkpoint_mib = 0;      // capped at 256
  uint32_t checkpoint_sec = 0;
  uint32_t partial_max_age_days = 0;
  const char* diag_dir = nullptr;   // null: "<storage>/diag"
  bool diag_off = false;
  uint32_t max_connections = 4096;             // --max-connections; 0 given: the default
  uint32_t max_connections_per_address = 256;  // --max-connections-per-address; 0 given: the default
  uint64_t memory_budget_bytes = 0;            // --memory-budget; 0: a quarter of physical memory
  const char* metrics_listen = nullptr;  // "ADDR:PORT"; null: no metrics endpoint
  bool metrics_per_subdir = false;
};

}  // namespace orv
