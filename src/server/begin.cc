// BEGIN: opens a new backup in a permitted sub-directory of the storage
// root. On success the session is in receiving_blocks with the backup open
// in its writer (journaling, or without a journal when none could be had),
// and BEGIN_OK has been sent. A refusal ends the session and leaves no file
// of the refused backup.
#include "core/file_io.h"
#include "core/runlog.h"
#include "core/status.h"
#include "core/text.h"
#include "protocol/payloads.h"
#include "server/session_handlers.h"
#include "store/backup_writer.h"
#include "store/partial.h"
#include "store/workdir.h"

namespace orv {

namespace {

// The ERROR text of each step at which opening a backup can be refused.
const char* open_refusal_text(OpenRefusal refusal) {
  switch (refusal) {
    case OpenRefusal::directory: return "failed to prepare target directory";
    case OpenRefusal::empty_name: return "target_name must not be empty";
    case OpenRefusal::retention: return "invalid retention";
    case OpenRefusal::names: return "invalid target_name or path collision";
    case OpenRefusal::image: return "failed to create image file";
    case OpenRefusal::none: break;
  }
  return "failed to create image file";
}

}  // namespace

int32_t session_begin(Session* session, std::span<const uint8_t> payload) {
  BeginRequest req;
  if (decode_begin(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;

  // A directory named like a file of a backup would be taken for one by
  // every later scan of its parent.
  if (subdir_names_backup_file(req.target_subdir)) return session_refuse_subdir(session);
  char workdir[WORKDIR_SIZE];
  int32_t walk = STATUS_OK;
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir, &walk);
  if (rc != STATUS_OK) return rc;
  if (walk == STATUS_NOT_FOUND) {
    // Creates one level (a missing parent fails here); the new directory is
    // checked again, since the tree may have changed meanwhile.
    rc = dir_ensure(workdir);
    if (rc != STATUS_OK) {
      return session_refuse(session, Refusal::end_session, rc, "failed to prepare target directory");
    }
    rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir, &walk);
    if (rc != STATUS_OK) return rc;
  }
  if (walk != STATUS_OK) {
    return session_refuse(session, Refusal::end_session, walk, "failed to prepare target directory");
  }

  BackupOpenRequest open;
  open.workdir = workdir;
  open.name = req.target_name;
  open.fields.block_size = req.block_size;
  open.fields.type = req.type;
  open.fields.uuid = req.uuid;
  open.fields.parent_uuid = req.parent_uuid;
  open.fields.chain_uuid = req.chain_uuid;
  open.fields.source_size = req.source_size;
  open.fields.agent_byte = req.extra_byte;
  copy_text(open.fields.name, sizeof open.fields.name, req.target_name);  // the header keeps 63 characters
  open.retention = req.retention;
  open.retention_label = req.retention_label;
  // An agent that cannot continue backups leaves no stale partials behind.
  open.remove_stale_partials = (session->peer_flags & FLAG_CONTINUE) == 0 && req.type <= BACKUP_INC;
  open.holder = session->channel.fd;

  OpenRefusal refusal = OpenRefusal::none;
  uint64_t expired = 0;
  rc = session->backup.open(session->config->store, open, &refusal, &expired);
  session->partial_expired_count += expired;
  if (rc != STATUS_OK) return session_refuse(session, Refusal::end_session, rc, open_refusal_text(refusal));

  session->state = SessionState::receiving_blocks;
  char name[HDR_NAME_SIZE];
  header_name(session->backup.header(), name);
  runlog_backup_started(name, header_type(session->backup.header()));
  return session_send(session, MSG_BEGIN_OK, {});
}

}  // namespace orv
