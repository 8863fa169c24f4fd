#include "core/sysinfo.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/status.h"

namespace orv {

namespace {

constexpr char kPrettyKey[] = "PRETTY_NAME=";
constexpr size_t kPrettyKeyLen = sizeof kPrettyKey - 1;
static_assert(kPrettyKeyLen == 12);
constexpr size_t kOsLineSize = 256;

// Reads the first PRETTY_NAME line of an os-release file into pretty
// (OS_DESCRIPTION_SIZE bytes); leaves it empty when there is none. A line
// longer than the line buffer is read in pieces, each treated as a line.
void read_pretty_name(const char* path, char* pretty) {
  pretty[0] = '\0';
  FILE* f = path != nullptr ? fopen(path, "re") : nullptr;
  if (f == nullptr) return;
  char line[kOsLineSize];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, kPrettyKey, kPrettyKeyLen) != 0) continue;
    char* value = line + kPrettyKeyLen;
    size_t n = strlen(value);
    while (n > 0 && (value[n - 1] == '\n' || value[n - 1] == '\r')) value[--n] = '\0';
    if (n > 1 && value[0] == '"' && value[n - 1] == '"') {
      value[n - 1] = '\0';
      ++value;
    }
    snprintf(pretty, OS_DESCRIPTION_SIZE, "%.159s", value);
    break;
  }
  fclose(f);
}

}  // namespace

int32_t host_name(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return STATUS_INVALID;
  if (gethostname(buf, size) != 0) {
    int e = errno;
    buf[0] = '\0';
    return status_from_errno(e);
  }
  buf[size - 1] = '\0';
  return STATUS_OK;
}

int32_t os_description_from(const char* os_release_path, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return STATUS_OK;
  struct utsname u;
  if (uname(&u) != 0) {
    snprintf(buf, size, "unknown");
    return STATUS_OK;
  }
  char pretty[OS_DESCRIPTION_SIZE];
  read_pretty_name(os_release_path, pretty);
  if (pretty[0] != '\0') {
    snprintf(buf, size, "%s (%s %s)", pretty, u.sysname, u.release);
  } else {
    snprintf(buf, size, "%s %s", u.sysname, u.release);
  }
  return STATUS_OK;
}

int32_t os_description(char* buf, size_t size) { return os_description_from("/etc/os-release", buf, size); }

int32_t disk_free_bytes(const char* path, uint64_t* out) {
  struct statvfs sv;
  if (statvfs(path, &sv) != 0) return status_from_errno(errno);
  *out = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
  return STATUS_OK;
}

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int32_t make_dirs(const char* path) {
  if (path == nullptr) return STATUS_INVALID;
  char p[PATH_SIZE];
  size_t len = strlen(path);
  // A path that does not fit is refused rather than cut: creating a shorter
  // path and reporting success would hand the caller the wrong directory.
  if (len >= sizeof p) return STATUS_INVALID;
  memcpy(p, path, len + 1);
  for (size_t i = 1; i < len; ++i) {
    if (p[i] != '/') continue;
    p[i] = '\0';
    (void)mkdir(p, 0777);  // intermediate failures surface at the last step
    p[i] = '/';
  }
  if (mkdir(p, 0777) == 0) return STATUS_OK;
  int e = errno;
  if (e != EEXIST) return status_from_errno(e);
  struct stat st;
  if (stat(p, &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_EXISTS;
  return STATUS_OK;
}

}  // namespace orv
