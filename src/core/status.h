// Status codes shared by every layer: 0 is success, small negative values
// name a class of failure. The values travel on the wire and in log lines,
// so they are fixed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr int32_t STATUS_OK = 0;
inline constexpr int32_t STATUS_IO = -1;
inline constexpr int32_t STATUS_NOMEM = -2;
inline constexpr int32_t STATUS_INVALID = -3;
inline constexpr int32_t STATUS_NOT_FOUND = -4;
inline constexpr int32_t STATUS_EXISTS = -5;
inline constexpr int32_t STATUS_UNSUPPORTED = -6;
inline constexpr int32_t STATUS_CORRUPT = -7;
inline constexpr int32_t STATUS_PROTOCOL = -8;
inline constexpr int32_t STATUS_AGAIN = -9;
inline constexpr int32_t STATUS_DECRYPT = -10;

// Fixed English text of a status code; "unknown error" for any other value.
const char* status_text(int32_t code);

// Maps a system error number to a status code. Only ENOENT, EAGAIN, ENOMEM,
// EEXIST and EINVAL have classes of their own; everything else is STATUS_IO.
int32_t status_from_errno(int errno_value);

// Writes strerror(errno) into buffer and returns it. With no buffer or a size
// of 0 nothing is written and the empty text is returned.
const char* errno_text(char* buffer, size_t size);

}  // namespace orv
