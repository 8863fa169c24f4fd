// Run log for operators: program start and end, option warnings, and backup
// session start and end. Each entry goes to the program's own log file and
// to syslog, each destination filtered by its own category mask.
//
// Command line (read by runlog_init):
//   --no-syslog / --no-log      switch a destination off for this run
//   --syslog <mask> / --log <mask>   categories per destination (default 1)
//   --log-path <dir>            log file directory (default /var/log/orv/)
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

// Category bits of a mask.
inline constexpr uint32_t RUNLOG_PROGRAM = 1u << 0;  // start, end, option warnings
inline constexpr uint32_t RUNLOG_SESSION = 1u << 1;  // backup started / finished

inline constexpr const char* RUNLOG_DEFAULT_DIR = "/var/log/orv/";
inline constexpr size_t RUNLOG_PATH_MAX = 1199;
inline constexpr size_t RUNLOG_ENTRY_MAX = 511;

// Sets up both destinations from the command line, registers the exit hook
// that writes "stopped exit=<status>", and writes "started". Call once, from
// the main thread, after log_init and before any other thread exists.
void runlog_init(int argc, const char* const* argv, const char* program_name);

// Formats one entry (cut to 511 characters) and writes it to every
// destination whose mask shares a bit with mask. Any thread; a no-op before
// runlog_init and after the exit hook has run.
void runlog_write(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

bool runlog_is_set_up();

// "FULL", "DIFF", "INC", or "?" for any other backup type byte.
const char* runlog_type_text(uint8_t type);

// "backup started name=%s type=%s" / "backup finished name=%s type=%s"
// under RUNLOG_SESSION.
void runlog_backup_started(const char* name, uint8_t type);
void runlog_backup_finished(const char* name, uint8_t type);

// Builds "<dir>[/]<name without a leading "orv_">.log" into out (cut to
// RUNLOG_PATH_MAX characters).
void runlog_file_name(const char* dir, const char* program_name, char* out, size_t out_size);

}  // namespace orv
