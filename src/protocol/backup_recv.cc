#include "protocol/backup_recv.h"

#include <fcntl.h>

#include <cassert>
#include <cstdio>
#include <cstring>

#include "app/runlog.h"
#include "core/endian.h"
#include "core/log.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "protocol/session_handlers.h"
#include "store/catalog.h"
#include "store/entry_array.h"
#include "store/file_io.h"
#include "store/partial_lock.h"

namespace orv {

namespace {

// A BLOCK header turns into its catalog entry field by field: the key, then
// the stored offset and length chosen here, then the agent's 38 bytes from
// BLOCK offset 12 copied unchanged to entry offset 20.
inline constexpr size_t AGENT_BYTES = CATALOG_ENTRY_SIZE - ENT_AGENT_U32_OFF;
static_assert(BLOCK_HEADER_SIZE - BLOCK_AGENT_U32_OFF == AGENT_BYTES);
static_assert(BLOCK_AGENT_U8_OFF - BLOCK_AGENT_U32_OFF == ENT_AGENT_BYTE_OFF - ENT_AGENT_U32_OFF);
static_assert(BLOCK_FLAGS_OFF - BLOCK_AGENT_U32_OFF == ENT_FLAGS_OFF - ENT_AGENT_U32_OFF);
static_assert(BLOCK_AGENT_TAIL_OFF - BLOCK_AGENT_U32_OFF == ENT_AGENT_TAIL_OFF - ENT_AGENT_U32_OFF);

void build_entry(std::span<const uint8_t> block, uint64_t offset, uint32_t length, CatalogEntry* e) {
  std::span<uint8_t> b = e->span();
  put_u64_le(b, ENT_KEY_OFF, get_u64_le(block, BLOCK_KEY_OFF));
  put_u64_le(b, ENT_OFFSET_OFF, offset);
  put_u32_le(b, ENT_LENGTH_OFF, length);
  memcpy(e->bytes + ENT_AGENT_U32_OFF, block.data() + BLOCK_AGENT_U32_OFF, AGENT_BYTES);
}

int32_t send_ack(Session* session) {
  uint8_t out[ACK_SIZE];
  size_t n = encode_ack((session->peer_flags & FLAG_CONTINUE) != 0, session->durable_seq, out);
  return session_send(session, MSG_ACK, std::span<const uint8_t>(out, n));
}

// Records a block's entry: in a continued backup the later block for a key
// replaces the earlier entry in place (flags included); otherwise the entry
// is appended (and indexed when resumed).
int32_t record_entry(Session* session, const CatalogEntry& entry) {
  if (!session->resumed) return backup_append_entry(session, entry);
  // Room first, so that an index slot never points past the array.
  int32_t rc = entry_array_reserve(&session->entries, &session->entry_capacity, session->entry_count + 1);
  if (rc != STATUS_OK) return rc;
  bool found = false;
  uint64_t existing = 0;
  rc = key_index_find_or_put(&session->key_index, entry_key(entry), session->entry_count, &found, &existing);
  if (rc == STATUS_NOMEM) return rc;
  // Any other failure is the all-ones key, which the index cannot hold: the
  // entry is kept, only not replaceable by a later block.
  if (rc == STATUS_OK && found) {
    assert(existing < session->entry_count);
    session->entries[existing] = entry;
    return STATUS_OK;
  }
  session->entries[session->entry_count++] = entry;
  return STATUS_OK;
}

// A block could not be written to the image (now, or a queued write that
// failed since): the backup ends without an acknowledgement covering it.
int32_t write_failed(Session* session, int32_t status) {
  return session_refuse(session, status, "failed to write block to the image file");
}

// Writes one block's data at the end of the image: queued for the image
// stream when it runs (the data stays in its receive buffer until written),
// otherwise here through the page cache, with its write-back started at
// once so that the next checkpoint's fsync finds little left to do.
int32_t write_block(Session* session, std::span<const uint8_t> data) {
  if (session->image_stream.started()) return session->image_stream.write(data, session->image_size);
  size_t written = 0;
  int32_t rc = file_pwrite_all(session->image_fd, data.data(), data.size(), session->image_size, &written);
  if (rc == STATUS_OK && written != data.size()) rc = STATUS_IO;  // no progress: the device is full
  if (rc != STATUS_OK) return rc;
  // Only a hint: without a wait flag it neither waits for the writes nor
  // consumes a write-back error, which the checkpoint's fsync still reports.
  (void)sync_file_range(session->image_fd, static_cast<off64_t>(session->image_size),
                        static_cast<off64_t>(data.size()), SYNC_FILE_RANGE_WRITE);
  return STATUS_OK;
}

// Refusal at END: the backup cannot be made final.
int32_t finalize_failed(Session* session, int32_t status) {
  return session_refuse(session, status, "failed to finalize backup");
}

}  // namespace

void backup_stream_start(Session* session) {
  int32_t rc = session->image_stream.start(session->tmp_image_path, session->image_fd,
                                           FRAME_PLACE_MAX_OFFSET + FRAME_MAX_PAYLOAD);
  if (rc != STATUS_OK) {
    log_write(LEVEL_WARN, "image of %s written without a writer thread: %s (status=%d)", session->image_path,
              status_text(rc), rc);
  }
}

std::span<uint8_t> backup_receive_buffer(Session* session, std::span<uint8_t> connection_buffer) {
  if (session->state != SessionState::receiving_blocks || !session->image_stream.started()) {
    return connection_buffer;
  }
  return session->image_stream.buffer();
}

size_t backup_place_payload(void* context, const FrameHeader& header) {
  const auto* session = static_cast<const Session*>(context);
  if (header.msg_type != MSG_BLOCK || session->state != SessionState::receiving_blocks ||
      !session->image_stream.started()) {
    return 0;
  }
  // The data's address then matches its image offset within a page, so
  // every whole page of it can go to the image straight from the buffer.
  return frame_place_data(BLOCK_HEADER_SIZE, session->image_size);
}

int32_t backup_append_entry(Session* session, const CatalogEntry& entry) {
  int32_t rc = entry_array_reserve(&session->entries, &session->entry_capacity, session->entry_count + 1);
  if (rc != STATUS_OK) return rc;
  session->entries[session->entry_count++] = entry;
  return STATUS_OK;
}

void backup_journal_failure(Session* session, const char* what) {
  log_write(LEVEL_WARN, "journal of %s: %s failed; this backup cannot be continued any more", session->image_path,
            what);
  journal_close(&session->journal);
  // Deleted while the lock is still held: between an unlock and the
  // deletion another connection could take the partial over and write the
  // image this session goes on writing.
  (void)file_remove(session->journal_path);  // a journal that may miss records must not be offered for continuation
  dir_sync_parent(session->journal_path);  // best effort, like the deletion
  partial_unlock(session->journal_path);
  session->journaling = false;
}

int32_t backup_checkpoint(Session* session, bool after_block) {
  assert(session->journaling && session->image_fd >= 0);
  // Every block before the checkpoint is in the image first; a block that
  // could not be written ends the backup here, before anything states it.
  int32_t rc = session->image_stream.drain();
  if (rc != STATUS_OK) return rc;
  rc = journal_checkpoint(&session->journal, session->image_fd, session->image_size);
  if (rc != STATUS_OK) {
    backup_journal_failure(session, "checkpoint");
    return STATUS_OK;
  }
  session->durable_seq = session->frames;
  if (after_block) session->checkpoint_count += 1;
  // The range is on disk now; keeping it cached only slows further writes.
  if (session->image_size > session->image_uncached) {
    (void)posix_fadvise(session->image_fd, static_cast<off_t>(session->image_uncached),
                        static_cast<off_t>(session->image_size - session->image_uncached),
                        POSIX_FADV_DONTNEED);  // advice only; a refusal changes nothing
    session->image_uncached = session->image_size;
  }
  return STATUS_OK;
}

void backup_interrupt(Session* session) {
  // Every queued block reaches the image (or fails) before the image is
  // left behind.
  int32_t written = session->image_stream.stop();
  if (!session->journaling) return;
  if (session->image_fd >= 0 && written == STATUS_OK) {
    // Whatever this last checkpoint achieves, the earlier ones still stand.
    // After a failed block write it is not made: it would state bytes the
    // image does not hold.
    (void)journal_checkpoint(&session->journal, session->image_fd, session->image_size);
  }
  journal_close(&session->journal);
  partial_unlock(session->journal_path);
  session->journaling = false;
}

int32_t session_block(Session* session, std::span<const uint8_t> payload) {
  if (payload.size() < BLOCK_HEADER_SIZE) return STATUS_PROTOCOL;
  session->frames += 1;  // counted even when malformed
  uint32_t length = get_u32_le(payload, BLOCK_LENGTH_OFF);
  if (length != payload.size() - BLOCK_HEADER_SIZE) return STATUS_PROTOCOL;
  assert(session->image_fd >= 0);

  // An earlier block that could not be written ends the backup before
  // this frame is acknowledged.
  int32_t rc = session->image_stream.failure();
  if (rc != STATUS_OK) return write_failed(session, rc);

  bool has_data = (payload[BLOCK_FLAGS_OFF] & ENTRY_FLAG_NO_DATA) == 0;
  CatalogEntry entry;
  if (has_data) {
    // The data goes from the receive buffer to the image as it is.
    rc = write_block(session, payload.subspan(BLOCK_HEADER_SIZE, length));
    if (rc != STATUS_OK) return write_failed(session, rc);
    build_entry(payload, session->image_size, length, &entry);
    session->image_size += length;
  } else {
    build_entry(payload, ENTRY_NO_OFFSET, 0, &entry);
  }

  rc = record_entry(session, entry);
  if (rc != STATUS_OK) return rc;

  if (session->journaling) {
    if (journal_add_block(&session->journal, entry, has_data ? length : 0) != STATUS_OK) {
      backup_journal_failure(session, "write");
    } else if (journal_checkpoint_due(session->journal)) {
      rc = backup_checkpoint(session, true);
      if (rc != STATUS_OK) return write_failed(session, rc);
    }
  }
  return send_ack(session);
}

int32_t session_drop_entries(Session* session, std::span<const uint8_t> payload) {
  if (payload.size() < DROP_MIN_SIZE) return STATUS_PROTOCOL;
  session->frames += 1;  // counted even when malformed
  uint32_t count = 0;
  if (decode_drop_entries(payload, &count) != STATUS_OK) return STATUS_PROTOCOL;
  int32_t rc = session->image_stream.failure();
  if (rc != STATUS_OK) return write_failed(session, rc);

  // Only a continued backup has entries from before that an agent may
  // withdraw; in a new one the keys mean nothing.
  if (session->resumed) {
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t key = drop_entries_key(payload, i);
      uint64_t pos = 0;
      if (!key_index_find(session->key_index, key, &pos)) continue;
      CatalogEntry* e = &session->entries[pos];
      if (entry_dropped(*e)) continue;
      entry_set_flags(e, static_cast<uint8_t>(entry_flags(*e) | ENTRY_FLAG_DROPPED));
      if (session->journaling && journal_add_drop(&session->journal, key) != STATUS_OK) {
        backup_journal_failure(session, "write");
      }
    }
  }
  if (session->journaling && journal_checkpoint_due(session->journal)) {
    rc = backup_checkpoint(session, false);
    if (rc != STATUS_OK) return write_failed(session, rc);
  }
  return send_ack(session);
}

