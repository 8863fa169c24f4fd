// Finding finished backups: every catalog file in a directory is a backup;
// there is no index. Chains follow parent_uuid links down to a full backup.
//
// Scans take no lock and may run in any number of sessions while others
// write backups into the same directory: a backup becomes visible only when
// its catalog is renamed into place, and a catalog that vanishes during a
// scan is skipped. All results are owned by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "integrity/uuid.h"
#include "protocol/formats.h"
#include "store/catalog.h"

namespace orv {

struct ScanItem {
  char path[STORE_PATH_SIZE];   // "<dir>/<catalog file>"
  Uuid uuid;
  Uuid parent_uuid;
  uint8_t type;
  char name[HDR_NAME_SIZE];     // at most 63 characters
  int64_t created;
};

// Lists the catalogs of dir in directory order (unsorted) into a malloc'd
// array (*items, free with free(); null when *count is 0).
// A missing directory has no backups (success, 0 items). Headers that are
// damaged or of a newer version are skipped with a warning ("skipping %s:
// %s"); a name that is not a regular file (a directory, FIFO or link named
// like a catalog) is skipped with a DEBUG line; any other read failure fails
// the whole scan with its status after an error line. A directory that
// cannot be opened for another reason is STATUS_IO.
// STATUS_NOMEM when the array cannot grow. On failure *items is null and
// *count 0.
[[nodiscard]] int32_t backup_scan(const char* dir, ScanItem** items, size_t* count);

// Path of the newest backup (greatest `created`, the first in scan order
// among equals) named exactly `name` and, when type >= 0, of that type
// (compared with its low byte). STATUS_NOT_FOUND when there is none,
// STATUS_INVALID when the path does not fit cap, or the scan's failure.
// On failure path holds "" (cap > 0).
[[nodiscard]] int32_t backup_find_latest(const char* dir, const char* name, int32_t type, char* path, size_t cap);

// A resolved chain: items[0] is the full backup, each following item the
// child of the one before, the last the backup asked for. Owns the array
// and every item's entry table; release with chain_free.
struct Chain {
  LoadedCatalog* items = nullptr;
  size_t count = 0;
};

// Resolves the chain of the backup whose catalog is `start`, looking for
// parents among the catalogs of dir (the first in scan order with the
// wanted uuid). A full backup's chain is itself, and no scan is made. Only
// type 0 ends the walk; the types within a chain are not compared.
// STATUS_NOT_FOUND for a missing link; STATUS_CORRUPT when the parent links
// form a loop (more steps than the directory holds backups) or an entry
// table is damaged; header, scan and load failures return their status.
// On failure *chain is empty.
// With a charge, every catalog's table is charged to the memory budget
// before it is read (catalog_load): STATUS_NOMEM when the chain does not
// fit. The caller releases the charge after chain_free (also after a failure).
[[nodiscard]] int32_t chain_resolve(const char* start, const char* dir, Chain* chain,
                                    BudgetCharge* charge = nullptr);

// Frees every item's entry table and the array; *chain becomes empty.
void chain_free(Chain* chain);

}  // namespace orv
