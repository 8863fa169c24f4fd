#include "client/progress.h"

#include <unistd.h>

#include <cstdio>

#include "core/sysinfo.h"

namespace orv {

namespace {

constexpr uint64_t kRedrawMs = 250;

void draw(Progress* p, uint64_t done) {
  char line[160];
  double seconds = static_cast<double>(monotonic_ms() - p->start_ms) / 1000.0;
  size_t n = progress_format(line, sizeof line, p->label, done, p->total, seconds);
  // Pad with spaces over what is left of a longer previous line.
  size_t pad = p->last_width > n ? p->last_width - n : 0;
  fprintf(stderr, "\r%s%*s", line, static_cast<int>(pad), "");
  fflush(stderr);
  p->last_width = n;
}

}  // namespace

void format_bytes(char* out, size_t size, uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) {
    snprintf(out, size, "%llu B", static_cast<unsigned long long>(bytes));
    return;
  }
  double v = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (v >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    v /= 1024.0;
    ++unit;
  }
  snprintf(out, size, "%.1f %s", v, kUnits[unit]);
}

size_t progress_format(char* out, size_t size, const char* label, uint64_t done, uint64_t total, double seconds) {
  if (size == 0) return 0;
  char done_text[32];
  char total_text[32];
  format_bytes(done_text, sizeof done_text, done);
  format_bytes(total_text, sizeof total_text, total);
  unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done >= total ? 100 : done * 100 / total);
  int n = snprintf(out, size, "%s %s / %s %3u%%", label, done_text, total_text, percent);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  size_t len = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
  if (seconds >= 0.05 && len + 1 < size) {
    double rate = static_cast<double>(done) / seconds;  // bytes per second
    int m;
    if (rate >= 1.0 && total > done) {
      uint64_t eta = static_cast<uint64_t>(static_cast<double>(total - done) / rate + 0.5);
      m = snprintf(out + len, size - len, "  %.1f MB/s  ETA %llu:%02llu", rate / 1e6,
                   static_cast<unsigned long long>(eta / 60), static_cast<unsigned long long>(eta % 60));
    } else {
      m = snprintf(out + len, size - len, "  %.1f MB/s", rate / 1e6);
    }
    if (m > 0) len = len + static_cast<size_t>(m) < size ? len + static_cast<size_t>(m) : size - 1;
  }
  return len;
}

void progress_start(Progress* p, const char* label, uint64_t total, bool enabled) {
  *p = Progress{};
  p->enabled = enabled && isatty(STDERR_FILENO) == 1;
  p->label = label;
  p->total = total;
  p->start_ms = monotonic_ms();
  p->last_draw_ms = p->start_ms;
}

void progress_update(Progress* p, uint64_t done) {
  if (!p->enabled) return;
  uint64_t now = monotonic_ms();
  if (now - p->last_draw_ms < kRedrawMs) return;
  p->last_draw_ms = now;
  draw(p, done);
}

void progress_finish(Progress* p, uint64_t done) {
  if (!p->enabled) return;
  draw(p, done);
  fputc('\n', stderr);
  fflush(stderr);
  p->enabled = false;
}

}  // namespace orv
