// The tables of options the program knows, the checks of a command line
// against them, and the server settings built from the command line. The
// lookups themselves (opt_value, opt_flag) are in core/args.h; none of them
// stops at a "--" argument; only opt_check does.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/args.h"
#include "server/server_config.h"

namespace orv {

inline constexpr const char* PROGRAM_NAME = "orv_target";
inline constexpr const char* PROGRAM_BUILD = "20261005-2";

// Printed to stderr (not through the log) when server mode lacks a required
// option; the process then exits with EXIT_USAGE.
inline constexpr const char* REQUIRED_OPTIONS_ERROR =
    "error: --storage, --tls-cert, --tls-key and --acl-file are required (use --help)\n";
inline constexpr int EXIT_USAGE = 2;

// One row of an option table. A table ends with a row whose long_name is null.
struct OptionSpec {
  const char* long_name;
  const char* alias;  // null: none
  bool takes_value;
};

// Options of the modes and of server mode, in lookup order.
extern const OptionSpec known_options[];
// --help/-h, --version, --selftest.
extern const OptionSpec early_options[];
// --no-syslog, --no-log, --syslog, --log, --log-path (recognised by opt_check
// only once the run log is set up).
extern const OptionSpec logging_options[];

// Walks the command line up to a "--" argument and warns (log at WARN and run
// log under RUNLOG_PROGRAM) about unknown options and about positional
// arguments beyond max_positional. Returns the number of warnings.
int opt_check(int argc, const char* const* argv, const OptionSpec* table, int max_positional);

// Unsigned decimal in the manner of strtoul: leading digits count, the rest
// is ignored, no digits give 0, a leading minus wraps around. The result is
// 64 bits wide so callers can cap before narrowing.
uint64_t parse_decimal_u64(const char* text);
// Port in the manner of strtol, keeping only the low 16 bits.
uint16_t parse_port(const char* text);

// Largest checkpoint threshold in MiB; larger values are lowered to it.
inline constexpr uint32_t CHECKPOINT_MIB_MAX = 256;

// Fills *config from the command line. Returns STATUS_INVALID when any of
// --storage, --tls-cert, --tls-key or --acl-file is missing (the other
// fields are filled all the same), else STATUS_OK. An empty value
// ("--storage=") counts as present. config->store gets what the store's
// options mean (checkpoint thresholds, partial age), its defaults where an
// option is 0 or absent; the entry adds --min-free and the shared objects.
[[nodiscard]] int32_t server_config_from_args(int argc, const char* const* argv,
                                              ServerConfig* config);

// Checkpoint byte threshold for the store: MiB times 1,048,576 (0 keeps the
// store's default).
uint64_t server_config_checkpoint_bytes(const ServerConfig& config);
// --min-free in bytes: a decimal number with an optional binary suffix K,
// M, G or T (also "MB"/"MiB" spellings); 0 when absent. STATUS_INVALID for
// any other text (the entry then exits with EXIT_USAGE).
[[nodiscard]] int32_t server_config_min_free(int argc, const char* const* argv, uint64_t* bytes);
// Partial expiry age in seconds: days times 86,400, or 7 days when 0.
int64_t server_config_partial_max_age_sec(const ServerConfig& config);

// Writes the title line, a blank line and the usage text to out.
void print_help(FILE* out);

// True when text is "ADDR:PORT" with a dotted IPv4 address and a decimal
// port from 1 to 65535, nothing else. Server mode refuses any other
// --metrics-listen value at start with METRICS_LISTEN_ERROR and EXIT_USAGE.
bool metrics_listen_valid(const char* text);
inline constexpr const char* METRICS_LISTEN_ERROR =
    "error: invalid --metrics-listen value '%s': expected <IPv4 address>:<port 1-65535>, e.g. 127.0.0.1:9991\n";

// Turns the outcome of server mode into the exit code: 0 for STATUS_OK;
// otherwise logs "orv_target exited with ..." at ERROR and gives 1.
int server_exit_code(int32_t status);

}  // namespace orv
