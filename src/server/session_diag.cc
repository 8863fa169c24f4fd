#include "server/session_diag.h"

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

void diag_write_session_record(const Session& session, int32_t disconnect_status) {
  if (session.diag_dir[0] == '\0') return;
  char name[HDR_NAME_SIZE];
  SessionRecord record;
  session_diag_record(session, name, &record);
  diag_write_session_record(session.diag_dir, record, disconnect_status);
}

}  // namespace orv
