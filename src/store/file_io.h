// File primitives: status codes instead of errno, positioned I/O only.
// A descriptor is a plain int; -1 means no file. The primitives never close a
// descriptor they did not open; callers close on their error paths.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr uint32_t FILE_MODE = 0640;  // images, catalogs, journals
inline constexpr uint32_t DIR_MODE = 0777;   // reduced by the umask
inline constexpr size_t DIR_SYNC_PATH_MAX = 1100;

inline bool fd_is_open(int fd) { return fd >= 0; }

[[nodiscard]] int32_t file_open_read(const char* path, int* fd);
// O_WRONLY|O_CREAT|O_TRUNC: an existing file is emptied.
[[nodiscard]] int32_t file_create(const char* path, uint32_t mode, int* fd);
// O_RDWR|O_CREAT: an existing file keeps its contents.
[[nodiscard]] int32_t file_open_rw(const char* path, uint32_t mode, int* fd);
// 0 for a descriptor below 0 (nothing is done).
[[nodiscard]] int32_t file_close(int fd);
// One pread; count may be null. A short count is not an error here.
[[nodiscard]] int32_t file_pread(int fd, void* buf, size_t len, uint64_t offset, size_t* count);
// pwrite in a loop, retrying EINTR; a write that makes no progress ends the
// loop with success and a short count (callers compare). count may be null.
[[nodiscard]] int32_t file_pwrite_all(int fd, const void* data, size_t len, uint64_t offset, size_t* count);
[[nodiscard]] int32_t file_sync(int fd);
[[nodiscard]] int32_t file_truncate(int fd, uint64_t length);
[[nodiscard]] int32_t file_rename(const char* from, const char* to);
// Size in bytes; block devices through BLKGETSIZE64.
[[nodiscard]] int32_t file_size(int fd, uint64_t* size);
bool path_exists(const char* path);
// mkdir one level; 0 when the directory exists afterwards, STATUS_EXISTS
// when something else is in the way.
[[nodiscard]] int32_t dir_ensure(const char* path);
// fsync of the directory holding path; all failures ignored.
void dir_sync_parent(const char* path);

}  // namespace orv
