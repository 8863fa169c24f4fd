#include "core/runlog.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/args.h"
#include "core/log.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"
#include "core/utf8.h"

namespace orv {

namespace {

// Written by runlog_init on the main thread before other threads exist;
// read-only afterwards.
bool g_set_up = false;
char g_name[LOG_NAME_MAX + 1] = "";
uint32_t g_syslog_mask = 1;
uint32_t g_file_mask = 1;

// Guards g_file and g_syslog_on. Entries are rare (program and backup start
// and end), so one lock over the whole entry costs nothing; it also keeps a
// session thread that outlives the drain from writing to a stream the exit
// hook has already closed.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
FILE* g_file = nullptr;
bool g_syslog_on = false;

// An absent or empty value gives 1; so does a value that is not a whole
// number (decimal, 0x hexadecimal or 0 octal), after a warning.
uint32_t parse_mask(const char* option, const char* value) {
  if (value == nullptr || value[0] == '\0') return 1;
  char* end = nullptr;
  unsigned long v = strtoul(value, &end, 0);
  if (end == value || *end != '\0') {
    fprintf(stderr, "warning: orv_runlog: invalid %s value '%s' -- using default 1\n", option, value);
    return 1;
  }
  return static_cast<uint32_t>(v);
}

void write_entry_locked(uint32_t mask, const char* text) {
  if (g_file != nullptr && (g_file_mask & mask) != 0) {
    time_t now = time(nullptr);
    struct tm tm_utc;
    char stamp[32];
    gmtime_r(&now, &tm_utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    fprintf(g_file, "%s [%s] pid=%ld %s\n", stamp, g_name, static_cast<long>(getpid()), text);
    fflush(g_file);
  }
  if (g_syslog_on && (g_syslog_mask & mask) != 0) syslog(LOG_INFO, "%s", text);
}

// Entries name backups chosen by peers: control bytes and bytes that are not
// UTF-8 are escaped, so a name cannot forge an entry in the file or syslog.
void write_entry(uint32_t mask, const char* text) {
  char escaped[4 * (RUNLOG_ENTRY_MAX + 1)];
  (void)log_escape(text, strlen(text), escaped, sizeof escaped);  // fits: at most four bytes per byte
  pthread_mutex_lock(&g_mutex);
  write_entry_locked(mask, escaped);
  pthread_mutex_unlock(&g_mutex);
}

// Runs at normal process exit with the exit status.
void runlog_on_exit(int status, void*) {
  char text[64];
  if (status < 0) {
    snprintf(text, sizeof text, "stopped");
  } else {
    snprintf(text, sizeof text, "stopped exit=%d", status);
  }
  pthread_mutex_lock(&g_mutex);
  write_entry_locked(RUNLOG_PROGRAM, text);
  if (g_file != nullptr) {
    (void)fclose(g_file);  // every entry was flushed when written
    g_file = nullptr;
  }
  if (g_syslog_on) {
    closelog();
    g_syslog_on = false;
  }
  pthread_mutex_unlock(&g_mutex);
}

}  // namespace

void runlog_file_name(const char* dir, const char* program_name, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return;
  size_t dir_len = strlen(dir);
  const char* slash = (dir_len > 0 && dir[dir_len - 1] == '/') ? "" : "/";
  const char* base = strncmp(program_name, "orv_", 4) == 0 ? program_name + 4 : program_name;
  size_t cap = out_size < RUNLOG_PATH_MAX + 1 ? out_size : RUNLOG_PATH_MAX + 1;
  snprintf(out, cap, "%s%s%s.log", dir, slash, base);
}

void runlog_init(int argc, const char* const* argv, const char* program_name) {
  g_set_up = true;
  copy_text(g_name, sizeof g_name, program_name != nullptr ? program_name : "");

  bool no_syslog = opt_flag(argc, argv, "--no-syslog", nullptr) != 0;
  bool no_log = opt_flag(argc, argv, "--no-log", nullptr) != 0;
  const char* syslog_mask = opt_value(argc, argv, "--syslog", nullptr, nullptr);
  const char* file_mask = opt_value(argc, argv, "--log", nullptr, nullptr);
  const char* dir = opt_value(argc, argv, "--log-path", nullptr, RUNLOG_DEFAULT_DIR);

  g_syslog_mask = parse_mask("--syslog", syslog_mask);
  g_file_mask = parse_mask("--log", file_mask);

  pthread_mutex_lock(&g_mutex);
  if (!no_syslog) {
    // openlog keeps the pointer, so the identity must live as long as the
    // process: g_name does.
    openlog(g_name, LOG_PID, LOG_DAEMON);
    g_syslog_on = true;
  }
  if (!no_log) {
    if (make_dirs(dir) != STATUS_OK) {
      fprintf(stderr,
              "warning: orv_runlog: could not create log directory '%s' -- continuing without logfile\n",
              dir);
    } else {
      char path[RUNLOG_PATH_MAX + 1];
      runlog_file_name(dir, g_name, path, sizeof path);
      g_file = fopen(path, "ae");
      if (g_file == nullptr) {
        fprintf(stderr,
                "warning: orv_runlog: could not open logfile '%s' -- continuing without logfile\n", path);
      }
    }
  }
  pthread_mutex_unlock(&g_mutex);

  (void)on_exit(runlog_on_exit, nullptr);  // fails only when the handler table is full
  write_entry(RUNLOG_PROGRAM, "started");
}

void runlog_write(uint32_t mask, const char* format, ...) {
  char text[RUNLOG_ENTRY_MAX + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  write_entry(mask, text);
}

bool runlog_is_set_up() { return g_set_up; }

const char* runlog_type_text(uint8_t type) {
  switch (type) {
    case 0: return "FULL";
    case 1: return "DIFF";
    case 2: return "INC";
    default: return "?";
  }
}

void runlog_backup_started(const char* name, uint8_t type) {
  runlog_write(RUNLOG_SESSION, "backup started name=%s type=%s", name, runlog_type_text(type));
}

void runlog_backup_finished(const char* name, uint8_t type) {
  runlog_write(RUNLOG_SESSION, "backup finished name=%s type=%s", name, runlog_type_text(type));
}

}  // namespace orv
