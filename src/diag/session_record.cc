#include "diag/session_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/json.h"
#include "core/log.h"
#include "core/status.h"
#include "core/sysinfo.h"

namespace orv {

size_t diag_format_session_record(const SessionRecord& record, int32_t disconnect_status, int64_t ts,
                                  uint64_t duration_ms, char out[DIAG_RECORD_SIZE]) {
  JsonWriter w;
  json_init(&w, out, DIAG_RECORD_SIZE);
  json_begin_object(&w);
  json_add_u64(&w, "schema", 1);
  json_add_string(&w, "record_type", "target_session");
  json_add_i64(&w, "ts", ts);
  json_add_string(&w, "backup_name", record.backup_name);
  json_add_i64(&w, "backup_type", record.backup_type);
  json_add_string(&w, "final_state", record.final_state);
  json_add_i64(&w, "disconnect_status", disconnect_status);
  json_add_u64(&w, "duration_ms", duration_ms);
  json_add_u64(&w, "bytes_received", record.bytes_received);
  json_add_u64(&w, "frames", record.frames);
  json_add_u64(&w, "durable_seq", record.durable_seq);
  json_add_u64(&w, "checkpoint_count", record.checkpoint_count);
  json_add_u64(&w, "partial_expired_count", record.partial_expired_count);
  json_add_bool(&w, "resumed", record.resumed ? 1 : 0);
  json_end_object(&w);
  return w.len;
}

void diag_write_session_record(const char* diag_dir, const SessionRecord& record, int32_t disconnect_status) {
  if (diag_dir[0] == '\0') return;
  if (make_dirs(diag_dir) != STATUS_OK) {
    log_write(LEVEL_WARN, "diag: cannot create %s, skipping diagnostics record", diag_dir);
    return;
  }
  uint64_t now_ms = monotonic_ms();
  uint64_t duration = now_ms >= record.start_ms ? now_ms - record.start_ms : 0;
  // One byte more than a record, for the line feed.
  char line[DIAG_RECORD_SIZE + 1];
  size_t n = diag_format_session_record(record, disconnect_status, now_seconds(), duration, line);
  line[n++] = '\n';

  char path[PATH_SIZE];
  // A cut path names another file; the open below then fails or writes
  // where the operator cannot find it, so refuse it here.
  int len = snprintf(path, sizeof path, "%s/%s", diag_dir, DIAG_FILE_NAME);
  int fd = -1;
  if (len >= 0 && static_cast<size_t>(len) < sizeof path) {
    // The diagnostics directory may lie below the storage root, where
    // tenants write: never follow a link there, never wait on a FIFO, and
    // append only to a regular file.
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      (void)close(fd);  // nothing was written through it
      fd = -1;
    }
  }
  if (fd < 0) {
    log_write(LEVEL_WARN, "diag: cannot open %s, skipping diagnostics record", path);
    return;
  }
  // Write errors are not reported: the record is best effort, and a full
  // disk can leave a short last line.
  ssize_t w;
  do {
    w = write(fd, line, n);
  } while (w < 0 && errno == EINTR);
  (void)close(fd);  // nothing was promised about durability
}

}  // namespace orv
