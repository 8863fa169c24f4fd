// Command line of orv_admin: the subcommand and its options. Parsing only;
// the commands are in admin_commands.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

enum class AdminCommand { none, help, version, list, du, verify, prune };

inline constexpr const char* ADMIN_DEFAULT_STORAGE = "/var/lib/orv_target";

struct AdminOptions {
  AdminCommand command = AdminCommand::none;
  const char* storage = ADMIN_DEFAULT_STORAGE;  // points into argv or at the default
  const char* subdir = nullptr;                 // glob; null: every directory
  bool json = false;
  // verify
  bool data = false;
  double rate_mb = 0;                           // MB/s (10^6 bytes); 0: no limit
  // prune
  bool dry_run = false;
  bool as_of_given = false;
  int64_t as_of = 0;
  int64_t orphan_age_days = 7;
  // verify and prune
  const char* metrics_file = nullptr;
};

// Parses argv (argv[0] is the program). STATUS_INVALID with a one-line
// reason in error for a usage error.
[[nodiscard]] int32_t admin_parse(int argc, char** argv, AdminOptions* out, char* error, size_t error_size);

const char* admin_usage_text();

}  // namespace orv
