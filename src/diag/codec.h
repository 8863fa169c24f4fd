// Compression codecs reached through one small layer: zstd and lz4, plus
// "none" for bytes stored as they are. No shared state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orv {

inline constexpr int CODEC_NONE = 0;
inline constexpr int CODEC_ZSTD = 1;
inline constexpr int CODEC_LZ4 = 2;

// Largest compressed size of n input bytes: the library's bound for zstd and
// lz4 (0 for lz4 inputs it cannot take), n for any other codec.
size_t codec_bound(int codec, size_t n);

// Compresses src into dst and returns the compressed length, or 0 when there
// is no compressed form: library failure, no gain (result not smaller than
// src), CODEC_NONE or an unknown codec. level is used by zstd only. lz4
// takes at most INT32_MAX input bytes.
size_t codec_compress(int codec, int level, std::span<const uint8_t> src, std::span<uint8_t> dst);

// Decompresses src into dst. On success *out_len (when out_len is non-null)
// receives the output length. CODEC_NONE copies src and needs dst to hold it
// (else STATUS_INVALID, nothing copied). Damaged input gives STATUS_CORRUPT;
// an unknown codec, or an lz4 length above INT32_MAX, STATUS_INVALID.
[[nodiscard]] int32_t codec_decompress(int codec, std::span<const uint8_t> src, std::span<uint8_t> dst,
                                       size_t* out_len);

}  // namespace orv
