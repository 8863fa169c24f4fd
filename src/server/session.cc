#include "server/session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"
#include "integrity/sha256.h"
#include "protocol/payloads.h"
#include "server/session_diag.h"
#include "server/session_handlers.h"
#include "store/workdir.h"

namespace orv {

namespace {

// Session states as bits, for the dispatch table.
constexpr uint32_t bit(SessionState s) { return 1u << static_cast<uint32_t>(s); }
constexpr uint32_t IN_WAIT_HELLO = bit(SessionState::wait_hello);
constexpr uint32_t IN_WAIT_BEGIN = bit(SessionState::wait_begin);
constexpr uint32_t IN_RECEIVING = bit(SessionState::receiving_blocks);

struct DispatchRule {
  uint32_t states;       // where the request is accepted; 0: never
  size_t min_length;     // shorter payloads are protocol errors
  SessionHandler handler;  // null: this target cannot serve the request
};

// Indexed by message type. Types sent only by the target are never accepted.
// HELLO re-authenticates in wait_begin; during an open backup it is refused,
// since switching keys would leave that backup's files in an unclear state.
constexpr DispatchRule kRules[MSG_REQUEST_TYPE_MAX + 1] = {
    /* 0                   */ {0, 0, nullptr},
    /* 1  HELLO            */ {IN_WAIT_HELLO | IN_WAIT_BEGIN, HELLO_MIN_SIZE, session_hello},
    /* 2  HELLO_REPLY      */ {0, 0, nullptr},
    /* 3  BEGIN            */ {IN_WAIT_BEGIN, BEGIN_MIN_SIZE, session_begin},
    /* 4  BEGIN_OK         */ {0, 0, nullptr},
    /* 5  BLOCK            */ {IN_RECEIVING, BLOCK_HEADER_SIZE, session_block},
    /* 6  ACK              */ {0, 0, nullptr},
    /* 7  END              */ {IN_RECEIVING, 0, session_end_backup},
    /* 8  END_OK           */ {0, 0, nullptr},
    /* 9  ERROR            */ {0, 0, nullptr},
    /* 10 PING             */ {IN_WAIT_HELLO | IN_WAIT_BEGIN | IN_RECEIVING, 0, session_ping},
    /* 11 PONG             */ {0, 0, nullptr},
    /* 12 FIND_PARENT      */ {IN_WAIT_BEGIN, FIND_PARENT_MIN_SIZE, session_find_parent},
    /* 13 FIND_PARENT_REPLY*/ {0, 0, nullptr},
    /* 14 FETCH_CHAIN      */ {IN_WAIT_BEGIN, FETCH_CHAIN_MIN_SIZE, session_fetch_chain},
    /* 15 CHAIN_HEADER     */ {0, 0, nullptr},
    /* 16 CHAIN_ENTRIES    */ {0, 0, nullptr},
    /* 17 CHAIN_END        */ {0, 0, nullptr},
    /* 18 READ_RANGE       */ {IN_WAIT_BEGIN, READ_RANGE_SIZE, session_read_range},
    /* 19 RANGE_DATA       */ {0, 0, nullptr},
    /* 20 LIST_BACKUPS     */ {IN_WAIT_BEGIN, LIST_BACKUPS_MIN_SIZE, session_list_backups},
    /* 21 BACKUP_LIST      */ {0, 0, nullptr},
    /* 22 QUERY_PARTIAL    */ {IN_WAIT_BEGIN, QUERY_PARTIAL_MIN_SIZE, session_query_partial},
    /* 23 PARTIAL_INFO     */ {0, 0, nullptr},
    /* 24 CONTINUE         */ {IN_WAIT_BEGIN, CONTINUE_MIN_SIZE, session_continue},
    /* 25 CONTINUE_OK      */ {0, 0, nullptr},
    /* 26 CONTINUE_ENTRIES */ {0, 0, nullptr},
    /* 27 CONTINUE_END     */ {0, 0, nullptr},
    /* 28 DROP_ENTRIES     */ {IN_RECEIVING, DROP_MIN_SIZE, session_drop_entries},
    /* 29 DISCARD_PARTIAL  */ {IN_WAIT_BEGIN, DISCARD_PARTIAL_MIN_SIZE, session_discard_partial},
};

int32_t send_error(Session* session, int32_t status, const char* text) {
  uint8_t payload[ERROR_SIZE];
  size_t n = encode_error(status, text, payload);
  return send_frame(&session->channel, MSG_ERROR, std::span<const uint8_t>(payload, n));
}

}  // namespace

const char* session_state_name(SessionState state) {
  switch (state) {
    case SessionState::wait_hello: return "wait_hello";
    case SessionState::wait_begin: return "wait_begin";
    case SessionState::receiving_blocks: return "receiving_blocks";
    case SessionState::done: return "done";
    case SessionState::error: return "error";
  }
  return "?";
}

void session_init(Session* session, const ServerConfig& config, const AclEntry* acl_table, size_t acl_count,
                  const Channel& channel) {
  std::destroy_at(session);
  std::construct_at(session);  // value-initialised: every byte cleared, no backup open
  session->channel = channel;
  session->acl_table = acl_table;
  session->acl_count = acl_count;
  session->config = &config;
  session->start_ms = monotonic_ms();
}

int32_t session_dispatch(Session* session, const FrameHeader& header, std::span<const uint8_t> payload) {
  uint16_t type = header.msg_type;
  if (type > MSG_REQUEST_TYPE_MAX) return STATUS_PROTOCOL;
  const DispatchRule& rule = kRules[type];
  if ((rule.states & bit(session->state)) == 0) return STATUS_PROTOCOL;
  if (payload.size() < rule.min_length) return STATUS_PROTOCOL;
  if (rule.handler == nullptr) return STATUS_PROTOCOL;
  return rule.handler(session, payload);
}

int32_t session_refuse(Session* session, Refusal after, int32_t status, const char* text) {
  int32_t rc = send_error(session, status, text);
  if (after == Refusal::keep_session) return rc;
  session->state = SessionState::error;
  return rc != STATUS_OK ? rc : status;
}

int32_t session_send(Session* session, uint16_t msg_type, std::span<const uint8_t> payload) {
  return send_frame(&session->channel, msg_type, payload);
}

int32_t session_refuse_subdir(Session* session) {
  int32_t status = session->acl_entry != nullptr ? STATUS_INVALID : STATUS_PROTOCOL;
  return session_refuse(session, Refusal::end_session, status, "target_subdir not permitted for this api key");
}

int32_t session_check_subdir(Session* session, const char* subdir, char* workdir, size_t cap, int32_t* walk) {
  bool permitted = session->acl_entry != nullptr && acl_permits(session->acl_entry, subdir);
  const char* root = session->config->storage_root != nullptr ? session->config->storage_root : "";
  if (permitted) {
    int n = snprintf(workdir, cap, "%s/%s", root, subdir);
    permitted = n >= 0 && static_cast<size_t>(n) < WORKDIR_SIZE && static_cast<size_t>(n) < cap;
  }
  // The diagnostics directory (whether or not this run writes records: a
  // collection reads it) is never a working directory, nor anything below
  // it. A path that does not fit guards nothing (the entry refuses such a
  // storage root while diagnostics are on).
  char guard[PATH_SIZE];
  char guard_rel[PATH_SIZE];
  guard_rel[0] = '\0';
  if (permitted && session_diag_guard(*session->config, guard, sizeof guard)) {
    (void)path_below(root, guard, guard_rel, sizeof guard_rel);  // "" when it lies elsewhere
  }
  if (permitted && subdir_within(subdir, guard_rel)) permitted = false;
  if (permitted) {
    // The diagnostics directory is also recognised by its inode, however
    // it was spelled at start and wherever the storage root really lies.
    int32_t found = workdir_check(root, subdir, dir_identity(guard));
    if (found == STATUS_INVALID) permitted = false;
    if (walk != nullptr) *walk = found;
  }
  if (permitted) return STATUS_OK;
  if (cap > 0) workdir[0] = '\0';
  return session_refuse_subdir(session);
}

int32_t session_hello(Session* session, std::span<const uint8_t> payload) {
  HelloRequest hello;
  if (decode_hello(payload, &hello) != STATUS_OK) return STATUS_PROTOCOL;
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256(hello.api_key, strlen(hello.api_key), digest);
  explicit_bzero(hello.api_key, sizeof hello.api_key);  // the key itself is never kept

  // The key is checked before the version, so a stranger learns nothing
  // about the protocol.
  const AclEntry* entry = acl_find_key(session->acl_table, session->acl_count, digest);
  if (entry == nullptr) {
    // The session holds no lock here; only this connection waits.
    if (session->refused_key_delay_ms != 0) {
      struct timespec delay;
      delay.tv_sec = static_cast<time_t>(session->refused_key_delay_ms / 1000);
      delay.tv_nsec = static_cast<long>(session->refused_key_delay_ms % 1000) * 1000000L;
      while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
      }
    }
    return session_refuse(session, Refusal::end_session, STATUS_INVALID, "unknown or invalid api key");
  }
  session->acl_entry = entry;
  if (hello.protocol_version != PROTOCOL_VERSION) {
    return session_refuse(session, Refusal::end_session, STATUS_PROTOCOL,
                          "protocol version mismatch: agent and target must be upgraded together");
  }
  session->state = SessionState::wait_begin;
  session->peer_flags = hello.flags;

  HelloReply reply;
  reply.protocol_version = PROTOCOL_VERSION;
  copy_text(reply.version_text, sizeof reply.version_text, TARGET_VERSION_TEXT);
  char host[HELLO_REPLY_HOST_SIZE] = {};
  if (gethostname(host, sizeof host) != 0) host[0] = '\0';
  host[sizeof host - 1] = '\0';
  copy_text(reply.host_name, sizeof reply.host_name, host);
  reply.flags = TARGET_FLAGS;
  uint8_t out[HELLO_REPLY_SIZE];
  size_t n = encode_hello_reply(reply, out);
  return session_send(session, MSG_HELLO_REPLY, std::span<const uint8_t>(out, n));
}

int32_t session_ping(Session* session, std::span<const uint8_t> payload) {
  (void)payload;  // ignored
  return session_send(session, MSG_PONG, {});
}

void session_end(Session* session, int32_t disconnect_status) {
  // An open backup stays as a partial that a later CONTINUE can pick up.
  session->backup.abandon();
  diag_write_session_record(*session, disconnect_status);
  restore_release(&session->restore);
}

}  // namespace orv
