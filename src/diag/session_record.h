// Session diagnostics records: one JSON line per ended session, appended to
// "<diag_dir>/diag.jsonl". Members, always all of them, in this order:
//
//    1 schema                 unsigned  1
//    2 record_type            string    "target_session"
//    3 ts                     signed    wall clock when written, epoch seconds
//    4 backup_name            string    name in the backup header ("" if none)
//    5 backup_type            signed    header type byte (0 if none)
//    6 final_state            string    session state name
//    7 disconnect_status      signed    status that ended the session
//    8 duration_ms            unsigned  monotonic ms since the session began
//    9 bytes_received         unsigned  image bytes received
//   10 frames                 unsigned  BLOCK and DROP_ENTRIES frames
//   11 durable_seq            unsigned  frames at the last checkpoint
//   12 checkpoint_count       unsigned  checkpoints made after a BLOCK
//   13 partial_expired_count  unsigned  partials deleted by expiry in BEGIN
//   14 resumed                bool      the backup continued a partial
//
// Writing a record never affects the session: a failure is logged as a
// warning and the record is skipped. Sessions end concurrently; each record
// reaches the file in one append (O_APPEND, one write), so lines of
// different sessions never interleave.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/paths.h"

namespace orv {

// A record is at most this many characters, the line feed not counted.
inline constexpr size_t DIAG_RECORD_SIZE = 1536;
inline constexpr const char* DIAG_FILE_NAME = "diag.jsonl";

// What a record tells about one ended session, filled by the server from
// its session. Text fields point into the caller's memory.
struct SessionRecord {
  const char* backup_name = "";   // name in the backup header
  int64_t backup_type = 0;        // header type byte
  const char* final_state = "";   // session state name
  uint64_t start_ms = 0;          // monotonic ms when the session began
  uint64_t bytes_received = 0;
  uint64_t frames = 0;
  uint64_t durable_seq = 0;
  uint64_t checkpoint_count = 0;
  uint64_t partial_expired_count = 0;
  bool resumed = false;
};

// Formats the record (without line feed) into out (DIAG_RECORD_SIZE bytes;
// longer records are cut) from the session's figures and the given clock
// readings. Returns its length.
size_t diag_format_session_record(const SessionRecord& record, int32_t disconnect_status, int64_t ts,
                                  uint64_t duration_ms, char out[DIAG_RECORD_SIZE]);

// Appends the record when diag_dir is not empty: creates the directory with
// its parents, then appends one line. Any thread.
void diag_write_session_record(const char* diag_dir, const SessionRecord& record, int32_t disconnect_status);

}  // namespace orv
