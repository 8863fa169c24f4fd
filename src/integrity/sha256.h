// SHA-256 through OpenSSL's EVP interface. Any library failure is fatal:
// "fatal: OpenSSL SHA-256 failed" on stderr, then abort().
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace orv {

inline constexpr size_t SHA256_DIGEST_SIZE = 32;

// Incremental state: null when no digest is in progress.
struct Sha256Ctx {
  EVP_MD_CTX* md_ctx = nullptr;
};

void sha256(const void* data, size_t len, uint8_t out[SHA256_DIGEST_SIZE]);
void sha256_init(Sha256Ctx* ctx);
void sha256_update(Sha256Ctx* ctx, const void* data, size_t len);
// Writes the digest, frees the context and leaves ctx->md_ctx null.
void sha256_final(Sha256Ctx* ctx, uint8_t out[SHA256_DIGEST_SIZE]);

// 1 when the n bytes at a and b are equal, else 0.
int digest_equal(const void* a, const void* b, size_t n);

}  // namespace orv
