#include "diag/codec.h"

#include <lz4.h>
#include <zstd.h>

#include <climits>
#include <cstring>

#include "core/status.h"

namespace orv {

namespace {
constexpr size_t kIntMax = static_cast<size_t>(INT_MAX);

int clamp_to_int(size_t n) { return static_cast<int>(n > kIntMax ? kIntMax : n); }
}  // namespace

size_t codec_bound(int codec, size_t n) {
  switch (codec) {
    case CODEC_ZSTD: return ZSTD_compressBound(n);
    case CODEC_LZ4: {
      if (n > kIntMax) return 0;
      int b = LZ4_compressBound(static_cast<int>(n));
      return b > 0 ? static_cast<size_t>(b) : 0;
    }
    default: return n;
  }
}

size_t codec_compress(int codec, int level, std::span<const uint8_t> src, std::span<uint8_t> dst) {
  size_t len = 0;
  switch (codec) {
    case CODEC_ZSTD: {
      size_t r = ZSTD_compress(dst.data(), dst.size(), src.data(), src.size(), level);
      if (ZSTD_isError(r)) return 0;
      len = r;
      break;
    }
    case CODEC_LZ4: {
      if (src.size() > kIntMax) return 0;
      int r = LZ4_compress_default(reinterpret_cast<const char*>(src.data()),
                                   reinterpret_cast<char*>(dst.data()), static_cast<int>(src.size()),
                                   clamp_to_int(dst.size()));
      if (r <= 0) return 0;
      len = static_cast<size_t>(r);
      break;
    }
    default: return 0;
  }
  return len < src.size() ? len : 0;
}

int32_t codec_decompress(int codec, std::span<const uint8_t> src, std::span<uint8_t> dst,
                         size_t* out_len) {
  size_t produced = 0;
  switch (codec) {
    case CODEC_NONE:
      if (dst.size() < src.size()) return STATUS_INVALID;
      if (!src.empty()) memcpy(dst.data(), src.data(), src.size());
      produced = src.size();
      break;
    case CODEC_ZSTD: {
      size_t r = ZSTD_decompress(dst.data(), dst.size(), src.data(), src.size());
      if (ZSTD_isError(r)) return STATUS_CORRUPT;
      produced = r;
      break;
    }
    case CODEC_LZ4: {
      if (src.size() > kIntMax || dst.size() > kIntMax) return STATUS_INVALID;
      int r = LZ4_decompress_safe(reinterpret_cast<const char*>(src.data()),
                                  reinterpret_cast<char*>(dst.data()), static_cast<int>(src.size()),
                                  static_cast<int>(dst.size()));
      if (r < 0) return STATUS_CORRUPT;
      produced = static_cast<size_t>(r);
      break;
    }
    default: return STATUS_INVALID;
  }
  if (out_len != nullptr) *out_len = produced;
  return STATUS_OK;
}

}  // namespace orv
