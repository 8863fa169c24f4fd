// BLOCK, DROP_ENTRIES and END of an open backup (state receiving_blocks).
// The backup itself (image, journal, checkpoints, lock, entries) is the
// session's writer's (store/backup_writer.h); these handlers decode the
// request, make one writer call and answer.
#include <cstring>

#include "core/endian.h"
#include "core/runlog.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "server/session_handlers.h"
#include "store/backup_writer.h"

namespace orv {

namespace {

// A BLOCK header turns into its catalog entry field by field: the key, then
// the agent's 38 bytes from BLOCK offset 12 copied unchanged to entry offset
// 20. The stored offset and length are the writer's.
inline constexpr size_t AGENT_BYTES = CATALOG_ENTRY_SIZE - ENT_AGENT_U32_OFF;
static_assert(BLOCK_HEADER_SIZE - BLOCK_AGENT_U32_OFF == AGENT_BYTES);
static_assert(BLOCK_AGENT_U8_OFF - BLOCK_AGENT_U32_OFF == ENT_AGENT_BYTE_OFF - ENT_AGENT_U32_OFF);
static_assert(BLOCK_FLAGS_OFF - BLOCK_AGENT_U32_OFF == ENT_FLAGS_OFF - ENT_AGENT_U32_OFF);
static_assert(BLOCK_AGENT_TAIL_OFF - BLOCK_AGENT_U32_OFF == ENT_AGENT_TAIL_OFF - ENT_AGENT_U32_OFF);

CatalogEntry entry_of_block(std::span<const uint8_t> block) {
  CatalogEntry e = {};
  put_u64_le(e.span(), ENT_KEY_OFF, get_u64_le(block, BLOCK_KEY_OFF));
  memcpy(e.bytes + ENT_AGENT_U32_OFF, block.data() + BLOCK_AGENT_U32_OFF, AGENT_BYTES);
  return e;
}

// The image could not take a block (this one, or one acknowledged before
// whose queued write failed since): the backup ends without an answer that
// would cover it.
int32_t write_failed(Session* session, int32_t status) {
  return session_refuse(session, Refusal::end_session, status, "failed to write block to the image file");
}

int32_t send_ack(Session* session) {
  uint8_t out[ACK_SIZE];
  size_t n = encode_ack((session->peer_flags & FLAG_CONTINUE) != 0, session->durable_seq, out);
  return session_send(session, MSG_ACK, std::span<const uint8_t>(out, n));
}

}  // namespace

std::span<uint8_t> session_receive_buffer(Session* session, std::span<uint8_t> connection_buffer) {
  if (session->state != SessionState::receiving_blocks) return connection_buffer;
  std::span<uint8_t> b = session->backup.receive_buffer();
  return b.empty() ? connection_buffer : b;
}

size_t session_place_payload(void* context, const FrameHeader& header) {
  const auto* session = static_cast<const Session*>(context);
  if (header.msg_type != MSG_BLOCK || session->state != SessionState::receiving_blocks) return 0;
  // The data's address then matches its image offset within a page, so
  // every whole page of it can go to the image straight from the buffer.
  return frame_place_data(BLOCK_HEADER_SIZE, session->backup.image_size());
}

int32_t session_block(Session* session, std::span<const uint8_t> payload) {
  if (payload.size() < BLOCK_HEADER_SIZE) return STATUS_PROTOCOL;
  session->frames += 1;  // counted even when malformed
  uint32_t length = get_u32_le(payload, BLOCK_LENGTH_OFF);
  if (length != payload.size() - BLOCK_HEADER_SIZE) return STATUS_PROTOCOL;

  BackupWriter::Progress progress;
  int32_t rc = session->backup.append_block(entry_of_block(payload), payload.subspan(BLOCK_HEADER_SIZE), &progress);
  if (progress.image_failed) return write_failed(session, rc);
  if (rc != STATUS_OK) return rc;  // no memory for the entry list
  if (progress.checkpointed) {
    session->durable_seq = session->frames;
    session->checkpoint_count += 1;
  }
  return send_ack(session);
}

int32_t session_drop_entries(Session* session, std::span<const uint8_t> payload) {
  if (payload.size() < DROP_MIN_SIZE) return STATUS_PROTOCOL;
  session->frames += 1;  // counted even when malformed
  uint32_t count = 0;
  if (decode_drop_entries(payload, &count) != STATUS_OK) return STATUS_PROTOCOL;

  BackupWriter::Progress progress;
  int32_t rc = session->backup.drop_entries(payload.subspan(DROP_KEYS_OFF), count, &progress);
  if (progress.image_failed) return write_failed(session, rc);
  // A checkpoint made for a drop is not counted in checkpoint_count.
  if (progress.checkpointed) session->durable_seq = session->frames;
  return send_ack(session);
}

int32_t session_end_backup(Session* session, std::span<const uint8_t> payload) {
  (void)payload;  // END carries nothing the target reads
  // A block acknowledged earlier that could not be written ends the backup
  // here, named as what it is.
  int32_t rc = session->backup.flush_image();
  if (rc != STATUS_OK) return write_failed(session, rc);
  uint64_t entry_count = 0;
  rc = session->backup.finish(&entry_count);
  if (rc != STATUS_OK) return session_refuse(session, Refusal::end_session, rc, "failed to finalize backup");

  char name[HDR_NAME_SIZE];
  header_name(session->backup.header(), name);
  runlog_backup_finished(name, header_type(session->backup.header()));

  session->state = SessionState::done;
  EndOk ok;
  ok.entry_count = entry_count;
  ok.image_size = session->backup.image_size();
  uint8_t out[END_OK_SIZE];
  size_t n = encode_end_ok(ok, out);
  return session_send(session, MSG_END_OK, std::span<const uint8_t>(out, n));
}

}  // namespace orv
