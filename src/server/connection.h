// The life of one accepted connection, run by a thread of its own: TLS
// handshake, session, receive/dispatch loop, session end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/tls_channel.h"
#include "server/acl.h"
#include "server/session.h"

namespace orv {

// A peer gets this long to complete the TLS handshake; after it, the session
// itself has no time-out (TCP keep-alive guards against a silent peer).
inline constexpr uint32_t HANDSHAKE_LIMIT_MS = 30000;
// Each connection receives into one buffer of exactly the largest frame.
inline constexpr size_t RECEIVE_BUFFER_SIZE = FRAME_MAX_PAYLOAD;

// Allocated by the listener for each accepted connection; owned and released
// by the connection's thread.
struct ConnectionJob {
  int socket = -1;                               // the accepted TCP socket
  char storage_root[SESSION_ROOT_SIZE] = {};     // copy, cut to 511 characters
  TlsContext* tls_context = nullptr;             // own handle; keeps the context alive
  const AclEntry* acl_table = nullptr;           // not owned; the listener keeps it
  uint64_t acl_count = 0;
  char diag_dir[SESSION_DIAG_DIR_SIZE] = {};     // empty when none was configured
  int32_t diag_enabled = 1;
};

// Releases a job that never reached its thread (closes the socket too).
void connection_job_free(ConnectionJob* job);

// Thread body for a ConnectionJob (passed as void*). The creator has already
// counted the connection with active_sessions_add(1); the thread releases
// the job and the count when it ends.
void connection_main(void* job);

// Number of connection threads counted and not yet finished.
int32_t active_sessions();
void active_sessions_add(int32_t delta);

// Server handshake bounded by limit_ms: receive and send time-outs are set
// on fd for the handshake and cleared once it succeeded. A time-out is a
// handshake failure (STATUS_PROTOCOL). fd stays the caller's on failure.
[[nodiscard]] int32_t connection_handshake(TlsContext* context, int fd, uint32_t limit_ms, Channel* out);

}  // namespace orv
