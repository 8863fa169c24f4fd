// Limits of the paths the server builds below the storage root and the
// diagnostics directory, as buffer sizes with the NUL. Every such path
// buffer takes its size from here. A path that does not fit is refused (or,
// where a function says so, cut), never silently shortened into another
// existing name.
#pragma once

#include <cstddef>

namespace orv {

// The storage root and the diagnostics directory given at start (and
// "<storage root>/diag" while diagnostics are on) are shorter than this;
// the entry refuses longer ones.
inline constexpr size_t CONFIGURED_DIR_SIZE = 512;
// A request's working directory, "<storage root>/<target_subdir>", is
// shorter than this: room for any storage root and a target_subdir of up
// to 64 characters.
inline constexpr size_t WORKDIR_SIZE = CONFIGURED_DIR_SIZE + 64;
// A backup's catalog and image paths (at most 1,023 characters), and the
// directories named on the command line that files are written below.
inline constexpr size_t STORE_PATH_SIZE = 1024;
// Those paths with a suffix: the temporary image ("<image>.tmp") and the
// journal ("<image>.part", which also names the partial's lock).
inline constexpr size_t STORE_TEMP_PATH_SIZE = STORE_PATH_SIZE + 16;
// Any other path built below the storage root or the diagnostics
// directory: names found by a directory listing, the parents that are
// created or synced, the diagnostics files, the keys of the lock table (at
// most 1,099 characters).
inline constexpr size_t PATH_SIZE = 1100;

// A file name (at most 255 bytes) fits below any working directory.
static_assert(WORKDIR_SIZE + 1 + 255 < STORE_PATH_SIZE);
static_assert(STORE_TEMP_PATH_SIZE <= PATH_SIZE);

}  // namespace orv
