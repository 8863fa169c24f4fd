#include "app/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/runlog.h"
#include "core/status.h"
#include "diag/selftest.h"

namespace orv {

const OptionSpec known_options[] = {
    {"--priv-debug", nullptr, true},
    {"--sock", nullptr, true},
    {"--vg", nullptr, true},
    {"--lv", nullptr, true},
    {"--size", nullptr, true},
    {"--collect-diag", nullptr, false},
    {"--all", nullptr, false},
    {"--out", nullptr, true},
    {"--storage", nullptr, true},
    {"--bind", nullptr, true},
    {"--port", nullptr, true},
    {"--tls-cert", nullptr, true},
    {"--tls-key", nullptr, true},
    {"--acl-file", nullptr, true},
    {"--io-uring", nullptr, false},
    {"--no-io-uring", nullptr, false},
    {"--diag-dir", nullptr, true},
    {"--no-diag", nullptr, false},
    {"--drain-timeout", nullptr, true},
    {"--checkpoint-mib", nullptr, true},
    {"--checkpoint-sec", nullptr, true},
    {"--partial-max-age", nullptr, true},
    {"--min-free", nullptr, true},
    {"--max-connections", nullptr, true},
    {"--max-connections-per-address", nullptr, true},
    {"--memory-budget", nullptr, true},
    {"--metrics-listen", nullptr, true},
    {"--metrics-per-subdir", nullptr, false},
    {nullptr, nullptr, false},
};

const OptionSpec early_options[] = {
    {"--help", "-h", false},
    {"--version", nullptr, false},
    {"--selftest", nullptr, false},
    {nullptr, nullptr, false},
};

const OptionSpec logging_options[] = {
    {"--no-syslog", nullptr, false},
    {"--no-log", nullptr, false},
    {"--syslog", nullptr, true},
    {"--log", nullptr, true},
    {"--log-path", nullptr, true},
    {nullptr, nullptr, false},
};

namespace {

// Row of table that arg names, or null. A row without a value never matches
// an argument written with "=".
const OptionSpec* find_row(const OptionSpec* table, const char* arg) {
  for (const OptionSpec* row = table; row->long_name != nullptr; ++row) {
    if (opt_equals(arg, row->long_name) || opt_equals(arg, row->alias)) return row;
    if (row->takes_value && opt_value_after_equals(arg, row->long_name) != nullptr) return row;
  }
  return nullptr;
}

const OptionSpec* lookup_option(const OptionSpec* table, const char* arg) {
  const OptionSpec* row = find_row(table, arg);
  if (row == nullptr) row = find_row(early_options, arg);
  if (row == nullptr && runlog_is_set_up()) row = find_row(logging_options, arg);
  return row;
}

// Each warning goes to the diagnostic log and to the run log.
__attribute__((format(printf, 1, 2))) void option_warning(const char* format, ...) {
  char text[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  log_write(LEVEL_WARN, "%s", text);
  runlog_write(RUNLOG_PROGRAM, "%s", text);
}

}  // namespace

int opt_check(int argc, const char* const* argv, const OptionSpec* table, int max_positional) {
  int warnings = 0;
  int positional = 0;
  int i = 1;
  while (i < argc) {
    const char* arg = argv[i];
    if (strcmp(arg, "--") == 0) break;
    if (arg[0] != '-' || arg[1] == '\0') {
      if (positional >= max_positional) {
        option_warning("unexpected argument '%.*s' ignored", static_cast<int>(strlen(arg)), arg);
        ++warnings;
      }
      ++positional;
      ++i;
      continue;
    }
    const OptionSpec* row = lookup_option(table, arg);
    if (row != nullptr) {
      bool separate_value = row->takes_value && strchr(arg, '=') == nullptr;
      i += separate_value ? 2 : 1;  // past argc: the walk ends without a warning
      continue;
    }
    const char* eq = strchr(arg, '=');
    if (eq != nullptr) {
      option_warning("unknown option '%.*s=...' ignored", static_cast<int>(eq - arg), arg);
      ++i;
    } else if (i + 1 < argc && argv[i + 1][0] != '-') {
      option_warning("unknown option '%.*s' ignored (with the value after it)",
               static_cast<int>(strlen(arg)), arg);
      i += 2;
    } else {
      option_warning("unknown option '%.*s' ignored", static_cast<int>(strlen(arg)), arg);
      ++i;
    }
    ++warnings;
  }
  return warnings;
}

uint64_t parse_decimal_u64(const char* text) {
  if (text == nullptr) return 0;
  return strtoull(text, nullptr, 10);
}

uint16_t parse_port(const char* text) {
  if (text == nullptr) return 0;
  return static_cast<uint16_t>(static_cast<unsigned long>(strtol(text, nullptr, 10)) & 0xFFFFu);
}

int32_t server_config_from_args(int argc, const char* const* argv, ServerConfig* config) {
  ServerConfig c;
  c.bind_address = opt_value(argc, argv, "--bind", nullptr, "0.0.0.0");
  c.port = parse_port(opt_value(argc, argv, "--port", nullptr, "9990"));
  c.storage_root = opt_value(argc, argv, "--storage", nullptr, nullptr);
  c.listen_backlog = LISTEN_BACKLOG;
  c.use_io_uring = opt_flag(argc, argv, "--io-uring", nullptr) != 0;
  c.tls_cert_path = opt_value(argc, argv, "--tls-cert", nullptr, nullptr);
  c.tls_key_path = opt_value(argc, argv, "--tls-key", nullptr, nullptr);
  c.acl_file_path = opt_value(argc, argv, "--acl-file", nullptr, nullptr);
  c.drain_timeout_sec =
      static_cast<uint32_t>(parse_decimal_u64(opt_value(argc, argv, "--drain-timeout", nullptr, nullptr)));
  // The cap applies to the full parsed value, so a huge number gives the
  // cap rather than whatever its low 32 bits happen to be.
  uint64_t mib = parse_decimal_u64(opt_value(argc, argv, "--checkpoint-mib", nullptr, nullptr));
  c.checkpoint_mib = static_cast<uint32_t>(mib > CHECKPOINT_MIB_MAX ? CHECKPOINT_MIB_MAX : mib);
  c.checkpoint_sec =
      static_cast<uint32_t>(parse_decimal_u64(opt_value(argc, argv, "--checkpoint-sec", nullptr, nullptr)));
  c.partial_max_age_days =
      static_cast<uint32_t>(parse_decimal_u64(opt_value(argc, argv, "--partial-max-age", nullptr, nullptr)));
  c.diag_dir = opt_value(argc, argv, "--diag-dir", nullptr, nullptr);
  c.diag_off = opt_flag(argc, argv, "--no-diag", nullptr) != 0;
  uint64_t max_conn = parse_decimal_u64(opt_value(argc, argv, "--max-connections", nullptr, nullptr));
  if (max_conn != 0) c.max_connections = static_cast<uint32_t>(max_conn > UINT32_MAX ? UINT32_MAX : max_conn);
  uint64_t per_address =
      parse_decimal_u64(opt_value(argc, argv, "--max-connections-per-address", nullptr, nullptr));
  if (per_address != 0) {
    c.max_connections_per_address = static_cast<uint32_t>(per_address > UINT32_MAX ? UINT32_MAX : per_address);
  }
  const char* budget = opt_value(argc, argv, "--memory-budget", nullptr, nullptr);
  if (budget != nullptr && parse_size(budget, SIZE_BASIC, &c.memory_budget_bytes) != STATUS_OK) {
    option_warning("invalid --memory-budget value '%s': using the default", budget);
    c.memory_budget_bytes = 0;
  }
  c.metrics_listen = opt_value(argc, argv, "--metrics-listen", nullptr, nullptr);
  c.metrics_per_subdir = opt_flag(argc, argv, "--metrics-per-subdir", nullptr) != 0;
  if (c.checkpoint_mib != 0) c.store.checkpoint_bytes = server_config_checkpoint_bytes(c);
  if (c.checkpoint_sec != 0) c.store.checkpoint_seconds = c.checkpoint_sec;
  c.store.partial_max_age = server_config_partial_max_age_sec(c);
  *config = c;
  if (c.storage_root == nullptr || c.tls_cert_path == nullptr || c.tls_key_path == nullptr ||
      c.acl_file_path == nullptr) {
    return STATUS_INVALID;
  }
  return STATUS_OK;
}

uint64_t server_config_checkpoint_bytes(const ServerConfig& config) {
  return static_cast<uint64_t>(config.checkpoint_mib) * 1048576u;
}

int32_t server_config_min_free(int argc, const char* const* argv, uint64_t* bytes) {
  *bytes = 0;
  const char* text = opt_value(argc, argv, "--min-free", nullptr, nullptr);
  if (text == nullptr) return STATUS_OK;
  return parse_size(text, SIZE_ALL_FORMS, bytes);
}

int64_t server_config_partial_max_age_sec(const ServerConfig& config) {
  if (config.partial_max_age_days == 0) return PARTIAL_MAX_AGE_DEFAULT;
  return static_cast<int64_t>(config.partial_max_age_days) * 86400;
}

bool metrics_listen_valid(const char* text) {
  if (text == nullptr) return false;
  const char* colon = strrchr(text, ':');
  if (colon == nullptr || colon == text) return false;
  char address[INET_ADDRSTRLEN];
  size_t address_length = static_cast<size_t>(colon - text);
  if (address_length >= sizeof address) return false;
  memcpy(address, text, address_length);
  address[address_length] = '\0';
  struct in_addr parsed;
  if (inet_pton(AF_INET, address, &parsed) != 1) return false;
  const char* digits = colon + 1;
  size_t n = strlen(digits);
  if (n == 0 || n > 5 || strspn(digits, "0123456789") != n) return false;
  unsigned long port = strtoul(digits, nullptr, 10);
  return port >= 1 && port <= 65535;
}

int server_exit_code(int32_t status) {
  if (status == STATUS_OK) return 0;
  log_write(LEVEL_ERROR, "%s exited with %s (status=%d)", PROGRAM_NAME, status_text(status), status);
  return 1;
}

namespace {

// Printed after the title line, followed by a newline.
constexpr const char* kUsage = R"USAGE(
Usage: orv_target --storage <dir> --tls-cert <path> --tls-key <path> --acl-file <path>
                   [--bind <addr>] [--port <n>] [--drain-timeout <s>] [--io-uring]
                   [--checkpoint-mib <n>] [--checkpoint-sec <n>] [--partial-max-age <days>]
                   [--diag-dir <dir>] [--no-diag]

