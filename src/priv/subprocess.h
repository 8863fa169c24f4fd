// Runs an external tool with its combined standard output and standard error
// captured into a fixed buffer, under a time-out. Used by the privileged
// parent for the LVM command-line tools; no shell is involved anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

// Outcome of one run.
struct RunResult {
  int32_t exit_code = -1;  // 0..255 after a normal exit, -1 when ended by a signal
  bool timed_out = false;  // the time-out passed and SIGTERM was sent
};

// Environment entry every tool gets (overwriting an inherited value).
inline constexpr const char* RUN_FIXED_ENV = "LVM_SUPPRESS_FD_WARNINGS=1";
// Exit code of the child when the program could not be executed.
inline constexpr int32_t RUN_EXIT_NOT_FOUND = 127;
// Size of one read from the pipe.
inline constexpr size_t RUN_READ_CHUNK = 512;
// Poll interval of the wait loop.
inline constexpr int RUN_POLL_MS = 100;
// Time between SIGTERM at the time-out and SIGKILL.
inline constexpr uint32_t RUN_KILL_GRACE_SEC = 300;

// Runs argv[0] (searched through PATH) with the argument vector argv
// (null-terminated). The child leads a process group of its own, reads
// /dev/null, writes standard output and standard error into one pipe, and
// gets RUN_FIXED_ENV plus extra_env (null-terminated "NAME=VALUE" entries,
// may be null) on top of this process's environment.
//
// Output is appended to output (output_size bytes including the terminating
// NUL; output may be null); what does not fit is read and dropped. When
// timeout_seconds have passed, SIGTERM goes to the child's process group;
// when the child still runs kill_grace_seconds later, SIGKILL follows.
//
// Returns 0 when the child was started and reaped (*out_result filled), -1
// when pipe or fork failed. An exec failure shows as exit code 127.
// Call from one thread at a time.
[[nodiscard]] int run_command(const char* const* argv, const char* const* extra_env,
                              uint32_t timeout_seconds, char* output, size_t output_size,
                              RunResult* out_result, uint32_t kill_grace_seconds = RUN_KILL_GRACE_SEC);

}  // namespace orv
