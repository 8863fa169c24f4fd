// The diagnostics record of an ended session: the session's figures handed
// to diag/session_record.h, which formats and appends the line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/session_record.h"
#include "server/session.h"

namespace orv {

// Fills *out from the session; name_buf receives the backup name that
// out->backup_name then points to.
void session_diag_record(const Session& session, char name_buf[HDR_NAME_SIZE], SessionRecord* out);

// The directory the records go to: config.diag_dir when given, else
// "<storage root>/diag", into out (cap bytes). False (out "") when
// diagnostics are off (--no-diag) or the path does not fit.
bool session_diag_dir(const ServerConfig& config, char* out, size_t cap);
// The same directory whether or not records are written (--no-diag
// ignored): a collection reads it, so it is never a working directory.
bool session_diag_guard(const ServerConfig& config, char* out, size_t cap);

// Appends the session's record to the directory of session_diag_dir, when
// there is one. Any thread.
void diag_write_session_record(const Session& session, int32_t disconnect_status);

}  // namespace orv