       orv_target --collect-diag [--out <file>] [--diag-dir <dir> | --storage <dir>] [--all]
                 bundles the pilot-diagnostics records collected since the last --collect-diag run (or all of
                 them, with --all) plus a short environment snapshot into a tar.zst file (default
                 ./orv_diag_target_<hostname>_<timestamp>.tar.zst), meant to be handed over for optimization

--acl-file maps API keys to the storage subdirectories they may use, one
entry per line: "<api_key> <dir1>[,<dir2>,...]" (# comments allowed). Each
dir is a shell-style glob (like a Linux pathname pattern: '*'/'?' never match
'/'), e.g. "msd*" allows msd1/msd2/msd-foo and "msd/*" allows one level of
subdirectory under msd/. A trailing "/**" (or the bare "**") instead allows
any depth under it, e.g. "msd/**" allows msd/a, msd/a/b, msd/a/b/c, ...
All connections are TLS-encrypted using --tls-cert/--tls-key.

An interrupted backup stays on the server as a partial (image plus journal) and can be continued by the agent. The
journal is made durable (fsync) after --checkpoint-mib MiB (default 32) or --checkpoint-sec seconds (default 10);
partials older than --partial-max-age days (default 7) are deleted.

SIGTERM/SIGINT stop it gracefully: no new connections, running sessions may finish for up to
--drain-timeout seconds (default 300), then it exits (systemd: set TimeoutStopSec above that).

SIGHUP reloads the TLS certificate/key (--tls-cert/--tls-key) and the ACL file (--acl-file) from the
same paths given at startup, without dropping existing connections or requiring a restart. Other
settings (--storage, --bind/--port, --checkpoint-*, --diag-dir/--no-diag, --io-uring) are not
reloadable; changing those needs a restart.

Connections are served by one thread each (POSIX backend). --io-uring selects
an experimental backend that does NOT serve sessions yet (it only accepts and
closes connections); it exists for development. --no-io-uring is accepted and
ignored (the POSIX backend is the default).

--diag-dir <dir>   where pilot-diagnostics records are appended (default <storage>/diag)
--no-diag          do not record pilot-diagnostics data for any session

Logging: --no-syslog                syslog output disabled for this run
         --no-log                   the program's own logfile disabled for this run
         --syslog <bitmask>          what to log to syslog (default: 1)
         --log <bitmask>             what to log to the own logfile (default: 1)
         --log-path <dir>            directory for the logfile (default: /var/log/orv/)
         (bit 0 = one entry at program start and one at program end;
          bit 1/0x2 = one entry at the start and one at the end of each backup session,
          with its name and type FULL/DIFF/INC)

--min-free <size>  refuse a new backup (BEGIN) while the storage file system has less free space
                   than <size> (suffixes K, M, G, T, e.g. 1G); continued backups are not refused
                   (default 0: no check)

Limits: --max-connections <n>               connections served at once (default 4096); more are closed at once
        --max-connections-per-address <n>   connections from one IP address at once (default 256)
        --memory-budget <size>              memory for the block tables of all running backups, continuations
                                            and restores together, with K, M or G (default: a quarter of the
                                            physical memory); a session that would pass it gets "out of memory"
        A peer must complete the TLS handshake and authenticate within 30 s, with frames of at most 4096
        bytes until then; a reply the peer does not take within 120 s ends its session.

Metrics: --metrics-listen <addr:port>  serve Prometheus metrics (plain HTTP, GET /metrics) on this IPv4
                                       address and port, e.g. 127.0.0.1:9991 (default: off)
         --metrics-per-subdir          also report backups and bytes per top-level storage subdirectory)USAGE";

}  // namespace

void print_help(FILE* out) {
  fprintf(out, "%s %s (build %s)\n\n", PROGRAM_NAME, PROGRAM_VERSION, PROGRAM_BUILD);
  // The text starts after the raw literal's opening line break.
  fprintf(out, "%s\n", kUsage + 1);
  fflush(out);
}

}  // namespace orv
