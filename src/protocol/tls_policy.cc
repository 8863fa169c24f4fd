#include "protocol/tls_policy.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <ctime>

#include "core/log.h"
#include "core/status.h"

namespace orv {

namespace {

// Seconds from a to b (negative when b is earlier); false when a time cannot
// be read.
bool seconds_between(const ASN1_TIME* a, const ASN1_TIME* b, int64_t* out) {
  int days = 0;
  int secs = 0;
  if (ASN1_TIME_diff(&days, &secs, a, b) != 1) return false;
  *out = static_cast<int64_t>(days) * 86400 + secs;
  return true;
}

const char* key_type_name(int base_id) {
  switch (base_id) {
    case EVP_PKEY_RSA: return "RSA";
    case EVP_PKEY_RSA_PSS: return "RSA-PSS";
    case EVP_PKEY_EC: return "EC";
    case EVP_PKEY_DSA: return "DSA";
    default: return "other";
  }
}

// The minimum size for a key type, 0 when its size is not judged (Ed25519,
// Ed448), -1 when the type cannot serve the offered cipher suites.
int minimum_bits(int base_id) {
  switch (base_id) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS: return TLS_MIN_RSA_BITS;
    case EVP_PKEY_EC: return TLS_MIN_EC_BITS;
    case EVP_PKEY_ED25519:
    case EVP_PKEY_ED448: return 0;
    default: return -1;
  }
}

}  // namespace

void tls_policy_prepare(SSL_CTX* ctx) { SSL_CTX_set_security_level(ctx, 0); }

int32_t tls_policy_apply(SSL_CTX* ctx, const char* key_path) {
  EVP_PKEY* key = SSL_CTX_get0_privatekey(ctx);
  int base_id = key != nullptr ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
  int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
  int need = minimum_bits(base_id);
  if (key == nullptr || need < 0 || bits < need) {
    log_write(LEVEL_ERROR,
              "TLS key %s is too weak or of an unsupported type: %d-bit %s (at least %d-bit RSA or %d-bit EC is "
              "required)",
              key_path, bits, key_type_name(base_id), TLS_MIN_RSA_BITS, TLS_MIN_EC_BITS);
    return STATUS_INVALID;
  }
  // Security level 2: no RSA/DH below 2048 bits and no SHA-1 signatures in
  // the handshake, whatever a configuration file lowered it to.
  SSL_CTX_set_security_level(ctx, 2);
  bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_max_proto_version(ctx, 0) == 1 &&  // 0: the highest the library knows
            SSL_CTX_set_cipher_list(ctx, TLS12_CIPHERS) == 1 &&
            SSL_CTX_set_ciphersuites(ctx, TLS13_CIPHERSUITES) == 1 &&
            SSL_CTX_set1_groups_list(ctx, TLS_GROUPS) == 1;
  if (!ok) {
    ERR_clear_error();
    return STATUS_INVALID;
  }
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_NO_COMPRESSION);
  SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION | SSL_OP_LEGACY_SERVER_CONNECT);
  return STATUS_OK;
}

void tls_policy_warn_validity(SSL_CTX* ctx, const char* cert_path, int64_t now_sec) {
  X509* cert = SSL_CTX_get0_certificate(ctx);
  if (cert == nullptr) return;
  ASN1_TIME* now = ASN1_TIME_set(nullptr, static_cast<time_t>(now_sec));
  if (now == nullptr) {
    ERR_clear_error();
    return;
  }
  int64_t to_end = 0;
  int64_t to_start = 0;
  bool end_ok = seconds_between(now, X509_get0_notAfter(cert), &to_end);
  bool start_ok = seconds_between(now, X509_get0_notBefore(cert), &to_start);
  if (end_ok && to_end < 0) {
    log_write(LEVEL_WARN, "certificate %s expired %d days ago", cert_path, static_cast<int>(-to_end / 86400));
  } else if (start_ok && to_start > 0) {
    struct tm tm_start;
    char text[32] = "?";
    if (ASN1_TIME_to_tm(X509_get0_notBefore(cert), &tm_start) == 1) {
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm_start);
    }
    log_write(LEVEL_WARN, "certificate %s is not valid before %s", cert_path, text);
  } else if (end_ok && to_end < static_cast<int64_t>(TLS_CERT_EXPIRY_WARN_DAYS) * 86400) {
    log_write(LEVEL_WARN, "certificate %s expires in %d days", cert_path, static_cast<int>(to_end / 86400));
  }
  ASN1_TIME_free(now);
  ERR_clear_error();
}

}  // namespace orv
