#include "store/file_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/status.h"

namespace orv {

namespace {

int32_t open_with(const char* path, int flags, uint32_t mode, int* fd) {
  *fd = -1;
  int r = open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
  if (r < 0) return status_from_errno(errno);
  *fd = r;
  return STATUS_OK;
}

}  // namespace

int32_t file_open_read(const char* path, int* fd) { return open_with(path, O_RDONLY, 0, fd); }

int32_t file_create(const char* path, uint32_t mode, int* fd) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, mode, fd);
}

int32_t file_open_rw(const char* path, uint32_t mode, int* fd) {
  return open_with(path, O_RDWR | O_CREAT, mode, fd);
}

int32_t file_close(int fd) {
  if (fd < 0) return STATUS_OK;
  if (close(fd) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_pread(int fd, void* buf, size_t len, uint64_t offset, size_t* count) {
  // One call, no retry: callers compare the count with what they asked for.
  ssize_t r = pread(fd, buf, len, static_cast<off_t>(offset));
  if (r < 0) return status_from_errno(errno);
  if (count != nullptr) *count = static_cast<size_t>(r);
  return STATUS_OK;
}

int32_t file_pwrite_all(int fd, const void* data, size_t len, uint64_t offset, size_t* count) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t w = pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
    if (w < 0) {
      if (errno == EINTR) continue;
      return status_from_errno(errno);
    }
    // No progress is possible (for example a full device that reports 0).
    if (w == 0) break;
    done += static_cast<size_t>(w);
  }
  if (count != nullptr) *count = done;
  return STATUS_OK;
}

int32_t file_sync(int fd) {
  if (fsync(fd) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_truncate(int fd, uint64_t length) {
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_rename(const char* from, const char* to) {
  if (rename(from, to) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_size(int fd, uint64_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return status_from_errno(errno);
  if ((st.st_mode & S_IFMT) != S_IFBLK) {
    *size = static_cast<uint64_t>(st.st_size);
    return STATUS_OK;
  }
  uint64_t dev_size = 0;
  if (ioctl(fd, BLKGETSIZE64, &dev_size) != 0) return status_from_errno(errno);
  *size = dev_size;
  return STATUS_OK;
}

bool path_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

int32_t dir_ensure(const char* path) {
  if (mkdir(path, DIR_MODE) == 0) return STATUS_OK;
  int e = errno;
  if (e != EEXIST) return status_from_errno(e);
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_EXISTS;
  return STATUS_OK;
}

void dir_sync_parent(const char* path) {
  if (path == nullptr) return;
  // The parent is located in the whole path before it is copied, so a path
  // too long for the buffer can never make this flush some other directory.
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return;
  char dir[DIR_SYNC_PATH_MAX];
  size_t n = static_cast<size_t>(slash - path);
  if (n >= sizeof dir) return;
  if (n == 0) {
    dir[0] = '/';
    n = 1;
  } else {
    memcpy(dir, path, n);
  }
  dir[n] = '\0';
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);  // best effort: a directory that cannot be flushed is not an error here
  (void)close(fd);
}

}  // namespace orv
