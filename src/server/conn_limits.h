// Connection limits: how many connections may be open at once in total and
// from one IPv4 address, and the rate limit on the warnings about refused
// connections.
//
// The listener admits each accepted connection (which counts it) and the
// connection's end releases it. The counts are guarded by the module's
// mutex, since connections end on their own threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr uint32_t MAX_CONNECTIONS_DEFAULT = 4096;
inline constexpr uint32_t MAX_CONNECTIONS_PER_ADDRESS_DEFAULT = 256;
// At most one warning of a kind per this many milliseconds.
inline constexpr uint64_t REFUSAL_WARN_INTERVAL_MS = 1000;
// "255.255.255.255:65535" and its NUL.
inline constexpr size_t PEER_TEXT_SIZE = 22;

enum class Admission { admitted, total_limit, address_limit };

// Sets the limits (0 is read as the default) and sizes the per-address
// table for max_total distinct addresses. STATUS_NOMEM when the table cannot
// be allocated. Call before the first connection; calling again replaces the
// limits and forgets all counts.
[[nodiscard]] int32_t conn_limits_init(uint32_t max_total, uint32_t max_per_address);

// Counts a connection from ipv4 (host byte order) unless a limit is reached.
Admission conn_limits_admit(uint32_t ipv4);
// Releases a connection admitted earlier.
void conn_limits_release(uint32_t ipv4);
// Connections currently counted.
uint32_t conn_limits_open();

// "a.b.c.d:port" of an IPv4 address and port (host byte order).
void peer_text(uint32_t ipv4, uint16_t port, char* out, size_t cap);

// Rate limit of one kind of refusal warning; used by one thread only.
struct RefusalWarnings {
  uint64_t last_ms = 0;
  uint32_t pending = 0;  // refusals not yet reported
  bool warned = false;
};

// Counts one refusal at now_ms. Returns true when a warning is due now, with
// *count the number of refusals since the last warning, this one included.
bool refusal_warning_due(RefusalWarnings* w, uint64_t now_ms, uint32_t* count);

}  // namespace orv
