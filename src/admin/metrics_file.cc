#include "admin/metrics_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/status.h"
#include "core/unique_fd.h"
#include "store/catalog.h"
#include "core/file_io.h"

namespace orv {

namespace {

constexpr size_t kBufferSize = 8192;

bool append(char* buf, size_t* len, const char* format, ...) __attribute__((format(printf, 3, 4)));
bool append(char* buf, size_t* len, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf + *len, kBufferSize - *len, format, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= kBufferSize - *len) return false;
  *len += static_cast<size_t>(n);
  return true;
}

bool append_sample(char* buf, size_t* len, const MetricSample& s, const char* command) {
  return append(buf, len, "# HELP %s %s\n# TYPE %s %s\n%s{command=\"%s\"} %.17g\n", s.name, s.help, s.name, s.type,
                s.name, command, s.value);
}

}  // namespace

int32_t metrics_file_write(const char* path, const char* command, const MetricSample* samples, size_t count,
                           int64_t now, bool success, char* error, size_t error_size) {
  char buf[kBufferSize];
  size_t len = 0;
  bool ok = true;
  for (size_t i = 0; i < count && ok; ++i) ok = append_sample(buf, &len, samples[i], command);
  MetricSample last{"orv_admin_last_run_timestamp_seconds", "Unix time at which an orv_admin command last finished.",
                    "gauge", static_cast<double>(now)};
  MetricSample good{"orv_admin_last_run_success",
                    "1 when the last orv_admin command found no problem and did all its work, else 0.", "gauge",
                    success ? 1.0 : 0.0};
  if (ok) ok = append_sample(buf, &len, last, command) && append_sample(buf, &len, good, command);
  if (!ok) {
    snprintf(error, error_size, "the metrics do not fit their buffer");
    return STATUS_INVALID;
  }
  char tmp[4096];
  int n = snprintf(tmp, sizeof tmp, "%s.tmp", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
    snprintf(error, error_size, "metrics file path too long");
    return STATUS_INVALID;
  }
  int raw = -1;
  int32_t rc = file_create(tmp, 0644, &raw);
  if (rc != STATUS_OK) {
    char text[128];
    snprintf(error, error_size, "cannot create %s: %s", tmp, errno_text(text, sizeof text));
    return rc;
  }
  UniqueFd fd(raw);
  size_t written = 0;
  rc = file_pwrite_all(fd.get(), buf, len, 0, &written);
  if (rc == STATUS_OK && written != len) rc = STATUS_IO;
  if (rc == STATUS_OK) rc = file_sync(fd.get());
  if (rc == STATUS_OK) rc = fd.close();
  if (rc == STATUS_OK) rc = file_rename(tmp, path);
  if (rc != STATUS_OK) {
    (void)file_remove(tmp);  // best effort: the old file stays as it was
    snprintf(error, error_size, "cannot write %s: %s (status=%d)", path, status_text(rc), rc);
    return rc;
  }
  (void)dir_sync_parent_checked(path);  // the new name survives a crash; the collector reads it either way
  return STATUS_OK;
}

}  // namespace orv
