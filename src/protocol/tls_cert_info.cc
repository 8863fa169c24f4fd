#include "protocol/tls_cert_info.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <ctime>

#include "core/status.h"

namespace orv {

int32_t tls_certificate_not_after(const char* path, int64_t* out) {
  *out = 0;
  if (path == nullptr) return STATUS_INVALID;
  BIO* bio = BIO_new_file(path, "r");
  if (bio == nullptr) {
    ERR_clear_error();
    return STATUS_NOT_FOUND;
  }
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (cert == nullptr) {
    ERR_clear_error();
    return STATUS_INVALID;
  }
  struct tm when = {};
  const ASN1_TIME* not_after = X509_get0_notAfter(cert);
  int ok = not_after != nullptr ? ASN1_TIME_to_tm(not_after, &when) : 0;
  X509_free(cert);
  if (ok != 1) {
    ERR_clear_error();
    return STATUS_INVALID;
  }
  *out = static_cast<int64_t>(timegm(&when));
  return STATUS_OK;
}

}  // namespace orv
