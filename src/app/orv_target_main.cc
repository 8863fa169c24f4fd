// Entry of orv_target: selects the mode from the command line and turns its
// outcome into the exit code. Returning from main (rather than _exit) lets
// the run log's exit hook record the status.
#include <unistd.h>

#include <cstdio>
#include <new>

#include "app/debug_client.h"
#include "app/options.h"
#include "app/start_paths.h"
#include "app/supervisor.h"
#include "core/log.h"
#include "core/runlog.h"
#include "core/status.h"
#include "diag/bundle.h"
#include "diag/selftest.h"
#include "server/server_config.h"
#include "store/memory_budget.h"
#include "store/partial_lock.h"

using namespace orv;

namespace {

// Privileged debug client: one request to the privileged socket.
int run_priv_debug_mode(int argc, const char* const* argv) { return run_priv_debug(argc, argv); }

// Diagnostics bundle: 0 when it was written, else 1.
int run_collect_diag_mode(int argc, const char* const* argv) {
  const char* storage = opt_value(argc, argv, "--storage", nullptr, nullptr);
  const char* diag_dir = opt_value(argc, argv, "--diag-dir", nullptr, nullptr);
  const char* out = opt_value(argc, argv, "--out", nullptr, nullptr);
  bool all = opt_flag(argc, argv, "--all", nullptr) != 0;
  if (!collect_paths_fit(storage, diag_dir, stderr)) return EXIT_USAGE;
  return collect_diag(storage, diag_dir, out, all) == STATUS_OK ? 0 : 1;
}

int run_server_mode(int argc, const char* const* argv) {
  // Detached connection threads read the settings until the process ends.
  static ServerConfig config;
  if (server_config_from_args(argc, argv, &config) != STATUS_OK) {
    fputs(REQUIRED_OPTIONS_ERROR, stderr);
    return EXIT_USAGE;
  }
  if (!server_paths_fit(config, geteuid() == 0, stderr)) return EXIT_USAGE;
  if (config.metrics_listen != nullptr && !metrics_listen_valid(config.metrics_listen)) {
    fprintf(stderr, METRICS_LISTEN_ERROR, config.metrics_listen);
    return EXIT_USAGE;
  }
  uint64_t min_free = 0;
  if (server_config_min_free(argc, argv, &min_free) != STATUS_OK) {
    fprintf(stderr, "error: --min-free wants a size such as 512M or 1G, got '%s'\n",
            opt_value(argc, argv, "--min-free", nullptr, ""));
    return EXIT_USAGE;
  }
  config.store.min_free = min_free;
  // The two objects every session of the server shares, made from the
  // settings before any connection and named in them. Never destroyed:
  // detached connection threads may use them until the process ends.
  config.store.locks = new (std::nothrow) PartialLocks(partial_lock_slots(config.max_connections));
  config.store.budget = new (std::nothrow)
      MemoryBudget(config.memory_budget_bytes != 0 ? config.memory_budget_bytes : memory_budget_default());
  if (config.store.locks == nullptr || config.store.budget == nullptr) return server_exit_code(STATUS_NOMEM);
  return server_exit_code(run_supervised(config));
}

}  // namespace

int main(int argc, char** argv) {
  const char* const* args = argv;
  int rc = handle_version_selftest(argc, args, PROGRAM_NAME);
  if (rc >= 0) return rc;

  log_init(PROGRAM_NAME, LEVEL_INFO);
  if (!log_path_fits(argc, args, stderr)) return EXIT_USAGE;
  runlog_init(argc, args, PROGRAM_NAME);
  (void)opt_check(argc, args, known_options, 0);  // warnings only; never stops the program

  // --priv-debug takes its mode word as a value, so "--priv-debug=<word>"
  // selects the mode too.
  if (opt_flag(argc, args, "--priv-debug", nullptr) != 0 ||
      opt_value(argc, args, "--priv-debug", nullptr, nullptr) != nullptr) {
    return run_priv_debug_mode(argc, args);
  }
  if (opt_flag(argc, args, "--collect-diag", nullptr) != 0) return run_collect_diag_mode(argc, args);
  if (opt_flag(argc, args, "--help", "-h") != 0) {
    print_help(stdout);
    return 0;
  }
  return run_server_mode(argc, args);
}
