// Reception of an open backup (state receiving_blocks): the steps that the
// BLOCK, DROP_ENTRIES and END handlers (session_handlers.h), the end of a
// session and a continued backup share.
//
// Files of a backup being received, all in the session record:
//   tmp_image_path  block data in arrival order, appended at image_size with
//                   one positioned write per BLOCK, straight from the
//                   receive buffer
//   journal_path    the journal ("<image>.part"), also the name of the
//                   partial's lock that the session holds while journaling
//   image_path, catalog_path   the final names, taken by END
//
// Durability: a checkpoint fsyncs the image, then writes the journal's
// records and a checkpoint record and fsyncs the journal. Only after that
// are the image pages it covered dropped from the page cache: backup images
// are written once and rarely read back soon, and on the machines this runs
// on a page cache that keeps growing caps the write rate.
//
// Opening a backup (BEGIN, or CONTINUE for a partial) leaves the session
// with: the header; the four paths; image_fd open for writing and
// image_size at its end; entries (malloc'd, entry_capacity their room);
// journaling true with the journal writer open and the lock of journal_path
// held for the connection's socket (or journaling false and no lock); for a
// continued backup resumed true and key_index mapping every entry's key to
// its position; then state receiving_blocks.
//
// All functions run on the session's connection thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/session.h"

namespace orv {

// Makes a checkpoint of the open backup: waits until every block queued
// for the image is written, then journal_checkpoint. REQUIRES:
// session->journaling and an open image. Success sets durable_seq to frames
// and, when after_block, counts the checkpoint in checkpoint_count. A
// journal failure applies backup_journal_failure with "checkpoint" and the
// backup goes on (STATUS_OK). A block that could not be written returns its
// status and no checkpoint is made: the caller ends the backup.
[[nodiscard]] int32_t backup_checkpoint(Session* session, bool after_block);

// Starts the image stream of a backup just opened (image_fd and
// tmp_image_path set): block data is then written on a thread of its own,
// whole pages with direct I/O. When the stream cannot be started (no
// memory or thread) it is logged and the handler writes each block itself.
void backup_stream_start(Session* session);

// Where the connection receives the next frame: while a backup with a
// running image stream is received, a free buffer of the stream (waiting
// until one is free), else connection_buffer. Each span holds
// FRAME_PLACE_MAX_OFFSET + FRAME_MAX_PAYLOAD bytes, aligned.
std::span<uint8_t> backup_receive_buffer(Session* session, std::span<uint8_t> connection_buffer);

// FramePlaceFn for the connection's receive (context: the Session): a BLOCK
// of a backup with a running image stream is placed so that its data's
// address is congruent to its image offset modulo DIRECT_IO_ALIGN; every
// other frame starts at 0.
size_t backup_place_payload(void* context, const FrameHeader& header);

// The backup can no longer be continued: logs "journal of <image>: <what>
// failed; this backup cannot be continued any more", closes the journal,
// releases the partial's lock and deletes the journal file. journaling
// becomes false; durable_seq keeps its value.
void backup_journal_failure(Session* session, const char* what);

// Leaves an open backup as a partial at the end of a session: the image
// stream is stopped (every queued block written); when journaling, a last
// checkpoint (its result ignored; it changes no counter) if the image is
// open and no block write failed, then the journal is closed and the lock
// released.
// The temporary image and the journal stay on disk. No-op otherwise.
void backup_interrupt(Session* session);

// Appends one entry to session->entries, growing the array geometrically.
// STATUS_NOMEM leaves the array as it was.
[[nodiscard]] int32_t backup_append_entry(Session* session, const CatalogEntry& entry);

}  // namespace orv
