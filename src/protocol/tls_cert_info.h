// What the operator's monitoring needs to know about the server certificate.
#pragma once

#include <cstdint>

namespace orv {

// Reads the first certificate of the PEM file at path and stores the end of
// its validity (notAfter) as Unix seconds in *out. STATUS_NOT_FOUND when
// the file cannot be opened, STATUS_INVALID when it holds no readable
// certificate or date. *out is 0 on failure.
[[nodiscard]] int32_t tls_certificate_not_after(const char* path, int64_t* out);

}  // namespace orv
