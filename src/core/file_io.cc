#include "core/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/aligned_buffer.h"
#include "core/status.h"

namespace orv {

namespace {

// The installed table, or null for the kernel. Every primitive loads it
// once (a relaxed load: a plain read on x86) and branches; with null the
// system call is made directly, as if the table did not exist.
std::atomic<const FileOps*> g_ops{nullptr};

inline const FileOps* active_ops() { return g_ops.load(std::memory_order_relaxed); }

// Descriptors whose fsync failed, one bit each (see file_sync). Bits are
// set and cleared atomically because neighbouring descriptors belong to
// different connection threads.
constexpr int kTrackedFds = 65536;
std::atomic<uint64_t> g_sync_failed[kTrackedFds / 64];

inline bool tracked(int fd) { return fd >= 0 && fd < kTrackedFds; }

inline bool sync_failed(int fd) {
  if (!tracked(fd)) return false;
  return (g_sync_failed[fd / 64].load(std::memory_order_relaxed) & (uint64_t{1} << (fd % 64))) != 0;
}

inline void set_sync_failed(int fd) {
  if (tracked(fd)) g_sync_failed[fd / 64].fetch_or(uint64_t{1} << (fd % 64), std::memory_order_relaxed);
}

inline void clear_sync_failed(int fd) {
  if (!tracked(fd)) return;
  uint64_t bit = uint64_t{1} << (fd % 64);
  // The common case (never failed) costs one load and no write.
  if ((g_sync_failed[fd / 64].load(std::memory_order_relaxed) & bit) != 0) {
    g_sync_failed[fd / 64].fetch_and(~bit, std::memory_order_relaxed);
  }
}

// The kernel's side of the table.
int sys_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_close(int fd) { return ::close(fd); }
ssize_t sys_pread(int fd, void* buf, size_t len, off_t offset) { return ::pread(fd, buf, len, offset); }
ssize_t sys_pwrite(int fd, const void* buf, size_t len, off_t offset) { return ::pwrite(fd, buf, len, offset); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int sys_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int sys_blkgetsize(int fd, uint64_t* size) { return ::ioctl(fd, BLKGETSIZE64, size); }
int sys_stat(const char* path, struct stat* st) { return ::lstat(path, st); }
int sys_rename(const char* from, const char* to) { return ::rename(from, to); }
int sys_remove(const char* path) { return ::unlink(path); }
int sys_mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
void* sys_opendir(const char* path) { return ::opendir(path); }
const char* sys_readdir(void* dir) {
  struct dirent* e = ::readdir(static_cast<DIR*>(dir));
  return e != nullptr ? e->d_name : nullptr;
}
int sys_closedir(void* dir) { return ::closedir(static_cast<DIR*>(dir)); }
int sys_ofd_lock(int fd) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;  // start 0, length 0: the whole file, also as it grows
  return ::fcntl(fd, F_OFD_SETLK, &fl);
}

constexpr FileOps kSystemOps = {
    sys_open,  sys_close,  sys_pread,  sys_pwrite, sys_fsync,   sys_ftruncate, sys_fstat,   sys_blkgetsize,
    sys_stat,  sys_rename, sys_remove, sys_mkdir,  sys_opendir, sys_readdir,   sys_closedir, sys_ofd_lock,
};

// One wrapper per call: the table when one is installed, else the kernel.
int do_open(const char* path, int flags, mode_t mode) {
  const FileOps* o = active_ops();
  return o == nullptr ? ::open(path, flags, mode) : o->open_fn(path, flags, mode);
}
int do_close(int fd) {
  const FileOps* o = active_ops();
  return o == nullptr ? ::close(fd) : o->close_fn(fd);
}
int do_fsync(int fd) {
  const FileOps* o = active_ops();
  return o == nullptr ? ::fsync(fd) : o->fsync_fn(fd);
}
int do_stat(const char* path, struct stat* st) {
  const FileOps* o = active_ops();
  return o == nullptr ? ::lstat(path, st) : o->stat_fn(path, st);
}

int32_t open_with(const char* path, int flags, uint32_t mode, int* fd) {
  *fd = -1;
  int r = do_open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
  if (r < 0) return status_from_errno(errno);
  // A number handed out again starts without the failure of its last owner.
  clear_sync_failed(r);
  *fd = r;
  return STATUS_OK;
}

int do_fstat(int fd, struct stat* st) {
  const FileOps* o = active_ops();
  return o == nullptr ? ::fstat(fd, st) : o->fstat_fn(fd, st);
}

// An open below the storage root (see file_io.h): no link followed, no wait
// for a FIFO, and only a regular file is kept.
int32_t open_regular(const char* path, int flags, uint32_t mode, int* fd) {
  *fd = -1;
  int r = do_open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, static_cast<mode_t>(mode));
  if (r < 0) {
    int e = errno;
    // ELOOP: the last component is a link. ENXIO: a FIFO without a reader
    // (or a socket). EISDIR: a directory opened for writing.
    if (e == ELOOP || e == ENXIO || e == EISDIR) return STATUS_INVALID;
    return status_from_errno(e);
  }
  struct stat st;
  if (do_fstat(r, &st) != 0) {
    int e = errno;
    (void)do_close(r);  // nothing was done through it
    return status_from_errno(e);
  }
  if (!S_ISREG(st.st_mode)) {
    (void)do_close(r);  // nothing was done through it
    return STATUS_INVALID;
  }
  clear_sync_failed(r);
  *fd = r;
  return STATUS_OK;
}

}  // namespace

