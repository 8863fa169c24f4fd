#include "server/session_diag.h"

#include <cstdio>

namespace orv {

void session_diag_record(const Session& session, char name_buf[HDR_NAME_SIZE], SessionRecord* out) {
  header_name(session.backup.header(), name_buf);
  SessionRecord r;
  r.backup_name = name_buf;
  r.backup_type = header_type(session.backup.header());
  r.final_state = session_state_name(session.state);
  r.start_ms = session.start_ms;
  r.bytes_received = session.backup.image_size();
  r.frames = session.frames;
  r.durable_seq = session.durable_seq;
  r.checkpoint_count = session.checkpoint_count;
  r.partial_expired_count = session.partial_expired_count;
  r.resumed = session.backup.resumed();
  *out = r;
}

bool session_diag_dir(const ServerConfig& config, char* out, size_t cap) {
  if (cap > 0) out[0] = '\0';
  return !config.diag_off && session_diag_guard(config, out, cap);
}

bool session_diag_guard(const ServerConfig& config, char* out, size_t cap) {
  if (cap == 0) return false;
  out[0] = '\0';
  const char* dir = config.diag_dir;
  int n = dir != nullptr && dir[0] != '\0'
              ? snprintf(out, cap, "%s", dir)
              : snprintf(out, cap, "%s/diag", config.storage_root != nullptr ? config.storage_root : "");
  // A cut path would name another directory: no record rather than one
  // written where nobody looks.
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    out[0] = '\0';
    return false;
  }
  return true;
}

void diag_write_session_record(const Session& session, int32_t disconnect_status) {
  char dir[PATH_SIZE];
  if (session.config == nullptr || !session_diag_dir(*session.config, dir, sizeof dir)) return;
  char name[HDR_NAME_SIZE];
  SessionRecord record;
  session_diag_record(session, name, &record);
  diag_write_session_record(dir, record, disconnect_status);
}

}  // namespace orv
