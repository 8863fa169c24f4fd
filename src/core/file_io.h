// File primitives: status codes instead of errno, positioned I/O only.
// A descriptor is a plain int; -1 means no file. The primitives never close a
// descriptor they did not open; callers close on their error paths.
//
// Every primitive reaches the kernel through one table of system calls
// (FileOps). By default the table is not consulted at all and the calls go
// straight to the kernel; tests install a table of their own to run the
// store on a simulated file system or to make chosen calls fail.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/paths.h"

namespace orv {

inline constexpr uint32_t FILE_MODE = 0640;  // images, catalogs, journals
inline constexpr uint32_t DIR_MODE = 0777;   // reduced by the umask

inline bool fd_is_open(int fd) { return fd >= 0; }

// Any kind of file, following links (sources, bundles: files an operator
// names). Never used below the storage root.
[[nodiscard]] int32_t file_open_read(const char* path, int* fd);
// O_WRONLY|O_CREAT|O_TRUNC of any kind of file, following links: an output
// an operator names (a pipe, /dev/stdout). Never used below the storage root.
[[nodiscard]] int32_t file_create_output(const char* path, uint32_t mode, int* fd);

// The opens below serve the files below the storage root, where whoever can
// write there may have put a link, a FIFO or a directory under any name.
// None follows a link in the last component (O_NOFOLLOW), none waits for the
// other end of a FIFO (O_NONBLOCK, which Linux ignores for regular files),
// and what was opened is checked with fstat: anything but a regular file
// is closed again. A link, a FIFO, a socket, a device or a directory is
// STATUS_INVALID (*fd -1), whatever the open would have done with it.
// Directories along the path are not checked here (workdir.h does that).
//
// O_RDONLY.
[[nodiscard]] int32_t file_open_read_regular(const char* path, int* fd);
// O_WRONLY|O_CREAT|O_TRUNC: an existing file is emptied.
[[nodiscard]] int32_t file_create(const char* path, uint32_t mode, int* fd);
// O_RDWR|O_CREAT: an existing file keeps its contents.
[[nodiscard]] int32_t file_open_rw(const char* path, uint32_t mode, int* fd);
// O_RDWR|O_CREAT|O_EXCL: creates a new file; STATUS_EXISTS when the name is
// taken by anything, a link included (decided atomically by the kernel).
[[nodiscard]] int32_t file_create_excl(const char* path, uint32_t mode, int* fd);
// O_RDWR without O_CREAT: a missing file is STATUS_NOT_FOUND, never created.
[[nodiscard]] int32_t file_open_existing_rw(const char* path, int* fd);
// Opens path again for direct I/O (O_DIRECT: no page cache; buffer
// address, file offset and length must be multiples of DIRECT_IO_ALIGN,
// core/aligned_buffer.h). The read form is O_RDONLY, the write form
// O_WRONLY on an existing file (never created or emptied). A file system
// that refuses direct I/O (tmpfs) answers STATUS_UNSUPPORTED; callers then
// use a plain descriptor.
[[nodiscard]] int32_t file_open_read_direct(const char* path, int* fd);
[[nodiscard]] int32_t file_open_write_direct(const char* path, int* fd);
// The same for a file below the storage root that is already open as
// `open_fd`: path is opened without following a link and without waiting
// on a FIFO, and the result is kept only when it is the very file open_fd
// holds (same device and inode); anything else at that name now is
// STATUS_INVALID. So a name swapped for a link or another file never
// receives or supplies the data meant for open_fd.
[[nodiscard]] int32_t file_reopen_read_direct(int open_fd, const char* path, int* fd);
[[nodiscard]] int32_t file_reopen_write_direct(int open_fd, const char* path, int* fd);
// Reads len bytes at offset, as file_pread_full: page-rounded reads through
// direct_fd (opened for direct I/O), and whatever they leave at an unaligned
// position (a file whose end is not on a page boundary) through fd.
// REQUIRES: buf and offset aligned to DIRECT_IO_ALIGN; buf has room for len
// rounded up to it. *count gets min(bytes read, len).
[[nodiscard]] int32_t file_pread_direct(int direct_fd, int fd, void* buf, size_t len, uint64_t offset,
                                        size_t* count);
// True when at most a quarter of the pages of [offset, offset + length) of
// fd's file are in the page cache (mincore over a mapping of the range), so
// a direct read would not miss a cached copy worth using. False when the
// range cannot be mapped or checked (then buffered reads are the safe
// choice).
bool file_range_mostly_uncached(int fd, uint64_t offset, uint64_t length);
// 0 for a descriptor below 0 (nothing is done).
[[nodiscard]] int32_t file_close(int fd);
// One pread; count may be null. A short count is not an error here.
[[nodiscard]] int32_t file_pread(int fd, void* buf, size_t len, uint64_t offset, size_t* count);
// pread repeated until len bytes are read or the end of the file is
// reached (a read of 0); *count (not null) gets the bytes read. Used where
// a short read would otherwise be taken for a damaged file. Like
// file_pread, it does not retry EINTR.
[[nodiscard]] int32_t file_pread_full(int fd, void* buf, size_t len, uint64_t offset, size_t* count);
// pwrite in a loop, retrying EINTR; a write that makes no progress ends the
// loop with success and a short count (callers compare). count may be null.
[[nodiscard]] int32_t file_pwrite_all(int fd, const void* data, size_t len, uint64_t offset, size_t* count);
// fsync. Once an fsync of a descriptor has failed, the kernel may have
// dropped the data it covered while a later fsync reports success, so every
// later file_sync of that descriptor fails with STATUS_IO too, until it is
// closed with file_close or its number is handed out again by an open of
// these primitives. (Descriptors numbered 65,536 or more are not tracked.)
[[nodiscard]] int32_t file_sync(int fd);
[[nodiscard]] int32_t file_truncate(int fd, uint64_t length);
[[nodiscard]] int32_t file_rename(const char* from, const char* to);
// Deletes a file (unlink: a link itself, never a directory). The store
// deletes files on best effort and usually ignores the result.
[[nodiscard]] int32_t file_remove(const char* path);
// Size in bytes; block devices through BLKGETSIZE64.
[[nodiscard]] int32_t file_size(int fd, uint64_t* size);
// True when anything has that name (lstat: a link counts, dangling or not,
// and is never followed).
bool path_exists(const char* path);
// True when path names a regular file itself (lstat: not through a link).
bool path_is_regular(const char* path);
// Last modification time of the regular file at path in seconds since the
// epoch (lstat). STATUS_INVALID when something else (a link, a directory, a
// FIFO) has that name.
[[nodiscard]] int32_t path_mtime(const char* path, int64_t* seconds);
// mkdir one level; 0 when the directory exists afterwards, STATUS_EXISTS
// when something else is in the way (a link to a directory included). A directory it creates is made durable
// in its parent (fsync of the parent) before 0 is returned, so files later
// made durable inside it cannot vanish with it in a crash.
[[nodiscard]] int32_t dir_ensure(const char* path);
// fsync of the directory holding path; all failures ignored.
void dir_sync_parent(const char* path);
// fsync of the directory dir itself, reporting every failure.
[[nodiscard]] int32_t dir_sync(const char* dir);

// Exclusive lock on the whole file behind fd, without waiting: an open file
// description lock (fcntl F_OFD_SETLK, F_WRLCK). It belongs to the open file
// description, not to the process or thread: it conflicts with a lock
// through any other open of the same file, in this process or another (and
// on another machine, on a file system whose locks are coherent across its
// clients), and it ends when the last descriptor of that description is
// closed, or with the process. fd must be open for writing.
// STATUS_AGAIN when another open of the file holds a lock on it;
// STATUS_UNSUPPORTED when the file system refuses such locks (EINVAL,
// ENOLCK, EOPNOTSUPP); other failures mapped from errno.
[[nodiscard]] int32_t file_lock_exclusive(int fd);
// Whether another open of the file behind fd holds a lock that
// file_lock_exclusive would run into (fcntl F_OFD_GETLK), without taking
// one; fd may be read-only. STATUS_OK when none does, STATUS_AGAIN when one
// does, STATUS_UNSUPPORTED as for file_lock_exclusive.
[[nodiscard]] int32_t file_lock_probe(int fd);
// *same: fd is still the file that path names (same device and inode); false
// when path is gone or names another file now. Fails only when fd cannot be
// examined.
[[nodiscard]] int32_t file_is_at(int fd, const char* path, bool* same);

// The system calls behind the primitives. Each member behaves like the call
// it is named after: on failure it returns -1 (a null handle for opendir_fn)
// and sets errno. readdir_fn returns the next name or null at the end (errno
// unchanged) or on failure (errno set to the cause).
struct FileOps {
  int (*open_fn)(const char* path, int flags, mode_t mode);
  int (*close_fn)(int fd);
  ssize_t (*pread_fn)(int fd, void* buf, size_t len, off_t offset);
  ssize_t (*pwrite_fn)(int fd, const void* buf, size_t len, off_t offset);
  int (*fsync_fn)(int fd);
  int (*ftruncate_fn)(int fd, off_t length);
  int (*fstat_fn)(int fd, struct stat* st);
  int (*blkgetsize_fn)(int fd, uint64_t* size);  // ioctl(BLKGETSIZE64)
  int (*stat_fn)(const char* path, struct stat* st);  // lstat: a link is reported as itself
  int (*rename_fn)(const char* from, const char* to);
  int (*remove_fn)(const char* path);  // unlink
  int (*mkdir_fn)(const char* path, mode_t mode);
  void* (*opendir_fn)(const char* path);
  const char* (*readdir_fn)(void* dir);
  int (*closedir_fn)(void* dir);
  int (*ofd_lock_fn)(int fd);  // fcntl(F_OFD_SETLK) of an exclusive lock on the whole file
};

// The names in one directory, read one at a time ("." and ".." included,
// in directory order). Owns the open directory; one thread at a time.
class DirReader {
 public:
  DirReader() = default;
  ~DirReader() { close(); }
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  // Opens path (links are followed: callers below the storage root check
  // the path first, workdir.h). On failure the mapped status is returned,
  // errno still holds the cause (for messages), and next() returns null.
  [[nodiscard]] int32_t open(const char* path);
  // The next name, valid until the following call; null at the end or when
  // reading failed (status() tells which).
  const char* next();
  // STATUS_OK, or the failure that ended the listing early.
  int32_t status() const { return status_; }
  void close();

 private:
  void* handle_ = nullptr;
  const FileOps* ops_ = nullptr;
  int32_t status_ = 0;
};

// The table that calls the kernel (for wrappers that forward to it).
const FileOps& file_io_system_ops();

// Makes every later primitive call go through ops (null: straight to the
// kernel again) and returns the table that was installed before. Not
// synchronised with calls in flight: install before the threads that use
// files start and restore after they have finished. Meant for tests.
const FileOps* file_io_set_ops(const FileOps* ops);

}  // namespace orv
