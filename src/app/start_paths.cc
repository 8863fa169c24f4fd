#include "app/start_paths.h"

#include <cstdlib>
#include <cstring>

#include "app/options.h"
#include "app/supervisor.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "diag/bundle.h"

namespace orv {

namespace {

constexpr const char* kDiagSuffix = "/diag";

bool fits(const char* text, size_t buffer_size) { return text == nullptr || strlen(text) < buffer_size; }

}  // namespace

bool log_path_fits(int argc, const char* const* argv, FILE* err) {
  if (opt_flag(argc, argv, "--no-log", nullptr) != 0) return true;
  const char* dir = opt_value(argc, argv, "--log-path", nullptr, RUNLOG_DEFAULT_DIR);
  // runlog_file_name: "<dir>[/]<program name without orv_>.log", cut to
  // RUNLOG_PATH_MAX characters.
  size_t dir_len = strlen(dir);
  const char* base = strncmp(PROGRAM_NAME, "orv_", 4) == 0 ? PROGRAM_NAME + 4 : PROGRAM_NAME;
  size_t needed = dir_len + (dir_len > 0 && dir[dir_len - 1] == '/' ? 0 : 1) + strlen(base) + strlen(".log");
  if (needed <= RUNLOG_PATH_MAX) return true;
  fprintf(err, "error: --log-path is too long: the log file's path would have %zu bytes, at most %zu fit\n",
          needed, RUNLOG_PATH_MAX);
  return false;
}

bool server_paths_fit(const ServerConfig& config, bool as_root, FILE* err) {
  if (!fits(config.storage_root, CONFIGURED_DIR_SIZE)) {
    fprintf(err, "error: --storage is too long: %zu bytes, at most %zu fit\n", strlen(config.storage_root),
            CONFIGURED_DIR_SIZE - 1);
    return false;
  }
  bool diag_given = config.diag_dir != nullptr && config.diag_dir[0] != '\0';
  if (diag_given && !fits(config.diag_dir, CONFIGURED_DIR_SIZE)) {
    fprintf(err, "error: --diag-dir is too long: %zu bytes, at most %zu fit\n", strlen(config.diag_dir),
            CONFIGURED_DIR_SIZE - 1);
    return false;
  }
  if (!diag_given && !config.diag_off && config.storage_root != nullptr &&
      strlen(config.storage_root) + strlen(kDiagSuffix) >= CONFIGURED_DIR_SIZE) {
    fprintf(err,
            "error: --storage is too long for the default diagnostics directory <storage>/diag (at most %zu "
            "bytes fit); give --diag-dir or --no-diag\n",
            CONFIGURED_DIR_SIZE - 1);
    return false;
  }
  const char* sock_dir = getenv(PRIV_SOCK_DIR_ENV);
  if (as_root && !fits(sock_dir, PRIV_SOCK_DIR_SIZE)) {
    fprintf(err, "error: %s is too long: %zu bytes, at most %zu fit\n", PRIV_SOCK_DIR_ENV, strlen(sock_dir),
            PRIV_SOCK_DIR_SIZE - 1);
    return false;
  }
  return true;
}

bool collect_paths_fit(const char* storage, const char* diag_dir, FILE* err) {
  if (diag_dir != nullptr && diag_dir[0] != '\0') {
    if (fits(diag_dir, STORE_PATH_SIZE)) return true;
    fprintf(err, "error: --diag-dir is too long: %zu bytes, at most %zu fit\n", strlen(diag_dir), STORE_PATH_SIZE - 1);
    return false;
  }
  if (storage == nullptr || strlen(storage) + strlen(kDiagSuffix) < STORE_PATH_SIZE) return true;
  fprintf(err,
          "error: --storage is too long for the diagnostics directory <storage>/diag (at most %zu bytes fit); "
          "give --diag-dir\n",
          STORE_PATH_SIZE - 1);
  return false;
}

}  // namespace orv
