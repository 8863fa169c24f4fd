#include "core/status.h"

#include <cerrno>
#include <cstring>

namespace orv {

const char* status_text(int32_t code) {
  switch (code) {
    case STATUS_OK: return "ok";
    case STATUS_IO: return "I/O error";
    case STATUS_NOMEM: return "out of memory";
    case STATUS_INVALID: return "invalid argument or request";
    case STATUS_NOT_FOUND: return "not found";
    case STATUS_EXISTS: return "already exists";
    case STATUS_UNSUPPORTED: return "not supported";
    case STATUS_CORRUPT: return "corrupt or inconsistent data";
    case STATUS_PROTOCOL: return "protocol error";
    case STATUS_AGAIN: return "temporarily unavailable";
    case STATUS_DECRYPT: return "decryption failed (wrong key or corrupted data)";
    default: return "unknown error";
  }
}

namespace {
// Indexed by errno - 2, for errno 2 (ENOENT) to 22 (EINVAL).
constexpr int kErrnoFirst = 2;
constexpr int kErrnoLast = 22;
constexpr int32_t kErrnoTable[kErrnoLast - kErrnoFirst + 1] = {
    STATUS_NOT_FOUND,  // 2 ENOENT
    STATUS_IO,         // 3 ESRCH
    STATUS_IO,         // 4 EINTR
    STATUS_IO,         // 5 EIO
    STATUS_IO,         // 6 ENXIO
    STATUS_IO,         // 7 E2BIG
    STATUS_IO,         // 8 ENOEXEC
    STATUS_IO,         // 9 EBADF
    STATUS_IO,         // 10 ECHILD
    STATUS_AGAIN,      // 11 EAGAIN
    STATUS_NOMEM,      // 12 ENOMEM
    STATUS_IO,         // 13 EACCES
    STATUS_IO,         // 14 EFAULT
    STATUS_IO,         // 15 ENOTBLK
    STATUS_IO,         // 16 EBUSY
    STATUS_EXISTS,     // 17 EEXIST
    STATUS_IO,         // 18 EXDEV
    STATUS_IO,         // 19 ENODEV
    STATUS_IO,         // 20 ENOTDIR
    STATUS_IO,         // 21 EISDIR
    STATUS_INVALID,    // 22 EINVAL
};
static_assert(ENOENT == 2 && EAGAIN == 11 && ENOMEM == 12 && EEXIST == 17 && EINVAL == 22);
}  // namespace

int32_t status_from_errno(int errno_value) {
  if (errno_value < kErrnoFirst || errno_value > kErrnoLast) return STATUS_IO;
  return kErrnoTable[errno_value - kErrnoFirst];
}

const char* errno_text(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return "";
  int saved = errno;
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(saved, buffer, size);
  if (text != buffer) {
    size_t n = strnlen(text, size - 1);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
  }
  errno = saved;
  return buffer;
}

}  // namespace orv
