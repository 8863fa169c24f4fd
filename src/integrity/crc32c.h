// CRC-32C (Castagnoli, reflected 0x82F63B78). Results chain:
// crc32c(crc32c(0, A), B) == crc32c(0, A followed by B). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

// prev: 0 to start, or the value returned for the preceding bytes.
// len 0 returns prev without reading data.
uint32_t crc32c(uint32_t prev, const void* data, size_t len);

// The individual paths, exported for tests and benchmarks only.
uint32_t crc32c_sw(uint32_t prev, const void* data, size_t len);
bool crc32c_hw_available();
// Requires crc32c_hw_available().
uint32_t crc32c_hw(uint32_t prev, const void* data, size_t len);
// Single-stream 8-bytes-per-step hardware loop (benchmark baseline).
uint32_t crc32c_hw_single(uint32_t prev, const void* data, size_t len);

}  // namespace orv