int32_t session_end_backup(Session* session, std::span<const uint8_t> payload) {
  (void)payload;  // END carries nothing the target reads
  // Every block is in the image, or the backup ends here.
  int32_t rc = session->image_stream.stop();
  if (rc != STATUS_OK) return write_failed(session, rc);
  session->entry_count = entries_compact(session->entries, session->entry_count);
  entries_sort(session->entries, session->entry_count);

  // The image is complete and on disk before it takes its final name.
  rc = file_sync(session->image_fd);
  int32_t close_rc = file_close(session->image_fd);
  session->image_fd = -1;
  if (rc == STATUS_OK) rc = close_rc;
  if (rc != STATUS_OK) return finalize_failed(session, rc);
  rc = file_rename(session->tmp_image_path, session->image_path);
  if (rc != STATUS_OK) return finalize_failed(session, rc);

  // catalog_write syncs the directory after its rename, which also makes
  // the image's rename above durable.
  header_set_image_size(&session->header, session->image_size);
  rc = catalog_write(session->catalog_path, FILE_MODE, session->header, session->entries, session->entry_count);
  if (rc != STATUS_OK) {
    // Give the image its temporary name back, so that the partial (image
    // and journal) stays whole and can still be continued.
    if (file_rename(session->image_path, session->tmp_image_path) != STATUS_OK) {
      log_write(LEVEL_WARN, "cannot restore the temporary name of %s", session->image_path);
    }
    return finalize_failed(session, rc);
  }

  if (session->journaling) {
    journal_close(&session->journal);
    (void)file_remove(session->journal_path);  // the finished backup no longer needs it; a leftover is never a partial
    // END_OK leaves a directory without the journal, also after a power
    // loss. Best effort: a journal that comes back beside its catalog is
    // never offered for continuation, only expired.
    dir_sync_parent(session->journal_path);
    partial_unlock(session->journal_path);
    session->journaling = false;
  }
  char name[HDR_NAME_SIZE];
  header_name(session->header, name);
  runlog_backup_finished(name, header_type(session->header));

  session->state = SessionState::done;
  EndOk ok;
  ok.entry_count = session->entry_count;
  ok.image_size = session->image_size;
  uint8_t out[END_OK_SIZE];
  size_t n = encode_end_ok(ok, out);
  return session_send(session, MSG_END_OK, std::span<const uint8_t>(out, n));
}

}  // namespace orv
