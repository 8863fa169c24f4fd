#include "server/connection.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/log.h"
#include "core/metrics.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/aligned_buffer.h"
#include "protocol/frame.h"
#include "server/session_metrics.h"

namespace orv {

namespace {

// Connection threads running (or created and about to run). Changed only
// atomically; read by the listener's drain.
std::atomic<int32_t> g_active_sessions{0};

void log_receive_failure(int32_t rc) {
  log_write(LEVEL_WARN, "connection closed/errored while awaiting frame: %s (status=%d)", status_text(rc), rc);
}

// Dispatches one received frame; a failure is logged with the peer's address.
int32_t dispatch(Session* session, const FrameHeader& header, std::span<const uint8_t> payload, const char* peer) {
  int32_t rc = session_dispatch(session, header, payload);
  if (rc != STATUS_OK) {
    log_write(LEVEL_ERROR, "session error handling msg_type=%u: %s (status=%d) from %s",
              static_cast<unsigned>(header.msg_type), status_text(rc), rc, peer);
  }
  return rc;
}

bool finished(const Session* session) {
  return session_state(session) == SessionState::done || session_state(session) == SessionState::error;
}

// Receives and dispatches frames until the session is finished or fails;
// returns the status that ended the loop (0 when the session reached done).
// Before authentication frames go into a small buffer, and a longer frame
// ends the connection without its payload being read; the buffer of the
// largest frame size is allocated only once the peer is authenticated.
// While a backup is received, frames go into the buffers of its image
// stream, so that one block is written while the next one arrives; a
// BLOCK's data is placed so that it can be written without the page cache.
int32_t serve(Session* session, AuthWatch* watch, const char* peer, SessionTally* tally) {
  uint8_t small[PRE_AUTH_FRAME_MAX];
  uint8_t* large = nullptr;
  bool armed = true;
  int32_t rc = STATUS_OK;
  while (!finished(session)) {
    FrameHeader header;
    const uint8_t* payload = small;
    if (session_state(session) == SessionState::wait_hello) {
      rc = receive_frame(&session->channel, &header, std::span<uint8_t>(small, sizeof small));
      if (rc == STATUS_INVALID) {
        log_write(LEVEL_WARN, "frame of %u bytes before authentication: closing connection",
                  static_cast<unsigned>(header.length));
        rc = STATUS_PROTOCOL;
      }
    } else {
      if (large == nullptr) large = static_cast<uint8_t*>(aligned_alloc(DIRECT_IO_ALIGN, RECEIVE_BUFFER_ROOM));
      if (large == nullptr) {
        rc = STATUS_NOMEM;
      } else {
        std::span<uint8_t> into = session_receive_buffer(session, std::span<uint8_t>(large, RECEIVE_BUFFER_ROOM));
        size_t at = 0;
        rc = receive_frame_placed(&session->channel, &header, into.first(RECEIVE_BUFFER_ROOM),
                                  session_place_payload, session, &at);
        payload = into.data() + at;
      }
    }
    if (rc != STATUS_OK) {
      log_receive_failure(rc);
      break;
    }
    session_tally_frame(tally, *session, header);
    rc = dispatch(session, header, std::span<const uint8_t>(payload, header.length), peer);
    session_tally_dispatched(tally, *session, header, std::span<const uint8_t>(payload, header.length), rc);
    if (rc != STATUS_OK) break;
    // Authenticated: no deadline any more (disarmed before any close).
    if (armed && session_state(session) != SessionState::wait_hello) {
      (void)auth_watch_disarm(watch);
      armed = false;
    }
  }
  free(large);
  return rc;
}

// The session from its first frame to its end; the channel is closed after.
void run_session(ConnectionJob* job, const Channel& channel) {
  Session session;
  session_init(&session, *job->config, job->acl_table, job->acl_count, channel);
  session.refused_key_delay_ms = REFUSED_KEY_DELAY_MS;
  SessionTally tally;
  int32_t end_status = serve(&session, &job->watch, job->peer, &tally);
  (void)auth_watch_disarm(&job->watch);  // a deadline that passed has already ended the reads
  session_tally_end(&tally, session);
  session_end(&session, end_status);
  channel_close(&session.channel);
}

}  // namespace

int32_t active_sessions() { return g_active_sessions.load(); }

void active_sessions_add(int32_t delta) { g_active_sessions.fetch_add(delta); }

void connection_job_free(ConnectionJob* job) {
  if (job == nullptr) return;
  (void)auth_watch_disarm(&job->watch);  // before the socket can be closed and its number reused
  if (job->socket >= 0) (void)close(job->socket);  // never served; nothing to report
  tls_context_free(job->tls_context);
  if (job->admitted) conn_limits_release(job->peer_ipv4);
  delete job;
}

void connection_main(void* arg) {
  ConnectionJob* job = static_cast<ConnectionJob*>(arg);
  metrics_add(service_metrics().connections_open, 1);
  log_write(LEVEL_INFO, "connection from %s", job->peer);
  // Without the watchdog the connection would have no bound before
  // authentication; refuse it instead.
  int32_t rc = auth_watch_arm(&job->watch, job->socket, job->accepted_ms + AUTH_DEADLINE_MS);
  Channel channel;
  if (rc == STATUS_OK) rc = tls_accept(job->tls_context, job->socket, &channel);
  // The TLS session now holds its own reference on the context.
  tls_context_free(job->tls_context);
  job->tls_context = nullptr;
  if (rc != STATUS_OK) {
    metrics_add(service_metrics().handshake_failures, 1);
    log_write(LEVEL_WARN, "TLS handshake failed: %s (status=%d) from %s", status_text(rc), rc, job->peer);
  } else {
    job->socket = -1;  // the channel owns it now
    // Non-blocking from here on, once: a send waits in poll only when the
    // peer's window is full.
    rc = channel_bound_sends(&channel, SEND_TIMEOUT_MS);
    if (rc == STATUS_OK) {
      run_session(job, channel);
    } else {
      log_write(LEVEL_WARN, "cannot set up the connection from %s: %s", job->peer, last_transport_error());
      channel_close(&channel);
    }
  }
  connection_job_free(job);
  metrics_add(service_metrics().connections_open, -1);
  g_active_sessions.fetch_sub(1);
}

}  // namespace orv
