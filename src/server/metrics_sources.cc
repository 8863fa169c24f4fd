#include "server/metrics_sources.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "store/names.h"

namespace orv {

namespace {

// Reads a small /proc file whole into buf (NUL-terminated). Returns its length
// or -1.
ssize_t read_small_file(const char* path, char* buf, size_t cap) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return -1;
  size_t used = 0;
  while (used + 1 < cap) {
    ssize_t n = read(fd.get(), buf + used, cap - 1 - used);
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  buf[used] = '\0';
  return static_cast<ssize_t>(used);
}

// Boot time in Unix seconds from the "btime" line of /proc/stat; 0 unknown.
double boot_time_seconds() {
  FILE* f = fopen("/proc/stat", "re");
  if (f == nullptr) return 0;
  char line[256];
  double btime = 0;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "btime ", 6) == 0) {
      btime = strtod(line + 6, nullptr);
      break;
    }
  }
  fclose(f);
  return btime;
}

double count_open_fds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return 0;
  double n = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') n += 1;
  }
  closedir(d);
  return n > 0 ? n - 1 : 0;  // the directory's own descriptor
}

bool printable_name(const char* name) {
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < 0x20 || *p > 0x7E) return false;
  }
  return name[0] != '\0';
}

struct WalkBudget {
  uint64_t visited = 0;
};

// Adds the catalogs and file sizes below the directory dfd (taken over and
// closed here).
void walk(int dfd, int depth, WalkBudget* budget, SubdirUsage* usage) {
  DIR* d = fdopendir(dfd);
  if (d == nullptr) {
    (void)close(dfd);  // read-only descriptor; nothing to report
    return;
  }
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (++budget->visited > SUBDIR_VISIT_MAX) break;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (S_ISREG(st.st_mode)) {
      usage->bytes += static_cast<uint64_t>(st.st_size);
      if (is_catalog_name(e->d_name)) usage->backups += 1;
    } else if (S_ISDIR(st.st_mode) && depth < SUBDIR_DEPTH_MAX) {
      int child = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) walk(child, depth + 1, budget, usage);
    }
  }
  closedir(d);
}

int compare_usage(const void* a, const void* b) {
  return strcmp(static_cast<const SubdirUsage*>(a)->name, static_cast<const SubdirUsage*>(b)->name);
}

}  // namespace

int32_t process_figures_read(ProcessFigures* out) {
  *out = ProcessFigures{};
  char buf[1024];
  if (read_small_file("/proc/self/stat", buf, sizeof buf) <= 0) return STATUS_IO;
  // The command name may hold spaces and parentheses; fields follow the last ')'.
  const char* p = strrchr(buf, ')');
  if (p == nullptr) return STATUS_IO;
  // Field 3 (state) is the first after ')'; fields are numbered from 1.
  constexpr int kUtime = 14, kStime = 15, kThreads = 20, kStart = 22, kVsize = 23, kRss = 24;
  double field[kRss + 1] = {};
  int index = 3;
  for (const char* s = p + 1; *s != '\0' && index <= kRss;) {
    while (*s == ' ') ++s;
    if (*s == '\0') break;
    char* end = nullptr;
    field[index] = strtod(s, &end);
    if (end == s) {  // the state letter
      while (*s != ' ' && *s != '\0') ++s;
    } else {
      s = end;
    }
    ++index;
  }
  if (index <= kRss) return STATUS_IO;
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  if (ticks <= 0) ticks = 100;
  out->cpu_seconds = (field[kUtime] + field[kStime]) / ticks;
  out->threads = field[kThreads];
  out->start_time_seconds = boot_time_seconds() + field[kStart] / ticks;
  out->virtual_bytes = field[kVsize];
  out->resident_bytes = field[kRss] * page;
  out->open_fds = count_open_fds();
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) out->max_fds = static_cast<double>(lim.rlim_cur);
  return STATUS_OK;
}

int32_t storage_space_read(const char* path, uint64_t* free_bytes, uint64_t* size_bytes) {
  *free_bytes = 0;
  *size_bytes = 0;
  struct statvfs vfs;
  if (path == nullptr || statvfs(path, &vfs) != 0) return STATUS_IO;
  *free_bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  *size_bytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  return STATUS_OK;
}

size_t subdir_usage_scan(const char* root, SubdirUsage* out, size_t cap) {
  if (root == nullptr || cap == 0) return 0;
  int rfd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rfd < 0) return 0;
  DIR* d = fdopendir(rfd);
  if (d == nullptr) {
    (void)close(rfd);  // read-only descriptor
    return 0;
  }
  // Names first, so that the report keeps the first by name whatever the
  // directory order.
  size_t count = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || !printable_name(e->d_name)) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (count == cap) {
      // Keep the smallest names: replace the largest kept one if this is smaller.
      size_t largest = 0;
      for (size_t i = 1; i < count; ++i) {
        if (strcmp(out[i].name, out[largest].name) > 0) largest = i;
      }
      if (strcmp(e->d_name, out[largest].name) >= 0) continue;
      copy_text(out[largest].name, SUBDIR_NAME_SIZE, e->d_name);
      continue;
    }
    copy_text(out[count].name, SUBDIR_NAME_SIZE, e->d_name);
    ++count;
  }
  qsort(out, count, sizeof *out, compare_usage);
  WalkBudget budget;
  for (size_t i = 0; i < count; ++i) {
    out[i].backups = 0;
    out[i].bytes = 0;
    int child = openat(dirfd(d), out[i].name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child >= 0) walk(child, 1, &budget, &out[i]);
  }
  closedir(d);
  return count;
}

}  // namespace orv
