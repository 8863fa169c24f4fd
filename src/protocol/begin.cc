// BEGIN: opens a new backup in a permitted sub-directory of the storage
// root. On success the session is in receiving_blocks with the temporary
// image open, the journal created and the partial's lock held (or, when
// either could not be had, without a journal), and BEGIN_OK has been sent.
// A refusal ends the session and leaves no file of the refused backup.
#include <cstdio>
#include <cstring>
#include <new>

#include "app/runlog.h"
#include "core/log.h"
#include "core/status.h"
#include "core/text.h"
#include "diag/sysinfo.h"
#include "protocol/payloads.h"
#include "protocol/session_handlers.h"
#include "store/file_io.h"
#include "store/names.h"
#include "store/partial.h"
#include "store/partial_lock.h"
#include "store/retention.h"
#include "store/workdir.h"

namespace orv {

namespace {

// Stale partials a single BEGIN looks at, at most.
inline constexpr size_t STALE_VISIT_MAX = 64;

// A partial already dealt with in this BEGIN, known by what its journal
// header says (the search hands the predicate nothing else).
struct VisitedPartial {
  Uuid uuid;
  int64_t created;
};

struct StaleKey {
  const char* name;
  uint8_t type;
  Uuid parent_uuid;
  VisitedPartial visited[STALE_VISIT_MAX];
  size_t visited_count;
};

bool match_stale(const BackupHeader& h, const void* key) {
  const auto* k = static_cast<const StaleKey*>(key);
  if (header_type(h) != k->type || uuid_equal(header_parent_uuid(h), k->parent_uuid) != 1) return false;
  char name[HDR_NAME_SIZE];
  header_name(h, name);
  if (strcmp(name, k->name) != 0) return false;
  Uuid id = header_uuid(h);
  for (size_t i = 0; i < k->visited_count; ++i) {
    if (k->visited[i].created == header_created(h) && uuid_equal(k->visited[i].uuid, id) == 1) return false;
  }
  return true;
}

// Removes the partials of an earlier run of this backup (same name, type and
// parent) that nobody holds: an agent that cannot continue backups would
// otherwise leave them to expiry. Each partial is visited once, so one that
// cannot be deleted does not keep the loop going; a partial in use ends it.
void remove_stale_partials(const char* workdir, const BeginRequest& req) {
  auto* key = new (std::nothrow) StaleKey;
  if (key == nullptr) return;  // only housekeeping; expiry catches them later
  key->name = req.target_name;
  key->type = req.type;
  key->parent_uuid = req.parent_uuid;
  key->visited_count = 0;
  char path[PARTIAL_PATH_SIZE];
  auto* found = new (std::nothrow) BackupHeader;
  while (found != nullptr && key->visited_count < STALE_VISIT_MAX) {
    if (partial_find(workdir, match_stale, key, path, sizeof path, found) != STATUS_OK) break;
    if (partial_lock_try(path, -1) != STATUS_OK) break;
    partial_remove(path);
    partial_unlock(path);
    key->visited[key->visited_count++] = VisitedPartial{header_uuid(*found), header_created(*found)};
  }
  delete found;
  delete key;
}

void fill_header(const BeginRequest& req, int64_t created, BackupHeader* out) {
  BackupHeaderFields f;
  f.block_size = req.block_size;
  f.type = req.type;
  f.uuid = req.uuid;
  f.parent_uuid = req.parent_uuid;
  f.chain_uuid = req.chain_uuid;
  f.created = created;
  f.source_size = req.source_size;
  f.agent_byte = req.extra_byte;
  copy_text(f.name, sizeof f.name, req.target_name);  // the header keeps 63 characters
  encode_backup_header(f, out);
}

}  // namespace

int32_t session_begin(Session* session, std::span<const uint8_t> payload) {
  BeginRequest req;
  if (decode_begin(payload, &req) != STATUS_OK) return STATUS_PROTOCOL;

  // A directory named like a file of a backup would be taken for one by
  // every later scan of its parent.
  if (subdir_names_backup_file(req.target_subdir)) return session_refuse_subdir(session);
  char workdir[SESSION_WORKDIR_SIZE];
  int32_t walk = STATUS_OK;
  int32_t rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir, &walk);
  if (rc != STATUS_OK) return rc;
  if (walk == STATUS_OK || walk == STATUS_NOT_FOUND) {
    // Creates one level (a missing parent fails here) or, for a directory
    // that exists, makes it durable in its parent once more, since an
    // earlier attempt may have failed to.
    rc = dir_ensure(workdir);
    if (rc != STATUS_OK) return session_refuse(session, rc, "failed to prepare target directory");
    // A new directory is checked again: the tree may have changed meanwhile.
    if (walk == STATUS_NOT_FOUND) {
      rc = session_check_subdir(session, req.target_subdir, workdir, sizeof workdir, &walk);
      if (rc != STATUS_OK) return rc;
    }
  }
  if (walk != STATUS_OK) return session_refuse(session, walk, "failed to prepare target directory");

  int64_t created = now_seconds();
  fill_header(req, created, &session->header);
  if (req.target_name[0] == '\0') return session_refuse(session, STATUS_INVALID, "target_name must not be empty");
  if (retention_apply(&session->header, req.retention, req.retention_label) != 0) {
    return session_refuse(session, STATUS_INVALID, "invalid retention");
  }

  // Picks the first free name of this minute and reserves it by creating
  // the (empty) temporary image, so no other backup can take it.
  rc = backup_paths(workdir, req.target_name, req.type, created, session->catalog_path,
                    sizeof session->catalog_path, session->image_path, sizeof session->image_path);
  if (rc != STATUS_OK) return session_refuse(session, rc, "invalid target_name or path collision");
  // Both fit: the image path is shorter than 1,024 characters.
  (void)snprintf(session->tmp_image_path, sizeof session->tmp_image_path, "%s%s", session->image_path,
                 TMP_SUFFIX.data());
  (void)snprintf(session->journal_path, sizeof session->journal_path, "%s%s", session->image_path,
                 JOURNAL_SUFFIX.data());

  session->partial_expired_count += partial_expire(workdir, partial_max_age());
  if ((session->peer_flags & FLAG_CONTINUE) == 0 && req.type <= BACKUP_INC) remove_stale_partials(workdir, req);

  int fd = -1;
  rc = file_create(session->tmp_image_path, FILE_MODE, &fd);
  if (rc != STATUS_OK) {
    (void)file_remove(session->tmp_image_path);  // the empty reservation; nothing else was written
    return session_refuse(session, rc, "failed to create image file");
  }
  session->image_fd = fd;
  session->image_size = 0;
  session->image_uncached = 0;

  // The lock comes first: a journal that exists unlocked, even briefly,
  // could be taken for a stale partial by another BEGIN and deleted.
  rc = partial_lock_try(session->journal_path, session->channel.fd);
  if (rc == STATUS_OK) {
    rc = journal_create(&session->journal, session->journal_path, session->header, session->catalog_path,
                        session->image_path);
    if (rc != STATUS_OK) partial_unlock(session->journal_path);
  }
  if (rc != STATUS_OK) {
    journal_close(&session->journal);
    log_write(LEVEL_WARN, "no journal for %s: this backup cannot be continued if it is interrupted",
              session->image_path);
  }
  session->journaling = rc == STATUS_OK;

  session->state = SessionState::receiving_blocks;
  char name[HDR_NAME_SIZE];
  header_name(session->header, name);
  runlog_backup_started(name, header_type(session->header));
  return session_send(session, MSG_BEGIN_OK, {});
}

}  // namespace orv
