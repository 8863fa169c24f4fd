#include "core/log.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/utf8.h"

namespace orv {

namespace {
// Set by log_init before threads exist; read-only afterwards.
char g_name[LOG_NAME_MAX + 1] = "orv";
uint32_t g_min_level = LEVEL_INFO;
// Guards the write of one line to standard error.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
bool g_mutex_ready = false;
// Longest line assembled in one piece; longer messages are cut.
constexpr size_t kLineMax = 4096;
}  // namespace

const char* log_level_name(uint32_t level) {
  switch (level) {
    case LEVEL_DEBUG: return "DEBUG";
    case LEVEL_INFO: return "INFO";
    case LEVEL_WARN: return "WARN";
    case LEVEL_ERROR: return "ERROR";
    default: return "?";
  }
}

void log_init(const char* name, uint32_t min_level) {
  snprintf(g_name, sizeof g_name, "%s", name != nullptr ? name : "");
  g_min_level = min_level;
  g_mutex_ready = true;
}

void log_write(uint32_t level, const char* format, ...) {
  if (level < g_min_level) return;
  time_t now = time(nullptr);
  struct tm tm_utc;
  char stamp[32];
  gmtime_r(&now, &tm_utc);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);

  // The line is assembled first and written with one call, so that a line
  // stays whole even against writers that do not take the mutex. The message
  // may carry peer-supplied text: control bytes and bytes that are not UTF-8
  // are escaped, so it can neither forge a line nor drive a terminal.
  char message[kLineMax];
  va_list ap;
  va_start(ap, format);
  int m = vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  size_t message_len = m < 0 ? 0 : static_cast<size_t>(m);
  if (message_len > sizeof message - 1) message_len = sizeof message - 1;

  char line[kLineMax];
  int n = snprintf(line, sizeof line, "%s [%s] %-5s ", stamp, g_name, log_level_name(level));
  size_t len = n < 0 ? 0 : static_cast<size_t>(n);
  if (len >= sizeof line - 1) len = sizeof line - 2;
  // One byte stays free for the line feed.
  len += log_escape(message, message_len, line + len, sizeof line - 1 - len);
  if (len > sizeof line - 2) len = sizeof line - 2;
  line[len++] = '\n';

  if (g_mutex_ready) pthread_mutex_lock(&g_mutex);
  size_t off = 0;
  while (off < len) {
    ssize_t w = write(STDERR_FILENO, line + off, len - off);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  if (g_mutex_ready) pthread_mutex_unlock(&g_mutex);
}

}  // namespace orv
