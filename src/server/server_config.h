// Server settings: built once from the command line (server_config_from_args
// and the entry) and passed down by const reference to the listener, every
// connection and its session, and (the `store` part) to the store. Nothing
// below reads a process-wide setting. Read-only once the server runs; the
// program keeps its one value until the process ends, since detached
// connection threads read it. Text fields point into argv: the storage root
// and the diagnostics directory exist once, here, and are never copied.
#pragma once

#include <cstdint>

#include "store/store_settings.h"

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
  // The store's options as given (0: not given); `store` holds what they
  // mean, with the defaults filled in.
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
  StoreSettings store;
};

}  // namespace orv
