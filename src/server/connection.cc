#include "server/connection.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/log.h"
#include "core/status.h"
#include "core/aligned_buffer.h"
#include "protocol/frame.h"

namespace orv {

namespace {

// Connection threads running (or created and about to run). Changed only
// atomically; read by the listener's drain.
std::atomic<int32_t> g_active_sessions{0};

void set_socket_timeouts(int fd, uint32_t limit_ms) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(limit_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limit_ms % 1000) * 1000);
  // Failure leaves the socket without a limit, as it was; nothing else to do.
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Receives and dispatches frames until the session is finished or fails.
// Returns the status that ended the loop (0 when the session reached done).
// While a backup is received, frames go into the buffers of its image
// stream, so that one block is written while the next one arrives.
int32_t serve(Session* session, uint8_t* buffer) {
  std::span<uint8_t> own(buffer, RECEIVE_BUFFER_ROOM);
  while (session_state(session) != SessionState::done && session_state(session) != SessionState::error) {
    FrameHeader header;
    std::span<uint8_t> into = session_receive_buffer(session, own);
    size_t at = 0;
    int32_t rc = receive_frame_placed(&session->channel, &header, into.first(RECEIVE_BUFFER_ROOM),
                                      session_place_payload, session, &at);
    if (rc != STATUS_OK) {
      log_write(LEVEL_WARN, "connection closed/errored while awaiting frame: %s (status=%d)", status_text(rc), rc);
      return rc;
    }
    rc = session_dispatch(session, header, std::span<const uint8_t>(into.data() + at, header.length));
    if (rc != STATUS_OK) {
      log_write(LEVEL_ERROR, "session error handling msg_type=%u: %s (status=%d)",
                static_cast<unsigned>(header.msg_type), status_text(rc), rc);
      return rc;
    }
  }
  return STATUS_OK;
}

}  // namespace

int32_t active_sessions() { return g_active_sessions.load(); }

void active_sessions_add(int32_t delta) { g_active_sessions.fetch_add(delta); }

void connection_job_free(ConnectionJob* job) {
  if (job == nullptr) return;
  if (job->socket >= 0) (void)close(job->socket);  // never served; nothing to report
  tls_context_free(job->tls_context);
  delete job;
}

int32_t connection_handshake(TlsContext* context, int fd, uint32_t limit_ms, Channel* out) {
  set_socket_timeouts(fd, limit_ms);
  int32_t rc = tls_accept(context, fd, out);
  if (rc == STATUS_OK) set_socket_timeouts(fd, 0);
  return rc;
}

void connection_main(void* arg) {
  ConnectionJob* job = static_cast<ConnectionJob*>(arg);
  Channel channel;
  int32_t rc = connection_handshake(job->tls_context, job->socket, HANDSHAKE_LIMIT_MS, &channel);
  // The TLS session now holds its own reference on the context.
  tls_context_free(job->tls_context);
  job->tls_context = nullptr;
  if (rc != STATUS_OK) {
    log_write(LEVEL_WARN, "TLS handshake failed: %s (status=%d)", status_text(rc), rc);
  } else {
    job->socket = -1;  // the channel owns it now
    Session session;
    session_init(&session, job->storage_root, job->acl_table, job->acl_count,
                 job->diag_dir[0] != '\0' ? job->diag_dir : nullptr, job->diag_enabled != 0, channel);
    auto* buffer = static_cast<uint8_t*>(aligned_alloc(DIRECT_IO_ALIGN, RECEIVE_BUFFER_ROOM));
    if (buffer == nullptr) {
      channel_close(&session.channel);
    } else {
      int32_t end_status = serve(&session, buffer);
      session_end(&session, end_status);
      free(buffer);
      channel_close(&session.channel);
    }
  }
  connection_job_free(job);
  g_active_sessions.fetch_sub(1);
}

}  // namespace orv
