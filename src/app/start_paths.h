// Paths given at start must leave room for what is built from them (working
// directories, the log file's path; core/paths.h); one that does not fit
// would be cut further on and silently name another directory. These checks
// refuse such a path before anything uses it. Each writes one
// "error: ..." line to err and returns false for the first path that would
// be cut; the entry then exits with EXIT_USAGE.
#pragma once

#include <cstdio>

#include "server/server_config.h"

namespace orv {

// --log-path, unless --no-log: the log file's path ("<dir>/target.log") must
// fit the run log's buffer.
bool log_path_fits(int argc, const char* const* argv, FILE* err);

// Server mode: the storage root, the diagnostics directory (given, or
// "<storage>/diag" while diagnostics are on) and, when running as root, the
// privileged socket directory.
bool server_paths_fit(const ServerConfig& config, bool as_root, FILE* err);

// --collect-diag: the diagnostics directory (given, or "<storage>/diag").
bool collect_paths_fit(const char* storage, const char* diag_dir, FILE* err);

}  // namespace orv
