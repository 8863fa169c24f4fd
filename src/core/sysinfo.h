// Environment queries: host name, OS description, free space, clocks, and
// directory creation with parents. No shared state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/paths.h"

namespace orv {

inline constexpr size_t HOST_NAME_SIZE = 64;
inline constexpr size_t OS_DESCRIPTION_SIZE = 160;

// On failure buf holds "" and the mapped status is returned.
[[nodiscard]] int32_t host_name(char* buf, size_t size);
// Always 0: "<PRETTY_NAME> (<sysname> <release>)", "<sysname> <release>" or "unknown".
int32_t os_description(char* buf, size_t size);
// Same, reading the given os-release file (tests).
int32_t os_description_from(const char* os_release_path, char* buf, size_t size);
// f_bavail * f_frsize; *out unchanged on failure.
[[nodiscard]] int32_t disk_free_bytes(const char* path, uint64_t* out);
int64_t now_seconds();
uint64_t monotonic_ms();
// Creates path and its missing parents (mode 0777, umask applies).
[[nodiscard]] int32_t make_dirs(const char* path);

}  // namespace orv
