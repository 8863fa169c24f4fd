// Diagnostics bundle: packs the session records of diag.jsonl, a manifest
// and an environment snapshot into one .tar.zst file that an operator hands
// over. Without --all only the records written since the previous collection
// are taken; the byte offset reached is kept in "<diag dir>/.last_collected".
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/paths.h"

namespace orv {

inline constexpr size_t DIAG_BUNDLE_JSON_SIZE = 1024;
inline constexpr size_t DIAG_OUT_NAME_SIZE = 256;
inline constexpr int DIAG_BUNDLE_ZSTD_LEVEL = 19;

// Builds and writes the bundle. The diagnostics directory is diag_dir when it
// is non-empty, else "<storage>/diag" when storage is non-empty; out is the
// output file, or, when null or empty,
// "orv_diag_target_<host>_<seconds>.tar.zst" in the current directory.
// Returns STATUS_OK; STATUS_INVALID (after an ERROR line) when no directory
// is known; STATUS_IO (after an ERROR line) when the archive cannot be built
// or the output cannot be written. The mark advances only after a complete
// write and only without `all`. Single-threaded.
[[nodiscard]] int32_t collect_diag(const char* storage, const char* diag_dir, const char* out,
                                   bool all);

// The same with the host name given instead of read from the system (null:
// read it). An empty host name appears as "host" in the default file name.
[[nodiscard]] int32_t collect_diag_as_host(const char* storage, const char* diag_dir,
                                           const char* out, bool all, const char* host);

}  // namespace orv
