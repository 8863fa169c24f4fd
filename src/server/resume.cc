#include "server/resume.h"

#include <cassert>
#include <memory>
#include <new>

#include "core/endian.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "server/session.h"
#include "server/session_handlers.h"
#include "store/backup_writer.h"
#include "store/partial.h"
#include "store/partial_lock.h"

namespace orv {

namespace {


// The ERROR text of each reason a partial cannot be continued.
const char* resume_refusal_text(ResumeRefusal refusal) {
  switch (refusal) {
    case ResumeRefusal::not_found: return "no partial backup with that uuid";
    case ResumeRefusal::in_use: return "the partial backup is in use";
    case ResumeRefusal::no_checkpoint: return "the partial backup has no valid checkpoint";
    case ResumeRefusal::bad_journal: return "bad journal";
    case ResumeRefusal::no_memory: return "out of memory";
    case ResumeRefusal::cannot_continue:
    case ResumeRefusal::none: break;
  }
  return "cannot continue the partial backup";
}

// CONTINUE_OK, the entries in frames of at most ENTRIES_PER_FRAME (sent
// straight from the session's array), then CONTINUE_END.
int32_t send_continuation(Session* session) {
  const BackupWriter& backup = session->backup;
  uint8_t ok_bytes[CONTINUE_OK_SIZE];
  ContinueOk ok;
  ok.entry_count = backup.entry_count();
  ok.image_size = backup.image_size();
  size_t n = encode_continue_ok(ok, ok_bytes);
  int32_t rc = session_send(session, MSG_CONTINUE_OK, std::span<const uint8_t>(ok_bytes, n));
  if (rc != STATUS_OK) return rc;
  const auto* bytes = reinterpret_cast<const uint8_t*>(backup.entries().data());
  uint64_t left = backup.entry_count();
  while (left > 0) {
    size_t count = left < ENTRIES_PER_FRAME ? static_cast<size_t>(left) : ENTRIES_PER_FRAME;
    rc = session_send(session, MSG_CONTINUE_ENTRIES, std::span<const uint8_t>(bytes, count * CATALOG_ENTRY_SIZE));
    if (rc != STATUS_OK) return rc;
    bytes += count * CATALOG_ENTRY_SIZE;
    left -= count;
  }
  return session_send(session, MSG_CONTINUE_END, {});
}

}  // namespace

int32_t session_query_partial(Session* session, std::span<const uint8_t> payload) {
  QueryPartialRequest req;
  if (decode_query_partial(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;

  std::unique_ptr<BackupHeader> header(new (std::nothrow) BackupHeader);
  if (!header) return STATUS_NOMEM;
  char path[PATH_SIZE];
  // The type travels as a signed byte and is stored as an unsigned one.
  rc = partial_find_by_name(workdir, req.target_name, static_cast<uint8_t>(req.type), req.parent_uuid, path,
                            sizeof path, header.get());
  if (rc == STATUS_NOMEM) return rc;
  // Any other failure while looking reads as "none".
  PartialInfo info;
  if (rc == STATUS_OK) {
    info.found = true;
    info.uuid = header_uuid(*header);
    info.block_size = get_u32_le(header->span(), HDR_BLOCK_SIZE_OFF);
    info.source_size = get_u64_le(header->span(), HDR_SOURCE_SIZE_OFF);
    info.created = static_cast<uint64_t>(header_created(*header));
  }
  uint8_t out[PARTIAL_INFO_SIZE];
  size_t n = encode_partial_info(info, out);
  return session_send(session, MSG_PARTIAL_INFO, std::span<const uint8_t>(out, n));
}

int32_t session_continue(Session* session, std::span<const uint8_t> payload) {
  SubdirUuidRequest req;
  if (decode_subdir_uuid(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;
  // wait_begin: no backup is open.
  assert(!session->backup.is_open());

  ResumeRefusal refusal = ResumeRefusal::none;
  rc = session->backup.resume(session->config->store, workdir, req.uuid, session->channel.fd, &refusal);
  // The session stays in wait_begin, so the agent can fall back to BEGIN.
  if (rc != STATUS_OK) return session_refuse(session, Refusal::keep_session, rc, resume_refusal_text(refusal));

  rc = send_continuation(session);
  if (rc != STATUS_OK) return rc;  // the session's end leaves the partial as it was
  session->state = SessionState::receiving_blocks;
  return STATUS_OK;
}

int32_t session_discard_partial(Session* session, std::span<const uint8_t> payload) {
  SubdirUuidRequest req;
  if (decode_subdir_uuid(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;
  char workdir[WORKDIR_SIZE];
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir);
  if (rc != STATUS_OK) return rc;
  const StoreSettings& store = session->config->store;
  partial_discard(workdir, req.uuid, session->channel.fd, store.takeover_wait_ms, store_locks(store));
  // Answered the same whether or not anything was deleted.
  return session_send(session, MSG_DISCARD_OK, {});
}

}  // namespace orv
