// One protocol session per connection: authentication (HELLO), then one
// backup or any number of queries and restore reads. The record is owned by
// the connection thread and never shared; it holds the whole backup header,
// so it lives in that thread's frame or in one allocation.
//
// Contract with the connection thread: session_init after the handshake;
// while session_state() is neither done nor error, receive_frame into an
// 8 MiB buffer and session_dispatch; then session_end with the status that
// ended the loop (0 when the session reached done) and channel_close of
// session.channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/paths.h"
#include "protocol/formats.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/tls_channel.h"
#include "server/acl.h"
#include "server/restore.h"
#include "server/server_config.h"
#include "store/backup_writer.h"

namespace orv {

enum class SessionState : uint32_t {
  wait_hello = 0,        // accepted, no valid HELLO yet
  wait_begin = 1,        // authenticated: queries, restore reads, BEGIN or CONTINUE
  receiving_blocks = 2,  // a backup (new or continued) is open
  done = 3,              // the backup was finished with END
  error = 4,             // a request failed in a way that ends the session
};

// "wait_hello", "wait_begin", "receiving_blocks", "done", "error", or "?".
const char* session_state_name(SessionState state);

struct Session {
  SessionState state = SessionState::wait_hello;
  Channel channel;
  uint32_t peer_flags = 0;  // agent flags from HELLO; FLAG_CONTINUE

  // Table current when the connection was accepted; read-only, not owned.
  const AclEntry* acl_table = nullptr;
  size_t acl_count = 0;
  const AclEntry* acl_entry = nullptr;  // the agent's entry once HELLO succeeded

  // The server's settings (storage root, diagnostics, the store's part);
  // read-only, not owned, valid for the whole session.
  const ServerConfig* config = nullptr;

  // The backup being received (new or continued): its files, lock,
  // entries and header. Idle outside receiving_blocks, except that after
  // the session's end it keeps the header and image size for the report.
  BackupWriter backup;

  // Counters reported at session end.
  uint64_t frames = 0;           // BLOCK and DROP_ENTRIES frames received
  uint64_t durable_seq = 0;      // frames at the last completed checkpoint
  uint64_t checkpoint_count = 0;
  uint64_t partial_expired_count = 0;
  // The backup's image size (bytes_received) and whether it continued a
  // partial are the writer's: backup.image_size(), backup.resumed().

  // Restore state.
  RestoreState restore;  // announced chain and range buffer (restore.h)

  // How long a refused api key waits before its answer, so that guessing
  // keys costs time; 0 after session_init, set by the connection.
  uint32_t refused_key_delay_ms = 0;

  uint64_t start_ms = 0;
};

// Resets the whole record and takes over the channel (session->channel is
// then the connection's). The settings are kept by reference: they must
// outlive the session.
void session_init(Session* session, const ServerConfig& config, const AclEntry* acl_table, size_t acl_count,
                  const Channel& channel);

// Handles one received frame. Any status other than STATUS_OK ends the session.
[[nodiscard]] int32_t session_dispatch(Session* session, const FrameHeader& header,
                                       std::span<const uint8_t> payload);

inline SessionState session_state(const Session* session) { return session->state; }

// Where the connection receives the next frame: while a backup is received,
// a free buffer of its writer (waiting until one is free), so that one
// block is written while the next arrives; otherwise, or when the writer
// has no buffers, connection_buffer. Either holds WRITER_RECEIVE_BUFFER_SIZE
// bytes, aligned.
std::span<uint8_t> session_receive_buffer(Session* session, std::span<uint8_t> connection_buffer);

// FramePlaceFn for the connection's receive (context: the Session): a BLOCK
// of an open backup is placed so that its data's address is congruent to
// its image offset modulo DIRECT_IO_ALIGN, so whole pages of it can be
// written with direct I/O; every other frame starts at 0.
size_t session_place_payload(void* context, const FrameHeader& header);

// Ends the session: an open backup is left as a partial where possible and
// every resource of the record is released. The channel is not closed.
void session_end(Session* session, int32_t disconnect_status);

// What a refused request leaves of the session.
enum class Refusal : uint8_t {
  keep_session,  // the session goes on in its state; only a failed send ends it
  end_session,   // the session ends in state error
};

// The one way to refuse a request: sends ERROR with status and text (cut to
// 255 characters). keep_session returns the send status (0: the session
// goes on). end_session sets the error state and returns the status that
// ends the session: `status`, or the send status when the ERROR could not
// be sent.
[[nodiscard]] int32_t session_refuse(Session* session, Refusal after, int32_t status, const char* text);

// Sends one answer frame on the session's channel.
[[nodiscard]] int32_t session_send(Session* session, uint16_t msg_type, std::span<const uint8_t> payload);

// Directory permission for a request naming target_subdir (already
// NUL-terminated after its 64th byte). Permitted when the key's patterns
// permit it, the joined path fits, it is not (and does not lie inside) the
// diagnostics directory, and no component below the storage root is a
// symbolic link (workdir_check). On success writes
// "<storage root>/<subdir>" into workdir (cap bytes, at least
// WORKDIR_SIZE), stores in *walk (when not null) what
// workdir_check found (STATUS_OK, STATUS_NOT_FOUND for a missing component,
// STATUS_EXISTS for a non-directory in the way, or another failure) and
// returns STATUS_OK. Otherwise it is session_refuse_subdir.
[[nodiscard]] int32_t session_check_subdir(Session* session, const char* subdir, char* workdir, size_t cap,
                                           int32_t* walk = nullptr);

// Sends ERROR "target_subdir not permitted for this api key"
// (STATUS_INVALID, or STATUS_PROTOCOL when no key was accepted yet), sets
// error and returns that status (or the send status if sending failed).
[[nodiscard]] int32_t session_refuse_subdir(Session* session);

}  // namespace orv
