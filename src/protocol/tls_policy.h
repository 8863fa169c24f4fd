// The server's TLS policy, applied in code so that it holds whatever the
// host's OpenSSL configuration (OPENSSL_CONF) says: TLS 1.2 or later; for
// TLS 1.2 only ECDHE key exchange with AEAD ciphers (AES-GCM,
// ChaCha20-Poly1305); the server's order of preference; no session tickets
// and no renegotiation; certificate keys of at least 2048-bit RSA or
// 256-bit EC. Also the start-up and reload warnings about certificates that
// are expired, not yet valid or about to expire.
#pragma once

#include <cstdint>

typedef struct ssl_ctx_st SSL_CTX;

namespace orv {

// A certificate that expires within this many days is warned about.
inline constexpr int TLS_CERT_EXPIRY_WARN_DAYS = 14;
inline constexpr int TLS_MIN_RSA_BITS = 2048;
inline constexpr int TLS_MIN_EC_BITS = 256;
// Ciphers offered for TLS 1.2 and TLS 1.3, strongest first.
inline constexpr const char* TLS12_CIPHERS =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";
inline constexpr const char* TLS13_CIPHERSUITES =
    "TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256";
inline constexpr const char* TLS_GROUPS = "X25519:P-256:P-384";

// Before the certificate and key are loaded: lets any key load, so that a
// weak one is refused by tls_policy_check_key with a clear message rather
// than by the library with a generic one.
void tls_policy_prepare(SSL_CTX* ctx);

// After loading: refuses a key below the minimum sizes with an ERROR line
// naming key_path, its size and type (STATUS_INVALID), else applies the
// protocol, cipher and option settings (STATUS_INVALID if the library
// refuses one). The context is unchanged apart from these settings.
[[nodiscard]] int32_t tls_policy_apply(SSL_CTX* ctx, const char* key_path);

// WARN when the loaded certificate is expired ("certificate %s expired %d
// days ago"), not yet valid ("certificate %s is not valid before %s") or
// expires within TLS_CERT_EXPIRY_WARN_DAYS days ("certificate %s expires in
// %d days"). now_sec is the wall-clock time to judge against.
void tls_policy_warn_validity(SSL_CTX* ctx, const char* cert_path, int64_t now_sec);

}  // namespace orv
