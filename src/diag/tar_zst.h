// In-memory ustar archive compressed as one zstd frame: the container of a
// diagnostics bundle. Every member is a regular file "0644 root/root" dated
// 1970-01-01, so two bundles of the same content differ only in their data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace orv {

// One archive member. name is NUL-terminated, 1 to 100 bytes; data may be
// null when len is 0. The builder only reads through both pointers.
struct TarMember {
  const char* name = nullptr;
  const uint8_t* data = nullptr;
  size_t len = 0;
};

inline constexpr size_t TAR_MAX_MEMBERS = 256;
inline constexpr size_t TAR_MAX_MEMBER_SIZE = size_t{64} * 1024 * 1024;  // exactly 64 MiB is allowed
inline constexpr size_t TAR_NAME_MAX = 100;
inline constexpr size_t TAR_INITIAL_CAPACITY = 65536;
inline constexpr size_t TAR_ERROR_SIZE = 256;

// Owner of a buffer handed out by tar_zst_build (allocated with malloc).
struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using MallocBytes = std::unique_ptr<uint8_t[], FreeDeleter>;

// Builds the ustar archive of count members (in order, two zero blocks at the
// end) and compresses it in one call at the given zstd level.
// *out_data and *out_len are set to null and 0 before anything else. On
// success returns 0 and *out_data is a malloc'd buffer the caller frees
// (wrap it in MallocBytes). On failure returns -1, writes the reason into err
// (at most err_size-1 characters; nothing when err is null or err_size is 0)
// and has released everything it allocated. Limits: at most TAR_MAX_MEMBERS
// members, each at most TAR_MAX_MEMBER_SIZE bytes; both are checked for every
// member before any header is built.
[[nodiscard]] int32_t tar_zst_build(const TarMember* members, size_t count, int level,
                                    uint8_t** out_data, size_t* out_len, char* err,
                                    size_t err_size);

}  // namespace orv