const FileOps& file_io_system_ops() { return kSystemOps; }

const FileOps* file_io_set_ops(const FileOps* ops) { return g_ops.exchange(ops, std::memory_order_relaxed); }

int32_t file_open_read(const char* path, int* fd) { return open_with(path, O_RDONLY, 0, fd); }

int32_t file_create_output(const char* path, uint32_t mode, int* fd) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC, mode, fd);
}

int32_t file_open_read_regular(const char* path, int* fd) { return open_regular(path, O_RDONLY, 0, fd); }

int32_t file_create(const char* path, uint32_t mode, int* fd) {
  return open_regular(path, O_WRONLY | O_CREAT | O_TRUNC, mode, fd);
}

int32_t file_open_rw(const char* path, uint32_t mode, int* fd) {
  return open_regular(path, O_RDWR | O_CREAT, mode, fd);
}

int32_t file_create_excl(const char* path, uint32_t mode, int* fd) {
  return open_regular(path, O_RDWR | O_CREAT | O_EXCL, mode, fd);
}

int32_t file_open_existing_rw(const char* path, int* fd) { return open_regular(path, O_RDWR, 0, fd); }

namespace {

int32_t open_direct(const char* path, int flags, int* fd) {
  int32_t rc = open_with(path, flags | O_DIRECT, 0, fd);
  // open(2) reports a file system without direct I/O as EINVAL.
  return rc == status_from_errno(EINVAL) ? STATUS_UNSUPPORTED : rc;
}

int32_t reopen_direct(int open_fd, const char* path, int flags, int* fd) {
  *fd = -1;
  int r = do_open(path, flags | O_DIRECT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (r < 0) {
    int e = errno;
    if (e == ELOOP || e == ENXIO || e == EISDIR) return STATUS_INVALID;  // a link, a FIFO, a directory
    // open(2) reports a file system without direct I/O as EINVAL.
    return e == EINVAL ? STATUS_UNSUPPORTED : status_from_errno(e);
  }
  clear_sync_failed(r);
  struct stat held;
  struct stat opened;
  if (do_fstat(open_fd, &held) != 0 || do_fstat(r, &opened) != 0) {
    int e = errno;
    (void)do_close(r);  // nothing was done through it
    return status_from_errno(e);
  }
  if (held.st_dev != opened.st_dev || held.st_ino != opened.st_ino) {
    (void)do_close(r);  // another file now has the name; nothing was done through it
    return STATUS_INVALID;
  }
  *fd = r;
  return STATUS_OK;
}

}  // namespace

int32_t file_open_read_direct(const char* path, int* fd) { return open_direct(path, O_RDONLY, fd); }

int32_t file_open_write_direct(const char* path, int* fd) { return open_direct(path, O_WRONLY, fd); }

int32_t file_reopen_read_direct(int open_fd, const char* path, int* fd) {
  return reopen_direct(open_fd, path, O_RDONLY, fd);
}

int32_t file_reopen_write_direct(int open_fd, const char* path, int* fd) {
  return reopen_direct(open_fd, path, O_WRONLY, fd);
}

int32_t file_pread_direct(int direct_fd, int fd, void* buf, size_t len, uint64_t offset, size_t* count) {
  auto* p = static_cast<uint8_t*>(buf);
  size_t want = static_cast<size_t>(align_up_direct(len));
  size_t done = 0;
  *count = 0;
  while (done < len && is_direct_aligned(done)) {
    size_t got = 0;
    int32_t rc = file_pread(direct_fd, p + done, want - done, offset + done, &got);
    if (rc != STATUS_OK) return rc;
    if (got == 0) break;  // end of file
    done += got;
  }
  if (done < len) {
    // Stopped at an unaligned end (of a file not a multiple of the page
    // size, for instance): the rest through the cache.
    size_t got = 0;
    int32_t rc = file_pread_full(fd, p + done, len - done, offset + done, &got);
    if (rc != STATUS_OK) return rc;
    done += got;
  }
  *count = done < len ? done : len;
  return STATUS_OK;
}

bool file_range_mostly_uncached(int fd, uint64_t offset, uint64_t length) {
  if (length == 0) return true;
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t start = offset - offset % page;
  uint64_t span = offset + length - start;
  uint64_t pages = (span + page - 1) / page;
  // A mapping of an uncached file reads nothing until it is touched.
  void* map = mmap(nullptr, static_cast<size_t>(span), PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
  if (map == MAP_FAILED) return false;
  constexpr uint64_t kChunk = 4096;  // pages checked per mincore call
  unsigned char vec[kChunk];
  uint64_t resident = 0;
  bool ok = true;
  for (uint64_t done = 0; done < pages && ok; done += kChunk) {
    uint64_t n = pages - done < kChunk ? pages - done : kChunk;
    uint64_t bytes = done + n == pages ? span - done * page : n * page;
    if (mincore(static_cast<uint8_t*>(map) + done * page, static_cast<size_t>(bytes), vec) != 0) {
      ok = false;
      break;
    }
    for (uint64_t i = 0; i < n; ++i) resident += vec[i] & 1u;
  }
  (void)munmap(map, static_cast<size_t>(span));  // a read-only mapping of nothing touched
  return ok && resident * 4 <= pages;
}

int32_t file_close(int fd) {
  if (fd < 0) return STATUS_OK;
  clear_sync_failed(fd);
  if (do_close(fd) != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_pread(int fd, void* buf, size_t len, uint64_t offset, size_t* count) {
  // One call, no retry: callers compare the count with what they asked for.
  const FileOps* o = active_ops();
  ssize_t r = o == nullptr ? ::pread(fd, buf, len, static_cast<off_t>(offset))
                           : o->pread_fn(fd, buf, len, static_cast<off_t>(offset));
  if (r < 0) return status_from_errno(errno);
  if (count != nullptr) *count = static_cast<size_t>(r);
  return STATUS_OK;
}

int32_t file_pread_full(int fd, void* buf, size_t len, uint64_t offset, size_t* count) {
  auto* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  *count = 0;
  while (done < len) {
    size_t got = 0;
    int32_t rc = file_pread(fd, p + done, len - done, offset + done, &got);
    if (rc != STATUS_OK) return rc;
    if (got == 0) break;  // end of file
    done += got;
  }
  *count = done;
  return STATUS_OK;
}

int32_t file_pwrite_all(int fd, const void* data, size_t len, uint64_t offset, size_t* count) {
  const auto* p = static_cast<const uint8_t*>(data);
  const FileOps* o = active_ops();
  size_t done = 0;
  while (done < len) {
    off_t at = static_cast<off_t>(offset + done);
    ssize_t w = o == nullptr ? ::pwrite(fd, p + done, len - done, at) : o->pwrite_fn(fd, p + done, len - done, at);
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
  // After a failed fsync the kernel may have marked the unwritten pages
  // clean; a later fsync would then succeed without them ever reaching the
  // disk. Whatever that descriptor wrote can no longer be called durable.
  if (sync_failed(fd)) return STATUS_IO;
  if (do_fsync(fd) != 0) {
    int e = errno;
    set_sync_failed(fd);
    return status_from_errno(e);
  }
  return STATUS_OK;
}

int32_t file_truncate(int fd, uint64_t length) {
  const FileOps* o = active_ops();
  off_t len = static_cast<off_t>(length);
  int r = o == nullptr ? ::ftruncate(fd, len) : o->ftruncate_fn(fd, len);
  if (r != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_rename(const char* from, const char* to) {
  const FileOps* o = active_ops();
  int r = o == nullptr ? ::rename(from, to) : o->rename_fn(from, to);
  if (r != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_remove(const char* path) {
  const FileOps* o = active_ops();
  int r = o == nullptr ? ::unlink(path) : o->remove_fn(path);
  if (r != 0) return status_from_errno(errno);
  return STATUS_OK;
}

int32_t file_size(int fd, uint64_t* size) {
  const FileOps* o = active_ops();
  struct stat st;
  if ((o == nullptr ? ::fstat(fd, &st) : o->fstat_fn(fd, &st)) != 0) return status_from_errno(errno);
  if ((st.st_mode & S_IFMT) != S_IFBLK) {
    *size = static_cast<uint64_t>(st.st_size);
    return STATUS_OK;
  }
  uint64_t dev_size = 0;
  int r = o == nullptr ? ::ioctl(fd, BLKGETSIZE64, &dev_size) : o->blkgetsize_fn(fd, &dev_size);
  if (r != 0) return status_from_errno(errno);
  *size = dev_size;
  return STATUS_OK;
}

bool path_exists(const char* path) {
  struct stat st;
  return do_stat(path, &st) == 0;
}

bool path_is_regular(const char* path) {
  struct stat st;
  return do_stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int32_t path_mtime(const char* path, int64_t* seconds) {
  struct stat st;
  if (do_stat(path, &st) != 0) return status_from_errno(errno);
  if (!S_ISREG(st.st_mode)) return STATUS_INVALID;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return STATUS_OK;
}

int32_t dir_sync(const char* dir) {
  int fd = do_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return status_from_errno(errno);
  int32_t rc = STATUS_OK;
  if (do_fsync(fd) != 0) rc = status_from_errno(errno);
  (void)do_close(fd);  // read-only: closing it cannot undo or fail the sync
  return rc;
}

namespace {

// The directory that holds path, into dir (PATH_SIZE bytes): "/" for
// "/x". False when path has no "/" or its directory part does not fit. The
// parent is located in the whole path before anything is copied, so a path
// too long for the buffer can never name some other directory.
bool parent_of(const char* path, char* dir) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return false;
  size_t n = static_cast<size_t>(slash - path);
  if (n >= PATH_SIZE) return false;
  if (n == 0) {
    dir[0] = '/';
    n = 1;
  } else {
    memcpy(dir, path, n);
  }
  dir[n] = '\0';
  return true;
}

}  // namespace

int32_t dir_ensure(const char* path) {
  const FileOps* o = active_ops();
  if ((o == nullptr ? ::mkdir(path, DIR_MODE) : o->mkdir_fn(path, DIR_MODE)) != 0) {
    int e = errno;
    if (e != EEXIST) return status_from_errno(e);
    struct stat st;
    if (do_stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_EXISTS;
  }
  // The new entry is durable only once its parent is synced; this is done
  // also when the directory existed, since an earlier attempt may have
  // failed to sync it. A path without "/" names a directory below the
  // current one, which is flushed then.
  char parent[PATH_SIZE];
  if (!parent_of(path, parent)) return dir_sync(".");
  return dir_sync(parent);
}

void dir_sync_parent(const char* path) {
  if (path == nullptr) return;
  char dir[PATH_SIZE];
  if (!parent_of(path, dir)) return;
  (void)dir_sync(dir);  // best effort: a directory that cannot be flushed is not an error here
}

int32_t file_lock_exclusive(int fd) {
  const FileOps* o = active_ops();
  if ((o == nullptr ? sys_ofd_lock(fd) : o->ofd_lock_fn(fd)) == 0) return STATUS_OK;
  int e = errno;
  switch (e) {
    case EAGAIN:
    case EACCES:  // what POSIX allows in place of EAGAIN for a conflicting lock
      return STATUS_AGAIN;
    case EINVAL:  // the file system has no such locks (some FUSE file systems)
    case ENOLCK:  // no lock manager (NFSv3 without lockd, mounted nolock)
    case EOPNOTSUPP:
      return STATUS_UNSUPPORTED;
    default:
      return status_from_errno(e);
  }
}

int32_t file_lock_probe(int fd) {
  // With a call table installed (tests that model the file system), asking
  // is taking: the model's lock is tried on fd itself.
  if (active_ops() != nullptr) return file_lock_exclusive(fd);
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;  // the whole file
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) {
    int e = errno;
    return e == EINVAL || e == ENOLCK || e == EOPNOTSUPP ? STATUS_UNSUPPORTED : status_from_errno(e);
  }
  return fl.l_type == F_UNLCK ? STATUS_OK : STATUS_AGAIN;
}

int32_t file_is_at(int fd, const char* path, bool* same) {
  *same = false;
  const FileOps* o = active_ops();
  struct stat held;
  if ((o == nullptr ? ::fstat(fd, &held) : o->fstat_fn(fd, &held)) != 0) return status_from_errno(errno);
  struct stat named;
  if (do_stat(path, &named) != 0) return STATUS_OK;  // gone: not the same file
  *same = held.st_dev == named.st_dev && held.st_ino == named.st_ino;
  return STATUS_OK;
}

int32_t DirReader::open(const char* path) {
  close();
  ops_ = active_ops();
  handle_ = ops_ == nullptr ? ::opendir(path) : ops_->opendir_fn(path);
  if (handle_ == nullptr) {
    status_ = status_from_errno(errno);
    return status_;
  }
  status_ = STATUS_OK;
  return STATUS_OK;
}

const char* DirReader::next() {
  if (handle_ == nullptr) return nullptr;
  // readdir reports the end and a failure alike, with errno set only for
  // the failure.
  errno = 0;
  const char* name = ops_ == nullptr ? sys_readdir(handle_) : ops_->readdir_fn(handle_);
  if (name == nullptr && errno != 0) status_ = status_from_errno(errno);
  return name;
}

void DirReader::close() {
  if (handle_ == nullptr) return;
  (void)(ops_ == nullptr ? ::closedir(static_cast<DIR*>(handle_))
                         : ops_->closedir_fn(handle_));  // a listing has nothing to flush
  handle_ = nullptr;
}

}  // namespace orv
