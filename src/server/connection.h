// The life of one accepted connection, run by a thread of its own: TLS
// handshake, session, receive/dispatch loop, session end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/tls_channel.h"
#include "server/acl.h"
#include "server/auth_deadline.h"
#include "server/conn_limits.h"
#include "server/session.h"

namespace orv {

// Before authentication a frame may carry at most this many bytes (HELLO is
// 166); a longer one ends the connection without its payload being read.
inline constexpr uint32_t PRE_AUTH_FRAME_MAX = 4096;
// A reply the peer does not take within this time ends the session as a
// failed send, so a peer that stops reading cannot pin memory. Reads have
// no time-out once the peer is authenticated.
inline constexpr uint32_t SEND_TIMEOUT_MS = 120000;
// A refused api key is answered only after this delay.
inline constexpr uint32_t REFUSED_KEY_DELAY_MS = 1000;
// Each authenticated connection receives into one buffer of exactly the
// largest frame, after a lead of up to FRAME_PLACE_MAX_OFFSET bytes where a
// payload may be placed to align its data (an aligned buffer of
// RECEIVE_BUFFER_ROOM).
inline constexpr size_t RECEIVE_BUFFER_SIZE = FRAME_MAX_PAYLOAD;
inline constexpr size_t RECEIVE_BUFFER_ROOM = FRAME_PLACE_MAX_OFFSET + RECEIVE_BUFFER_SIZE;
static_assert(WRITER_RECEIVE_BUFFER_SIZE == RECEIVE_BUFFER_ROOM);

// Allocated by the listener for each accepted connection; owned and released
// by the connection's thread.
struct ConnectionJob {
  int socket = -1;                               // the accepted TCP socket
  const ServerConfig* config = nullptr;          // not owned; lives as long as the process
  TlsContext* tls_context = nullptr;             // own handle; keeps the context alive
  const AclEntry* acl_table = nullptr;           // not owned; the listener keeps it
  uint64_t acl_count = 0;
  uint32_t peer_ipv4 = 0;                        // host byte order
  char peer[PEER_TEXT_SIZE] = {};                // "a.b.c.d:port", for log lines
  bool admitted = false;                         // counted by conn_limits_admit
  uint64_t accepted_ms = 0;                      // monotonic; the authentication deadline counts from it
  AuthWatch watch;                               // armed from the handshake until HELLO succeeded
};

// Releases a job (closes the socket if it still holds one and releases its
// admission); used for a job that never reached its thread and by the
// thread at its end.
void connection_job_free(ConnectionJob* job);

// Thread body for a ConnectionJob (passed as void*). The creator has already
// counted the connection with active_sessions_add(1); the thread releases
// the job and the count when it ends.
void connection_main(void* job);

// Number of connection threads counted and not yet finished.
int32_t active_sessions();
void active_sessions_add(int32_t delta);

}  // namespace orv
