// Partial backups: interrupted backups left in their working directory as a
// temporary image ("<image>.tmp") and a journal ("<image>.part").
//
// A journal counts as a partial for the searches when its name ends in
// ".part", its header reads correctly, both file names recorded in it are
// plain names (see is_plain_file_name), and its image exists: normally
// "<dir>/<image name>.tmp"; when that is missing, "<dir>/<image name>" with
// no "<dir>/<catalog name>" beside it, which is where an END that was cut
// short (by a crash, or a catalog that could not be written) leaves it.
// Expiry looks at every ".part" file, whether or not it reads.
//
// Continuing a partial is the backup writer's (backup_writer.h): it finds,
// locks, loads and prepares the partial with the functions below.
//
// Functions touch only files and the caller's memory, except that
// partial_expire takes partial locks (partial_lock.h). Searches and expiry
// may run in several sessions at once on one directory; a partial deleted
// under a search is skipped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/paths.h"
#include "integrity/uuid.h"
#include "protocol/formats.h"
#include "store/journal_format.h"

namespace orv {

class PartialLocks;


// One partial read up to its last valid checkpoint. About 130 KiB: allocate
// it on the heap. Owns `entries`; release with partial_free.
struct PartialBackup {
  BackupHeader header;                // the journal's payload
  char catalog_name[JH_NAME_SIZE];    // plain file names, relative to the directory
  char image_name[JH_NAME_SIZE];
  CatalogEntry* entries;              // malloc'd, catalog order, no dropped entries; null when 0
  uint64_t entry_count;
  uint64_t checkpoint_image_size;     // image bytes stated by the last valid checkpoint
  uint64_t checkpoint_end;            // journal offset just after that checkpoint
  uint64_t first_record_offset;       // journal offset of the first record
};

// Decides whether a partial's payload header is the one searched for.
using PartialPredicate = bool (*)(const BackupHeader& header, const void* key);

// Newest partial in dir (by the header's `created`; the first in directory
// order among equal times) for which pred holds. Writes its journal path
// ("<dir>/<file>") to journal_path and, when header is not null, its
// payload header. STATUS_NOT_FOUND when there is none or dir cannot be
// opened; the read error when none was found before reading the directory
// failed; STATUS_INVALID when the path does not fit cap; STATUS_NOMEM.
// On failure journal_path holds "" (cap > 0) and *header is unspecified.
[[nodiscard]] int32_t partial_find(const char* dir, PartialPredicate pred, const void* key, char* journal_path,
                                   size_t cap, BackupHeader* header);

// Predicate: the header's uuid equals uuid.
[[nodiscard]] int32_t partial_find_by_uuid(const char* dir, const Uuid& uuid, char* journal_path, size_t cap);

// Predicate: the header's name equals name as text (the header keeps 63
// characters, so a longer name never matches), its type byte equals type
// and its parent_uuid equals parent_uuid.
[[nodiscard]] int32_t partial_find_by_name(const char* dir, const char* name, uint8_t type, const Uuid& parent_uuid,
                                           char* journal_path, size_t cap, BackupHeader* header);

// Reads the journal up to its last valid checkpoint (scan, then replay) and
// rebuilds the entry list: a block record replaces the entry of a key seen
// before (keeping its position) or appends one; a drop record marks the
// key's entry dropped (unknown keys are ignored); dropped entries are then
// removed and the rest sorted into catalog order.
// STATUS_CORRUPT for an unreadable journal or one without a valid
// checkpoint, or a journal that shrank between the two passes;
// STATUS_INVALID when a recorded file name is not a plain name (a journal
// that must not be continued); STATUS_NOMEM; read failures. On failure *p
// owns nothing.
// REQUIRES: the caller holds the partial's lock, so no writer appends.
[[nodiscard]] int32_t partial_load(const char* journal_path, PartialBackup* p);

// Frees the entries; entries null, entry_count 0 afterwards.
void partial_free(PartialBackup* p);

// Opens the temporary image of a partial being continued (file_open_rw,
// mode 0640: created empty if missing), cuts it to checkpoint_image_size
// and fsyncs it, discarding data that no checkpoint covered. An image left
// under its final name by an END cut short (see above) is first renamed
// back to tmp_image_path (and the directory synced); an image created here
// is made durable in its directory too.
// STATUS_CORRUPT when the file is shorter than that size. On success *fd is
// open and the caller's to close; on failure *fd is -1 and nothing is open.
// REQUIRES: the caller holds the partial's lock.
[[nodiscard]] int32_t partial_prepare_image(const char* tmp_image_path, uint64_t checkpoint_image_size, int* fd);

// Deletes the temporary image named in the journal (only when the journal
// reads and the name is a plain name; the image under its final name when
// an END was cut short) and then the journal itself. Failures are
// ignored. REQUIRES: the caller holds the partial's lock.
void partial_remove(const char* journal_path);

// Deletes the partials of dir whose journal was last modified more than
// max_age_seconds ago, skipping any whose lock is held (a backup still being
// received, by this process or another one on the same storage; the locks
// are taken in `locks`). Also
// deletes, when as old, a temporary image ("<image>.tmp") that has no
// journal and that no backup being received holds (it keeps its image
// locked, and in this process its journal's lock), and a
// temporary catalog ("<catalog>.tmp") left by a failed catalog write; each
// with a DEBUG line. Only regular files are considered (anything else under
// such a name gets a DEBUG line and stays). Returns the number of partials
// deleted (temporary files not counted); 0 when max_age_seconds <= 0 or dir
// cannot be opened.
uint64_t partial_expire(const char* dir, int64_t max_age_seconds, PartialLocks& locks);

// Deletes the partial of dir whose header has uuid when its lock can be had
// within wait_ms (locks.takeover for holder: a connection of this
// process holding it is ended first; another process holding it is waited
// for), then releases the lock. Nothing is reported: a partial
// that is not there, or not let go in time, stays as it is.
void partial_discard(const char* dir, const Uuid& uuid, int holder, uint32_t wait_ms, PartialLocks& locks);

// Deletes the partials of dir left by earlier runs of a backup (same name,
// type and parent_uuid, as partial_find_by_name) that nobody holds, in this
// process or another one on the same storage: an
// agent that cannot continue backups would otherwise leave them to expiry.
// Each partial is visited once, so one that cannot be deleted does not keep
// the search going; a partial in use ends it. Failures are ignored.
void partial_remove_stale(const char* dir, const char* name, uint8_t type, const Uuid& parent_uuid,
                          PartialLocks& locks);

}  // namespace orv
