// Checking stored backups without the agent: everything the server checks
// when it loads a catalog (header, entry-table digest) plus entry order,
// every entry inside the image, no two entries sharing image bytes, the
// image's size against the header, duplicate identifiers, and the chain
// back to its full backup. With data reading on, every byte of the image
// is read, at a bounded rate, and read errors are named with file and
// offset. Nothing is changed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "admin/chains.h"
#include "admin/inventory.h"

namespace orv {

inline constexpr size_t ADMIN_PROBLEM_SIZE = 224;
inline constexpr uint32_t ADMIN_PROBLEMS_MAX = 8;  // per backup; the rest are counted
inline constexpr size_t VERIFY_READ_CHUNK = 8u << 20;

// The problems found with one backup (or one stray entry).
struct Problems {
  char text[ADMIN_PROBLEMS_MAX][ADMIN_PROBLEM_SIZE];
  uint32_t count = 0;
  uint32_t more = 0;  // further problems not kept

  void add(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Spreads reads over time so that at most `bytes_per_second` are read on
// average (0: no limit).
struct RateLimit {
  double bytes_per_second = 0;
  uint64_t start_ms = 0;
  uint64_t bytes = 0;
};
void rate_limit_start(RateLimit* r, double bytes_per_second);
// Counts n bytes just read and sleeps until the average is back under the rate.
void rate_limit_take(RateLimit* r, uint64_t n);

struct VerifyContext {
  bool data = false;
  RateLimit rate;
  uint8_t* buffer = nullptr;  // VERIFY_READ_CHUNK bytes, owned by the caller; needed with data
  uint64_t bytes_read = 0;    // image bytes read so far
  // Called after each chunk read (progress display); may be null.
  void (*on_read)(void* ctx, uint64_t bytes_read) = nullptr;
  void* on_read_ctx = nullptr;
};

// Checks backup b of the inventory (index: its directory's). Problems go to
// *out (cleared first); STATUS_NOMEM when the entry table or a work array
// cannot be allocated, else STATUS_OK whatever was found.
[[nodiscard]] int32_t verify_backup(const Inventory& inv, const UuidIndex& index, uint32_t b, VerifyContext* ctx,
                                    Problems* out);

}  // namespace orv
