// Values the metrics endpoint reads at scrape time, from the kernel and the
// storage tree rather than from counters: process figures from /proc, the
// storage file system's space, and per-sub-directory backup counts.
// Plain functions; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

struct ProcessFigures {
  double cpu_seconds = 0;         // user + system time
  double start_time_seconds = 0;  // Unix time the process started
  double resident_bytes = 0;
  double virtual_bytes = 0;
  double open_fds = 0;
  double max_fds = 0;
  double threads = 0;
};

// Reads /proc/self/stat, /proc/stat and /proc/self/fd. STATUS_IO when
// /proc/self/stat cannot be read or parsed (*out then holds zeros).
[[nodiscard]] int32_t process_figures_read(ProcessFigures* out);

// Free space (available to unprivileged users) and total size of the file
// system holding path. STATUS_IO (both 0) when statvfs fails.
[[nodiscard]] int32_t storage_space_read(const char* path, uint64_t* free_bytes, uint64_t* size_bytes);

// One top-level sub-directory of the storage root.
inline constexpr size_t SUBDIR_NAME_SIZE = 256;
struct SubdirUsage {
  char name[SUBDIR_NAME_SIZE];  // printable ASCII only
  uint64_t backups;             // finished backups (catalog files) at any depth
  uint64_t bytes;               // size of every regular file below it
};

// At most this many sub-directories are reported (the first by name); the
// label set of the per-sub-directory metrics stays bounded by it.
inline constexpr size_t SUBDIR_REPORT_MAX = 256;
// A walk looks at no more than this many directory entries in all and goes
// no deeper than SUBDIR_DEPTH_MAX below a sub-directory; what lies beyond is
// not counted.
inline constexpr uint64_t SUBDIR_VISIT_MAX = 1000000;
inline constexpr int SUBDIR_DEPTH_MAX = 16;

// Walks the sub-directories of root without following symbolic links;
// names that are hidden (leading '.') or not printable ASCII are skipped.
// Fills out (capacity cap) sorted by name and returns the count; a root
// that cannot be opened gives 0.
size_t subdir_usage_scan(const char* root, SubdirUsage* out, size_t cap);

}  // namespace orv
