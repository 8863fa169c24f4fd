// The diagnostics record of an ended session: the session's figures handed
// to diag/session_record.h, which formats and appends the line.
#pragma once

#include <cstdint>

#include "diag/session_record.h"
#include "server/session.h"

namespace orv {

// Fills *out from the session; name_buf receives the backup name that
// out->backup_name then points to.
void session_diag_record(const Session& session, char name_buf[HDR_NAME_SIZE], SessionRecord* out);

// Appends the session's record when session.diag_dir is not empty. Any thread.
void diag_write_session_record(const Session& session, int32_t disconnect_status);

}  // namespace orv
