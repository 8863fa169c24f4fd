// Resuming an interrupted backup: asking whether a partial exists
// (QUERY_PARTIAL), continuing one from its last checkpoint (CONTINUE), and
// deleting one (DISCARD_PARTIAL). The handlers are declared in
// session_handlers.h and run on the session's connection thread in
// wait_begin.
//
// CONTINUE takes the partial's lock from whoever holds it: the holding
// connection's socket is shut down once, its session ends with a last
// checkpoint and releases the lock, and the waiting session gets it. The
// partial's image and journal are then cut back to that last checkpoint and
// made durable before CONTINUE_OK is sent, so CONTINUE_OK and the entries
// after it state only image bytes and journal records that are on disk.
// On success the session's writer owns the partial (BackupWriter::resume)
// and the session goes on in receiving_blocks, where a key sent again
// replaces its entry in place and DROP_ENTRIES marks entries that END then
// leaves out.
//
// Every refusal of CONTINUE other than a short payload or a directory that
// is not permitted sends ERROR and keeps the session in wait_begin, so the
// agent can fall back to a new BEGIN; nothing stored changes then.
//
// CONTINUE and DISCARD_PARTIAL wait at most the server's
// store.takeover_wait_ms (15,000 ms) for another connection to let go.
#pragma once
