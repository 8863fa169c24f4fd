// A one-line progress display for long transfers: bytes done, rate and time
// left, redrawn in place on standard error a few times a second. It is only
// drawn when standard error is a terminal, so logs and pipes stay clean.
// One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

struct Progress {
  bool enabled = false;
  const char* label = "";
  uint64_t total = 0;
  uint64_t start_ms = 0;
  uint64_t last_draw_ms = 0;
  size_t last_width = 0;  // characters of the last line drawn, to clear it
};

// enabled: draw at all (the caller passes false for --quiet); the line is
// drawn only when standard error is also a terminal.
void progress_start(Progress* p, const char* label, uint64_t total, bool enabled);
// Redraws when at least 250 ms have passed since the last line.
void progress_update(Progress* p, uint64_t done);
// Draws the final state and ends the line (nothing when not enabled).
void progress_finish(Progress* p, uint64_t done);

// The line for `done` of `total` bytes after `seconds`, for example
// "backup   1.2 GiB / 4.0 GiB  31%  412.3 MB/s  ETA 0:07". The rate and ETA
// are left out while seconds is below 0.05. Returns the length written.
size_t progress_format(char* out, size_t size, const char* label, uint64_t done, uint64_t total, double seconds);

// "812 B", "4.0 KiB", "1.5 MiB", "2.0 GiB", "3.1 TiB".
void format_bytes(char* out, size_t size, uint64_t bytes);

}  // namespace orv
