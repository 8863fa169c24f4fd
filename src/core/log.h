// Diagnostic log: one line per call on standard error,
// "<UTC time> [<program>] <LEVEL padded to 5> <message>".
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr uint32_t LEVEL_DEBUG = 0;
inline constexpr uint32_t LEVEL_INFO = 1;
inline constexpr uint32_t LEVEL_WARN = 2;
inline constexpr uint32_t LEVEL_ERROR = 3;

inline constexpr size_t LOG_NAME_MAX = 63;

// "DEBUG", "INFO", "WARN", "ERROR", or "?" above 3.
const char* log_level_name(uint32_t level);

// Sets the program name (cut to 63 characters) and the minimum level. Call
// once before any thread exists; the first call also creates the log mutex.
void log_init(const char* name, uint32_t min_level);

// Writes one line in printf style. Lines below the minimum level are dropped
// before anything is formatted. Thread-safe: lines never interleave.
void log_write(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace orv
