// SHA-256 through OpenSSL's EVP interface. A failure inside the library is
// unrecoverable for this process: one fixed line on stderr, then abort().
#include "integrity/sha256.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace orv {

namespace {

[[noreturn]] void sha256_fatal() {
  static constexpr char kLine[] = "fatal: OpenSSL SHA-256 failed\n";
  static_assert(sizeof kLine - 1 == 30);
  // Best effort: the process ends either way.
  ssize_t w = write(STDERR_FILENO, kLine, sizeof kLine - 1);
  (void)w;
  abort();
}

EVP_MD* fetch_sha256() {
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) sha256_fatal();
  return md;
}

// Fetched once, on first use, and kept for the life of the process. The
// function-local static publishes the handle to every thread only after the
// fetch has completed; concurrent first callers wait for it.
const EVP_MD* sha256_md() {
  static EVP_MD* const md = fetch_sha256();
  return md;
}

// EVP may dereference the data pointer even for zero bytes; give it a valid one.
const void* nonnull(const void* data) {
  static const uint8_t kEmpty = 0;
  return data != nullptr ? data : &kEmpty;
}

}  // namespace

void sha256(const void* data, size_t len, uint8_t out[SHA256_DIGEST_SIZE]) {
  unsigned int n = 0;
  if (EVP_Digest(nonnull(data), len, out, &n, sha256_md(), nullptr) != 1 || n != SHA256_DIGEST_SIZE) {
    sha256_fatal();
  }
}

void sha256_init(Sha256Ctx* ctx) {
  const EVP_MD* md = sha256_md();
  // A context still in progress is restarted rather than leaked.
  if (ctx->md_ctx == nullptr) {
    ctx->md_ctx = EVP_MD_CTX_new();
    if (ctx->md_ctx == nullptr) sha256_fatal();
  }
  if (EVP_DigestInit_ex(ctx->md_ctx, md, nullptr) != 1) sha256_fatal();
}

void sha256_update(Sha256Ctx* ctx, const void* data, size_t len) {
  if (len == 0) return;
  if (ctx->md_ctx == nullptr || EVP_DigestUpdate(ctx->md_ctx, data, len) != 1) sha256_fatal();
}

void sha256_final(Sha256Ctx* ctx, uint8_t out[SHA256_DIGEST_SIZE]) {
  unsigned int n = 0;
  if (ctx->md_ctx == nullptr || EVP_DigestFinal_ex(ctx->md_ctx, out, &n) != 1 || n != SHA256_DIGEST_SIZE) {
    sha256_fatal();
  }
  EVP_MD_CTX_free(ctx->md_ctx);
  ctx->md_ctx = nullptr;
}

int digest_equal(const void* a, const void* b, size_t n) {
  if (n == 0) return 1;
  return memcmp(a, b, n) == 0 ? 1 : 0;
}

}  // namespace orv
